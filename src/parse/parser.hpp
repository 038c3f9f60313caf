#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/tree.hpp"

namespace sexp {

enum class ParseErrorKind : std::uint8_t {
    UnclosedParen,
    StrayCloseParen,
    MultipleTopLevel,
    InvalidUtf8, // found by the caller's validation, before the parser runs
};

// The fixed message of each error kind.
const char* parse_error_message(ParseErrorKind kind) noexcept;

// Either a tree or the reason there is none.
struct ParseResult {
    std::optional<Tree> tree;
    ParseErrorKind error = ParseErrorKind::UnclosedParen; // meaningful only without a tree
};

// The largest text the parser accepts: its node count stays below NO_NODE.
inline constexpr std::size_t MAX_PARSE_INPUT = 0xFFFFFFFFu;

// Parses valid UTF-8 text (at most MAX_PARSE_INPUT bytes) in one forward pass without
// recursion. Nodes are numbered in document order from 0; a text with no form gives an
// implicit-root tree. May throw std::bad_alloc; then nothing is leaked.
ParseResult parse(std::string_view text);

} // namespace sexp
