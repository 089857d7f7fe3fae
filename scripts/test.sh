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

# build_and_test PRESET TITLE: configure, build and test with one preset of CMakePresets.json
# (build folder build/PRESET).
build_and_test() {
  local preset=$1 title=$2
  echo "== $title: build"
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; exit 1; }
  cmake --build --preset "$preset" -j"$jobs" || exit 1
  echo "== $title: tests"
  ctest --preset "$preset" 2>&1 | tee "build/$preset-ctest.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  tally "build/$preset-ctest.log"
}

build_and_test native "native (sanitizers)"
build_and_test win "Windows (mingw-w64, tests under Wine)"

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzzing package files and device replies (${fuzz_seconds} s in all)"
  if bash fuzz/run.sh "$fuzz_seconds"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi

echo
echo "Test summary:"
echo "$passed passed, $failed failed"
exit $status
