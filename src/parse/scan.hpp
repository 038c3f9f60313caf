#pragma once

// Byte-scanning kernels: the same work on one 16-byte block for each architecture, so that the
// tokenizer and the UTF-8 check are written once. A kernel is a struct of static functions;
// `Portable` has none and makes its users fall back to byte-at-a-time loops, which also finish
// every input's last partial block. `Native` is the kernel this build uses.
//
// Masks hold one bit per byte of the block, byte i at bit i * STRIDE, so the lowest set bit
// names the first byte found: `first(m)` is its index and `m & (m - 1)` drops it.

#include <bit>
#include <cstdint>

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

struct Portable {
    static constexpr bool BLOCKS = false;
    static constexpr const char* NAME = "portable";
};

#if defined(SEXP_SCAN_SSE2)

struct Sse2 {
    static constexpr bool BLOCKS = true;
    static constexpr const char* NAME = "sse2";
    static constexpr unsigned STRIDE = 1;

    static __m128i load(const unsigned char* p) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static std::uint64_t bits(__m128i m) noexcept {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(m));
    }
    static unsigned first(std::uint64_t m) noexcept {
        return static_cast<unsigned>(std::countr_zero(m));
    }

    // Bytes that are not whitespace (tab, line feed, carriage return, space).
    static std::uint64_t non_space(const unsigned char* p) noexcept {
        __m128i v = load(p);
        __m128i space = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                         _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                         _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
        return bits(space) ^ 0xFFFFu;
    }
    // Bytes that may end an atom: every delimiter is at most ')' (0x29), so one unsigned
    // minimum and one compare find the candidates; the caller confirms each.
    static std::uint64_t delimiter_candidates(const unsigned char* p) noexcept {
        __m128i v = load(p);
        return bits(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(')')), v));
    }
    static bool is_ascii(const unsigned char* p) noexcept { return bits(load(p)) == 0; }
};
using Native = Sse2;

#elif defined(SEXP_SCAN_NEON)

struct Neon {
    static constexpr bool BLOCKS = true;
    static constexpr const char* NAME = "neon";
    static constexpr unsigned STRIDE = 4;

    // NEON has no byte mask move: narrowing each 16-bit lane by 4 bits leaves a nibble per
    // byte, and keeping one bit of each gives the mask.
    static std::uint64_t bits(uint8x16_t m) noexcept {
        uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(m), 4);
        return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0) & 0x8888888888888888ull;
    }
    static unsigned first(std::uint64_t m) noexcept {
        return static_cast<unsigned>(std::countr_zero(m)) / STRIDE;
    }

    static std::uint64_t non_space(const unsigned char* p) noexcept {
        uint8x16_t v = vld1q_u8(p);
        uint8x16_t space = vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8(' ')),
                                             vceqq_u8(v, vdupq_n_u8('\n'))),
                                    vorrq_u8(vceqq_u8(v, vdupq_n_u8('\t')),
                                             vceqq_u8(v, vdupq_n_u8('\r'))));
        return bits(vmvnq_u8(space));
    }
    static std::uint64_t delimiter_candidates(const unsigned char* p) noexcept {
        return bits(vcleq_u8(vld1q_u8(p), vdupq_n_u8(')')));
    }
    static bool is_ascii(const unsigned char* p) noexcept { return vmaxvq_u8(vld1q_u8(p)) < 0x80; }
};
using Native = Neon;

#else

using Native = Portable;

#endif

} // namespace sexp::scan
