#include "core/clone.hpp"

#include <utility>
#include <vector>

#include "core/mutation.hpp"

namespace sexp {

Tree clone_subtree(const Tree& source, NodeId node) {
    const Node& top = source.node(node);
    Tree copy;
    if (node == source.root) {
        copy.slab = Slab(source.slab);
        copy.generation = source.generation;
        copy.root = source.root;
        copy.implicit_root = source.implicit_root;
        return copy;
    }
    if (top.is_atom()) {
        copy.slab.reserve(1);
        copy.root = copy.slab.insert(Node::make(top.text.copy()));
        return copy;
    }
    // live_count bounds the subtree's size, so the slot array never grows during the copy.
    copy.slab.reserve(source.slab.live_count());
    copy.root = copy.slab.insert(Node::list());
    struct Pending {
        NodeId source;
        NodeId new_parent;
    };
    std::vector<Pending> stack;
    stack.reserve(16);
    // Top of the stack is the next node in pre-order; each copy is appended to its new
    // parent, so chains keep their order and ids come out dense.
    for (NodeId c = top.last_child; c != NO_NODE; c = source.node(c).prev_sibling)
        stack.push_back({c, copy.root});
    while (!stack.empty()) {
        Pending p = stack.back();
        stack.pop_back();
        const Node& s = source.node(p.source);
        NodeId m = copy.slab.insert(Node::make(s.is_atom() ? s.text.copy() : AtomText::list_marker()));
        link_child(copy.slab, p.new_parent, m);
        for (NodeId c = s.last_child; c != NO_NODE; c = source.node(c).prev_sibling)
            stack.push_back({c, m});
    }
    copy.slab.release_unused();
    return copy;
}

} // namespace sexp
