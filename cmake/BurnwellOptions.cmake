# Options, the maker's USB identifiers and the compiler settings every target shares.

option(BURNWELL_TESTS "Build the unit tests" ON)
option(BURNWELL_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(BURNWELL_BENCH "Build the benchmarks" OFF)
option(BURNWELL_WERROR "Treat compiler warnings as errors" OFF)
option(BURNWELL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# The maker's USB vendor ID and product IDs. A deployment may override them; they are
# baked into common/MakerIds.h. PID_A and PID_B must share a high byte no other product has.
set(BURNWELL_VID_MAKER "0x7E55" CACHE STRING "Maker's USB vendor ID")
set(BURNWELL_PID_A "0x5801" CACHE STRING "Product ID A (large code size)")
set(BURNWELL_PID_B "0x5802" CACHE STRING "Product ID B (large code size)")
set(BURNWELL_PID_C "0x2501" CACHE STRING "Product ID C")
set(BURNWELL_PID_D "0x2502" CACHE STRING "Product ID D")
set(BURNWELL_PID_E "0x2503" CACHE STRING "Product ID E")
set(BURNWELL_PID_F "0x2504" CACHE STRING "Product ID F")
set(BURNWELL_PID_G "0x2505" CACHE STRING "Product ID G")
set(BURNWELL_PID_H "0x2506" CACHE STRING "Product ID H")

set(BURNWELL_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)

# Applies the project's compiler settings to one target.
function(burnwell_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(BURNWELL_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

if(BURNWELL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(BURNWELL_FUZZ)
  # Every library a fuzz target exercises carries the coverage instrumentation too.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Keep <windows.h> small and free of min/max macros wherever a platform file includes it.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 UNICODE _UNICODE)
  # Self-contained executables: the test and tool .exe files import only system DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
