#pragma once

// The fuzzers' inputs, read as a stream of choices: bytes, numbers below a bound, texts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz_model {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    std::size_t below(std::size_t n) { // n > 0
        std::size_t v = byte();
        if (n > 256)
            v |= std::size_t{byte()} << 8;
        return v % n;
    }
    std::string_view take(std::size_t n) {
        n = std::min(n, static_cast<std::size_t>(end_ - p_));
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    // Short texts (around the 15-byte inline limit) from the input, or a long run.
    std::string text() {
        std::uint8_t len = byte();
        if (len < 224)
            return std::string(take(len % 20));
        std::string s(std::size_t{len - 224u} * 13, static_cast<char>('a' + byte() % 26));
        for (std::size_t i = 0; i < s.size(); i += 7)
            s[i] = static_cast<char>(byte());
        return s;
    }

  private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

} // namespace fuzz_model
