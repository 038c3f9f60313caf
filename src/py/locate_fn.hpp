#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// The method definition of the module-level `error_position` function.
extern PyMethodDef error_position_def;

} // namespace sexp::py
