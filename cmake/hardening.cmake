# kv_hardening: the protections the programs are built with, part of kv_options in every build but
# the fuzz build. tests/trust/check_binaries.py checks the built programs for them.
add_library(kv_hardening INTERFACE)

# The stack protector's runtime comes with the link flag (libssp on mingw-w64, linked statically there
# by -static).
target_compile_options(kv_hardening INTERFACE -fstack-protector-strong)
target_link_options(kv_hardening INTERFACE -fstack-protector-strong)

# Fortified calls need an optimised build; the sanitizers check those calls their own way, and ASan's
# interceptors would hide the fortified ones.
if(NOT KV_SANITIZE)
  target_compile_options(kv_hardening INTERFACE
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endif()

if(WIN32)
  # Address-space layout randomisation with 64-bit entropy and no executable data: the linker's
  # defaults today, asked for by name so that a change of defaults cannot drop them.
  target_link_options(kv_hardening INTERFACE LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va)
else()
  # Position-independent executables, whatever the compiler's default (the libraries are static, so
  # -fPIE serves them too).
  target_compile_options(kv_hardening INTERFACE -fPIE -fstack-clash-protection -fcf-protection)
  target_link_options(kv_hardening INTERFACE -pie LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
endif()
