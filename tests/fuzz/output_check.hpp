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
inline std::string render_tight(const sexp::Tree& t, sexp::NodeId id, std::size_t first,
                                sexp::Layout layout = {}) {
    TightOutput out(first);
    sexp::render_to(t, id, out, layout);
    std::string_view text = out.view();
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (out.is_ascii() != ascii)
        fail("render_to got the ASCII flag wrong", std::string(text));
    return std::string(text);
}

// The whole slab against the model: occupancy, the free stack, kinds, texts, parents and every
// child chain in order.
inline void compare_slots(const sexp::Tree& t, const Model& m) {
    if (t.slab.slot_count() != m.nodes.size() || t.slab.free_stack() != m.free)
        fail("slots or free stack differ from the model");
    for (sexp::NodeId id = 0; id < m.nodes.size(); ++id) {
        const MNode& r = m.nodes[id];
        if (!r.live)
            continue;
        const sexp::Node& n = t.node(id);
        if (n.is_list() != r.list || (!r.list && n.text.view() != r.text) || n.parent != r.parent ||
            n.child_count != r.kids.size())
            fail("node differs from the model", std::to_string(id));
        sexp::NodeId c = n.first_child;
        for (sexp::NodeId k : r.kids) {
            if (c != k)
                fail("child chain differs from the model", std::to_string(id));
            c = t.node(c).next_sibling;
        }
    }
}

} // namespace fuzz_model
