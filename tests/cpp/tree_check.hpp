#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/tree.hpp"
#include "core/walk.hpp"
#include "parse/parser.hpp"

namespace sexp_test {

using sexp::NO_NODE;
using sexp::Node;
using sexp::NodeId;
using sexp::Tree;

// Every structural invariant of a tree, in O(slots): links agree both ways, counts match the
// chains, parent links never loop, and the free stack lists exactly the vacant slots, once each.
inline ::testing::AssertionResult check_invariants(const Tree& t) {
    const sexp::Slab& s = t.slab;
    const std::size_t n = s.slot_count();
    auto fail = [](NodeId id, const char* what) {
        return ::testing::AssertionFailure() << "slot " << id << ": " << what;
    };
    std::vector<char> listed(n, 0);
    for (NodeId id : s.free_stack()) {
        if (id >= n || !s.raw(id).is_vacant())
            return fail(id, "free stack names an occupied or missing slot");
        if (listed[id]++)
            return fail(id, "listed twice on the free stack");
    }
    auto ok_link = [&](NodeId id) { return id == NO_NODE || (id < n && !s.raw(id).is_vacant()); };
    if (t.root >= n || s.raw(t.root).is_vacant())
        return fail(t.root, "root slot vacant");
    const Node& r = s.raw(t.root);
    if (r.parent != NO_NODE || r.prev_sibling != NO_NODE || r.next_sibling != NO_NODE)
        return fail(t.root, "root has a parent or siblings");

    std::vector<std::uint32_t> claimed(n, 0); // nodes naming each slot as parent
    std::vector<char> on_chain(n, 0);
    for (NodeId id = 0; id < n; ++id) {
        const Node& m = s.raw(id);
        if (m.is_vacant()) {
            if (!listed[id])
                return fail(id, "vacant but not on the free stack");
            continue;
        }
        if (!ok_link(m.parent) || !ok_link(m.first_child) || !ok_link(m.last_child) ||
            !ok_link(m.prev_sibling) || !ok_link(m.next_sibling))
            return fail(id, "link to a vacant or missing slot");
        if ((m.first_child == NO_NODE) != (m.last_child == NO_NODE))
            return fail(id, "only one of first_child/last_child set");
        if (m.parent != NO_NODE)
            ++claimed[m.parent];
        else if (m.prev_sibling != NO_NODE || m.next_sibling != NO_NODE)
            return fail(id, "detached node has siblings");
        std::uint32_t len = 0;
        NodeId prev = NO_NODE;
        for (NodeId c = m.first_child; c != NO_NODE; prev = c, c = s.raw(c).next_sibling) {
            const Node& cn = s.raw(c);
            if (on_chain[c]++)
                return fail(c, "on more than one chain position");
            if (cn.parent != id || cn.prev_sibling != prev)
                return fail(c, "parent or prev_sibling disagrees with the chain");
            ++len;
        }
        if (prev != m.last_child)
            return fail(id, "chain does not end at last_child");
        if (len != m.child_count)
            return fail(id, "child_count differs from the chain length");
    }
    for (NodeId id = 0; id < n; ++id)
        if (!s.raw(id).is_vacant() && claimed[id] != s.raw(id).child_count)
            return fail(id, "a node naming it as parent is not on its chain");

    // 0 unknown, 1 on the current upward walk, 2 known to reach a parentless node.
    std::vector<char> state(n, 0);
    std::vector<NodeId> path;
    for (NodeId id = 0; id < n; ++id) {
        if (s.raw(id).is_vacant())
            continue;
        path.clear();
        NodeId at = id;
        while (at != NO_NODE && state[at] != 2) {
            if (state[at] == 1)
                return fail(at, "parent links loop");
            state[at] = 1;
            path.push_back(at);
            at = s.raw(at).parent;
        }
        for (NodeId p : path)
            state[p] = 2;
    }
    // A layout's offsets lie in order within its text, and a vacant slot has none.
    if (t.layout) {
        const sexp::TreeLayout& l = *t.layout;
        const std::size_t size = l.source_size() + l.extra.size();
        for (NodeId id = 0; id < l.spans.size(); ++id) {
            const sexp::Span& sp = l.spans[id];
            if (!sp.has_text())
                continue;
            if (id >= n || s.raw(id).is_vacant())
                return fail(id, "a vacant or missing slot has a layout");
            if (!(sp.lead <= sp.begin && sp.begin <= sp.end && sp.end <= sp.trail &&
                  sp.trail <= size) ||
                (sp.lead < l.source_size() && sp.trail > l.source_size()))
                return fail(id, "layout offsets out of order or across texts");
            const Node& m = s.raw(id);
            bool formless = id == t.root && t.implicit_root;
            if (m.is_list() && !formless &&
                !(sp.begin < m.opening_end() && m.opening_end() <= m.closing_begin() &&
                  m.closing_begin() < sp.end))
                return fail(id, "a list's opening or closing text out of place");
        }
    }
    // Searches scan a tree that claims text order slot by slot: its nodes must be slots 0 to
    // n-1, in pre-order.
    if (t.in_text_order) {
        NodeId expect = 0;
        for (NodeId at = t.root; at != NO_NODE; at = sexp::next_preorder(s, t.root, at))
            if (at != expect++)
                return fail(at, "out of the text order the tree claims");
        if (expect != n)
            return fail(expect, "outside the text order the tree claims");
    }
    return ::testing::AssertionSuccess();
}

// The canonical text of a subtree, written without a stack: down first_child, across
// next_sibling, back up by parent links. Kept apart from the core's renderer on purpose.
inline std::string to_text(const Tree& t, NodeId top) {
    std::string out;
    if (top == t.root && t.implicit_root && t.node(top).first_child == NO_NODE)
        return out;
    NodeId at = top;
    for (;;) {
        const Node& m = t.node(at);
        if (m.is_list() && m.first_child != NO_NODE) {
            out += '(';
            at = m.first_child;
            continue;
        }
        if (m.is_list())
            out += "()";
        else
            out += m.text.view();
        while (at != top && t.node(at).next_sibling == NO_NODE) {
            at = t.node(at).parent;
            out += ')';
        }
        if (at == top)
            return out;
        out += ' ';
        at = t.node(at).next_sibling;
    }
}

// A tree parsed from text that must be accepted.
inline Tree parsed(std::string_view text) {
    sexp::ParseResult r = sexp::parse(text);
    if (!r.tree) {
        ADD_FAILURE() << "parse failed: " << text;
        return sexp::make_empty_tree();
    }
    return std::move(*r.tree);
}

// The lowest occupied slot holding an atom with this text.
inline NodeId find_atom(const Tree& t, std::string_view text) {
    for (NodeId id = 0; id < t.slab.slot_count(); ++id)
        if (t.slab.raw(id).is_atom() && t.slab.raw(id).text.view() == text)
            return id;
    ADD_FAILURE() << "no atom " << text;
    return NO_NODE;
}

} // namespace sexp_test
