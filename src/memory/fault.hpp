#pragma once

namespace sexp {

// Ends the process at once with `message` on stderr. Reached only when an invariant the
// callers guarantee has been broken, so there is nothing sane left to unwind.
[[noreturn]] void internal_fault(const char* message) noexcept;

} // namespace sexp
