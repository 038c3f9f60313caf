#include "py/sexp.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/build.hpp"
#include "core/clone.hpp"
#include "core/mutation.hpp"
#include "core/render.hpp"
#include "core/walk.hpp"
#include "py/convert.hpp"
#include "py/dump_fn.hpp"
#include "py/iter.hpp"
#include "py/parse_fn.hpp"
#include "core/kept_writer.hpp"
#include "parse/quote.hpp"

namespace sexp::py {

namespace {

Tree& tree_of(SExpObject* h) noexcept { return h->tree->tree; }

// ---------------------------------------------------------------------------------------------
// Construction and destruction

PyObject* sexp_new(PyTypeObject*, PyObject* args, PyObject* kwds) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "SExp.__new__() takes no arguments (%zd given)", nargs);
            return nullptr;
        }
        if (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) {
            PyErr_SetString(PyExc_TypeError, "SExp.__new__() takes no keyword arguments");
            return nullptr;
        }
        return wrap_new_tree(make_empty_tree());
    });
}

void sexp_dealloc(PyObject* self) noexcept {
    release(as_sexp(self)->tree);
    free_object(handle_free_list, self);
}

// ---------------------------------------------------------------------------------------------
// Rendering

PyObject* sexp_repr(PyObject* self) noexcept {
    return node_text(self, Layout{});
}

// ---------------------------------------------------------------------------------------------
// Properties

PyObject* sexp_get_head(PyObject* self, void*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        NodeId first = t.node(h->id).first_child;
        if (first == NO_NODE) {
            PyErr_SetString(PyExc_IndexError, EMPTY_MESSAGE);
            return nullptr;
        }
        return make_handle(h->tree, first);
    });
}

PyObject* sexp_get_tail(PyObject* self, void*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        NodeId first = t.node(h->id).first_child;
        return make_iterator(h->tree, first == NO_NODE ? NO_NODE : t.node(first).next_sibling);
    });
}

PyObject* sexp_get_is_atom(PyObject* self, void*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        return PyBool_FromLong(t.node(h->id).is_atom());
    });
}

PyObject* sexp_get_value(PyObject* self, void*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        const Node& n = t.node(h->id);
        if (n.is_list()) {
            PyErr_SetString(PyExc_TypeError, LIST_NO_VALUE_MESSAGE);
            return nullptr;
        }
        return atom_str(n.text);
    });
}

int sexp_set_value(PyObject* self, PyObject* value, void*) noexcept {
    return guarded<int>(-1, [&]() -> int {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
        }
        if (!PyUnicode_Check(value)) {
            bad_argument("SExp.value", "value", "str", value);
            return -1;
        }
        std::string_view text;
        if (!utf8_of(value, text))
            return -1;
        return with_live(self, -1, [&](SExpObject* h, Tree& t) -> int {
            Node& n = t.node_mut(h->id);
            if (n.is_list()) {
                PyErr_SetString(PyExc_TypeError, LIST_SET_VALUE_MESSAGE);
                return -1;
            }
            // A tree that keeps its text is written back as text: what it holds must read so.
            if (t.layout && !reads_back_as_atom(t, h->id, text)) {
                const char* name = syntax_name(t.layout->syntax);
                if (has_quoting(t.layout->syntax))
                    PyErr_Format(PyExc_ValueError,
                                 "%R would not read back as one atom in %s; write "
                                 "quote(text, syntax='%s') instead",
                                 value, name, name);
                else
                    PyErr_Format(PyExc_ValueError,
                                 "%R would not read back as one atom in plain, which has no "
                                 "quote()",
                                 value);
                return -1;
            }
            AtomText fresh = AtomText::make(text); // may throw: the old text is still in place
            try {
                mark_value_edited(t, h->id); // nothing it marks is wrong with the old text
            } catch (...) {
                fresh.destroy();
                throw;
            }
            n.text.destroy();
            n.text = fresh;
            return 0;
        });
    });
}

PyObject* sexp_get_parent(PyObject* self, void*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        NodeId parent = t.node(h->id).parent;
        if (parent == NO_NODE)
            Py_RETURN_NONE;
        return make_handle(h->tree, parent);
    });
}

// ---------------------------------------------------------------------------------------------
// Building methods

const char* const VALUE_PARAMS[] = {"value"};
const char* const CHILD_PARAMS[] = {"child"};
const char* const INSERT_PARAMS[] = {"after", "child"};

PyObject* sexp_new_atom(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* value;
        if (!bind_args("SExp.new_atom", VALUE_PARAMS, 1, args, nargs, kwnames, &value))
            return nullptr;
        if (!PyUnicode_Check(value)) {
            bad_argument("SExp.new_atom", "value", "str", value);
            return nullptr;
        }
        std::string_view text;
        if (!utf8_of(value, text))
            return nullptr;
        return with_live(self, nullptr, [&](SExpObject* h, Tree& t) -> PyObject* {
            Node node = text.size() <= INLINE_CAPACITY
                            ? Node::make(AtomText::make_inline(text.data(), text.size()))
                            : Node::atom(text);
            return make_handle(h->tree, add_detached(t, node));
        });
    });
}

PyObject* sexp_new_list(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, Tree& t) -> PyObject* {
        return make_handle(h->tree, add_detached(t, Node::list()));
    });
}

// The refusals that keep an attach from corrupting the tree, after the receiver (and `after`)
// have passed their checks. `after` is nullptr when absent.
bool check_attach(SExpObject* self, SExpObject* child, SExpObject* after) noexcept {
    if (!check_live(child))
        return false;
    const Tree& t = tree_of(self);
    if (child->id == t.root) {
        PyErr_SetString(PyExc_ValueError, ATTACH_ROOT_MESSAGE);
        return false;
    }
    // A node without children can only close a cycle by being the receiver itself.
    bool cycle = t.node(child->id).first_child == NO_NODE
                     ? child->id == self->id
                     : is_self_or_ancestor(t, child->id, self->id);
    if (cycle) {
        PyErr_SetString(PyExc_ValueError, ATTACH_CYCLE_MESSAGE);
        return false;
    }
    if (after != nullptr) {
        if (after->id == child->id) {
            PyErr_SetString(PyExc_ValueError, AFTER_SELF_MESSAGE);
            return false;
        }
        if (t.node(after->id).parent != self->id) {
            PyErr_SetString(PyExc_ValueError, AFTER_NOT_CHILD_MESSAGE);
            return false;
        }
    }
    return true;
}

template <bool AtEnd>
PyObject* attach_one(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* arg;
    if (!bind_args(fname, CHILD_PARAMS, 1, args, nargs, kwnames, &arg))
        return nullptr;
    if (!is_sexp(arg)) {
        bad_argument(fname, "child", "SExp", arg);
        return nullptr;
    }
    SExpObject* child = as_sexp(arg);
    if (!check_same_tree(as_sexp(self), child))
        return nullptr;
    return with_live(self, nullptr, [&](SExpObject* h, Tree& t) -> PyObject* {
        if (!check_attach(h, child, nullptr))
            return nullptr;
        if (AtEnd)
            append(t, h->id, child->id);
        else
            prepend(t, h->id, child->id);
        Py_RETURN_NONE;
    });
}

PyObject* sexp_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return attach_one<true>("SExp.append", self, args, nargs, kwnames);
}

PyObject* sexp_prepend(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return attach_one<false>("SExp.prepend", self, args, nargs, kwnames);
}

PyObject* sexp_insert_after(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    PyObject* bound[2];
    if (!bind_args("SExp.insert_after", INSERT_PARAMS, 2, args, nargs, kwnames, bound))
        return nullptr;
    if (bound[0] != Py_None && !is_sexp(bound[0])) {
        bad_argument("SExp.insert_after", "after", "SExp", bound[0]);
        return nullptr;
    }
    if (!is_sexp(bound[1])) {
        bad_argument("SExp.insert_after", "child", "SExp", bound[1]);
        return nullptr;
    }
    SExpObject* after = bound[0] == Py_None ? nullptr : as_sexp(bound[0]);
    SExpObject* child = as_sexp(bound[1]);
    if (!check_same_tree(as_sexp(self), child) ||
        (after != nullptr && !check_same_tree(as_sexp(self), after)))
        return nullptr;
    return with_live(self, nullptr, [&](SExpObject* h, Tree& t) -> PyObject* {
        if ((after != nullptr && !check_live(after)) || !check_attach(h, child, after))
            return nullptr;
        insert_after(t, h->id, after == nullptr ? NO_NODE : after->id, child->id);
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------------------------
// Removal and copying

// A handle on the root is always live, so refusing the root after the liveness check gives
// the same outcome as refusing it before.

PyObject* sexp_remove(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, Tree& t) -> PyObject* {
        if (h->id == t.root) {
            PyErr_SetString(PyExc_ValueError, REMOVE_ROOT_MESSAGE);
            return nullptr;
        }
        remove(t, h->id);
        ++t.generation;
        Py_RETURN_NONE;
    });
}

PyObject* sexp_clone(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        return wrap_new_tree(clone_subtree(t, h->id));
    });
}

PyObject* sexp_extract(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, Tree& t) -> PyObject* {
        if (h->id == t.root) {
            PyErr_SetString(PyExc_ValueError, EXTRACT_ROOT_MESSAGE);
            return nullptr;
        }
        // Copy and wrap before removing, so no failure can lose the subtree.
        PyObject* result = wrap_new_tree(clone_subtree(t, h->id));
        if (result == nullptr)
            return nullptr;
        try {
            remove(t, h->id);
        } catch (...) {
            Py_DECREF(result);
            throw;
        }
        ++t.generation;
        return result;
    });
}

const char* const NODES_PARAMS[] = {"nodes"};

PyObject* sexp_remove_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* nodes;
        if (!bind_args("SExp.remove_all", NODES_PARAMS, 1, args, nargs, kwnames, &nodes))
            return nullptr;
        // The handles' fixed fields, read before the tree is locked: iterating may run the
        // caller's code. A handle of another tree is refused only once every item has been
        // read and found to be a handle.
        std::vector<NodeId> ids;
        std::vector<std::uint64_t> generations;
        bool other_tree = false;
        {
            Ref it(PyObject_GetIter(nodes));
            if (!it)
                return nullptr;
            PyObject* item;
            for (int r; (r = PyIter_NextItem(it.get(), &item)) != 0;) {
                if (r < 0)
                    return nullptr;
                Ref held(item);
                if (!is_sexp(item)) {
                    PyErr_Format(PyExc_TypeError,
                                 "SExp.remove_all() items must be SExp, not %.100s",
                                 Py_TYPE(item)->tp_name);
                    return nullptr;
                }
                const SExpObject* h = as_sexp(item);
                other_tree |= h->tree != as_sexp(self)->tree;
                ids.push_back(h->id);
                generations.push_back(h->generation);
            }
        }
        if (other_tree) {
            PyErr_SetString(PyExc_ValueError, OTHER_TREE_MESSAGE);
            return nullptr;
        }
        return with_live(self, nullptr, [&](SExpObject*, Tree& t) -> PyObject* {
            for (std::size_t i = 0; i < ids.size(); ++i)
                if (ids[i] != t.root && generations[i] != t.generation)
                    return stale_error();
            if (std::find(ids.begin(), ids.end(), t.root) != ids.end()) {
                PyErr_SetString(PyExc_ValueError, REMOVE_ROOT_MESSAGE);
                return nullptr;
            }
            remove_all(t, ids);
            if (!ids.empty())
                ++t.generation; // once, as after one remove
            Py_RETURN_NONE;
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Sequence protocol

Py_ssize_t sexp_length(PyObject* self) noexcept {
    return with_live(self, -1, [](SExpObject* h, const Tree& t) -> Py_ssize_t {
        return static_cast<Py_ssize_t>(t.node(h->id).child_count);
    });
}

// The child at position `p` (0 <= p < child_count), walking from the nearer end.
NodeId child_at(const Tree& t, const Node& n, std::uint32_t p) noexcept {
    NodeId at;
    if (p <= n.child_count / 2) {
        at = n.first_child;
        for (std::uint32_t i = 0; i < p && at != NO_NODE; ++i)
            at = t.node(at).next_sibling;
    } else {
        at = n.last_child;
        for (std::uint32_t i = n.child_count - 1; i > p && at != NO_NODE; --i)
            at = t.node(at).prev_sibling;
    }
    if (at == NO_NODE)
        internal_fault("child_count was consistent");
    return at;
}

PyObject* subscript_int(PyObject* self, PyObject* key) noexcept {
    long long p = PyLong_AsLongLong(key);
    if (p == -1 && PyErr_Occurred())
        return nullptr;
    return with_live(self, nullptr, [&](SExpObject* h, const Tree& t) -> PyObject* {
        const Node& n = t.node(h->id);
        long long count = n.child_count;
        if (p < 0)
            p += count;
        if (p < 0 || p >= count) {
            PyErr_SetString(PyExc_IndexError, INDEX_MESSAGE);
            return nullptr;
        }
        return make_handle(h->tree, child_at(t, n, static_cast<std::uint32_t>(p)));
    });
}

PyObject* subscript_str(PyObject* self, PyObject* key) noexcept {
    std::string_view text;
    if (!utf8_of(key, text))
        return nullptr;
    return with_live(self, nullptr, [&](SExpObject* h, const Tree& t) -> PyObject* {
        for (NodeId c = t.node(h->id).first_child; c != NO_NODE;) {
            const Node& cn = t.node(c);
            const Node& cand = cn.first_child == NO_NODE ? cn : t.node(cn.first_child);
            if (cand.is_atom()) {
                std::string_view v = cand.text.view();
                if (v.size() == text.size() && v == text)
                    return make_handle(h->tree, c);
            }
            c = cn.next_sibling;
        }
        PyObject* message = PyUnicode_FromFormat("no child '%U'", key);
        if (message != nullptr) {
            PyErr_SetObject(PyExc_KeyError, message);
            Py_DECREF(message);
        }
        return nullptr;
    });
}

PyObject* subscript_other(PyObject* self, PyObject* key) noexcept {
    PyObject* list = with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        const Node& n = t.node(h->id);
        PyObject* children = PyList_New(static_cast<Py_ssize_t>(n.child_count));
        if (children == nullptr)
            return nullptr;
        Py_ssize_t i = 0;
        for (NodeId c = n.first_child; c != NO_NODE; c = t.node(c).next_sibling, ++i) {
            PyObject* item = make_handle(h->tree, c);
            if (item == nullptr) {
                Py_DECREF(children);
                return nullptr;
            }
            PyList_SET_ITEM(children, i, item);
        }
        return children;
    });
    if (list == nullptr)
        return nullptr;
    // The key may run Python code (__index__), so the tree is no longer locked here.
    PyObject* result = PyObject_GetItem(list, key);
    Py_DECREF(list);
    return result;
}

PyObject* sexp_subscript(PyObject* self, PyObject* key) noexcept {
    if (PyLong_Check(key))
        return subscript_int(self, key);
    if (PyUnicode_Check(key))
        return subscript_str(self, key);
    return subscript_other(self, key);
}

PyObject* sexp_item(PyObject* self, Py_ssize_t i) noexcept {
    PyObject* key = PyLong_FromSsize_t(i);
    if (key == nullptr)
        return nullptr;
    PyObject* result = sexp_subscript(self, key);
    Py_DECREF(key);
    return result;
}

int sexp_contains(PyObject* self, PyObject* item) noexcept {
    std::string_view text;
    bool is_text = false;
    if (!is_sexp(item) && PyUnicode_Check(item)) {
        if (utf8_of(item, text)) {
            is_text = true;
        } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear(); // an unencodable string is simply not a child's text
        } else {
            return -1; // out of memory
        }
    }
    return with_live(self, -1, [&](SExpObject* h, const Tree& t) -> int {
        if (is_sexp(item)) {
            SExpObject* other = as_sexp(item);
            if (other->tree != h->tree || !is_live(other))
                return 0;
            for (NodeId c = t.node(h->id).first_child; c != NO_NODE; c = t.node(c).next_sibling)
                if (c == other->id)
                    return 1;
            return 0;
        }
        if (!is_text)
            return 0;
        for (NodeId c = t.node(h->id).first_child; c != NO_NODE;) {
            const Node& cn = t.node(c);
            if (cn.is_atom()) {
                std::string_view v = cn.text.view();
                if (v.size() == text.size() && v == text)
                    return 1;
            }
            c = cn.next_sibling;
        }
        return 0;
    });
}

PyObject* sexp_iter(PyObject* self) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        return make_iterator(h->tree, t.node(h->id).first_child);
    });
}

// ---------------------------------------------------------------------------------------------
// Equality

PyObject* sexp_equal(SExpObject* a, SExpObject* b) {
    bool equal;
    {
        TreePairLock lock(a->tree, b->tree);
        if (!check_live(a) || !check_live(b))
            return nullptr;
        equal = subtrees_equal(tree_of(a), a->id, tree_of(b), b->id);
    }
    return PyBool_FromLong(equal);
}

PyObject* sexp_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        switch (op) {
        case Py_EQ:
            if (!is_sexp(other))
                Py_RETURN_FALSE;
            return sexp_equal(as_sexp(self), as_sexp(other));
        case Py_NE: {
            PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
            if (eq == nullptr)
                return nullptr;
            int truth = PyObject_IsTrue(eq);
            Py_DECREF(eq);
            if (truth < 0)
                return nullptr;
            return PyBool_FromLong(!truth);
        }
        case Py_LT:
        case Py_LE:
        case Py_GT:
        case Py_GE:
            Py_RETURN_NOTIMPLEMENTED;
        default:
            internal_fault("invalid compareop");
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Asking the tree

const char* const HEAD_PARAMS[] = {"head"};
const char* const ITEMS_PARAMS[] = {"items"};

PyObject* sexp_iter_below(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* head;
        if (!bind_args("SExp.iter", HEAD_PARAMS, 1, args, nargs, kwnames, &head, 1, 0))
            return nullptr;
        if (head == Py_None)
            head = nullptr;
        std::optional<HeadTest> test;
        if (head != nullptr) {
            std::string_view text;
            if (!PyUnicode_Check(head)) {
                bad_argument("SExp.iter", "head", "str or None", head);
                return nullptr;
            }
            if (!utf8_of(head, text))
                return nullptr;
            test = HeadTest::headed_by(text);
        }
        return with_live(self, nullptr, [&](SExpObject* h, const Tree&) -> PyObject* {
            return make_walk(h->tree, h->id, test ? &*test : nullptr, head);
        });
    });
}

// find and findall: each argument a step down, a str for the lists it heads, None for any list.
template <bool All>
PyObject* find_path_of(const char* fname, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes at least 1 argument (0 given)", fname);
            return nullptr;
        }
        std::vector<HeadTest> path;
        path.reserve(static_cast<std::size_t>(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            std::string_view text;
            if (args[i] == Py_None) {
                path.push_back(HeadTest::any_list());
            } else if (!PyUnicode_Check(args[i])) {
                PyErr_Format(PyExc_TypeError, "%s() path step %zd must be str or None, not %.100s",
                             fname, i + 1, Py_TYPE(args[i])->tp_name);
                return nullptr;
            } else if (!utf8_of(args[i], text)) {
                return nullptr;
            } else {
                path.push_back(HeadTest::headed_by(text)); // args outlive the call
            }
        }
        std::vector<NodeId> cursor(path.size());
        return with_live(self, nullptr, [&](SExpObject* h, const Tree& t) -> PyObject* {
            if (!All) {
                NodeId found = NO_NODE;
                find_path(t, h->id, path, cursor.data(), [&](NodeId id) {
                    found = id;
                    return false;
                });
                if (found == NO_NODE)
                    Py_RETURN_NONE;
                return make_handle(h->tree, found);
            }
            Ref list(PyList_New(0));
            bool failed = !list;
            if (!failed)
                find_path(t, h->id, path, cursor.data(), [&](NodeId id) {
                    Ref handle(make_handle(h->tree, id));
                    failed = !handle || PyList_Append(list.get(), handle.get()) < 0;
                    return !failed;
                });
            return failed ? nullptr : list.release();
        });
    });
}

PyObject* sexp_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return find_path_of<false>("SExp.find", self, args, nargs);
}

PyObject* sexp_findall(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return find_path_of<true>("SExp.findall", self, args, nargs);
}

PyObject* sexp_tolist(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        return tree_to_data(t, h->id);
    });
}

PyObject* sexp_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* items;
        if (!bind_args("SExp.extend", ITEMS_PARAMS, 1, args, nargs, kwnames, &items))
            return nullptr;
        ExactItems refs; // dropped only once the tree is unlocked
        {
            SExpObject* h = as_sexp(self);
            TreeLock lock(h->tree);
            // A stale receiver is reported only after the items are read, the general way.
            if (is_live(h)) {
                Builder b(h->tree->tree, h->id); // undoes its work unless committed
                switch (build_exact("SExp.extend", items, b, refs)) {
                case Exact::Built:
                    b.commit();
                    Py_RETURN_NONE;
                case Exact::Failed:
                    return nullptr;
                case Exact::Other:
                    break;
                }
            }
        }
        // Items the caller's code stands behind are read and checked before the tree is locked
        // or touched; the build then undoes what it made if memory runs out.
        BuildItems built;
        if (!built.read("SExp.extend", items))
            return nullptr;
        return with_live(self, nullptr, [&](SExpObject* h, Tree& t) -> PyObject* {
            append_built(t, h->id, built.steps(), built.copies());
            Py_RETURN_NONE;
        });
    });
}

// ---------------------------------------------------------------------------------------------
// Copy and pickle

PyObject* sexp_copy(PyObject* self, PyObject*) noexcept {
    return with_live(self, nullptr, [](SExpObject* h, const Tree&) -> PyObject* {
        return make_handle(h->tree, h->id);
    });
}

PyObject* sexp_deepcopy(PyObject* self, PyObject*) noexcept {
    return sexp_clone(self, nullptr);
}

PyObject* sexp_reduce(PyObject* self, PyObject*) noexcept {
    // Looked up before the tree is locked: an import may run Python code.
    Ref rebuild(PyImport_ImportModuleAttrString("_sexp", "_reconstruct"));
    if (!rebuild)
        return nullptr;
    Ref data(with_live(self, nullptr, [](SExpObject* h, const Tree& t) -> PyObject* {
        return packed_bytes(t, h->id);
    }));
    if (!data)
        return nullptr;
    return Py_BuildValue("O(O)", rebuild.get(), data.get());
}

// ---------------------------------------------------------------------------------------------
// Tables

PyDoc_STRVAR(sexp_doc,
             "SExp()\n--\n\nA single node in an S-expression tree.\n\nEvery ``SExp`` is a handle "
             "into a shared, heap-allocated tree.  All handles that originate from\nthe same "
             "`parse` call (or the same empty constructor) share the same tree. Mutations "
             "through one\nhandle are immediately visible through any other.\n\nNodes that have "
             "been removed via `remove` or `extract` become *stale*.  Any method call on a\nstale "
             "node raises `RuntimeError`.");

PyDoc_STRVAR(new_atom_doc, "new_atom($self, value)\n--\n\n"
                           "Allocate a new unattached atom node in this tree.");
PyDoc_STRVAR(new_list_doc, "new_list($self)\n--\n\n"
                           "Allocate a new unattached empty list node in this tree.");
PyDoc_STRVAR(append_doc, "append($self, child)\n--\n\n"
                         "Append ``child`` as the last child of this node.");
PyDoc_STRVAR(prepend_doc, "prepend($self, child)\n--\n\n"
                          "Insert ``child`` as the first child of this node.");
PyDoc_STRVAR(insert_after_doc, "insert_after($self, after, child)\n--\n\n"
                               "Insert ``child`` immediately after ``after``. Pass ``None`` to "
                               "prepend.");
PyDoc_STRVAR(remove_doc, "remove($self)\n--\n\n"
                         "Remove this node and its entire subtree. Raises `ValueError` on the "
                         "root.");
PyDoc_STRVAR(remove_all_doc,
             "remove_all($self, nodes)\n--\n\n"
             "Remove every node of ``nodes``, handles on this tree, with its subtree, in one "
             "step.\n\n"
             "A node below another listed node, or listed twice, is fine. All or nothing: "
             "every node is\nchecked first, and the tree is unchanged if one is of another "
             "tree, stale or the root.\nAfterwards handles made before are stale, as after "
             "one `remove`.");
PyDoc_STRVAR(clone_doc, "clone($self)\n--\n\n"
                        "Deep-copy this subtree into a new independent `SExp`.");
PyDoc_STRVAR(extract_doc, "extract($self)\n--\n\n"
                          "Remove this subtree and return it as a new `SExp`. Raises "
                          "`ValueError` on the root.");

PyDoc_STRVAR(iter_doc, "iter($self, /, head=None)\n--\n\n"
                       "Iterate over this node and every node below it, each before its children.\n\n"
                       "With ``head``, only the lists whose first child is an atom with that "
                       "text. Raises\n`RuntimeError` on the next step after any removal "
                       "from the tree.");
PyDoc_STRVAR(find_doc, "find($self, /, *path)\n--\n\n"
                       "The first node ``findall(*path)`` would give, or ``None``.");
PyDoc_STRVAR(findall_doc,
             "findall($self, /, *path)\n--\n\n"
             "Every node the path leads to from this one, in text order.\n\n"
             "Each step goes down one level: a ``str`` picks the child lists headed by an "
             "atom with that\ntext, ``None`` every child list.");
PyDoc_STRVAR(tolist_doc, "tolist($self)\n--\n\n"
                         "This subtree as plain data: an atom as its ``str``, a list as a "
                         "``list`` of its children's.");
PyDoc_STRVAR(extend_doc,
             "extend($self, items)\n--\n\n"
             "Append one new child per item: a ``str`` as an atom, a ``list`` or "
             "``tuple`` as a list\nof its items, nested to any depth. All or nothing: "
             "on any error the tree is unchanged.");
PyDoc_STRVAR(copy_doc, "__copy__($self)\n--\n\n"
                       "A new handle on the same node.");
PyDoc_STRVAR(deepcopy_doc, "__deepcopy__($self, memo, /)\n--\n\n"
                           "Deep-copy this subtree into a new independent `SExp`, as ``clone()``.");
PyDoc_STRVAR(reduce_doc, "__reduce__($self)\n--\n\n"
                         "Pickle this subtree; it is unpickled as a new independent tree.");

template <typename F> PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef sexp_methods[] = {
    {"new_atom", as_cfunction(sexp_new_atom), METH_FASTCALL | METH_KEYWORDS, new_atom_doc},
    {"new_list", as_cfunction(sexp_new_list), METH_NOARGS, new_list_doc},
    {"append", as_cfunction(sexp_append), METH_FASTCALL | METH_KEYWORDS, append_doc},
    {"prepend", as_cfunction(sexp_prepend), METH_FASTCALL | METH_KEYWORDS, prepend_doc},
    {"insert_after", as_cfunction(sexp_insert_after), METH_FASTCALL | METH_KEYWORDS,
     insert_after_doc},
    {"remove", as_cfunction(sexp_remove), METH_NOARGS, remove_doc},
    {"remove_all", as_cfunction(sexp_remove_all), METH_FASTCALL | METH_KEYWORDS, remove_all_doc},
    {"clone", as_cfunction(sexp_clone), METH_NOARGS, clone_doc},
    {"extract", as_cfunction(sexp_extract), METH_NOARGS, extract_doc},
    {"iter", as_cfunction(sexp_iter_below), METH_FASTCALL | METH_KEYWORDS, iter_doc},
    {"find", as_cfunction(sexp_find), METH_FASTCALL, find_doc},
    {"findall", as_cfunction(sexp_findall), METH_FASTCALL, findall_doc},
    {"tolist", as_cfunction(sexp_tolist), METH_NOARGS, tolist_doc},
    {"extend", as_cfunction(sexp_extend), METH_FASTCALL | METH_KEYWORDS, extend_doc},
    {"__copy__", as_cfunction(sexp_copy), METH_NOARGS, copy_doc},
    {"__deepcopy__", as_cfunction(sexp_deepcopy), METH_O, deepcopy_doc},
    {"__reduce__", as_cfunction(sexp_reduce), METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sexp_getset[] = {
    {"head", sexp_get_head, nullptr, "First child node.  Raises `IndexError` if empty.", nullptr},
    {"tail", sexp_get_tail, nullptr, "Iterator over all children after the first.", nullptr},
    {"is_atom", sexp_get_is_atom, nullptr, "``True`` if this is an atom (leaf) node.", nullptr},
    // The setter's own description, "Set the string content. Raises `TypeError` if this is a
    // list.", has no place of its own in a getset entry; the getter's text is the property's.
    {"value", sexp_get_value, sexp_set_value,
     "String content of this atom node. Raises `TypeError` if this is a list.", nullptr},
    {"parent", sexp_get_parent, nullptr, "Parent node, or ``None`` if this is the root.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sexp_slots[] = {
    {Py_tp_doc, const_cast<char*>(sexp_doc)},
    {Py_tp_new, reinterpret_cast<void*>(sexp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sexp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(sexp_repr)},
    {Py_mp_length, reinterpret_cast<void*>(sexp_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(sexp_subscript)},
    {Py_sq_item, reinterpret_cast<void*>(sexp_item)},
    {Py_sq_contains, reinterpret_cast<void*>(sexp_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(sexp_iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(sexp_richcompare)},
    {Py_tp_getset, sexp_getset},
    {Py_tp_methods, sexp_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec sexp_spec = {
    "builtins.SExp", sizeof(SExpObject), 0, Py_TPFLAGS_DEFAULT, sexp_slots,
};

} // namespace

PyTypeObject* create_sexp_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sexp_spec));
}

} // namespace sexp::py
