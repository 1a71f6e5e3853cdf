#!/usr/bin/env bash
# ThreadSanitizer pass over the tests that drive the engine from several
# threads at once (handler pool, module locks, card transactions, parallel
# commands, the log writer). Expects the dependencies installed and, for the
# card cases, the test readers started (scripts/test.sh does both).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${TSAN_BUILD_DIR:-build-tsan}
TARGETS="test-webserver-connections test-webserver-load test-webserver-units test-timeout-runner
         test-pkcs11-signing test-pcsc-sessions test-quessel-tokens test-quessel-cards test-cades corvane-p11fault test-logging"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TSAN=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j"$(nproc)" --target $TARGETS
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/tests/webserver/tsan.supp"
case "$BUILD_DIR" in /*) BINARY_DIR=$BUILD_DIR ;; *) BINARY_DIR=$ROOT/$BUILD_DIR ;; esac
export CORVANE_SOURCE_DIR=$ROOT CORVANE_BINARY_DIR=$BINARY_DIR
run() {
  local test=$1 filter=$2
  echo "tsan: $test $filter"
  "$BUILD_DIR/tests/$test" --gtest_filter="$filter"
}
run webserver/test-webserver-connections '*'
run webserver/test-webserver-load '*'
run webserver/test-webserver-units '*Many*'
run core/test-timeout-runner '*'
# Not the crash-line case: ThreadSanitizer delivers a SIGSEGV at once, even
# while the thread is inside its runtime, and the crash hook's atomic loads
# then wait for a runtime lock the interrupted code holds (a hang, now and
# then). The ASan pass runs that case.
run core/test-logging '*:-*CrashLine*'
run pkcs11/test-pkcs11-signing '*Thread*'
run cades/test-cades '*Concurrent*'
run quessel/test-quessel-tokens '*Parallel*:*Hung*'
run pcsc/test-pcsc-sessions '*Parallel*'
run quessel/test-quessel-cards '*Parallel*'
echo "tsan: all passed"
