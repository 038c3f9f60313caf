// Random edits of trees that keep their layout, against a model of how such trees are written.
// The model reads the text by the rules alone, keeps where each node and the text around it lie
// in the text it came from, and writes the tree with a writer of its own. After every step the
// core's text must be the model's, read back as the tree, and keep every line of the input that
// holds no byte of a node an edit touched.
//
// Input: a syntax byte, a two-byte length and the text (when it holds several forms, the one
// the next byte picks); a chunk size for reading it form by form; a syntax byte and a short
// text for a second tree that copies come from; then operations, an opcode byte and operands.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/build.hpp"
#include "core/clone.hpp"
#include "core/kept_writer.hpp"
#include "core/mutation.hpp"
#include "core/pack.hpp"
#include "core/render.hpp"
#include "input.hpp"
#include "model.hpp"
#include "output_check.hpp"
#include "parse/parser.hpp"
#include "parse/quote.hpp"
#include "parse/unpack.hpp"
#include "tree_check.hpp"

using fuzz_model::fail;
using fuzz_model::Input;
using fuzz_model::MNode;
using fuzz_model::MRules;
using fuzz_model::MTok;
using fuzz_model::NONE;
using sexp::NodeId;
using sexp::Tree;

namespace {

// Texts to start from when the input's is not accepted, by syntax.
constexpr const char* SAMPLES[] = {
    "(a\n  (b c)\n\n  d)\n",
    "# header\n(footprint \"R 1\"\n\t(layer \"F.Cu\")\n\t(at 1 2)\n)\n",
    "; set up\n(assert\r\n  (= |a b| \"q\"\"r\")) ; done\r\n",
    "(module ;; m\n  (func (; c ;) $f\n    (nop))\n  (;x;))",
    "; c\n(rule\n (deps #| b\n |# a)\n (action \"x\\\"y\")) ; t\n",
};

// Atom texts that sit at the edge of one syntax or another.
constexpr const char* EDGES[] = {"#",   "#x",  "a;b", "\"",      "\"a b\"", "|a b|",
                                 "#|",  "a#|", "(;",  ";)",      "\\",      "x\"y z\"",
                                 "a\\", "|#",  ";;",  "\"\\\"\""};

bool blank(char c) { return c == ' ' || c == '\t'; }

// ---- the model's layout ---------------------------------------------------------------------

// Where a node and the text around it lie in the text it was read from: [lead, begin) its
// leading text, [begin, end) itself, [end, trail) its trailing text; for a list, [begin + 1,
// opening) its opening text and [closing, end - 1) its closing text.
struct Lay {
    const std::string* text = nullptr; // null: no layout
    std::size_t lead = 0, begin = 0, end = 0, trail = 0, opening = 0, closing = 0;
    bool edited = false; // a list under which something changed
};

// What writing new lines takes from a tree's text.
struct Facts {
    bool has_unit = false;
    std::string unit;
    std::string newline = "\n";
};

struct LTree {
    fuzz_model::Model m;
    std::vector<Lay> lay; // by id
    int syntax = 0;
    Facts facts;

    NodeId insert(MNode n, const Lay& l) {
        NodeId id = m.insert(std::move(n));
        lay.resize(std::max(lay.size(), std::size_t{id} + 1));
        lay[id] = l;
        return id;
    }
    void link(NodeId parent, NodeId id) {
        m.nodes[id].parent = parent;
        if (parent != NONE)
            m.nodes[parent].kids.push_back(id);
    }
    // Something changed under `id`: it and every list above it are no longer their text.
    void mark(NodeId id) {
        for (; id != NONE; id = m.nodes[id].parent)
            lay[id].edited = true;
    }
};

// Where the whitespace and comments [from, to) between two tokens divide: at the first line
// feed outside a block comment (a carriage return before it included) when a comment comes
// before it, else at `from`.
std::size_t divide(std::string_view text, std::size_t from, std::size_t to, const MRules& r) {
    bool commented = false;
    for (std::size_t i = from; i < to;) {
        if (text[i] == '\n')
            return !commented ? from : i > from && text[i - 1] == '\r' ? i - 1 : i;
        bool line;
        std::size_t end = fuzz_model::comment_end(text, i, r, line);
        commented = commented || end != i;
        i = end != i ? end : i + 1;
    }
    return from;
}

// Whether [from, to) of `text` ends inside a line comment, read where it stands.
bool ends_in_comment(std::string_view text, std::size_t from, std::size_t to, const MRules& r) {
    for (std::size_t i = from; i < to;) {
        bool line;
        std::size_t end = fuzz_model::comment_end(text, i, r, line);
        if (line && end >= to)
            return true;
        i = end != i ? end : i + 1;
    }
    return false;
}

// The line break of a text, and the extra indentation of its first line whose first token is
// '(' (only spaces and tabs before it) and whose indentation is longer than, and begins with,
// that of the nearest such line above.
Facts facts_of(std::string_view text, int syntax) {
    Facts f;
    std::size_t lf = text.find('\n');
    if (lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r')
        f.newline = "\r\n";
    const MRules r = fuzz_model::rules(syntax);
    std::optional<std::string_view> above;
    for (std::size_t i = 0;;) {
        fuzz_model::MToken tok = fuzz_model::next_token(text, i, r);
        if (tok.kind != MTok::Open && tok.kind != MTok::Close && tok.kind != MTok::Atom)
            return f;
        i = tok.end;
        std::size_t start = tok.begin;
        while (start > 0 && blank(text[start - 1]))
            --start;
        if (tok.kind != MTok::Open || (start > 0 && text[start - 1] != '\n'))
            continue;
        std::string_view indent = text.substr(start, tok.begin - start);
        if (above && indent.size() > above->size() && indent.starts_with(*above)) {
            f.has_unit = true;
            f.unit = indent.substr(above->size());
            return f;
        }
        above = indent;
    }
}

// Reads `text` into `t` by the rules: nodes numbered as fuzz_model::parse numbers them, and the
// text between two tokens divided as `divide` says, the part before going to the earlier token
// (a node's trailing text, or a list's opening text), the rest to the later one (a node's
// leading text, or a list's closing text). The text before and after the form is the root's.
// False when the text does not read as at most one form.
bool read(const std::string& text, int syntax, LTree& t) {
    const MRules r = fuzz_model::rules(syntax);
    t = LTree{};
    t.syntax = syntax;
    std::vector<NodeId> open;
    std::size_t prev = 0, forms = 0;
    NodeId last = NONE; // the list the last token opened, or the node it ended
    bool opened = false;
    for (;;) {
        fuzz_model::MToken tok = fuzz_model::next_token(text, prev, r);
        if (tok.kind == MTok::End)
            break;
        if (tok.kind != MTok::Open && tok.kind != MTok::Close && tok.kind != MTok::Atom)
            return false;
        std::size_t split = last == NONE ? 0 : divide(text, prev, tok.begin, r);
        if (last != NONE)
            (opened ? t.lay[last].opening : t.lay[last].trail) = split;
        prev = tok.end;
        if (tok.kind == MTok::Close) {
            if (open.empty())
                return false;
            last = open.back();
            open.pop_back();
            t.lay[last].closing = split;
            t.lay[last].end = tok.end;
            opened = false;
            continue;
        }
        if (open.empty() && forms++ > 0)
            return false;
        MNode n;
        n.list = tok.kind == MTok::Open;
        if (!n.list)
            n.text = text.substr(tok.begin, tok.end - tok.begin);
        NodeId id = t.insert(std::move(n), Lay{&text, split, tok.begin, tok.end, tok.end});
        t.link(open.empty() ? NONE : open.back(), id);
        if (tok.kind == MTok::Open)
            open.push_back(id);
        last = id;
        opened = tok.kind == MTok::Open;
    }
    if (!open.empty())
        return false;
    if (forms == 0) {
        t.m.implicit_root = true;
        t.insert(MNode{}, Lay{&text, 0, text.size(), text.size(), text.size()});
    }
    t.lay[0].trail = text.size();
    t.m.root = 0;
    t.facts = facts_of(text, syntax);
    return true;
}

// A copy of the subtree under `id` of `from`, made as extend makes one, for a tree of `syntax`:
// a root whole, with its own text only; another atom alone; another list with every node
// below it. Nodes of another syntax come without layout, and so does the root of a text with
// no form. In pre-order, each with the index of its parent's copy (the top: none).
struct Copied {
    MNode node;
    Lay lay;
    std::size_t parent;
};

constexpr std::size_t TOP = SIZE_MAX;

std::vector<Copied> copy_of(const LTree& from, NodeId id, int syntax) {
    const bool root = id == from.m.root;
    std::vector<Copied> out;
    std::vector<std::pair<NodeId, std::size_t>> todo{{id, TOP}};
    while (!todo.empty()) {
        auto [at, parent] = todo.back();
        todo.pop_back();
        const MNode& n = from.m.nodes[at];
        Lay l = from.syntax == syntax ? from.lay[at] : Lay{};
        if (at == id && root) {
            l.lead = l.begin;
            l.trail = l.end;
            if (from.m.implicit_root)
                l = Lay{};
        }
        MNode node;
        node.list = n.list;
        node.text = n.text;
        out.push_back({std::move(node), l, parent});
        if (at != id || root || n.list)
            for (auto k = n.kids.rbegin(); k != n.kids.rend(); ++k)
                todo.emplace_back(*k, out.size() - 1);
    }
    return out;
}

void graft(LTree& to, const std::vector<Copied>& copy, NodeId parent) {
    std::vector<NodeId> made;
    for (const Copied& c : copy) {
        made.push_back(to.insert(c.node, c.lay));
        to.link(c.parent == TOP ? parent : made[c.parent], made.back());
    }
}

// ---- the model's writer ---------------------------------------------------------------------

// Writes nodes of a model tree as the rules say, into `out`.
class Writer {
  public:
    Writer(const LTree& t, const Facts& f) : t_(t), f_(f), r_(fuzz_model::rules(t.syntax)) {}

    std::string out;

    // A root: its leading text, itself, its trailing text.
    void root(NodeId id) {
        const Lay& l = t_.lay[id];
        if (l.text)
            gap(l, l.lead, l.begin);
        body(id);
        if (l.text)
            gap(l, l.end, l.trail);
    }
    // A node by itself.
    void body(NodeId id) { write(id, nullptr); }

  private:
    enum class Last { Nothing, Gap, Atom, Open, Close };
    // A region of lists without layout, laid out anew: the list's level in it and the
    // indentation of the line the region starts on.
    struct Fresh {
        std::size_t depth;
        std::string base;
    };

    // `outer` is the region of the node's list, when that list has no layout.
    void write(NodeId id, const Fresh* outer) {
        const MNode& n = t_.m.nodes[id];
        const Lay& l = t_.lay[id];
        if (!n.list) {
            bool as_read =
                l.text && std::string_view(*l.text).substr(l.begin, l.end - l.begin) == n.text;
            piece(n.text, as_read ? l.text : nullptr, l.begin, Last::Atom);
            return;
        }
        const bool formless = id == t_.m.root && t_.m.implicit_root;
        if (formless && n.kids.empty())
            return;
        const bool kept = l.text && !formless;
        if (kept && !l.edited) {
            piece(l, l.begin, l.end, Last::Close);
            return;
        }
        Fresh region{0, {}};
        if (kept) {
            piece(l, l.begin, l.begin + 1, Last::Open);
            gap(l, l.begin + 1, l.opening);
        } else {
            piece("(", nullptr, 0, Last::Open);
            region = outer ? Fresh{outer->depth + 1, outer->base} : Fresh{0, indentation()};
        }
        bool broke = false;
        const Lay* above = nullptr; // the nearest earlier child with layout
        for (std::size_t i = 0; i < n.kids.size(); ++i) {
            NodeId c = n.kids[i];
            const Lay& lc = t_.lay[c];
            const bool list = t_.m.nodes[c].list;
            // A new atom that would read as a comment at the start of a line stays on the
            // line before.
            const bool hash = !list && r_.hash_lines && t_.m.nodes[c].text.starts_with('#');
            if (!kept) // as the indented writer breaks lines
                broke = f_.has_unit &&
                        (i == 0 ? list : broke || t_.m.nodes[n.kids[i - 1]].list || list);
            if (lc.text) {
                gap(lc, lc.lead, lc.begin);
                above = &lc;
            } else if (!kept) {
                if (broke && !hash)
                    newline(region.depth + 1, region.base);
                else if (i > 0)
                    piece(" ", nullptr, 0, Last::Gap);
            } else if (i > 0) {
                copied_lead(hash ? nullptr : above);
            }
            write(c, kept ? nullptr : &region);
            if (lc.text)
                gap(lc, lc.end, lc.trail);
        }
        if (kept) {
            gap(l, l.closing, l.end - 1);
            piece(l, l.end - 1, l.end, Last::Close);
        } else {
            piece(")", nullptr, 0, Last::Close);
        }
    }

    // A new node in a list with layout goes where the nearest earlier sibling with layout did:
    // on a line of its own, indented alike, when that sibling's leading text breaks the line
    // (its last line break, and the spaces and tabs after it).
    void copied_lead(const Lay* above) {
        if (above) {
            std::string_view lead =
                std::string_view(*above->text).substr(above->lead, above->begin - above->lead);
            std::size_t lf = lead.rfind('\n');
            if (lf != std::string_view::npos) {
                std::size_t from = lf > 0 && lead[lf - 1] == '\r' ? lf - 1 : lf, to = lf + 1;
                while (to < lead.size() && blank(lead[to]))
                    ++to;
                piece(*above, above->lead + from, above->lead + to, Last::Gap);
                return;
            }
        }
        piece(" ", nullptr, 0, Last::Gap);
    }

    void newline(std::size_t depth, const std::string& base) {
        std::string pad = f_.newline + base;
        for (std::size_t i = 0; i < depth; ++i)
            pad += f_.unit;
        piece(pad, nullptr, 0, Last::Gap);
    }

    // Text around a node: nothing may follow a line comment on its line.
    void gap(const Lay& l, std::size_t from, std::size_t to) {
        piece(l, from, to, Last::Gap);
        if (from < to && ends_in_comment(*l.text, from, to, r_))
            break_due_ = true;
    }

    void piece(const Lay& l, std::size_t from, std::size_t to, Last kind) {
        piece(std::string_view(*l.text).substr(from, to - from), l.text, from, kind);
    }

    // Writes `text`, which lies at `from` in `origin` (or nowhere: null), with what the rules
    // put before it where it meets something it did not follow in its text.
    void piece(std::string_view text, const std::string* origin, std::size_t from, Last kind) {
        if (text.empty())
            return;
        const bool adjacent = origin && origin == last_origin_ && from == last_end_;
        if (!adjacent && last_ != Last::Nothing) {
            if (break_due_ && !text.starts_with("\n") && !text.starts_with("\r\n")) {
                std::string indent = indentation();
                out += f_.newline + indent;
            } else if (last_ == Last::Atom && !reads_as(last_atom_ + std::string(text.substr(0, 2)),
                                                        MTok::Atom, last_atom_.size())) {
                out += ' ';
            } else if (last_ == Last::Open &&
                       !reads_as("(" + std::string(text.substr(0, 2)), MTok::Open, 1)) {
                out += ' ';
            }
        }
        break_due_ = false;
        out += text;
        last_ = kind;
        last_origin_ = origin;
        last_end_ = from + text.size();
        if (kind == Last::Atom)
            last_atom_ = text;
    }

    // Whether the first token of `text`, read where no line starts, is `kind`, `size` long.
    bool reads_as(const std::string& text, MTok kind, std::size_t size) const {
        fuzz_model::MToken tok = fuzz_model::next_token(text, 0, r_, false);
        return tok.kind == kind && tok.begin == 0 && tok.end == size;
    }

    // The spaces and tabs that begin the line being written.
    std::string indentation() const {
        std::size_t from = out.rfind('\n') + 1; // npos + 1 == 0
        std::size_t to = from;
        while (to < out.size() && blank(out[to]))
            ++to;
        return out.substr(from, to - from);
    }

    const LTree& t_;
    const Facts& f_;
    const MRules r_;
    Last last_ = Last::Nothing;
    const std::string* last_origin_ = nullptr;
    std::size_t last_end_ = 0;
    std::string last_atom_;
    bool break_due_ = false;
};

// ---- the state ------------------------------------------------------------------------------

struct State {
    sexp::Syntax syntax{};
    std::string input; // the text the tree was read from
    Tree tree;
    LTree model;
    std::string other_input; // the second tree's text
    Tree other;
    LTree other_model;
    std::vector<NodeId> live;  // every occupied slot of `tree`, attached or not
    std::vector<char> touched; // by offset of `input` (one past its end too): an edit was there

    void refresh_live() {
        live.clear();
        for (NodeId id = 0; id < model.m.nodes.size(); ++id)
            if (model.m.nodes[id].live)
                live.push_back(id);
    }
    NodeId pick(Input& in) { return live[in.below(live.size())]; }

    void touch(const Lay& l, std::size_t from, std::size_t to) {
        if (l.text == &input)
            for (std::size_t i = from; i < to; ++i)
                touched[i] = 1;
    }
    // A node with the text around it.
    void touch(NodeId id) {
        const Lay& l = model.lay[id];
        touch(l, l.lead, l.trail);
    }
    // The place between the children `prev` and `next` (NONE: the list's start or end) of
    // `parent`, where a node came or went.
    void touch_between(NodeId parent, NodeId prev, NodeId next) {
        if (!model.m.nodes[parent].list)
            return; // an atom's children are not written
        const Lay& p = model.lay[parent];
        const bool formless = parent == model.m.root && model.m.implicit_root;
        if (prev != NONE)
            touch(model.lay[prev], model.lay[prev].end - 1, model.lay[prev].trail);
        else if (formless)
            touch(p, p.begin, p.begin + 1);
        else
            touch(p, p.begin, std::max(p.begin + 1, p.opening));
        if (next != NONE)
            touch(model.lay[next], model.lay[next].lead, model.lay[next].begin + 1);
        else if (formless)
            touch(p, p.begin, p.begin + 1);
        else
            touch(p, p.closing, p.end);
    }
    // The place of an attached node, as if it were not there.
    void touch_place(NodeId id) {
        NodeId parent = model.m.nodes[id].parent;
        if (parent == NONE)
            return;
        const auto& kids = model.m.nodes[parent].kids;
        std::size_t i = std::find(kids.begin(), kids.end(), id) - kids.begin();
        touch_between(parent, i > 0 ? kids[i - 1] : NONE, i + 1 < kids.size() ? kids[i + 1] : NONE);
        touch(id);
    }
};

std::string kept(const Tree& t, NodeId id) {
    std::string out;
    sexp::render(t, id, out, sexp::Layout{.kept = true});
    return out;
}

void check_tree(const Tree& t, const char* what) {
    if (auto ok = sexp_test::check_invariants(t); !ok)
        fail(what, ok.message());
}

// `text`, written from the subtree under `id` of `t`, reads back as that subtree, and is
// written back exactly.
void reads_back(const std::string& text, const Tree& t, NodeId id) {
    const sexp::Node& n = t.node(id);
    if (n.is_atom() && sexp::hash_lines(t.layout->syntax) && n.text.view().starts_with('#'))
        return; // no text reads as one such atom alone: it would begin its line
    sexp::ParseResult back =
        sexp::parse_keeping_layout(std::make_shared<sexp::OwnedText>(text), t.layout->syntax);
    if (!back.tree || !sexp::subtrees_equal(*back.tree, back.tree->root, t, id))
        fail("the written text does not read back as the tree", text);
    if (kept(*back.tree, back.tree->root) != text)
        fail("a text read back is not written back exactly", text);
}

void expect_text(const std::string& got, const std::string& want, const char* what) {
    if (got != want)
        fail(what, "core:  [" + got + "]\nmodel: [" + want + "]");
}

// Every line of the input that holds no touched offset (its line feed included) is among the
// output's lines, in order.
void check_lines(const State& s, std::string_view out) {
    std::size_t at = 0; // where the next output line starts
    for (std::size_t start = 0; start <= s.input.size();) {
        std::size_t lf = std::min(s.input.find('\n', start), s.input.size());
        bool edited = false;
        for (std::size_t i = start; i <= lf; ++i)
            edited = edited || s.touched[i];
        std::string_view line = std::string_view(s.input).substr(start, lf - start);
        start = lf + 1;
        if (edited)
            continue;
        for (;;) {
            if (at > out.size())
                fail("an input line no edit touched is missing", std::string(line));
            std::size_t end = std::min(out.find('\n', at), out.size());
            bool same = out.substr(at, end - at) == line;
            at = end + 1;
            if (same)
                break;
        }
    }
}

// The whole tree and one more node, written by the core and by the model.
void check(State& s, Input& in) {
    const Tree& t = s.tree;
    check_tree(t, "an edit broke an invariant");
    fuzz_model::compare_slots(t, s.model.m);
    std::string got = fuzz_model::render_tight(t, t.root, in.byte() % 64, {.kept = true});
    reads_back(got, t, t.root);
    Writer w(s.model, s.model.facts);
    w.root(t.root);
    expect_text(got, w.out, "the written text differs from the model's");
    // Written in pieces, as dump writes, the text is the same.
    sexp::TextWalk walk(t, t.root, {.kept = true});
    sexp::RenderBuffer buf;
    std::string pieces;
    for (std::size_t budget = 1 + in.byte(); !walk.write(t, buf, budget); buf.clear())
        pieces += buf.view();
    expect_text(pieces + std::string(buf.view()), got, "the text written in pieces differs");
    check_lines(s, got);
    NodeId id = s.pick(in);
    if (id != t.root) {
        Writer one(s.model, s.model.facts);
        one.body(id);
        expect_text(kept(t, id), one.out, "a node's text differs from the model's");
    }
}

// A copy of the subtree under `id` (`whole`: of the tree) holds it and writes it as the model
// says: the whole tree as the tree, a subtree as a root of its own text.
void check_copy(const State& s, const Tree& copy, NodeId id, bool whole) {
    check_tree(copy, "a copy breaks an invariant");
    if (!copy.layout || !sexp::subtrees_equal(copy, copy.root, s.tree, id))
        fail("a copy differs from its source, or lost its layout");
    std::string got = kept(copy, copy.root);
    reads_back(got, copy, copy.root);
    if (whole) {
        expect_text(got, kept(s.tree, s.tree.root), "a copy of the tree writes another text");
        return;
    }
    // A subtree's own text is its text; one without layout has only what the copy holds.
    const Lay& l = s.model.lay[id];
    Facts f = facts_of(l.text ? std::string_view(*l.text).substr(l.begin, l.end - l.begin)
                              : copy.layout->source->text(),
                       s.model.syntax);
    Writer w(s.model, f);
    w.body(id);
    expect_text(got, w.out, "a copy's text differs from the model's");
}

// ---- the start ------------------------------------------------------------------------------

// `text` read form by form in chunks of at most `chunk` bytes (0: whole): the forms' texts
// joined are the text. False when it is not read without error.
bool read_forms(const std::string& text, sexp::Syntax syntax, std::size_t chunk,
                std::vector<Tree>& forms) {
    sexp::FormReader reader(syntax, true);
    if (chunk == 0)
        reader.read_text(text, true);
    std::string joined;
    std::size_t fed = 0;
    for (std::uint32_t seed = static_cast<std::uint32_t>(text.size());;) {
        switch (reader.next()) {
        case sexp::FormReader::Status::Form:
            forms.push_back(reader.take_form());
            check_tree(forms.back(), "a form breaks an invariant");
            joined += kept(forms.back(), forms.back().root);
            continue;
        case sexp::FormReader::Status::NeedBytes: {
            if (fed == text.size()) {
                reader.finish();
                continue;
            }
            seed = seed * 1103515245u + 12345u;
            std::size_t n = std::min(1 + (seed >> 16) % chunk, text.size() - fed);
            reader.append(text.data() + fed, n);
            fed += n;
            continue;
        }
        case sexp::FormReader::Status::Done:
            if (!forms.empty() && joined != text)
                fail("the forms' texts joined are not the text", joined);
            return true;
        case sexp::FormReader::Status::Error:
            return false;
        }
    }
}

// Reads `text` into the tree and its model, which must agree on whether it is one tree.
bool read_both(const std::string& text, sexp::Syntax syntax, Tree& tree, LTree& model) {
    sexp::ParseResult r =
        sexp::parse_keeping_layout(std::make_shared<sexp::OwnedText>(text), syntax);
    if (r.tree.has_value() != read(text, static_cast<int>(syntax), model))
        fail("the model and the core disagree on whether a text reads", text);
    if (!r.tree)
        return false;
    tree = std::move(*r.tree);
    fuzz_model::compare_slots(tree, model.m);
    if (kept(tree, tree.root) != text)
        fail("a text read is not written back exactly", text);
    return true;
}

void start(State& s, Input& in) {
    std::uint8_t syntax = in.byte() % 5;
    s.syntax = static_cast<sexp::Syntax>(syntax);
    std::size_t size = in.byte();
    size = (size | std::size_t{in.byte()} << 8) % 4096;
    std::string text(in.take(size));
    std::size_t pick = in.byte(), chunk = in.byte() % 80;
    if (!fuzz_model::valid_utf8(text))
        text = SAMPLES[syntax];
    // A text of several forms: the text of one of them, as reading form by form gives it.
    std::vector<Tree> forms;
    bool whole = read_forms(text, s.syntax, chunk, forms);
    if (!whole || forms.size() > 1)
        text = forms.empty() ? SAMPLES[syntax] : forms[pick % forms.size()].layout->source->text();
    s.input = text;
    if (!read_both(s.input, s.syntax, s.tree, s.model)) {
        s.input = SAMPLES[syntax];
        read_both(s.input, s.syntax, s.tree, s.model);
    }
    s.touched.assign(s.input.size() + 1, 0);
    std::uint8_t o = in.byte();
    auto other_syntax = static_cast<sexp::Syntax>(o & 1 ? syntax : (o >> 1) % 5);
    s.other_input = in.take(in.byte());
    if (!fuzz_model::valid_utf8(s.other_input) ||
        !read_both(s.other_input, other_syntax, s.other, s.other_model)) {
        s.other_input = SAMPLES[static_cast<int>(other_syntax)];
        read_both(s.other_input, other_syntax, s.other, s.other_model);
    }
    s.refresh_live();
}

// ---- the edits ------------------------------------------------------------------------------

// A text for an atom, valid UTF-8, or nothing. Only texts that read back as one atom may be
// set; the model's reading and the core's check must agree on which those are.
std::optional<std::string> atom_text(State& s, Input& in) {
    std::string text;
    switch (in.byte() % 4) {
    case 0: {
        const MNode& n = s.model.m.nodes[s.pick(in)];
        text = n.list ? in.text() : n.text;
        break;
    }
    case 1:
        text = in.text();
        if (sexp::has_quoting(s.syntax) && fuzz_model::valid_utf8(text))
            text = sexp::quote(text, s.syntax);
        break;
    case 2:
        text = EDGES[in.below(std::size(EDGES))];
        break;
    default:
        text = in.text();
    }
    if (!fuzz_model::valid_utf8(text))
        return std::nullopt;
    fuzz_model::MToken tok =
        fuzz_model::next_token(text, 0, fuzz_model::rules(s.model.syntax), false);
    bool one = tok.kind == MTok::Atom && tok.begin == 0 && tok.end == text.size();
    if (one != sexp::is_one_atom(text, s.syntax))
        fail("is_one_atom disagrees with the model", text);
    return one ? std::optional<std::string>(text) : std::nullopt;
}

// The model's side of a removal.
void forget(State& s, NodeId id) {
    s.touch_place(id);
    s.model.mark(s.model.m.nodes[id].parent);
    s.model.m.remove(id);
}

void attach(State& s, Input& in) {
    std::uint8_t how = in.byte() % 3;
    NodeId parent = s.pick(in), child = s.pick(in), after = NONE;
    const auto& kids = s.model.m.nodes[parent].kids;
    if (how == 2 && !kids.empty())
        after = in.byte() % 4 == 0 ? s.pick(in) : kids[in.below(kids.size())];
    if (s.model.m.refuses(parent, after, child))
        return;
    s.touch_place(child);
    if (how == 0)
        sexp::append(s.tree, parent, child);
    else if (how == 1 || after == NONE)
        sexp::prepend(s.tree, parent, child);
    else
        sexp::insert_after(s.tree, parent, after, child);
    s.model.mark(s.model.m.nodes[child].parent);
    s.model.m.attach(parent, how == 2 ? after : NONE, child, how == 0);
    s.model.mark(parent);
    s.touch_place(child);
}

// extend: new atoms and lists, and copies of nodes of this tree and of the other one, made as
// extend makes them, as new last children of a node.
void extend(State& s, Input& in) {
    NodeId parent = s.pick(in);
    std::vector<std::string> texts;
    std::vector<sexp::BuildStep> steps;
    std::vector<sexp::TreeCopy> copies;
    std::vector<std::vector<Copied>> modelled; // the copies, for the model
    std::size_t count = in.byte() % 12, depth = 0;
    texts.reserve(count); // the steps point into these
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t kind = in.byte() % 6;
        if (kind == 0 && depth > 0) {
            steps.push_back(sexp::BuildStep::close());
            --depth;
        } else if (kind == 1) {
            steps.push_back(sexp::BuildStep::open());
            ++depth;
        } else if (kind <= 3) {
            // Copies of the tree double it: kept within what a run can check quickly.
            if (s.live.size() > 2048 || s.tree.layout->extra.size() > (1u << 16))
                continue;
            const bool here = kind == 2;
            const Tree& from = here ? s.tree : s.other;
            const LTree& model = here ? s.model : s.other_model;
            NodeId id = here ? s.pick(in) : static_cast<NodeId>(in.below(model.m.nodes.size()));
            std::vector<Copied> copy = copy_of(model, id, s.model.syntax);
            // Atoms of another syntax need not be atoms in this one: extend does not check.
            if (std::any_of(copy.begin(), copy.end(), [&](const Copied& c) {
                    return !c.node.list && !sexp::is_one_atom(c.node.text, s.syntax);
                }))
                continue;
            copies.push_back({sexp::clone_subtree(from, id, id == from.root), id == from.root});
            steps.push_back(sexp::BuildStep::copy(copies.size() - 1));
            modelled.push_back(std::move(copy));
        } else if (std::optional<std::string> text = atom_text(s, in)) {
            texts.push_back(std::move(*text));
            steps.push_back(sexp::BuildStep::atom(texts.back()));
        }
    }
    for (; depth > 0; --depth)
        steps.push_back(sexp::BuildStep::close());
    const auto& kids = s.model.m.nodes[parent].kids;
    s.touch_between(parent, kids.empty() ? NONE : kids.back(), NONE);
    sexp::append_built(s.tree, parent, steps, copies);

    std::vector<NodeId> into{parent};
    auto copy = modelled.begin();
    for (const sexp::BuildStep& step : steps) {
        if (step.is_close()) {
            into.pop_back();
        } else if (step.is_atom() || step.is_open()) {
            MNode n;
            n.list = step.is_open();
            n.text = step.is_atom() ? step.text() : "";
            NodeId id = s.model.insert(std::move(n), Lay{});
            s.model.link(into.back(), id);
            if (step.is_open())
                into.push_back(id);
        } else {
            graft(s.model, *copy++, into.back());
        }
    }
    s.model.mark(parent);
    s.refresh_live();
}

void step(State& s, Input& in) {
    Tree& t = s.tree;
    switch (in.byte() % 12) {
    case 0:
    case 1: {
        MNode n;
        n.list = in.byte() % 2 == 0;
        if (!n.list) {
            std::optional<std::string> text = atom_text(s, in);
            if (!text)
                return;
            n.text = std::move(*text);
        }
        NodeId id = sexp::add_detached(t, n.list ? sexp::Node::list() : sexp::Node::atom(n.text));
        if (id != s.model.insert(std::move(n), Lay{}))
            fail("a new node did not take the slot the model gave it");
        break;
    }
    case 2:
    case 3:
    case 4:
        attach(s, in);
        return;
    case 5: {
        // remove, or remove_all of a few nodes: one freed with a node before it is passed over
        std::vector<NodeId> ids(1 + in.byte() % 3);
        for (NodeId& id : ids)
            id = s.pick(in);
        if (std::find(ids.begin(), ids.end(), t.root) != ids.end())
            return;
        if (ids.size() == 1)
            sexp::remove(t, ids[0]);
        else
            sexp::remove_all(t, ids);
        ++t.generation;
        for (NodeId id : ids)
            if (s.model.m.nodes[id].live)
                forget(s, id);
        break;
    }
    case 6: {
        // Where a line whose first non-blank byte is '#' is a comment, the value setter
        // refuses such a text for the root, and for an atom whose leading text breaks the line.
        NodeId id = s.pick(in);
        sexp::Node& n = t.node_mut(id);
        std::optional<std::string> text = atom_text(s, in);
        if (n.is_list() || !text)
            return;
        const Lay& l = s.model.lay[id];
        bool refused =
            fuzz_model::rules(s.model.syntax).hash_lines && text->starts_with('#') &&
            (id == t.root ||
             (l.text && l.text->substr(l.lead, l.begin - l.lead).find('\n') != std::string::npos));
        if (refused == sexp::reads_back_as_atom(t, id, *text))
            fail("the value setter's check disagrees with the model", *text);
        if (refused)
            return;
        sexp::AtomText fresh = sexp::AtomText::make(*text);
        sexp::mark_value_edited(t, id);
        n.text.destroy();
        n.text = fresh;
        s.model.m.nodes[id].text = std::move(*text);
        s.model.mark(id);
        s.touch(l, l.begin, l.end);
        return;
    }
    case 7:
    case 8:
        extend(s, in);
        return;
    case 9: {
        // clone; a copy of the root may take the tree's place
        NodeId id = s.pick(in);
        Tree copy = sexp::clone_subtree(t, id);
        check_copy(s, copy, id, id == t.root);
        if (id == t.root && in.byte() % 2 == 0)
            t = std::move(copy);
        return;
    }
    case 10: {
        NodeId id = s.pick(in);
        if (id == t.root)
            return;
        check_copy(s, sexp::clone_subtree(t, id), id, false); // extract
        sexp::remove(t, id);
        ++t.generation;
        forget(s, id);
        break;
    }
    case 11: {
        NodeId id = s.pick(in);
        std::string bytes(sexp::packed_size(t, id), '\0');
        sexp::pack(t, id, bytes.data());
        std::optional<Tree> back = sexp::unpack(bytes);
        if (!back)
            fail("a packed form does not unpack");
        check_copy(s, *back, id, id == t.root);
        return;
    }
    }
    s.refresh_live();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    State s;
    start(s, in);
    check(s, in);
    while (!in.done()) {
        step(s, in);
        check(s, in);
    }
    return 0;
}
