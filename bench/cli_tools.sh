# Sourced by the benchmarks of the command-line updater: builds korvane-update, kvsim and qfwpack
# with the release preset, sets `build` to their folder and `work` to a scratch folder removed on
# exit, and writes the package "$work/pkg.qfw" with a body of BODY bytes.
#   . bench/cli_tools.sh NAME BODY
cd "$(dirname "${BASH_SOURCE[0]}")/.."
for target in korvane-update kvsim qfwpack; do
  bench/release_tool.sh "$target" --help >/dev/null
done
build=build/release/bin
work=$(mktemp -d "/tmp/kv-$1.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/qfwpack" --out "$work/pkg.qfw" --body-size "$2" >/dev/null
