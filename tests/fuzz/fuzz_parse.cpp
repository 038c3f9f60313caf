// Any bytes: the UTF-8 check agrees with a decoder, the build's scan kernel agrees with the
// portable scan, the parser agrees with the reference grammar, and an accepted text gives a
// sound tree that prints and reads back unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/clone.hpp"
#include "core/render.hpp"
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
void compare_slots(const sexp::Tree& t, const fuzz_model::Model& m) {
    if (t.slab.slot_count() != m.nodes.size() || !t.slab.free_stack().empty())
        fail("parsed slot count differs from the reference");
    if (t.root != m.root || t.implicit_root != m.implicit_root)
        fail("root or implicit_root differs from the reference");
    for (sexp::NodeId id = 0; id < m.nodes.size(); ++id) {
        const sexp::Node& n = t.node(id);
        const fuzz_model::MNode& r = m.nodes[id];
        if (n.is_list() != r.list || n.parent != r.parent || n.child_count != r.kids.size() ||
            (!r.list && n.text.view() != r.text))
            fail("parsed node differs from the reference", std::to_string(id));
    }
}

// The build's tokenizer and the portable one cut every input at the same bytes.
void compare_scans(std::string_view text) {
    sexp::Tokenizer fast(text.data(), text.size());
    sexp::PortableTokenizer plain(text.data(), text.size());
    for (;;) {
        sexp::Token a = fast.next(), b = plain.next();
        if (a.kind != b.kind || a.text.data() != b.text.data() || a.text.size() != b.text.size())
            fail("the scan kernel cuts tokens unlike the portable scan");
        if (a.kind == sexp::TokenKind::End)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (sexp::is_valid_utf8(text.data(), text.size()) != fuzz_model::valid_utf8(text))
        fail("is_valid_utf8 disagrees with the reference decoder");
    if (sexp::is_valid_utf8_portable(text.data(), text.size()) !=
        sexp::is_valid_utf8(text.data(), text.size()))
        fail("the portable UTF-8 check disagrees with the kernel's");
    compare_scans(text);

    // The parser is only ever given valid UTF-8, but it works on bytes: any input must leave it
    // sound, so invalid text is parsed too.
    sexp::ParseResult r = sexp::parse(text);
    fuzz_model::Model m;
    MError expected = fuzz_model::parse(text, m);
    if (kind_of(r) != expected)
        fail("parse result differs from the reference grammar");
    if (!r.tree)
        return 0;
    const sexp::Tree& t = *r.tree;
    check_tree(t, "parsed tree breaks an invariant");
    compare_slots(t, m);

    std::string out;
    sexp::render(t, t.root, out);
    if (out != fuzz_model::render(m, m.root) || out != sexp_test::to_text(t, t.root) ||
        out != fuzz_model::render_tight(t, t.root, size % 64))
        fail("rendering differs from the reference", out);

    sexp::ParseResult again = sexp::parse(out);
    if (!again.tree)
        fail("rendering does not parse back", out);
    std::string out2;
    sexp::render(*again.tree, again.tree->root, out2);
    if (out2 != out || !sexp::subtrees_equal(t, t.root, *again.tree, again.tree->root))
        fail("rendering does not read back to an equal tree", out);

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
