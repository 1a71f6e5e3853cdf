#!/usr/bin/env bash
# The agent as a new desktop user meets it: a fresh clone, the README's run
# command as that user (not root, home folder of mode 0755), then
#   - nothing of the agent's TLS key is readable by another account: not the
#     settings file, not the programs, not tls/;
#   - both endpoints answer "initialize" once the command says it is ready;
#   - after Ctrl-C, a rebuild and a new start, exactly one corvane-service of
#     the user runs (the new one), and one started by hand beside it steps
#     aside with status 0;
#   - six large requests at once leave the service near its idle size a few
#     seconds after they end; so do sixteen on sixteen connections, and
#     giving their memory back grows neither the address space nor the
#     writable mappings;
#   - with 16356 or 16357 held by another program, the run command ends with
#     a non-zero status within a minute, naming the port, and the program's
#     log says why.
# Needs root (it creates the user with useradd and runs as it with runuser),
# git, curl, node with ws. Every check is made and reported; the status is
# non-zero when any failed. Exit status 77: skipped (reason printed).
set -uo pipefail

SOURCE=${CORVANE_SOURCE_DIR:?CORVANE_SOURCE_DIR: the source tree to clone}
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs}
WS_PORT=16356
JSONP_PORT=16357

source "$(dirname "$0")/checks.sh"

[ "$(id -u)" = 0 ] || skip "needs root to create a desktop user (useradd) and run as it (runuser)"
for tool in useradd userdel runuser git curl node ss; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

WORK=$(mktemp -d /tmp/corvane-desktop.XXXXXX)
chmod 755 "$WORK"
# Unique on the machine (PIDs repeat across PID namespaces).
USER_NAME="cvdesk$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')"
USER_HOME="$WORK/home"
CLONE="$USER_HOME/corvane"
BUILD="$CLONE/build"
LOGS="$BUILD/bin/logs"
holder_pid=""

user_pids() { pgrep -u "$USER_NAME" 2>/dev/null || true; }
cleanup() {
  [ -z "$holder_pid" ] || kill "$holder_pid" 2>/dev/null
  local pid
  for pid in $(user_pids); do kill -KILL "$pid" 2>/dev/null; done
  sleep 0.5
  userdel "$USER_NAME" >/dev/null 2>&1
  if [ "${CORVANE_KEEP_DESKTOP_TEST:-0}" = 1 ]; then echo "kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

useradd -M -d "$USER_HOME" -s /bin/bash "$USER_NAME" 2>"$WORK/useradd.err" ||
  skip "useradd cannot create a user here: $(cat "$WORK/useradd.err")"
mkdir -m 755 "$USER_HOME"
chown "$USER_NAME:" "$USER_HOME"
chmod 755 "$USER_HOME"

# Runs a command as the desktop user in a login-like environment.
as_user() {
  runuser -u "$USER_NAME" -- env -i HOME="$USER_HOME" USER="$USER_NAME" LOGNAME="$USER_NAME" \
    PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
}

# The fresh clone belongs to the user, as one made in their home would.
git clone -q "$SOURCE" "$CLONE" || { echo "cannot clone $SOURCE"; exit 1; }
chown -R "$USER_NAME:" "$CLONE"

ports_free() { ! ss -Hltn "( sport = :$WS_PORT or sport = :$JSONP_PORT )" | grep -q .; }
ports_free || { echo "ports $WS_PORT/$JSONP_PORT are taken by another program"; ss -ltnp; exit 1; }

# The README's run command as the user, in the background; its output in
# $WORK/run-N.out. Sets run_pid. The build of a fresh clone takes minutes.
runs=0
start_run() {
  runs=$((runs + 1))
  run_out="$WORK/run-$runs.out"
  # A process group of its own with the default signal actions, as a command
  # typed in a terminal: SIGINT to the group is Ctrl-C.
  set -m
  as_user bash -c "cd '$CLONE' && CMAKE_BUILD_PARALLEL_LEVEL=${CORVANE_TEST_JOBS:-3} exec bash scripts/run-agent.sh" \
    > "$run_out" 2>&1 &
  run_pid=$!
  set +m
}
# Waits until the run command printed TEXT (true) or ended / SECONDS passed (false).
wait_for_output() {
  local text=$1 limit=$2 start=$SECONDS
  while [ $((SECONDS - start)) -lt "$limit" ]; do
    grep -q "$text" "$run_out" && return 0
    kill -0 "$run_pid" 2>/dev/null || { grep -q "$text" "$run_out"; return; }
    sleep 1
  done
  return 1
}
# Waits up to SECONDS for the run command to end; its status in run_status.
wait_for_end() {
  local limit=$1 start=$SECONDS
  while kill -0 "$run_pid" 2>/dev/null; do
    if [ $((SECONDS - start)) -ge "$limit" ]; then
      run_status=timeout
      return 1
    fi
    sleep 0.5
  done
  wait "$run_pid"
  run_status=$?
  return 0
}
# The user's processes running the program named NAME (by executable: the
# command name that pgrep matches is cut to 15 characters).
program_pids() {
  local pid exe
  for pid in $(user_pids); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
    exe=${exe% (deleted)}
    [ "${exe##*/}" = "$1" ] && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ] && echo "$pid"
  done
  return 0
}
end_agent() {
  local pid
  for pid in $(program_pids corvane-universal) $(program_pids corvane-service); do kill -TERM "$pid" 2>/dev/null; done
  wait_for_end 20 || kill -KILL "$run_pid" 2>/dev/null
  for pid in $(program_pids corvane-universal) $(program_pids corvane-service); do kill -KILL "$pid" 2>/dev/null; done
  local i
  for i in $(seq 1 50); do ports_free && break; sleep 0.2; done
}
show_run() { echo "--- output of the run command:"; cat "$run_out"; echo "---"; }

# ---- 1. a fresh clone, the run command, the key kept private ---------------------
start_run
if wait_for_output "agent ready" "${CORVANE_DESKTOP_BUILD_TIMEOUT:-1500}"; then
  pass "the run command says the agent is ready"
else
  fail "the run command says the agent is ready"
  show_run
fi
if [ -z "$(as_user bash "$CLONE/scripts/install-deps.sh" --run --check 2>/dev/null)" ]; then
  check "with every package installed, no 'not installing' line" eval '! grep -q "not installing" "$run_out"'
fi

settings="$USER_HOME/.config/Corvane/CorvaneJSONPService.conf"
check "the settings hold the TLS key" grep -q '^keyBA=' "$settings"
check "settings folder mode 0700" test "$(stat -c %a "$(dirname "$settings")")" = 700
check "settings file mode 0600" test "$(stat -c %a "$settings")" = 600
nobody_reads() { runuser -u nobody -- cat "$1" >/dev/null 2>&1; }
check "another account cannot read the settings file" eval '! nobody_reads "$settings"'
check "another account cannot read corvane-service" eval '! nobody_reads "$BUILD/bin/corvane-service"'
check "another account cannot read corvane-universal" eval '! nobody_reads "$BUILD/bin/corvane-universal"'
check "another account cannot read tls/leaf.key" eval '! nobody_reads "$BUILD/tls/leaf.key"'
check "another account cannot read tls/root.pem" eval '! nobody_reads "$BUILD/tls/root.pem"'
check "another account cannot list tls/" eval '! runuser -u nobody -- ls "$BUILD/tls" >/dev/null 2>&1'
check "the user can read their own TLS root" as_user test -r "$BUILD/tls/root.pem"

INITIALIZE=$(printf '{"action":"initialize"}' | base64 -w0 | sed 's/=/%3D/g')
jsonp_initialize() {
  curl -s --max-time 30 --cacert "$BUILD/tls/root.pem" \
    "https://127.0.0.1:$JSONP_PORT/?callback=cb&parameters=$INITIALIZE" | grep -q '^cb(\[{"responseCode": "0"'
}
websocket_initialize() {
  node -e '
    const WebSocket = require("ws");
    const ws = new WebSocket("wss://127.0.0.1:16356", {ca: require("fs").readFileSync(process.argv[1])});
    const fail = (why) => { console.log(why); process.exit(1); };
    setTimeout(() => fail("no answer"), 30000);
    ws.on("open", () => ws.send(Buffer.from(JSON.stringify({action: "initialize"})).toString("base64")));
    ws.on("message", (data) => {
      const answer = JSON.parse(data.toString());
      process.exit(answer[0] && answer[0].responseCode === "0" ? 0 : 1);
    });
    ws.on("error", (e) => fail(e.message));' "$BUILD/tls/root.pem"
}
check "JSONP answers initialize" jsonp_initialize
check "the WebSocket answers initialize" websocket_initialize

# ---- 2. Ctrl-C, rebuild, start again: one corvane-service, the new one -----------------
first_service=$(program_pids corvane-service)
check "one corvane-service runs" test "$(echo "$first_service" | wc -w)" = 1
universal=$(program_pids corvane-universal)
kill -INT -- -"$run_pid"  # Ctrl-C
check "Ctrl-C ends the run command" wait_for_end 30
check "Ctrl-C ends corvane-universal" eval '! kill -0 "$universal" 2>/dev/null'
check "corvane-service outlives corvane-universal" kill -0 "$first_service"
as_user touch "$CLONE/service/main.cpp" "$CLONE/universal/main.cpp"
start_run
if wait_for_output "agent ready" "${CORVANE_DESKTOP_RESTART_TIMEOUT:-600}"; then
  pass "the run command says the agent is ready after a rebuild"
else
  fail "the run command says the agent is ready after a rebuild"
  show_run
fi
services=$(program_pids corvane-service)
check "exactly one corvane-service of the user runs" test "$(echo "$services" | wc -w)" = 1
# Ended: gone, or a zombie that init has not reaped yet (corvane-universal
# counts those as gone too; how soon init reaps depends on the machine).
has_ended() { ! kill -0 "$1" 2>/dev/null || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
check "the earlier corvane-service has ended" has_ended "$first_service"
check "the running corvane-service is the rebuilt binary" \
  test "$(readlink "/proc/$(echo "$services" | head -1)/exe")" = "$BUILD/bin/corvane-service"
check "JSONP answers initialize after the restart" jsonp_initialize

as_user timeout 30 "$BUILD/bin/corvane-service" > "$WORK/second.out" 2>&1
second_status=$?
check "a second corvane-service ends with status 0 (was $second_status)" test "$second_status" = 0
check "a second corvane-service says 'Quiting application'" grep -q "Quiting application" "$WORK/second.out"
check "the first corvane-service still serves" jsonp_initialize

# ---- memory given back after large requests -----------------------------------------
# Six requests of 8.5 MB at once (what one page's six connections can send),
# twice: a few seconds after the answers, the service is back near its idle
# size. Then sixteen requests of 2 MB on sixteen connections opened at once,
# so that sixteen handler threads serve them: giving their memory back must
# not take any, neither address space (VmPeak) nor writable mappings (VmData,
# what a data limit counts). A build without sanitizers, such as this one,
# allocates with jemalloc.
service_pid=$(program_pids corvane-service | head -1)
status_value() { awk -v field="$2:" '$1 == field {print $2}' "/proc/$1/status"; }
resident_kib() { status_value "$1" VmRSS; }
# PAD_BYTES FILE: the Base64 "parameters" of an "initialize" with that much padding.
initialize_padded() {
  { printf '{"action":"initialize","pad":"'; head -c "$1" /dev/zero | tr '\0' x; printf '"}'; } | base64 -w0 >"$2"
}
large="$WORK/large-parameters"
initialize_padded 6400000 "$large"
post_large() {
  curl -s --max-time 60 --cacert "$BUILD/tls/root.pem" -H "Expect:" -F callback=cb -F "parameters=<$large" \
    "https://127.0.0.1:$JSONP_PORT/" | grep -q '^cb(\[{"responseCode": "0"'
}
# The service gives memory back once it has had no request for about 1.5 s:
# look for up to 5 s. Sets held_kib, the resident size over idle.
back_near_idle() {
  local tries
  for tries in $(seq 10); do
    held_kib=$(($(resident_kib "$service_pid") - idle_kib))
    [ "$held_kib" -le 40960 ] && return 0
    sleep 0.5
  done
  return 1
}
idle_kib=$(resident_kib "$service_pid")
for round in 1 2; do
  pids=""
  for i in 1 2 3 4 5 6; do post_large & pids="$pids $!"; done
  answered=0
  for pid in $pids; do wait "$pid" && answered=$((answered + 1)); done
  check "six large requests at once are all answered (round $round: $answered)" test "$answered" = 6
done
back_near_idle
check "the service gives back what large requests took (holds $held_kib KiB more than idle)" test "$held_kib" -le 40960

# One curl opens all sixteen connections at once; the multipart body is
# written out whole, as each transfer sends it again.
initialize_padded 1500000 "$WORK/medium-parameters"
{ printf -- '--B\r\nContent-Disposition: form-data; name="callback"\r\n\r\ncb\r\n'
  printf -- '--B\r\nContent-Disposition: form-data; name="parameters"\r\n\r\n'
  cat "$WORK/medium-parameters"; printf -- '\r\n--B--\r\n'; } >"$WORK/medium-body"
mkdir "$WORK/answers"
curl -s -Z --parallel-immediate --parallel-max 16 --max-time 60 --cacert "$BUILD/tls/root.pem" -H "Expect:" \
  -H "Content-Type: multipart/form-data; boundary=B" --data-binary "@$WORK/medium-body" \
  "https://127.0.0.1:$JSONP_PORT/?connection=[1-16]" -o "$WORK/answers/#1" 2>/dev/null
peak_answered=$(status_value "$service_pid" VmPeak)
data_answered=$(status_value "$service_pid" VmData)
answered=$(grep -l '^cb(\[{"responseCode": "0"' "$WORK"/answers/* 2>/dev/null | wc -l)
handlers=$(cat /proc/"$service_pid"/task/*/comm 2>/dev/null | grep -c '^tessaly::HttpCo')
check "sixteen 2 MB requests on sixteen connections are all answered ($answered; $handlers handler threads)" \
  test "$answered" = 16
sleep 3  # past the moment the memory goes back
back_near_idle
check "the service gives back what sixteen connections took (holds $held_kib KiB more than idle)" \
  test "$held_kib" -le 40960
peak_grown=$(($(status_value "$service_pid" VmPeak) - peak_answered))
data_moved=$(($(status_value "$service_pid" VmData) - data_answered))
check "giving it back leaves VmPeak within 64 MiB (grew $peak_grown KiB)" test "$peak_grown" -le 65536
check "giving it back leaves VmData within 64 MiB (moved $data_moved KiB)" test "${data_moved#-}" -le 65536
end_agent

# ---- 3. a held port: said aloud, non-zero status within a minute ----------------------
hold_port_and_run() {  # PORT PROGRAM
  local port=$1 program=$2
  as_user node -e 'require("net").createServer().listen(Number(process.argv[1]), "127.0.0.1")' "$port" &
  holder_pid=$!
  local i
  for i in $(seq 1 100); do ss -Hltn "sport = :$port" | grep -q . && break; sleep 0.1; done
  local started=$SECONDS
  start_run
  if wait_for_end 75; then
    local took=$((SECONDS - started))
    check "with $port held, the run command ends within a minute (took ${took}s)" test "$took" -le 60
    check "with $port held, the run command ends with a non-zero status (was $run_status)" test "$run_status" != 0
  else
    fail "with $port held, the run command ends (still running after 75 s)"
  fi
  check "with $port held, the run command names the port" grep -q "port $port is held by node" "$run_out"
  check "with $port held, the run command does not say ready" eval '! grep -q "agent ready" "$run_out"'
  check "with $port held, $program logs why at ERROR" \
    grep -aq "ERROR.*Cannot listen on 127.0.0.1:$port" "$LOGS/$program.log"
  grep -q "port $port is held" "$run_out" || show_run
  end_agent
  kill "$holder_pid" 2>/dev/null
  wait "$holder_pid" 2>/dev/null
  holder_pid=""
}
hold_port_and_run "$WS_PORT" corvane-universal
hold_port_and_run "$JSONP_PORT" corvane-service

if [ $failures != 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
