#pragma once

#include "py/shared.hpp"

namespace sexp::py {

// The method definitions of the module-level `quote` and `unquote` functions.
extern PyMethodDef quote_def;
extern PyMethodDef unquote_def;

} // namespace sexp::py
