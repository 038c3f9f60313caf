#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parse/scan.hpp"

namespace sexp {

// Byte classes. Only four whitespace bytes and the two parentheses are syntax; every other
// byte (control bytes, quotes, semicolons, all of 0x80-0xFF) is atom text.
enum ByteClass : std::uint8_t {
    AtomByte = 0,
    Space = 1, // tab, line feed, carriage return, space
    Open = 2,  // (
    Close = 3, // )
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() noexcept {
    std::array<std::uint8_t, 256> t{};
    t[0x09] = t[0x0A] = t[0x0D] = t[0x20] = Space;
    t[0x28] = Open;
    t[0x29] = Close;
    return t;
}

inline constexpr std::array<std::uint8_t, 256> BYTE_CLASS = make_byte_classes();

// Strict UTF-8 check: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// or stray continuation bytes. ASCII runs are skipped a block at a time.
bool is_valid_utf8(const char* data, std::size_t length) noexcept;
// The same check with ASCII runs skipped a word at a time, whatever the build's kernel.
bool is_valid_utf8_portable(const char* data, std::size_t length) noexcept;

enum class TokenKind : std::uint8_t { Open, Close, Atom, End };

struct Token {
    TokenKind kind;
    std::string_view text; // the atom's run inside the input, for Atom tokens
};

// Cuts valid UTF-8 text into tokens. Keeps only its position; never fails. Runs of atom bytes
// and of whitespace are scanned a block at a time by `Kernel`, where it has blocks and the
// input allows.
template <typename Kernel> class BasicTokenizer {
  public:
    BasicTokenizer(const char* data, std::size_t length) noexcept
        : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + length) {}

    Token next() noexcept {
        skip_space();
        if (p_ == end_)
            return {TokenKind::End, {}};
        std::uint8_t cls = BYTE_CLASS[*p_];
        if (cls == Open) {
            ++p_;
            return {TokenKind::Open, {}};
        }
        if (cls == Close) {
            ++p_;
            return {TokenKind::Close, {}};
        }
        const unsigned char* start = p_;
        p_ = atom_end(p_ + 1);
        return {TokenKind::Atom,
                {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start)}};
    }

    // True when 16 bytes can be read from `p` without leaving the input.
    bool has_16(const char* p) const noexcept {
        return end_ - reinterpret_cast<const unsigned char*>(p) >= 16;
    }

  private:
    void skip_space() noexcept {
        // Most gaps are one space; longer ones (indentation) go 16 bytes at a time.
        if (p_ == end_ || BYTE_CLASS[*p_] != Space)
            return;
        if (++p_ == end_ || BYTE_CLASS[*p_] != Space)
            return;
        if constexpr (Kernel::BLOCKS) {
            while (end_ - p_ >= 16) {
                if (std::uint64_t other = Kernel::non_space(p_); other != 0) {
                    p_ += Kernel::first(other);
                    return;
                }
                p_ += 16;
            }
        }
        while (p_ < end_ && BYTE_CLASS[*p_] == Space)
            ++p_;
    }

    const unsigned char* atom_end(const unsigned char* q) const noexcept {
        if constexpr (Kernel::BLOCKS) {
            while (end_ - q >= 16) {
                // Candidates are rarely not delimiters (a quotation mark, say), so this loop is
                // short.
                for (std::uint64_t m = Kernel::delimiter_candidates(q); m != 0; m &= m - 1) {
                    const unsigned char* at = q + Kernel::first(m);
                    if (BYTE_CLASS[*at] != AtomByte)
                        return at;
                }
                q += 16;
            }
        }
        while (q < end_ && BYTE_CLASS[*q] == AtomByte)
            ++q;
        return q;
    }

    const unsigned char* p_;
    const unsigned char* end_;
};

using Tokenizer = BasicTokenizer<scan::Native>;
// Byte at a time throughout: the reference every kernel is checked against.
using PortableTokenizer = BasicTokenizer<scan::Portable>;

} // namespace sexp
