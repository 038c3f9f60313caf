#include "core/layout.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/tree.hpp"

namespace sexp {

void SpanArray::reserve(std::size_t count) {
    if (count <= capacity_)
        return;
    if (count > std::size_t(-1) / sizeof(Span))
        throw std::bad_alloc();
    auto* fresh = static_cast<Span*>(allocate_slots(count * sizeof(Span)));
    if (size_ != 0)
        std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(Span));
    release_slots(data_, capacity_ * sizeof(Span));
    data_ = fresh;
    capacity_ = count;
    tail_.reset();
}

void SpanArray::grow_to(std::size_t count) {
    if (count <= size_)
        return;
    if (count > capacity_)
        reserve(std::max(count, capacity_ * 2));
    else
        tail_.prepare(data_, capacity_ * sizeof(Span), count * sizeof(Span));
    for (std::size_t i = size_; i < count; ++i)
        data_[i] = Span{};
    size_ = count;
}

SpanArray::SpanArray(const SpanArray& other) {
    reserve(other.size_);
    if (other.size_ != 0)
        std::memcpy(static_cast<void*>(data_), other.data_, other.size_ * sizeof(Span));
    size_ = other.size_;
}

const TextFacts& TreeLayout::facts(const Span* root) const {
    if (!facts_) {
        std::string_view text = source ? source->text() : std::string_view();
        if (root != nullptr && root->lead != NO_SPAN && root->trail <= text.size())
            text = text.substr(root->lead, root->trail - root->lead);
        facts_.emplace(text_facts(text, syntax));
    }
    return *facts_;
}

namespace {

// The smallest run [lo, hi) holding a set of offsets.
struct Run {
    std::uint32_t lo = NO_SPAN;
    std::uint32_t hi = 0;
    void add(std::uint32_t from, std::uint32_t to) noexcept {
        lo = std::min(lo, from);
        hi = std::max(hi, to);
    }
    std::uint32_t size() const noexcept { return lo < hi ? hi - lo : 0; }
};

} // namespace

GatheredLayout gather_layout(const Tree& from, const std::vector<NodeId>& ids, bool own_text) {
    const TreeLayout& src = *from.layout;
    GatheredLayout g;
    g.syntax = src.syntax;
    g.nodes.resize(ids.size());
    // A node's text lies wholly in the source or wholly in the extra text.
    Run in_source, in_extra;
    const std::size_t base = src.source_size();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        NodeId id = ids[i];
        const Span* s = src.spans.get(id);
        if (s == nullptr || (id == from.root && from.implicit_root && own_text))
            continue; // a text with no form has no text of its own: its copy is made anew
        NodeLayout& t = g.nodes[i];
        t.span = *s;
        if (i == 0 && own_text) {
            t.span.lead = s->begin;
            t.span.trail = s->end;
        }
        const Node& n = from.node(id);
        if (n.is_list()) {
            t.opening = n.opening_end();
            t.closing = n.closing_begin();
            t.edits = n.edits();
        }
        (t.span.lead < base ? in_source : in_extra).add(t.span.lead, t.span.trail);
    }
    // One byte apart, as give_layout keeps texts copied in: the two runs were not one text.
    const std::uint32_t gap = in_source.size() != 0 && in_extra.size() != 0 ? 1 : 0;
    g.text.reserve(std::size_t{in_source.size()} + gap + in_extra.size());
    if (in_source.size() != 0)
        g.text.append(src.slice(in_source.lo, in_source.hi));
    g.text.append(gap, '\n');
    if (in_extra.size() != 0)
        g.text.append(src.slice(in_extra.lo, in_extra.hi));
    // new offset = old + shift, modulo 2^32
    const auto shift_source = static_cast<std::uint32_t>(0u - in_source.lo);
    const auto shift_extra = static_cast<std::uint32_t>(in_source.size() + gap - in_extra.lo);
    for (NodeLayout& t : g.nodes) {
        if (!t.span.has_text())
            continue;
        std::uint32_t shift = t.span.lead < base ? shift_source : shift_extra;
        t.span = Span{t.span.lead + shift, t.span.begin + shift, t.span.end + shift,
                      t.span.trail + shift};
        t.opening += shift;
        t.closing += shift;
    }
    return g;
}

void give_layout(Tree& to, const std::vector<NodeId>& ids, GatheredLayout&& g) {
    std::uint32_t shift = 0;
    if (!to.layout) {
        if (g.text.size() >= NO_SPAN)
            return;
        auto fresh = std::make_unique<TreeLayout>();
        fresh->syntax = g.syntax;
        fresh->spans.grow_to(to.slab.slot_count());
        fresh->source = std::make_shared<OwnedText>(std::move(g.text));
        to.layout = std::move(fresh);
    } else {
        TreeLayout& layout = *to.layout;
        // One byte apart from what comes before: texts that were not one text in the source
        // must not look adjacent to the writer.
        std::size_t base = layout.source_size() + layout.extra.size() + 1;
        if (layout.syntax != g.syntax || base + g.text.size() >= NO_SPAN)
            return; // the copies come without layout
        layout.spans.grow_to(to.slab.slot_count());
        layout.extra.reserve(layout.extra.size() + 1 + g.text.size());
        layout.extra.push_back('\n');
        layout.extra.append(g.text);
        shift = static_cast<std::uint32_t>(base);
    }
    // Nothing allocates from here on.
    SpanArray& spans = to.layout->spans;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const NodeLayout& t = g.nodes[i];
        if (!t.span.has_text())
            continue;
        spans[ids[i]] = Span{t.span.lead + shift, t.span.begin + shift, t.span.end + shift,
                             t.span.trail + shift};
        Node& n = to.slab.raw(ids[i]);
        if (n.is_list()) {
            n.set_list_layout(t.opening + shift, t.closing + shift);
            n.mark(t.edits);
        }
    }
    // Atoms whose text is not their text's any more: noted as edits of their value.
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Span* s = spans.get(ids[i]);
        const Node& n = to.slab.raw(ids[i]);
        if (s != nullptr && n.is_atom() && to.layout->slice(s->begin, s->end) != n.text.view())
            note_value(to, ids[i]);
    }
}

void note_value(Tree& tree, NodeId id) {
    tree.layout->values[tree.layout->spans[id].begin] = id;
}

void mark_value_edited(Tree& tree, NodeId id) {
    if (!tree.layout || !tree.layout->spans.get(id))
        return;
    note_value(tree, id);
    for (NodeId at = tree.slab.raw(id).parent; at != NO_NODE; at = tree.slab.raw(at).parent) {
        Node& n = tree.slab.raw(at);
        if (n.is_list()) {
            if (n.edits() != 0)
                return;
            n.mark(Node::EDITED_VALUES);
        }
    }
}

void copy_layout(const Tree& from, const std::vector<std::pair<NodeId, NodeId>>& pairs, Tree& to,
                 bool own_text) {
    if (!from.layout || pairs.empty())
        return;
    if (to.layout && to.layout->syntax != from.layout->syntax)
        return;
    std::vector<NodeId> src, dst;
    src.reserve(pairs.size());
    dst.reserve(pairs.size());
    for (const auto& [a, b] : pairs) {
        src.push_back(a);
        dst.push_back(b);
    }
    give_layout(to, dst, gather_layout(from, src, own_text));
}

} // namespace sexp
