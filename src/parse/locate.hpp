#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "parse/parser.hpp"

namespace sexp {

// Where a parse fails: the error `parse` reports and the byte offset at which a reader sees it.
struct ErrorSite {
    ParseErrorKind kind;
    std::size_t offset; // the stray ')', the first invalid byte, the opening quote of the
                        // unterminated string or start of the unterminated comment, the
                        // innermost '(' left open, the first byte of the second form
};

// The error `parse(text, syntax)` reports, where it is; nothing when it parses. `validated`
// says the text is known to be UTF-8 (else an invalid byte is the error, as for parse's
// callers, which check first). Reads the text once, builds no tree; memory is one offset per
// open list. May throw std::bad_alloc.
std::optional<ErrorSite> locate_error(std::string_view text, Syntax syntax, bool validated);

// A position for people: lines count line feeds, columns characters (UTF-8 sequences), both
// from 1. The text before `offset` must be valid UTF-8.
struct LineColumn {
    std::size_t line;
    std::size_t column;
};
LineColumn line_column(std::string_view text, std::size_t offset) noexcept;

} // namespace sexp
