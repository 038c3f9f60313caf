// Bytes decoded into a run of edits, applied to a tree and to the reference model side by side.
// Attaches the Python surface refuses are refused here too, by the same predicate; every step
// is followed by the invariant check and a node-by-node comparison with the model. Besides
// edits, steps build forms in bulk (extend), search (iter, find), hand out a subtree as data
// (tolist) and pack it for pickling, each checked against what the model says.
//
// Input: byte 0 picks the starting tree: below 8, one of the fixed texts; otherwise that many
// of the following bytes are parsed (a fixed text stands in when they are not accepted). The
// rest is a stream of operations, each an opcode byte and its operands.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/build.hpp"
#include "core/clone.hpp"
#include "core/mutation.hpp"
#include "core/pack.hpp"
#include "core/render.hpp"
#include "core/walk.hpp"
#include "input.hpp"
#include "model.hpp"
#include "output_check.hpp"
#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"
#include "parse/unpack.hpp"
#include "tree_check.hpp"

using fuzz_model::fail;
using fuzz_model::Input;
using fuzz_model::Model;
using sexp::NO_NODE;
using sexp::NodeId;
using sexp::Tree;

namespace {

constexpr const char* STARTS[] = {
    "",
    "()",
    "x",
    "(a b c)",
    "(a (b c) d)",
    "(a (b (c (d))) () e)",
    "((()))",
    "(x\xc2\xa0y \"q r\" ;c a-much-longer-atom-than-fifteen-bytes)",
};

struct State {
    Tree tree;
    Model model;
    std::vector<NodeId> live; // every occupied slot, attached or not

    void refresh_live() {
        live.clear();
        for (NodeId id = 0; id < model.nodes.size(); ++id)
            if (model.nodes[id].live)
                live.push_back(id);
    }
    NodeId pick(Input& in) { return live[in.below(live.size())]; }
};

std::string render(const Tree& t, NodeId id) {
    std::string out;
    sexp::render(t, id, out);
    return out;
}

void check_tree(const Tree& t, const char* what) {
    if (auto ok = sexp_test::check_invariants(t); !ok)
        fail(what, ok.message());
}

// The subtree under `id` in text order: pre-order, with an atom's own children left out.
std::vector<NodeId> model_text_order(const Model& m, NodeId id) {
    std::vector<NodeId> out, todo{id};
    while (!todo.empty()) {
        NodeId at = todo.back();
        todo.pop_back();
        out.push_back(at);
        if (m.nodes[at].list)
            todo.insert(todo.end(), m.nodes[at].kids.rbegin(), m.nodes[at].kids.rend());
    }
    return out;
}

// The whole slab against the model: occupancy, kinds, texts, parents and every child chain in
// order, then the renderer on the root and on one more node.
void check_state(const State& s, NodeId extra) {
    const Tree& t = s.tree;
    const Model& m = s.model;
    check_tree(t, "an edit broke an invariant");
    fuzz_model::compare_slots(t, m);
    if (t.in_text_order) {
        std::vector<NodeId> order = model_text_order(m, m.root);
        for (NodeId i = 0; i < order.size(); ++i)
            if (order[i] != i)
                fail("a tree claims a text order it does not have", std::to_string(i));
        if (order.size() != m.nodes.size())
            fail("a tree claims a text order with slots outside it");
    }
    std::string root = render(t, t.root);
    if (root != fuzz_model::render(m, m.root))
        fail("rendering differs from the model", root);
    if (render(t, extra) != fuzz_model::render(m, extra) ||
        fuzz_model::render_tight(t, extra, extra % 40) != fuzz_model::render(m, extra))
        fail("rendering of a node differs from the model", std::to_string(extra));
}

void start(State& s, Input& in) {
    std::uint8_t b = in.byte();
    std::string_view text = STARTS[b % 8];
    if (b >= 8) {
        std::string_view prefix = in.take(b);
        if (sexp::is_valid_utf8(prefix.data(), prefix.size()) && sexp::parse(prefix).tree)
            text = prefix;
    }
    sexp::ParseResult r = sexp::parse(text);
    if (!r.tree || fuzz_model::parse(text, s.model) != fuzz_model::MError::None)
        fail("a starting text is not accepted by both parsers");
    s.tree = std::move(*r.tree);
    s.refresh_live();
}

fuzz_model::MNode fresh(bool list, std::string text = {}) {
    fuzz_model::MNode n;
    n.list = list;
    n.text = std::move(text);
    return n;
}

enum class Where { End, Start, After };

// One attach, refused exactly when the surface refuses it; `after` is NO_NODE when absent.
void attach(State& s, Where where, NodeId parent, NodeId after, NodeId child) {
    Tree& t = s.tree;
    Model& m = s.model;
    // The surface's predicate, with its shortcut for childless nodes...
    bool cycle = t.node(child).first_child == NO_NODE ? child == parent
                                                      : sexp::is_self_or_ancestor(t, child, parent);
    bool refused = child == t.root || cycle ||
                   (after != NO_NODE && (after == child || t.node(after).parent != parent));
    // ...must agree with what would break the model.
    if (refused != m.refuses(parent, after, child))
        fail("the attach refusals disagree with the model");
    if (refused)
        return;
    switch (where) {
    case Where::End:
        sexp::append(t, parent, child);
        break;
    case Where::Start:
        sexp::prepend(t, parent, child);
        break;
    case Where::After:
        sexp::insert_after(t, parent, after, child);
        break;
    }
    m.attach(parent, where == Where::Start ? NO_NODE : after, child, where == Where::End);
}

void clone(State& s, NodeId id, bool adopt) {
    Tree copy = sexp::clone_subtree(s.tree, id);
    check_tree(copy, "clone breaks an invariant");
    std::string source = render(s.tree, id);
    if (render(copy, copy.root) != source || sexp_test::to_text(copy, copy.root) != source ||
        !sexp::subtrees_equal(s.tree, id, copy, copy.root))
        fail("clone differs from its source", source);
    if (id == s.tree.root) {
        if (copy.slab.slot_count() != s.tree.slab.slot_count() ||
            copy.slab.free_stack() != s.tree.slab.free_stack() || copy.root != s.tree.root ||
            copy.implicit_root != s.tree.implicit_root || copy.generation != s.tree.generation)
            fail("a copy of the root is not slot for slot");
        // Ids mean the same nodes in the copy, so editing can go on there.
        if (adopt)
            s.tree = std::move(copy);
        return;
    }
    std::size_t expect = s.model.nodes[id].list ? s.model.subtree_size(id) : 1;
    if (copy.slab.slot_count() != expect || copy.root != 0 || !copy.slab.free_stack().empty())
        fail("a copy of a non-root node is not compact");
}

// ---- asking and bulk building, against the model -------------------------------------------

// `head` null: any list.
bool model_headed_by(const Model& m, NodeId id, const std::string* head) {
    const fuzz_model::MNode& n = m.nodes[id];
    if (!n.list)
        return false;
    if (head == nullptr)
        return true;
    return !n.kids.empty() && !m.nodes[n.kids[0]].list && m.nodes[n.kids[0]].text == *head;
}

// A head to search for: the text of some atom (so that it matches now and then), or bytes from
// the input.
std::string pick_head(State& s, Input& in) {
    if (in.byte() % 2 == 0) {
        NodeId id = s.pick(in);
        if (!s.model.nodes[id].list)
            return s.model.nodes[id].text;
    }
    return in.text();
}

// extend: random balanced forms built under a node; the model makes the same nodes in the same
// order, so the slots and the free stack must agree afterwards.
void extend(State& s, Input& in) {
    NodeId parent = s.pick(in);
    std::size_t count = in.byte() % 16;
    std::vector<std::string> texts;
    texts.reserve(count); // the steps point into these
    std::vector<sexp::BuildStep> steps;
    std::size_t depth = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t kind = in.byte() % 4;
        if (kind == 3 && depth > 0) {
            steps.push_back(sexp::BuildStep::close());
            --depth;
        } else if (kind == 2) {
            steps.push_back(sexp::BuildStep::open());
            ++depth;
        } else {
            texts.push_back(in.text());
            steps.push_back(sexp::BuildStep::atom(texts.back()));
        }
    }
    for (; depth > 0; --depth)
        steps.push_back(sexp::BuildStep::close());
    sexp::append_built(s.tree, parent, steps);

    Model& m = s.model;
    std::vector<NodeId> into{parent};
    for (const sexp::BuildStep& step : steps) {
        if (!step.is_atom() && !step.is_open()) {
            into.pop_back();
            continue;
        }
        NodeId id = m.insert(fresh(step.is_open(), std::string(step.is_atom() ? step.text() : "")));
        m.nodes[id].parent = into.back();
        m.nodes[into.back()].kids.push_back(id);
        if (step.is_open())
            into.push_back(id);
    }
    s.refresh_live();
}

// iter and find/findall: the walks of the core against the model's lists.
void search(State& s, Input& in) {
    const Tree& t = s.tree;
    const Model& m = s.model;
    NodeId top = s.pick(in);
    std::uint8_t mode = in.byte() % 3;
    std::vector<NodeId> got, want;
    if (mode == 0) {
        for (NodeId at = top; at != NO_NODE; at = sexp::next_in_text(t, top, at))
            got.push_back(at);
        want = model_text_order(m, top);
    } else if (mode == 1) {
        std::string head = pick_head(s, in);
        sexp::HeadTest test = sexp::HeadTest::headed_by(head);
        auto accept = [&](const sexp::Node& n) { return test.matches(t, n); };
        for (NodeId at = sexp::seek_in_text(t, top, top, false, accept); at != NO_NODE;
             at = sexp::seek_in_text(t, top, at, true, accept))
            got.push_back(at);
        for (NodeId id : model_text_order(m, top))
            if (model_headed_by(m, id, &head))
                want.push_back(id);
    } else {
        std::size_t steps = 1 + in.byte() % 3;
        std::vector<std::string> heads;
        std::vector<bool> any;
        std::vector<sexp::HeadTest> path;
        heads.reserve(steps); // the tests point into these
        for (std::size_t i = 0; i < steps; ++i) {
            any.push_back(in.byte() % 3 == 0);
            heads.push_back(any.back() ? std::string() : pick_head(s, in));
            path.push_back(any.back() ? sexp::HeadTest::any_list()
                                      : sexp::HeadTest::headed_by(heads.back()));
        }
        std::vector<NodeId> cursor(steps);
        sexp::find_path(t, top, path, cursor.data(), [&](NodeId id) {
            got.push_back(id);
            return true;
        });
        // The model, level by level: each level's nodes come out in text order.
        std::vector<NodeId> level{top};
        for (std::size_t i = 0; i < steps; ++i) {
            std::vector<NodeId> next;
            for (NodeId id : level)
                for (NodeId kid : m.nodes[id].kids)
                    if (model_headed_by(m, kid, any[i] ? nullptr : &heads[i]))
                        next.push_back(kid);
            level = std::move(next);
        }
        want = level;
    }
    if (got != want)
        fail("a search differs from the model", std::to_string(top));
}

// tolist's walk: the data it hands out, written as text, against the model's.
struct DataText {
    std::string out;
    bool atom(const sexp::AtomText& text) {
        std::string_view v = text.view();
        out += "A" + std::to_string(v.size()) + ":";
        out.append(v);
        return true;
    }
    bool list(std::uint32_t count) {
        out += "L" + std::to_string(count) + ";";
        return true;
    }
};

void to_data(State& s, Input& in) {
    NodeId id = s.pick(in);
    DataText got;
    if (!sexp::walk_data(s.tree, id, got))
        fail("walk_data stopped without being asked");
    std::string want;
    for (NodeId at : model_text_order(s.model, id)) {
        const fuzz_model::MNode& n = s.model.nodes[at];
        want += n.list ? "L" + std::to_string(n.kids.size()) + ";"
                       : "A" + std::to_string(n.text.size()) + ":" + n.text;
    }
    if (got.out != want)
        fail("walk_data differs from the model", got.out);
}

// Every node in pre-order, an atom's children included: what a packed copy must keep.
std::string model_preorder(const Model& m, NodeId id) {
    std::string out;
    std::vector<NodeId> todo{id};
    while (!todo.empty()) {
        NodeId at = todo.back();
        todo.pop_back();
        const fuzz_model::MNode& n = m.nodes[at];
        out += (n.list ? "L" : "A" + std::to_string(n.text.size()) + ":" + n.text) + "/" +
               std::to_string(n.kids.size()) + ";";
        todo.insert(todo.end(), n.kids.rbegin(), n.kids.rend());
    }
    return out;
}

std::string tree_preorder(const Tree& t, NodeId id) {
    std::string out;
    for (NodeId at = id; at != NO_NODE; at = sexp::next_preorder(t.slab, id, at)) {
        const sexp::Node& n = t.node(at);
        std::string text(n.is_atom() ? n.text.view() : std::string_view());
        out += (n.is_list() ? "L" : "A" + std::to_string(text.size()) + ":" + text) + "/" +
               std::to_string(n.child_count) + ";";
    }
    return out;
}

// pickle's packed form: it reads back as the subtree, and no cut or changed copy of it breaks
// the reader.
void pack_round_trip(State& s, Input& in) {
    const Tree& t = s.tree;
    NodeId id = s.pick(in);
    std::string bytes(sexp::packed_size(t, id), '\0');
    sexp::pack(t, id, bytes.data());
    std::optional<Tree> back = sexp::unpack(bytes);
    // Texts here are any bytes; the module only ever stores UTF-8, which unpacking insists on.
    bool utf8 = true;
    for (NodeId at = id; at != NO_NODE; at = sexp::next_preorder(t.slab, id, at))
        utf8 = utf8 && (t.node(at).is_list() || fuzz_model::valid_utf8(t.node(at).text.view()));
    if (back.has_value() != utf8)
        fail("a packed form is read back exactly when its texts are UTF-8");
    if (!back)
        return;
    check_tree(*back, "unpacking breaks an invariant");
    if (tree_preorder(*back, back->root) != model_preorder(s.model, id) ||
        back->implicit_root != (id == t.root && t.implicit_root))
        fail("a packed form reads back as another tree", tree_preorder(*back, back->root));
    if (sexp::unpack(std::string_view(bytes).substr(0, in.below(bytes.size()))))
        fail("a cut packed form was read");
    bytes[in.below(bytes.size())] ^= static_cast<char>(1 + in.byte() % 255);
    if (std::optional<Tree> changed = sexp::unpack(bytes))
        check_tree(*changed, "unpacking changed bytes breaks an invariant");
}

void step(State& s, Input& in) {
    Tree& t = s.tree;
    Model& m = s.model;
    std::uint8_t op = in.byte() % 14;
    switch (op) {
    case 0:
    case 1: {
        bool list = op == 1;
        std::string text = list ? std::string() : in.text();
        NodeId id = sexp::add_detached(t, list ? sexp::Node::list() : sexp::Node::atom(text));
        if (id != m.insert(fresh(list, std::move(text))))
            fail("insert did not take the slot freed last");
        s.refresh_live();
        break;
    }
    case 2:
    case 3: {
        NodeId parent = s.pick(in);
        attach(s, op == 2 ? Where::End : Where::Start, parent, NO_NODE, s.pick(in));
        break;
    }
    case 4: {
        NodeId parent = s.pick(in);
        std::uint8_t mode = in.byte() % 4;
        const auto& kids = m.nodes[parent].kids;
        NodeId after = NO_NODE;
        if (mode == 1 || (mode >= 2 && kids.empty()))
            after = s.pick(in); // any node: mostly refused
        else if (mode >= 2)
            after = kids[in.below(kids.size())];
        attach(s, Where::After, parent, after, s.pick(in));
        break;
    }
    case 5: {
        NodeId id = s.pick(in);
        if (id == t.root)
            break; // the surface refuses to remove the root
        sexp::remove(t, id);
        ++t.generation;
        m.remove(id);
        s.refresh_live();
        break;
    }
    case 6: {
        std::uint8_t mode = in.byte();
        clone(s, mode & 1 ? t.root : s.pick(in), mode & 2);
        break;
    }
    case 7: {
        NodeId id = s.pick(in);
        std::string text = in.text();
        sexp::Node& n = t.node_mut(id);
        if (n.is_list())
            break; // the surface refuses a value for a list
        sexp::AtomText replacement = sexp::AtomText::make(text);
        n.text.destroy();
        n.text = replacement;
        m.nodes[id].text = std::move(text);
        break;
    }
    case 8: {
        NodeId a = s.pick(in), b = s.pick(in);
        if (sexp::subtrees_equal(t, a, t, b) != fuzz_model::equal(m, a, m, b))
            fail("subtrees_equal differs from the model");
        break;
    }
    case 9: {
        // extract: a copy first, then the removal.
        NodeId id = s.pick(in);
        if (id == t.root)
            break;
        clone(s, id, false);
        sexp::remove(t, id);
        ++t.generation;
        m.remove(id);
        s.refresh_live();
        break;
    }
    case 10:
        extend(s, in);
        break;
    case 11:
        search(s, in);
        break;
    case 12:
        to_data(s, in);
        break;
    case 13:
        pack_round_trip(s, in);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    State s;
    start(s, in);
    check_state(s, s.tree.root);
    while (!in.done()) {
        step(s, in);
        check_state(s, s.pick(in));
    }
    return 0;
}
