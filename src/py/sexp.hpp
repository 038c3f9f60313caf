#pragma once

#include "core/render.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// Creates the SExp heap type. Called once per process.
PyTypeObject* create_sexp_type();

} // namespace sexp::py
