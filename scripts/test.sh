#!/usr/bin/env bash
# Runs every test: the native core under AddressSanitizer and UndefinedBehaviorSanitizer, the Windows
# build under Wine (serial backend, device search, the real dialog end to end), and a short fuzz run.
# Installs whatever is missing first.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${KV_JOBS:-2}
fuzz_seconds=${KV_FUZZ_SECONDS:-30}

bash scripts/install-deps.sh test || { echo "installing the dependencies failed"; exit 1; }

mkdir -p build
status=0
passed=0
failed=0
tally() { # tally LOGFILE: adds ctest's counts
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)
  if [ -n "$line" ]; then
    local total fail
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail))
    failed=$((failed + fail))
  fi
}

echo "== native build (sanitizers)"
cmake -S . -B build/native -G Ninja -DKV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >build/native-configure.log 2>&1 \
  || { cat build/native-configure.log; exit 1; }
cmake --build build/native -j"$jobs" || exit 1
echo "== native tests"
ctest --test-dir build/native --output-on-failure --timeout 300 2>&1 | tee build/native-ctest.log
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
tally build/native-ctest.log

echo "== Windows build (mingw-w64)"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DKV_NATIVE_TOOLS_DIR="$root/build/native/bin" >build/win-configure.log 2>&1 \
  || { cat build/win-configure.log; exit 1; }
cmake --build build/win -j"$jobs" || exit 1
echo "== Windows tests under Wine"
ctest --test-dir build/win --output-on-failure --timeout 600 2>&1 | tee build/win-ctest.log
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
tally build/win-ctest.log

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzzing package validation and upload reading (${fuzz_seconds} s)"
  if bash fuzz/run.sh "$fuzz_seconds"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo
echo "Test summary:"
echo "$passed passed, $failed failed"
exit $status
