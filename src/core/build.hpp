#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/mutation.hpp"
#include "core/tree.hpp"

namespace sexp {

// One piece of a tree written out in text order: an atom and its bytes, or the opening or the
// closing of a list (`data` null, `size` saying which).
struct BuildStep {
    const char* data;
    std::size_t size;

    static BuildStep atom(std::string_view text) noexcept {
        return {text.data() != nullptr ? text.data() : "", text.size()};
    }
    static BuildStep open() noexcept { return {nullptr, 0}; }
    static BuildStep close() noexcept { return {nullptr, 1}; }
    bool is_atom() const noexcept { return data != nullptr; }
    bool is_open() const noexcept { return data == nullptr && size == 0; }
    std::string_view text() const noexcept { return {data, size}; }
};

// Builds new last children of `parent` one node at a time, in text order: atom() and open()
// make a node in the list opened last (at first `parent` itself), close() ends that list.
// All or nothing: unless commit() is called, the destructor frees every node made again, and
// the tree, free stack included, is exactly as it was.
class Builder {
  public:
    Builder(Tree& tree, NodeId parent) noexcept;
    ~Builder() {
        if (!committed_)
            undo();
    }
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // Room for `count` more nodes, so that making them allocates no slots. May throw
    // std::bad_alloc.
    void reserve(std::size_t count) { tree_.slab.reserve_inserts(count); }
    // Each may throw std::bad_alloc; the nodes made before stay in place for the destructor.
    void atom(std::string_view text) {
        Slab& slab = tree_.slab;
        const char* data = text.data() != nullptr ? text.data() : ""; // null would make a list
        place(text.size() <= INLINE_CAPACITY ? slab.insert_unlinked(data, text.size())
                                             : slab.insert(Node::atom(text)),
              false);
    }
    void open() { place(tree_.slab.insert_unlinked(nullptr, 0), true); }
    void close() noexcept {
        if (into_ != parent_)
            into_ = tree_.slab.raw(into_).parent;
    }
    // The step's node, or the end of a list. May throw as atom() and open().
    void add(const BuildStep& step);
    void commit() noexcept {
        committed_ = true;
        mark_edited(tree_, parent_);
    }

  private:
    // Links a node just made: every node made so far hangs under `parent_` in pre-order,
    // which is what undo() relies on.
    void place(NodeId id, bool opens) noexcept {
        link_child(tree_.slab, into_, id);
        if (opens)
            into_ = id;
    }
    void undo() noexcept;

    Tree& tree_;
    NodeId parent_;
    NodeId into_; // the list the next node goes into
    NodeId old_last_;
    std::uint32_t old_count_;
    Slab::Mark mark_;
    bool old_order_;
    bool committed_ = false;
};

// Appends the forms that `steps` write out to `parent`, in order, as its new last children:
// each atom step a new atom, each open ... close a new list of what lies between. `steps` is
// balanced. All or nothing, as with Builder.
void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps);

} // namespace sexp
