# Compile options shared by every target of the project.
add_library(lx_options INTERFACE)
add_library(lx_warnings INTERFACE)
target_compile_options(lx_warnings INTERFACE -Wall -Wextra -Wno-missing-field-initializers)

if(LX_SANITIZE)
  target_compile_options(lx_options INTERFACE -fsanitize=address,undefined
                                              -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(lx_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

if(LX_FUZZ)
  target_compile_options(lx_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
