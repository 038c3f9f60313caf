#include "memory/pages.hpp"

#include <new>

#include "memory/hints.hpp"

#if defined(_WIN32)
#define SEXP_PAGES_WINDOWS 1
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#define SEXP_PAGES_POSIX 1
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(SEXP_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace sexp {

namespace {

// Arrays from this size on are mapped directly. Below it the saving is small and the rounding
// to whole huge pages would cost more memory than it saves time.
constexpr std::size_t MAP_THRESHOLD = std::size_t{4} << 20;

bool is_mapped(std::size_t bytes) noexcept {
    return bytes >= MAP_THRESHOLD;
}

std::size_t round_up(std::size_t n, std::size_t unit) noexcept {
    return (n + unit - 1) / unit * unit;
}

// Gives the pages of a block past its first `used` bytes back to the system. Returns how many
// bytes from the start stay writable without reclaim_tail: all `bytes` where given-back pages
// come back on the next touch, else `used` rounded up to whole pages.
std::size_t release_tail(void* p, std::size_t bytes, std::size_t used) noexcept;

// Makes the whole block writable again after release_tail returned `writable`. Throws
// std::bad_alloc, changing nothing, when the system refuses the pages.
void reclaim_tail(void* p, std::size_t bytes, std::size_t writable);

} // namespace

void BlockTail::release(void* p, std::size_t bytes, std::size_t used) noexcept {
    writable_ = release_tail(p, bytes, used);
}

void BlockTail::reclaim(void* p, std::size_t bytes) {
    reclaim_tail(p, bytes, writable_);
    writable_ = ALL;
}

// ---- POSIX: mmap, with huge pages where the system offers them ------------------------------
#if defined(SEXP_PAGES_POSIX)

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Whole huge pages, so that the last one is not shared with anything else.
std::size_t mapped_size(std::size_t bytes) noexcept {
    return round_up(bytes, HUGE_PAGE);
}

std::size_t page_size() noexcept {
    static const std::size_t size = [] {
        long n = sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
    }();
    return size;
}

} // namespace

void* allocate_slots(std::size_t bytes) {
    if (!is_mapped(bytes))
        return ::operator new(bytes);
    void* p = mmap(nullptr, mapped_size(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, mapped_size(bytes), MADV_HUGEPAGE); // advice only: failure changes nothing
#endif
#if defined(SEXP_ASAN)
    // Slots hold the only pointers to long atom texts: the leak checker must scan them.
    __lsan_register_root_region(p, mapped_size(bytes));
#endif
    return p;
}

void release_slots(void* p, std::size_t bytes) noexcept {
    if (p == nullptr)
        return;
    if (is_mapped(bytes)) {
#if defined(SEXP_ASAN)
        __lsan_unregister_root_region(p, mapped_size(bytes));
#endif
        munmap(p, mapped_size(bytes));
    } else {
        ::operator delete(p);
    }
}

namespace {

std::size_t release_tail(void* p, std::size_t bytes, std::size_t used) noexcept {
    if (p != nullptr && is_mapped(bytes)) {
        // A huge page is split, so a tree wastes at most one small page.
        std::size_t from = round_up(used, page_size());
        std::size_t to = mapped_size(bytes);
        if (from < to)
            madvise(static_cast<char*>(p) + from, to - from, MADV_DONTNEED); // advice: may fail
    }
    return bytes; // the pages read as zero and come back on the next touch
}

void reclaim_tail(void*, std::size_t, std::size_t) {}

} // namespace

// ---- Windows: reserved and committed address space, the tail decommitted -------------------
#elif defined(SEXP_PAGES_WINDOWS)

namespace {

constexpr std::size_t PAGE = 4096;

} // namespace

void* allocate_slots(std::size_t bytes) {
    if (!is_mapped(bytes))
        return ::operator new(bytes);
    void* p = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void release_slots(void* p, std::size_t bytes) noexcept {
    if (p == nullptr)
        return;
    if (is_mapped(bytes))
        VirtualFree(p, 0, MEM_RELEASE);
    else
        ::operator delete(p);
}

namespace {

std::size_t release_tail(void* p, std::size_t bytes, std::size_t used) noexcept {
    if (p == nullptr || !is_mapped(bytes))
        return bytes;
    std::size_t from = round_up(used, PAGE);
    std::size_t to = round_up(bytes, PAGE);
    if (from >= to)
        return bytes;
    // Decommitted pages give back their commit charge too, but fault when touched, so the
    // caller must reclaim them before writing there.
    if (!VirtualFree(static_cast<char*>(p) + from, to - from, MEM_DECOMMIT))
        return bytes;
    return from;
}

void reclaim_tail(void* p, std::size_t bytes, std::size_t writable) {
    if (p == nullptr || writable >= bytes)
        return;
    std::size_t from = round_up(writable, PAGE);
    std::size_t to = round_up(bytes, PAGE);
    if (from < to &&
        VirtualAlloc(static_cast<char*>(p) + from, to - from, MEM_COMMIT, PAGE_READWRITE) ==
            nullptr)
        throw std::bad_alloc();
}

} // namespace

// ---- anywhere else: the free store ----------------------------------------------------------
#else

void* allocate_slots(std::size_t bytes) {
    return ::operator new(bytes);
}

void release_slots(void* p, std::size_t) noexcept {
    ::operator delete(p);
}

namespace {

std::size_t release_tail(void*, std::size_t bytes, std::size_t) noexcept {
    return bytes;
}

void reclaim_tail(void*, std::size_t, std::size_t) {}

} // namespace

#endif

} // namespace sexp
