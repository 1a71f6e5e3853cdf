# The checks of a script test: each one is reported as it is made, and
# `failures` counts those that failed. Sourced by the script tests here.
skip() { echo "SKIPPED: $*"; exit 77; }  # the tests' SKIP_RETURN_CODE
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
