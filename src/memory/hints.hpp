#pragma once

// Compiler-specific hints and facts, each with a fallback that compiles anywhere. Nothing here
// changes what the code computes.

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

// Set when AddressSanitizer instruments the build (GCC and clang spell it differently).
#if defined(__SANITIZE_ADDRESS__)
#define SEXP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SEXP_ASAN 1
#endif
#endif

// Inlines a function into its callers whatever the compiler's size estimate: for the few
// scanning loops whose inlining decides parse speed.
#if defined(__GNUC__) || defined(__clang__)
#define SEXP_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define SEXP_INLINE __forceinline
#else
#define SEXP_INLINE inline
#endif

namespace sexp {

// Asks for the cache line holding `p` ahead of its use. Any address may be passed: it is not
// dereferenced.
inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#else
    (void)p;
#endif
}

} // namespace sexp
