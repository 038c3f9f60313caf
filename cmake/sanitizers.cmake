if(SEXP_SANITIZE)
    add_compile_options(-fsanitize=${SEXP_SANITIZE} -fno-omit-frame-pointer
                        -fno-sanitize-recover=all -O1)
    add_link_options(-fsanitize=${SEXP_SANITIZE})
endif()
