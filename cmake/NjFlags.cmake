# Flag targets shared by every target of the project.

# Results must follow the stated order of floating-point operations bit for
# bit: no fused multiply-add contraction and no value-changing optimisations.
add_library(nj_numerics INTERFACE)
add_library(nj::numerics ALIAS nj_numerics)
target_compile_options(nj_numerics INTERFACE -ffp-contract=off -fno-fast-math)

add_library(nj_warnings INTERFACE)
add_library(nj::warnings ALIAS nj_warnings)
target_compile_options(nj_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 at -O3 reports impossible overlaps in std::string concatenation
  # (GCC bug 105651); the warning has no true positives here.
  target_compile_options(nj_warnings INTERFACE -Wno-restrict)
endif()
if(NJ_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # The sanitizers' instrumentation makes g++ report uninitialised uses that
  # cannot happen (inside std::regex, for one); GCC's manual advises against
  # -Werror with sanitizers for this reason. Release builds keep the warning.
  target_compile_options(nj_warnings INTERFACE -Wno-maybe-uninitialized)
endif()
if(NJ_WERROR)
  target_compile_options(nj_warnings INTERFACE -Werror)
endif()

add_library(nj_sanitize INTERFACE)
add_library(nj::sanitize ALIAS nj_sanitize)
if(NJ_SANITIZE)
  target_compile_options(nj_sanitize INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
    -D_GLIBCXX_ASSERTIONS)
  target_link_options(nj_sanitize INTERFACE -fsanitize=address,undefined)
  if(NJ_BUILD_FUZZERS)
    # Coverage feedback for libFuzzer from every instrumented target.
    target_compile_options(nj_sanitize INTERFACE -fsanitize=fuzzer-no-link)
  endif()
endif()

# An extension module over the core: only its initialiser is exported, so no
# symbol of the core (nor of the C++ runtime it carries) leaks into the process.
function(nj_extension_module target)
  target_link_libraries(${target} PRIVATE nj::core nj::warnings)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
endfunction()
