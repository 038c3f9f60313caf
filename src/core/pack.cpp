#include "core/pack.hpp"

#include <cstring>
#include <vector>

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

// Hands the layout section's pieces over as each_packed does.
template <typename Varint, typename Bytes>
void each_layout(const GatheredLayout& g, const Tree& tree, const std::vector<NodeId>& ids,
                 Varint&& varint, Bytes&& bytes) noexcept {
    varint(static_cast<std::uint64_t>(g.syntax));
    varint(g.text.size());
    bytes(std::string_view(g.text));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const NodeLayout& t = g.nodes[i];
        if (!t.span.has_text()) {
            varint(0);
            continue;
        }
        // The root of a text with no form has text around it and none of its own.
        const bool formless = t.span.begin == t.span.end;
        varint(formless ? 1 : 2 + t.edits);
        varint(t.span.lead);
        varint(t.span.begin - t.span.lead);
        if (tree.node(ids[i]).is_list() && !formless) {
            varint(t.opening - t.span.begin - 1);
            varint(t.closing - t.opening);
            varint(t.span.end - 1 - t.closing);
        } else {
            varint(t.span.end - t.span.begin);
        }
        varint(t.span.trail - t.span.end);
    }
}

// The subtree's nodes in pre-order, every child included.
std::vector<NodeId> preorder(const Tree& tree, NodeId node) {
    std::vector<NodeId> ids;
    Cursor c(node);
    do
        ids.push_back(c.at);
    while (c.step(tree.slab, true));
    return ids;
}

} // namespace

Packing::Packing(const Tree& tree, NodeId node) : tree_(tree), node_(node), size_(2) {
    each_packed(
        tree, node, [&](std::uint64_t v) { size_ += varint_size(v); },
        [&](std::string_view text) { size_ += text.size(); });
    if (!tree.layout)
        return;
    // A subtree packed alone brings its own text; the root, the text around it too.
    ids_ = preorder(tree, node);
    layout_.emplace(gather_layout(tree, ids_, node != tree.root));
    each_layout(
        *layout_, tree, ids_, [&](std::uint64_t v) { size_ += varint_size(v); },
        [&](std::string_view text) { size_ += text.size(); });
}

void Packing::write(char* out) const noexcept {
    *out++ = static_cast<char>(PACK_VERSION);
    *out++ = static_cast<char>((is_packed_implicit(tree_, node_) ? PACK_IMPLICIT_ROOT : 0) |
                               (layout_ ? PACK_LAYOUT : 0) |
                               static_cast<unsigned>(tree_.syntax) << PACK_SYNTAX_SHIFT);
    auto varint = [&](std::uint64_t v) { out = put_varint(out, v); };
    auto bytes = [&](std::string_view text) {
        if (!text.empty())
            std::memcpy(out, text.data(), text.size());
        out += text.size();
    };
    each_packed(tree_, node_, varint, bytes);
    if (layout_)
        each_layout(*layout_, tree_, ids_, varint, bytes);
}

std::size_t packed_size(const Tree& tree, NodeId node) {
    return Packing(tree, node).size();
}

void pack(const Tree& tree, NodeId node, char* out) {
    Packing(tree, node).write(out);
}

} // namespace sexp
