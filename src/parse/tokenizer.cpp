#include "parse/tokenizer.hpp"

#include <cstring>

namespace sexp {

namespace {

inline bool is_cont(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

} // namespace

bool is_valid_utf8(const char* data, std::size_t length) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    constexpr std::uint64_t HIGH = 0x8080808080808080ull;
    while (i < length) {
        // Most input is ASCII: skip 16 bytes at a time while no high bit is set.
        while (length - i >= 16) {
            std::uint64_t a, b;
            std::memcpy(&a, s + i, 8);
            std::memcpy(&b, s + i + 8, 8);
            if ((a | b) & HIGH)
                break;
            i += 16;
        }
        if (i >= length)
            break;
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t left = length - i;
        if (c < 0xC2) // continuation byte, or overlong two-byte lead
            return false;
        if (c < 0xE0) {
            if (left < 2 || !is_cont(s[i + 1]))
                return false;
            i += 2;
        } else if (c < 0xF0) {
            if (left < 3)
                return false;
            unsigned char c1 = s[i + 1];
            unsigned char lo = c == 0xE0 ? 0xA0 : 0x80; // overlong
            unsigned char hi = c == 0xED ? 0x9F : 0xBF; // surrogates
            if (c1 < lo || c1 > hi || !is_cont(s[i + 2]))
                return false;
            i += 3;
        } else if (c < 0xF5) {
            if (left < 4)
                return false;
            unsigned char c1 = s[i + 1];
            unsigned char lo = c == 0xF0 ? 0x90 : 0x80; // overlong
            unsigned char hi = c == 0xF4 ? 0x8F : 0xBF; // above U+10FFFF
            if (c1 < lo || c1 > hi || !is_cont(s[i + 2]) || !is_cont(s[i + 3]))
                return false;
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace sexp
