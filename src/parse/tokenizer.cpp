#include "parse/tokenizer.hpp"

#include <cstring>

#include "memory/atom.hpp"

namespace sexp {

namespace {

inline bool is_cont(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// 16 bytes of ASCII, tested a word at a time.
inline bool ascii_16(const unsigned char* p) noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    return ascii_word(a | b);
}

} // namespace

Utf8Prefix utf8_prefix(const char* data, std::size_t length) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    // A sequence cut off by the end of the text is `truncated` as long as what is there can
    // still begin a valid one.
    auto cut = [&](bool starts_well) noexcept { return Utf8Prefix{i, starts_well}; };
    while (i < length) {
        // Most input is ASCII: skip 16 bytes at a time while no high bit is set.
        while (length - i >= 16 && ascii_16(s + i))
            i += 16;
        if (i >= length)
            break;
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t left = length - i;
        if (c < 0xC2) // continuation byte, or overlong two-byte lead
            return cut(false);
        if (c < 0xE0) {
            if (left < 2)
                return cut(true);
            if (!is_cont(s[i + 1]))
                return cut(false);
            i += 2;
        } else if (c < 0xF0) {
            unsigned char lo = c == 0xE0 ? 0xA0 : 0x80; // overlong
            unsigned char hi = c == 0xED ? 0x9F : 0xBF; // surrogates
            if (left >= 2 && (s[i + 1] < lo || s[i + 1] > hi))
                return cut(false);
            if (left < 3)
                return cut(true);
            if (!is_cont(s[i + 2]))
                return cut(false);
            i += 3;
        } else if (c < 0xF5) {
            unsigned char lo = c == 0xF0 ? 0x90 : 0x80; // overlong
            unsigned char hi = c == 0xF4 ? 0x8F : 0xBF; // above U+10FFFF
            if (left >= 2 && (s[i + 1] < lo || s[i + 1] > hi))
                return cut(false);
            if (left >= 3 && !is_cont(s[i + 2]))
                return cut(false);
            if (left < 4)
                return cut(true);
            if (!is_cont(s[i + 3]))
                return cut(false);
            i += 4;
        } else {
            return cut(false);
        }
    }
    return {length, false};
}

bool is_valid_utf8(const char* data, std::size_t length) noexcept {
    return utf8_prefix(data, length).valid == length;
}

} // namespace sexp
