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

struct UnquoteCase {
    Syntax syntax;
    std::string_view atom;
    Unquoted outcome;
    std::string_view out = "";
};

// Whether a text is one atom is the tokenizer's answer, and unquote refuses what is not.
TEST(Unquote, ReadsEachSyntaxsEscapesAndRefusesTheRest) {
    const UnquoteCase cases[] = {
        {Syntax::Kicad, "\"a\\\"b\\\\c\\nd\\re\\tf\"", Unquoted::Decoded, "a\"b\\c\nd\re\tf"},
        {Syntax::Kicad, "#PWR", Unquoted::Bare}, // read within a line
        {Syntax::Kicad, "", Unquoted::NotOneAtom},
        {Syntax::Kicad, " a", Unquoted::NotOneAtom},
        {Syntax::Kicad, "\"a\\\"", Unquoted::NotOneAtom},
        {Syntax::Kicad, "\"\\x41\"", Unquoted::UnknownEscape},
        {Syntax::Kicad, "\"a\"b", Unquoted::Mixed},
        {Syntax::Kicad, "a\"b c\"", Unquoted::Mixed},
        {Syntax::Smtlib, "\"a\"\"b\\n\"", Unquoted::Decoded, "a\"b\\n"},
        {Syntax::Smtlib, "|a \"b|", Unquoted::Decoded, "a \"b"},
        {Syntax::Smtlib, "|a|b", Unquoted::Mixed},
        {Syntax::Smtlib, "a;b", Unquoted::NotOneAtom},
        {Syntax::Wasm, "\"\\41\\c3\\A9\\'\\u{1_F600}\\u{0}\"", Unquoted::Decoded,
         "A\xc3\xa9'\xf0\x9f\x98\x80\0"sv},
        {Syntax::Wasm, "\"\\ff\"", Unquoted::NotUtf8},
        {Syntax::Wasm, "\"\\4\"", Unquoted::UnknownEscape},
        {Syntax::Wasm, "\"\\u{D800}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u{110000}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, "\"\\u{_1}\"", Unquoted::BadCodePoint},
        {Syntax::Wasm, ";a", Unquoted::Bare},
        {Syntax::Wasm, "a;;b", Unquoted::NotOneAtom},
        {Syntax::Lisp, "\"\\q\\n\\|\"", Unquoted::Decoded, "q\n|"},
        {Syntax::Lisp, "|a\\|b\\n|", Unquoted::Decoded, "a|bn"},
        {Syntax::Lisp, "\"a\"|b|", Unquoted::Mixed},
        {Syntax::Lisp, "a#|b|#", Unquoted::NotOneAtom},
    };
    for (const UnquoteCase& c : cases) {
        Exact atom(c.atom);
        EXPECT_EQ(sexp::is_one_atom(atom.view, c.syntax), c.outcome != Unquoted::NotOneAtom)
            << c.atom;
        std::string out = "untouched";
        EXPECT_EQ(sexp::unquote(atom.view, c.syntax, out), c.outcome) << c.atom;
        if (c.outcome == Unquoted::Decoded || c.outcome == Unquoted::Bare)
            EXPECT_EQ(out, c.outcome == Unquoted::Bare ? "untouched"sv : c.out) << c.atom;
    }
}

} // namespace
