#include "core/layout.hpp"

#include <algorithm>

#include "core/tree.hpp"

namespace sexp {

void SpanArray::grow_to(std::size_t count) {
    if (count <= spans_.size())
        return;
    if (count > spans_.capacity()) {
        reserve(std::max(count, spans_.capacity() * 2));
    } else {
        tail_.prepare(spans_.data(), spans_.capacity() * sizeof(Span), count * sizeof(Span));
    }
    spans_.resize(count);
}

SpanArray::SpanArray(const SpanArray& other) {
    spans_.reserve(other.spans_.size());
    spans_.assign(other.spans_.begin(), other.spans_.end());
}

const TextFacts& TreeLayout::facts() const {
    if (!facts_)
        facts_.emplace(text_facts(source ? source->text() : std::string_view(), syntax));
    return *facts_;
}

namespace {

// What a copy takes of a node: its span and, for a list, the rest of its layout.
struct Taken {
    Span span;
    std::uint32_t opening = 0;
    std::uint32_t closing = 0;
    bool edited = false;
};

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

void copy_layout(const Tree& from, const std::vector<std::pair<NodeId, NodeId>>& pairs, Tree& to,
                 bool own_text) {
    if (!from.layout || pairs.empty())
        return;
    const TreeLayout& src = *from.layout;
    if (to.layout && to.layout->syntax != src.syntax)
        return;
    std::vector<Taken> taken(pairs.size());
    Run in_source, in_extra;
    const std::size_t base = src.source_size();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        NodeId id = pairs[i].first;
        const Span* s = src.spans.get(id);
        // A text with no form has no text of its own: its copy is a list made anew.
        if (s == nullptr || (id == from.root && from.implicit_root))
            continue;
        Taken& t = taken[i];
        t.span = *s;
        if (i == 0 && own_text) {
            t.span.lead = s->begin;
            t.span.trail = s->end;
        }
        const Node& n = from.node(id);
        if (n.is_list()) {
            t.opening = n.opening_end();
            t.closing = n.closing_begin();
            t.edited = n.is_edited();
        }
        (t.span.lead < base ? in_source : in_extra).add(t.span.lead, t.span.trail);
    }
    const bool same = &from == &to;
    std::uint32_t shift_source = 0, shift_extra = 0; // new offset = old + shift (mod 2^32)
    if (!same) {
        std::size_t to_base = to.layout ? to.layout->source_size() + to.layout->extra.size() : 0;
        std::size_t size = std::size_t{in_source.size()} + in_extra.size();
        if (to_base + size >= NO_SPAN)
            return; // no room for offsets: the copies come without layout
        std::string text;
        text.reserve(size);
        if (in_source.size() != 0)
            text.append(src.slice(in_source.lo, in_source.hi));
        if (in_extra.size() != 0)
            text.append(src.slice(in_extra.lo, in_extra.hi));
        shift_source = static_cast<std::uint32_t>(to_base - in_source.lo);
        shift_extra = static_cast<std::uint32_t>(to_base + in_source.size() - in_extra.lo);
        if (!to.layout) {
            auto fresh = std::make_unique<TreeLayout>();
            fresh->syntax = src.syntax;
            fresh->spans.grow_to(to.slab.slot_count());
            fresh->source = std::make_shared<OwnedText>(std::move(text));
            to.layout = std::move(fresh);
        } else {
            to.layout->spans.grow_to(to.slab.slot_count());
            to.layout->extra.append(text);
        }
    } else {
        to.layout->spans.grow_to(to.slab.slot_count());
    }
    // Nothing allocates from here on.
    auto moved = [&](std::uint32_t offset, bool source) {
        return static_cast<std::uint32_t>(offset + (source ? shift_source : shift_extra));
    };
    SpanArray& spans = to.layout->spans;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const Taken& t = taken[i];
        if (!t.span.has_text())
            continue;
        bool in_src = same || t.span.lead < base;
        spans[pairs[i].second] = Span{moved(t.span.lead, in_src), moved(t.span.begin, in_src),
                                      moved(t.span.end, in_src), moved(t.span.trail, in_src)};
        Node& n = to.slab.raw(pairs[i].second);
        if (n.is_list()) {
            n.set_list_layout(moved(t.opening, in_src), moved(t.closing, in_src));
            if (t.edited)
                n.mark_edited();
        }
    }
}

} // namespace sexp
