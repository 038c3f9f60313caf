#include "core/render.hpp"

#include <utility>
#include <vector>

namespace sexp {

namespace {

// A pending write: a node (with a space before it unless it opens its list) or the closing
// parenthesis of a list whose children are done.
struct RenderStep {
    static constexpr NodeId CLOSE = NO_NODE;
    NodeId node;
    bool space_before;
};

} // namespace

void render(const Tree& tree, NodeId node, std::string& out) {
    const Node& top = tree.node(node);
    if (node == tree.root && tree.implicit_root && top.first_child == NO_NODE)
        return;
    if (top.is_atom()) {
        out.append(top.text.view());
        return;
    }
    out.reserve(out.size() + 8 * tree.slab.live_count());
    std::vector<RenderStep> stack;
    stack.reserve(16);
    stack.push_back({node, false});
    // The top of the stack is what comes next in the text.
    while (!stack.empty()) {
        RenderStep step = stack.back();
        if (step.node == RenderStep::CLOSE) {
            out.push_back(')');
            stack.pop_back();
            continue;
        }
        const Node& m = tree.node(step.node);
        if (step.space_before)
            out.push_back(' ');
        if (m.is_atom()) {
            out.append(m.text.view());
            stack.pop_back();
            continue;
        }
        out.push_back('(');
        stack.back() = {RenderStep::CLOSE, false};
        for (NodeId c = m.last_child; c != NO_NODE;) {
            const Node& cn = tree.node(c);
            stack.push_back({c, cn.prev_sibling != NO_NODE});
            c = cn.prev_sibling;
        }
    }
}

bool subtrees_equal(const Tree& left, NodeId left_node, const Tree& right, NodeId right_node) {
    std::vector<std::pair<NodeId, NodeId>> stack;
    stack.reserve(16);
    stack.emplace_back(left_node, right_node);
    // Every pair on the stack is still to be compared; a list pair pushes its children.
    while (!stack.empty()) {
        auto [l, r] = stack.back();
        stack.pop_back();
        const Node& ln = left.node(l);
        const Node& rn = right.node(r);
        if (ln.is_list()) {
            if (!rn.is_list() || ln.child_count != rn.child_count)
                return false;
            NodeId a = ln.first_child, b = rn.first_child;
            while (a != NO_NODE && b != NO_NODE) {
                stack.emplace_back(a, b);
                a = left.node(a).next_sibling;
                b = right.node(b).next_sibling;
            }
        } else if (!rn.is_atom() || ln.text.view() != rn.text.view()) {
            return false;
        }
    }
    return true;
}

} // namespace sexp
