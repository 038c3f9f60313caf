#pragma once

// Byte-scanning kernels: the same small set of questions about one 16-byte block, answered for
// each architecture, so that the tokenizer is written once. A kernel's `Block` loads 16 bytes
// and tells which of them equal a byte, are at most a byte, or are not whitespace, as a mask.
// `Portable` answers from two 64-bit words and runs anywhere; `Native` is the kernel this build
// uses.
//
// Masks hold one bit per byte of the block, byte i at bit i * STRIDE, so the lowest set bit
// names the first byte found: `first<K>(m)` is its index and `m & (m - 1)` drops it.

#include <bit>
#include <cstdint>
#include <cstring>

#ifndef SEXP_SIMD
#define SEXP_SIMD 1 // 0 forces the portable scan on any machine
#endif

#if SEXP_SIMD && (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define SEXP_SCAN_SSE2 1
#include <emmintrin.h>
#elif SEXP_SIMD && (defined(__aarch64__) || defined(_M_ARM64))
#define SEXP_SCAN_NEON 1
#include <arm_neon.h>
#endif

namespace sexp::scan {

using Mask = std::uint64_t;

inline constexpr std::uint64_t ONES = 0x0101010101010101ull;
inline constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;
inline constexpr std::uint64_t LOW_BITS = 0x7F7F7F7F7F7F7F7Full;

struct Portable {
    static constexpr const char* NAME = "portable";
    static constexpr unsigned STRIDE = 1;

    // Each test leaves the high bit of every matching byte of a word set and every other bit
    // clear; no carry crosses from one byte to the next, so every answer is exact.
    class Block {
      public:
        explicit Block(const unsigned char* p) noexcept { std::memcpy(w_, p, 16); }

        Mask eq(unsigned char c) const noexcept {
            return gather(zero_bytes(w_[0] ^ c * ONES), zero_bytes(w_[1] ^ c * ONES));
        }
        // Bytes at most `c`, which must be below 0x80.
        Mask le(unsigned char c) const noexcept {
            return gather(at_most(w_[0], c), at_most(w_[1], c));
        }
        Mask non_space() const noexcept {
            return gather(space(w_[0]), space(w_[1])) ^ 0xFFFFu;
        }

      private:
        static std::uint64_t zero_bytes(std::uint64_t x) noexcept {
            return ~(((x & LOW_BITS) + LOW_BITS) | x | LOW_BITS);
        }
        static std::uint64_t at_most(std::uint64_t x, unsigned char c) noexcept {
            return ~(((x & LOW_BITS) + (0x7Fu - c) * ONES) | x) & HIGH_BITS;
        }
        static std::uint64_t space(std::uint64_t x) noexcept {
            return zero_bytes(x ^ ' ' * ONES) | zero_bytes(x ^ '\n' * ONES) |
                   zero_bytes(x ^ '\t' * ONES) | zero_bytes(x ^ '\r' * ONES);
        }
        // The high bits of two words' bytes as one bit per byte (a multiply moves bit 8k + 7 to
        // bit 56 + k and nothing else there).
        static Mask gather(std::uint64_t lo, std::uint64_t hi) noexcept {
            constexpr std::uint64_t MAGIC = 0x0002040810204081ull;
            return ((lo & HIGH_BITS) * MAGIC) >> 56 | (((hi & HIGH_BITS) * MAGIC) >> 56) << 8;
        }
        std::uint64_t w_[2];
    };
};

#if defined(SEXP_SCAN_SSE2)

struct Sse2 {
    static constexpr const char* NAME = "sse2";
    static constexpr unsigned STRIDE = 1;

    class Block {
      public:
        explicit Block(const unsigned char* p) noexcept
            : v_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}

        Mask eq(unsigned char c) const noexcept {
            return bits(_mm_cmpeq_epi8(v_, _mm_set1_epi8(static_cast<char>(c))));
        }
        // Unsigned: one minimum and one compare.
        Mask le(unsigned char c) const noexcept {
            return bits(_mm_cmpeq_epi8(_mm_min_epu8(v_, _mm_set1_epi8(static_cast<char>(c))), v_));
        }
        Mask non_space() const noexcept {
            __m128i space = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v_, _mm_set1_epi8(' ')),
                             _mm_cmpeq_epi8(v_, _mm_set1_epi8('\n'))),
                _mm_or_si128(_mm_cmpeq_epi8(v_, _mm_set1_epi8('\t')),
                             _mm_cmpeq_epi8(v_, _mm_set1_epi8('\r'))));
            return bits(space) ^ 0xFFFFu;
        }

      private:
        static Mask bits(__m128i m) noexcept {
            return static_cast<std::uint32_t>(_mm_movemask_epi8(m));
        }
        __m128i v_;
    };
};
using Native = Sse2;

#elif defined(SEXP_SCAN_NEON)

struct Neon {
    static constexpr const char* NAME = "neon";
    static constexpr unsigned STRIDE = 4;

    class Block {
      public:
        explicit Block(const unsigned char* p) noexcept : v_(vld1q_u8(p)) {}

        Mask eq(unsigned char c) const noexcept { return bits(vceqq_u8(v_, vdupq_n_u8(c))); }
        Mask le(unsigned char c) const noexcept { return bits(vcleq_u8(v_, vdupq_n_u8(c))); }
        Mask non_space() const noexcept {
            uint8x16_t space = vorrq_u8(vorrq_u8(vceqq_u8(v_, vdupq_n_u8(' ')),
                                                 vceqq_u8(v_, vdupq_n_u8('\n'))),
                                        vorrq_u8(vceqq_u8(v_, vdupq_n_u8('\t')),
                                                 vceqq_u8(v_, vdupq_n_u8('\r'))));
            return bits(vmvnq_u8(space));
        }

      private:
        // NEON has no byte mask move: narrowing each 16-bit lane by 4 bits leaves a nibble per
        // byte, and keeping one bit of each gives the mask.
        static Mask bits(uint8x16_t m) noexcept {
            uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(m), 4);
            return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x8888888888888888ull;
        }
        uint8x16_t v_;
    };
};
using Native = Neon;

#else

using Native = Portable;

#endif

// ---- mask arithmetic shared by every kernel -----------------------------------------------

template <typename K> unsigned first(Mask m) noexcept {
    return static_cast<unsigned>(std::countr_zero(m)) / K::STRIDE;
}

// The bits of bytes i and later (i at most 16).
template <typename K> Mask from(unsigned i) noexcept {
    return i >= 16 ? 0 : ~Mask{0} << (i * K::STRIDE);
}

// The bits of the first n bytes (n at most 16).
template <typename K> Mask below(unsigned n) noexcept { return ~from<K>(n); }

// A stride-4 mask (bit 4i + 3 for byte i) as one bit per byte, and back.
constexpr std::uint64_t pack_nibbles(Mask m) noexcept {
    std::uint64_t x = m >> 3;
    x = (x | x >> 3) & 0x0303030303030303ull;
    x = (x | x >> 6) & 0x000F000F000F000Full;
    x = (x | x >> 12) & 0x000000FF000000FFull;
    return (x | x >> 24) & 0xFFFFu;
}
constexpr Mask spread_nibbles(std::uint64_t b) noexcept {
    std::uint64_t x = b & 0xFFFFu;
    x = (x | x << 24) & 0x000000FF000000FFull;
    x = (x | x << 12) & 0x000F000F000F000Full;
    x = (x | x << 6) & 0x0303030303030303ull;
    x = (x | x << 3) & 0x1111111111111111ull;
    return x << 3;
}

template <typename K> std::uint64_t to_bytes(Mask m) noexcept {
    if constexpr (K::STRIDE == 1)
        return m;
    else
        return pack_nibbles(m);
}
template <typename K> Mask from_bytes(std::uint64_t b) noexcept {
    if constexpr (K::STRIDE == 1)
        return b;
    else
        return spread_nibbles(b);
}

// The bytes escaped by a backslash, one bit per byte, for a block whose backslashes are
// `backslash` (bits 0-15) and whose first byte is escaped when `carry` is 1: in a run of
// backslashes each odd one escapes the byte after it, so only the parity of where a run starts
// matters. Adding the odd-starting runs to the backslashes flips those runs' parity at once,
// the way simdjson finds escaped quotes. Bit 16 of the result says whether the byte after the
// block is escaped.
constexpr std::uint64_t escaped_bytes(std::uint64_t backslash, std::uint64_t carry) noexcept {
    constexpr std::uint64_t EVEN = 0x5555555555555555ull;
    backslash &= ~carry; // an escaped backslash escapes nothing
    std::uint64_t follows = backslash << 1 | carry;
    std::uint64_t odd_starts = backslash & ~EVEN & ~follows;
    std::uint64_t even_runs = odd_starts + backslash; // carries through each odd-starting run
    return (EVEN ^ even_runs << 1) & follows;
}

} // namespace sexp::scan
