#include "parse/tokenizer.hpp"

#include <cstring>
#include <type_traits>

namespace sexp {

namespace {

inline bool is_cont(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Two words of 8 bytes: the portable stand-in for a kernel's 16-byte ASCII test.
struct WordAscii {
    static bool is_ascii(const unsigned char* p) noexcept {
        std::uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        return ((a | b) & 0x8080808080808080ull) == 0;
    }
};

template <typename Ascii> bool check_utf8(const char* data, std::size_t length) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < length) {
        // Most input is ASCII: skip 16 bytes at a time while no high bit is set.
        while (length - i >= 16 && Ascii::is_ascii(s + i))
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

} // namespace

bool is_valid_utf8(const char* data, std::size_t length) noexcept {
    using Ascii = std::conditional_t<scan::Native::BLOCKS, scan::Native, WordAscii>;
    return check_utf8<Ascii>(data, length);
}

bool is_valid_utf8_portable(const char* data, std::size_t length) noexcept {
    return check_utf8<WordAscii>(data, length);
}

} // namespace sexp
