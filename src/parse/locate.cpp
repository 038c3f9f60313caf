#include "parse/locate.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "parse/scan.hpp"

namespace sexp {

namespace {

// The opening quote of the quoted run that an unterminated atom ends in. The atom starts after
// the gap at `from`: told that more text may follow, a tokenizer stops in that atom and says
// where it starts. Outside runs the atom holds no delimiter, so its runs are read from there.
// Whether only spaces and tabs stand between the start of its line and `at`: a tokenizer that
// starts there must know, where a line starting with '#' is a comment.
bool starts_line(std::string_view text, std::size_t at) noexcept {
    while (at != 0) {
        char c = text[--at];
        if (c == '\n')
            return true;
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

template <Syntax S> std::size_t open_quote(std::string_view text, std::size_t from) noexcept {
    SyntaxTokenizer<S> rest(text.data() + from, text.size() - from, false,
                            starts_line(text, from));
    rest.next();
    std::size_t at = from + rest.resume_state().keep;
    const auto* d = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t quote = at;
    unsigned char run = 0;
    for (; at < text.size(); ++at) {
        unsigned char c = d[at];
        if (run == 0) {
            if (BYTE_CLASS<S>[c] == Quote) {
                run = c;
                quote = at;
            }
        } else if (Lexicon<S>::ESCAPES && c == '\\') {
            ++at;
        } else if (c == run) {
            run = 0;
        }
    }
    return quote;
}

// The start of the block comment that runs to the end of the text, reading the gap from `at`:
// whitespace and whole comments, as the tokenizer skips them.
template <Syntax S> std::size_t open_comment(std::string_view text, std::size_t at) noexcept {
    using L = Lexicon<S>;
    const auto* d = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    auto pair_at = [&](std::size_t i, const unsigned char(&two)[2]) {
        return i + 1 < n && d[i] == two[0] && d[i + 1] == two[1];
    };
    while (at < n) {
        if (BYTE_CLASS<S>[d[at]] == Space) {
            ++at;
        } else if (pair_at(at, L::BLOCK_OPEN)) {
            // A nested start opens one more level; an end is looked for from after the start.
            std::size_t start = at;
            at += 2;
            for (std::uint64_t depth = 1; depth != 0;) {
                if (at + 1 >= n)
                    return start;
                if (pair_at(at, L::BLOCK_CLOSE)) {
                    --depth;
                    at += 2;
                } else if (pair_at(at, L::BLOCK_OPEN)) {
                    ++depth;
                    at += 2;
                } else {
                    ++at;
                }
            }
        } else {
            while (at < n && d[at] != '\n') // a line comment; nothing else stands in a gap
                ++at;
        }
    }
    return n;
}

// How many of the `n` bytes at `p` are line feeds: a count per byte lane, summed every 255
// blocks, so no mask is counted bit by bit (the baseline x86-64 has no popcount instruction).
std::size_t count_line_feeds(const unsigned char* p, std::size_t n) noexcept {
    std::size_t count = 0, i = 0;
#if defined(SEXP_SCAN_SSE2)
    const __m128i nl = _mm_set1_epi8('\n');
    while (n - i >= 16) {
        const std::size_t stop = i + std::min<std::size_t>((n - i) / 16, 255) * 16;
        __m128i lanes = _mm_setzero_si128();
        for (; i < stop; i += 16) {
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(b, nl)); // a match is -1
        }
        __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#elif defined(SEXP_SCAN_NEON)
    const uint8x16_t nl = vdupq_n_u8('\n');
    while (n - i >= 16) {
        const std::size_t stop = i + std::min<std::size_t>((n - i) / 16, 255) * 16;
        uint8x16_t lanes = vdupq_n_u8(0);
        for (; i < stop; i += 16)
            lanes = vsubq_u8(lanes, vceqq_u8(vld1q_u8(p + i), nl)); // a match is 0xFF
        count += vaddlvq_u8(lanes);
    }
#else
    while (n - i >= 8) {
        const std::size_t stop = i + std::min<std::size_t>((n - i) / 8, 255) * 8;
        std::uint64_t lanes = 0;
        for (; i < stop; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            std::uint64_t x = w ^ (scan::ONES * '\n');
            lanes += ~(((x & scan::LOW_BITS) + scan::LOW_BITS) | x | scan::LOW_BITS) >> 7;
        }
        lanes = (lanes & 0x00FF00FF00FF00FFull) + ((lanes >> 8) & 0x00FF00FF00FF00FFull);
        count += static_cast<std::size_t>((lanes * 0x0001000100010001ull) >> 48);
    }
#endif
    for (; i < n; ++i)
        count += p[i] == '\n';
    return count;
}

template <Syntax S> std::optional<ErrorSite> locate_as(std::string_view text) {
    SyntaxTokenizer<S> tokens(text.data(), text.size());
    std::vector<std::size_t> open; // where each list still open starts, innermost last
    open.reserve(64);
    std::size_t forms = 0, second = 0;
    // The same decisions as the parse loop, in its order: some at once, the rest at the end.
    for (;;) {
        const std::size_t before = tokens.position();
        Token tok = tokens.next();
        switch (tok.kind) {
        case TokenKind::End:
        case TokenKind::More: // not given when the text is whole
            if (!open.empty())
                return ErrorSite{ParseErrorKind::UnclosedParen, open.back()};
            if (forms > 1)
                return ErrorSite{ParseErrorKind::MultipleTopLevel, second};
            return std::nullopt;
        case TokenKind::UnterminatedString:
            return ErrorSite{ParseErrorKind::UnterminatedString, open_quote<S>(text, before)};
        case TokenKind::UnterminatedComment:
            return ErrorSite{ParseErrorKind::UnterminatedComment, open_comment<S>(text, before)};
        case TokenKind::Close:
            if (open.empty())
                return ErrorSite{ParseErrorKind::StrayCloseParen, tokens.position() - 1};
            open.pop_back();
            break;
        case TokenKind::Open:
            if (open.empty() && ++forms == 2)
                second = tokens.position() - 1;
            open.push_back(tokens.position() - 1);
            break;
        case TokenKind::Atom:
            if (open.empty() && ++forms == 2)
                second = static_cast<std::size_t>(tok.text.data() - text.data());
            break;
        }
    }
}

} // namespace

std::optional<ErrorSite> locate_error(std::string_view text, Syntax syntax, bool validated) {
    if (!validated) {
        if (std::size_t valid = utf8_prefix(text.data(), text.size()).valid; valid < text.size())
            return ErrorSite{ParseErrorKind::InvalidUtf8, valid};
    }
    return with_syntax(syntax, [&](auto s) { return locate_as<s.value>(text); });
}

LineColumn line_column(std::string_view text, std::size_t offset) noexcept {
    using K = scan::Native;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    offset = std::min(offset, text.size());
    const std::size_t lines = count_line_feeds(p, offset);
    // The line starts after the last line feed before `offset`, looked for backwards.
    std::size_t start = offset;
    for (; start >= 16; start -= 16) {
        if (scan::Mask m = typename K::Block(p + start - 16).eq('\n'); m != 0) {
            start -= 16 - static_cast<std::size_t>(63 - std::countl_zero(m)) / K::STRIDE - 1;
            break;
        }
    }
    if (start < 16) {
        while (start > 0 && p[start - 1] != '\n')
            --start;
    }
    // Characters: every byte but the continuation bytes 0x80-0xBF, counted eight at a time.
    std::size_t chars = offset - start;
    std::size_t i = start;
    for (; offset - i >= 8; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        std::uint64_t x = (w & 0xC0C0C0C0C0C0C0C0ull) ^ scan::HIGH_BITS; // zero: continuation
        std::uint64_t zero = ~(((x & scan::LOW_BITS) + scan::LOW_BITS) | x | scan::LOW_BITS);
        chars -= static_cast<std::size_t>(std::popcount(zero));
    }
    for (; i < offset; ++i)
        chars -= (p[i] & 0xC0) == 0x80;
    return {lines + 1, chars + 1};
}

} // namespace sexp
