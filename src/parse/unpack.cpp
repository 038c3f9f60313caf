#include "parse/unpack.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/mutation.hpp"
#include "core/layout.hpp"
#include "core/pack.hpp"
#include "parse/tokenizer.hpp"

namespace sexp {

namespace {

class Reader {
  public:
    explicit Reader(std::string_view bytes) noexcept
        : p_(reinterpret_cast<const std::uint8_t*>(bytes.data())), end_(p_ + bytes.size()) {}

    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - p_); }
    std::uint8_t byte() noexcept { return *p_++; } // when left() > 0

    bool varint(std::uint64_t& v) noexcept {
        v = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            if (p_ == end_)
                return false;
            std::uint8_t b = *p_++;
            if (shift == 63 && b > 1)
                return false; // more than 64 bits
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if (b < 0x80)
                return true;
        }
        return false;
    }

    std::string_view take(std::size_t n) noexcept {
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

  private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Reads the layout section of a packed form into `tree`, whose nodes are numbered in the same
// pre-order. False when it is not one: a syntax that does not exist, a text past the end or
// not UTF-8, offsets out of order or past the text.
bool read_layout(Reader& in, Tree& tree) {
    std::uint64_t syntax, length;
    if (!in.varint(syntax) || syntax > static_cast<std::uint64_t>(Syntax::Lisp) ||
        !in.varint(length) || length > in.left() || length >= NO_SPAN)
        return false;
    GatheredLayout g;
    g.syntax = static_cast<Syntax>(syntax);
    std::string_view text = in.take(static_cast<std::size_t>(length));
    if (!is_valid_utf8(text.data(), text.size()))
        return false;
    g.text.assign(text);
    const std::size_t count = tree.slab.slot_count();
    g.nodes.resize(count);
    std::vector<NodeId> ids(count);
    for (NodeId id = 0; id < count; ++id) {
        ids[id] = id;
        std::uint64_t tag;
        if (!in.varint(tag) || tag > 2 + 3)
            return false;
        if (tag == 0)
            continue;
        if (tag == 1 && !(id == 0 && tree.implicit_root))
            return false;
        const bool list = tree.slab.raw(id).is_list() && tag != 1;
        if (tag > 2 && !list)
            return false;
        // Each offset is the one before plus a distance (and the parentheses a byte each).
        std::uint64_t d[6];
        for (int k = 0; k < (list ? 6 : 4); ++k)
            if (!in.varint(d[k]) || d[k] > length)
                return false;
        std::uint64_t lead = d[0], begin = lead + d[1], opening = 0, closing = 0, end, trail;
        if (list) {
            opening = begin + 1 + d[2];
            closing = opening + d[3];
            end = closing + d[4] + 1;
            trail = end + d[5];
        } else {
            end = begin + d[2];
            trail = end + d[3];
        }
        if (trail > length)
            return false;
        auto u32 = [](std::uint64_t v) { return static_cast<std::uint32_t>(v); };
        NodeLayout& t = g.nodes[id];
        t.span = Span{u32(lead), u32(begin), u32(end), u32(trail)};
        t.opening = u32(opening);
        t.closing = u32(closing);
        t.edits = static_cast<std::uint8_t>(tag >= 2 ? tag - 2 : 0);
    }
    give_layout(tree, ids, std::move(g));
    return tree.layout != nullptr;
}

} // namespace

std::optional<Tree> unpack(std::string_view bytes) {
    Reader in(bytes);
    if (in.left() < 3 || in.byte() != PACK_VERSION)
        return std::nullopt;
    std::uint8_t flags = in.byte();
    const unsigned syntax = flags >> PACK_SYNTAX_SHIFT;
    if (syntax > static_cast<unsigned>(Syntax::Lisp))
        return std::nullopt;

    Tree tree;
    Slab& slab = tree.slab;
    slab.reserve(in.left() / 3 + 1); // most nodes take three bytes or more
    // The nodes still waiting for children, innermost last, with how many are yet to come.
    std::vector<std::pair<NodeId, std::uint64_t>> open;
    bool atom_children = false; // numbered in pre-order, which is text order without them
    do {
        std::uint64_t head, children = 0;
        if (!in.varint(head))
            return std::nullopt;
        std::uint64_t kind = head & 3, x = head >> 2;
        NodeId id;
        if (kind == PACK_LIST) {
            children = x;
            id = slab.insert_unlinked(nullptr, 0);
        } else if (kind == PACK_ATOM || kind == PACK_PARENT_ATOM) {
            if (kind == PACK_PARENT_ATOM && (!in.varint(children) || children == 0))
                return std::nullopt;
            atom_children = atom_children || kind == PACK_PARENT_ATOM;
            if (x > in.left())
                return std::nullopt;
            std::string_view text = in.take(static_cast<std::size_t>(x));
            if (!is_valid_utf8(text.data(), text.size()))
                return std::nullopt;
            id = text.size() <= INLINE_CAPACITY ? slab.insert_unlinked(text.data(), text.size())
                                                : slab.insert(Node::atom(text));
        } else {
            return std::nullopt;
        }
        // Every child takes a byte at least: a count the bytes left cannot hold is a lie.
        if (children > in.left() || children > NO_NODE)
            return std::nullopt;
        if (!open.empty()) {
            link_child(slab, open.back().first, id);
            if (--open.back().second == 0)
                open.pop_back();
        }
        if (children != 0)
            open.emplace_back(id, children);
    } while (!open.empty());
    if (flags & PACK_IMPLICIT_ROOT) {
        if (!slab.raw(0).is_list())
            return std::nullopt;
        tree.implicit_root = true;
    }
    tree.root = 0;
    tree.syntax = static_cast<Syntax>(syntax);
    if ((flags & PACK_LAYOUT) && !read_layout(in, tree))
        return std::nullopt;
    if (in.left() != 0)
        return std::nullopt;
    tree.in_text_order = !atom_children;
    slab.release_unused();
    return tree;
}

} // namespace sexp
