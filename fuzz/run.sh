#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for a fixed time over
# its committed corpus; fails when any target finds a crash, leak, hang or
# memory blow-up (the failing inputs stay in <dir>/fuzz/runs/<target>/artifacts).
#
#   bash fuzz/run.sh <build-fuzz-dir> <seconds>
#
# The folder is configured when it is not yet (CC=clang CXX=clang++
# -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo).
set -uo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 <build-fuzz-dir> <seconds>" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build_dir=$(cd "$1" && pwd)
seconds=$2

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
while read -r binary corpus dictionary; do
  [ -n "$binary" ] || continue
  name=$(basename "$binary")
  bash "$source_dir/fuzz/run-target.sh" "$binary" "$seconds" "$corpus" "$build_dir/fuzz/runs/$name" $dictionary ||
    failed=$((failed + 1))
done <"$build_dir/fuzz/targets.txt"
if [ $failed -ne 0 ]; then
  echo "fuzz: $failed target(s) failed"
  exit 1
fi
echo "fuzz: every target ran $seconds s without a finding"
