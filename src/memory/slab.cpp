#include "memory/slab.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace sexp {

namespace {

// Arrays from this size on are mapped directly. Below it the saving is small and the rounding
// to whole huge pages would cost more memory than it saves time.
constexpr std::size_t MAP_THRESHOLD = std::size_t{4} << 20;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) noexcept {
    return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

} // namespace

void* allocate_slots(std::size_t bytes) {
    if (bytes < MAP_THRESHOLD)
        return ::operator new(bytes);
    void* p = mmap(nullptr, mapped_size(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, mapped_size(bytes), MADV_HUGEPAGE); // advice only: failure changes nothing
#endif
    return p;
}

void release_tail(void* p, std::size_t bytes, std::size_t used) noexcept {
    if (p == nullptr || bytes < MAP_THRESHOLD)
        return;
    constexpr std::size_t PAGE = 4096;
    std::size_t from = (used + PAGE - 1) & ~(PAGE - 1);
    std::size_t to = mapped_size(bytes);
    if (from < to)
        madvise(static_cast<char*>(p) + from, to - from, MADV_DONTNEED); // advice: may fail
}

void release_slots(void* p, std::size_t bytes) noexcept {
    if (p == nullptr)
        return;
    if (bytes < MAP_THRESHOLD)
        ::operator delete(p);
    else
        munmap(p, mapped_size(bytes));
}

Slab::Slab(Slab&& other) noexcept
    : slots_(std::move(other.slots_)), free_(std::move(other.free_)) {
    other.slots_.clear();
    other.free_.clear();
}

Slab& Slab::operator=(Slab&& other) noexcept {
    if (this != &other) {
        release_texts();
        slots_ = std::move(other.slots_);
        free_ = std::move(other.free_);
        other.slots_.clear();
        other.free_.clear();
    }
    return *this;
}

Slab::Slab(const Slab& other) : free_(other.free_) {
    slots_.reserve(other.slots_.size());
    // Node by node, so that `slots_` only ever holds texts it owns; a constructor that throws
    // runs no destructor, so a failed copy releases them here.
    try {
        for (const Node& n : other.slots_) {
            Node c = n;
            c.text = n.text.copy();
            slots_.push_back(c);
        }
    } catch (...) {
        release_texts();
        throw;
    }
}

NodeId Slab::insert(Node node) {
    if (!free_.empty()) {
        NodeId id = free_.back();
        free_.pop_back();
        slots_[id] = node;
        return id;
    }
    if (slots_.size() >= NO_NODE) {
        node.text.destroy();
        throw std::bad_alloc();
    }
    try {
        slots_.push_back(node);
    } catch (...) {
        node.text.destroy();
        throw;
    }
    return static_cast<NodeId>(slots_.size() - 1);
}

bool Slab::remove(NodeId id) {
    if (id >= slots_.size())
        internal_fault("node index out of range");
    Node& n = slots_[id];
    if (n.is_vacant())
        return false;
    reserve_free(1);
    n.text.destroy();
    n.text = AtomText::vacant_marker();
    free_.push_back(id);
    return true;
}

void Slab::reserve_free(std::size_t extra) {
    std::size_t need = free_.size() + extra;
    if (need > free_.capacity())
        free_.reserve(std::max(need, free_.capacity() * 2));
}

void Slab::release_texts() noexcept {
    for (Node& n : slots_)
        n.text.destroy();
}

} // namespace sexp
