#include "parse/parser.hpp"

#include <vector>

#include "core/mutation.hpp"
#include "parse/tokenizer.hpp"

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

// The lists still open, innermost last. Most texts nest a few levels deep, so the first
// levels live in the parser's frame and a call makes no allocation for them.
class OpenLists {
  public:
    bool empty() const noexcept { return size_ == 0; }
    NodeId back() const noexcept { return at(size_ - 1); }
    void push(NodeId id) {
        if (size_ < INLINE) {
            inline_[size_] = id;
        } else {
            spill_.push_back(id);
        }
        ++size_;
    }
    void pop() noexcept {
        --size_;
        if (size_ >= INLINE)
            spill_.pop_back();
    }

  private:
    static constexpr std::size_t INLINE = 64;
    NodeId at(std::size_t i) const noexcept { return i < INLINE ? inline_[i] : spill_[i - INLINE]; }
    std::size_t size_ = 0;
    NodeId inline_[INLINE];
    std::vector<NodeId> spill_;
};

} // namespace

ParseResult parse(std::string_view text) {
    if (text.size() > MAX_PARSE_INPUT)
        internal_fault("parse input too large");
    if (text.empty())
        return implicit_root_tree();

    Tree tree;
    Slab& slab = tree.slab;
    // A node takes at least two bytes in most texts ("a " or "()"); three is a fair average
    // that spares regrowth for ordinary input.
    if (text.size() >= 3)
        slab.reserve(text.size() / 3);
    OpenLists open;
    NodeId parent = NO_NODE; // open.back(), kept at hand
    std::size_t top_count = 0; // forms at depth 0; only the first is kept
    NodeId first_top = NO_NODE;

    Tokenizer tokens(text.data(), text.size());
    NodeId next_id = 0; // the slab only grows at its end during a parse
    for (;;) {
        Token tok = tokens.next();
        NodeId id = next_id;
        switch (tok.kind) {
        case TokenKind::End:
            goto done;
        case TokenKind::Close:
            if (open.empty())
                return failure(ParseErrorKind::StrayCloseParen);
            open.pop();
            parent = open.empty() ? NO_NODE : open.back();
            continue;
        case TokenKind::Open:
            slab.push_plain(Node::list());
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
                slab.push_plain(Node::make(AtomText::make_inline(tok.text.data(), tok.text.size())));
            break;
        }
        ++next_id;
        if (parent == NO_NODE) {
            if (top_count++ == 0)
                first_top = id;
        } else {
            link_child(slab, parent, id);
        }
        if (tok.kind == TokenKind::Open) {
            open.push(id);
            parent = id;
        }
    }
done:
    if (!open.empty())
        return failure(ParseErrorKind::UnclosedParen);
    if (top_count == 0)
        return implicit_root_tree();
    if (top_count > 1)
        return failure(ParseErrorKind::MultipleTopLevel);
    tree.root = first_top;
    tree.in_text_order = true; // numbered in document order, as the text lists them
    slab.release_unused();
    ParseResult r;
    r.tree.emplace(std::move(tree));
    return r;
}

} // namespace sexp
