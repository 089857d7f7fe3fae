# kv_options: how every target of the project is compiled and linked (language level, platform,
# static Windows runtime, sanitizers, fuzzer instrumentation, hardening). Linked PRIVATE by each
# target, so nothing is set directory-wide and third-party code (GoogleTest) keeps its own flags.
add_library(kv_options INTERFACE)
target_compile_features(kv_options INTERFACE cxx_std_20)

if(WIN32)
  target_compile_definitions(kv_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  # A static binary runs on a bare Windows or Wine prefix without the MinGW runtime DLLs beside it.
  target_link_options(kv_options INTERFACE -static -static-libgcc -static-libstdc++)
elseif(KV_SANITIZE)
  set(kv_sanitizers -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(kv_options INTERFACE ${kv_sanitizers})
  target_link_options(kv_options INTERFACE ${kv_sanitizers})
endif()

if(KV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KV_FUZZ needs clang: configure with cmake --preset fuzz")
  endif()
  # Every target carries the sanitizers. The coverage instrumentation that steers the fuzzer goes
  # where a target's KV_FUZZ_COVERAGE is not OFF: fuzz/CMakeLists.txt turns it off for the test tools
  # the targets link, so that the fuzzer follows the product's paths rather than the simulated line's.
  # The standard library's templates are left out of that instrumentation (fuzz/coverage_ignore.txt):
  # instrumented, their comparisons took a fifth of each run, and a third of the edges the fuzzer
  # counted were theirs rather than the product's.
  # Only the fuzz targets link the driver (-fsanitize=fuzzer). KV_FUZZ_EXTRA_FLAGS adds e.g.
  # source-based coverage.
  set(kv_fuzz_ignore -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage_ignore.txt)
  set(kv_fuzz_coverage
    $<$<NOT:$<STREQUAL:$<TARGET_PROPERTY:KV_FUZZ_COVERAGE>,OFF>>:-fsanitize=fuzzer-no-link;${kv_fuzz_ignore}>)
  set(kv_fuzz_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
    -g -O1 ${kv_fuzz_coverage} ${KV_FUZZ_EXTRA_FLAGS})
  target_compile_options(kv_options INTERFACE ${kv_fuzz_flags})
  target_link_options(kv_options INTERFACE -fsanitize=address,undefined ${KV_FUZZ_EXTRA_FLAGS})
else()
  include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)
  target_link_libraries(kv_options INTERFACE kv_hardening)
endif()
