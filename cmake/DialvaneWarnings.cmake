# dialvane_warnings: the language level, warnings and sanitizers that every
# target of the project links.
add_library(dialvane_warnings INTERFACE)
target_compile_features(dialvane_warnings INTERFACE cxx_std_17)
target_compile_options(dialvane_warnings INTERFACE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor)
if(DIALVANE_WERROR)
  target_compile_options(dialvane_warnings INTERFACE -Werror)
endif()
if(DIALVANE_SANITIZE)
  set(_dialvane_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_compile_options(dialvane_warnings INTERFACE ${_dialvane_san})
  target_link_options(dialvane_warnings INTERFACE ${_dialvane_san})
endif()
if(DIALVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "DIALVANE_FUZZ needs clang (libFuzzer); tests/fuzz/run configures it")
  endif()
  # Coverage for libFuzzer on every target; only the fuzz executables link
  # libFuzzer's main.
  set(_dialvane_fuzz -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  target_compile_options(dialvane_warnings INTERFACE ${_dialvane_fuzz})
  target_link_options(dialvane_warnings INTERFACE -fsanitize=address,undefined)
endif()
set(CMAKE_CXX_EXTENSIONS OFF)
