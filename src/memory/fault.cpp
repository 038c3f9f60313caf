#include "memory/fault.hpp"

#include <cstdio>
#include <cstdlib>

namespace sexp {

void internal_fault(const char* message) noexcept {
    std::fputs("_sexp internal fault: ", stderr);
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

} // namespace sexp
