// Trees that keep the layout of their text: written back exactly, and after an edit changed
// only where the edit is.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/build.hpp"
#include "core/clone.hpp"
#include "core/kept_writer.hpp"
#include "core/mutation.hpp"
#include "core/pack.hpp"
#include "core/render.hpp"
#include "parse/parser.hpp"
#include "parse/unpack.hpp"
#include "tree_check.hpp"

namespace {

using sexp::Node;
using sexp::NodeId;
using sexp::Syntax;
using sexp::Tree;
using sexp_test::check_invariants;

Tree keep(const std::string& text, Syntax syntax) {
    sexp::ParseResult r = sexp::parse_keeping_layout(std::make_shared<sexp::OwnedText>(text), syntax);
    if (!r.tree)
        ADD_FAILURE() << "does not parse: " << text;
    return r.tree ? std::move(*r.tree) : sexp::make_empty_tree();
}

std::string kept(const Tree& t, NodeId node) {
    std::string out;
    sexp::Layout layout;
    layout.kept = true;
    sexp::render(t, node, out, layout);
    return out;
}

// The node a path of child positions leads to.
NodeId at(const Tree& t, std::initializer_list<int> path) {
    NodeId id = t.root;
    for (int k : path) {
        id = t.node(id).first_child;
        for (int i = 0; i < k; ++i)
            id = t.node(id).next_sibling;
    }
    return id;
}

// As the value setter does it.
void set_value(Tree& t, NodeId id, std::string_view text) {
    sexp::mark_value_edited(t, id);
    Node& n = t.node_mut(id);
    n.text.destroy();
    n.text = sexp::AtomText::make(text);
}

NodeId atom(Tree& t, std::string_view text) {
    return sexp::add_detached(t, Node::atom(text));
}

// Forms read one by one in chunks of `chunk` bytes, each written back, joined.
std::string forms_written(const std::string& text, Syntax syntax, std::size_t chunk) {
    sexp::FormReader reader(syntax, true);
    std::string out;
    std::size_t fed = 0;
    for (;;) {
        switch (reader.next()) {
        case sexp::FormReader::Status::Form: {
            Tree t = reader.take_form();
            EXPECT_TRUE(check_invariants(t));
            out += kept(t, t.root);
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
            return out;
        case sexp::FormReader::Status::Error:
            ADD_FAILURE() << "error " << static_cast<int>(reader.error());
            return out;
        }
    }
}

TEST(Layout, EveryRealFileWritesBackByteForByte) {
    const std::filesystem::path shared = std::filesystem::path(__FILE__).parent_path() / "../../../shared";
    const std::pair<const char*, Syntax> folders[] = {
        {"corpus/kicad", Syntax::Plain},   {"corpus/edif", Syntax::Plain},
        {"corpus/smtlib", Syntax::Plain},  {"corpus/wasm", Syntax::Plain},
        {"formats/kicad", Syntax::Kicad},  {"formats/smtlib", Syntax::Smtlib},
        {"formats/wasm", Syntax::Wasm},    {"formats/lisp", Syntax::Lisp},
    };
    std::size_t checked = 0;
    for (const auto& [folder, syntax] : folders) {
        if (!std::filesystem::is_directory(shared / folder))
            continue;
        for (const auto& entry : std::filesystem::directory_iterator(shared / folder)) {
            SCOPED_TRACE(entry.path().string());
            std::ifstream in(entry.path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(forms_written(text, syntax, 1 << 16), text);
            sexp::ParseResult r =
                sexp::parse_keeping_layout(std::make_shared<sexp::OwnedText>(text), syntax);
            ++checked;
            if (!r.tree)
                continue; // a script of several forms
            Tree& t = *r.tree;
            ASSERT_TRUE(check_invariants(t));
            EXPECT_EQ(kept(t, t.root), text);
            // With every atom given its own text again, and then written from its parts, every
            // list gives its text too.
            for (NodeId id = 0; id < t.slab.slot_count(); ++id)
                if (t.slab.raw(id).is_atom())
                    set_value(t, id, std::string(t.slab.raw(id).text.view()));
            EXPECT_EQ(kept(t, t.root), text);
            for (NodeId id = 0; id < t.slab.slot_count(); ++id)
                if (t.slab.raw(id).is_list())
                    t.slab.raw(id).mark(Node::EDITED_SHAPE);
            EXPECT_EQ(kept(t, t.root), text);
        }
    }
    if (checked == 0)
        GTEST_SKIP() << "no real files beside the checkout";
}

struct Edit {
    const char* name;
    Syntax syntax;
    std::string text;
    std::function<void(Tree&)> edit;
    std::string want;
};

TEST(Layout, EditsChangeOnlyWhatTheyTouch) {
    const std::string board = "(a\n  (b 1) ; about b\n  ; about c\n  (c 2)\n)\n";
    const Edit edits[] = {
        {"a value", Syntax::Smtlib, board,
         [](Tree& t) { set_value(t, at(t, {1, 1}), "10"); },
         "(a\n  (b 10) ; about b\n  ; about c\n  (c 2)\n)\n"},
        {"a child with its comments", Syntax::Smtlib, board,
         [](Tree& t) { sexp::remove(t, at(t, {1})); }, "(a\n  ; about c\n  (c 2)\n)\n"},
        {"the last child: the closing text stays", Syntax::Smtlib, board,
         [](Tree& t) { sexp::remove(t, at(t, {2})); }, "(a\n  (b 1) ; about b\n)\n"},
        {"a move takes the comments along", Syntax::Smtlib, board,
         [](Tree& t) { sexp::insert_after(t, t.root, at(t, {0}), at(t, {2})); },
         "(a\n  ; about c\n  (c 2)\n  (b 1) ; about b\n)\n"},
        {"nothing may follow a line comment on its line", Syntax::Smtlib, "(a b ; note\r\n c)",
         [](Tree& t) { sexp::remove(t, at(t, {2})); }, "(a b ; note\r\n)"},
        {"a new node on the line of the one it follows", Syntax::Kicad,
         "(a\n\t(b 1)\n\t(c 2))",
         [](Tree& t) {
             sexp::append_built(t, t.root,
                                std::vector<sexp::BuildStep>{
                                    sexp::BuildStep::open(), sexp::BuildStep::atom("x"),
                                    sexp::BuildStep::open(), sexp::BuildStep::atom("y"),
                                    sexp::BuildStep::close(), sexp::BuildStep::close()});
         },
         "(a\n\t(b 1)\n\t(c 2)\n\t(x\n\t\t(y)))"},
        {"first in its list, nothing before it", Syntax::Plain, "(a b)",
         [](Tree& t) { sexp::prepend(t, t.root, atom(t, "x")); }, "(x a b)"},
        {"one line, one line", Syntax::Plain, "(a (b c))",
         [](Tree& t) {
             sexp::append_built(t, at(t, {1}),
                                std::vector<sexp::BuildStep>{
                                    sexp::BuildStep::open(), sexp::BuildStep::atom("d"),
                                    sexp::BuildStep::open(), sexp::BuildStep::close(),
                                    sexp::BuildStep::close()});
         },
         "(a (b c (d ())))"},
        {"(; would open a comment", Syntax::Wasm, "(a ;x)",
         [](Tree& t) { sexp::remove(t, at(t, {0})); }, "( ;x)"},
        {"# would start a comment line", Syntax::Kicad, "(a\n  b)",
         [](Tree& t) { sexp::append(t, t.root, atom(t, "#x")); }, "(a\n  b #x)"},
        {"a comment after an atom needs no space", Syntax::Smtlib, "(a x;c\n)",
         [](Tree& t) { set_value(t, at(t, {1}), "yy"); },
         "(a yy;c\n)"},
        {"a text with no form", Syntax::Lisp, "; only this\n",
         [](Tree& t) { sexp::append(t, t.root, atom(t, "x")); }, "; only this\n(x)"},
        {"a copy brings the text around it", Syntax::Smtlib, board,
         [](Tree& t) {
             std::vector<sexp::TreeCopy> copies;
             copies.push_back({sexp::clone_subtree(t, at(t, {1}), false), false});
             sexp::append_built(t, t.root, std::vector{sexp::BuildStep::copy(0)}, copies);
         },
         "(a\n  (b 1) ; about b\n  ; about c\n  (c 2)\n  (b 1) ; about b\n)\n"},
        {"copies never join one another", Syntax::Lisp, "(a b)",
         [](Tree& t) {
             std::vector<sexp::TreeCopy> copies;
             copies.push_back({sexp::clone_subtree(t, at(t, {1}), false), false});
             copies.push_back({sexp::clone_subtree(t, at(t, {0}), false), false});
             sexp::append_built(t, t.root,
                                std::vector{sexp::BuildStep::copy(0), sexp::BuildStep::copy(1)},
                                copies);
         },
         "(a b b a)"},
        {"a copy's unit is its tree's, in every copy of the tree", Syntax::Lisp, "(a b)",
         [](Tree& t) {
             Tree other = keep("(x\n  (y))", Syntax::Lisp);
             std::vector<sexp::TreeCopy> copies;
             copies.push_back({sexp::clone_subtree(other, at(other, {1}), false), false});
             sexp::append_built(t, t.root,
                                std::vector{sexp::BuildStep::copy(0), sexp::BuildStep::open(),
                                            sexp::BuildStep::open(), sexp::BuildStep::atom("p"),
                                            sexp::BuildStep::close(), sexp::BuildStep::close()},
                                copies);
         },
         "(a b\n  (y)\n  ((p)))"},
        {"a new node takes a line break, not the comment it is in", Syntax::Wasm,
         "(a (; x\n y ;) b)", [](Tree& t) { sexp::append(t, t.root, atom(t, "c")); },
         "(a (; x\n y ;) b\n c)"},
        {"line breaks counted as the indented writer counts them", Syntax::Lisp, "(a\n  (b)\n  c)",
         [](Tree& t) {
             NodeId list = sexp::add_detached(t, Node::list());
             sexp::append(t, list, atom(t, "x"));
             sexp::append(t, list, at(t, {1}));
             sexp::append(t, list, at(t, {1}));
             sexp::append(t, list, atom(t, "y"));
             sexp::append(t, t.root, list);
         },
         "(a (x\n  (b)\n  c\n  y))"},
        {"a text with no form that ends in a comment", Syntax::Kicad, "# only this",
         [](Tree& t) { sexp::append(t, t.root, atom(t, "x")); }, "# only this\n(x)"},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.name);
        Tree t = keep(e.text, e.syntax);
        e.edit(t);
        ASSERT_TRUE(check_invariants(t));
        EXPECT_EQ(kept(t, t.root), e.want);
        // Reads back as the tree it is, in every copy of it.
        std::string out = kept(t, t.root);
        Tree back = keep(out, e.syntax);
        EXPECT_TRUE(sexp::subtrees_equal(t, t.root, back, back.root));
        EXPECT_EQ(kept(sexp::clone_subtree(t, t.root), t.root), out);
        std::string bytes(sexp::packed_size(t, t.root), '\0');
        sexp::pack(t, t.root, bytes.data());
        std::optional<Tree> unpacked = sexp::unpack(bytes);
        ASSERT_TRUE(unpacked);
        ASSERT_TRUE(check_invariants(*unpacked));
        EXPECT_EQ(kept(*unpacked, unpacked->root), out);
    }
}

TEST(Layout, AValueStartingWithHashIsRefusedWhereItWouldBeginALine) {
    Tree root = keep("a", Syntax::Kicad);
    EXPECT_FALSE(sexp::reads_back_as_atom(root, root.root, "#x"));
    EXPECT_TRUE(sexp::reads_back_as_atom(root, root.root, "x#"));
    Tree t = keep("(a\n b c)", Syntax::Kicad);
    EXPECT_FALSE(sexp::reads_back_as_atom(t, at(t, {1}), "#x"));
    EXPECT_TRUE(sexp::reads_back_as_atom(t, at(t, {2}), "#x"));
}

TEST(Layout, ACopyOfAPartIsItsOwnTextAlone) {
    Tree t = keep("; header\n(a\n  (b (c 1)) ; note\n  (d))\n", Syntax::Lisp);
    NodeId b = at(t, {1});
    Tree copy = sexp::clone_subtree(t, b);
    ASSERT_TRUE(check_invariants(copy));
    EXPECT_EQ(kept(copy, copy.root), "(b (c 1))");
    // Only the text the part needs goes along.
    EXPECT_EQ(copy.layout->source_size(), 9u);
    EXPECT_EQ(kept(t, b), "(b (c 1))");
}

// Under the sanitizers: an output with no storage yet, and a last form that takes the
// reader's buffer with a text after it.
TEST(Layout, TheEdgesOfATextWriteBack) {
    Tree t = keep("", Syntax::Kicad);
    EXPECT_EQ(kept(t, t.root), "");
    EXPECT_EQ(forms_written("(a) ", Syntax::Lisp, 1), "(a) ");
}

TEST(Layout, APartGatheredFromTwoTextsKeepsThemApart) {
    // A node moved in from after the part, then a copy: the part's copy gathers both texts.
    Tree t = keep("(r (k p) m)", Syntax::Lisp);
    NodeId part = at(t, {1});
    sexp::append(t, part, at(t, {2}));
    std::vector<sexp::TreeCopy> copies;
    copies.push_back({sexp::clone_subtree(t, at(t, {1, 0}), false), false});
    sexp::append_built(t, part, std::vector{sexp::BuildStep::copy(0)}, copies);
    EXPECT_EQ(kept(t, part), "(k p m k)");
    Tree copy = sexp::clone_subtree(t, part);
    ASSERT_TRUE(check_invariants(copy));
    EXPECT_EQ(kept(copy, copy.root), "(k p m k)");
}

} // namespace
