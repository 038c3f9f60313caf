#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "memory/atom.hpp"
#include "memory/fault.hpp"
#include "memory/pages.hpp"

namespace sexp {

// A slot index into one tree's slab; nothing more (no generation, no tree identity).
using NodeId = std::uint32_t;

// "No link". Never a valid slot: a slab holds at most NO_NODE slots.
inline constexpr NodeId NO_NODE = 0xFFFFFFFFu;

enum class NodeKind : std::uint8_t { Atom, List };

// One node record. Links are slot indices (NO_NODE when absent); `child_count` is always the
// length of the chain first_child -> next_sibling ... -> last_child. The kind lives in the tag
// byte of `text`: an atom's text, the list marker, or the vacant marker of a free slot. A
// vacant record keeps its old links, which subtree removal relies on while it walks.
struct Node {
    NodeId parent;
    NodeId first_child;
    NodeId last_child;
    NodeId prev_sibling;
    NodeId next_sibling;
    std::uint32_t child_count;
    AtomText text;

    static Node make(AtomText t) noexcept {
        return Node{NO_NODE, NO_NODE, NO_NODE, NO_NODE, NO_NODE, 0, t};
    }
    static Node list() noexcept { return make(AtomText::list_marker()); }
    // May throw std::bad_alloc (long text).
    static Node atom(std::string_view t) { return make(AtomText::make(t)); }

    NodeKind kind() const noexcept {
        return text.tag() == AtomText::LIST_TAG ? NodeKind::List : NodeKind::Atom;
    }
    bool is_atom() const noexcept { return text.is_text(); }
    bool is_list() const noexcept { return text.tag() == AtomText::LIST_TAG; }
    bool is_vacant() const noexcept { return text.tag() == AtomText::VACANT_TAG; }

    // A list of a tree that keeps its layout: [begin + 1, opening_end) is its opening text and
    // [closing_begin, end - 1) its closing text, begin and end being its span's.
    std::uint32_t opening_end() const noexcept { return text.list_word(0); }
    std::uint32_t closing_begin() const noexcept { return text.list_word(1); }
    void set_list_layout(std::uint32_t opening, std::uint32_t closing) noexcept {
        text.set_list_word(0, opening);
        text.set_list_word(1, closing);
    }
    // What changed in a list since it was read, its own text no longer saying what it holds:
    // EDITED_SHAPE, its children or the shape of anything below them; EDITED_VALUES, the text
    // of atoms below it (each still where its own text stands).
    static constexpr std::uint8_t EDITED_SHAPE = 1, EDITED_VALUES = 2;
    std::uint8_t edits() const noexcept { return text.list_marks(); }
    void mark(std::uint8_t edits) noexcept { text.add_list_marks(edits); }
};

static_assert(sizeof(Node) == 40, "the node record is most of the memory of a tree");

template <typename T> struct SlotAllocator {
    using value_type = T;
    SlotAllocator() noexcept = default;
    template <typename U> SlotAllocator(const SlotAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T*>(allocate_slots(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { release_slots(p, n * sizeof(T)); }
    template <typename U> bool operator==(const SlotAllocator<U>&) const noexcept { return true; }
};

// The growable slot array of one tree, with a last-in-first-out stack of vacant slots.
// Invariants: every index on `free` names a vacant slot and every vacant slot is on `free`
// exactly once; slots are never dropped, so indices stay valid for the slab's life. The slab
// owns the heap text of every occupied slot.
class Slab {
  public:
    Slab() = default;
    ~Slab() { release_texts(); }
    Slab(Slab&&) noexcept = default; // leaves the source empty
    Slab& operator=(Slab&& other) noexcept {
        Slab taken(std::move(other)); // takes this slab's old contents away when it goes
        std::swap(slots_, taken.slots_);
        std::swap(free_, taken.free_);
        std::swap(tail_, taken.tail_);
        return *this;
    }
    // Deep copy: same indices, vacant slots stay vacant, `free` in the same order, heap texts
    // duplicated. May throw std::bad_alloc; then nothing is leaked.
    Slab(const Slab& other);
    Slab& operator=(const Slab&) = delete;

    // Stores `node` (taking ownership of its text) in the slot freed last, or in a new slot at
    // the end. On std::bad_alloc the node's text is released and the slab is unchanged.
    NodeId insert(Node node) {
        // The common case, inline: nothing freed to reuse, and room at the end already.
        std::size_t n = slots_.size();
        if (append_ready(n)) [[likely]] {
            slots_.push_back(node);
            return static_cast<NodeId>(n);
        }
        return insert_slow(node);
    }
    // The same for a node without links: a list, or an atom of at most INLINE_CAPACITY bytes
    // (`data` null for a list). Made in its slot field by field rather than built elsewhere and
    // copied there whole: a record just written in pieces and read back as a block stalls the
    // copy, which is most of the cost of building many nodes.
    NodeId insert_unlinked(const char* data, std::size_t length) {
        std::size_t n = slots_.size();
        if (append_ready(n)) [[likely]] {
            Node& slot = slots_.emplace_back();
            slot.parent = slot.first_child = slot.last_child = NO_NODE;
            slot.prev_sibling = slot.next_sibling = NO_NODE;
            slot.child_count = 0;
            if (data == nullptr)
                slot.text.set_list_marker();
            else
                slot.text.set_inline(data, length);
            return static_cast<NodeId>(n);
        }
        return insert_slow(data == nullptr ? Node::list()
                                           : Node::make(AtomText::make_inline(data, length)));
    }

    void reserve(std::size_t slot_count);
    // Makes room for `count` more inserts beyond what the free stack holds, growing
    // geometrically so that many small batches cost no more than one large one.
    void reserve_inserts(std::size_t count);
    // Returns the memory of reserved slots that were not used (after a parse or a copy, whose
    // reservations are upper bounds). Where the system needs them back before they are written,
    // the next insert past them reclaims them.
    void release_unused() noexcept;

    const Node& get(NodeId id) const noexcept {
        if (id >= slots_.size()) [[unlikely]]
            internal_fault("node index out of range");
        const Node& n = slots_[id];
        if (n.is_vacant()) [[unlikely]]
            internal_fault("stale key");
        return n;
    }
    Node& get_mut(NodeId id) noexcept { return const_cast<Node&>(std::as_const(*this).get(id)); }

    // Frees the slot: releases its text, marks it vacant (links left as they were) and pushes
    // it on `free`. Returns false, changing nothing, when the slot was already vacant. Throws
    // std::bad_alloc only before any change; never once reserve_free made room.
    bool remove(NodeId id);
    // Makes room on `free` for `extra` more entries, growing geometrically.
    void reserve_free(std::size_t extra);

    // Where the slab stands, so that the inserts made after it can be undone: undo_insert for
    // each of them, then undo_to. Nothing else may change the slab in between.
    struct Mark {
        std::size_t slots;
        std::size_t free;
    };
    Mark mark() const noexcept { return {slots_.size(), free_.size()}; }
    // Vacates `id`, the `k`-th node (from 0, in the order they were made) inserted since `m`,
    // and puts its slot back on the free stack where insert took it from, if it came from there.
    void undo_insert(const Mark& m, std::size_t k, NodeId id) noexcept;
    // Drops the slots appended since `m`: the slab, free stack included, is as it was at `m`.
    void undo_to(const Mark& m) noexcept;

    std::size_t slot_count() const noexcept { return slots_.size(); }
    std::size_t slot_capacity() const noexcept { return slots_.capacity(); }
    std::size_t live_count() const noexcept { return slots_.size() - free_.size(); }
    const std::vector<NodeId>& free_stack() const noexcept { return free_; }

    // Raw slot access for walks that have already established the slot is occupied, and for
    // code that reads the vacant records' retained links. No checks.
    const Node& raw(NodeId id) const noexcept { return slots_[id]; }
    Node& raw(NodeId id) noexcept { return slots_[id]; }

    // Appends a node that owns no heap text in a new slot at the end, ignoring `free`; the
    // parser's fast path (its free stack is always empty, so it numbers the slots itself).
    // Only before release_unused. May throw std::bad_alloc, which leaves the slab unchanged.
    void push_plain(const Node& node) { slots_.push_back(node); }
    // The same for a list, made in its slot field by field (see insert_unlinked), its first
    // layout word `opening`.
    void push_list(std::uint32_t opening) {
        Node& slot = slots_.emplace_back();
        slot.parent = slot.first_child = slot.last_child = NO_NODE;
        slot.prev_sibling = slot.next_sibling = NO_NODE;
        slot.child_count = 0;
        slot.text.set_list_marker(opening);
    }

  private:
    // Room at the end, already writable, nothing freed to reuse: inserts take the slot as it is.
    bool append_ready(std::size_t n) const noexcept {
        return free_.empty() && n < slots_.capacity() && n < NO_NODE &&
               tail_.writable((n + 1) * sizeof(Node));
    }
    NodeId insert_slow(Node node);
    void release_texts() noexcept;

    std::vector<Node, SlotAllocator<Node>> slots_;
    std::vector<NodeId> free_;
    // What of the slots' storage was given back by release_unused.
    BlockTail tail_;
};

} // namespace sexp
