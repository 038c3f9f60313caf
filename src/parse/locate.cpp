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
template <Syntax S> std::size_t open_quote(std::string_view text, std::size_t from) noexcept {
    SyntaxTokenizer<S> rest(text.data() + from, text.size() - from, false);
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
    // Line feeds a block at a time; the line starts after the last one before `offset`.
    std::size_t lines = 0, start = 0, i = 0;
    for (; offset - i >= 16; i += 16) {
        if (scan::Mask m = typename K::Block(p + i).eq('\n'); m != 0) {
            lines += static_cast<std::size_t>(std::popcount(m)) / K::STRIDE;
            start = i + static_cast<std::size_t>(63 - std::countl_zero(m)) / K::STRIDE + 1;
        }
    }
    for (; i < offset; ++i) {
        if (p[i] == '\n') {
            ++lines;
            start = i + 1;
        }
    }
    // Characters: every byte but the continuation bytes 0x80-0xBF, counted eight at a time.
    std::size_t chars = offset - start;
    i = start;
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
