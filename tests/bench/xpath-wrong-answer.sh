#!/usr/bin/env bash
# corvane-bench-xpath must fail on a wrong answer. The bench over an evaluator
# whose contains() answers its negation (corvane-bench-xpath-planted, built
# from a copy of src/tev-xpath.cpp) selects other nodes than pugixml for
# //*[contains(name(), 'ExtensionCont')]: it must say so and exit non-zero.
# The real bench, on the same rows, must find nothing and exit 0. The forms on
# documents of 2,000 and 8,000 elements take a few seconds.
#
#   xpath-wrong-answer.sh <corvane-bench-xpath> <corvane-bench-xpath-planted>
set -u
real=$1
planted=$2
rows=(--only forms --size 2000 --pugixml-timeout 1)
failed=0

output=$("$planted" "${rows[@]}" 2>&1)
status=$?
if [ $status -ne 1 ] || ! grep -q "DIFFERENT NODES" <<<"$output"; then
  echo "FAIL: the bench over a planted wrong contains() exited $status (expected 1 with DIFFERENT NODES):"
  echo "$output"
  failed=1
fi

output=$("$real" "${rows[@]}" 2>&1)
status=$?
if [ $status -ne 0 ]; then
  echo "FAIL: the bench over the real evaluator exited $status (expected 0 with no row flagged):"
  echo "$output"
  failed=1
fi
exit $failed
