#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "parse/quote.hpp"

using namespace std::literals;
using sexp::Syntax;
using sexp::Unquoted;

namespace {

// A copy in an allocation of exactly its size, so a sanitizer sees a read past the text.
struct Exact {
    explicit Exact(std::string_view s) : buf(new char[s.size()]), view(buf.get(), s.size()) {
        std::memcpy(buf.get(), s.data(), s.size());
    }
    std::unique_ptr<char[]> buf;
    std::string_view view;
};

struct AtomCase {
    Syntax syntax;
    std::string_view text;
    bool one;
};

TEST(IsOneAtom, AsTheTokenizerReadsIt) {
    const AtomCase cases[] = {
        {Syntax::Plain, "a\"b", true},     {Syntax::Plain, "", false},
        {Syntax::Plain, "a b", false},     {Syntax::Plain, "a)", false},
        {Syntax::Kicad, "\"a (b)\"", true}, {Syntax::Kicad, "\"a\\\"", false},
        {Syntax::Kicad, "a\"b c\"", true}, {Syntax::Kicad, "#PWR", true}, // within a line
        {Syntax::Kicad, " a", false},      {Syntax::Smtlib, "|a b|", true},
        {Syntax::Smtlib, "a;b", false},    {Syntax::Smtlib, "\"a\"\"b\"", true},
        {Syntax::Wasm, ";a", true},        {Syntax::Wasm, "a;;b", false},
        {Syntax::Wasm, "(;a;)", false},    {Syntax::Lisp, "a#|b|#", false},
        {Syntax::Lisp, "|a\\|b|", true},   {Syntax::Lisp, "\"a", false},
    };
    for (const AtomCase& c : cases) {
        Exact text(c.text);
        EXPECT_EQ(sexp::is_one_atom(text.view, c.syntax), c.one) << c.text;
    }
}

struct UnquoteCase {
    Syntax syntax;
    std::string_view atom;
    Unquoted outcome;
    std::string_view out = "";
};

TEST(Unquote, ReadsEachSyntaxsEscapesAndRefusesTheRest) {
    const UnquoteCase cases[] = {
        {Syntax::Kicad, "\"a\\\"b\\\\c\\nd\\re\\tf\"", Unquoted::Decoded, "a\"b\\c\nd\re\tf"},
        {Syntax::Kicad, "|a|", Unquoted::Bare},
        {Syntax::Kicad, "\"\\x41\"", Unquoted::UnknownEscape},
        {Syntax::Kicad, "a\"b\"", Unquoted::Mixed},
        {Syntax::Kicad, "\"a\"b", Unquoted::Mixed},
        {Syntax::Kicad, "\"a\" b", Unquoted::NotOneAtom},
        {Syntax::Smtlib, "\"a\"\"b\\n\"", Unquoted::Decoded, "a\"b\\n"},
        {Syntax::Smtlib, "\"\"", Unquoted::Decoded, ""},
        {Syntax::Smtlib, "|a \"b|", Unquoted::Decoded, "a \"b"},
        {Syntax::Smtlib, "|a|b", Unquoted::Mixed},
        {Syntax::Smtlib, "\"a\"|b|", Unquoted::Mixed},
        {Syntax::Wasm, "\"\\41\\c3\\A9\\'\\u{1_F600}\\u{0}\"", Unquoted::Decoded,
         "A\xc3\xa9'\xf0\x9f\x98\x80\0"sv},
        {Syntax::Wasm, "\"\\ff\"", Unquoted::NotUtf8},
        {Syntax::Wasm, "\"\\4\"", Unquoted::UnknownEscape},
        {Syntax::Wasm, "\"\\u{D800}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u{110000}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u{_1}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u{}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u41\"", Unquoted::BadCodePoint},
        {Syntax::Lisp, "\"\\q\\n\\|\"", Unquoted::Decoded, "q\n|"},
        {Syntax::Lisp, "|a\\|b\\n|", Unquoted::Decoded, "a|bn"},
        {Syntax::Lisp, "\"a\"|b|", Unquoted::Mixed},
    };
    for (const UnquoteCase& c : cases) {
        Exact atom(c.atom);
        std::string out = "untouched";
        EXPECT_EQ(sexp::unquote(atom.view, c.syntax, out), c.outcome) << c.atom;
        if (c.outcome == Unquoted::Decoded)
            EXPECT_EQ(out, c.out) << c.atom;
        if (c.outcome == Unquoted::Bare)
            EXPECT_EQ(out, "untouched") << c.atom;
    }
}

} // namespace
