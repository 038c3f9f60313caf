#pragma once

#include "core/render.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// Creates the SExp heap type. Called once per process.
PyTypeObject* create_sexp_type();

// The text of the handle's subtree as a str, laid out as `layout` says (repr() is the
// canonical layout). Null with an exception set on a stale handle or on failure.
PyObject* node_text(PyObject* self, Layout layout) noexcept;

} // namespace sexp::py
