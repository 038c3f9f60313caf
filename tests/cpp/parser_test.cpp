#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "core/render.hpp"
#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"
#include "tree_check.hpp"

using namespace std::literals;
using sexp::ParseErrorKind;
using namespace sexp_test;

namespace {

std::string rendered(const Tree& t) {
    std::string out;
    sexp::render(t, t.root, out);
    return out;
}

TEST(Parser, AcceptedTextsRenderCanonically) {
    struct Case {
        std::string_view in, out;
        std::size_t nodes;
    } cases[] = {
        {"hello", "hello", 1},
        {"  x\r\n", "x", 1},
        {"()", "()", 1},
        {"(a(b)c)", "(a (b) c)", 5},
        {" (\ta\n(b\r\nc)  ()\r) ", "(a (b c) ())", 6},
        {"((()))", "((()))", 3},
        {"\v", "\v", 1},
        {"\f", "\f", 1},
        {"(\"a b\")", "(\"a b\")", 3},
        {";x", ";x", 1},
        {"('a `b #c . d)", "('a `b #c . d)", 6},
        {"(a\xC2\xA0"
         "b)",
         "(a\xC2\xA0"
         "b)",
         2},
        {"(a\0b \x01)"sv, "(a\0b \x01)"sv, 3},
        {"(aaaaaaaaaaaaaaa bbbbbbbbbbbbbbbb)", "(aaaaaaaaaaaaaaa bbbbbbbbbbbbbbbb)", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        sexp::ParseResult r = sexp::parse(c.in);
        ASSERT_TRUE(r.tree);
        const Tree& t = *r.tree;
        EXPECT_TRUE(check_invariants(t));
        EXPECT_EQ(t.root, 0u);
        EXPECT_FALSE(t.implicit_root);
        EXPECT_EQ(t.slab.slot_count(), c.nodes);
        EXPECT_TRUE(t.slab.free_stack().empty());
        EXPECT_EQ(rendered(t), c.out);
        EXPECT_EQ(to_text(t, t.root), c.out);
    }
}

// Parses from an allocation of exactly the text's size, so that a sanitizer sees any read past
// the end.
Tree parsed_exact(const std::string& text) {
    std::unique_ptr<char[]> buf(new char[text.size()]);
    std::memcpy(buf.get(), text.data(), text.size());
    return parsed({buf.get(), text.size()});
}

// Atoms and gaps of every length around the 16-byte scanning block, made of the byte values
// next to the delimiters, at varying distances from the end of the input.
TEST(Parser, AtomAndGapLengthsAroundTheBlockSize) {
    const std::string bytes = "\x08\x0B\x0C\x0E\x1F!'*\x7F\0\"\x27;#a.z"s;
    for (std::size_t len = 1; len <= 40; ++len) {
        for (std::size_t gap : {1u, 2u, 15u, 16u, 17u, 31u, 33u}) {
            std::string a, b, ws;
            for (std::size_t i = 0; i < len; ++i) {
                a += bytes[i % bytes.size()];
                b += bytes[(i + 5) % bytes.size()];
            }
            for (std::size_t i = 0; i < gap; ++i)
                ws += " \t\n\r"[i % 4];
            SCOPED_TRACE(testing::Message() << "len " << len << " gap " << gap);
            Tree list = parsed_exact(ws + "(" + a + ws + b + ")" + (gap % 2 ? "" : ws));
            EXPECT_EQ(to_text(list, list.root), "(" + a + " " + b + ")");
            EXPECT_EQ(list.node(list.root).child_count, 2u);
            Tree nested = parsed_exact("(" + a + "(" + b + ")" + a + ")" + ws);
            EXPECT_EQ(to_text(nested, nested.root), "(" + a + " (" + b + ") " + a + ")");
            Tree lone = parsed_exact(ws + a + (gap % 2 ? ws : ""));
            EXPECT_EQ(to_text(lone, lone.root), a);
        }
    }
}

TEST(Parser, TextWithoutAFormGivesAnImplicitEmptyRoot) {
    for (std::string_view in : {""sv, " "sv, "\t\n\r  \r\n"sv}) {
        sexp::ParseResult r = sexp::parse(in);
        ASSERT_TRUE(r.tree);
        EXPECT_TRUE(r.tree->implicit_root);
        EXPECT_EQ(r.tree->slab.slot_count(), 1u);
        EXPECT_TRUE(r.tree->node(r.tree->root).is_list());
        EXPECT_EQ(r.tree->node(r.tree->root).child_count, 0u);
        EXPECT_EQ(rendered(*r.tree), "");
    }
}

TEST(Parser, ErrorsAndTheirPrecedence) {
    struct Case {
        std::string_view in;
        ParseErrorKind kind;
    } cases[] = {
        {"(", ParseErrorKind::UnclosedParen},          {"((a)", ParseErrorKind::UnclosedParen},
        {"a(", ParseErrorKind::UnclosedParen},         {"(a) (b", ParseErrorKind::UnclosedParen},
        {")", ParseErrorKind::StrayCloseParen},        {"a)", ParseErrorKind::StrayCloseParen},
        {"(a))", ParseErrorKind::StrayCloseParen},     {"(a)) (", ParseErrorKind::StrayCloseParen},
        {"a b c)", ParseErrorKind::StrayCloseParen},   {"a b", ParseErrorKind::MultipleTopLevel},
        {"(a) (b)", ParseErrorKind::MultipleTopLevel}, {"a(b)", ParseErrorKind::MultipleTopLevel},
        {"'(a)", ParseErrorKind::MultipleTopLevel},    {"() ()", ParseErrorKind::MultipleTopLevel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        sexp::ParseResult r = sexp::parse(c.in);
        EXPECT_FALSE(r.tree);
        EXPECT_EQ(r.error, c.kind);
    }
}

TEST(Parser, SlotsFollowDocumentOrder) {
    Tree t = parsed("(a (b c) d)");
    ASSERT_TRUE(check_invariants(t));
    const char* texts[] = {nullptr, "a", nullptr, "b", "c", "d"};
    NodeId parents[] = {NO_NODE, 0, 0, 2, 2, 0};
    ASSERT_EQ(t.slab.slot_count(), 6u);
    for (NodeId id = 0; id < 6; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(t.parent(id), parents[id]);
        EXPECT_EQ(t.node(id).is_list(), texts[id] == nullptr);
        if (texts[id]) {
            EXPECT_EQ(t.node(id).text.view(), texts[id]);
        }
    }
    EXPECT_EQ(t.node(0).child_count, 3u);
    EXPECT_EQ(t.generation, 0u);
}

TEST(Parser, MillionNestedListsNeedNoCallStack) {
    const std::size_t depth = 1'000'000;
    std::string text = std::string(depth, '(') + "x" + std::string(depth, ')');
    {
        Tree t = parsed(text);
        ASSERT_EQ(t.slab.slot_count(), depth + 1);
        EXPECT_TRUE(check_invariants(t));
        NodeId at = t.root;
        std::size_t lists = 0;
        for (; t.node(at).is_list(); at = t.first_child(at))
            ++lists;
        EXPECT_EQ(lists, depth);
        EXPECT_EQ(t.node(at).text.view(), "x");
        EXPECT_EQ(rendered(t), text);
        EXPECT_EQ(to_text(t, t.root), text);
    } // destroyed here
}

TEST(Utf8, AcceptsExactlyWellFormedSequences) {
    struct Case {
        std::string_view bytes;
        bool valid;
    } cases[] = {
        {""sv, true},
        {"a"sv, true},
        {"\0"sv, true},
        {"\x7F"sv, true},
        {"\xC2\x80"sv, true},
        {"\xDF\xBF"sv, true},
        {"\xE0\xA0\x80"sv, true},
        {"\xED\x9F\xBF"sv, true},
        {"\xEE\x80\x80"sv, true},
        {"\xEF\xBF\xBF"sv, true},
        {"\xF0\x90\x80\x80"sv, true},
        {"\xF4\x8F\xBF\xBF"sv, true},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"sv, true},
        // overlong forms
        {"\xC0\x80"sv, false},
        {"\xC1\xBF"sv, false},
        {"\xE0\x80\x80"sv, false},
        {"\xE0\x9F\xBF"sv, false},
        {"\xF0\x80\x80\x80"sv, false},
        {"\xF0\x8F\xBF\xBF"sv, false},
        // surrogates, above U+10FFFF, bytes that never occur
        {"\xED\xA0\x80"sv, false},
        {"\xED\xBF\xBF"sv, false},
        {"\xF4\x90\x80\x80"sv, false},
        {"\xF5\x80\x80\x80"sv, false},
        {"\xFE"sv, false},
        {"\xFF"sv, false},
        // stray continuation bytes
        {"\x80"sv, false},
        {"\xBF"sv, false},
        {"a\x80"
         "b"sv,
         false},
        {"\xC3\xA9\xA9"sv, false},
        // truncated at the end
        {"\xC2"sv, false},
        {"\xE2\x82"sv, false},
        {"\xF0\x9F\x98"sv, false},
        {"ab\xF0"sv, false},
        // truncated in the middle
        {"\xC2"
         "a"sv,
         false},
        {"\xE2\x82"
         "a"sv,
         false},
        {"\xE2"
         "a\xAC"sv,
         false},
        {"\xF0\x9F\x98"
         "a"sv,
         false},
        {"\xF0\x9F"
         "a\x80"sv,
         false},
        {"\xC2\xC2\x80"sv, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(sexp::is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid);
    }
}

// Checks `bytes` from an allocation of exactly that size, so that a sanitizer sees any read
// past the end.
bool valid_exact(std::string_view bytes) {
    std::unique_ptr<char[]> buf(new char[bytes.size()]);
    std::memcpy(buf.get(), bytes.data(), bytes.size());
    return sexp::is_valid_utf8(buf.get(), bytes.size());
}

TEST(Utf8, BadByteIsFoundAtEveryOffsetOfAnAsciiRun) {
    for (std::size_t len = 1; len <= 48; ++len) {
        for (std::size_t at = 0; at < len; ++at) {
            SCOPED_TRACE(testing::Message() << "len " << len << " at " << at);
            std::string s(len, 'a');
            s[at] = '\x80';
            EXPECT_FALSE(valid_exact(s));
            s[at] = '\xC3'; // a lead byte followed by ASCII or by the end
            EXPECT_FALSE(valid_exact(s));
            if (at + 1 < len) {
                s[at + 1] = '\xA9';
                EXPECT_TRUE(valid_exact(s));
            }
        }
        // a sequence cut short by the length, whatever bytes follow it in memory
        for (std::string_view seq : {"\xC3\xA9"sv, "\xE2\x82\xAC"sv, "\xF0\x9F\x98\x80"sv}) {
            std::string s = std::string(len, 'a') + std::string(seq) + "\x80";
            for (std::size_t cut = 1; cut < seq.size(); ++cut)
                EXPECT_FALSE(sexp::is_valid_utf8(s.data(), len + cut)) << len << " " << cut;
            EXPECT_TRUE(sexp::is_valid_utf8(s.data(), len + seq.size()));
        }
    }
}

// Node counts recorded beside the corpus: "| `dir/name` | size | nodes | ...".
std::map<std::string, std::size_t> manifest_counts(const std::filesystem::path& dir) {
    std::map<std::string, std::size_t> counts;
    std::ifstream in(dir / "MANIFEST.md");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("| `", 0) != 0)
            continue;
        std::size_t close = line.find('`', 3);
        std::istringstream cells(line.substr(line.find('|', close) + 1));
        std::string size, nodes;
        std::getline(cells, size, '|');
        std::getline(cells, nodes, '|');
        counts[line.substr(3, close - 3)] = std::strtoull(nodes.c_str(), nullptr, 10);
    }
    return counts;
}

TEST(Corpus, EveryFileRoundTripsThroughText) {
    const char* env = std::getenv("SEXP_CORPUS");
    std::filesystem::path dir =
        env ? std::filesystem::path(env)
            : std::filesystem::path(__FILE__).parent_path() / "../../../shared/corpus";
    if (!std::filesystem::is_directory(dir))
        GTEST_SKIP() << "no corpus at " << dir;
    auto counts = manifest_counts(dir);
    std::size_t checked = 0, listed = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        std::string rel = std::filesystem::relative(entry.path(), dir).generic_string();
        if (!entry.is_regular_file() || rel.rfind("LICENSES", 0) == 0 || rel == "MANIFEST.md")
            continue;
        SCOPED_TRACE(rel);
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        bool valid = sexp::is_valid_utf8(text.data(), text.size());
        sexp::ParseResult first = valid ? sexp::parse(text) : sexp::ParseResult{};
        if (!first.tree) {
            std::cout << "skipped (not valid UTF-8 or not accepted): " << rel << "\n";
            continue;
        }
        const Tree& t = *first.tree;
        ASSERT_TRUE(check_invariants(t));
        if (counts.count(rel)) {
            EXPECT_EQ(t.slab.live_count(), counts[rel]);
            ++listed;
        }
        std::string out = rendered(t);
        EXPECT_EQ(out, to_text(t, t.root));
        sexp::ParseResult again = sexp::parse(out);
        ASSERT_TRUE(again.tree);
        EXPECT_TRUE(check_invariants(*again.tree));
        EXPECT_TRUE(sexp::subtrees_equal(t, t.root, *again.tree, again.tree->root));
        EXPECT_EQ(rendered(*again.tree), out);
        ++checked;
    }
    EXPECT_GT(checked, 0u);
    EXPECT_EQ(listed, checked); // every file's node count was compared
}

} // namespace
