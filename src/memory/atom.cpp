#include "memory/atom.hpp"

#include <new>

namespace sexp {

AtomText AtomText::make(std::string_view text) {
    if (text.size() <= INLINE_CAPACITY)
        return make_inline(text.data(), text.size());
    static_assert(sizeof(char*) == 8, "heap text layout assumes 64-bit pointers");
    if (text.size() >= (std::uint64_t{1} << 56))
        throw std::bad_alloc();
    char* p = static_cast<char*>(::operator new(text.size()));
    std::memcpy(p, text.data(), text.size());
    AtomText t;
    std::memcpy(t.bytes_, &p, sizeof p);
    std::uint64_t n = text.size();
    std::memcpy(t.bytes_ + 8, &n, 7);
    t.tag_ = HEAP_TAG;
    return t;
}

AtomText AtomText::copy() const {
    if (tag_ != HEAP_TAG)
        return *this;
    return make(view());
}

} // namespace sexp
