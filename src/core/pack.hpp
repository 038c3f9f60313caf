#pragma once

#include <cstddef>
#include <cstdint>

#include "core/tree.hpp"

namespace sexp {

// A compact byte form of a subtree that keeps all that a copy keeps: the shape, every atom's
// bytes, children attached to atoms, and whether the subtree is an implicit root.
//
// Layout: PACK_VERSION, a flags byte (PACK_IMPLICIT_ROOT or 0), then every node in pre-order,
// an atom's children included. A node is a varint (7 bits a byte, low bits first) x * 4 + kind:
//   kind 0  an atom without children; x is its length and its bytes follow;
//   kind 1  a list of x children;
//   kind 2  an atom with children; x is its length, then a varint child count (at least 1),
//           then its bytes.
inline constexpr std::uint8_t PACK_VERSION = 1;
inline constexpr std::uint8_t PACK_IMPLICIT_ROOT = 1;
inline constexpr std::uint64_t PACK_ATOM = 0, PACK_LIST = 1, PACK_PARENT_ATOM = 2;

// The size of the packed form of the subtree under `node`.
std::size_t packed_size(const Tree& tree, NodeId node) noexcept;

// Writes the packed form of the subtree under `node`, exactly packed_size bytes, to `out`.
void pack(const Tree& tree, NodeId node, char* out) noexcept;

} // namespace sexp
