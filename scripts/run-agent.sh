#!/usr/bin/env bash
# Installs what building and running the agent needs, builds the two programs
# into build/bin/ and starts the agent: corvane-universal, which starts
# corvane-service beside itself (ending an earlier one of the same user). Says
# "agent ready" once both endpoints answer, or which port is held, and ends
# with a non-zero status, when one cannot serve. Ctrl-C ends corvane-universal;
# corvane-service runs on until its process is ended.
#
# Installing packages and starting pcscd need root; the agent does not and
# never runs as root when it can help it: started through sudo, the build and
# the agent run as the user who called sudo, with that user's HOME (settings,
# browser trust store), so the build folder stays theirs. Started as a plain
# user, the packages are expected to be there already (install-deps.sh --run).
# SKIP_INSTALL=1 skips the package step.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=build

say() { echo "corvane: $*"; }

# The command prefix that runs a command as the invoking user when started
# through sudo (empty otherwise).
run_user=""
as_user=()
if [ "$(id -u)" = 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  run_user=$SUDO_USER
  as_user=(runuser -u "$run_user" -- env -u XDG_CONFIG_HOME -u XDG_RUNTIME_DIR
           HOME="$(getent passwd "$run_user" | cut -d: -f6)" USER="$run_user" LOGNAME="$run_user")
fi

if [ "${SKIP_INSTALL:-0}" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then
    bash scripts/install-deps.sh --run
  else
    missing=$(bash scripts/install-deps.sh --run --check | tr '\n' ' ')
    if [ -n "$missing" ]; then
      say "not root: not installing packages; missing: ${missing% } (once, as root: bash scripts/install-deps.sh --run)"
    fi
  fi
fi

# From here on nothing that is made (build folder, TLS material, logs) is
# readable by other users; CMake keeps the build folder itself private too.
umask 077

# The build belongs to whoever will run the agent. A user's own clone is built
# as that user; a build folder left there by an earlier run as root is handed
# back first. A tree the user does not own is built as root and the build
# folder handed to the user after: it is readable by its owner only, and the
# programs write their logs below their own folder.
builder=("${as_user[@]}")
if [ -n "$run_user" ]; then
  if [ "$(stat -c %U "$ROOT")" = "$run_user" ]; then
    if [ -e "$BUILD" ] && [ -n "$(find "$BUILD" ! -user "$run_user" -print -quit)" ]; then
      chown -R "$run_user:" "$BUILD"
    fi
  else
    builder=()
  fi
fi
"${builder[@]}" cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=OFF \
  -DCORVANE_SANITIZE=OFF -DCORVANE_TSAN=OFF -DCORVANE_FUZZ=OFF >/dev/null
"${builder[@]}" cmake --build "$BUILD" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target corvane-service corvane-universal
if [ -n "$run_user" ] && [ ${#builder[@]} = 0 ]; then
  # The build folder is private to its owner: hand it to the user who runs it.
  mkdir -p "$BUILD/bin/logs"
  chown -R "$run_user:" "$BUILD"
fi
if ! "${as_user[@]}" test -x "$BUILD/bin/corvane-universal"; then
  say "${run_user:-this user} cannot run $ROOT/$BUILD/bin/corvane-universal; clone Corvane into a folder of that user"
  exit 1
fi

say "TLS server certificate valid until $(openssl x509 -in "$BUILD/tls/leaf.pem" -noout -enddate | cut -d= -f2)"
say "root certificate for the browser: $ROOT/$BUILD/tls/root.pem (see README.md)"
if [ "$(id -u)" = 0 ]; then
  # Without systemd, a pcscd of its own session: Ctrl-C in this terminal must not end it.
  systemctl start pcscd.socket 2>/dev/null || pgrep -x pcscd >/dev/null ||
    setsid -f pcscd </dev/null >/dev/null 2>&1 || true
fi

agent_user=${run_user:-$(id -un)}
say "starting $ROOT/$BUILD/bin/corvane-universal as $agent_user: wss://127.0.0.1:16356 and https://127.0.0.1:16357"
# corvane-universal runs in its own process group (job control on), with the
# default signal actions; Ctrl-C and the other ending signals reach this script,
# which hands them on. corvane-service, which it starts, runs on after it.
set -m
"${as_user[@]}" "$BUILD/bin/corvane-universal" &
agent=$!
set +m
trap 'kill -INT "$agent" 2>/dev/null || true' INT
trap 'kill -TERM "$agent" 2>/dev/null || true' TERM HUP

# The process (name and PID) listening on a port, where ss can tell.
port_holder() {
  command -v ss >/dev/null || return 0
  ss -Hltnp "sport = :$1" 2>/dev/null | sed -nE 's/.*users:\(\("([^"]*)",pid=([0-9]+).*/\1 (PID \2)/p' | head -1
}

# Says why PROGRAM could not serve PORT, from the port's holder and the
# program's log; then ends corvane-universal and this script.
fail() {
  local port=$1 program=$2 holder
  holder=$(port_holder "$port")
  if [ -n "$holder" ]; then
    say "port $port is held by $holder: $program cannot listen on it"
  elif (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    say "port $port is held by another program (of another user): $program cannot listen on it"
  else
    say "$program does not serve port $port"
  fi
  local why
  why=$(grep -a ' ERROR ' "$BUILD/bin/logs/$program.log" 2>/dev/null | tail -1 || true)
  [ -z "$why" ] || say "its log ($ROOT/$BUILD/bin/logs/$program.log): $why"
  if kill -0 "$agent" 2>/dev/null; then
    kill -TERM "$agent" 2>/dev/null || true
    wait "$agent" 2>/dev/null || true
  fi
  exit 1
}

# One exchange over TLS with the endpoint on PORT, checked against this
# build's root certificate (another program on the port fails here); the
# request comes on standard input, the answer is printed.
tls_exchange() {
  timeout 5 openssl s_client -quiet -connect "127.0.0.1:$1" -servername 127.0.0.1 \
    -CAfile "$BUILD/tls/root.pem" -verify_return_error 2>/dev/null | tr -d '\0' || true
}

# {"action":"initialize"}, Base64, URL-encoded.
INITIALIZE=eyJhY3Rpb24iOiJpbml0aWFsaXplIn0%3D
jsonp_answers() {
  local answer
  answer=$(printf 'GET /?callback=ready&parameters=%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' \
    "$INITIALIZE" | tls_exchange 16357) || true
  grep -aq 'ready(\[{"responseCode": "0"' <<<"$answer"
}
# The WebSocket opening handshake, "initialize" in one masked text frame (mask
# zero), time for the answer, then a close frame.
websocket_answers() {
  local answer
  answer=$({ printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:16356\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
    printf 'Sec-WebSocket-Key: Y29ydmFuZS1yZWFkeS1jaGs=\r\nSec-WebSocket-Version: 13\r\n\r\n'
    sleep 0.2
    printf '\x81\xa0\x00\x00\x00\x00%s' "$(printf %s "$INITIALIZE" | sed 's/%3D/=/')"
    sleep 1
    printf '\x88\x80\x00\x00\x00\x00'; } | tls_exchange 16356) || true
  grep -aq '"responseCode": *"0"' <<<"$answer"
}
service_runs() { pgrep -u "$agent_user" -x corvane-service >/dev/null; }

# Both endpoints answer, or the reason is said, within a minute.
started=$SECONDS
while :; do
  if ! kill -0 "$agent" 2>/dev/null; then
    fail 16356 corvane-universal
  fi
  jsonp=0
  jsonp_answers && jsonp=1
  if [ $jsonp = 1 ] && websocket_answers; then break; fi
  # corvane-service ends at once when it cannot listen; corvane-universal
  # starts it within its first second.
  if [ $jsonp = 0 ] && [ $((SECONDS - started)) -ge 5 ] && ! service_runs; then
    fail 16357 corvane-service
  fi
  if [ $((SECONDS - started)) -ge 40 ]; then
    if [ $jsonp = 0 ]; then fail 16357 corvane-service; else fail 16356 corvane-universal; fi
  fi
  sleep 0.5
done
say "agent ready: wss://127.0.0.1:16356 and https://127.0.0.1:16357 answer (Ctrl-C ends corvane-universal)"

status=0
while kill -0 "$agent" 2>/dev/null; do
  wait "$agent" && status=0 || status=$?
done
exit $status
