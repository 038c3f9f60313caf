#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memory/pages.hpp"
#include "memory/slab.hpp"
#include "parse/gaps.hpp"
#include "parse/syntax.hpp"

namespace sexp {

// The layout of a tree read from text: the text itself, and for every node read, where it and
// the text around it lie in that text. Writing a node that was not edited copies its text;
// an edited list is written from its parts, so only the edit changes the text.
//
// The text around a node: its leading text (what comes before it on its own line, and the
// comment lines above it), its trailing text (a comment on its line after it), and for a list
// its opening text (a comment on the line of its '(') and closing text (what stands before its
// ')'). Which part of the whitespace and comments between two tokens goes where is decided by
// split_gap: a same-line comment stays with the node before it, the rest goes with what
// follows.

// "No offset": the node was not read from text (made by the caller), so it has no layout.
inline constexpr std::uint32_t NO_SPAN = 0xFFFFFFFFu;

// Where a node and the text around it lie, as offsets into its tree's text: [lead, begin) its
// leading text, [begin, end) the node itself, [end, trail) its trailing text. A list's record
// holds the rest (Node::opening_end, closing_begin). `begin` is NO_SPAN for a node without
// layout; the root of a tree without a form has an empty [begin, end).
struct Span {
    std::uint32_t lead = NO_SPAN;
    std::uint32_t begin = NO_SPAN;
    std::uint32_t end = NO_SPAN;
    std::uint32_t trail = NO_SPAN;

    bool has_text() const noexcept { return begin != NO_SPAN; }
};
static_assert(sizeof(Span) == 16, "a layout costs a tree 16 bytes a node");

// The text a tree's layout points into: held, never changed. A subclass owns the bytes or
// keeps alive what does (a caller's immutable buffer).
class TextHold {
  public:
    virtual ~TextHold() = default;
    std::string_view text() const noexcept { return text_; }

  protected:
    TextHold() = default;
    std::string_view text_;
};

// A text the hold owns.
class OwnedText final : public TextHold {
  public:
    explicit OwnedText(std::string bytes) : bytes_(std::move(bytes)) { text_ = bytes_; }

  private:
    std::string bytes_;
};

// A text the hold owns, in a buffer it took over.
class BufferText final : public TextHold {
  public:
    explicit BufferText(std::vector<char> bytes) noexcept : bytes_(std::move(bytes)) {
        text_ = {bytes_.data(), bytes_.size()};
    }

  private:
    std::vector<char> bytes_;
};

// The spans of a tree's nodes, by node id, in storage like the slots'. Ids past its size have
// no layout. The parser fills it through raw pointers (fill_begin ... set_size), so it keeps
// its own storage rather than a vector, which would initialise what the parser writes.
class SpanArray {
  public:
    SpanArray() = default;
    ~SpanArray() { release_slots(data_, capacity_ * sizeof(Span)); }
    SpanArray(SpanArray&& other) noexcept { swap(other); }
    SpanArray& operator=(SpanArray&& other) noexcept {
        SpanArray taken(std::move(other));
        swap(taken);
        return *this;
    }
    // May throw std::bad_alloc.
    SpanArray(const SpanArray& other);
    SpanArray& operator=(const SpanArray&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    const Span& operator[](NodeId id) const noexcept { return data_[id]; }
    Span& operator[](NodeId id) noexcept { return data_[id]; }
    const Span* get(NodeId id) const noexcept {
        return id < size_ && data_[id].has_text() ? &data_[id] : nullptr;
    }

    // Room for `count` spans; may throw std::bad_alloc.
    void reserve(std::size_t count);
    // Makes the array `count` long, new ids without layout. May throw std::bad_alloc.
    void grow_to(std::size_t count);
    // The parser's fast path, before release_unused: it writes spans from data() + size() up
    // to data() + capacity(), then says how many there are.
    Span* data() noexcept { return data_; }
    void set_size(std::size_t count) noexcept { size_ = count; }
    // Gives the memory of the unused room back, as Slab::release_unused does.
    void release_unused() noexcept {
        tail_.release(data_, capacity_ * sizeof(Span), size_ * sizeof(Span));
    }

  private:
    void swap(SpanArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(tail_, other.tail_);
    }

    Span* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    BlockTail tail_;
};

// The layout a tree keeps, beside its slots.
struct TreeLayout {
    Syntax syntax = Syntax::Plain;
    // The text read: offsets below its size point into it.
    std::shared_ptr<const TextHold> source;
    // Text copied in later with nodes from other trees: offsets from the source's size on
    // point into it.
    std::string extra;
    SpanArray spans;
    // The atoms given a new text since, by where their text begins: a list whose only edits
    // are such texts is written as its own text with those parts replaced. An entry whose
    // node no longer has that span is left over from a removal and means nothing.
    std::map<std::uint32_t, NodeId> values;

    std::size_t source_size() const noexcept { return source ? source->text().size() : 0; }
    // The text [from, to) of the layout: of the source or of the extra text, never both.
    std::string_view slice(std::uint32_t from, std::uint32_t to) const noexcept {
        std::size_t base = source_size();
        if (from < base)
            return source->text().substr(from, to - from);
        return std::string_view(extra).substr(from - base, to - from);
    }

    // What writing new lines needs to know of the tree's own text (the root's, with the text
    // around it), found when first asked. May throw std::bad_alloc.
    const TextFacts& facts(const Span* root) const;

  private:
    mutable std::optional<TextFacts> facts_;
};

struct Tree;

// A node's layout as a copy takes it: its span and, for a list, the rest of it.
struct NodeLayout {
    Span span;
    std::uint32_t opening = 0;
    std::uint32_t closing = 0;
    std::uint8_t edits = 0;
};

// The layout of some nodes of a tree, on a text of their own: `text` holds the least of the
// tree's text they need, and their offsets count from its start.
struct GatheredLayout {
    Syntax syntax = Syntax::Plain;
    std::string text;
    std::vector<NodeLayout> nodes; // by position in the ids gathered; no span: no layout
};

// Gathers the layout of the nodes `ids` of `from` (which keeps one), the top of a copy first.
// With `own_text`, the top brings only its own text, not the text around it (the copy of a
// root, or a copy that becomes a root); a tree's root read from a text with no form brings
// none. May throw std::bad_alloc.
GatheredLayout gather_layout(const Tree& from, const std::vector<NodeId>& ids, bool own_text);

// Gives the nodes `ids` of `to` a gathered layout, ids[i] that of nodes[i]. Its text becomes
// the text of a `to` that keeps no layout yet (which then keeps one), or goes after the extra
// text of one of the same syntax; one of another syntax, or one whose offsets would run out,
// gets none. May throw std::bad_alloc before anything changed in `to` but room.
void give_layout(Tree& to, const std::vector<NodeId>& ids, GatheredLayout&& layout);

// Notes that the atom `id`, which has a span, was given a new text. May throw std::bad_alloc.
void note_value(Tree& tree, NodeId id);

// Both at once: the nodes copied from `from` into `to`, `pairs` holding each one's id in
// `from` and in `to`. Nothing happens when `from` keeps no layout.
void copy_layout(const Tree& from, const std::vector<std::pair<NodeId, NodeId>>& pairs, Tree& to,
                 bool own_text);

} // namespace sexp
