#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "core/render.hpp"
#include "model.hpp"

namespace fuzz_model {

// A TextOutput whose blocks are heap arrays of exactly its capacity, so a write past the room
// it was promised is an overflow the address sanitizer reports. Small texts grow by exactly
// what is asked; big ones geometrically, to keep the fuzzer fast.
class TightOutput final : public sexp::TextOutput {
  public:
    explicit TightOutput(std::size_t first) { resize(first); }
    ~TightOutput() { delete[] data_; }
    TightOutput(const TightOutput&) = delete;
    TightOutput& operator=(const TightOutput&) = delete;

    void grow(std::size_t need) override {
        std::size_t want = used() + need + 16;
        std::size_t capacity = static_cast<std::size_t>(end - data_);
        resize(want < 4096 ? want : std::max(want, 2 * capacity));
    }
    std::string_view view() const { return {data_, used()}; }
    std::string_view written() const noexcept override { return view(); }

  private:
    std::size_t used() const { return static_cast<std::size_t>(cur - data_); }
    void resize(std::size_t capacity) {
        std::size_t n = data_ == nullptr ? 0 : used();
        char* fresh = new char[capacity];
        if (n > 0)
            std::memcpy(fresh, data_, n);
        delete[] data_;
        data_ = fresh;
        cur = fresh + n;
        end = fresh + capacity;
    }
    char* data_ = nullptr;
};

// The text the Python surface would build for the node, with its ASCII verdict checked.
inline std::string render_tight(const sexp::Tree& t, sexp::NodeId id, std::size_t first) {
    TightOutput out(first);
    sexp::render_to(t, id, out);
    std::string_view text = out.view();
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (out.is_ascii() != ascii)
        fail("render_to got the ASCII flag wrong", std::string(text));
    return std::string(text);
}

} // namespace fuzz_model
