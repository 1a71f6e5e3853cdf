#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time over its committed corpus and
# fails on any crash, leak, time-out (an input that takes over 10 s: a hang)
# or memory blow-up.
#
#   fuzz/run-target.sh <target binary> <seconds> <corpus dir> <work dir> [dictionary]
#
# New inputs go to <work dir>/corpus (the committed corpus is only read);
# an input that fails is kept as <work dir>/artifacts/crash-*, leak-*,
# timeout-* or oom-*; the whole fuzzer output is <work dir>/fuzz.log.
set -u
if [ $# -lt 4 ]; then
  echo "usage: $0 <target binary> <seconds> <corpus dir> <work dir> [dictionary]" >&2
  exit 2
fi
binary=$1
seconds=$2
corpus=$3
work=$4
dictionary=${5:-}
name=$(basename "$binary")

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="$work/artifacts/")
[ -n "$dictionary" ] && args+=(-dict="$dictionary")

# Temporary files (multipart bodies, the target's work folder) and settings
# stay in the work folder.
export TMPDIR="$work/tmp"
export HOME="$work/tmp"
export XDG_CONFIG_HOME="$work/tmp/.config"
# The fuzz runs set their own sanitizer options and take none from the caller:
# the test suite's leak suppressions (all of Qt Core) would hide what the
# targets are here to find. The one platform leak the dispatch targets reach is
# exempted precisely in fuzz-dispatch.cpp. CORVANE_FUZZ_ASAN_OPTIONS adds options.
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1${CORVANE_FUZZ_ASAN_OPTIONS:+:$CORVANE_FUZZ_ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
unset LSAN_OPTIONS

"$binary" "${args[@]}" "$work/corpus" "$corpus" >"$work/fuzz.log" 2>&1
status=$?

runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/fuzz.log" | grep -o '[0-9]*$' | tail -1)
coverage=$(grep -o 'cov: [0-9]*' "$work/fuzz.log" | tail -1 | grep -o '[0-9]*')
corpus_size=$(ls "$work/corpus" | wc -l)
if [ $status -eq 0 ] && ! ls "$work/artifacts" | grep -q .; then
  printf '%-26s passed: %s inputs in %s s, coverage %s, %s new corpus entries\n' \
    "$name" "${runs:-?}" "$seconds" "${coverage:-?}" "$corpus_size"
  exit 0
fi
echo "$name FAILED (exit $status); fuzzer output $work/fuzz.log, failing inputs:"
ls -l "$work/artifacts"
# The report: from the sanitizer's or the target's first line to the end.
awk '/^==[0-9]+==|^SUMMARY|runtime error|ERROR: libFuzzer|ALARM|Test unit written/ || (/^corvane-fuzz:/ && !/cut off/) {show=1} show' \
  "$work/fuzz.log" | head -40
[ $status -eq 0 ] && status=1
exit $status
