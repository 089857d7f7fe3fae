#!/usr/bin/env bash
# Runs every test: the formatting check, the native core under AddressSanitizer and
# UndefinedBehaviorSanitizer, the released Linux program (its protections, its tar.gz), the Windows
# build under Wine (serial backend, device search, the real dialog end to end, planted DLLs, the zip
# unsigned and signed, the programs' protections), and a short fuzz run. Installs whatever is missing
# first.
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

# build_and_test PRESET TITLE [TESTS TARGET...]: configure, build and test with one preset of
# CMakePresets.json (build folder build/PRESET), then add its cases to the counts. With TESTS (a ctest
# regular expression), only those tests run, and only the TARGETs they need are built.
build_and_test() {
  local preset=$1 title=$2 tests=${3:-}
  local targets=("${@:4}")
  echo "== $title: build"
  cmake --preset "$preset" >"build/$preset-configure.log" 2>&1 || { cat "build/$preset-configure.log"; exit 1; }
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build --preset "$preset" -j"$jobs" --target "${targets[@]}" || exit 1
  else
    cmake --build --preset "$preset" -j"$jobs" || exit 1
  fi
  echo "== $title: tests"
  rm -rf "build/$preset/test-reports" "build/$preset-ctest.xml"
  mkdir -p "build/$preset/test-reports"
  ctest --preset "$preset" ${tests:+-R "$tests"} --output-junit "$root/build/$preset-ctest.xml" || status=1
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
build_and_test release "Linux release (korvane-update hardened, its tar.gz)" '^(trust\.binaries|release\.)' korvane-update qfwpack
build_and_test win "Windows (mingw-w64, tests under Wine)"

echo "== fuzzing package files and device replies (${fuzz_seconds} s in all)"
if bash fuzz/run.sh "$fuzz_seconds"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo
echo "Test summary:"
[ "$skipped" -eq 0 ] || echo "($skipped cases skipped)"
echo "$passed passed, $failed failed"
exit $status
