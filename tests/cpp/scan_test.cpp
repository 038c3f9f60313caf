#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "parse/tokenizer.hpp"

namespace {

// Tokens as (kind, offset, length), so the two tokenizers must cut at the same bytes.
template <typename T> std::vector<std::uint64_t> tokens_of(const std::string& text) {
    std::vector<std::uint64_t> out;
    T tokens(text.data(), text.size());
    for (;;) {
        sexp::Token t = tokens.next();
        std::uint64_t offset =
            t.kind == sexp::TokenKind::Atom ? static_cast<std::uint64_t>(t.text.data() - text.data()) : 0;
        out.push_back(static_cast<std::uint64_t>(t.kind) << 56 | offset << 24 | t.text.size());
        if (t.kind == sexp::TokenKind::End)
            return out;
    }
}

void expect_same_scan(const std::string& text) {
    ASSERT_EQ(tokens_of<sexp::Tokenizer>(text), tokens_of<sexp::PortableTokenizer>(text)) << text;
    ASSERT_EQ(sexp::is_valid_utf8(text.data(), text.size()),
              sexp::is_valid_utf8_portable(text.data(), text.size()))
        << text;
}

TEST(Scan, KernelAgreesWithThePortableScan) {
    std::printf("scan kernel: %s\n", sexp::scan::Native::NAME);
    // Every byte value at every offset of the first blocks, inside an atom run and inside a
    // run of whitespace, and as a lone valid or invalid UTF-8 sequence.
    for (int b = 0; b < 256; ++b) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string atom(48, 'a'), gap(48, ' ');
            atom[at] = gap[at] = static_cast<char>(b);
            expect_same_scan(atom);
            expect_same_scan("(" + gap + ")");
            expect_same_scan(std::string(at, 'x') + "\xC3\xA9" + std::string(at, ' ') +
                             static_cast<char>(b));
        }
    }
    // Random text over the bytes that matter, at lengths around the block size.
    std::mt19937 rng(7);
    const std::string alphabet = "ab()(( \t\r\n\"';\x7f\x80\xbf\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff";
    for (int i = 0; i < 20000; ++i) {
        std::string text(rng() % 70, ' ');
        for (char& c : text)
            c = alphabet[rng() % alphabet.size()];
        expect_same_scan(text);
    }
}

} // namespace
