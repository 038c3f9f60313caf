#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "parse/syntax.hpp"

namespace sexp {

// What the layout of a text says about the whitespace and comments between two tokens, read
// by the rules of a syntax. Gaps are short, so these go a byte at a time.

// Where the text between two tokens divides: at its first line break outside a block comment
// (a carriage return before the line feed goes with it) when a comment stands before that
// break; the part before it then belongs to the token before. Otherwise 0: the whole text
// belongs to what follows.
std::size_t split_gap(std::string_view gap, Syntax syntax) noexcept;

// Whether `text`, whitespace and comments that follow a token on its line (or, with
// `line_start`, that begin a line), ends inside a line comment: anything written right after
// it would be part of that comment.
bool ends_in_line_comment(std::string_view text, Syntax syntax, bool line_start = false) noexcept;

// What a layout writer needs to know of a whole text to lay out new lines as the text does.
struct TextFacts {
    // The extra indentation of the first line whose first token is `(` and whose
    // indentation is longer than, and begins with, that of the nearest line above it whose
    // first token is also `(` (lines inside quoted runs and comments, and blank ones, have no
    // first token); `has_unit` is false when there is no such line.
    bool has_unit = false;
    std::string unit;
    // The text's line break: CRLF where its first line feed follows a carriage return.
    std::string_view newline = "\n";
};

// May throw std::bad_alloc.
TextFacts text_facts(std::string_view text, Syntax syntax);

} // namespace sexp
