#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/render.hpp"
#include "parse/parser.hpp"
#include "tree_check.hpp"

using namespace std::literals;
using sexp::ParseErrorKind;
using sexp::Syntax;
using namespace sexp_test;

namespace {

// Lists in parentheses, atoms in brackets, so an atom holding a space shows as one.
std::string shape(const Tree& t, NodeId top) {
    std::string out;
    std::vector<std::pair<NodeId, bool>> todo{{top, false}};
    while (!todo.empty()) {
        auto [at, close] = todo.back();
        todo.pop_back();
        if (close) {
            out += ')';
            continue;
        }
        if (!out.empty() && out.back() != '(')
            out += ' ';
        const sexp::Node& n = t.node(at);
        if (n.is_atom()) {
            out += "[" + std::string(n.text.view()) + "]";
            continue;
        }
        out += '(';
        todo.push_back({at, true});
        std::vector<NodeId> kids;
        for (NodeId c = n.first_child; c != NO_NODE; c = t.node(c).next_sibling)
            kids.push_back(c);
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            todo.push_back({*it, false});
    }
    return out;
}

// Parses from an allocation of exactly the text's size, so a sanitizer sees a read past it.
sexp::ParseResult parse_exact(std::string_view text, Syntax s) {
    std::unique_ptr<char[]> buf(new char[text.size()]);
    std::memcpy(buf.get(), text.data(), text.size());
    return sexp::parse({buf.get(), text.size()}, s);
}

struct Case {
    Syntax syntax;
    std::string_view in;
    std::string_view out; // the shape, or "" for a text with no form
};

const Case ACCEPTED[] = {
    {Syntax::Plain, "(a \"b c\" ;x |y|)", "([a] [\"b] [c\"] [;x] [|y|])"},
    {Syntax::Kicad, "(descr \"Capacitor SMD 0805 (2012 Metric)\")",
     "([descr] [\"Capacitor SMD 0805 (2012 Metric)\"])"},
    {Syntax::Kicad, "(a\"b c\"d \"\" \"x\"\"y\")", "([a\"b c\"d] [\"\"] [\"x\"\"y\"])"},
    {Syntax::Kicad, R"(("a\"b" "a\\" b))", R"((["a\"b"] ["a\\"] [b]))"},
    {Syntax::Kicad, R"((a\"b c" ;d |e|))", R"(([a\"b c"] [;d] [|e|]))"},
    {Syntax::Kicad, "\"(\"", "[\"(\"]"},
    {Syntax::Kicad, "# (x\n(a #b\n \t# c (\n d#e (f) # g)", "([a] [#b] [d#e] ([f]) [#] [g])"},
    {Syntax::Smtlib, "(set-info :source |two\nlines (x) \"q\"|)",
     "([set-info] [:source] [|two\nlines (x) \"q\"|])"},
    {Syntax::Smtlib, "(a ; comment (\n b;c\n)", "([a] [b])"},
    {Syntax::Smtlib, R"(("a""b" "a\" b |x\| y))", R"((["a""b"] ["a\"] [b] [|x\|] [y]))"},
    {Syntax::Smtlib, "(x |;| \"|\" y)", "([x] [|;|] [\"|\"] [y])"},
    {Syntax::Smtlib, "; only a comment", ""},
    {Syntax::Wasm, "(module ;; comment (\n (func))", "([module] ([func]))"},
    {Syntax::Wasm, "(a (; block (; nested ;) still ;) b)", "([a] [b])"},
    {Syntax::Wasm, "(a;b ; c(;;)d)", "([a;b] [;] [c] [d])"},
    {Syntax::Wasm, "(a(;x;)b \"a;;b (;\" ;;)\n)", "([a] [b] [\"a;;b (;\"])"},
    {Syntax::Wasm, "(;;) x ;; y", "[x]"},
    {Syntax::Lisp, "(a #| block #| nested |# |# b)", "([a] [b])"},
    {Syntax::Lisp, "(a#|x|#b #t #\\a # |x|)", "([a] [b] [#t] [#\\a] [#] [|x|])"},
    {Syntax::Lisp, R"((|a b| "c d" |a\|b| "e\"f"))", R"(([|a b|] ["c d"] [|a\|b|] ["e\"f"]))"},
    {Syntax::Lisp, "(a ; c\n b #||# c)", "([a] [b] [c])"},
};

TEST(Syntax, SmallTextsReadAsTheirFormatsWriteThem) {
    for (const Case& c : ACCEPTED) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.syntax) << ": " << c.in);
        sexp::ParseResult r = parse_exact(c.in, c.syntax);
        ASSERT_TRUE(r.tree) << sexp::parse_error_message(r.error);
        const Tree& t = *r.tree;
        EXPECT_TRUE(check_invariants(t));
        EXPECT_EQ(t.implicit_root, c.out.empty());
        if (!c.out.empty())
            EXPECT_EQ(shape(t, t.root), c.out);
        // The canonical text reads back to the same tree in the same syntax.
        std::string text;
        sexp::render(t, t.root, text);
        sexp::ParseResult again = sexp::parse(text, c.syntax);
        ASSERT_TRUE(again.tree) << text;
        EXPECT_TRUE(sexp::subtrees_equal(t, t.root, *again.tree, again.tree->root)) << text;
    }
}

TEST(Syntax, ErrorsAndTheirOrder) {
    struct Error {
        Syntax syntax;
        std::string_view in;
        ParseErrorKind kind;
    } cases[] = {
        {Syntax::Kicad, "(a \"b", ParseErrorKind::UnterminatedString},
        {Syntax::Kicad, "(\"abc) )", ParseErrorKind::UnterminatedString},
        {Syntax::Kicad, "\"a\\\"", ParseErrorKind::UnterminatedString},
        {Syntax::Kicad, ") \"a", ParseErrorKind::StrayCloseParen},
        {Syntax::Kicad, "(a) \"b", ParseErrorKind::UnterminatedString},
        {Syntax::Kicad, "\"a\" \"b\"", ParseErrorKind::MultipleTopLevel},
        {Syntax::Smtlib, "(a |b", ParseErrorKind::UnterminatedString},
        {Syntax::Smtlib, "(a \"b\\\" c", ParseErrorKind::UnclosedParen},
        {Syntax::Smtlib, "(a ; b)", ParseErrorKind::UnclosedParen},
        {Syntax::Wasm, "(a (; x", ParseErrorKind::UnterminatedComment},
        {Syntax::Wasm, "(;)", ParseErrorKind::UnterminatedComment},
        {Syntax::Wasm, "(; (; ;)", ParseErrorKind::UnterminatedComment},
        {Syntax::Wasm, "a) (;", ParseErrorKind::StrayCloseParen},
        {Syntax::Wasm, "(a ;; x", ParseErrorKind::UnclosedParen},
        {Syntax::Wasm, "(a \"b\\\" c)", ParseErrorKind::UnterminatedString},
        {Syntax::Lisp, "#|#", ParseErrorKind::UnterminatedComment},
        {Syntax::Lisp, "(a |b\\| c)", ParseErrorKind::UnterminatedString},
        {Syntax::Lisp, "a #| b", ParseErrorKind::UnterminatedComment},
        {Syntax::Lisp, "a b #||#", ParseErrorKind::MultipleTopLevel},
    };
    for (const Error& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.syntax) << ": " << c.in);
        sexp::ParseResult r = parse_exact(c.in, c.syntax);
        ASSERT_FALSE(r.tree);
        EXPECT_EQ(r.error, c.kind);
    }
}

// Quoted runs, escapes and comments of every length around the 16-byte block, so that each
// delimiter falls at every offset of a block and at the end of the text.
TEST(Syntax, RunsAndCommentsAroundTheBlockSize) {
    for (std::size_t len = 0; len <= 40; ++len) {
        std::string body;
        for (std::size_t i = 0; i < len; ++i)
            body += "x( ;|#\""[i % 7];
        std::string escaped_body;
        for (char c : body)
            escaped_body += c == '"' ? "\\\""s : std::string(1, c);
        for (std::string_view tail : {""sv, " "sv, "\\\\"sv}) {
            SCOPED_TRACE(testing::Message() << "len " << len << " tail " << tail);
            std::string run = "\"" + escaped_body + std::string(tail) + "\"";
            std::string text = std::string(len % 17, ' ') + "(" + run + "z " + run + ")";
            for (Syntax s : {Syntax::Kicad, Syntax::Wasm, Syntax::Lisp}) {
                sexp::ParseResult r = parse_exact(text, s);
                ASSERT_TRUE(r.tree);
                EXPECT_EQ(shape(*r.tree, r.tree->root), "([" + run + "z] [" + run + "])");
            }
        }
        for (auto [s, starter] :
             {std::pair{Syntax::Smtlib, ";"}, {Syntax::Wasm, ";;"}, {Syntax::Lisp, ";"}}) {
            sexp::ParseResult r = parse_exact("(a" + std::string(starter) + body + "\nb)", s);
            ASSERT_TRUE(r.tree);
            EXPECT_EQ(shape(*r.tree, 0), "([a] [b])");
        }
        std::string block = "(a (;" + body + " (; ;) ;)b)";
        sexp::ParseResult r = parse_exact(block, Syntax::Wasm);
        if (body.find(";)") == std::string::npos && body.find("(;") == std::string::npos) {
            ASSERT_TRUE(r.tree) << block;
            EXPECT_EQ(shape(*r.tree, 0), "([a] [b])");
        }
    }
}

// ---- reading form by form ----------------------------------------------------------------

struct Read {
    std::vector<std::string> forms;           // shapes
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    bool failed = false;
    ParseErrorKind error = ParseErrorKind::UnclosedParen;
    bool operator==(const Read&) const = default;
};

void collect(sexp::FormReader& reader, Read& out, const std::string& text, std::size_t chunk,
             std::size_t& fed) {
    for (;;) {
        switch (reader.next()) {
        case sexp::FormReader::Status::Form: {
            Tree t = reader.take_form();
            EXPECT_TRUE(check_invariants(t));
            out.forms.push_back(shape(t, t.root));
            out.ranges.emplace_back(reader.form_begin(), reader.form_end());
            continue;
        }
        case sexp::FormReader::Status::NeedBytes:
            if (fed == text.size()) {
                reader.finish();
            } else {
                std::size_t n = std::min(chunk, text.size() - fed);
                reader.append(text.data() + fed, n);
                fed += n;
            }
            continue;
        case sexp::FormReader::Status::Done:
            return;
        case sexp::FormReader::Status::Error:
            out.failed = true;
            out.error = reader.error();
            return;
        }
    }
}

Read read_whole(const std::string& text, Syntax s) {
    sexp::FormReader reader(s);
    reader.read_text(text, false);
    Read out;
    std::size_t fed = text.size();
    collect(reader, out, text, 0, fed);
    return out;
}

Read read_chunks(const std::string& text, Syntax s, std::size_t chunk) {
    sexp::FormReader reader(s);
    Read out;
    std::size_t fed = 0;
    collect(reader, out, text, chunk, fed);
    return out;
}

TEST(FormReader, ChunksOfEverySizeReadAsTheWholeText) {
    struct Script {
        Syntax syntax;
        std::string text;
        std::vector<std::string> forms;
        bool failed;
        ParseErrorKind error;
    } scripts[] = {
        {Syntax::Plain, "(a b) c ((d)) ", {"([a] [b])", "[c]", "(([d]))"}, false, {}},
        {Syntax::Plain, "", {}, false, {}},
        {Syntax::Smtlib,
         "; header\n(set-info :source |a (b)\nc|)(check-sat)\r\n; end",
         {"([set-info] [:source] [|a (b)\nc|])", "([check-sat])"}, false, {}},
        {Syntax::Wasm,
         "(module (; a\n(; b ;) ;))\n;; x\n(assert \"s;;(\\\"\") atom",
         {"([module])", "([assert] [\"s;;(\\\"\"])", "[atom]"}, false, {}},
        {Syntax::Lisp, "(a) #| (b) |# c |d e|", {"([a])", "[c]", "[|d e|]"}, false, {}},
        {Syntax::Kicad, "(a) (b \"c", {"([a])"}, true, ParseErrorKind::UnterminatedString},
        {Syntax::Kicad, "# netlist (\n(a)\n  #  (\n*\n{ x }\n", {"([a])", "[*]", "[{]", "[x]", "[}]"},
         false, {}},
        {Syntax::Wasm, "(a) (; (b)", {"([a])"}, true, ParseErrorKind::UnterminatedComment},
        {Syntax::Plain, "(a) b) (c", {"([a])", "[b]"}, true, ParseErrorKind::StrayCloseParen},
        {Syntax::Plain, "(a) (b (c)", {"([a])"}, true, ParseErrorKind::UnclosedParen},
        {Syntax::Plain, "(a) (\xC3\xA9)x\xC3", {"([a])", "([\xC3\xA9])"}, true,
         ParseErrorKind::InvalidUtf8},
        {Syntax::Plain, "(a) b\xFF c", {"([a])"}, true, ParseErrorKind::InvalidUtf8},
        {Syntax::Plain, "(a) b \xFF", {"([a])", "[b]"}, true, ParseErrorKind::InvalidUtf8},
    };
    for (const Script& s : scripts) {
        SCOPED_TRACE(testing::PrintToString(s.text));
        Read whole = read_whole(s.text, s.syntax);
        EXPECT_EQ(whole.forms, s.forms);
        EXPECT_EQ(whole.failed, s.failed);
        if (s.failed) {
            EXPECT_EQ(whole.error, s.error);
        }
        // Each form's range of the text parses to that form alone.
        for (std::size_t i = 0; i < whole.forms.size(); ++i) {
            auto [b, e] = whole.ranges[i];
            std::string_view bytes = std::string_view(s.text).substr(b, e - b);
            sexp::ParseResult one = sexp::parse(bytes, s.syntax);
            ASSERT_TRUE(one.tree);
            EXPECT_EQ(shape(*one.tree, one.tree->root), whole.forms[i]);
        }
        for (std::size_t chunk = 1; chunk <= s.text.size() + 1; ++chunk)
            EXPECT_EQ(read_chunks(s.text, s.syntax, chunk), whole) << "chunk " << chunk;
    }
}

TEST(FormReader, LongTokensAndCommentsAcrossManyChunks) {
    std::string big(100000, 'x');
    std::string text = "(a \"" + big + "\" #|" + big + " #| |# |# " + big + ") ; " + big + "\n(b)";
    Read whole = read_whole(text, Syntax::Lisp);
    ASSERT_EQ(whole.forms.size(), 2u);
    EXPECT_EQ(whole.forms[0], "([a] [\"" + big + "\"] [" + big + "])");
    EXPECT_EQ(read_chunks(text, Syntax::Lisp, 7), whole);
    // What the reader holds stays near a chunk and the form's longest token.
    sexp::FormReader reader(Syntax::Lisp);
    std::string comment = "#|" + std::string(1 << 22, 'c') + "|# (x)";
    Read out;
    std::size_t fed = 0;
    collect(reader, out, comment, 4096, fed);
    EXPECT_EQ(out.forms, std::vector<std::string>{"([x])"});
    EXPECT_LE(reader.buffered(), 16384u);
}

} // namespace
