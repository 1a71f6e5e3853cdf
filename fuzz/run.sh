#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one over its committed
# corpus; fails when any target finds a crash, leak, hang or memory blow-up
# (the failing inputs stay in <dir>/fuzz/runs/<target>/artifacts).
#
#   bash fuzz/run.sh <build-fuzz-dir> <seconds>   explore: each target for <seconds>, a fresh seed each run
#   bash fuzz/run.sh --fixed <build-fuzz-dir>     the landing gate (scripts/test.sh): the corpus replayed,
#                                                 then a fixed number of inputs from a fixed seed per target
#
# The gate gives the same result for the same commit every time; exploring
# does not, and what it finds is made a corpus entry (and a test) first.
# The folder is configured when it is not yet (CC=clang CXX=clang++
# -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo).
set -uo pipefail
usage() {
  echo "usage: $0 <build-fuzz-dir> <seconds> | $0 --fixed <build-fuzz-dir>" >&2
  exit 2
}
[ $# -eq 2 ] || usage
if [ "$1" = --fixed ]; then
  fixed=1
  dir=$2
else
  fixed=0
  dir=$1
  seconds=$2
  case "$seconds" in ''|*[!0-9]*) usage ;; esac
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$dir"
build_dir=$(cd "$dir" && pwd)

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  echo "fuzz: configuring $build_dir with clang"
  CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build_dir" -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build_dir/fuzz-configure.log" 2>&1 ||
    { cat "$build_dir/fuzz-configure.log"; exit 2; }
fi
if ! grep -q '^CORVANE_FUZZ:BOOL=ON$' "$build_dir/CMakeCache.txt"; then
  echo "fuzz: $build_dir is not configured with -DCORVANE_FUZZ=ON" >&2
  exit 2
fi
echo "fuzz: building the targets in $build_dir"
if ! cmake --build "$build_dir" --target corvane-fuzz -j"$(nproc)" >"$build_dir/fuzz-build.log" 2>&1; then
  grep -E 'error|Error' "$build_dir/fuzz-build.log" | head -40
  exit 2
fi
grep -E 'warning:' "$build_dir/fuzz-build.log" | sort -u | head -40

failed=0
while read -r binary runs corpus dictionary; do
  [ -n "$binary" ] || continue
  name=$(basename "$binary")
  if [ $fixed = 1 ]; then budget=(--fixed "$runs"); else budget=(--seconds "$seconds"); fi
  bash "$source_dir/fuzz/run-target.sh" "${budget[@]}" "$binary" "$corpus" "$build_dir/fuzz/runs/$name" $dictionary ||
    failed=$((failed + 1))
done <"$build_dir/fuzz/targets.txt"
if [ $failed -ne 0 ]; then
  echo "fuzz: $failed target(s) failed"
  exit 1
fi
if [ $fixed = 1 ]; then
  echo "fuzz: every target replayed its corpus and ran its fixed-seed inputs without a finding"
else
  echo "fuzz: every target ran $seconds s without a finding"
fi
