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

if(QUOR_BUILD_FUZZERS)
  # Every library is instrumented for coverage-guided fuzzing and checked by the sanitizers; only
  # the fuzz targets themselves link libFuzzer's main.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUOR_BUILD_FUZZERS needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every library target of the project: repository-root includes ("signer/model/certificate.h").
function(quor_library name)
  add_library(${name} ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
