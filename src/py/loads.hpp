#pragma once

#include "core/render.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// The method definition of the module-level `loads` function.
extern PyMethodDef loads_def;

// Whether `dumps` writes `node` as data: a str, or a list or tuple of data.
inline bool is_data(PyObject* node) noexcept {
    return PyUnicode_Check(node) || PyList_Check(node) || PyTuple_Check(node);
}

// The text of the tree that `extend` would build from `data` (a str is one atom), laid out as
// `layout` says, without building it: a new str, or nullptr with an exception set (an item of
// another type, a str without UTF-8 form, a list that holds itself). `fname` names the caller
// in messages. The caller's code runs only where a subclass of list or tuple iterates.
PyObject* data_text(const char* fname, PyObject* data, Layout layout);

} // namespace sexp::py
