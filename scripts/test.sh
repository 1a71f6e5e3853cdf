#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and UBSan, starts the
# test card readers (pcscd with virtual readers) and runs the whole test suite,
# then the ThreadSanitizer pass and the fixed fuzz runs.
# Arguments go to ctest (and then skip the two extra passes).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
[ "${SKIP_INSTALL:-0}" = 1 ] || bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build-test} bash scripts/build.sh -DCORVANE_SANITIZE=ON
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/support/lsan.supp}
RIG_STARTED=0
if [ -x tests/rig/pcscd-rig.sh ]; then
  if BUILD_DIR=${BUILD_DIR:-build-test} tests/rig/pcscd-rig.sh start; then RIG_STARTED=1; fi
fi
status=0
(cd "${BUILD_DIR:-build-test}" && ctest --output-on-failure -j"$(nproc)" "$@") || status=$?
# The concurrent cases once more under ThreadSanitizer, then the fuzz targets
# (clang build), each over its committed corpus and a fixed number of inputs
# from a fixed seed, so that the same commit always passes or always fails.
# CORVANE_QUICK=1 skips both.
if [ "${CORVANE_QUICK:-0}" != 1 ] && [ $# -eq 0 ]; then
  bash scripts/tsan.sh || status=$?
  if [ -x fuzz/run.sh ]; then bash fuzz/run.sh --fixed build-fuzz || status=$?; fi
fi
if [ $RIG_STARTED = 1 ]; then tests/rig/pcscd-rig.sh stop || true; fi
exit $status
