#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/mutation.hpp"
#include "core/render.hpp"
#include "tree_check.hpp"

using namespace sexp_test;

namespace {

struct Edit {
    const char* name;
    const char* source;
    std::function<void(Tree&)> apply;
    const char* expected;
};

TEST(Mutation, EditsKeepLinksAndCounts) {
    auto A = [](Tree& t) { return t.parent(find_atom(t, "a")); }; // the list (a b c)
    auto X = [](Tree& t) { return t.parent(find_atom(t, "x")); }; // the list (x y)
    auto at = [](Tree& t, const char* s) { return find_atom(t, s); };
    const char* src = "(r (a b c) (x y))";
    const Edit edits[] = {
        {"append own last child", src, [&](Tree& t) { append(t, A(t), at(t, "c")); }, src},
        {"append own first child", src, [&](Tree& t) { append(t, A(t), at(t, "a")); },
         "(r (b c a) (x y))"},
        {"prepend own last child", src, [&](Tree& t) { prepend(t, A(t), at(t, "c")); },
         "(r (c a b) (x y))"},
        {"prepend own first child", src, [&](Tree& t) { prepend(t, A(t), at(t, "a")); }, src},
        {"append from another parent", src, [&](Tree& t) { append(t, X(t), at(t, "b")); },
         "(r (a c) (x y b))"},
        {"prepend from another parent", src, [&](Tree& t) { prepend(t, A(t), at(t, "y")); },
         "(r (y a b c) (x))"},
        {"move the last child of another parent", src,
         [&](Tree& t) { append(t, A(t), at(t, "y")); }, "(r (a b c y) (x))"},
        {"empty a parent", "(r (x) ())",
         [&](Tree& t) { append(t, t.last_child(t.root), at(t, "x")); }, "(r () (x))"},
        {"move a whole list", src, [&](Tree& t) { append(t, X(t), A(t)); }, "(r (x y (a b c)))"},
        {"insert after nothing is prepend", src,
         [&](Tree& t) { insert_after(t, A(t), NO_NODE, at(t, "c")); }, "(r (c a b) (x y))"},
        {"insert after last child", src,
         [&](Tree& t) { insert_after(t, A(t), at(t, "c"), at(t, "x")); }, "(r (a b c x) (y))"},
        {"insert after, moving forward", src,
         [&](Tree& t) { insert_after(t, A(t), at(t, "a"), at(t, "c")); }, "(r (a c b) (x y))"},
        {"insert after, moving backward", src,
         [&](Tree& t) { insert_after(t, A(t), at(t, "b"), at(t, "a")); }, "(r (b a c) (x y))"},
        {"insert after own predecessor", src,
         [&](Tree& t) { insert_after(t, A(t), at(t, "a"), at(t, "b")); }, src},
        {"insert after the last, moving it", src,
         [&](Tree& t) { insert_after(t, A(t), at(t, "c"), at(t, "b")); }, "(r (a c b) (x y))"},
        {"insert into an empty list", "(r () z)",
         [&](Tree& t) { insert_after(t, t.node(at(t, "r")).next_sibling, NO_NODE, at(t, "z")); },
         "(r (z))"},
        {"unlink middle", src, [&](Tree& t) { unlink(t, at(t, "b")); }, "(r (a c) (x y))"},
        {"unlink first", src, [&](Tree& t) { unlink(t, at(t, "a")); }, "(r (b c) (x y))"},
        {"unlink last", src, [&](Tree& t) { unlink(t, at(t, "y")); }, "(r (a b c) (x))"},
        {"unlink a list", src, [&](Tree& t) { unlink(t, A(t)); }, "(r (x y))"},
        {"unlink twice", src,
         [&](Tree& t) {
             unlink(t, at(t, "b"));
             unlink(t, at(t, "b"));
         },
         "(r (a c) (x y))"},
        {"attach under an atom", src, [&](Tree& t) { append(t, at(t, "a"), at(t, "x")); },
         "(r (a b c) (y))"},
        {"remove a leaf", src, [&](Tree& t) { remove(t, at(t, "b")); }, "(r (a c) (x y))"},
        {"remove a first child", src, [&](Tree& t) { remove(t, A(t)); }, "(r (x y))"},
        {"remove a last child", src, [&](Tree& t) { remove(t, X(t)); }, "(r (a b c))"},
        {"remove the only child", "(r (q))", [&](Tree& t) { remove(t, at(t, "q")); }, "(r ())"},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.name);
        Tree t = parsed(e.source);
        std::size_t slots = t.slab.slot_count();
        e.apply(t);
        ASSERT_TRUE(check_invariants(t));
        EXPECT_EQ(to_text(t, t.root), e.expected);
        std::string out;
        sexp::render(t, t.root, out);
        EXPECT_EQ(out, e.expected);
        EXPECT_EQ(t.slab.slot_count(), slots);
        EXPECT_EQ(t.generation, 0u);
    }
}

TEST(Mutation, UnlinkedNodeKeepsItsSubtree) {
    Tree t = parsed("(r (a (b) c) d)");
    NodeId list = t.parent(find_atom(t, "a"));
    unlink(t, list);
    ASSERT_TRUE(check_invariants(t));
    EXPECT_EQ(to_text(t, list), "(a (b) c)");
    EXPECT_EQ(t.parent(list), NO_NODE);
    EXPECT_EQ(to_text(t, t.root), "(r d)");
    prepend(t, t.root, list);
    ASSERT_TRUE(check_invariants(t));
    EXPECT_EQ(to_text(t, t.root), "((a (b) c) r d)");
}

TEST(Mutation, RemoveFreesInPreOrder) {
    // Slots deliberately out of pre-order: list 1 holds x(4), (w)(5) with w(6), y(3), z(2).
    Tree t = sexp::make_empty_tree();
    NodeId x_list = t.slab.insert(Node::list());
    NodeId z = t.slab.insert(Node::atom("z"));
    NodeId y = t.slab.insert(Node::atom("y"));
    NodeId x = t.slab.insert(Node::atom("xxxxxxxxxxxxxxxxxxxxxxxx"));
    NodeId inner = t.slab.insert(Node::list());
    NodeId w = t.slab.insert(Node::atom("w"));
    NodeId keep = t.slab.insert(Node::atom("keep"));
    append(t, t.root, x_list);
    append(t, t.root, keep);
    append(t, x_list, z);
    prepend(t, x_list, y);
    prepend(t, x_list, inner);
    prepend(t, x_list, x);
    append(t, inner, w);
    ASSERT_TRUE(check_invariants(t));
    ASSERT_EQ(to_text(t, t.root), "((xxxxxxxxxxxxxxxxxxxxxxxx (w) y z) keep)");

    remove(t, x_list);
    ASSERT_TRUE(check_invariants(t));
    EXPECT_EQ(to_text(t, t.root), "(keep)");
    EXPECT_EQ(t.slab.free_stack(), (std::vector<NodeId>{x_list, x, inner, w, y, z}));
    for (NodeId want : {z, y, w, inner, x, x_list})
        EXPECT_EQ(t.slab.insert(Node::list()), want);
    EXPECT_EQ(t.slab.slot_count(), 8u);
}

TEST(Mutation, RemovingADetachedNodeTouchesNothingElse) {
    Tree t = parsed("(r (a b) c)");
    NodeId d = t.slab.insert(Node::list());
    for (const char* s : {"p", "qqqqqqqqqqqqqqqqqqqqq"})
        append(t, d, t.slab.insert(Node::atom(s)));
    std::vector<Node> before;
    for (NodeId id = 0; id < d; ++id)
        before.push_back(t.node(id));
    remove(t, d);
    ASSERT_TRUE(check_invariants(t));
    EXPECT_EQ(t.slab.live_count(), before.size());
    for (NodeId id = 0; id < d; ++id) {
        const Node& n = t.node(id);
        EXPECT_EQ(std::memcmp(&n, &before[id], offsetof(Node, text)), 0) << "slot " << id;
    }
}

TEST(Mutation, RemoveOfAMillionDeepChain) {
    const std::size_t depth = 1'000'000;
    Tree t = parsed("(r " + std::string(depth, '(') + std::string(depth, ')') + ")");
    remove(t, t.last_child(t.root));
    ASSERT_TRUE(check_invariants(t));
    EXPECT_EQ(t.slab.live_count(), 2u);
    EXPECT_EQ(t.slab.free_stack().size(), depth);
    EXPECT_EQ(t.slab.insert(Node::list()), depth + 1); // the innermost list, freed last
}

TEST(Mutation, SelfOrAncestor) {
    Tree t = parsed("(r (a (b c)) d)");
    NodeId a = find_atom(t, "a"), c = find_atom(t, "c"), d = find_atom(t, "d");
    NodeId outer = t.parent(a), inner = t.parent(c);
    NodeId loose = t.slab.insert(Node::list());
    struct Case {
        NodeId node, target;
        bool expected;
    } cases[] = {
        {t.root, c, true},    {outer, c, true},       {inner, c, true},
        {c, c, true},         {t.root, t.root, true}, {c, inner, false},
        {a, c, false},        {d, c, false},          {inner, outer, false},
        {loose, loose, true}, {loose, t.root, false}, {t.root, loose, false},
    };
    for (const Case& k : cases)
        EXPECT_EQ(is_self_or_ancestor(t, k.node, k.target), k.expected)
            << k.node << " over " << k.target;
}

// The checker is what most tests above lean on, so it must see each kind of damage.
TEST(Mutation, CheckerRejectsDamagedTrees) {
    const std::function<void(Tree&)> damage[] = {
        [](Tree& t) { ++t.node_mut(t.root).child_count; },
        [](Tree& t) { t.node_mut(find_atom(t, "c")).prev_sibling = NO_NODE; },
        [](Tree& t) { t.node_mut(find_atom(t, "c")).parent = find_atom(t, "a"); },
        [](Tree& t) { t.node_mut(t.root).last_child = NO_NODE; },
        [](Tree& t) { t.node_mut(find_atom(t, "b")).text = sexp::AtomText::vacant_marker(); },
        [](Tree& t) { t.node_mut(t.root).parent = find_atom(t, "c"); },
        [](Tree& t) { // unguarded: a list moved under its own descendant
            NodeId outer = t.parent(find_atom(t, "a"));
            append(t, t.parent(find_atom(t, "b")), outer);
        },
    };
    for (const auto& hurt : damage) {
        SCOPED_TRACE(&hurt - damage);
        Tree t = parsed("(r (a (b)) c)");
        hurt(t);
        EXPECT_FALSE(check_invariants(t));
    }
}

} // namespace
