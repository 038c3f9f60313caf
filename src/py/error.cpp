#include "py/error.hpp"

#include <cstring>

namespace sexp::py {

PyObject* create_parse_error() {
    return PyErr_NewExceptionWithDoc("_sexp.ParseError",
                                     "Raised when an S-expression string cannot be parsed.",
                                     PyExc_ValueError, nullptr);
}

PyObject* raise_parse_error(ParseErrorKind kind) noexcept {
    PyObject* cls = get_parse_error();
    if (cls == nullptr)
        return nullptr;
    const char* message = parse_error_message(kind);
    PyObject* text = PyUnicode_FromStringAndSize(message, static_cast<Py_ssize_t>(std::strlen(message)));
    if (text == nullptr)
        return nullptr;
    PyErr_SetObject(cls, text);
    Py_DECREF(text);
    return nullptr;
}

} // namespace sexp::py
