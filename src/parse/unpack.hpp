#pragma once

#include <optional>
#include <string_view>

#include "core/tree.hpp"

namespace sexp {

// The tree that a packed form (core/pack.hpp) describes, numbered 0, 1, 2, ... in pre-order,
// generation 0; none when `bytes` are not one: another version or flag, a varint cut short or
// too long, a kind that does not exist, a child count or text length past the end, a text that
// is not valid UTF-8, an implicit root that is not a list, or bytes left over. May throw
// std::bad_alloc; then nothing is leaked.
std::optional<Tree> unpack(std::string_view bytes);

} // namespace sexp
