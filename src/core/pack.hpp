#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tree.hpp"

namespace sexp {

// A compact byte form of a subtree that keeps all that a copy keeps: the shape, every atom's
// bytes, children attached to atoms, whether the subtree is an implicit root, and its layout.
//
// Layout: PACK_VERSION, a flags byte (PACK_IMPLICIT_ROOT, PACK_LAYOUT, the syntax), then every node in
// pre-order, an atom's children included. A node is a varint (7 bits a byte, low bits first)
// x * 4 + kind:
//   kind 0  an atom without children; x is its length and its bytes follow;
//   kind 1  a list of x children;
//   kind 2  an atom with children; x is its length, then a varint child count (at least 1),
//           then its bytes.
// With PACK_LAYOUT, the layout follows: the syntax (a byte), the text's length (a varint) and
// bytes, then for each node in the same order a varint 0 (no layout), 1 (the root of a text
// with no form), or 2 + the list's edit marks (0 for an atom), and for the others the
// distances, as varints, from 0 to `lead` and on to `begin`, (for a list but 1: `begin` + 1,
// the opening text's end, the closing text's start, `end` - 1,) `end` and `trail`.
inline constexpr std::uint8_t PACK_VERSION = 1;
inline constexpr std::uint8_t PACK_IMPLICIT_ROOT = 1;
inline constexpr std::uint8_t PACK_LAYOUT = 2;
// The tree's syntax, in the bits above: 0 for plain, so a plain tree's flags stay as they were.
inline constexpr unsigned PACK_SYNTAX_SHIFT = 2;
inline constexpr std::uint64_t PACK_ATOM = 0, PACK_LIST = 1, PACK_PARENT_ATOM = 2;

// The packed form of the subtree under `node`, made in two steps: its size, then its bytes.
class Packing {
  public:
    // Gathers the subtree's layout, when the tree keeps one. May throw std::bad_alloc.
    Packing(const Tree& tree, NodeId node);
    std::size_t size() const noexcept { return size_; }
    // Writes exactly size() bytes.
    void write(char* out) const noexcept;

  private:
    const Tree& tree_;
    NodeId node_;
    std::optional<GatheredLayout> layout_;
    std::vector<NodeId> ids_; // the subtree in pre-order, when it has a layout
    std::size_t size_;
};

// The size of the packed form of the subtree under `node`. May throw std::bad_alloc.
std::size_t packed_size(const Tree& tree, NodeId node);

// Writes the packed form of the subtree under `node`, exactly packed_size bytes, to `out`.
// May throw std::bad_alloc.
void pack(const Tree& tree, NodeId node, char* out);

} // namespace sexp
