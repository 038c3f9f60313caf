#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

namespace sexp {

// The lexical syntaxes. `Plain` is the grammar with no strings and no comments; the others add
// quoted runs (in which whitespace, parentheses and comment starters are atom text) and
// comments (skipped like whitespace) as their formats write them.
enum class Syntax : std::uint8_t {
    Plain,
    Kicad,  // "..." with backslash escapes; lines whose first non-blank byte is #
    Smtlib, // "..." and |...|, no escapes; ; comments
    Wasm,   // "..." with escapes; ;; comments and nesting (; ;) blocks
    Lisp,   // "..." and |...| with escapes; ; comments and nesting #| |# blocks
};

// What a syntax reads besides the plain grammar: the one place that tells the syntaxes apart.
template <Syntax S> struct Lexicon {
    static constexpr bool RUNS = S != Syntax::Plain;                          // "..."
    static constexpr bool BAR_RUNS = S == Syntax::Smtlib || S == Syntax::Lisp; // |...|
    static constexpr bool ESCAPES = S == Syntax::Kicad || S == Syntax::Wasm || S == Syntax::Lisp;
    // What an escape in a "..." run stands for besides \", \\, \n, \r and \t: any other byte
    // for itself (ESCAPE_ANY), or \', \hh bytes and \u{...} code points (HEX_ESCAPES); nothing
    // else. In a |...| run a backslash escapes the next byte. Without escapes, a "..." run
    // writes '"' twice for one.
    static constexpr bool ESCAPE_ANY = S == Syntax::Lisp;
    static constexpr bool HEX_ESCAPES = S == Syntax::Wasm;
    // A line comment starts with the first LINE_LENGTH bytes of LINE and ends at a line feed.
    static constexpr unsigned LINE_LENGTH =
        S == Syntax::Wasm ? 2 : (S == Syntax::Smtlib || S == Syntax::Lisp ? 1 : 0);
    static constexpr unsigned char LINE[2] = {';', ';'};
    // A line whose first byte other than space and tab is '#' is a comment to its end.
    static constexpr bool HASH_LINES = S == Syntax::Kicad;
    // Block comments nest; their delimiters are two bytes each.
    static constexpr bool BLOCK_COMMENTS = S == Syntax::Wasm || S == Syntax::Lisp;
    static constexpr unsigned char BLOCK_OPEN[2] = {S == Syntax::Wasm ? '(' : '#',
                                                    S == Syntax::Wasm ? ';' : '|'};
    static constexpr unsigned char BLOCK_CLOSE[2] = {BLOCK_OPEN[1], S == Syntax::Wasm ? ')' : '#'};
    static constexpr bool COMMENTS = LINE_LENGTH != 0 || HASH_LINES || BLOCK_COMMENTS;

    // The byte a comment starting with `c` needs after it (0: none), or that it may.
    static constexpr unsigned char second_of(unsigned char c) noexcept {
        if (BLOCK_COMMENTS && c == BLOCK_OPEN[0])
            return BLOCK_OPEN[1];
        if (LINE_LENGTH == 2 && c == LINE[0])
            return LINE[1];
        return 0;
    }
};

// Byte classes. In the plain grammar only four whitespace bytes and the two parentheses are
// syntax; every other byte (control bytes, quotes, semicolons, all of 0x80-0xFF) is atom text.
enum ByteClass : std::uint8_t {
    AtomByte = 0,
    Space = 1,   // tab, line feed, carriage return, space
    Open = 2,    // (
    Close = 3,   // )
    Quote = 4,   // starts a quoted run
    Comment = 5, // starts a comment inside an atom's bytes, or may with the byte after it
};

template <Syntax S> constexpr std::array<std::uint8_t, 256> make_byte_classes() noexcept {
    using L = Lexicon<S>;
    std::array<std::uint8_t, 256> t{};
    if (L::LINE_LENGTH != 0)
        t[L::LINE[0]] = Comment;
    if (L::BLOCK_COMMENTS)
        t[L::BLOCK_OPEN[0]] = Comment; // a '(' is overwritten below: it is structure first
    if (L::RUNS)
        t['"'] = Quote;
    if (L::BAR_RUNS)
        t['|'] = Quote;
    t[0x09] = t[0x0A] = t[0x0D] = t[0x20] = Space;
    t['('] = Open;
    t[')'] = Close;
    return t;
}

template <Syntax S>
inline constexpr std::array<std::uint8_t, 256> BYTE_CLASS = make_byte_classes<S>();

// Calls `f` with `std::integral_constant<Syntax, s>`, so a runtime syntax picks a compiled one.
template <typename F> decltype(auto) with_syntax(Syntax s, F&& f) {
    switch (s) {
    case Syntax::Kicad:
        return f(std::integral_constant<Syntax, Syntax::Kicad>{});
    case Syntax::Smtlib:
        return f(std::integral_constant<Syntax, Syntax::Smtlib>{});
    case Syntax::Wasm:
        return f(std::integral_constant<Syntax, Syntax::Wasm>{});
    case Syntax::Lisp:
        return f(std::integral_constant<Syntax, Syntax::Lisp>{});
    case Syntax::Plain:
        break;
    }
    return f(std::integral_constant<Syntax, Syntax::Plain>{});
}

// Whether `s` reads a line whose first byte but spaces and tabs is '#' as a comment.
inline bool hash_lines(Syntax s) noexcept {
    return with_syntax(s, [](auto v) { return Lexicon<v.value>::HASH_LINES; });
}

} // namespace sexp
