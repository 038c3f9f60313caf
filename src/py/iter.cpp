#include "py/iter.hpp"

namespace sexp::py {

namespace {

SExpIterObject* iter_of(PyObject* o) noexcept { return reinterpret_cast<SExpIterObject*>(o); }

void sexpiter_dealloc(PyObject* self) noexcept {
    release(iter_of(self)->tree);
    free_object(iter_free_list, self);
}

// Exclusive use for the length of one next() call. With the global interpreter lock two calls
// on one iterator never overlap (nothing in next() can run Python code), so there is nothing
// to guard.
class ExclusiveUse {
  public:
#ifndef SEXP_TREE_LOCK
    explicit ExclusiveUse(SExpIterObject*) noexcept {}
    bool held() const noexcept { return true; }
#else
    explicit ExclusiveUse(SExpIterObject* it) noexcept : it_(it) {
        int expected = 0;
        held_ = it_->use.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    ~ExclusiveUse() {
        if (held_)
            it_->use.store(0, std::memory_order_release);
    }
    bool held() const noexcept { return held_; }

  private:
    SExpIterObject* it_;
    bool held_;
#endif
};

PyObject* sexpiter_next(PyObject* self) noexcept {
    SExpIterObject* it = iter_of(self);
    ExclusiveUse use(it);
    if (!use.held()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
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

PyObject* sexpiter_iter(PyObject* self) noexcept {
#ifdef SEXP_TREE_LOCK
    SExpIterObject* it = iter_of(self);
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

PyDoc_STRVAR(sexpiter_doc,
             "Lazy iterator over the direct children of an `SExp` node.\n\nHolds a reference to "
             "the shared tree and the id of the next sibling to yield, so no upfront\nallocation "
             "of child nodes is required.");

PyType_Slot sexpiter_slots[] = {
    {Py_tp_doc, const_cast<char*>(sexpiter_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sexpiter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(sexpiter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(sexpiter_next)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec sexpiter_spec = {
    "builtins.SExpIter", sizeof(SExpIterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, sexpiter_slots,
};

} // namespace

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
