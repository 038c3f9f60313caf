#pragma once

// The calls of the C API the module uses that older interpreters lack, each written once with
// the version that brought it. From 3.14 on this header adds nothing.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// PyErr_GetRaisedException (3.12): the exception being raised, as a new reference, cleared; null
// when there is none.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr)
        PyException_SetTraceback(value, tb);
    Py_DECREF(type);
    Py_XDECREF(tb);
    return value;
}

// PyErr_SetRaisedException (3.12): raises the exception, stealing the reference; null clears.
inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
#include <mutex>

// PyMutex (3.13): a lock that lets the interpreter lock go while it waits, so that the holder
// can take that lock back and finish. Taken with the interpreter lock held.
struct PyMutex {
    std::mutex m;
};

inline void PyMutex_Lock(PyMutex* m) {
    if (m->m.try_lock())
        return;
    PyThreadState* saved = PyEval_SaveThread();
    m->m.lock();
    PyEval_RestoreThread(saved);
}

inline void PyMutex_Unlock(PyMutex* m) {
    m->m.unlock();
}

// PyList_GetItemRef (3.13): the item as a new reference.
inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t i) {
    return Py_XNewRef(PyList_GetItem(list, i));
}

// PyObject_GetOptionalAttrString (3.13): 1 with the attribute, 0 with a null result when there
// is none (AttributeError is cleared), -1 with another error.
inline int PyObject_GetOptionalAttrString(PyObject* o, const char* name, PyObject** result) {
    *result = PyObject_GetAttrString(o, name);
    if (*result != nullptr)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

// PyUnicode_EqualToUTF8 (3.13): whether the str encodes to exactly these UTF-8 bytes. Never
// raises: a str with a lone surrogate, which has no UTF-8 form, equals no text.
inline int PyUnicode_EqualToUTF8(PyObject* str, const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(str); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        unsigned char bytes[4];
        int len;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            len = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            len = 2;
        } else if (c < 0x10000) {
            if (Py_UNICODE_IS_SURROGATE(c))
                return 0;
            bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            len = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            len = 4;
        }
        for (int k = 1; k < len; ++k)
            bytes[k] = static_cast<unsigned char>(0x80 | ((c >> (6 * (len - 1 - k))) & 0x3F));
        for (int k = 0; k < len; ++k) {
            if (*s == 0 || *s != bytes[k]) // a NUL in the str is never part of the text
                return 0;
            ++s;
        }
    }
    return *s == 0;
}
#endif

#if PY_VERSION_HEX < 0x030E0000
// PyIter_NextItem (3.14): 1 with the next item, 0 at the end, -1 with an exception set; the
// item is null unless 1.
inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    iternextfunc next = Py_TYPE(iter)->tp_iternext;
    if (next == nullptr) {
        *item = nullptr;
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%.200s'",
                     Py_TYPE(iter)->tp_name);
        return -1;
    }
    *item = next(iter);
    if (*item != nullptr)
        return 1;
    if (!PyErr_Occurred())
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return -1;
    PyErr_Clear();
    return 0;
}

// PyImport_ImportModuleAttrString (3.14): an attribute of a module, importing it if need be.
inline PyObject* PyImport_ImportModuleAttrString(const char* module, const char* name) {
    PyObject* m = PyImport_ImportModule(module);
    if (m == nullptr)
        return nullptr;
    PyObject* attr = PyObject_GetAttrString(m, name);
    Py_DECREF(m);
    return attr;
}
#endif
