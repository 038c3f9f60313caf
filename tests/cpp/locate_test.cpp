#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "locate_check.hpp"
#include "parse/locate.hpp"

using namespace std::literals;
using sexp::ParseErrorKind;
using sexp::Syntax;

namespace {

struct Site {
    Syntax syntax;
    std::string_view in;
    ParseErrorKind kind;
    std::size_t offset;
};

TEST(Locate, EachErrorWhereTheReaderSeesIt) {
    const Site cases[] = {
        {Syntax::Plain, "(a (b c)", ParseErrorKind::UnclosedParen, 0},
        {Syntax::Plain, "(a (b (c)", ParseErrorKind::UnclosedParen, 3},
        {Syntax::Plain, "(a)) (", ParseErrorKind::StrayCloseParen, 3},
        {Syntax::Plain, "a b", ParseErrorKind::MultipleTopLevel, 2},
        {Syntax::Plain, "(a)\n  (b) c", ParseErrorKind::MultipleTopLevel, 6},
        {Syntax::Plain, "(a) (b", ParseErrorKind::UnclosedParen, 4},
        {Syntax::Plain, "(a \"b)\")", ParseErrorKind::StrayCloseParen, 7},
        {Syntax::Kicad, "(a \"b", ParseErrorKind::UnterminatedString, 3},
        {Syntax::Kicad, "(a x\"b\"y\"c", ParseErrorKind::UnterminatedString, 8},
        {Syntax::Kicad, "(\"a\\\" b", ParseErrorKind::UnterminatedString, 1},
        {Syntax::Kicad, "(\"a\\\\\" b", ParseErrorKind::UnclosedParen, 0},
        {Syntax::Smtlib, "(a |b", ParseErrorKind::UnterminatedString, 3},
        {Syntax::Smtlib, "; (\n(a ; b)", ParseErrorKind::UnclosedParen, 4},
        {Syntax::Smtlib, "(a) ;x\n)", ParseErrorKind::StrayCloseParen, 7},
        {Syntax::Wasm, "(a (; x", ParseErrorKind::UnterminatedComment, 3},
        {Syntax::Wasm, "(; a ;) (; (; ;)", ParseErrorKind::UnterminatedComment, 8},
        {Syntax::Wasm, ";; (;\n(;)", ParseErrorKind::UnterminatedComment, 6},
        {Syntax::Wasm, "(a \"(;\" ;) b", ParseErrorKind::MultipleTopLevel, 11},
        {Syntax::Lisp, "a #| b", ParseErrorKind::UnterminatedComment, 2},
        {Syntax::Lisp, "(a \"b\\\"", ParseErrorKind::UnterminatedString, 3},
        {Syntax::Lisp, "(|a| |b", ParseErrorKind::UnterminatedString, 5},
        {Syntax::Lisp, "(a) #|x|# b", ParseErrorKind::MultipleTopLevel, 10},
    };
    for (const Site& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.syntax) << ": " << c.in);
        auto site = sexp::locate_error(c.in, c.syntax, true);
        ASSERT_TRUE(site);
        EXPECT_EQ(site->kind, c.kind);
        EXPECT_EQ(site->offset, c.offset);
    }
}

TEST(Locate, InvalidUtf8ComesFirstUnlessTheTextIsKnownGood) {
    auto site = sexp::locate_error(") \xff", Syntax::Plain, false);
    ASSERT_TRUE(site);
    EXPECT_EQ(site->kind, ParseErrorKind::InvalidUtf8);
    EXPECT_EQ(site->offset, 2u);
    site = sexp::locate_error("(a) b \xe2\x82", Syntax::Plain, false); // cut off by the end
    ASSERT_TRUE(site);
    EXPECT_EQ(site->offset, 6u);
    EXPECT_FALSE(sexp::locate_error("(a \xc3\xa9)", Syntax::Plain, false));
    EXPECT_FALSE(sexp::locate_error("", Syntax::Wasm, false));
}

// Every prefix of texts that mix every token, error and syntax: locate agrees with parse.
TEST(Locate, AgreesWithParseOnEveryPrefix) {
    const std::string_view texts[] = {
        "(a (b \"c) d\" |e)| ;f)\n g) #|h (|# (; i ;) (j))) k (l",
        "((\"x\\\" (;y;) \"z\" ;; w\n v)) (\xc3\xa9 (;(;;);) #||# |a\\|b|) \"q",
        "(set-info :source |(x \"y\")|) ; z\n(assert (> x 0)))(check-sat",
    };
    for (std::string_view text : texts) {
        for (std::size_t n = 0; n <= text.size(); ++n) {
            for (Syntax s : {Syntax::Plain, Syntax::Kicad, Syntax::Smtlib, Syntax::Wasm,
                             Syntax::Lisp}) {
                std::string_view part = text.substr(0, n);
                SCOPED_TRACE(testing::Message() << static_cast<int>(s) << ": " << part);
                EXPECT_EQ(sexp_test::site_fault(part, s, false), "");
                if (sexp::is_valid_utf8(part.data(), part.size()))
                    EXPECT_EQ(sexp_test::site_fault(part, s, true), "");
            }
        }
    }
}

TEST(Locate, LinesAndColumnsCountLineFeedsAndCharacters) {
    const std::string_view text = "ab\nc\xc3\xa9 d\r\nx";
    struct {
        std::size_t offset, line, column;
    } cases[] = {{0, 1, 1}, {2, 1, 3}, {3, 2, 1}, {7, 2, 4}, {8, 2, 5}, {10, 3, 1}};
    for (const auto& c : cases) {
        sexp::LineColumn at = sexp::line_column(text, c.offset);
        EXPECT_EQ(at.line, c.line) << c.offset;
        EXPECT_EQ(at.column, c.column) << c.offset;
    }
    // Long lines and short ones, line feeds and two- and three-byte characters at every place
    // of the blocks they are counted in, past the lengths at which counts per lane are summed,
    // against a count byte by byte.
    std::string many;
    for (int i = 0; i < 4000; ++i)
        many += i % 23 == 0 ? "\n" : i % 5 == 0 ? "\xc3\xa9" : i % 7 == 0 ? "\xe2\x82\xac" : "x";
    std::size_t line = 1, column = 1;
    for (std::size_t offset = 0; offset <= many.size(); ++offset) {
        sexp::LineColumn at = sexp::line_column(many, offset);
        ASSERT_EQ(at.line, line) << offset;
        ASSERT_EQ(at.column, column) << offset;
        if (offset < many.size() && many[offset] == '\n') {
            ++line;
            column = 1;
        } else if (offset < many.size() && (static_cast<unsigned char>(many[offset]) & 0xC0) != 0x80) {
            ++column;
        }
    }
}

} // namespace
