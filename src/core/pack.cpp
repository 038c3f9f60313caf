#include "core/pack.hpp"

#include <cstring>

#include "core/walk.hpp"

namespace sexp {

namespace {

std::size_t varint_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

char* put_varint(char* out, std::uint64_t v) noexcept {
    while (v >= 0x80) {
        *out++ = static_cast<char>(static_cast<std::uint8_t>(v) | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<char>(v);
    return out;
}

bool is_packed_implicit(const Tree& tree, NodeId node) noexcept {
    return node == tree.root && tree.implicit_root;
}

} // namespace

std::size_t packed_size(const Tree& tree, NodeId node) noexcept {
    std::size_t size = 2;
    for (NodeId at = node; at != NO_NODE; at = next_preorder(tree.slab, node, at)) {
        const Node& n = tree.node(at);
        if (n.is_list()) {
            size += varint_size(std::uint64_t{n.child_count} * 4 + PACK_LIST);
            continue;
        }
        std::size_t length = n.text.view().size();
        size += varint_size(std::uint64_t{length} * 4) + length;
        if (n.child_count != 0)
            size += varint_size(n.child_count);
    }
    return size;
}

void pack(const Tree& tree, NodeId node, char* out) noexcept {
    *out++ = static_cast<char>(PACK_VERSION);
    *out++ = static_cast<char>(is_packed_implicit(tree, node) ? PACK_IMPLICIT_ROOT : 0);
    for (NodeId at = node; at != NO_NODE; at = next_preorder(tree.slab, node, at)) {
        const Node& n = tree.node(at);
        if (n.is_list()) {
            out = put_varint(out, std::uint64_t{n.child_count} * 4 + PACK_LIST);
            continue;
        }
        std::string_view text = n.text.view();
        if (n.child_count == 0) {
            out = put_varint(out, std::uint64_t{text.size()} * 4 + PACK_ATOM);
        } else {
            out = put_varint(out, std::uint64_t{text.size()} * 4 + PACK_PARENT_ATOM);
            out = put_varint(out, n.child_count);
        }
        if (!text.empty())
            std::memcpy(out, text.data(), text.size());
        out += text.size();
    }
}

} // namespace sexp
