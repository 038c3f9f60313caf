#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "memory/hints.hpp"
#include "parse/scan.hpp"
#include "parse/syntax.hpp"

namespace sexp {

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// or stray continuation bytes.
bool is_valid_utf8(const char* data, std::size_t length) noexcept;

// How much of a text is valid UTF-8: `valid` bytes of whole sequences, then either the end,
// or (`truncated`) the start of a sequence that more bytes could complete, or invalid bytes.
struct Utf8Prefix {
    std::size_t valid;
    bool truncated;
};
Utf8Prefix utf8_prefix(const char* data, std::size_t length) noexcept;

enum class TokenKind : std::uint8_t {
    Open,
    Close,
    Atom,
    End,
    More, // the text given so far ends inside a token or a comment; see resume()
    UnterminatedString,
    UnterminatedComment,
};

struct Token {
    TokenKind kind;
    std::string_view text; // the atom's bytes inside the input, for Atom tokens
};

// Where to pick up after a More token, once the text goes on. Offsets count from the start of
// the tokenizer's text.
struct Resume {
    enum What : std::uint8_t { Gap, LineComment, BlockComment, Atom };
    What what = Gap;
    std::size_t keep = 0;      // the first byte still needed: the unfinished token's start
    std::size_t scan = 0;      // where reading goes on, counted from `keep`
    std::uint64_t depth = 0;   // open block comments
    unsigned char run = 0;     // the quote byte of the run being read, 0 outside runs
    bool escaped = false;      // the byte at `scan` is escaped
};

// Cuts valid UTF-8 text into tokens by the syntax S, a block at a time with the kernel K.
// Keeps only its position. When `final` is false more text may follow: a token or comment that
// reaches the end of the text then gives a More token instead of being cut short.
template <typename K, Syntax S> class BasicTokenizer {
    using L = Lexicon<S>;
    static constexpr const std::array<std::uint8_t, 256>& CLASS = BYTE_CLASS<S>;

  public:
    static constexpr Syntax SYNTAX = S;

    // `line_start` says whether the text starts a line (for syntaxes where that matters): only
    // spaces and tabs stand between its start and the last line feed before it, or the start
    // of the whole text.
    BasicTokenizer(const char* data, std::size_t length, bool final = true,
                   bool line_start = true) noexcept
        : begin_(reinterpret_cast<const unsigned char*>(data)), p_(begin_), end_(p_ + length),
          final_(final), line_start_(line_start) {}

    SEXP_INLINE Token next() noexcept {
        if constexpr (L::COMMENTS) {
            Token stop;
            if (!skip_gaps(stop))
                return stop;
        } else {
            skip_space();
        }
        if (p_ == end_)
            return final_ ? Token{TokenKind::End, {}} : more({Resume::Gap, offset(p_)});
        std::uint8_t cls = CLASS[*p_];
        if (cls == Open) {
            ++p_;
            return {TokenKind::Open, {}};
        }
        if (cls == Close) {
            ++p_;
            return {TokenKind::Close, {}};
        }
        const unsigned char* start = p_;
        if constexpr (L::RUNS) {
            if (cls == Quote)
                return atom(start, start + 1, *start, false);
        }
        // A comment starter here is one that the next byte did not confirm.
        return atom(start, start + 1, 0, false);
    }

    // Picks up after a More token. The text now starts at the saved `keep` and holds at least
    // what it held then.
    Token resume(const Resume& r) noexcept {
        const unsigned char* at = begin_ + r.scan;
        switch (r.what) {
        case Resume::Gap:
            break;
        case Resume::LineComment:
            if (Token stop; !skip_line(at, stop))
                return stop;
            break;
        case Resume::BlockComment:
            if constexpr (L::BLOCK_COMMENTS) {
                if (Token stop; !skip_block(at, r.depth, stop))
                    return stop;
            }
            break;
        case Resume::Atom:
            return atom(begin_, at, r.run, r.escaped);
        }
        return next();
    }

    // Valid after a More token.
    const Resume& resume_state() const noexcept { return resume_; }
    // The offset of the next unread byte.
    std::size_t position() const noexcept { return offset(p_); }
    // How many comments were skipped so far.
    std::size_t comments() const noexcept { return comments_; }

    // True when 16 bytes can be read from `p` without leaving the input.
    bool has_16(const char* p) const noexcept {
        return end_ - reinterpret_cast<const unsigned char*>(p) >= 16;
    }

  private:
    // 16 bytes to scan from `q`: the text itself, or its last few bytes copied into a block.
    struct Window {
        const unsigned char* bytes;
        unsigned n; // how many are text
        alignas(16) unsigned char copy[16];

        Window(const unsigned char* q, const unsigned char* end) noexcept {
            if (end - q >= 16) {
                bytes = q;
                n = 16;
            } else {
                n = static_cast<unsigned>(end - q);
                std::memset(copy, ' ', sizeof copy);
                std::memcpy(copy, q, n);
                bytes = copy;
            }
        }
    };

    std::size_t offset(const unsigned char* q) const noexcept {
        return static_cast<std::size_t>(q - begin_);
    }
    Token more(Resume r) noexcept {
        resume_ = r;
        return {TokenKind::More, {}};
    }
    Token atom_token(const unsigned char* start, const unsigned char* end) noexcept {
        p_ = end;
        return {TokenKind::Atom,
                {reinterpret_cast<const char*>(start), static_cast<std::size_t>(end - start)}};
    }

    SEXP_INLINE void skip_space() noexcept {
        // Most gaps are one space; longer ones (indentation) go 16 bytes at a time.
        if (p_ == end_ || CLASS[*p_] != Space)
            return;
        if (++p_ == end_ || CLASS[*p_] != Space)
            return;
        while (end_ - p_ >= 16) {
            if (scan::Mask other = typename K::Block(p_).non_space(); other != 0) {
                p_ += scan::first<K>(other);
                return;
            }
            p_ += 16;
        }
        while (p_ < end_ && CLASS[*p_] == Space)
            ++p_;
    }

    // Whether a comment starts at `q` (a byte that may start one) and how long its starter is;
    // 0 when it does not, -1 when the byte after it is not there yet.
    int starter_at(const unsigned char* q) const noexcept {
        unsigned char c = *q;
        if (L::HASH_LINES && c == '#')
            return at_line_start(q) ? 1 : 0;
        unsigned char second = L::second_of(c);
        if (second != 0) {
            if (q + 1 == end_)
                return final_ ? 0 : -1;
            return q[1] == second ? 2 : 0;
        }
        return L::LINE_LENGTH == 1 && c == L::LINE[0] ? 1 : 0;
    }

    // Whether only spaces and tabs stand between the line's start and `q`.
    bool at_line_start(const unsigned char* q) const noexcept {
        while (q != begin_) {
            unsigned char c = *--q;
            if (c == '\n')
                return true;
            if (c != ' ' && c != '\t')
                return false;
        }
        return line_start_;
    }

    // Skips whitespace and comments. False, with `stop` set, where the text ends inside a block
    // comment, or (with more text to come) inside a comment or before a byte that decides one.
    // Most tokens follow no comment: that is decided here, the rest out of line.
    SEXP_INLINE bool skip_gaps(Token& stop) noexcept {
        skip_space();
        return !may_start_comment() || skip_comments(stop);
    }

    // False where p_ is at the end or at a byte that starts no comment; true where starter_at
    // has to decide.
    bool may_start_comment() const noexcept {
        if (p_ == end_)
            return false;
        unsigned char c = *p_;
        if (L::HASH_LINES && c == '#')
            return true;
        if (CLASS[c] != Comment && !(L::BLOCK_COMMENTS && c == L::BLOCK_OPEN[0]))
            return false;
        // A two-byte starter's second byte: wasm "(;" and ";;", lisp "#|".
        unsigned char second = L::second_of(c);
        return !(second != 0 && p_ + 1 != end_ && p_[1] != second);
    }

    // Skips comments from p_, and the gaps between them.
    bool skip_comments(Token& stop) noexcept {
        for (;;) {
            unsigned char c = *p_;
            int len = starter_at(p_);
            if (len == 0)
                return true;
            if (len < 0) {
                stop = more({Resume::Gap, offset(p_)});
                return false;
            }
            ++comments_;
            bool done;
            if constexpr (L::BLOCK_COMMENTS)
                done = c == L::BLOCK_OPEN[0] ? skip_block(p_ + len, 1, stop)
                                             : skip_line(p_ + len, stop);
            else
                done = skip_line(p_ + len, stop);
            if (!done)
                return false;
            skip_space();
            if (!may_start_comment())
                return true;
        }
    }

    // Skips a line comment from `q` to its line feed (left for skip_space) or the text's end.
    bool skip_line(const unsigned char* q, Token& stop) noexcept {
        for (;;) {
            Window w(q, end_);
            if (scan::Mask nl = typename K::Block(w.bytes).eq('\n') & scan::below<K>(w.n)) {
                p_ = q + scan::first<K>(nl);
                return true;
            }
            if (w.n < 16) {
                p_ = end_;
                if (final_)
                    return true;
                stop = more({Resume::LineComment, offset(end_)});
                return false;
            }
            q += 16;
        }
    }

    // Skips a block comment, `depth` deep, from `q`, the first byte after a starter: a closing
    // delimiter is looked for from there on, and a nested starter opens one more level.
    bool skip_block(const unsigned char* q, std::uint64_t depth, Token& stop) noexcept {
        for (;;) {
            Window w(q, end_);
            typename K::Block b(w.bytes);
            scan::Mask m = (b.eq(L::BLOCK_OPEN[0]) | b.eq(L::BLOCK_CLOSE[0])) & scan::below<K>(w.n);
            const unsigned char* moved = nullptr;
            for (; m != 0; m &= m - 1) {
                const unsigned char* at = q + scan::first<K>(m);
                if (at + 1 == end_) {
                    if (final_)
                        break;
                    stop = more({Resume::BlockComment, offset(at), 0, depth});
                    return false;
                }
                if (at[0] == L::BLOCK_CLOSE[0] && at[1] == L::BLOCK_CLOSE[1]) {
                    if (--depth == 0) {
                        p_ = at + 2;
                        return true;
                    }
                } else if (at[0] == L::BLOCK_OPEN[0] && at[1] == L::BLOCK_OPEN[1]) {
                    ++depth;
                } else {
                    continue;
                }
                moved = at + 2; // both bytes are used: look again from after them
                break;
            }
            if (moved != nullptr) {
                q = moved;
                continue;
            }
            if (w.n < 16) {
                p_ = end_;
                if (final_) {
                    stop = {TokenKind::UnterminatedComment, {}};
                    return false;
                }
                stop = more({Resume::BlockComment, offset(end_), 0, depth});
                return false;
            }
            q += 16;
        }
    }

    static bool ends_atom(std::uint8_t cls) noexcept {
        if constexpr (L::RUNS || L::COMMENTS)
            return cls == Space || cls == Open || cls == Close;
        else
            return cls != AtomByte;
    }

    // Bytes that may end an atom or start a run within one: every delimiter is at most ')'
    // (0x29), so one unsigned minimum and one compare find them with a few other bytes, which
    // the caller's class lookup tells apart; '"' and '#' are among those few.
    static scan::Mask candidates(const typename K::Block& b) noexcept {
        scan::Mask m = b.le(')');
        if constexpr (L::LINE_LENGTH != 0)
            m |= b.eq(L::LINE[0]);
        if constexpr (L::BAR_RUNS)
            m |= b.eq('|');
        return m;
    }

    // How far an atom is read: the byte after the last one read, and whether that is inside
    // a run (its quote byte) and escaped.
    struct AtomState {
        const unsigned char* at;
        unsigned char run;
        bool escaped;
    };
    enum class Found : std::uint8_t { Nothing, End, More };

    // Reads an atom on through the block at `q` == st.at (its bytes at `bytes`: the text, or
    // with TAIL a copy of its last n bytes). End: the atom ends at st.at. More: the byte after
    // st.at decides.
    template <bool TAIL>
    SEXP_INLINE Found atom_block(const unsigned char* q, const unsigned char* bytes, unsigned n,
                     AtomState& st) const noexcept {
        typename K::Block b(bytes);
        const scan::Mask valid = TAIL ? scan::below<K>(n) : ~scan::Mask{0};
        const scan::Mask events = candidates(b) & valid;
        unsigned pos = 0; // bytes before this are read (st.at is q)
        for (;;) {
            if constexpr (L::RUNS) {
                if (st.run != 0) {
                    scan::Mask close = b.eq(st.run) & valid & scan::from<K>(pos);
                    bool carry = false;
                    if constexpr (L::ESCAPES) {
                        scan::Mask backslash = b.eq('\\') & valid & scan::from<K>(pos);
                        if ((backslash | static_cast<scan::Mask>(st.escaped)) != 0) {
                            std::uint64_t esc =
                                scan::escaped_bytes(scan::to_bytes<K>(backslash), st.escaped);
                            close &= ~scan::from_bytes<K>(esc);
                            carry = (esc >> n) & 1;
                        }
                    }
                    if (close == 0) { // the run goes on past this block
                        st.at = q + n;
                        st.escaped = carry;
                        return Found::Nothing;
                    }
                    pos = scan::first<K>(close) + 1;
                    st.run = 0;
                    st.escaped = false;
                }
            }
            scan::Mask e = events & scan::from<K>(pos);
            for (; e != 0; e &= e - 1) {
                unsigned i = scan::first<K>(e);
                std::uint8_t cls = CLASS[bytes[i]];
                if (ends_atom(cls)) {
                    st.at = q + i;
                    return Found::End;
                }
                if constexpr (L::RUNS) {
                    if (cls == Quote) {
                        st.run = bytes[i];
                        pos = i + 1;
                        break;
                    }
                }
                if constexpr (L::COMMENTS) {
                    if (cls == Comment) {
                        int len = starter_at(q + i);
                        if (len != 0) {
                            st.at = q + i;
                            return len > 0 ? Found::End : Found::More;
                        }
                    }
                }
            }
            if (!L::RUNS || st.run == 0) {
                st.at = q + n;
                return Found::Nothing;
            }
        }
    }

    // The atom that starts at `start`, read on from `q`: inside the run whose quote byte is
    // `run` (0: outside runs), with the byte at `q` escaped when `escaped` is set.
    SEXP_INLINE Token atom(const unsigned char* start, const unsigned char* q, unsigned char run,
                           bool escaped) noexcept {
        AtomState st{q, run, escaped};
        for (; end_ - q >= 16; q += 16) {
            if (Found f = atom_block<false>(q, q, 16, st); f != Found::Nothing)
                return f == Found::End ? atom_token(start, st.at) : more_atom(start, st);
        }
        Window last(q, end_);
        if (Found f = atom_block<true>(q, last.bytes, last.n, st); f != Found::Nothing)
            return f == Found::End ? atom_token(start, st.at) : more_atom(start, st);
        if (!final_)
            return more_atom(start, st);
        if (st.run != 0) {
            p_ = end_;
            return {TokenKind::UnterminatedString, {}};
        }
        return atom_token(start, end_);
    }

    Token more_atom(const unsigned char* start, const AtomState& st) noexcept {
        return more({Resume::Atom, offset(start), static_cast<std::size_t>(st.at - start), 0,
                     st.run, st.escaped});
    }

    const unsigned char* begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    bool final_;
    bool line_start_;
    std::size_t comments_ = 0;
    Resume resume_;
};

template <Syntax S> using SyntaxTokenizer = BasicTokenizer<scan::Native, S>;
using Tokenizer = BasicTokenizer<scan::Native, Syntax::Plain>;
// The reference every kernel is checked against.
template <Syntax S> using PortableTokenizer = BasicTokenizer<scan::Portable, S>;

} // namespace sexp
