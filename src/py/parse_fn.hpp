#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// The method definition of the module-level `parse` function.
extern PyMethodDef parse_def;

} // namespace sexp::py
