#pragma once

#include "core/render.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// The method definitions of the module-level `dumps`, `dump` and `load` functions.
extern PyMethodDef dumps_def;
extern PyMethodDef dump_def;
extern PyMethodDef load_def;

// The text of the handle's subtree as a str, laid out as `layout` says (repr() is the
// canonical layout). Null with an exception set on a stale handle or on failure.
PyObject* node_text(PyObject* self, Layout layout) noexcept;

} // namespace sexp::py
