#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "parse/tokenizer.hpp"

namespace {

using sexp::Syntax;
constexpr Syntax SYNTAXES[] = {Syntax::Plain, Syntax::Kicad, Syntax::Smtlib, Syntax::Wasm,
                               Syntax::Lisp};

// Tokens as (kind, offset, length), so the two tokenizers must cut at the same bytes.
template <typename K, Syntax S> std::vector<std::uint64_t> tokens_of(const std::string& text) {
    std::vector<std::uint64_t> out;
    sexp::BasicTokenizer<K, S> tokens(text.data(), text.size());
    for (;;) {
        sexp::Token t = tokens.next();
        std::uint64_t offset = t.kind == sexp::TokenKind::Atom
                                   ? static_cast<std::uint64_t>(t.text.data() - text.data())
                                   : 0;
        out.push_back(static_cast<std::uint64_t>(t.kind) << 56 | offset << 24 | t.text.size());
        if (t.kind != sexp::TokenKind::Open && t.kind != sexp::TokenKind::Close &&
            t.kind != sexp::TokenKind::Atom)
            return out;
    }
}

void expect_same_scan(const std::string& text) {
    for (Syntax s : SYNTAXES) {
        sexp::with_syntax(s, [&](auto syntax) {
            constexpr Syntax S = decltype(syntax)::value;
            ASSERT_EQ((tokens_of<sexp::scan::Native, S>(text)),
                      (tokens_of<sexp::scan::Portable, S>(text)))
                << "syntax " << static_cast<int>(S) << ": " << testing::PrintToString(text);
        });
    }
}

TEST(Scan, KernelAgreesWithThePortableScan) {
    std::printf("scan kernel: %s\n", sexp::scan::Native::NAME);
    // Every byte value at every offset of the first blocks, inside an atom run, a quoted run,
    // a comment and a run of whitespace.
    for (int b = 0; b < 256; ++b) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string atom(48, 'a'), gap(48, ' '), quoted(48, 'q');
            atom[at] = gap[at] = quoted[at] = static_cast<char>(b);
            expect_same_scan(atom);
            expect_same_scan("(" + gap + ")");
            expect_same_scan("(\"" + quoted + "\" |" + quoted + "| ;" + quoted + "\n(;" + quoted +
                             ";) #|" + quoted + "|#)");
        }
    }
    // Random text over the bytes that matter, at lengths around the block size.
    std::mt19937 rng(7);
    const std::string alphabet = "ab()(( \t\r\n\"\"||\\\\;;#';\x7f\x80\xc3\xa9";
    for (int i = 0; i < 40000; ++i) {
        std::string text(rng() % 70, ' ');
        for (char& c : text)
            c = alphabet[rng() % alphabet.size()];
        expect_same_scan(text);
    }
}

TEST(Scan, EscapedBytesAreThoseAfterAnOddRunOfBackslashes) {
    for (std::uint64_t carry : {0u, 1u}) {
        for (std::uint64_t backslash = 0; backslash < (1u << 16); ++backslash) {
            std::uint64_t expected = 0;
            bool escaped = carry != 0;
            for (unsigned i = 0; i <= 16; ++i) {
                if (escaped)
                    expected |= std::uint64_t{1} << i;
                escaped = !escaped && i < 16 && (backslash >> i & 1);
            }
            ASSERT_EQ(sexp::scan::escaped_bytes(backslash, carry) & 0x1FFFF, expected)
                << backslash << " carry " << carry;
        }
    }
}

TEST(Scan, NibbleMasksPackAndSpread) {
    for (std::uint64_t b = 0; b < (1u << 16); ++b) {
        std::uint64_t spread = 0;
        for (unsigned i = 0; i < 16; ++i)
            spread |= (b >> i & 1) << (4 * i + 3);
        ASSERT_EQ(sexp::scan::spread_nibbles(b), spread);
        ASSERT_EQ(sexp::scan::pack_nibbles(spread), b);
    }
}

} // namespace
