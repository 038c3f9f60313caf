#include "py/shared.hpp"

#include <cstring>

namespace sexp::py {

PyObject* stale_error() noexcept {
    PyErr_SetString(PyExc_RuntimeError, STALE_MESSAGE);
    return nullptr;
}

bool check_same_tree(const SExpObject* a, const SExpObject* b) noexcept {
    if (a->tree == b->tree)
        return true;
    PyErr_SetString(PyExc_ValueError, OTHER_TREE_MESSAGE);
    return false;
}

FreeList handle_free_list;
FreeList iter_free_list;

void clear_free_lists() noexcept {
    for (FreeList* list : {&handle_free_list, &iter_free_list}) {
        while (list->count > 0)
            PyObject_Free(list->items[--list->count]);
    }
}

PyObject* wrap_new_tree(Tree&& tree) noexcept {
    SharedTree* shared = new (std::nothrow) SharedTree(std::move(tree));
    if (shared == nullptr)
        return PyErr_NoMemory();
    SExpObject* h = new_object<SExpObject>(handle_free_list, sexp_type_object);
    if (h == nullptr) {
        delete shared;
        return nullptr;
    }
    h->tree = shared;
    h->generation = shared->tree.generation;
    h->id = shared->tree.root;
    return reinterpret_cast<PyObject*>(h);
}

namespace {

Py_ssize_t find_param(const char* const* names, Py_ssize_t count, PyObject* key) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i)
        if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, names[i]))
            return i;
    return -1;
}

} // namespace

bool bind_args_slow(const char* fname, const char* const* names, Py_ssize_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Py_ssize_t positional, Py_ssize_t required) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd %sargument%s (%zd given)",
                     fname, count, nargs == 0 ? "keyword " : "", count == 1 ? "" : "s",
                     nargs + nkw);
        return false;
    }
    if (nargs > positional) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %s %zd positional argument%s (%zd given)",
                     fname, required < positional ? "at most" : "exactly", positional,
                     positional == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    // Keyword values follow the positional ones in `args`.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        Py_ssize_t i = find_param(names, count, PyTuple_GET_ITEM(kwnames, k));
        if (i >= nargs && out[i] == nullptr)
            out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)",
                         fname, names[i], i + 1);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_param(names, count, key);
        if (i >= 0 && i < nargs) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %.200s() given by name ('%s') and position (%zd)", fname,
                         names[i], i + 1);
            return false;
        }
        if (i < 0) {
#if PY_VERSION_HEX >= 0x030D0000
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'",
                         fname, key);
#else // the interpreter's own wording before 3.13
            PyErr_Format(PyExc_TypeError, "'%S' is an invalid keyword argument for %.200s()", key,
                         fname);
#endif
            return false;
        }
    }
    return true;
}

void bad_argument(const char* fname, const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be %.50s, not %.50s", fname, arg,
                 expected, got == Py_None ? "None" : Py_TYPE(got)->tp_name);
}

} // namespace sexp::py
