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
  # Every library carries the fuzzer's coverage instrumentation; only the fuzz targets link its
  # driver (-fsanitize=fuzzer). KV_FUZZ_EXTRA_FLAGS adds e.g. source-based coverage.
  set(kv_fuzz_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -g -O1 ${KV_FUZZ_EXTRA_FLAGS})
  target_compile_options(kv_options INTERFACE ${kv_fuzz_flags})
  target_link_options(kv_options INTERFACE -fsanitize=address,undefined ${KV_FUZZ_EXTRA_FLAGS})
else()
  include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)
  target_link_libraries(kv_options INTERFACE kv_hardening)
endif()
