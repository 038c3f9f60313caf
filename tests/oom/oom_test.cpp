// Out of memory: every form of global operator new is replaced by one that can be told to fail
// its k-th allocation. Each operation runs with k = 1, 2, ... until it gets through; after
// every failed run the tree must be exactly as before and nothing may be left allocated.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#ifdef _WIN32
#include <malloc.h>
#endif
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/build.hpp"
#include "core/clone.hpp"
#include "core/mutation.hpp"
#include "core/pack.hpp"
#include "core/render.hpp"
#include "parse/parser.hpp"
#include "parse/unpack.hpp"
#include "tree_check.hpp"

namespace {

struct AllocState {
    long countdown = 0; // > 0: the allocation that brings it to 0 fails
    bool injected = false;
    long live_blocks = 0;
    long long live_bytes = 0;
    long allocations = 0;
};
AllocState alloc_state;

constexpr std::size_t BASE_ALIGN = alignof(std::max_align_t);

// Each block carries its size just below the pointer handed out, so that deletes can be
// counted and sized deletes checked.
void* allocate(std::size_t size, std::size_t align) noexcept {
    if (alloc_state.countdown > 0 && --alloc_state.countdown == 0) {
        alloc_state.injected = true;
        return nullptr;
    }
    std::size_t head = std::max(align, BASE_ALIGN);
    void* base = nullptr;
    if (head > BASE_ALIGN) {
#ifdef _WIN32
        base = _aligned_malloc(head + size, align); // its C runtime has no posix_memalign
#else
        if (posix_memalign(&base, align, head + size) != 0)
            base = nullptr;
#endif
    } else {
        base = std::malloc(head + size);
    }
    if (base == nullptr)
        return nullptr;
    char* user = static_cast<char*>(base) + head;
    std::memcpy(user - sizeof size, &size, sizeof size);
    ++alloc_state.live_blocks;
    alloc_state.live_bytes += static_cast<long long>(size);
    ++alloc_state.allocations;
    return user;
}

void release(void* p, std::size_t align, std::size_t sized) noexcept {
    if (p == nullptr)
        return;
    char* user = static_cast<char*>(p);
    std::size_t size;
    std::memcpy(&size, user - sizeof size, sizeof size);
    if (sized != 0 && sized != size) {
        std::fputs("sized delete with a size other than the allocation's\n", stderr);
        std::abort();
    }
    --alloc_state.live_blocks;
    alloc_state.live_bytes -= static_cast<long long>(size);
    void* base = user - std::max(align, BASE_ALIGN);
#ifdef _WIN32
    if (align > BASE_ALIGN) {
        _aligned_free(base); // free() cannot take what _aligned_malloc gave
        return;
    }
#endif
    std::free(base);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
    void* p = allocate(size, align);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

} // namespace

void* operator new(std::size_t n) {
    return allocate_or_throw(n, BASE_ALIGN);
}
void* operator new[](std::size_t n) {
    return allocate_or_throw(n, BASE_ALIGN);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, BASE_ALIGN);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, BASE_ALIGN);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    release(p, BASE_ALIGN, 0);
}
void operator delete[](void* p) noexcept {
    release(p, BASE_ALIGN, 0);
}
void operator delete(void* p, std::size_t n) noexcept {
    release(p, BASE_ALIGN, n);
}
void operator delete[](void* p, std::size_t n) noexcept {
    release(p, BASE_ALIGN, n);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p, BASE_ALIGN, 0);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p, BASE_ALIGN, 0);
}
void operator delete(void* p, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a), 0);
}
void operator delete[](void* p, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a), 0);
}
void operator delete(void* p, std::size_t n, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a), n);
}
void operator delete[](void* p, std::size_t n, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a), n);
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    release(p, static_cast<std::size_t>(a), 0);
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    release(p, static_cast<std::size_t>(a), 0);
}

namespace {

using sexp::NO_NODE;
using sexp::NodeId;
using sexp::Tree;
using sexp_test::check_invariants;
using sexp_test::find_atom;
using sexp_test::parsed;
using sexp_test::to_text;

// Every slot, link, text and the free stack in order: equal dumps mean an unchanged tree.
std::string dump(const Tree& t) {
    std::string out = "root " + std::to_string(t.root) + " gen " + std::to_string(t.generation) +
                      (t.implicit_root ? " implicit" : "") + "\n";
    for (NodeId id = 0; id < t.slab.slot_count(); ++id) {
        const sexp::Node& n = t.slab.raw(id);
        out += std::to_string(id) + ": ";
        if (n.is_vacant()) {
            out += "vacant\n";
            continue;
        }
        for (NodeId link : {n.parent, n.first_child, n.last_child, n.prev_sibling, n.next_sibling})
            out += (link == NO_NODE ? std::string("-") : std::to_string(link)) + " ";
        out += std::to_string(n.child_count) + (n.is_list() ? " list" : " atom ");
        if (n.is_atom())
            out.append(n.text.view());
        out += '\n';
    }
    out += "free";
    for (NodeId id : t.slab.free_stack())
        out += " " + std::to_string(id);
    return out;
}

struct Outcome {
    int failed_runs = -1; // -1 when the loop gave up
    long allocations = 0; // made by the run that got through
};

// Runs `op` with its k-th allocation failing for k = 1, 2, ... until a run gets through, and
// calls `after_failure` once a failed run has unwound. `kept_bytes`, when given, says how many
// more bytes a failed run may leave allocated: room a slot array gained stays the tree's.
Outcome until_success(const std::function<void()>& op, const std::function<void()>& after_failure,
                      const std::function<long long()>& kept_bytes = {}) {
    for (long k = 1; k < 100000; ++k) {
        long allocations = alloc_state.allocations;
        long blocks = alloc_state.live_blocks;
        long long bytes = alloc_state.live_bytes - (kept_bytes ? kept_bytes() : 0);
        alloc_state.injected = false;
        alloc_state.countdown = k;
        try {
            op();
            alloc_state.countdown = 0;
            EXPECT_FALSE(alloc_state.injected) << "a failed allocation was swallowed";
            return {static_cast<int>(k - 1), alloc_state.allocations - allocations};
        } catch (const std::bad_alloc&) {
            alloc_state.countdown = 0;
            long leaked_blocks = alloc_state.live_blocks - blocks;
            long long leaked_bytes =
                alloc_state.live_bytes - (kept_bytes ? kept_bytes() : 0) - bytes;
            EXPECT_TRUE(alloc_state.injected) << "bad_alloc without an injected failure";
            EXPECT_EQ(leaked_blocks, 0) << "allocation " << k << " failed";
            EXPECT_EQ(leaked_bytes, 0) << "allocation " << k << " failed";
            after_failure();
        }
        if (::testing::Test::HasFailure())
            return {};
    }
    ADD_FAILURE() << "the operation never got through";
    return {};
}

// Lets checks inside an op allocate without being made to fail.
class Unarmed {
  public:
    Unarmed() : saved_(alloc_state.countdown) { alloc_state.countdown = 0; }
    ~Unarmed() { alloc_state.countdown = saved_; }
    Unarmed(const Unarmed&) = delete;
    Unarmed& operator=(const Unarmed&) = delete;

  private:
    long saved_;
};

std::string repeat(char c, std::size_t n) {
    return std::string(n, c);
}

// Inserts detached lists until the next insert would have to grow the slot array; an insert
// that fails leaves the slab unchanged, so a failing probe is how a full array shows.
void fill_slab(Tree& t) {
    for (;;) {
        alloc_state.injected = false;
        alloc_state.countdown = 1;
        try {
            sexp::add_detached(t, sexp::Node::list());
            alloc_state.countdown = 0;
        } catch (const std::bad_alloc&) {
            alloc_state.countdown = 0;
            return;
        }
    }
}

std::string times(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string nested(std::size_t depth, const std::string& inner) {
    return repeat('(', depth) + inner + repeat(')', depth);
}

const std::string LONG_A = repeat('a', 40);
const std::string LONG_B = repeat('b', 300);

// ---------------------------------------------------------------------------------------------
// Parsing

struct ParseCase {
    const char* name;
    std::string text;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class OomParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(OomParse, FailsCleanlyThenGivesTheSameResult) {
    const std::string& text = GetParam().text;
    std::string expected;
    bool ok;
    {
        sexp::ParseResult clean = sexp::parse(text);
        ok = clean.tree.has_value();
        expected =
            ok ? to_text(*clean.tree, clean.tree->root) : sexp::parse_error_message(clean.error);
    }
    long baseline = alloc_state.live_blocks;
    {
        std::string got;
        Outcome outcome = until_success(
            [&] {
                sexp::ParseResult r = sexp::parse(text);
                Unarmed checks;
                if (r.tree) {
                    EXPECT_TRUE(check_invariants(*r.tree));
                    std::string out;
                    sexp::render(*r.tree, r.tree->root, out);
                    got = out;
                } else {
                    got = sexp::parse_error_message(r.error);
                }
            },
            [] {});
        EXPECT_GT(outcome.failed_runs, 0) << "no allocation was made to fail";
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(alloc_state.live_blocks, baseline) << "the tree's memory was not all released";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OomParse,
    ::testing::Values(ParseCase{"Empty", ""}, ParseCase{"Atom", "x"}, ParseCase{"LongAtom", LONG_B},
                      ParseCase{"Flat", "(a b c " + LONG_A + " d)"},
                      // More nodes than the up-front reservation: the slot array grows mid-parse.
                      ParseCase{"DenseLists", "(" + times("()", 200) + ")"},
                      // Deeper than the open-list stack's first reservation.
                      ParseCase{"Deep", nested(300, LONG_A + " x")},
                      ParseCase{"UnclosedWithHeapTexts", "(" + LONG_A + " (" + LONG_B + " (c"},
                      ParseCase{"StrayWithHeapTexts", "(" + LONG_A + ") " + LONG_B + ")"},
                      ParseCase{"Multiple", "(" + LONG_A + ") (" + LONG_B + ")"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------
// Edits, copies, rendering and comparison on a tree

struct TreeCase {
    const char* name;
    std::string source;
    std::function<void(Tree&)> prepare;   // run once, before the failing runs
    std::function<std::string(Tree&)> op; // returns its result as text
    std::string tree_after;               // the root's text once the op got through
    std::string result;
    bool allocates = true;
    bool keeps_room = false; // a failed run may leave the slot array larger
};

void PrintTo(const TreeCase& c, std::ostream* os) {
    *os << c.name;
}

class OomTreeOp : public ::testing::TestWithParam<TreeCase> {};

TEST_P(OomTreeOp, FailsWithoutChangeThenSucceeds) {
    const TreeCase& c = GetParam();
    long baseline = alloc_state.live_blocks;
    {
        Tree t = parsed(c.source);
        if (c.prepare)
            c.prepare(t);
        ASSERT_TRUE(check_invariants(t));
        const std::string before = dump(t);
        std::string result;
        auto room = [&] {
            return static_cast<long long>(t.slab.slot_capacity() * sizeof(sexp::Node));
        };
        Outcome outcome = until_success([&] { result = c.op(t); },
                                        [&] {
                                            EXPECT_TRUE(check_invariants(t));
                                            EXPECT_EQ(dump(t), before);
                                        },
                                        c.keeps_room ? std::function<long long()>(room)
                                                     : std::function<long long()>());
        if (c.allocates) {
            EXPECT_GT(outcome.failed_runs, 0) << "no allocation was made to fail";
        } else {
            EXPECT_EQ(outcome.failed_runs, 0);
            EXPECT_EQ(outcome.allocations, 0) << "the op allocated";
        }
        EXPECT_TRUE(check_invariants(t));
        EXPECT_EQ(to_text(t, t.root), c.tree_after);
        EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(alloc_state.live_blocks, baseline) << "the tree's memory was not all released";
}

std::string render_of(const Tree& t, NodeId id) {
    std::string out;
    sexp::render(t, id, out);
    return out;
}

// The copy is checked inside the op, while it exists; the checks are never made to fail.
std::string clone_checked(const Tree& t, NodeId id) {
    Tree copy = sexp::clone_subtree(t, id);
    Unarmed checks;
    EXPECT_TRUE(check_invariants(copy));
    EXPECT_TRUE(sexp::subtrees_equal(t, id, copy, copy.root));
    std::string text = render_of(copy, copy.root);
    EXPECT_EQ(text, render_of(t, id));
    if (id == t.root)
        EXPECT_EQ(dump(copy), dump(t));
    return text;
}

NodeId list_holding(const Tree& t, std::string_view atom) {
    return t.parent(find_atom(t, atom));
}

const std::string SOURCE = "(a (b " + LONG_A + " (c d)) " + LONG_B + " (e (f g)))";
const std::string CHAIN = nested(40, LONG_A + " " + LONG_B);
// More list children than the comparison's work stack first has room for.
const std::string WIDE = [] {
    std::string s = "(";
    for (char c = 'a'; c <= 'z'; ++c)
        s += std::string("(") + c + ") ";
    s.back() = ')';
    return s;
}();

// Forms for the builder: `lists` lists of a short and a long atom, then one nested list.
std::vector<sexp::BuildStep> built_forms(int lists) {
    using sexp::BuildStep;
    std::vector<BuildStep> steps;
    for (int i = 0; i < lists; ++i)
        for (BuildStep s : {BuildStep::open(), BuildStep::atom("k"), BuildStep::atom(LONG_A),
                            BuildStep::close()})
            steps.push_back(s);
    for (BuildStep s : {BuildStep::open(), BuildStep::open(), BuildStep::atom(LONG_B),
                        BuildStep::close(), BuildStep::close()})
        steps.push_back(s);
    return steps;
}

std::string built_text(int lists) {
    return times("(k " + LONG_A + ") ", lists) + "((" + LONG_B + "))";
}

// A full slot array with a few freed slots on the free stack: building reuses those first
// (undoing must put them back in their order), then has to grow the array.
void full_with_freed_slots(Tree& t) {
    fill_slab(t);
    sexp::remove(t, list_holding(t, "c"));
}

INSTANTIATE_TEST_SUITE_P(
    Ops, OomTreeOp,
    ::testing::Values(
        TreeCase{"NewAtomLongTextSlabFull", "(a b)", fill_slab,
                 [](Tree& t) {
                     NodeId id = t.slab.insert(sexp::Node::atom(LONG_B));
                     sexp::append(t, t.root, id);
                     Unarmed checks;
                     return render_of(t, id);
                 },
                 "(a b " + LONG_B + ")", LONG_B},
        TreeCase{"NewListSlabFull", "(a b)", fill_slab,
                 [](Tree& t) {
                     sexp::prepend(t, t.root, t.slab.insert(sexp::Node::list()));
                     return std::string();
                 },
                 "(() a b)", ""},
        // A freed slot is reused and a short text is inline: nothing to allocate.
        TreeCase{"NewAtomIntoFreedSlot", "(a (b c) d)",
                 [](Tree& t) { sexp::remove(t, list_holding(t, "b")); },
                 [](Tree& t) {
                     NodeId id = t.slab.insert(sexp::Node::atom("z"));
                     sexp::insert_after(t, t.root, find_atom(t, "a"), id);
                     return std::to_string(id);
                 },
                 "(a z d)", "4", false},
        TreeCase{"SetLongValue",
                 SOURCE,
                 {},
                 [](Tree& t) {
                     // As the value setter: the new text first, then the old one goes.
                     sexp::Node& n = t.node_mut(find_atom(t, LONG_A));
                     sexp::AtomText fresh = sexp::AtomText::make(repeat('q', 20));
                     n.text.destroy();
                     n.text = fresh;
                     return std::string();
                 },
                 "(a (b " + repeat('q', 20) + " (c d)) " + LONG_B + " (e (f g)))",
                 ""},
        TreeCase{"MovesNeverAllocate",
                 SOURCE,
                 {},
                 [](Tree& t) {
                     NodeId b = list_holding(t, "b"), e = list_holding(t, "e");
                     sexp::append(t, e, b);
                     sexp::prepend(t, b, find_atom(t, "g"));
                     sexp::insert_after(t, t.root, find_atom(t, "a"), list_holding(t, "c"));
                     sexp::unlink(t, find_atom(t, LONG_B));
                     return std::string();
                 },
                 "(a (c d) (e (f) (g b " + LONG_A + ")))",
                 "",
                 false},
        // The free stack has no room yet: removal must reserve it before unlinking.
        TreeCase{"RemoveSubtree",
                 SOURCE,
                 {},
                 [](Tree& t) {
                     sexp::remove(t, list_holding(t, "b"));
                     return std::to_string(t.slab.free_stack().size());
                 },
                 "(a " + LONG_B + " (e (f g)))",
                 "6"},
        TreeCase{"RemoveDeepChain",
                 "(x " + CHAIN + ")",
                 {},
                 [](Tree& t) {
                     sexp::remove(t, t.next_sibling(t.first_child(t.root)));
                     return std::to_string(t.slab.live_count());
                 },
                 "(x)",
                 "2"},
        // Each removal would want more room than the one before: there is one reservation.
        TreeCase{"RemoveAllOverlapping",
                 SOURCE,
                 {},
                 [](Tree& t) {
                     NodeId b = list_holding(t, "b");
                     const NodeId nodes[] = {find_atom(t, "a"), list_holding(t, "c"), b,
                                             list_holding(t, "e"), b};
                     sexp::remove_all(t, nodes);
                     return std::to_string(t.slab.free_stack().size());
                 },
                 "(" + LONG_B + ")",
                 "12"},
        TreeCase{"CloneRoot", SOURCE,
                 [](Tree& t) {
                     sexp::remove(t, list_holding(t, "c"));
                     t.slab.insert(sexp::Node::atom(repeat('k', 33))); // detached, in a freed slot
                     t.slab.insert(sexp::Node::list());
                 },
                 [](Tree& t) { return clone_checked(t, t.root); },
                 "(a (b " + LONG_A + ") " + LONG_B + " (e (f g)))",
                 "(a (b " + LONG_A + ") " + LONG_B + " (e (f g)))"},
        TreeCase{"CloneList",
                 SOURCE,
                 {},
                 [](Tree& t) { return clone_checked(t, list_holding(t, "b")); },
                 SOURCE,
                 "(b " + LONG_A + " (c d))"},
        TreeCase{"CloneDeepList",
                 "(x " + CHAIN + ")",
                 {},
                 [](Tree& t) { return clone_checked(t, t.next_sibling(t.first_child(t.root))); },
                 "(x " + CHAIN + ")",
                 CHAIN},
        TreeCase{"CloneLongAtom",
                 SOURCE,
                 {},
                 [](Tree& t) { return clone_checked(t, find_atom(t, LONG_B)); },
                 SOURCE,
                 LONG_B},
        TreeCase{"RenderDeep",
                 "(x " + CHAIN + ")",
                 {},
                 [](Tree& t) { return render_of(t, t.root); },
                 "(x " + CHAIN + ")",
                 "(x " + CHAIN + ")"},
        TreeCase{"AppendBuilt", SOURCE, full_with_freed_slots,
                 [](Tree& t) {
                     sexp::append_built(t, list_holding(t, "e"), built_forms(12));
                     return std::string();
                 },
                 "(a (b " + LONG_A + ") " + LONG_B + " (e (f g) " + built_text(12) + "))", "", true,
                 true},
        // As extend builds exact data: no room made first, so the array grows midway.
        TreeCase{"BuilderWithoutReserve", SOURCE, full_with_freed_slots,
                 [](Tree& t) {
                     sexp::Builder b(t, t.root);
                     for (const sexp::BuildStep& s : built_forms(12))
                         b.add(s);
                     b.commit();
                     return std::string();
                 },
                 "(a (b " + LONG_A + ") " + LONG_B + " (e (f g)) " + built_text(12) + ")", "", true,
                 true},
        TreeCase{"PackAndUnpack", SOURCE,
                 [](Tree& t) { sexp::append(t, find_atom(t, "a"), list_holding(t, "f")); },
                 [](Tree& t) {
                     std::string bytes(sexp::packed_size(t, t.root), '\0');
                     sexp::pack(t, t.root, bytes.data());
                     std::optional<Tree> back = sexp::unpack(bytes);
                     Unarmed checks;
                     EXPECT_TRUE(back && check_invariants(*back));
                     EXPECT_TRUE(back && sexp::subtrees_equal(t, t.root, *back, back->root));
                     // The atom's child comes along, as a copy would bring it.
                     EXPECT_TRUE(back && back->node(find_atom(*back, "a")).child_count == 1);
                     return back ? render_of(*back, back->root) : std::string("none");
                 },
                 "(a (b " + LONG_A + " (c d)) " + LONG_B + " (e))",
                 "(a (b " + LONG_A + " (c d)) " + LONG_B + " (e))"},
        TreeCase{"EqualDeepAndWide",
                 "(" + CHAIN + " " + CHAIN + " " + WIDE + " " + WIDE + ")",
                 {},
                 [](Tree& t) {
                     NodeId first = t.first_child(t.root);
                     NodeId second = t.next_sibling(first);
                     NodeId third = t.next_sibling(second);
                     NodeId fourth = t.next_sibling(third);
                     bool same = sexp::subtrees_equal(t, first, t, second) &&
                                 sexp::subtrees_equal(t, third, t, fourth);
                     bool differ = sexp::subtrees_equal(t, first, t, third);
                     return std::string(same ? "same" : "-") + (differ ? " equal" : " differ");
                 },
                 "(" + CHAIN + " " + CHAIN + " " + WIDE + " " + WIDE + ")",
                 "same differ"}),
    [](const auto& p) { return std::string(p.param.name); });

} // namespace
