#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory/hints.hpp"
#include "memory/slab.hpp"

#if defined(SEXP_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

using sexp::Node;
using sexp::NodeId;
using sexp::Slab;

namespace {

// Slots 0..count-1 holding atoms "t0", "t1", ...; every third text is long enough for the heap.
Slab filled(NodeId count) {
    Slab s;
    for (NodeId i = 0; i < count; ++i) {
        std::string text = "t" + std::to_string(i);
        if (i % 3 == 0)
            text += std::string(20, '#');
        EXPECT_EQ(s.insert(Node::atom(text)), i); // free empty: the old slot count
    }
    return s;
}

TEST(Slab, FreedSlotsAreReusedLastInFirstOut) {
    Slab s = filled(7);
    for (NodeId id : {3u, 4u, 5u})
        ASSERT_TRUE(s.remove(id));
    EXPECT_EQ(s.free_stack(), (std::vector<NodeId>{3, 4, 5}));
    EXPECT_EQ(s.live_count(), 4u);
    for (NodeId want : {5u, 4u, 3u})
        EXPECT_EQ(s.insert(Node::atom("new")), want);
    EXPECT_EQ(s.slot_count(), 7u);
    EXPECT_TRUE(s.free_stack().empty());
    EXPECT_EQ(s.insert(Node::list()), 7u);
}

TEST(Slab, RemovingAVacantSlotChangesNothing) {
    Slab s = filled(6);
    ASSERT_TRUE(s.remove(4));
    ASSERT_TRUE(s.remove(1));
    EXPECT_FALSE(s.remove(4));
    EXPECT_FALSE(s.remove(1));
    EXPECT_EQ(s.free_stack(), (std::vector<NodeId>{4, 1}));
    // each freed slot is handed out once only
    EXPECT_EQ(s.insert(Node::list()), 1u);
    EXPECT_EQ(s.insert(Node::list()), 4u);
    EXPECT_EQ(s.insert(Node::list()), 6u);
}

TEST(Slab, CopyKeepsIdsVacanciesAndFreeOrder) {
    Slab src = filled(9);
    for (NodeId id : {6u, 2u, 7u})
        src.remove(id);
    Slab copy(src);
    ASSERT_EQ(copy.slot_count(), src.slot_count());
    EXPECT_EQ(copy.free_stack(), src.free_stack());
    for (NodeId id = 0; id < src.slot_count(); ++id) {
        SCOPED_TRACE(id);
        ASSERT_EQ(copy.raw(id).is_vacant(), src.raw(id).is_vacant());
        if (src.raw(id).is_vacant())
            continue;
        EXPECT_EQ(copy.get(id).text.view(), src.get(id).text.view());
        if (src.get(id).text.is_heap()) {
            EXPECT_NE(copy.get(id).text.view().data(), src.get(id).text.view().data());
        }
    }
    // replacing a text in the copy leaves the source alone
    Node& n = copy.get_mut(0);
    n.text.destroy();
    n.text = sexp::AtomText::make("changed");
    EXPECT_EQ(src.get(0).text.view(), "t0" + std::string(20, '#'));
    EXPECT_EQ(copy.insert(Node::list()), src.insert(Node::list()));
}

TEST(Slab, MoveLeavesSourceEmpty) {
    Slab a = filled(4);
    a.remove(1);
    Slab b(std::move(a));
    EXPECT_EQ(a.slot_count(), 0u);
    EXPECT_TRUE(a.free_stack().empty());
    EXPECT_EQ(b.slot_count(), 4u);
    Slab c = filled(2);
    c = std::move(b); // releases c's own texts
    EXPECT_EQ(c.get(0).text.view(), "t0" + std::string(20, '#'));
    EXPECT_EQ(c.insert(Node::list()), 1u);
}

TEST(Slab, SlotsWhoseStorageWasGivenBackCanBeFilledAgain) {
    // Large enough to be mapped; most of it is released, then filled past its old end.
    constexpr NodeId reserved = 200000, kept = 1000;
    Slab s;
    s.reserve(reserved);
    for (NodeId i = 0; i < kept; ++i)
        s.insert(Node::atom(std::to_string(i)));
    s.release_unused();
    Slab moved(std::move(s)); // the released tail travels with the storage
    for (NodeId i = kept; i < reserved + 10; ++i)
        ASSERT_EQ(moved.insert(Node::atom(std::to_string(i))), i);
    for (NodeId i = 0; i < reserved + 10; i += 997)
        EXPECT_EQ(moved.get(i).text.view(), std::to_string(i));
}

#if defined(SEXP_ASAN)
TEST(Slab, TheLeakCheckerSeesTextsHeldInMappedSlots) {
    // Large enough to be mapped: only the slots point to the long texts.
    Slab s;
    s.reserve(200000);
    for (NodeId i = 0; i < 1000; ++i)
        s.insert(Node::atom(std::string(40, 'x') + std::to_string(i)));
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
}
#endif

TEST(SlabDeathTest, ReadingAVacantOrMissingSlotIsAFault) {
    Slab s = filled(3);
    s.remove(1);
    EXPECT_DEATH(s.get(1), "stale key");
    EXPECT_DEATH(s.get_mut(1), "stale key");
    EXPECT_DEATH(s.get(3), "out of range");
}

} // namespace
