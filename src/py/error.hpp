#pragma once

#include "py/shared.hpp"
#include "parse/parser.hpp"

namespace sexp::py {

// Creates the ParseError class (a ValueError). Called once per process.
PyObject* create_parse_error();

// Raises ParseError with the kind's message; returns nullptr.
PyObject* raise_parse_error(ParseErrorKind kind) noexcept;

} // namespace sexp::py
