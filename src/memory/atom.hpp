#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "memory/fault.hpp"

namespace sexp {

// The one ASCII test: no byte of the word has its high bit set. Longer texts OR their words
// together first.
constexpr bool ascii_word(std::uint64_t w) noexcept { return (w & 0x8080808080808080ull) == 0; }

// 15, not 16: the 16th byte of the record is the tag that says what the record holds.
inline constexpr std::size_t INLINE_CAPACITY = 15;

// The text of an atom and, in its tag byte, the kind of the node that holds it.
//
// Layout (16 bytes): `bytes` holds the text itself when it is at most 15 bytes long (the tag is
// then its length, 0 to 15). A longer text lives in a heap buffer of exactly its length: `bytes`
// then holds the buffer pointer (bytes 0-7) and the length (bytes 8-14, 56 bits). The tag also
// marks list nodes and vacant slots, which carry no text, so a whole node record stays at 40.
//
// AtomText is trivially copyable on purpose: the slab owns heap buffers and releases them
// explicitly (`destroy`), which keeps node arrays movable with memcpy.
class AtomText {
  public:
    static constexpr std::uint8_t HEAP_TAG = 16;
    static constexpr std::uint8_t LIST_TAG = 17;
    static constexpr std::uint8_t VACANT_TAG = 18;

    // The two little-endian words of the inline record of a text of `length` (at most 15)
    // bytes from `data`: the text, zero padding, and the length in the top byte. `data` must
    // have 16 readable bytes: two word loads and masks instead of a variable-length copy.
    static void wide_words(const char* data, std::size_t length, std::uint64_t& lo,
                           std::uint64_t& hi) noexcept {
        std::memcpy(&lo, data, 8);
        std::memcpy(&hi, data + 8, 8);
        if (length < 8) {
            lo &= (std::uint64_t{1} << (8 * length)) - 1;
            hi = 0;
        } else {
            hi &= (std::uint64_t{1} << (8 * (length - 8))) - 1;
        }
        hi |= static_cast<std::uint64_t>(length) << 56;
    }
    // The same from loads that may overlap but never reach past the text.
    static void inline_words(const char* data, std::size_t length, std::uint64_t& lo,
                             std::uint64_t& hi) noexcept {
        lo = 0;
        hi = 0;
        if (length >= 8) {
            std::uint64_t tail;
            std::memcpy(&lo, data, 8);
            std::memcpy(&tail, data + length - 8, 8);
            hi = length == 8 ? 0 : tail >> (8 * (16 - length)); // bytes 8 .. length-1
        } else if (length >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, data, 4);
            std::memcpy(&tail, data + length - 4, 4);
            lo = head | std::uint64_t{tail} << (8 * (length - 4));
        } else if (length > 0) {
            auto byte = [&](std::size_t i) {
                return std::uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
            };
            lo = byte(0) | byte(length / 2) | byte(length - 1);
        }
        hi |= static_cast<std::uint64_t>(length) << 56;
    }

    // An inline text of `length` (at most 15) bytes from `data`, which must have 16 readable
    // bytes.
    static AtomText make_inline_wide(const char* data, std::size_t length) noexcept {
        AtomText t;
        std::uint64_t lo, hi;
        wide_words(data, length, lo, hi);
        t.set_words(lo, hi);
        return t;
    }

    // An inline text of `length` (at most 15) bytes from `data`, the rest zero. Assembled in
    // two words: no call, and nothing written byte by byte to be read back as a word.
    static AtomText make_inline(const char* data, std::size_t length) noexcept {
        AtomText t;
        t.set_inline(data, length);
        return t;
    }
    // The same, written over this record word by word: no copy of a whole record follows.
    void set_inline(const char* data, std::size_t length) noexcept {
        std::uint64_t lo, hi;
        inline_words(data, length, lo, hi);
        set_words(lo, hi);
    }

    // Inline up to 15 bytes, else an exact-size heap buffer. May throw std::bad_alloc; then
    // nothing was allocated.
    static AtomText make(std::string_view text);

    static AtomText list_marker() noexcept { return tagged(LIST_TAG); }
    // Makes this record the list marker, word by word, with `word0` as its first list word.
    void set_list_marker(std::uint32_t word0 = 0) noexcept {
        set_words(word0, std::uint64_t{LIST_TAG} << 56);
    }
    static AtomText vacant_marker() noexcept { return tagged(VACANT_TAG); }

    std::uint8_t tag() const noexcept { return tag_; }
    bool is_text() const noexcept { return tag_ <= HEAP_TAG; }
    bool is_inline() const noexcept { return tag_ <= INLINE_CAPACITY; }
    bool is_heap() const noexcept { return tag_ == HEAP_TAG; }

    // The text bytes. Only for records that hold text.
    std::string_view view() const noexcept {
        if (tag_ <= INLINE_CAPACITY)
            return {reinterpret_cast<const char*>(bytes_), tag_};
        if (tag_ != HEAP_TAG)
            internal_fault("inline text length above 15");
        return {heap_data(), heap_length()};
    }

    // An independent copy: inline by value, heap text into a new buffer. May throw
    // std::bad_alloc.
    AtomText copy() const;

    // A list's record holds no text: in a tree that keeps its layout, its bytes 0-7 hold two
    // offsets of the list's layout and byte 8 how the list was edited; all zero otherwise.
    std::uint32_t list_word(unsigned i) const noexcept {
        std::uint32_t v;
        std::memcpy(&v, bytes_ + 4 * i, 4);
        return v;
    }
    void set_list_word(unsigned i, std::uint32_t v) noexcept { std::memcpy(bytes_ + 4 * i, &v, 4); }
    std::uint8_t list_marks() const noexcept { return bytes_[8]; }
    void add_list_marks(std::uint8_t marks) noexcept { bytes_[8] |= marks; }

    // Releases a heap buffer; inline texts and markers own nothing.
    void destroy() noexcept {
        if (tag_ == HEAP_TAG)
            ::operator delete(heap_data());
    }

  private:
    // A record from its two little-endian words: its bytes, zero past the text, and in the top
    // byte its tag (an inline text's length, or a marker).
    void set_words(std::uint64_t lo, std::uint64_t hi) noexcept {
        // The whole object representation: 15 text bytes, then the tag.
        auto* raw = reinterpret_cast<unsigned char*>(this);
        std::memcpy(raw, &lo, 8);
        std::memcpy(raw + 8, &hi, 8);
    }
    static AtomText tagged(std::uint8_t tag) noexcept {
        AtomText t;
        std::memset(t.bytes_, 0, sizeof t.bytes_);
        t.tag_ = tag;
        return t;
    }
    char* heap_data() const noexcept {
        char* p;
        std::memcpy(&p, bytes_, sizeof p);
        return p;
    }
    std::size_t heap_length() const noexcept {
        std::uint64_t n = 0;
        std::memcpy(&n, bytes_ + 8, 7); // little-endian low 7 bytes
        return static_cast<std::size_t>(n);
    }

    unsigned char bytes_[INLINE_CAPACITY];
    std::uint8_t tag_;
};

static_assert(sizeof(AtomText) == 16 && std::is_trivially_copyable_v<AtomText> &&
              std::is_standard_layout_v<AtomText>);
static_assert(std::endian::native == std::endian::little, "text layout assumes little-endian");

} // namespace sexp
