#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// The method definition of the module-level `iterparse` function.
extern PyMethodDef iterparse_def;

// Creates the type of the iterators `iterparse` returns. Called once per process.
PyTypeObject* create_formiter_type();
PyTypeObject* get_formiter_type();

} // namespace sexp::py
