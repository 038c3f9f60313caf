#include <gtest/gtest.h>

#include <string>

#include "core/mutation.hpp"
#include "core/render.hpp"
#include "tree_check.hpp"

using namespace std::literals;
using namespace sexp_test;

namespace {

std::string render_of(const Tree& t, NodeId id) {
    std::string out;
    sexp::render(t, id, out);
    EXPECT_EQ(out, to_text(t, id));
    return out;
}

TEST(Render, EditedTreesRenderCanonically) {
    Tree t = sexp::make_empty_tree();
    EXPECT_EQ(render_of(t, t.root), "()");
    NodeId b = t.slab.insert(Node::atom("b"));
    append(t, t.root, b);
    prepend(t, t.root, t.slab.insert(Node::atom("")));
    EXPECT_EQ(render_of(t, t.root), "( b)");
    NodeId xy = t.slab.insert(Node::atom("x y"));
    NodeId list = t.slab.insert(Node::list());
    EXPECT_EQ(render_of(t, list), "()"); // detached nodes render too
    EXPECT_EQ(render_of(t, xy), "x y");
    append(t, list, xy);
    append(t, t.root, list);
    EXPECT_EQ(render_of(t, t.root), "( b (x y))");
    append(t, b, t.slab.insert(Node::atom("hidden"))); // an atom shows only its text
    EXPECT_EQ(render_of(t, t.root), "( b (x y))");
    EXPECT_EQ(render_of(t, b), "b");
}

TEST(Render, SubtreeAndAppendedOutput) {
    Tree t = parsed("(a (b c))");
    NodeId inner = t.last_child(t.root);
    EXPECT_EQ(render_of(t, inner), "(b c)");
    EXPECT_EQ(render_of(t, t.first_child(inner)), "b");
    std::string out = "so far: ";
    sexp::render(t, inner, out);
    EXPECT_EQ(out, "so far: (b c)");
}

TEST(Render, ImplicitRootIsEmptyOnlyWhileChildless) {
    Tree t = parsed(" \n");
    EXPECT_EQ(render_of(t, t.root), "");
    NodeId x = t.slab.insert(Node::atom("x"));
    NodeId inner = t.slab.insert(Node::list());
    EXPECT_EQ(render_of(t, inner), "()"); // only the root is affected
    append(t, t.root, x);
    EXPECT_EQ(render_of(t, t.root), "(x)");
    remove(t, x);
    EXPECT_EQ(render_of(t, t.root), "");
    Tree plain = parsed("()");
    EXPECT_EQ(render_of(plain, plain.root), "()");
}

TEST(Equality, ComparesShapeAndBytesOnly) {
    struct Case {
        std::string_view left, right;
        bool equal;
    } cases[] = {
        {"(a b)", " ( a\tb ) ", true},
        {"(a b)", "(b a)", false},
        {"(a b)", "(a b c)", false},
        {"(a b)", "(a bb)", false},
        {"a", "(a)", false},
        {"()", "", true},
        {"(() ())", "(() ())", true},
        {"(() ())", "((a) ())", false},
        {"(a (b c) d)", "(a (b c) d)", true},
        {"(a (b c) d)", "(a (b d) d)", false},
        {"(a (b c) d)", "(a (b c) e)", false},
        {"(a (b c) d)", "(a (b c d))", false},
        {"\xC3\xA9", "e\xCC\x81", false},
        {"(aaaaaaaaaaaaaaaaaaaaaaaa)", "(aaaaaaaaaaaaaaaaaaaaaaaa)", true},
        {"(aaaaaaaaaaaaaaaaaaaaaaaa)", "(aaaaaaaaaaaaaaaaaaaaaaab)", false},
        {"aaaaaaaaaaaaaaa", "aaaaaaaaaaaaaaaa", false},
        {"a\0b"sv, "a\0c"sv, false},
        {"a\0b"sv, "a"sv, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.left << " vs " << c.right);
        Tree l = parsed(c.left), r = parsed(c.right);
        EXPECT_EQ(sexp::subtrees_equal(l, l.root, r, r.root), c.equal);
        EXPECT_EQ(sexp::subtrees_equal(r, r.root, l, l.root), c.equal);
    }
}

TEST(Equality, IgnoresPositionIdsAndAtomChildren) {
    Tree big = parsed("(z (a a) (b c))");
    Tree small = parsed("(b c)");
    NodeId pair = big.first_child(big.root) + 1; // (a a) at slot 2
    NodeId bc = big.last_child(big.root);
    EXPECT_TRUE(sexp::subtrees_equal(big, bc, small, small.root));
    EXPECT_TRUE(sexp::subtrees_equal(big, big.first_child(pair), big, big.last_child(pair)));
    EXPECT_TRUE(sexp::subtrees_equal(big, big.root, big, big.root));
    // an atom's own children play no part
    append(big, find_atom(big, "b"), big.slab.insert(Node::atom("under")));
    EXPECT_TRUE(sexp::subtrees_equal(big, bc, small, small.root));
    // moved into place from elsewhere: different ids, same shape
    Tree moved = parsed("(c (b))");
    append(moved, moved.last_child(moved.root), find_atom(moved, "c"));
    EXPECT_TRUE(sexp::subtrees_equal(moved, moved.first_child(moved.root), small, small.root));
}

TEST(Equality, AtomNeverEqualsList) {
    Tree t = sexp::make_empty_tree();
    NodeId empty_atom = t.slab.insert(Node::atom(""));
    NodeId empty_list = t.slab.insert(Node::list());
    EXPECT_FALSE(sexp::subtrees_equal(t, empty_atom, t, empty_list));
    EXPECT_FALSE(sexp::subtrees_equal(t, empty_list, t, empty_atom));
    EXPECT_TRUE(sexp::subtrees_equal(t, empty_list, t, t.root));
}

TEST(Equality, MillionDeepChains) {
    const std::size_t depth = 1'000'000;
    Tree a = parsed(std::string(depth, '(') + "x" + std::string(depth, ')'));
    Tree b = parsed(std::string(depth, '(') + "x" + std::string(depth, ')'));
    Tree c = parsed(std::string(depth, '(') + "y" + std::string(depth, ')'));
    EXPECT_TRUE(sexp::subtrees_equal(a, a.root, b, b.root));
    EXPECT_FALSE(sexp::subtrees_equal(a, a.root, c, c.root));
}

} // namespace
