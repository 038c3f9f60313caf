add_library(sexp_warnings INTERFACE)
target_compile_options(sexp_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
    -Wcast-align -Wundef -Wimplicit-fallthrough -Wnon-virtual-dtor)
if(SEXP_WERROR)
    target_compile_options(sexp_warnings INTERFACE -Werror)
endif()
