#!/usr/bin/env bash
# Prints the agent's figures: "initialize" throughput and latency of both
# endpoints (the JSONP rows beside nginx and our HTTP server answering the same
# bytes as a fixed body), resident memory of corvane-service, and the cost of
# one CAdES-BES signature through the agent against the bare PKCS#11 job, and
# the time of XAdES signing into documents with many namespace declarations,
# and resident memory of corvane-service around large requests; with a
# baseline, its "initialize" rate over JSONP and its memory around large
# requests beside this build's.
#
#   bash bench/run.sh [build-dir]        (default: build-bench beside this folder)
#
# Configures the build folder in Release mode when it is not configured yet,
# builds what the figures need, and runs the real programs from private
# program folders (ports 127.0.0.1:16356 and 16357 must be free, a run waits
# up to 2 minutes for them; the comparison servers use 16358 and 16359).
# BENCH_SECONDS (default 1) is the time per throughput row, BENCH_ROUNDS
# (default 40) the number of signing rounds. BENCH_LONG=1 lets pugixml run
# 30 s instead of 2 on each XPath and reruns the hostile ones it did not
# finish on a tenth of the document (corvane-bench-xpath --long), and adds
# the request-memory rows of hostile XPaths over JSONP and of the fixed
# costs of short calls (corvane-bench-request-memory --long).
# BENCH_BASELINE=<commit> also builds that commit's corvane-service and
# corvane-universal (Release, in a git worktree at
# <build-dir>/baseline-<commit>/) and measures the "initialize" rate over
# JSONP, memory around large requests and back-to-back large requests on it
# and on this build, taking turns on fresh processes; BENCH_BASELINE_DIR=
# <build folder> uses a baseline already built. BENCH_BASELINE_ROUNDS
# (default 3) is the number of turns of each build for the "initialize"
# rates. Without a baseline there are no turns to take: the memory rows that
# take them run one round (the back-to-back one with 8 requests).
# Nothing here asserts a time. The exit status is 1 when a program found a
# wrong answer (a failing request or signature, a document signed where it
# must be refused, an XPath answered otherwise than pugixml or not within
# its allowances) or a measurement did not run, 2 when the build failed;
# verdicts on time (UNDERCHARGED calibration rows) are printed, not counted.
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-bench}
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  echo "bench: configuring $build_dir (Release)"
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF >"$build_dir/bench-configure.log" 2>&1 ||
    { cat "$build_dir/bench-configure.log"; exit 2; }
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
sanitized=$(sed -n 's/^CORVANE_\(SANITIZE\|TSAN\|FUZZ\):BOOL=ON$/\1/p' "$build_dir/CMakeCache.txt" | tr '\n' ' ')

echo "bench: building corvane-service, corvane-universal and the bench programs in $build_dir"
if ! cmake --build "$build_dir" --target corvane-service corvane-universal corvane-bench -j"$(nproc)" \
    >"$build_dir/bench-build.log" 2>&1; then
  tail -40 "$build_dir/bench-build.log"
  exit 2
fi

# Another commit's corvane-service for the rows beside it, built once.
baseline_dir=${BENCH_BASELINE_DIR:-}
if [ -z "$baseline_dir" ] && [ -n "${BENCH_BASELINE:-}" ]; then
  baseline_commit=$(git -C "$source_dir" rev-parse --short "${BENCH_BASELINE}^{commit}") ||
    { echo "bench: no commit $BENCH_BASELINE"; exit 2; }
  baseline_root="$build_dir/baseline-$baseline_commit"
  if [ ! -d "$baseline_root/src" ]; then
    git -C "$source_dir" worktree add --detach "$baseline_root/src" "$baseline_commit" >/dev/null 2>&1 ||
      { echo "bench: cannot check out $baseline_commit into $baseline_root/src"; exit 2; }
  fi
  baseline_dir="$baseline_root/build"
  echo "bench: building corvane-service and corvane-universal of $baseline_commit in $baseline_dir"
  if ! { cmake -S "$baseline_root/src" -B "$baseline_dir" -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF &&
         cmake --build "$baseline_dir" --target corvane-service corvane-universal -j"$(nproc)"; } >"$baseline_root/build.log" 2>&1; then
    tail -40 "$baseline_root/build.log"
    exit 2
  fi
fi
[ -z "$baseline_dir" ] || baseline_dir=$(cd "$baseline_dir" && pwd)

echo
echo "Corvane figures, $(date '+%Y-%m-%d %H:%M:%S')"
echo "  commit     $(git -C "$source_dir" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$source_dir" diff --quiet 2>/dev/null || echo ' (working tree differs)')"
echo "  build      $build_dir, ${build_type:-no build type}${sanitized:+, instrumented: $sanitized}"
echo "  machine    $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), load $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$build_type" != "Release" ] && echo "  NOTE: not a Release build; these figures are not the product's"
[ -n "$sanitized" ] && echo "  NOTE: sanitizer instrumentation slows everything down"
if [ -n "$baseline_dir" ]; then
  baseline_source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$baseline_dir/CMakeCache.txt" 2>/dev/null)
  echo "  baseline   $baseline_dir, commit $(git -C "${baseline_source:-/nonexistent}" rev-parse --short HEAD 2>/dev/null || echo unknown)"
fi

status=0
failed=()
# Runs one program; its failure is remembered by name and makes the status 1.
bench() {
  local name=$1
  shift
  "$@"
  local code=$?
  [ $code -eq 0 ] || { status=1; failed+=("$name (exit $code)"); }
}
bench corvane-bench-endpoints env CORVANE_BINARY_DIR="$build_dir" "$build_dir/bench/corvane-bench-endpoints" \
  --seconds "${BENCH_SECONDS:-1}" ${baseline_dir:+--baseline-dir "$baseline_dir" --rounds "${BENCH_BASELINE_ROUNDS:-3}"}
bench corvane-bench-signing env CORVANE_SOURCE_DIR="$source_dir" "$build_dir/bench/corvane-bench-signing" \
  --rounds "${BENCH_ROUNDS:-40}"
bench corvane-bench-xml-namespaces env CORVANE_SOURCE_DIR="$source_dir" "$build_dir/bench/corvane-bench-xml-namespaces"
bench corvane-bench-xpath "$build_dir/bench/corvane-bench-xpath" $([ "${BENCH_LONG:-0}" = 1 ] && echo --long)
# The XAdES rows of the request-memory figures sign with a simulated card in
# the test rig's pcscd. Where no pcscd runs at all, root starts the rig of this
# build folder (a build with the tests has one) for them, and stops it after.
rig_started=0
if [ "$(id -u)" = 0 ] && [ ! -e /run/pcscd/pcscd.comm ] && ! pgrep -x pcscd >/dev/null &&
   [ -x "$build_dir/tests/rig/corvane-cardsim-cli" ] &&
   BUILD_DIR="$build_dir" "$source_dir/tests/rig/pcscd-rig.sh" start >/dev/null; then
  rig_started=1
fi
if [ -n "$baseline_dir" ]; then
  memory_options=(--baseline-dir "$baseline_dir")
else
  memory_options=(--rounds 1 --requests 8)
fi
[ "${BENCH_LONG:-0}" = 1 ] && memory_options+=(--long)
bench corvane-bench-request-memory env CORVANE_BINARY_DIR="$build_dir" "$build_dir/bench/corvane-bench-request-memory" \
  "${memory_options[@]}"
[ $rig_started = 1 ] && BUILD_DIR="$build_dir" "$source_dir/tests/rig/pcscd-rig.sh" stop >/dev/null
echo
[ $status -ne 0 ] && echo "bench: a wrong answer or a measurement that did not run in: ${failed[*]} (see above)"
exit $status
