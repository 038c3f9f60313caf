#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "memory/atom.hpp"
#include "py/shared.hpp"

namespace sexp::py {

// A str of a short text given as the two words of its inline record (text, zero padding, the
// length in the top byte), written from the words with stores of its exact size: no record
// in memory to copy from, whose reading back would wait on its stores.
inline PyObject* words_str(std::uint64_t lo, std::uint64_t hi) noexcept {
    const std::size_t n = static_cast<std::size_t>(hi >> 56);
    const std::uint64_t text_hi = hi & 0x00FFFFFFFFFFFFFFull;
    if (n < 2 || !ascii_word(lo | text_hi)) { // the interpreter's singletons; UTF-8 to decode
        char bytes[16];
        std::memcpy(bytes, &lo, 8);
        std::memcpy(bytes + 8, &hi, 8);
        return PyUnicode_FromStringAndSize(bytes, static_cast<Py_ssize_t>(n));
    }
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s == nullptr)
        return nullptr;
    char* d = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s));
    if (n >= 8) { // the first eight bytes, and the last eight
        std::uint64_t last = n == 8 ? lo : (lo >> (8 * (n - 8))) | (text_hi << (8 * (16 - n)));
        std::memcpy(d, &lo, 8);
        std::memcpy(d + n - 8, &last, 8);
    } else if (n >= 4) {
        auto first = static_cast<std::uint32_t>(lo);
        auto last = static_cast<std::uint32_t>(lo >> (8 * (n - 4)));
        std::memcpy(d, &first, 4);
        std::memcpy(d + n - 4, &last, 4);
    } else {
        d[0] = static_cast<char>(lo);
        d[1] = static_cast<char>(lo >> 8);
        d[n - 1] = static_cast<char>(lo >> (8 * (n - 1)));
    }
    return s;
}

// Short texts met again reuse the str made for them: heads, layer names and small numbers
// repeat all through real trees. A direct-mapped table keyed by the 16-byte inline record
// (text, zero padding, length byte); a miss replaces the slot's str. Its references are
// borrowed: every str it names sits in the data being built, which lives until the call ends.
// It starts small, since most calls convert a few nodes, and grows once misses show a large
// subtree.
class StrCache {
  public:
    StrCache() noexcept = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;

    // A new reference to a str of `text`, or nullptr with an exception set.
    PyObject* str(const AtomText& text) noexcept {
        if (!text.is_inline())
            return atom_str(text);
        std::uint64_t key[2];
        std::memcpy(key, &text, sizeof key);
        return str(key[0], key[1]);
    }
    // The same for a short text given as the two words of its inline record, kept in
    // registers: a record just written to memory and read back whole waits on the store.
    PyObject* str(std::uint64_t lo, std::uint64_t hi) noexcept {
        const std::uint64_t key[2] = {lo, hi};
        Slot& slot = slots_[index(key)];
        if (slot.str != nullptr && slot.key[0] == lo && slot.key[1] == hi)
            return Py_NewRef(slot.str);
        PyObject* made = words_str(lo, hi);
        if (made == nullptr)
            return nullptr;
        slot = {{lo, hi}, made};
        if (++misses_ == GROW_AFTER)
            grow();
        return made;
    }

  private:
    struct Slot {
        std::uint64_t key[2];
        PyObject* str;
    };
    static constexpr unsigned SMALL_BITS = 6, LARGE_BITS = 11;
    static constexpr std::size_t GROW_AFTER = std::size_t{4} << SMALL_BITS;

    std::size_t index(const std::uint64_t* key) const noexcept {
        std::uint64_t h = (key[0] * 0x9E3779B97F4A7C15u) ^ (key[1] * 0xC2B2AE3D27D4EB4Fu);
        return static_cast<std::size_t>((h ^ (h >> 29)) >> (64 - bits_));
    }

    // Moves to the large table; without memory for it, the small one goes on serving.
    void grow() noexcept {
        std::unique_ptr<Slot[]> large(new (std::nothrow) Slot[std::size_t{1} << LARGE_BITS]());
        if (!large)
            return;
        bits_ = LARGE_BITS;
        for (const Slot& old : small_)
            if (old.str != nullptr)
                large[index(old.key)] = old;
        large_ = std::move(large);
        slots_ = large_.get();
    }

    Slot small_[std::size_t{1} << SMALL_BITS] = {};
    std::unique_ptr<Slot[]> large_;
    Slot* slots_ = small_;
    unsigned bits_ = SMALL_BITS;
    std::size_t misses_ = 0;
};

} // namespace sexp::py
