#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// The method definitions of the module-level `dumps` and `dump` functions.
extern PyMethodDef dumps_def;
extern PyMethodDef dump_def;

} // namespace sexp::py
