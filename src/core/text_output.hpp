#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "memory/atom.hpp"
#include "memory/pages.hpp"

namespace sexp {

// Where rendered text goes: the writable window [cur, end), refilled by grow(). `high`
// collects the OR of every text byte written, so that one ASCII test of it tells whether the
// text is pure ASCII.
class TextOutput {
  public:
    char* cur = nullptr;
    char* end = nullptr;
    std::uint64_t high = 0;

    bool is_ascii() const noexcept { return ascii_word(high); }
    // Makes room for at least `need` more bytes after `cur`, plus 16 for block copies,
    // keeping what was written. May throw std::bad_alloc, keeping it too.
    virtual void grow(std::size_t need) = 0;
    // What was written since the output was last emptied.
    virtual std::string_view written() const noexcept = 0;

  protected:
    TextOutput() = default;
    ~TextOutput() = default;
};

// How text is laid out. Canonical: one line, children separated by one space. Broken: a list
// that holds a list puts its opening parenthesis and leading atoms on one line, then each
// child from its first list child on on a line of its own, `indent` once more per level; a
// list that holds no list stays on one line. Kept: a tree that keeps the layout of the text it
// was read from is written as that layout has it (see KeptWalk); others canonically.
struct Layout {
    bool broken = false;
    std::string_view indent;
    bool kept = false;
};


// A growable byte buffer that is never zero-filled, so rendering touches each byte once.
class RenderBuffer final : public TextOutput {
  public:
    RenderBuffer() = default;
    ~RenderBuffer() { release_slots(data_, capacity_); }
    RenderBuffer(const RenderBuffer&) = delete;
    RenderBuffer& operator=(const RenderBuffer&) = delete;

    void grow(std::size_t need) override;
    std::string_view view() const noexcept { return {data_, size()}; }
    std::string_view written() const noexcept override { return view(); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(cur - data_); }
    // Forgets what was written, keeping the storage.
    void clear() noexcept {
        cur = data_;
        high = 0;
    }

  private:
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
};

} // namespace sexp
