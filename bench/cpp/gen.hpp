#pragma once

// Deterministic generators of benchmark input. bench/python/bench_surface.py carries a
// line-for-line copy of make_board_text, so both benchmarks measure the very same text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sexp::bench {

// splitmix64: tiny, and easy to reproduce exactly in Python.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) noexcept : s_(seed) {}
    std::uint64_t next() noexcept {
        s_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = s_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) noexcept { return next() % n; }

  private:
    std::uint64_t s_;
};

inline constexpr const char* HEADS[] = {
    "at",     "pad",   "layer",  "net",      "size",    "xy",    "pts",      "fp_line",
    "segment", "via",  "width",  "start",    "end",     "uuid",  "effects",  "font",
    "property", "drill", "layers", "fp_text", "footprint", "gr_line", "zone", "polygon",
    "arc",    "stroke", "type",  "justify",  "angle",   "offset", "thickness", "descr",
};
inline constexpr std::size_t HEAD_COUNT = sizeof HEADS / sizeof HEADS[0];
inline constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_.-+";
inline constexpr char HEX[] = "0123456789abcdef";

// One atom: 5% long identifiers (16-48 bytes, heap text), 45% numbers, else short symbols
// (1-12 bytes). Only letters, digits and ._-+ : safe in JSON, XML and every peer's grammar.
inline void put_atom(Rng& rng, std::string& out) {
    std::uint64_t kind = rng.below(100);
    if (kind < 5) {
        std::uint64_t n = 16 + rng.below(33);
        for (std::uint64_t i = 0; i < n; ++i)
            out.push_back(HEX[rng.below(16)]);
    } else if (kind < 50) {
        std::uint64_t r = rng.next();
        if (r & 1)
            out.push_back('-');
        out += std::to_string((r >> 1) % 1000);
        std::uint64_t frac = (r >> 12) % 5; // 0-4 decimals
        if (frac > 0) {
            out.push_back('.');
            std::uint64_t d = r >> 20;
            for (std::uint64_t i = 0; i < frac; ++i, d /= 10)
                out.push_back(static_cast<char>('0' + d % 10));
        }
    } else if (kind < 75) {
        out += HEADS[rng.below(HEAD_COUNT)];
    } else {
        std::uint64_t r = rng.next();
        std::uint64_t n = 1 + r % 12;
        r >>= 4;
        for (std::uint64_t i = 0; i < n; ++i, r >>= 5)
            out.push_back(LETTERS[r % 56]);
    }
}

// A board-file-like tree of exactly `nodes` nodes (nodes >= 1): a root list of records; each
// record is a list headed by a symbol, 2-8 children per list, a child is a list with
// probability 3/10 down to depth 6. Lists start on a new indented line, atoms after a space.
inline std::string make_board_text(std::size_t nodes, std::uint64_t seed = 42) {
    Rng rng(seed);
    std::string out = "(";
    std::size_t count = 1;
    std::vector<std::uint64_t> left{~0ull}; // children still to write, per open list
    bool head = false;                      // the next child heads a new list
    while (count < nodes) {
        std::size_t depth = left.size(); // of the child about to be written
        if (left.back() == 0) {
            out.push_back(')');
            left.pop_back();
            continue;
        }
        --left.back();
        bool list = depth == 1 || (!head && depth < 7 && rng.below(10) < 3);
        if (!head) {
            if (list) {
                out.push_back('\n');
                out.append(2 * depth, ' ');
            } else {
                out.push_back(' ');
            }
        }
        ++count;
        if (list) {
            out.push_back('(');
            left.push_back(2 + rng.below(7)); // 2-8 children, the head included
            head = true;
        } else {
            if (head)
                out += HEADS[rng.below(HEAD_COUNT)];
            else
                put_atom(rng, out);
            head = false;
        }
    }
    out.append(left.size(), ')');
    return out;
}

} // namespace sexp::bench
