// Any bytes, read in the syntax the first byte picks: the UTF-8 check agrees with a decoder,
// the build's scan kernel agrees with the portable scan, the parser agrees with the reference
// grammar, the error's place is found where the parser would see it, and an accepted text
// gives a sound tree that prints and reads back unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/clone.hpp"
#include "core/render.hpp"
#include "locate_check.hpp"
#include "model.hpp"
#include "output_check.hpp"
#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"
#include "tree_check.hpp"

using fuzz_model::fail;
using fuzz_model::MError;

namespace {

MError kind_of(const sexp::ParseResult& r) {
    if (r.tree)
        return MError::None;
    switch (r.error) {
    case sexp::ParseErrorKind::UnclosedParen:
        return MError::Unclosed;
    case sexp::ParseErrorKind::StrayCloseParen:
        return MError::Stray;
    case sexp::ParseErrorKind::MultipleTopLevel:
        return MError::Multiple;
    case sexp::ParseErrorKind::UnterminatedString:
        return MError::UnterminatedString;
    case sexp::ParseErrorKind::UnterminatedComment:
        return MError::UnterminatedComment;
    case sexp::ParseErrorKind::InvalidUtf8:
        break;
    }
    fail("the parser reported an error kind it never produces");
}

void check_tree(const sexp::Tree& t, const char* what) {
    if (auto ok = sexp_test::check_invariants(t); !ok)
        fail(what, ok.message());
}

// The parsed slab must hold the reference's nodes, at the same ids, in document order.
void compare_parsed(const sexp::Tree& t, const fuzz_model::Model& m) {
    if (t.root != m.root || t.implicit_root != m.implicit_root)
        fail("root or implicit_root differs from the reference");
    fuzz_model::compare_slots(t, m);
}

// The build's tokenizer and the portable one cut every input at the same bytes.
template <sexp::Syntax S> void compare_scans(std::string_view text) {
    sexp::SyntaxTokenizer<S> fast(text.data(), text.size());
    sexp::PortableTokenizer<S> plain(text.data(), text.size());
    for (;;) {
        sexp::Token a = fast.next(), b = plain.next();
        if (a.kind != b.kind || a.text.data() != b.text.data() || a.text.size() != b.text.size())
            fail("the scan kernel cuts tokens unlike the portable scan");
        if (a.kind != sexp::TokenKind::Open && a.kind != sexp::TokenKind::Close &&
            a.kind != sexp::TokenKind::Atom)
            return;
    }
}

// Canonical text cannot say "a list whose first child is an atom starting with ';'" in wasm,
// where "(;" opens a comment; every other parsed tree reads back from its text.
bool prints_back(const fuzz_model::Model& m, int syntax) {
    if (syntax != 3)
        return true;
    for (const fuzz_model::MNode& n : m.nodes)
        if (n.list && !n.kids.empty() && !m.nodes[n.kids[0]].list &&
            m.nodes[n.kids[0]].text[0] == ';')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const int syntax = data[0] % 5;
    const auto s = static_cast<sexp::Syntax>(syntax);
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    bool valid = fuzz_model::valid_utf8(text);
    if (sexp::is_valid_utf8(text.data(), text.size()) != valid)
        fail("is_valid_utf8 disagrees with the reference decoder");
    sexp::Utf8Prefix prefix = sexp::utf8_prefix(text.data(), text.size());
    if (!fuzz_model::valid_utf8(text.substr(0, prefix.valid)) ||
        (prefix.valid == text.size()) != valid)
        fail("utf8_prefix disagrees with the reference decoder");
    sexp::with_syntax(s, [&](auto syn) { compare_scans<decltype(syn)::value>(text); });

    // The parser is only ever given valid UTF-8, but it works on bytes: any input must leave it
    // sound, so invalid text is parsed too.
    sexp::ParseResult r = sexp::parse(text, s);
    fuzz_model::Model m;
    MError expected = fuzz_model::parse(text, m, syntax);
    if (kind_of(r) != expected)
        fail("parse result differs from the reference grammar");
    for (bool validated : {false, true})
        if (std::string why = sexp_test::site_fault(text, s, validated); !why.empty())
            fail("the error is not located where parse sees it", why);
    if (!r.tree)
        return 0;
    const sexp::Tree& t = *r.tree;
    check_tree(t, "parsed tree breaks an invariant");
    compare_parsed(t, m);

    std::string out;
    sexp::render(t, t.root, out);
    if (out != fuzz_model::render(m, m.root) || out != sexp_test::to_text(t, t.root) ||
        out != fuzz_model::render_tight(t, t.root, size % 64))
        fail("rendering differs from the reference", out);

    if (prints_back(m, syntax)) {
        sexp::ParseResult again = sexp::parse(out, s);
        if (!again.tree)
            fail("rendering does not parse back", out);
        std::string out2;
        sexp::render(*again.tree, again.tree->root, out2);
        if (out2 != out || !sexp::subtrees_equal(t, t.root, *again.tree, again.tree->root))
            fail("rendering does not read back to an equal tree", out);
        // Broken into lines, the text reads back just the same.
        std::string lines;
        sexp::render(t, t.root, lines, {true, std::string_view("\t ").substr(0, size % 3)});
        sexp::ParseResult broken = sexp::parse(lines, s);
        if (!broken.tree || !sexp::subtrees_equal(t, t.root, *broken.tree, broken.tree->root))
            fail("the indented text does not read back to an equal tree", lines);
    }

    // A copy of one node, picked by the input, prints like its source.
    sexp::NodeId pick = static_cast<sexp::NodeId>(size % t.slab.slot_count());
    sexp::Tree copy = sexp::clone_subtree(t, pick);
    check_tree(copy, "clone breaks an invariant");
    std::string from_copy, from_source;
    sexp::render(copy, copy.root, from_copy);
    sexp::render(t, pick, from_source);
    if (from_copy != from_source || !sexp::subtrees_equal(t, pick, copy, copy.root))
        fail("clone differs from its source", from_source);
    return 0;
}
