# Project-wide compiler policy: warnings on everywhere, sanitizers on request.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                    -Wcast-align -Wunused -Woverloaded-virtual
                    -Wformat=2 -Wimplicit-fallthrough)
if(QUOR_WERROR)
  add_compile_options(-Werror)
endif()
if(QUOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every library target of the project: repository-root includes ("signer/model/certificate.h").
function(quor_library name)
  add_library(${name} ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
