#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the run command need, when they are missing.
#   install-deps.sh [run|test]   (test adds the fuzzing toolchain and clang-format)
set -euo pipefail

want=(
  build-essential cmake ninja-build git python3 python3-pytest procps
  libgtest-dev googletest
  g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64 xvfb imagemagick x11-utils
  osslsigncode openssl libssl-dev python3-pefile
)
if [ "${1:-test}" = test ]; then
  want+=(clang libclang-rt-14-dev clang-format)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The POSIX thread model of mingw-w64 is the one with std::thread; the build names it explicitly,
# so the system-wide alternative can stay as it is.
command -v x86_64-w64-mingw32-g++-posix >/dev/null
