#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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
// or stray continuation bytes. ASCII runs are skipped a word at a time.
bool is_valid_utf8(const char* data, std::size_t length) noexcept;

enum class TokenKind : std::uint8_t { Open, Close, Atom, End };

struct Token {
    TokenKind kind;
    std::string_view text; // the atom's run inside the input, for Atom tokens
};

// Cuts valid UTF-8 text into tokens. Keeps only its position; never fails.
class Tokenizer {
  public:
    Tokenizer(const char* data, std::size_t length) noexcept
        : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + length) {}

    Token next() noexcept {
        while (p_ < end_ && BYTE_CLASS[*p_] == Space)
            ++p_;
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
        while (++p_ < end_ && BYTE_CLASS[*p_] == AtomByte) {
        }
        return {TokenKind::Atom,
                {reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start)}};
    }

  private:
    const unsigned char* p_;
    const unsigned char* end_;
};

} // namespace sexp
