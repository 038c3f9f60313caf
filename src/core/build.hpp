#pragma once

#include <cstddef>
#include <span>
#include <string_view>

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

// Appends the forms that `steps` write out to `parent`, in order, as its new last children:
// each atom step a new atom, each open ... close a new list of what lies between. `steps` is
// balanced. All or nothing: on std::bad_alloc every node made is freed again and the tree,
// free stack included, is exactly as it was.
void append_built(Tree& tree, NodeId parent, std::span<const BuildStep> steps);

} // namespace sexp
