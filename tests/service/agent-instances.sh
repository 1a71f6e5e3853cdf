#!/usr/bin/env bash
# Usage: agent-instances.sh HELPER PID_REUSE
# One corvane-service per user and network namespace: what corvane-universal
# ends at its start, and what a corvane-service steps aside for, is the agent
# and nothing else. As an ordinary user (nobody), in private PID, network and
# mount namespaces of its own, so that it runs beside anything else:
#   1. programs named corvane-service-helper, one of them non-dumpable (its
#      exe link unreadable, its command name "corvane-service"), are no
#      instance: a corvane-service started beside them serves 16357, and both
#      survive the start of corvane-universal;
#   2. a second corvane-service ends with status 0 and its log names the PID
#      of the one that serves;
#   3. a corvane-service in another network namespace is no instance: one
#      started outside it serves the outer 16357, and it survives the start
#      of corvane-universal outside;
#   4. a stand-in corvane-service that ends on SIGTERM, whose PID goes to an
#      unrelated program at once: corvane-universal sends that program nothing.
# HELPER is the stand-in program (tests/service/instance-helper.c), PID_REUSE
# the program that hands a PID on (tests/service/pid-reuse.c). Needs root (for
# the namespaces and the PID hand-over); exit status 77: skipped.
set -uo pipefail

HELPER=${1:?the stand-in program}
PID_REUSE=${2:?the PID hand-over program}
BIN=${CORVANE_BINARY_DIR:?the build folder}/bin
ROOT_PEM=$CORVANE_BINARY_DIR/tls/root.pem

source "$(dirname "$0")/checks.sh"
[ "$(id -u)" = 0 ] || skip "needs root for private namespaces and ns_last_pid"
if [ "${CORVANE_INSTANCES_PRIVATE:-0}" != 1 ]; then
  unshare --mount --net --pid --fork --mount-proc true 2>/dev/null || skip "unshare cannot make private namespaces here"
  # The agent's ports, pcscd's socket and the certificate-snapshot lock of
  # this run are its own; the script is PID 1 there, so nothing it started
  # outlives it.
  exec env CORVANE_INSTANCES_PRIVATE=1 unshare --mount --net --pid --fork --mount-proc bash "$0" "$@"
fi
ip link set lo up
for folder in /run/pcscd /var/tmp; do mkdir -p "$folder" && mount -t tmpfs tmpfs "$folder"; done

USER_ID=$(id -u nobody)
GROUP_ID=$(id -g nobody)
WORK=$(mktemp -d /tmp/corvane-instances.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# A program folder of the user's own (the build folder is root's alone): the
# programs must be readable by the user, or they would run non-dumpable.
place() {  # place FOLDER SOURCE NAME
  mkdir -p "$WORK/$1" && cp "$2" "$WORK/$1/$3"
}
place bin "$BIN/corvane-service" corvane-service
place bin "$BIN/corvane-universal" corvane-universal
place inner "$BIN/corvane-service" corvane-service
place helpers "$HELPER" corvane-service-helper
place stand-in "$HELPER" corvane-service
mkdir -p "$WORK/home"
chown -R "$USER_ID:$GROUP_ID" "$WORK"

AS_USER=(setpriv --reuid="$USER_ID" --regid="$GROUP_ID" --clear-groups env -i HOME="$WORK/home"
  PATH=/usr/bin:/bin LANG=C.UTF-8 ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}"
  LSAN_OPTIONS="${LSAN_OPTIONS:-}")
as_user() { "${AS_USER[@]}" "$@"; }
# Starts PROGRAM as the user in the background, its output in $WORK/NAME.out;
# sets started (its PID) and started_ticks (its start time).
start_as_user() {  # start_as_user NAME PROGRAM [ARG...]
  local name=$1
  shift
  # A simple command in the background: $! is the program itself, not a subshell.
  "${AS_USER[@]}" "$@" > "$WORK/$name.out" 2>&1 &
  started=$!
  started_ticks=$(start_time "$started")
}

start_time() { awk '{print $22}' "/proc/$1/stat" 2>/dev/null; }
# The processes of this namespace running the program file PATH.
running() {
  local entry
  for entry in /proc/[0-9]*; do
    [ "$(readlink "$entry/exe" 2>/dev/null)" = "$1" ] && [ "$(awk '{print $3}' "$entry/stat" 2>/dev/null)" != Z ] &&
      echo "${entry#/proc/}"
  done
  return 0
}
# True while PID is the process that started at TICKS and has not ended.
same_process_runs() {  # same_process_runs PID TICKS
  [ -n "$2" ] && [ "$(start_time "$1")" = "$2" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]
}
# Ends every program of this run, by PID.
end_all_started() {
  local pid program
  for program in "$WORK"/*/*; do
    for pid in $(running "$program"); do
      { kill -KILL "$pid" && wait "$pid"; } 2>/dev/null  # no "Killed" line for a job of this script
    done
  done
}

INITIALIZE=$(printf '{"action":"initialize"}' | base64 -w0 | sed 's/=/%3D/g')
# True once a JSONP "initialize" on 127.0.0.1:16357 is answered (20 s at most);
# NETNS_OF, when set, is a process of the network namespace to ask in.
serves_jsonp() {
  local enter=() i
  [ -z "${NETNS_OF:-}" ] || enter=(nsenter --net="/proc/$NETNS_OF/ns/net")
  for i in $(seq 1 40); do
    "${enter[@]}" curl -s --max-time 5 --cacert "$ROOT_PEM" \
      "https://127.0.0.1:16357/?callback=cb&parameters=$INITIALIZE" 2>/dev/null | grep -q '^cb(\[{"responseCode": "0"' &&
      return 0
    sleep 0.5
  done
  return 1
}
# True once something listens on 127.0.0.1:PORT of this namespace (20 s at most).
listens() {
  local i
  for i in $(seq 1 100); do
    ss -Hltn "sport = :$1" | grep -q . && return 0
    sleep 0.2
  done
  return 1
}
# Starts corvane-universal as the user and waits until it and the
# corvane-service it starts serve.
start_universal() {
  start_as_user universal "$WORK/bin/corvane-universal"
  check "corvane-universal listens on 16356" listens 16356
  check "corvane-universal's corvane-service serves 16357" serves_jsonp
}

# ---- 1. programs whose name only begins with corvane-service ---------------------
start_as_user helper-non-dumpable "$WORK/helpers/corvane-service-helper" --non-dumpable
non_dumpable=$started
non_dumpable_ticks=$started_ticks
start_as_user helper-dumpable "$WORK/helpers/corvane-service-helper"
dumpable=$started
dumpable_ticks=$started_ticks
for i in $(seq 1 50); do  # until both run the helper
  [ "$(cat "/proc/$non_dumpable/comm" "/proc/$dumpable/comm")" = $'corvane-service\ncorvane-service' ] && break
  sleep 0.1
done
# What makes the case: the user cannot read the exe link, and the command
# name is that of the agent.
check "the non-dumpable helper's exe link is unreadable to the user" \
  eval '! as_user readlink "/proc/$non_dumpable/exe" >/dev/null 2>&1'
check "the helper's command name is corvane-service" test "$(cat "/proc/$non_dumpable/comm")" = corvane-service
start_as_user service-by-hand "$WORK/bin/corvane-service"
by_hand=$started
by_hand_ticks=$started_ticks
check "a corvane-service started beside the helpers serves 16357" serves_jsonp
start_universal
check "the non-dumpable helper survives the start of corvane-universal" \
  same_process_runs "$non_dumpable" "$non_dumpable_ticks"
check "the dumpable helper survives the start of corvane-universal" same_process_runs "$dumpable" "$dumpable_ticks"
check "corvane-universal ended the corvane-service started by hand" eval '! same_process_runs "$by_hand" "$by_hand_ticks"'

# ---- 2. a second corvane-service steps aside and says for which one --------------
serving=$(running "$WORK/bin/corvane-service")
check "one corvane-service runs" test "$(echo "$serving" | wc -w)" = 1
as_user timeout 30 "$WORK/bin/corvane-service" > "$WORK/second.out" 2>&1
second_status=$?
check "a second corvane-service ends with status 0 (was $second_status)" test "$second_status" = 0
check "it says 'Quiting application'" grep -q "Quiting application" "$WORK/second.out"
check "its log names the PID of the one that serves ($serving)" grep -aq \
  "INFO.*JSONP Service: Another corvane-service (PID $serving) already serves" "$WORK/bin/logs/corvane-service.log"
end_all_started

# ---- 3. a corvane-service in another network namespace ---------------------------
unshare --net bash -c 'ip link set lo up && exec "$@"' inner "${AS_USER[@]}" "$WORK/inner/corvane-service" \
  > "$WORK/inner.out" 2>&1 &
inner=$!
inner_ticks=$(start_time "$inner")
NETNS_OF=$inner check "the inner corvane-service serves the inner 16357" serves_jsonp
start_as_user outer-by-hand "$WORK/bin/corvane-service"
check "a corvane-service started outside serves the outer 16357" serves_jsonp
start_universal
check "the inner corvane-service survives the start of corvane-universal outside" \
  same_process_runs "$inner" "$inner_ticks"
NETNS_OF=$inner check "the inner corvane-service still serves the inner 16357" serves_jsonp
end_all_started

# ---- 4. the PID of an ended stand-in goes to an unrelated program ----------------
# pid-reuse starts the stand-in, and the moment it has ended, the unrelated
# program under its PID; it reports whether that program ran on for 10 s.
"$PID_REUSE" "$USER_ID" "$GROUP_ID" 10 "$WORK/stand-in/corvane-service" /bin/sleep 600 > "$WORK/reuse.out" 2>&1 &
reuse=$!
for i in $(seq 1 50); do grep -q '^first' "$WORK/reuse.out" && break; sleep 0.1; done
first_pid=$(awk '$1 == "first" {print $2}' "$WORK/reuse.out")
# Found only once it runs the stand-in (until then it is a copy of pid-reuse).
for i in $(seq 1 50); do [ -z "$(running "$WORK/stand-in/corvane-service")" ] || break; sleep 0.1; done
start_universal
if grep -q '^unrelated' "$WORK/reuse.out"; then
  pass "corvane-universal ended the stand-in"
else
  fail "corvane-universal ended the stand-in"
  kill -KILL "$first_pid"  # or pid-reuse would wait for it for ever
fi
wait "$reuse"
check "the unrelated program got the stand-in's PID ($first_pid)" grep -q "^unrelated $first_pid\$" "$WORK/reuse.out"
check "the unrelated program survives (pid-reuse: $(tail -1 "$WORK/reuse.out"))" grep -q '^survived$' "$WORK/reuse.out"
end_all_started

if [ $failures != 0 ]; then
  for out in "$WORK"/*.out; do echo "--- $out"; tail -5 "$out"; done
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
