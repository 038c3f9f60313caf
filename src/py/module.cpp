#include "py/convert.hpp"
#include "py/dump_fn.hpp"
#include "py/error.hpp"
#include "py/iter.hpp"
#include "py/iterparse.hpp"
#include "py/loads.hpp"
#include "py/locate_fn.hpp"
#include "py/parse_fn.hpp"
#include "py/quote_fn.hpp"
#include "py/sexp.hpp"

namespace sexp::py {

PyTypeObject* sexp_type_object = nullptr;
PyTypeObject* sexpiter_type_object = nullptr;
PyTypeObject* sexpwalk_type_object = nullptr;

namespace {

PyTypeObject* formiter_type_object = nullptr;

PyObject* parse_error_object = nullptr;

// Guards the one-time creation of the classes; PyMutex detaches the thread while it waits, so
// a waiter never holds the interpreter lock the creator needs.
PyMutex classes_mutex{};

template <typename T, typename Make> T* get_once(T*& slot, Make make) {
    PyMutex_Lock(&classes_mutex);
    if (slot == nullptr)
        slot = make();
    T* result = slot;
    PyMutex_Unlock(&classes_mutex);
    return result;
}

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0)
        return -1;
    if (all == nullptr) {
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    int r = text == nullptr ? -1 : PyList_Append(all, text);
    Py_XDECREF(text);
    Py_DECREF(all);
    if (r < 0)
        return -1;
    return PyObject_SetAttrString(module, name, value);
}

// Makes a function bound to the module, named by its ml_name; a new reference.
PyObject* module_function(PyObject* module, PyMethodDef* def) {
    PyObject* modname = PyModule_GetNameObject(module);
    if (modname == nullptr)
        return nullptr;
    PyObject* fn = PyCMethod_New(def, module, modname, nullptr);
    Py_DECREF(modname);
    return fn;
}

// Adds a function bound to the module under its ml_name, listed in __all__.
int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* fn = module_function(module, def);
    if (fn == nullptr)
        return -1;
    int r = add_public(module, def->ml_name, fn);
    Py_DECREF(fn);
    return r;
}

int sexp_exec(PyObject* module) noexcept {
    PyObject* sexp = reinterpret_cast<PyObject*>(get_sexp_type());
    if (sexp == nullptr || add_public(module, "SExp", sexp) < 0)
        return -1;
    PyObject* iter = reinterpret_cast<PyObject*>(get_sexpiter_type());
    if (iter == nullptr || add_public(module, "SExpIter", iter) < 0)
        return -1;
    if (get_sexpwalk_type() == nullptr) // SExp.iter() makes these; not a module attribute
        return -1;
    PyObject* error = get_parse_error();
    if (error == nullptr || add_public(module, "ParseError", error) < 0)
        return -1;
    for (PyMethodDef* def : {&parse_def, &iterparse_def, &dumps_def, &dump_def, &load_def,
                             &loads_def, &quote_def, &unquote_def, &error_position_def}) {
        if (add_function(module, def) < 0)
            return -1;
    }
    if (PyModule_AddStringConstant(module, "__version__", SEXP_VERSION) < 0)
        return -1;
    // What pickle calls to make a tree again; private, so not in __all__.
    PyObject* rebuild = module_function(module, &reconstruct_def);
    if (rebuild == nullptr)
        return -1;
    int r = PyModule_AddObjectRef(module, reconstruct_def.ml_name, rebuild);
    Py_DECREF(rebuild);
    return r;
}

// The kept objects' memory goes back with the module (every interpreter that loads it shares
// the main allocator); an object freed after this is simply kept again.
void sexp_free(void*) noexcept {
    clear_free_lists();
}

PyModuleDef_Slot sexp_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(sexp_exec)},
#ifdef Py_mod_gil // older interpreters always have the global lock
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef sexp_module = {
    PyModuleDef_HEAD_INIT,
    "_sexp",
    "",
    0,
    nullptr,
    sexp_module_slots,
    nullptr,
    nullptr,
    sexp_free,
};

} // namespace

PyTypeObject* get_sexp_type() {
    return get_once(sexp_type_object, create_sexp_type);
}

PyTypeObject* get_sexpiter_type() {
    return get_once(sexpiter_type_object, create_sexpiter_type);
}

PyTypeObject* get_formiter_type() {
    return get_once(formiter_type_object, create_formiter_type);
}

PyTypeObject* get_sexpwalk_type() {
    return get_once(sexpwalk_type_object, create_sexpwalk_type);
}

PyObject* get_parse_error() {
    return get_once(parse_error_object, create_parse_error);
}

} // namespace sexp::py

PyMODINIT_FUNC PyInit__sexp() {
    return PyModuleDef_Init(&sexp::py::sexp_module);
}
