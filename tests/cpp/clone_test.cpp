#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/clone.hpp"
#include "core/mutation.hpp"
#include "core/render.hpp"
#include "tree_check.hpp"

using namespace sexp_test;
using sexp::clone_subtree;

namespace {

void replace_text(Tree& t, NodeId id, std::string_view text) {
    sexp::AtomText fresh = sexp::AtomText::make(text);
    t.node_mut(id).text.destroy();
    t.node_mut(id).text = fresh;
}

TEST(Clone, RootIsCopiedSlotForSlot) {
    Tree src = parsed("(a (b cccccccccccccccccccc) d eeeeeeeeeeeeeeeeeeee)");
    NodeId loose = src.slab.insert(Node::atom("loose-and-long-enough"));
    remove(src, src.parent(find_atom(src, "b")));
    remove(src, find_atom(src, "a"));
    src.generation = 7;
    Tree copy = clone_subtree(src, src.root);
    ASSERT_TRUE(check_invariants(copy));
    EXPECT_EQ(copy.root, src.root);
    EXPECT_EQ(copy.generation, 7u);
    EXPECT_FALSE(copy.implicit_root);
    EXPECT_EQ(copy.slab.free_stack(), src.slab.free_stack());
    ASSERT_EQ(copy.slab.slot_count(), src.slab.slot_count());
    for (NodeId id = 0; id < src.slab.slot_count(); ++id) {
        SCOPED_TRACE(id);
        const Node& s = src.slab.raw(id);
        const Node& c = copy.slab.raw(id);
        ASSERT_EQ(c.is_vacant(), s.is_vacant());
        if (s.is_vacant())
            continue;
        EXPECT_EQ(std::memcmp(&c, &s, offsetof(Node, text)), 0);
        EXPECT_EQ(c.is_list(), s.is_list());
        if (s.is_atom()) {
            EXPECT_EQ(c.text.view(), s.text.view());
            if (s.text.is_heap()) {
                EXPECT_NE(c.text.view().data(), s.text.view().data());
            }
        }
    }
    EXPECT_EQ(to_text(copy, loose), "loose-and-long-enough");
    EXPECT_EQ(copy.slab.insert(Node::list()), src.slab.insert(Node::list()));

    Tree blank = parsed("  ");
    Tree blank_copy = clone_subtree(blank, blank.root);
    EXPECT_TRUE(blank_copy.implicit_root);
    std::string out;
    sexp::render(blank_copy, blank_copy.root, out);
    EXPECT_EQ(out, "");
}

TEST(Clone, NonRootAtomBecomesAOneNodeTree) {
    for (const char* text : {"s", "a-text-that-lives-on-the-heap"}) {
        SCOPED_TRACE(text);
        Tree src = parsed(std::string("(r ") + text + " x)");
        NodeId atom = find_atom(src, text);
        append(src, atom, find_atom(src, "x")); // children of the atom are not copied
        src.generation = 3;
        Tree copy = clone_subtree(src, atom);
        ASSERT_TRUE(check_invariants(copy));
        ASSERT_EQ(copy.slab.slot_count(), 1u);
        EXPECT_EQ(copy.root, 0u);
        EXPECT_EQ(copy.generation, 0u);
        EXPECT_EQ(copy.node(0).text.view(), text);
        EXPECT_EQ(copy.node(0).child_count, 0u);
    }
}

TEST(Clone, NonRootListIsCopiedDenseInPreOrder) {
    Tree src = parsed("(r (a (b c) d) e)");
    NodeId list = src.parent(find_atom(src, "a"));
    append(src, list, find_atom(src, "a"));                // ((b c) d a): ids out of order
    append(src, find_atom(src, "d"), find_atom(src, "e")); // an atom with a child
    src.generation = 2;
    src.implicit_root = true;
    Tree copy = clone_subtree(src, list);
    ASSERT_TRUE(check_invariants(copy));
    EXPECT_EQ(copy.root, 0u);
    EXPECT_EQ(copy.generation, 0u);
    EXPECT_FALSE(copy.implicit_root);
    EXPECT_TRUE(copy.slab.free_stack().empty());
    ASSERT_EQ(copy.slab.slot_count(), 7u);
    EXPECT_EQ(to_text(copy, 0), "((b c) d a)");
    EXPECT_TRUE(sexp::subtrees_equal(src, list, copy, 0));
    // pre-order of the copy visits 0, 1, 2, ...
    const char* order[] = {nullptr, nullptr, "b", "c", "d", "e", "a"};
    for (NodeId id = 0; id < 7; ++id)
        if (order[id]) {
            EXPECT_EQ(find_atom(copy, order[id]), id);
        }
    EXPECT_EQ(copy.parent(5), 4u); // e still hangs under the atom d
    EXPECT_EQ(copy.first_child(0), 1u);

    Tree nil = parsed("(r ())");
    Tree nil_copy = clone_subtree(nil, nil.last_child(nil.root));
    ASSERT_EQ(nil_copy.slab.slot_count(), 1u);
    EXPECT_TRUE(nil_copy.node(0).is_list());
}

TEST(Clone, CopiesShareNothing) {
    const std::string text = "(r short a-long-text-on-the-heap (l))";
    Tree src = parsed(text);
    Tree whole = clone_subtree(src, src.root);
    Tree part = clone_subtree(src, src.last_child(src.root));
    replace_text(whole, find_atom(whole, "short"), "changed");
    replace_text(whole, find_atom(whole, "a-long-text-on-the-heap"), "x");
    append(part, part.root, part.slab.insert(Node::atom("added")));
    EXPECT_EQ(to_text(src, src.root), text);
    replace_text(src, find_atom(src, "l"), "m");
    remove(src, find_atom(src, "a-long-text-on-the-heap"));
    EXPECT_EQ(to_text(whole, whole.root), "(r changed x (l))");
    EXPECT_EQ(to_text(part, part.root), "(l added)");
}

TEST(Clone, MillionDeepChain) {
    const std::size_t depth = 1'000'000;
    Tree src = parsed("(r " + std::string(depth, '(') + "x" + std::string(depth, ')') + ")");
    Tree part = clone_subtree(src, src.last_child(src.root));
    ASSERT_TRUE(check_invariants(part));
    EXPECT_EQ(part.slab.slot_count(), depth + 1);
    EXPECT_TRUE(sexp::subtrees_equal(src, src.last_child(src.root), part, part.root));
    for (int i = 0; i < 10; ++i) // past the copy's reserved room
        append(part, part.root, part.slab.insert(Node::atom("more")));
    EXPECT_TRUE(check_invariants(part));
    EXPECT_EQ(part.node(part.root).child_count, 11u);
    Tree whole = clone_subtree(src, src.root);
    EXPECT_TRUE(check_invariants(whole));
    EXPECT_EQ(whole.slab.slot_count(), depth + 3);
}

} // namespace
