#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "parse/tokenizer.hpp"

namespace sexp {

// Whether `text`, read in `syntax`, is exactly one atom and nothing else: not empty, no
// whitespace, parenthesis or comment outside quoted runs, every run closed. It is read where an
// atom stands within a line, so in kicad it may start with '#'; a writer that puts such an atom
// at the start of a line keeps it from reading as a comment.
bool is_one_atom(std::string_view text, Syntax syntax) noexcept;

// Whether `syntax` has quoted runs at all (every syntax but Plain).
bool has_quoting(Syntax syntax) noexcept;

// `text` as one quoted run "..." that reads as one atom in `syntax`, which has quoting, and
// that unquote() reads back as `text`. May throw std::bad_alloc.
std::string quote(std::string_view text, Syntax syntax);

enum class Unquoted : std::uint8_t {
    Bare,          // no run: the atom stands for its own text
    Decoded,       // one run, whose meaning was written out
    NotOneAtom,    // see is_one_atom
    Mixed,         // a run beside other runs or bare text: no one meaning in every format
    UnknownEscape, // an escape the syntax does not define
    BadCodePoint,  // a \u{...} escape that is malformed or names no Unicode scalar value
    NotUtf8,       // \hh escapes that make bytes which are not UTF-8
};

// The fixed message of each outcome that is a refusal.
const char* unquote_message(Unquoted outcome) noexcept;

// What the atom text `atom` stands for in `syntax`, which has quoting. Decoded: written to
// `out`. Bare: `atom` itself, `out` untouched. Anything else is a refusal. May throw
// std::bad_alloc.
Unquoted unquote(std::string_view atom, Syntax syntax, std::string& out);

} // namespace sexp
