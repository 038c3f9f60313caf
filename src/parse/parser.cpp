#include "parse/parser.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/mutation.hpp"
#include "parse/gaps.hpp"

namespace sexp {

const char* parse_error_message(ParseErrorKind kind) noexcept {
    switch (kind) {
    case ParseErrorKind::UnclosedParen:
        return "unclosed parenthesis";
    case ParseErrorKind::StrayCloseParen:
        return "stray closing parenthesis";
    case ParseErrorKind::MultipleTopLevel:
        return "multiple top-level forms";
    case ParseErrorKind::InvalidUtf8:
        return "input is not valid UTF-8";
    case ParseErrorKind::UnterminatedString:
        return "unterminated string";
    case ParseErrorKind::UnterminatedComment:
        return "unterminated comment";
    }
    internal_fault("invalid parse error kind");
}

namespace {

ParseResult failure(ParseErrorKind kind) {
    ParseResult r;
    r.error = kind;
    return r;
}

ParseResult implicit_root_tree() {
    Tree t = make_empty_tree();
    t.implicit_root = true;
    ParseResult r;
    r.tree.emplace(std::move(t));
    return r;
}

// Why the parse loop stopped.
enum class Stop : std::uint8_t {
    End,   // the text ended
    Form,  // a top-level form is complete (when stopping at forms)
    More,  // the text given so far ends inside a token or comment
    Error, // `error` says which
};

// The forms met at depth 0; only the first one's id is kept.
struct TopForms {
    std::size_t count = 0;
    NodeId first = NO_NODE;
    std::size_t first_offset = 0; // where the first one starts in the tokenizer's text
};

// Where the text between the last token and the one at `begin` divides, when a comment stands
// in it: a same-line comment stays with the token before, whose text (by default ending
// where its token does) runs on to the division. `list` is the list the token at `begin`
// closes or goes into, `made` the node made last.
// Takes the capture by value, so that its address does not leave the parse loop.
inline std::uint32_t divide(LayoutCapture cap, Tree& tree, NodeId list, NodeId made,
                            std::uint32_t begin, Syntax syntax) noexcept {
    const std::uint32_t split =
        cap.last_end + static_cast<std::uint32_t>(split_gap(
                           {cap.origin + cap.last_end, begin - cap.last_end}, syntax));
    Slab& slab = tree.slab;
    if (cap.last == TokenKind::Open)
        slab.raw(list).text.set_list_word(0, split);
    else if (cap.last == TokenKind::Atom)
        cap.base[made].trail = split;
    else if (list != NO_NODE) // a second form is an error: nothing to divide
        cap.base[slab.raw(list).last_child].trail = split;
    return split;
}

// Records where the token just read lies, and divides the text between it and the token
// before among the nodes around (see core/layout.hpp): `id` is the node it makes (or, for a
// ')', the list it closes), `start` and `end` its place in the tokenizer's text, `parent` the
// list a node it makes goes into, `made` the node made last before it.
template <typename Tokens>
SEXP_INLINE void capture(LayoutCapture& cap, Tokens& tokens, Tree& tree, TokenKind kind,
                         NodeId id, std::size_t start, std::size_t end, NodeId parent,
                         NodeId made) {
    const auto begin = static_cast<std::uint32_t>(start + cap.shift);
    const auto stop = static_cast<std::uint32_t>(end + cap.shift);
    std::uint32_t split = cap.last_end;
    const bool closes = kind == TokenKind::Close;
    if constexpr (Lexicon<Tokens::SYNTAX>::COMMENTS) {
        // The text before a form is all its own; between tokens, a comment may divide it.
        if (tokens.comments() != cap.comments) [[unlikely]] {
            cap.comments = tokens.comments();
            if (cap.last != TokenKind::End)
                split = divide(cap, tree, closes ? id : parent, made, begin, Tokens::SYNTAX);
        }
    }
    if (closes) {
        // Written, not read: the list's record and span are far behind by now.
        tree.slab.raw(id).text.set_list_word(1, split);
        Span& span = cap.base[id];
        span.end = stop;
        span.trail = stop;
    } else {
        if (cap.next == cap.limit) [[unlikely]] {
            cap.spans->set_size(static_cast<std::size_t>(cap.next - cap.base));
            cap.spans->reserve(std::max<std::size_t>(64, 2 * cap.spans->capacity()));
            cap.base = cap.spans->data();
            cap.next = cap.base + cap.spans->size();
            cap.limit = cap.base + cap.spans->capacity();
        }
        *cap.next++ = Span{split, begin, stop, stop};
    }
    cap.last_end = stop;
    cap.last = kind;
}

// The parse loop shared by whole texts and form-by-form reading: builds nodes into `tree`
// from the tokens (`first`, when given, before them), with `open` holding the lists still
// open. With ONE_FORM it stops as soon as a form at depth 0 is complete. With LAYOUT it also
// records the layout through `cap`.
template <bool ONE_FORM, bool LAYOUT, typename Tokens>
SEXP_INLINE Stop build_loop(Tokens& tokens, const Token* first, Tree& tree, OpenLists& open,
                            TopForms& top, ParseErrorKind& error, LayoutCapture& cap) {
    Slab& slab = tree.slab;
    NodeId parent = open.empty() ? NO_NODE : open.back(); // kept at hand
    NodeId next_id = static_cast<NodeId>(slab.slot_count()); // the slab only grows at its end
    for (;;) {
        Token tok;
        if (first != nullptr) {
            tok = *first;
            first = nullptr;
        } else {
            tok = tokens.next();
        }
        NodeId id = next_id;
        switch (tok.kind) {
        case TokenKind::End:
            return Stop::End;
        case TokenKind::More:
            return Stop::More;
        case TokenKind::UnterminatedString:
            error = ParseErrorKind::UnterminatedString;
            return Stop::Error;
        case TokenKind::UnterminatedComment:
            error = ParseErrorKind::UnterminatedComment;
            return Stop::Error;
        case TokenKind::Close:
            if (open.empty()) {
                error = ParseErrorKind::StrayCloseParen;
                return Stop::Error;
            }
            if constexpr (LAYOUT)
                capture(cap, tokens, tree, TokenKind::Close, open.back(), tokens.position() - 1,
                        tokens.position(), parent, next_id - 1);
            open.pop();
            parent = open.empty() ? NO_NODE : open.back();
            if (ONE_FORM && parent == NO_NODE)
                return Stop::Form;
            continue;
        case TokenKind::Open:
            // With a layout, its opening text runs to the split after its '(' by default.
            slab.push_list(LAYOUT ? static_cast<std::uint32_t>(tokens.position() + cap.shift)
                                  : 0);
            break;
        case TokenKind::Atom:
            if (tok.text.size() > INLINE_CAPACITY) {
                AtomText long_text = AtomText::make(tok.text);
                try {
                    slab.push_plain(Node::make(long_text));
                } catch (...) {
                    long_text.destroy();
                    throw;
                }
            }
            else if (tokens.has_16(tok.text.data()))
                slab.push_plain(
                    Node::make(AtomText::make_inline_wide(tok.text.data(), tok.text.size())));
            else
                slab.push_plain(
                    Node::make(AtomText::make_inline(tok.text.data(), tok.text.size())));
            break;
        }
        if constexpr (LAYOUT) {
            std::size_t end = tokens.position();
            capture(cap, tokens, tree, tok.kind, id,
                    tok.kind == TokenKind::Atom ? end - tok.text.size() : end - 1, end, parent,
                    next_id - 1);
        }
        ++next_id;
        if (parent == NO_NODE) {
            if (top.count++ == 0) {
                top.first = id;
                if constexpr (ONE_FORM)
                    top.first_offset = tokens.position() -
                                       (tok.kind == TokenKind::Atom ? tok.text.size() : 1);
            }
            if (ONE_FORM && tok.kind == TokenKind::Atom)
                return Stop::Form;
        } else {
            link_child(slab, parent, id);
        }
        if (tok.kind == TokenKind::Open) {
            open.push(id);
            parent = id;
        }
    }
}

// Gives a tree the layout of `source`, in which a text with no form is all the root's.
void keep_no_form(Tree& tree, std::shared_ptr<const TextHold> source, Syntax syntax) {
    auto layout = std::make_unique<TreeLayout>();
    const auto size = static_cast<std::uint32_t>(source->text().size());
    layout->syntax = syntax;
    layout->source = std::move(source);
    layout->spans.grow_to(1);
    layout->spans[tree.root] = Span{0, size, size, size};
    tree.layout = std::move(layout);
}

template <bool ONE_FORM, bool LAYOUT, typename Tokens>
Stop build(Tokens& tokens, const Token* first, Tree& tree, OpenLists& open, TopForms& top,
           ParseErrorKind& error, LayoutCapture* cap = nullptr) {
    // A copy of the capture that no store to the tree can alias, kept in registers.
    LayoutCapture local;
    if constexpr (LAYOUT) {
        local = *cap;
        local.base = cap->spans->data();
        local.next = local.base + cap->spans->size();
        local.limit = local.base + cap->spans->capacity();
    }
    // Whatever leaves the loop (an exception too), the spans written count.
    struct Count {
        LayoutCapture* cap;
        const LayoutCapture& local;
        ~Count() {
            if (LAYOUT)
                cap->spans->set_size(static_cast<std::size_t>(local.next - local.base));
        }
    } count{cap, local};
    Stop stop = build_loop<ONE_FORM, LAYOUT>(tokens, first, tree, open, top, error, local);
    if constexpr (LAYOUT)
        *cap = local;
    return stop;
}

template <Syntax S, bool LAYOUT>
ParseResult parse_as(std::string_view text, std::shared_ptr<const TextHold> source) {
    Tree tree;
    // A node takes at least two bytes in most texts ("a " or "()"); three is a fair average
    // that spares regrowth for ordinary input.
    if (text.size() >= 3)
        tree.slab.reserve(text.size() / 3);
    LayoutCapture cap;
    if constexpr (LAYOUT) {
        tree.layout = std::make_unique<TreeLayout>();
        tree.layout->syntax = S;
        tree.layout->spans.reserve(tree.slab.slot_capacity());
        cap.spans = &tree.layout->spans;
        cap.origin = text.data();
    }
    OpenLists open;
    TopForms top;
    ParseErrorKind error{};
    SyntaxTokenizer<S> tokens(text.data(), text.size());
    if (build<false, LAYOUT>(tokens, nullptr, tree, open, top, error, &cap) == Stop::Error)
        return failure(error);
    if (!open.empty())
        return failure(ParseErrorKind::UnclosedParen);
    if (top.count > 1)
        return failure(ParseErrorKind::MultipleTopLevel);
    if (top.count == 0) {
        ParseResult r = implicit_root_tree();
        r.tree->syntax = S;
        if constexpr (LAYOUT)
            keep_no_form(*r.tree, std::move(source), S);
        return r;
    }
    tree.root = top.first;
    tree.syntax = S;
    tree.in_text_order = true; // numbered in document order, as the text lists them
    tree.slab.release_unused();
    if constexpr (LAYOUT) {
        // The text after the form is the root's too.
        tree.layout->spans[tree.root].trail = static_cast<std::uint32_t>(text.size());
        tree.layout->spans.release_unused();
        tree.layout->source = std::move(source);
    }
    ParseResult r;
    r.tree.emplace(std::move(tree));
    return r;
}

} // namespace

ParseResult parse(std::string_view text, Syntax syntax) {
    if (text.size() > MAX_PARSE_INPUT)
        internal_fault("parse input too large");
    if (text.empty()) {
        ParseResult r = implicit_root_tree();
        r.tree->syntax = syntax;
        return r;
    }
    return with_syntax(syntax, [&](auto s) { return parse_as<s.value, false>(text, nullptr); });
}

ParseResult parse_keeping_layout(std::shared_ptr<const TextHold> source, Syntax syntax) {
    std::string_view text = source->text();
    if (text.size() > MAX_PARSE_INPUT)
        internal_fault("parse input too large");
    if (text.empty()) {
        ParseResult r = implicit_root_tree();
        r.tree->syntax = syntax;
        keep_no_form(*r.tree, std::move(source), syntax);
        return r;
    }
    return with_syntax(syntax,
                       [&](auto s) { return parse_as<s.value, true>(text, std::move(source)); });
}

// ---- FormReader ------------------------------------------------------------------------------

void FormReader::read_text(std::string_view text, bool validated,
                           std::shared_ptr<const TextHold> hold) noexcept {
    shared_ = std::move(hold);
    data_ = text.data();
    size_ = text.size();
    eof_ = true;
    valid_ = validated ? size_ : utf8_prefix(data_, size_).valid;
    bad_utf8_ = valid_ < size_; // nothing follows to complete a cut sequence
}

void FormReader::append(const char* data, std::size_t n) {
    // Drop what is read; keep the unfinished token or sequence at the front, and where the
    // layout is kept, the text of the form being read.
    std::size_t drop = layout_ ? form_lead_ - base_ : pos_;
    std::size_t keep = size_ - drop;
    std::size_t need = keep + n;
    if (need > buf_.capacity()) {
        std::size_t room = std::max(need, buf_.capacity() + buf_.capacity() / 2);
        // A first form that outgrows its chunk keeping its text is likely the whole file:
        // room for the rest of the file at once, rather than a copy at every growth.
        if (layout_ && forms_ == 0 && expected_ > base_ + drop)
            room = std::max(room, expected_ - (base_ + drop));
        std::vector<char> fresh;
        fresh.reserve(room);
        fresh.assign(buf_.begin() + static_cast<std::ptrdiff_t>(drop), buf_.end());
        buf_.swap(fresh);
    } else if (drop > 0) {
        std::memmove(buf_.data(), buf_.data() + drop, keep);
        buf_.resize(keep);
    }
    buf_.insert(buf_.end(), data, data + n);
    base_ += drop;
    valid_ -= drop;
    pos_ -= drop;
    data_ = buf_.data();
    size_ = buf_.size();
    if (!bad_utf8_) {
        Utf8Prefix p = utf8_prefix(data_ + valid_, size_ - valid_);
        valid_ += p.valid;
        bad_utf8_ = valid_ < size_ && !p.truncated;
    }
}

void FormReader::finish() noexcept {
    eof_ = true;
    if (valid_ < size_)
        bad_utf8_ = true; // a sequence cut off by the end
}

void FormReader::advance(std::size_t n) noexcept {
    const char* from = data_ + pos_;
    for (const char* at = from + n; at != from;) {
        char c = *--at;
        if (c == '\n' || (c != ' ' && c != '\t')) {
            line_start_ = c == '\n';
            break;
        }
    }
    pos_ += n;
}

FormReader::Status FormReader::fail(ParseErrorKind kind) noexcept {
    error_ = kind;
    done_ = true;
    form_ = Tree();
    open_.clear();
    return Status::Error;
}

template <Syntax S> FormReader::Status FormReader::step() {
    // Only checked bytes are read; the text is complete when every byte is checked and valid
    // and nothing follows.
    const bool final = eof_ && !bad_utf8_ && valid_ == size_;
    BasicTokenizer<scan::Native, S> tokens(data_ + pos_, valid_ - pos_, final, line_start_);
    Token first = pending_ ? tokens.resume(resume_) : tokens.next();
    pending_ = false;
    // Room for the nodes the bytes at hand may hold (about one per three bytes, as in parse),
    // so that a big form is not copied at every doubling of its slab: for the first form, the
    // bytes the caller expects in all, up to a cap (a big array's unused slots are given back
    // at the end, but where the system cannot, the first form keeps them); for later ones, a
    // little more than the last one took, so small forms stay small.
    constexpr std::size_t FIRST_CAP = std::size_t{1} << 22;
    std::size_t at_hand = (valid_ - pos_) / 3;
    if (!building_) {
        form_ = Tree();
        open_.clear();
        building_ = true;
        if (layout_) {
            form_.layout = std::make_unique<TreeLayout>();
            form_.layout->syntax = S;
            cap_ = LayoutCapture{};
            cap_.spans = &form_.layout->spans;
            // A shared text is counted from its start; a form's own, from the form's.
            cap_.last_end = static_cast<std::uint32_t>(shared_ ? form_lead_ : 0);
        }
        std::size_t done = base_ + pos_;
        std::size_t expected = expected_ > done ? (expected_ - done) / 3 : 0;
        form_.slab.reserve(forms_ == 0 ? std::min(std::max(at_hand, expected), FIRST_CAP)
                                        : std::min(at_hand, last_size_ + last_size_ / 8 + 2));
    } else if (std::size_t want = form_.slab.slot_count() + at_hand;
               want > form_.slab.slot_capacity()) {
        std::size_t room = std::max(want, 2 * form_.slab.slot_capacity());
        std::size_t done = base_ + pos_;
        if (forms_ == 0 && expected_ > done) // told of the file's size only once it grew
            room = std::max(room, std::min(form_.slab.slot_count() + (expected_ - done) / 3,
                                           FIRST_CAP));
        form_.slab.reserve(room);
    }
    const bool started = form_.slab.slot_count() != 0; // a form's first node is its top
    TopForms top{started, started ? NodeId{0} : NO_NODE, 0};
    ParseErrorKind error{};
    Stop stop;
    if (layout_) {
        form_.layout->spans.reserve(form_.slab.slot_capacity());
        const std::size_t origin = shared_ ? 0 : form_lead_;
        cap_.origin = data_ + (origin - base_);
        cap_.shift = base_ + pos_ - origin;
        // A new tokenizer counts from 0; a comment the last one skipped since the last token
        // still divides the text before the next.
        if (cap_.comments != LayoutCapture::COMMENTED_BEFORE)
            cap_.comments = 0;
        stop = build<true, true>(tokens, &first, form_, open_, top, error, &cap_);
        if (stop == Stop::More && tokens.comments() != cap_.comments)
            cap_.comments = LayoutCapture::COMMENTED_BEFORE;
    } else {
        stop = build<true, false>(tokens, &first, form_, open_, top, error);
    }
    if (top.count > 0 && !started)
        top_begin_ = base_ + pos_ + top.first_offset;
    switch (stop) {
    case Stop::Form:
        advance(tokens.position());
        form_begin_ = top_begin_;
        form_end_ = base_ + pos_;
        building_ = false;
        ++forms_;
        last_size_ = form_.slab.slot_count();
        form_.root = 0;
        form_.syntax = S;
        form_.in_text_order = true; // numbered in document order, as parse numbers a text
        form_.slab.release_unused();
        if (layout_) {
            // Whether the form is the last one decides whether the text after it is its own.
            holding_ = true;
            peek_at_ = 0;
            peek_pending_ = false;
            return peek<S>();
        }
        return Status::Form;
    case Stop::More:
        resume_ = tokens.resume_state();
        advance(resume_.keep);
        resume_.keep = 0;
        pending_ = true;
        if (bad_utf8_)
            return fail(ParseErrorKind::InvalidUtf8);
        return Status::NeedBytes;
    case Stop::End:
        if (!open_.empty())
            return fail(ParseErrorKind::UnclosedParen);
        done_ = true;
        form_ = Tree();
        return Status::Done;
    case Stop::Error:
        break;
    }
    return fail(error);
}

template <Syntax S> FormReader::Status FormReader::peek() {
    const bool final = eof_ && !bad_utf8_ && valid_ == size_;
    std::size_t at = pos_ + peek_at_;
    bool line_start = line_start_;
    for (std::size_t i = at; i > pos_; --i) {
        char c = data_[i - 1];
        if (c == '\n' || (c != ' ' && c != '\t')) {
            line_start = c == '\n';
            break;
        }
    }
    BasicTokenizer<scan::Native, S> tokens(data_ + at, valid_ - at, final, line_start);
    Token t = peek_pending_ ? tokens.resume(peek_resume_) : tokens.next();
    if (t.kind == TokenKind::More && !bad_utf8_) {
        peek_resume_ = tokens.resume_state();
        peek_at_ += peek_resume_.keep;
        peek_resume_.keep = 0;
        peek_pending_ = true;
        return Status::NeedBytes;
    }
    // The last form keeps the rest of the text; another form, or an error to come, keeps it
    // for itself.
    holding_ = false;
    const std::size_t end = t.kind == TokenKind::End ? base_ + size_ : form_end_;
    Span& top = form_.layout->spans[0];
    if (shared_) {
        top.trail = static_cast<std::uint32_t>(end);
        form_.layout->source = shared_;
        form_.layout->spans.release_unused();
        form_lead_ = end;
        return Status::Form;
    }
    top.trail = static_cast<std::uint32_t>(end - form_lead_);
    const char* text = data_ + (form_lead_ - base_);
    std::size_t length = end - form_lead_;
    if (data_ == buf_.data() && form_lead_ == base_ && length == buf_.size() &&
        buf_.capacity() - length <= length / 4) {
        // The last form is all the buffer holds: the form takes the buffer along.
        form_.layout->source = std::make_shared<BufferText>(std::move(buf_));
        buf_.clear();
        data_ = nullptr;
        size_ = valid_ = pos_ = 0;
        base_ = end;
    } else {
        form_.layout->source = std::make_shared<OwnedText>(std::string(text, length));
    }
    form_.layout->spans.release_unused();
    form_lead_ = end; // what comes next starts after the text this form took
    return Status::Form;
}

FormReader::Status FormReader::next() {
    if (done_)
        return Status::Done;
    try {
        if (holding_)
            return with_syntax(syntax_, [&](auto s) { return peek<s.value>(); });
        return with_syntax(syntax_, [&](auto s) { return step<s.value>(); });
    } catch (...) {
        done_ = true;
        form_ = Tree();
        throw;
    }
}

} // namespace sexp
