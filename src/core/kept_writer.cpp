#include "core/kept_writer.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "memory/hints.hpp"
#include "parse/gaps.hpp"
#include "parse/quote.hpp"
#include "parse/tokenizer.hpp"

namespace sexp {

namespace {

// Longer copies from the text go out in pieces of this size, so that writing in pieces holds
// no more than a piece at a time.
constexpr std::uint32_t CHUNK = 1u << 16;

bool blank(char c) noexcept { return c == ' ' || c == '\t'; }

bool starts_line(std::string_view text) noexcept {
    return text[0] == '\n' || (text[0] == '\r' && text.size() > 1 && text[1] == '\n');
}

// The last line feed of `text`, or null.
const char* last_line_feed(std::string_view text) noexcept {
#if defined(__GLIBC__)
    if (text.empty())
        return nullptr; // an empty output may have no storage yet, which memrchr may not see
    return static_cast<const char*>(memrchr(text.data(), '\n', text.size()));
#else
    for (std::size_t i = text.size(); i > 0; --i)
        if (text[i - 1] == '\n')
            return text.data() + i - 1;
    return nullptr;
#endif
}

// The OR of every byte, for the output's ASCII test.
std::uint64_t high_bits(std::string_view text) noexcept {
    std::uint64_t acc = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        acc |= w;
    }
    for (; i < text.size(); ++i)
        acc |= static_cast<unsigned char>(text[i]);
    return acc;
}

// The first token of `text`, read in `syntax` where no line starts.
TokenKind first_token(std::string_view text, Syntax syntax, std::size_t& size) noexcept {
    return with_syntax(syntax, [&](auto s) {
        BasicTokenizer<scan::Native, s.value> tokens(text.data(), text.size(), true, false);
        Token t = tokens.next();
        size = t.text.size();
        return t.kind;
    });
}

} // namespace

bool writes_source(const Tree& tree) noexcept {
    const TreeLayout& layout = *tree.layout;
    const Span* s = layout.spans.get(tree.root);
    if (s == nullptr || s->lead != 0 || s->trail != layout.source_size())
        return false;
    const Node& root = tree.node(tree.root);
    if (tree.implicit_root)
        return root.first_child == NO_NODE;
    if (root.is_list())
        return root.edits() == 0;
    return layout.slice(s->begin, s->end) == root.text.view();
}

bool reads_back_as_atom(const Tree& tree, NodeId id, std::string_view text) noexcept {
    const TreeLayout& layout = *tree.layout;
    if (!is_one_atom(text, layout.syntax))
        return false;
    if (text[0] != '#' || !hash_lines(layout.syntax))
        return true;
    // Its own leading text puts it where it stands: on a line of its own after a line break.
    // The root stands first on its line, after nothing but whitespace and comments.
    if (id == tree.root)
        return false;
    const Span* s = layout.spans.get(id);
    return s == nullptr || layout.slice(s->lead, s->begin).find('\n') == std::string_view::npos;
}

KeptWalk::KeptWalk(const Tree& tree, NodeId node)
    : tree_(&tree), layout_(*tree.layout), cursor_(node) {}

bool KeptWalk::write(const Tree& tree, TextOutput& out, std::size_t budget) {
    tree_ = &tree;
    out_ = &out;
    bool done = write_on(budget);
    // The output may be emptied before the next piece: the line in progress goes along.
    std::string_view text = out.written();
    const char* nl = last_line_feed(text);
    std::string_view line = nl != nullptr ? text.substr(static_cast<std::size_t>(nl - text.data()) + 1)
                                          : text;
    bool blank_line = std::all_of(line.begin(), line.end(), blank);
    carried_ = line_indent();
    carried_open_ = blank_line && (nl != nullptr || carried_open_);
    return done;
}

bool KeptWalk::write_on(std::size_t budget) {
    const Tree& tree = *tree_;
    const std::size_t start = written_;
    const bool at_root = cursor_.top == tree.root;
    for (;;) {
        if (rest_from_ < rest_to_) {
            copy_rest();
            if (written_ - start >= budget)
                return false;
            continue;
        }
        if (written_ - start >= budget)
            return phase_ == Phase::Done;
        switch (phase_) {
        case Phase::Start:
            if (const Span* s = layout_.spans.get(tree.root); at_root && s && s->lead != NO_SPAN) {
                arena(s->lead, s->begin, Last::Gap);
                // A text with no form may end in a comment, which a form given to it follows.
                if (tree.implicit_root && s->lead < s->begin &&
                    ends_in_line_comment(layout_.slice(s->lead, s->begin), layout_.syntax, true))
                    break_due_ = true;
            }
            phase_ = Phase::Enter;
            break;
        case Phase::Enter:
            enter(cursor_.at);
            break;
        case Phase::Leave: {
            leave(cursor_.at);
            bool more = cursor_.next(tree.slab, [&](NodeId list) {
                close(list);
                leave(list);
            });
            if (more) {
                phase_ = Phase::Enter;
                break;
            }
            if (const Span* s = layout_.spans.get(tree.root); at_root && s && s->trail != NO_SPAN)
                arena(s->end, s->trail, Last::Gap);
            phase_ = Phase::Done;
            break;
        }
        case Phase::Done:
            return true;
        }
    }
}

void KeptWalk::enter(NodeId id) {
    const Tree& tree = *tree_;
    const Node& n = tree.node(id);
    // What comes next lies beyond this node's text when that is copied whole: fetch it now.
    if (n.next_sibling != NO_NODE) {
        prefetch(&tree.slab.raw(n.next_sibling));
        if (n.next_sibling < layout_.spans.size())
            prefetch(&layout_.spans[n.next_sibling]);
    }
    if (!frames_.empty()) {
        if (frames_.back().fresh)
            count_break(frames_.back(), n);
        // A child unchanged since it was read, with the text around it: one piece.
        const Span* s = layout_.spans.get(id);
        if (s != nullptr && s->trail - s->lead <= CHUNK &&
            (n.is_atom() ? layout_.slice(s->begin, s->end) == n.text.view() : n.edits() == 0)) {
            Frame& f = frames_.back();
            f.copy_from = s->lead;
            f.copy_to = s->begin;
            bool trailing = s->trail > s->end;
            piece(layout_.slice(s->lead, s->trail), s->lead,
                  trailing ? Last::Gap : n.is_atom() ? Last::Atom : Last::Close);
            if (n.is_atom())
                last_atom_ = id;
            if (trailing && ends_in_line_comment(layout_.slice(s->end, s->trail), layout_.syntax))
                break_due_ = true;
            trailed_ = true;
            phase_ = Phase::Leave;
            return;
        }
        leading(frames_.back(), id, n);
    }
    const bool implicit = id == tree.root && tree.implicit_root;
    const Span* s = implicit ? nullptr : layout_.spans.get(id);
    phase_ = Phase::Leave;
    if (n.is_atom()) {
        std::string_view text = n.text.view();
        if (s && s->end - s->begin == text.size() && layout_.slice(s->begin, s->end) == text)
            piece(text, s->begin, Last::Atom);
        else
            piece(text, NO_SPAN, Last::Atom);
        last_atom_ = id;
        return;
    }
    if (implicit && n.first_child == NO_NODE)
        return; // a text with no form, and no form added
    if (s && !(n.edits() & Node::EDITED_SHAPE)) {
        // Its text as read, with the new texts of the atoms given one, in pieces when long.
        rest_from_ = s->begin;
        rest_to_ = s->end;
        replacing_ = n.edits() & Node::EDITED_VALUES;
        copy_rest();
        return;
    }
    // Made in its place, field by field: a record built elsewhere and copied in whole stalls.
    const bool fresh = s == nullptr;
    std::size_t depth = 0, base = 0;
    if (fresh) {
        piece("(", NO_SPAN, Last::Open);
        if (!frames_.empty() && frames_.back().fresh) {
            depth = frames_.back().depth + 1;
            base = frames_.back().base;
        } else {
            // A new region starts on this line and is indented from its indentation.
            base = bases_.size();
            bases_.push_back(line_indent());
        }
    } else {
        arena(s->begin, s->begin + 1, Last::Open);
        arena(s->begin + 1, n.opening_end(), Last::Gap);
        if (n.opening_end() > s->begin + 1 &&
            ends_in_line_comment(layout_.slice(s->begin + 1, n.opening_end()), layout_.syntax))
            break_due_ = true;
    }
    Frame& f = frames_.emplace_back();
    f.list = id;
    f.fresh = fresh;
    f.depth = depth;
    f.base = base;
    if (n.first_child != NO_NODE) {
        cursor_.down(n.first_child);
        phase_ = Phase::Enter;
    } else {
        close(id);
    }
}

void KeptWalk::copy_rest() {
    std::uint32_t to = std::min(rest_to_, rest_from_ + CHUNK);
    NodeId atom = NO_NODE;
    if (replacing_) {
        // The next atom with a new text, if it comes before `to`; leftovers of removed nodes
        // are passed over.
        const auto& values = layout_.values;
        for (auto it = values.lower_bound(rest_from_); it != values.end() && it->first < to;
             ++it) {
            NodeId id = it->second;
            const Span* s = id < tree_->slab.slot_count() && tree_->slab.raw(id).is_atom()
                                ? layout_.spans.get(id)
                                : nullptr;
            if (s != nullptr && s->begin == it->first && s->end <= rest_to_) {
                atom = id;
                to = s->begin;
                break;
            }
        }
    }
    std::uint32_t from = rest_from_;
    rest_from_ = to;
    if (from < to) {
        std::string_view text = layout_.slice(from, to);
        char last = text.back();
        piece(text, from, last == ')' ? Last::Close : last == '(' ? Last::Open : Last::Gap);
    }
    if (atom != NO_NODE) {
        piece(tree_->node(atom).text.view(), NO_SPAN, Last::Atom);
        last_atom_ = atom;
        rest_from_ = layout_.spans[atom].end;
    }
}

void KeptWalk::leave(NodeId id) {
    if (std::exchange(trailed_, false) || cursor_.depth == 0)
        return; // written with it; or the node written itself, whose surroundings are not its own
    const Span* s = layout_.spans.get(id);
    if (s == nullptr || s->trail <= s->end)
        return;
    arena(s->end, s->trail, Last::Gap);
    if (ends_in_line_comment(layout_.slice(s->end, s->trail), layout_.syntax))
        break_due_ = true;
}

void KeptWalk::close(NodeId list) {
    if (frames_.empty())
        return;
    Frame f = frames_.back();
    frames_.pop_back();
    if (f.fresh) {
        piece(")", NO_SPAN, Last::Close);
        if (f.depth == 0 && f.base + 1 == bases_.size())
            bases_.pop_back();
        return;
    }
    const Span& s = layout_.spans[f.list];
    (void)list;
    arena(tree_->slab.raw(f.list).closing_begin(), s.end - 1, Last::Gap);
    arena(s.end - 1, s.end, Last::Close);
}

void KeptWalk::leading(Frame& f, NodeId id, const Node& n) {
    if (const Span* s = layout_.spans.get(id)) {
        arena(s->lead, s->begin, Last::Gap);
        f.copy_from = s->lead;
        f.copy_to = s->begin;
        return;
    }
    if (f.fresh) {
        separate_fresh(f, n);
        return;
    }
    if (n.prev_sibling == NO_NODE)
        return; // first in its list: nothing before it
    // The last line break of the leading text of the last sibling with layout, and the
    // indentation after it: a new node goes on a line of its own where that sibling did, else
    // after a space. What follows the indentation (a block comment, or the end of one the line
    // break is in) is the sibling's own.
    if (f.copy_from != NO_SPAN && !comment_at_line_start(n)) {
        std::string_view text = layout_.slice(f.copy_from, f.copy_to);
        std::size_t lf = text.rfind('\n');
        if (lf != std::string_view::npos) {
            std::size_t to = lf + 1;
            while (to < text.size() && blank(text[to]))
                ++to;
            if (lf > 0 && text[lf - 1] == '\r')
                --lf;
            arena(f.copy_from + static_cast<std::uint32_t>(lf),
                  f.copy_from + static_cast<std::uint32_t>(to), Last::Gap);
            return;
        }
    }
    piece(" ", NO_SPAN, Last::Gap);
}

const TextFacts& KeptWalk::facts() const {
    return layout_.facts(layout_.spans.get(tree_->root));
}

// An atom that starts with '#' at the start of a line would read as a comment in a syntax
// that has such lines: a new one stays on the line before, after a space.
bool KeptWalk::comment_at_line_start(const Node& n) const {
    return n.is_atom() && hash_lines(layout_.syntax) && n.text.view().substr(0, 1) == "#";
}

// Where the indented writer would break lines: from the first list on. A child with layout
// counts as the others do, though it brings its own leading text.
void KeptWalk::count_break(Frame& f, const Node& n) const {
    f.broke = f.broke || n.is_list() ||
              (n.prev_sibling != NO_NODE && tree_->node(n.prev_sibling).is_list());
}

void KeptWalk::separate_fresh(const Frame& f, const Node& n) {
    if (f.broke && facts().has_unit && !comment_at_line_start(n))
        newline(f.depth + 1, f.base);
    else if (n.prev_sibling != NO_NODE)
        piece(" ", NO_SPAN, Last::Gap);
}

void KeptWalk::newline(std::size_t depth, std::size_t base) {
    const TextFacts& text = facts();
    pad_.assign(text.newline);
    pad_ += bases_[base];
    for (std::size_t i = 0; i < depth; ++i)
        pad_ += text.unit;
    piece(pad_, NO_SPAN, Last::Gap);
}

void KeptWalk::arena(std::uint32_t from, std::uint32_t to, Last kind) {
    if (from < to)
        piece(layout_.slice(from, to), from, kind);
}

bool KeptWalk::joins(std::string_view next) const {
    char c = next[0];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(' || c == ')')
        return false;
    std::string_view atom = tree_->node(last_atom_).text.view();
    std::string both(atom);
    both.append(next.substr(0, 2));
    std::size_t size;
    return first_token(both, layout_.syntax, size) != TokenKind::Atom || size != atom.size();
}

void KeptWalk::piece(std::string_view text, std::uint32_t from, Last kind) {
    if (text.empty())
        return;
    const bool adjacent = from != NO_SPAN && from == last_end_;
    if (!adjacent && last_ != Last::Nothing) {
        if (break_due_ && !starts_line(text)) {
            // Nothing may follow a line comment on its line: the file's own line break, and
            // the comment line's indentation.
            std::string indent = line_indent();
            put(facts().newline);
            put(indent);
            last_ = Last::Gap;
        } else if (last_ == Last::Atom && joins(text)) {
            put(" ");
        } else if (last_ == Last::Open) {
            std::string both = "(";
            both.append(text.substr(0, 2));
            std::size_t size;
            if (first_token(both, layout_.syntax, size) != TokenKind::Open)
                put(" ");
        }
    }
    break_due_ = false;
    put(text);
    last_ = kind;
    last_end_ = from == NO_SPAN ? NO_SPAN : from + static_cast<std::uint32_t>(text.size());
}

void KeptWalk::put(std::string_view text) {
    TextOutput& out = *out_;
    if (static_cast<std::size_t>(out.end - out.cur) < text.size() + 16)
        out.grow(text.size());
    std::memcpy(out.cur, text.data(), text.size());
    out.cur += text.size();
    out.high |= high_bits(text);
    written_ += text.size();
}

std::string KeptWalk::line_indent() const {
    // The line's start is in what the output holds, or came before it was last emptied.
    std::string_view text = out_->written();
    const char* nl = last_line_feed(text);
    std::string indent = nl != nullptr ? std::string() : carried_;
    if (nl == nullptr && !carried_open_)
        return indent;
    std::size_t from = nl != nullptr ? static_cast<std::size_t>(nl - text.data()) + 1 : 0;
    std::size_t to = from;
    while (to < text.size() && blank(text[to]))
        ++to;
    return indent.append(text.substr(from, to - from));
}

} // namespace sexp
