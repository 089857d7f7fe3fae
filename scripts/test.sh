#!/usr/bin/env bash
# Runs every test: the formatting check, the native core under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build under Wine (serial backend, device search, the real
# dialog end to end), and a short fuzz run. Installs whatever is missing first.
# The closing line counts test cases: each GoogleTest case, each pytest test, the fuzz run.
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
skipped=0

echo "== formatting"
bash scripts/check-format.sh || status=1

# build_and_test PRESET TITLE: configure, build and test with one preset of CMakePresets.json
# (build folder build/PRESET), then add its cases to the counts.
build_and_test() {
  local preset=$1 title=$2
  echo "== $title: build"
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; exit 1; }
  cmake --build --preset "$preset" -j"$jobs" || exit 1
  echo "== $title: tests"
  rm -rf "build/$preset/test-reports" "build/$preset-ctest.xml"
  mkdir -p "build/$preset/test-reports"
  ctest --preset "$preset" --output-junit "$root/build/$preset-ctest.xml" || status=1
  local counts p f s
  counts=$(python3 scripts/count-cases.py "build/$preset-ctest.xml" "build/$preset/test-reports") \
    || { echo "counting the cases of $preset failed"; status=1; return; }
  read -r p f s <<<"$counts"
  echo "$title: $p cases passed, $f failed, $s skipped"
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
}

build_and_test native "native (sanitizers)"
build_and_test win "Windows (mingw-w64, tests under Wine)"

echo "== fuzzing package files and device replies (${fuzz_seconds} s in all)"
if bash fuzz/run.sh "$fuzz_seconds"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo
echo "Test summary:"
[ "$skipped" -eq 0 ] || echo "($skipped cases skipped)"
echo "$passed passed, $failed failed"
exit $status
