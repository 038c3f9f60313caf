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

// Hands each varint of the nodes under `node` to `varint` and each atom's bytes to `bytes`, in
// packed order: the one walk that both sizing and writing follow, so they cannot disagree.
template <typename Varint, typename Bytes>
void each_packed(const Tree& tree, NodeId node, Varint&& varint, Bytes&& bytes) noexcept {
    Cursor c(node);
    do {
        const Node& n = tree.node(c.at);
        if (n.is_list()) {
            varint(std::uint64_t{n.child_count} * 4 + PACK_LIST);
            continue;
        }
        std::string_view text = n.text.view();
        varint(std::uint64_t{text.size()} * 4 +
               (n.child_count == 0 ? PACK_ATOM : PACK_PARENT_ATOM));
        if (n.child_count != 0)
            varint(n.child_count);
        bytes(text);
    } while (c.step(tree.slab, true));
}

} // namespace

std::size_t packed_size(const Tree& tree, NodeId node) noexcept {
    std::size_t size = 2;
    each_packed(
        tree, node, [&](std::uint64_t v) { size += varint_size(v); },
        [&](std::string_view text) { size += text.size(); });
    return size;
}

void pack(const Tree& tree, NodeId node, char* out) noexcept {
    *out++ = static_cast<char>(PACK_VERSION);
    *out++ = static_cast<char>(is_packed_implicit(tree, node) ? PACK_IMPLICIT_ROOT : 0);
    each_packed(
        tree, node, [&](std::uint64_t v) { out = put_varint(out, v); },
        [&](std::string_view text) {
            if (!text.empty())
                std::memcpy(out, text.data(), text.size());
            out += text.size();
        });
}

} // namespace sexp
