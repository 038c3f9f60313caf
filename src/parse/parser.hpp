#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree.hpp"
#include "parse/tokenizer.hpp"

namespace sexp {

enum class ParseErrorKind : std::uint8_t {
    UnclosedParen,
    StrayCloseParen,
    MultipleTopLevel,
    InvalidUtf8, // found by the caller's validation, before the parser runs
    UnterminatedString,
    UnterminatedComment,
};

// The fixed message of each error kind.
const char* parse_error_message(ParseErrorKind kind) noexcept;

// Either a tree or the reason there is none.
struct ParseResult {
    std::optional<Tree> tree;
    ParseErrorKind error = ParseErrorKind::UnclosedParen; // meaningful only without a tree
};

// The largest text the parser accepts: its node count stays below NO_NODE.
inline constexpr std::size_t MAX_PARSE_INPUT = 0xFFFFFFFFu;

// Parses valid UTF-8 text (at most MAX_PARSE_INPUT bytes) in one forward pass without
// recursion. Nodes are numbered in document order from 0; a text with no form gives an
// implicit-root tree. May throw std::bad_alloc; then nothing is leaked.
ParseResult parse(std::string_view text, Syntax syntax = Syntax::Plain);

// The same, keeping the layout: the tree holds `source` and remembers where each node and the
// text around it lie in it; the text before and after the form belongs to the root.
ParseResult parse_keeping_layout(std::shared_ptr<const TextHold> source, Syntax syntax);

// What a parse that keeps the layout carries from one token to the next. Offsets are those of
// the layout's text; the tokenizer's offset `o` is the layout's `o + shift`.
struct LayoutCapture {
    SpanArray* spans = nullptr;
    // While the parse loop runs: the spans, the next one to write, and the end of the room.
    Span* base = nullptr;
    Span* next = nullptr;
    Span* limit = nullptr;
    const char* origin = nullptr; // the layout's text, as far as it is at hand
    std::size_t shift = 0;
    std::uint32_t last_end = 0; // where the last token ended
    TokenKind last = TokenKind::End; // its kind; End before the first
    // Comments the tokenizer had skipped at the last token; COMMENTED_BEFORE when an earlier
    // tokenizer skipped one since, which no count of a new tokenizer matches.
    std::size_t comments = 0;
    static constexpr std::size_t COMMENTED_BEFORE = std::size_t(-1);
};

// The lists still open, innermost last. Most texts nest a few levels deep, so the first
// levels live inline and a parse makes no allocation for them.
class OpenLists {
  public:
    bool empty() const noexcept { return size_ == 0; }
    NodeId back() const noexcept { return at(size_ - 1); }
    SEXP_INLINE void push(NodeId id) {
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
    void clear() noexcept {
        size_ = 0;
        spill_.clear();
    }

  private:
    static constexpr std::size_t INLINE = 64;
    NodeId at(std::size_t i) const noexcept { return i < INLINE ? inline_[i] : spill_[i - INLINE]; }
    std::size_t size_ = 0;
    NodeId inline_[INLINE];
    std::vector<NodeId> spill_;
};

// Reads a text that holds any number of top-level forms, one form at a time, each into a tree
// of its own. The text is either given whole (read in place) or arrives in pieces, any of
// which may end inside a token, a comment or a UTF-8 sequence: the reader keeps the unfinished
// part and reads it as if whole. Memory holds the form being read and the unread bytes.
//
// Errors come in text order: the forms before an error are returned, then the error. UTF-8 is
// checked as bytes arrive; an invalid sequence is an error where it stands.
class FormReader {
  public:
    enum class Status : std::uint8_t {
        Form,      // take_form() gives it
        NeedBytes, // append() more, or finish()
        Done,      // no form is left
        Error,     // error() says which; the reader is done
    };

    // With `keep_layout`, each form keeps the layout of its text (see parse_keeping_layout):
    // the text since the form before is its own, and the last form's the text after it too.
    explicit FormReader(Syntax syntax, bool keep_layout = false) noexcept
        : syntax_(syntax), layout_(keep_layout) {}

    // Reads `text` in place: the caller keeps it alive and unchanged while reading. `validated`
    // says it is known to be UTF-8. Keeping the layout, the forms share `hold`, which holds
    // `text`, when given, rather than each taking a copy of its own text.
    void read_text(std::string_view text, bool validated,
                   std::shared_ptr<const TextHold> hold = nullptr) noexcept;
    // Adds the next bytes of the text (copied). May throw std::bad_alloc, changing nothing.
    void append(const char* data, std::size_t n);
    // Says no byte follows.
    void finish() noexcept;
    // Says how many bytes the whole text probably holds (a file's size), so that a big form
    // gets its room at once. Only a hint.
    void expect(std::size_t bytes) noexcept { expected_ = bytes; }

    // Reads on. May throw std::bad_alloc; the reader is then done.
    Status next();
    Tree take_form() noexcept { return std::move(form_); }
    ParseErrorKind error() const noexcept { return error_; }
    // Where the form last returned starts and ends, as offsets into the whole text.
    std::size_t form_begin() const noexcept { return form_begin_; }
    std::size_t form_end() const noexcept { return form_end_; }

    // Bytes at hand that the reader has not read yet.
    std::size_t unread() const noexcept { return size_ - pos_; }

    // What the reader holds besides the form being built: its buffer's size.
    std::size_t buffered() const noexcept { return buf_.capacity(); }

  private:
    template <Syntax S> Status step();
    // Reads on past a form just read, to tell whether another one follows.
    template <Syntax S> Status peek();
    Status fail(ParseErrorKind kind) noexcept;
    // Moves reading on by `n` bytes at hand.
    void advance(std::size_t n) noexcept;

    Syntax syntax_;
    bool layout_;
    // The text: buf_, or a caller's text. Bytes [0, valid_) are checked UTF-8; the first byte
    // of data_ is the byte `base_` of the whole text.
    std::vector<char> buf_;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t valid_ = 0;
    std::size_t base_ = 0;
    bool bad_utf8_ = false; // the byte at valid_ is not UTF-8
    bool eof_ = false;
    bool done_ = false;
    // Where reading goes on: at `pos_`, or by `resume_`, which counts from `pos_`.
    std::size_t pos_ = 0;
    bool line_start_ = true; // only spaces and tabs since the last line feed before pos_
    std::size_t expected_ = 0;
    bool pending_ = false;
    Resume resume_;
    // The form being built.
    Tree form_;
    OpenLists open_;
    bool building_ = false;
    std::size_t forms_ = 0;     // forms returned so far
    std::size_t last_size_ = 0; // nodes of the last one
    std::size_t top_begin_ = 0; // where the form being built starts, in the whole text
    std::size_t form_begin_ = 0;
    std::size_t form_end_ = 0;
    // Keeping the layout: where the text of the form being read starts (the end of the form
    // before), what it carries between tokens, and the look past a form read (`peek_at_`
    // counts from pos_) that tells whether the form is the last.
    std::size_t form_lead_ = 0;
    std::shared_ptr<const TextHold> shared_; // the whole text, which the forms share
    LayoutCapture cap_;
    bool holding_ = false;
    bool peek_pending_ = false;
    std::size_t peek_at_ = 0;
    Resume peek_resume_;
    ParseErrorKind error_ = ParseErrorKind::UnclosedParen;
};

} // namespace sexp
