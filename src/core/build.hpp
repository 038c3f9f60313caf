#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>
#include <string_view>

#include "core/mutation.hpp"
#include "core/tree.hpp"

namespace sexp {

// One piece of a tree written out in text order: an atom and its bytes, the opening or the
// closing of a list, or a copy of a whole tree given beside the steps (`data` null, `size`
// saying which: 0 open, 1 close, 2 + n the n-th tree).
struct BuildStep {
    const char* data;
    std::size_t size;

    static BuildStep atom(std::string_view text) noexcept {
        return {text.data() != nullptr ? text.data() : "", text.size()};
    }
    static BuildStep open() noexcept { return {nullptr, 0}; }
    static BuildStep close() noexcept { return {nullptr, 1}; }
    static BuildStep copy(std::size_t n) noexcept { return {nullptr, n + 2}; }
    bool is_atom() const noexcept { return data != nullptr; }
    bool is_open() const noexcept { return data == nullptr && size == 0; }
    bool is_close() const noexcept { return data == nullptr && size == 1; }
    std::size_t copy_index() const noexcept { return size - 2; }
    std::string_view text() const noexcept { return {data, size}; }
};

// A tree to copy in whole, and whether its top brings only its own text (not the text around
// it) where it keeps a layout: the copy of a root does.
struct TreeCopy {
    Tree tree;
    bool own_text;
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
    // A copy of the subtree under `from`'s root (an atom's children included) as the next
    // node, with its layout where `from` keeps one of this tree's syntax and this tree keeps
    // one too. May throw as atom() and open().
    void copy(const Tree& from, bool own_text);
    // The step's node, or the end of a list; copies from `copies`. May throw as atom().
    void add(const BuildStep& step, std::span<const TreeCopy> copies = {});
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
// each atom step a new atom, each open ... close a new list of what lies between, each copy
// step a copy of a tree of `copies`. `steps` is balanced. All or nothing, as with Builder.
void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps,
                  std::span<const TreeCopy> copies = {});

} // namespace sexp
