#include "core/render.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace sexp {

void RenderBuffer::grow(std::size_t extra) {
    std::size_t want = std::max(capacity_ * 2, size_ + extra);
    char* fresh = static_cast<char*>(allocate_slots(want)); // huge pages for big texts too
    if (size_ > 0)
        std::memcpy(fresh, data_, size_);
    release_slots(data_, capacity_);
    data_ = fresh;
    capacity_ = want;
}

namespace {

// Writes through a raw cursor: capacity is checked once per node, not once per byte, and
// short texts are copied as one 16-byte block (the overrun is covered by later writes or
// lies past the end).
class Writer {
  public:
    explicit Writer(RenderBuffer& out) noexcept : out_(out), w_(out.ensure(0)) {}
    ~Writer() { out_.commit(w_); }

    void ensure(std::size_t n) {
        out_.commit(w_);
        w_ = out_.ensure(n);
    }
    void put(char c) noexcept { *w_++ = c; }
    void text(const AtomText& t) noexcept {
        if (t.is_inline()) {
            std::memcpy(w_, &t, 16);
            w_ += t.tag();
        } else {
            std::string_view v = t.view();
            std::memcpy(w_, v.data(), v.size());
            w_ += v.size();
        }
    }

  private:
    RenderBuffer& out_;
    char* w_;
};

} // namespace

void render(const Tree& tree, NodeId node, RenderBuffer& out) {
    const Node& top = tree.node(node);
    if (node == tree.root && tree.implicit_root && top.first_child == NO_NODE)
        return;
    if (top.is_atom()) {
        std::string_view v = top.text.view();
        char* w = out.ensure(v.size());
        std::memcpy(w, v.data(), v.size());
        out.commit(w + v.size());
        return;
    }
    out.ensure(8 * tree.slab.live_count());
    Writer w(out);
    // A pre-order walk along the links, so no stack is needed: `at` is the node to write next;
    // after a node without children is written, we climb, closing lists, to the next sibling.
    NodeId at = node;
    for (;;) {
        const Node& n = tree.node(at);
        if (n.is_list()) {
            w.ensure(2);
            w.put('(');
            if (n.first_child != NO_NODE) {
                at = n.first_child;
                continue;
            }
            w.put(')');
        } else {
            w.ensure(n.text.is_inline() ? 1 : n.text.view().size() + 1);
            w.text(n.text);
        }
        while (at != node) {
            const Node& done = tree.node(at);
            if (done.next_sibling != NO_NODE) {
                w.ensure(1);
                w.put(' ');
                at = done.next_sibling;
                break;
            }
            at = done.parent;
            w.ensure(1);
            w.put(')');
        }
        if (at == node)
            return;
    }
}

void render(const Tree& tree, NodeId node, std::string& out) {
    RenderBuffer buf;
    render(tree, node, buf);
    out.append(buf.view());
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
                const Node& an = left.node(a);
                const Node& bn = right.node(b);
                // Atom pairs are settled here; only list pairs wait on the stack.
                if (an.is_list() || bn.is_list())
                    stack.emplace_back(a, b);
                else if (an.text.view() != bn.text.view())
                    return false;
                a = an.next_sibling;
                b = bn.next_sibling;
            }
        } else if (!rn.is_atom() || ln.text.view() != rn.text.view()) {
            return false;
        }
    }
    return true;
}

} // namespace sexp
