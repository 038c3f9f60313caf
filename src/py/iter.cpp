#include "py/iter.hpp"

#include "core/walk.hpp"

namespace sexp::py {

namespace {

SExpIterObject* iter_of(PyObject* o) noexcept { return reinterpret_cast<SExpIterObject*>(o); }

void sexpiter_dealloc(PyObject* self) noexcept {
    release(iter_of(self)->tree);
    free_object(iter_free_list, self);
}

// Exclusive use of an iterator's own fields for the length of one next() call. With the global
// interpreter lock two calls on one iterator never overlap (nothing in next() can run Python
// code), so there is nothing to guard.
template <typename T> class ExclusiveUse {
  public:
#ifndef SEXP_TREE_LOCK
    explicit ExclusiveUse(T*) noexcept {}
    bool held() const noexcept { return true; }
#else
    explicit ExclusiveUse(T* it) noexcept : it_(it) {
        int expected = 0;
        held_ = it_->use.compare_exchange_strong(expected, -1, std::memory_order_acquire);
        if (!held_)
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveUse() {
        if (held_)
            it_->use.store(0, std::memory_order_release);
    }
    bool held() const noexcept { return held_; }

  private:
    T* it_;
    bool held_;
#endif
};

// iter(it): itself, once no next() holds it.
template <typename T> PyObject* iter_self(PyObject* self) noexcept {
#ifdef SEXP_TREE_LOCK
    T* it = reinterpret_cast<T*>(self);
    int seen = it->use.load(std::memory_order_relaxed);
    for (;;) {
        if (seen < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return nullptr;
        }
        if (it->use.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire))
            break;
    }
    Py_INCREF(self);
    it->use.fetch_sub(1, std::memory_order_release);
    return self;
#else
    return Py_NewRef(self);
#endif
}

PyObject* sexpiter_next(PyObject* self) noexcept {
    SExpIterObject* it = iter_of(self);
    ExclusiveUse use(it);
    if (!use.held())
        return nullptr;
    if (it->next_node == NO_NODE)
        return nullptr; // exhausted, for ever
    TreeLock lock(it->tree);
    const Tree& t = it->tree->tree;
    if (t.generation != it->generation)
        return stale_error(); // stale, for ever: nothing is advanced
    NodeId id = it->next_node;
    PyObject* handle = make_handle(it->tree, id);
    if (handle != nullptr)
        it->next_node = t.node(id).next_sibling;
    return handle;
}

PyDoc_STRVAR(sexpiter_doc,
             "Lazy iterator over the direct children of an `SExp` node.\n\nHolds a reference to "
             "the shared tree and the id of the next sibling to yield, so no upfront\nallocation "
             "of child nodes is required.");

PyType_Slot sexpiter_slots[] = {
    {Py_tp_doc, const_cast<char*>(sexpiter_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sexpiter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<SExpIterObject>)},
    {Py_tp_iternext, reinterpret_cast<void*>(sexpiter_next)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec sexpiter_spec = {
    "builtins.SExpIter", sizeof(SExpIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, sexpiter_slots,
};

// ---------------------------------------------------------------------------------------------
// SExpWalk: a node and everything below it

// A walk in pre-order (every node below, an atom's children included) that needs no stack: it
// keeps its cursor on the node it yielded last and finds the next one from there when asked,
// along the links as they are then.
struct SExpWalkObject {
    PyObject_HEAD
    SharedTree* tree;
    std::uint64_t generation;
    Cursor cursor; // on the node yielded last; on the top before the first next()
    bool started;
    bool done;
    bool every;   // every node, or only the lists that `head` accepts
    HeadTest head;
    PyObject* head_text; // the head str, whose bytes a long head points into; null without head
#ifdef SEXP_TREE_LOCK
    std::atomic<int> use;
#endif
};

SExpWalkObject* walk_of(PyObject* o) noexcept { return reinterpret_cast<SExpWalkObject*>(o); }

void sexpwalk_dealloc(PyObject* self) noexcept {
    SExpWalkObject* w = walk_of(self);
    release(w->tree);
    Py_XDECREF(w->head_text);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* sexpwalk_next(PyObject* self) noexcept {
    SExpWalkObject* w = walk_of(self);
    ExclusiveUse use(w);
    if (!use.held())
        return nullptr;
    if (w->done)
        return nullptr; // exhausted, for ever
    TreeLock lock(w->tree);
    const Tree& t = w->tree->tree;
    if (t.generation != w->generation)
        return stale_error(); // stale, for ever: nothing is advanced
    Cursor c = w->cursor;
    bool found = visit_from<Visit::Every>(t, c, w->started, [&](NodeId, const Node& n) {
        return !(w->every || w->head.matches(t, n));
    });
    if (!found) {
        w->done = true;
        return nullptr;
    }
    PyObject* handle = make_handle(w->tree, c.at);
    if (handle != nullptr) {
        w->cursor = c;
        w->started = true;
    }
    return handle;
}

PyDoc_STRVAR(sexpwalk_doc,
             "Lazy iterator over an `SExp` node and every node below it, in text order.");

PyType_Slot sexpwalk_slots[] = {
    {Py_tp_doc, const_cast<char*>(sexpwalk_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sexpwalk_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<SExpWalkObject>)},
    {Py_tp_iternext, reinterpret_cast<void*>(sexpwalk_next)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec sexpwalk_spec = {
    "builtins.SExpWalk", sizeof(SExpWalkObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, sexpwalk_slots,
};

} // namespace

PyTypeObject* create_sexpwalk_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sexpwalk_spec));
}

PyObject* make_walk(SharedTree* tree, NodeId top, const HeadTest* head,
                    PyObject* head_text) noexcept {
    SExpWalkObject* w = PyObject_New(SExpWalkObject, sexpwalk_type_object);
    if (w == nullptr)
        return nullptr;
    retain(tree);
    w->tree = tree;
    w->generation = tree->tree.generation;
    new (&w->cursor) Cursor(top);
    w->started = false;
    w->done = false;
    w->every = head == nullptr;
    new (&w->head) HeadTest(head != nullptr ? *head : HeadTest::any_list());
    w->head_text = Py_XNewRef(head_text);
#ifdef SEXP_TREE_LOCK
    new (&w->use) std::atomic<int>(0);
#endif
    return reinterpret_cast<PyObject*>(w);
}

PyTypeObject* create_sexpiter_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&sexpiter_spec));
}

PyObject* make_iterator(SharedTree* tree, NodeId first) noexcept {
    SExpIterObject* it = new_object<SExpIterObject>(iter_free_list, sexpiter_type_object);
    if (it == nullptr)
        return nullptr;
    retain(tree);
    it->tree = tree;
    it->generation = tree->tree.generation;
    it->next_node = first;
#ifdef SEXP_TREE_LOCK
    new (&it->use) std::atomic<int>(0);
#endif
    return reinterpret_cast<PyObject*>(it);
}

} // namespace sexp::py
