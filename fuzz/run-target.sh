#!/usr/bin/env bash
# Runs one libFuzzer target over its committed corpus and fails on any crash,
# leak, time-out (an input that takes over 10 s: a hang) or memory blow-up.
#
#   fuzz/run-target.sh --fixed <runs> <target binary> <corpus dir> <work dir> [dictionary]
#   fuzz/run-target.sh --seconds <seconds> <target binary> <corpus dir> <work dir> [dictionary]
#
# --fixed is the landing gate: the committed corpus is replayed, then <runs>
# inputs are mutated from it with a fixed seed (CORVANE_FUZZ_SEED, default 1),
# so the same commit always meets the same inputs and gives the same result.
# --seconds explores: a fresh seed every run, for a fixed time; what it finds
# becomes a corpus entry (and a test) before it can gate anything.
#
# New inputs go to <work dir>/corpus (the committed corpus is only read);
# an input that fails is kept as <work dir>/artifacts/crash-*, leak-*,
# timeout-* or oom-*; the whole fuzzer output is <work dir>/fuzz.log.
set -u
usage() {
  echo "usage: $0 --fixed <runs> | --seconds <seconds>  <target binary> <corpus dir> <work dir> [dictionary]" >&2
  exit 2
}
[ $# -ge 5 ] || usage
mode=$1
budget=$2
binary=$3
corpus=$4
work=$5
dictionary=${6:-}
name=$(basename "$binary")
case "$mode" in
  # No reload of the work corpus (a clock-driven step) and no mutations from
  # compared values: those hold heap addresses, which differ from run to run.
  --fixed) limits=(-runs="$budget" -seed="${CORVANE_FUZZ_SEED:-1}" -reload=0 -use_cmp=0)
           what="$budget fixed-seed inputs" ;;
  --seconds) limits=(-max_total_time="$budget")
             what="$budget s" ;;
  *) usage ;;
esac

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
args=("${limits[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
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
seed=$(grep -o 'Seed: [0-9]*' "$work/fuzz.log" | head -1 | grep -o '[0-9]*')
corpus_size=$(ls "$work/corpus" | wc -l)
if [ $status -eq 0 ] && ! ls "$work/artifacts" | grep -q .; then
  printf '%-26s passed: %s inputs (%s, seed %s), coverage %s, %s new corpus entries\n' \
    "$name" "${runs:-?}" "$what" "${seed:-?}" "${coverage:-?}" "$corpus_size"
  exit 0
fi
echo "$name FAILED (exit $status, seed ${seed:-?}); fuzzer output $work/fuzz.log, failing inputs:"
ls -l "$work/artifacts"
# The report: from the sanitizer's or the target's first line to the end.
awk '/^==[0-9]+==|^SUMMARY|runtime error|ERROR: libFuzzer|ALARM|Test unit written/ || (/^corvane-fuzz:/ && !/cut off/) {show=1} show' \
  "$work/fuzz.log" | head -40
[ $status -eq 0 ] && status=1
exit $status
