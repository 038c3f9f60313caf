#include "memory/slab.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace sexp {

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

NodeId Slab::insert_slow(Node node) {
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
        if (slots_.size() < slots_.capacity())
            tail_.prepare(slots_.data(), slots_.capacity() * sizeof(Node),
                          (slots_.size() + 1) * sizeof(Node));
        else
            tail_.reset(); // the append moves the slots to fresh storage
        slots_.push_back(node);
    } catch (...) {
        node.text.destroy();
        throw;
    }
    return static_cast<NodeId>(slots_.size() - 1);
}

void Slab::reserve(std::size_t slot_count) {
    if (slot_count > slots_.capacity()) {
        slots_.reserve(slot_count);
        tail_.reset();
    }
}

void Slab::reserve_inserts(std::size_t count) {
    if (count <= free_.size())
        return;
    std::size_t need = slots_.size() + (count - free_.size());
    if (need > slots_.capacity())
        reserve(std::max(need, slots_.capacity() * 2));
}

void Slab::undo_insert(const Mark& m, std::size_t k, NodeId id) noexcept {
    Node& n = slots_[id];
    n.text.destroy();
    n.text = AtomText::vacant_marker();
    if (id >= m.slots)
        return; // appended: undo_to drops it
    // Inserts empty the free stack before they append, so the first nodes made are the ones
    // that came from it, popped from its top down. Its storage never shrinks, so growing it
    // back to its old size allocates nothing.
    if (free_.size() < m.free)
        free_.resize(m.free);
    free_[m.free - 1 - k] = id;
}

void Slab::undo_to(const Mark& m) noexcept {
    slots_.resize(m.slots);
    free_.resize(m.free);
}

void Slab::release_unused() noexcept {
    tail_.release(slots_.data(), slots_.capacity() * sizeof(Node), slots_.size() * sizeof(Node));
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
