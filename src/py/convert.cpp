#include "py/convert.hpp"

#include <memory>
#include <optional>
#include <utility>

#include "core/clone.hpp"
#include "core/pack.hpp"
#include "core/walk.hpp"
#include "parse/unpack.hpp"
#include "py/str_cache.hpp"

namespace sexp::py {

namespace {

// ---------------------------------------------------------------------------------------------
// Tree to data

// Builds the data for walk_data. Each list is made at its full length, since its child count
// is known, and filled in order; the lists still being filled wait on `open_`, innermost last.
class DataSink {
  public:
    DataSink() = default;
    ~DataSink() { Py_XDECREF(result_); } // a list not yet full holds nulls, which it skips
    DataSink(const DataSink&) = delete;
    DataSink& operator=(const DataSink&) = delete;

    bool atom(const AtomText& text) {
        PyObject* s = strs_.str(text);
        if (s == nullptr)
            return false;
        place(s);
        return true;
    }
    bool list(std::uint32_t count) {
        PyObject* l = PyList_New(static_cast<Py_ssize_t>(count));
        if (l == nullptr)
            return false;
        place(l);
        if (count != 0)
            open_.push_back({l, 0, static_cast<Py_ssize_t>(count)}); // l is owned already
        return true;
    }
    PyObject* take() noexcept { return std::exchange(result_, nullptr); }

  private:
    struct Open {
        PyObject* list;
        Py_ssize_t filled;
        Py_ssize_t size;
    };
    void place(PyObject* item) noexcept {
        if (open_.empty()) {
            result_ = item;
            return;
        }
        Open& top = open_.back();
        PyList_SET_ITEM(top.list, top.filled, item);
        if (++top.filled == top.size)
            open_.pop_back();
    }

    std::vector<Open> open_;
    PyObject* result_ = nullptr;
    StrCache strs_;
};

// ---------------------------------------------------------------------------------------------
// Data to build steps

// One container being read: an exact list or tuple by position, anything else through its
// iterator. `container` is null for the outermost iterable.
struct Frame {
    Ref container;
    Ref iter;
    Py_ssize_t next = 0;
};

} // namespace

bool CycleWatch::enter_deep(const char* fname, PyObject* container) {
    if (open_.insert(container).second)
        return true;
    PyErr_Format(PyExc_ValueError, "%.200s() items contain themselves", fname);
    return false;
}

bool wrong_item(const char* fname, PyObject* item, bool nodes) {
    PyErr_Format(PyExc_TypeError, "%.200s() items must be str, list, %s, not %.100s", fname,
                 nodes ? "tuple, or SExp" : "or tuple", Py_TYPE(item)->tp_name);
    return false;
}

PyObject* tree_to_data(const Tree& tree, NodeId node) {
    DataSink sink;
    if (!walk_data(tree, node, sink))
        return nullptr;
    return sink.take();
}

BuildItems::~BuildItems() {
    for (PyObject* s : strs_)
        Py_DECREF(s);
}

bool BuildItems::read(const char* fname, PyObject* items) {
    std::vector<Frame> frames;
    CycleWatch cycles;
    {
        Ref it(PyObject_GetIter(items));
        if (!it)
            return false;
        frames.push_back(Frame{Ref(), std::move(it), 0});
    }
    while (!frames.empty()) {
        Frame& f = frames.back();
        Ref item;
        if (f.iter) {
            PyObject* o;
            if (PyIter_NextItem(f.iter.get(), &o) < 0)
                return false;
            item = Ref(o); // null at the end
        } else if (PyList_CheckExact(f.container.get())) {
            if (f.next < PyList_GET_SIZE(f.container.get())) {
                item = Ref(PyList_GetItemRef(f.container.get(), f.next++));
                if (!item)
                    return false;
            }
        } else if (f.next < PyTuple_GET_SIZE(f.container.get())) {
            item = Ref(Py_NewRef(PyTuple_GET_ITEM(f.container.get(), f.next++)));
        }

        if (!item) {
            std::size_t depth = frames.size() - 1;
            cycles.leave(depth, f.container.get());
            frames.pop_back(); // may run the caller's code: a generator's clean-up
            if (depth > 0)
                steps_.push_back(BuildStep::close());
            continue;
        }
        PyObject* o = item.get();
        if (PyUnicode_Check(o)) {
            std::string_view text;
            if (!utf8_of(o, text))
                return false;
            strs_.push_back(o);
            item.release(); // strs_ holds it now
            steps_.push_back(BuildStep::atom(text));
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            Frame inner;
            if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) {
                inner.iter = Ref(PyObject_GetIter(o)); // a subclass iterates its own way
                if (!inner.iter)
                    return false;
            }
            inner.container = std::move(item);
            if (!cycles.enter(fname, frames.size(), inner.container.get()))
                return false;
            steps_.push_back(BuildStep::open());
            frames.push_back(std::move(inner));
        } else if (is_sexp(o)) {
            // A copy of the subtree as it is now; a root brings its form, not the text
            // around it.
            SExpObject* node = as_sexp(o);
            TreeLock lock(node->tree);
            if (!check_live(node))
                return false;
            const Tree& t = node->tree->tree;
            bool root = node->id == t.root;
            copies_.push_back(TreeCopy{clone_subtree(t, node->id, root), root});
            steps_.push_back(BuildStep::copy(copies_.size() - 1));
        } else {
            return wrong_item(fname, o);
        }
    }
    return true;
}

ExactItems::~ExactItems() {
#ifdef Py_GIL_DISABLED
    for (PyObject* o : held_)
        Py_DECREF(o);
#endif
}

#ifdef Py_GIL_DISABLED
PyObject* ExactItems::held_item(PyObject* list, Py_ssize_t i) {
    Ref item(PyList_GetItemRef(list, i));
    if (item)
        held_.push_back(item.get());
    return item.release();
}
#endif

Exact build_exact(const char* fname, PyObject* items, Builder& b, ExactItems& refs) {
    if (!PyList_CheckExact(items) && !PyTuple_CheckExact(items))
        return Exact::Other;
    // The containers being read, outermost first, with the position of the next item in each.
    std::vector<std::pair<PyObject*, Py_ssize_t>> open{{items, 0}};
    CycleWatch cycles;
    b.reserve(static_cast<std::size_t>(Py_SIZE(items)));
    while (!open.empty()) {
        auto& [container, next] = open.back();
        PyObject* item = nullptr;
        if (PyList_CheckExact(container)) {
            if (next < PyList_GET_SIZE(container)) {
                item = refs.list_item(container, next++);
                if (item == nullptr)
                    return Exact::Failed;
            }
        } else if (next < PyTuple_GET_SIZE(container)) {
            item = PyTuple_GET_ITEM(container, next++); // a tuple holds its items for good
        }
        if (item == nullptr) {
            std::size_t depth = open.size() - 1;
            cycles.leave(depth, container);
            open.pop_back();
            if (depth > 0)
                b.close();
        } else if (PyUnicode_Check(item)) {
            std::string_view text;
            if (!utf8_of(item, text))
                return Exact::Failed;
            b.atom(text);
        } else if (PyList_CheckExact(item) || PyTuple_CheckExact(item)) {
            if (!cycles.enter(fname, open.size(), item))
                return Exact::Failed;
            b.open();
            open.emplace_back(item, 0);
        } else if (PyList_Check(item) || PyTuple_Check(item) || is_sexp(item)) {
            return Exact::Other; // a subclass iterates its own way; a node's tree needs its lock
        } else {
            wrong_item(fname, item);
            return Exact::Failed;
        }
    }
    return Exact::Built;
}

// ---------------------------------------------------------------------------------------------
// Pickling

PyObject* packed_bytes(const Tree& tree, NodeId node) {
    Packing packing(tree, node);
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(packing.size()));
    if (bytes != nullptr)
        packing.write(PyBytes_AS_STRING(bytes));
    return bytes;
}

namespace {

PyObject* reconstruct_fn(PyObject*, PyObject* data) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyBytes_Check(data)) {
            bad_argument("_reconstruct", "data", "bytes", data);
            return nullptr;
        }
        std::optional<Tree> tree = unpack(
            {PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))});
        if (!tree) {
            PyErr_SetString(PyExc_ValueError, PICKLE_DATA_MESSAGE);
            return nullptr;
        }
        return wrap_new_tree(std::move(*tree));
    });
}

PyDoc_STRVAR(reconstruct_doc, "_reconstruct(data, /)\n--\n\n"
                              "Make the tree again from the bytes ``SExp.__reduce__`` gave pickle.");

} // namespace

PyMethodDef reconstruct_def = {
    "_reconstruct", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reconstruct_fn)),
    METH_O, reconstruct_doc};

} // namespace sexp::py
