#!/usr/bin/env bash
# Starts and stops the pcscd of the PC/SC test rig: virtual vpcd readers, one
# of them behind our PIN-pad driver, as tests/rig/cardsim/rig-readers.h lists.
#
#   BUILD_DIR=<build dir> tests/rig/pcscd-rig.sh start|stop|status
#
# start  builds $BUILD_DIR/rig/reader.conf.d (one copy of a driver per reader
#        entry, as pcscd needs), stops any other pcscd on the machine (there
#        can be only one) and records in $BUILD_DIR/rig/stopped what it
#        stopped (the systemd units pcscd.socket and pcscd.service that were
#        active, or the command line of a pcscd started otherwise), starts `pcscd --foreground --apdu --debug -c <dir>`
#        in the background logging to $BUILD_DIR/rig/pcscd.log, waits until
#        /run/pcscd/pcscd.comm exists and records the PID in
#        $BUILD_DIR/rig/pcscd.pid. Needs root and a built rig
#        (targets corvane-cardsim-cli and corvane-pinpad).
# stop   stops the pcscd recorded in the PID file (SIGTERM, then SIGKILL);
#        without BUILD_DIR, the rig's pcscd whichever build dir started it.
#        Then starts again what start stopped.
# status tells whether it runs and lists the readers.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR_GIVEN=${BUILD_DIR:+1}
BUILD_DIR=${BUILD_DIR:-build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
RIG_DIR="$BUILD_DIR/rig"
CONF_DIR="$RIG_DIR/reader.conf.d"
DRIVER_DIR="$RIG_DIR/drivers"
PID_FILE="$RIG_DIR/pcscd.pid"
STOPPED_FILE="$RIG_DIR/stopped"
LOG_FILE="$RIG_DIR/pcscd.log"
CLI="$BUILD_DIR/tests/rig/corvane-cardsim-cli"
PINPAD="$BUILD_DIR/tests/rig/libcorvane-pinpad.so"
VPCD=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
COMM=/run/pcscd/pcscd.comm

say() { echo "pcscd-rig: $*"; }
die() { echo "pcscd-rig: $*" >&2; exit 1; }

# The PID of a live pcscd recorded in the PID file, or nothing.
recorded_pid() {
  [ -f "$PID_FILE" ] || return 0
  local pid
  pid=$(cat "$PID_FILE" 2>/dev/null || true)
  if [[ "$pid" =~ ^[0-9]+$ ]] && [ "$(cat /proc/"$pid"/comm 2>/dev/null || true)" = pcscd ] &&
     [ "$(awk '{print $3}' /proc/"$pid"/stat 2>/dev/null)" != Z ]; then
    echo "$pid"
  fi
}

# Every running pcscd (by exact process name, zombies left out), one PID a line.
running_pcscds() {
  local pid
  for pid in $(pgrep -x pcscd || true); do
    [ "$(awk '{print $3}' /proc/"$pid"/stat 2>/dev/null)" = Z ] || echo "$pid"
  done
}

stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 50); do
    [ -d /proc/"$pid" ] && [ "$(awk '{print $3}' /proc/"$pid"/stat 2>/dev/null)" != Z ] || return 0
    sleep 0.1
  done
  say "pcscd $pid did not stop on SIGTERM; sending SIGKILL"
  kill -KILL "$pid" 2>/dev/null || true
  sleep 0.2
}

build_conf() {
  [ -x "$CLI" ] || die "$CLI missing: build the rig first (cmake --build $BUILD_DIR --target corvane-cardsim-cli corvane-pinpad)"
  [ -f "$PINPAD" ] || die "$PINPAD missing: build the rig first (target corvane-pinpad)"
  [ -f "$VPCD" ] || die "$VPCD missing: install vsmartcard-vpcd"
  rm -rf "$CONF_DIR" "$DRIVER_DIR"
  mkdir -p "$CONF_DIR" "$DRIVER_DIR"
  # One file keeps the entries, and so the reader order, as written.
  ASAN_OPTIONS=detect_leaks=0 "$CLI" reader-conf "$DRIVER_DIR" > "$CONF_DIR/corvane-rig"
  local lib
  while read -r lib; do
    case "$(basename "$lib")" in
      libcorvane-pinpad-*) cp "$PINPAD" "$lib"; cp "$VPCD" "$lib.vpcd" ;;
      *) cp "$VPCD" "$lib" ;;
    esac
  done < <(awk '$1 == "LIBPATH" {print $2}' "$CONF_DIR/corvane-rig")
}

start() {
  [ "$(id -u)" = 0 ] || die "pcscd must run as root"
  command -v pcscd >/dev/null || die "pcscd not installed"
  local pid
  pid=$(recorded_pid)
  if [ -n "$pid" ]; then
    say "already running (PID $pid, config $CONF_DIR)"
    return 0
  fi
  mkdir -p "$RIG_DIR"
  # What is stopped here, "unit NAME" or "command ARGS..." lines, for stop to
  # bring back. A record left by a start whose stop never ran is kept.
  [ -f "$STOPPED_FILE" ] || : > "$STOPPED_FILE"
  local unit
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    for unit in pcscd.socket pcscd.service; do
      if systemctl is-active --quiet "$unit"; then echo "unit $unit" >> "$STOPPED_FILE"; fi
    done
    systemctl stop pcscd.socket pcscd.service >/dev/null 2>&1 || true
  fi
  local other
  for other in $(running_pcscds); do
    say "stopping the pcscd already running (PID $other: $(tr '\0' ' ' < /proc/"$other"/cmdline 2>/dev/null)); only one pcscd can run"
    # Still running once systemd's units are stopped: started by other means.
    echo "command $(tr '\0' '\n' < /proc/"$other"/cmdline | while IFS= read -r arg; do printf '%q ' "$arg"; done)" >> "$STOPPED_FILE"
    stop_pid "$other"
  done
  [ -z "$(running_pcscds)" ] || die "another pcscd is still running: $(running_pcscds | tr '\n' ' ')"
  build_conf
  # No pcscd runs now: a socket left over would make the wait below pass too early.
  rm -f "$COMM"
  : > "$LOG_FILE"
  # Own session, so the caller's process group being signalled leaves it alone.
  setsid pcscd --foreground --apdu --debug -c "$CONF_DIR" < /dev/null >> "$LOG_FILE" 2>&1 &
  pid=$!
  local i
  for i in $(seq 1 100); do
    [ -S "$COMM" ] && break
    [ -d /proc/"$pid" ] || break
    sleep 0.05
  done
  if [ ! -S "$COMM" ] || [ ! -d /proc/"$pid" ]; then
    stop_pid "$pid"
    tail -20 "$LOG_FILE" >&2 || true
    die "pcscd did not start (log: $LOG_FILE)"
  fi
  echo "$pid" > "$PID_FILE"
  say "pcscd started (PID $pid, config $CONF_DIR, log $LOG_FILE)"
}

# A running pcscd started by this script from any build dir: "PID CONF_DIR" lines.
rig_pcscds() {
  local pid conf
  for pid in $(running_pcscds); do
    conf=$(tr '\0' '\n' < /proc/"$pid"/cmdline 2>/dev/null | awk 'prev == "-c" {print; exit} {prev = $0}')
    case "$conf" in */rig/reader.conf.d) echo "$pid $conf" ;; esac
  done
}

stop() {
  local pid
  pid=$(recorded_pid)
  if [ -z "$pid" ]; then
    rm -f "$PID_FILE"
    if [ -n "$BUILD_DIR_GIVEN" ]; then
      say "no rig pcscd recorded in $PID_FILE"
      restore "$STOPPED_FILE"
      return 0
    fi
    # No build dir named: stop the rig's pcscd whichever build dir started it.
    local conf found=0
    while read -r pid conf; do
      [ -n "$pid" ] || continue
      found=1
      stop_pid "$pid"
      rm -f "$(dirname "$conf")/pcscd.pid"
      say "pcscd $pid stopped (config $conf)"
      restore "$(dirname "$conf")/stopped"
    done < <(rig_pcscds)
    [ $found = 1 ] || say "no rig pcscd running"
    restore "$STOPPED_FILE"
    return 0
  fi
  stop_pid "$pid"
  rm -f "$PID_FILE"
  say "pcscd $pid stopped"
  restore "$STOPPED_FILE"
}

# Starts again what start stopped, as recorded in FILE, and removes the record.
restore() {
  local file=$1 kind what
  [ -f "$file" ] || return 0
  while read -r kind what; do
    case "$kind" in
      unit)
        if systemctl start "$what"; then say "started $what again"; else say "could not start $what again"; fi ;;
      command)
        # Its own session, like the rig's pcscd: not tied to this terminal.
        if eval "setsid -f $what" </dev/null >/dev/null 2>&1; then
          say "started again: $what"
        else
          say "could not start again: $what"
        fi ;;
    esac
  done < <(awk '!seen[$0]++' "$file")
  rm -f "$file"
}

status() {
  local pid
  pid=$(recorded_pid)
  if [ -z "$pid" ]; then
    say "not running from $BUILD_DIR"
    local other
    for other in $(running_pcscds); do say "a pcscd runs with PID $other: $(tr '\0' ' ' < /proc/"$other"/cmdline)"; done
    return 1
  fi
  say "running (PID $pid, config $CONF_DIR, log $LOG_FILE)"
  if [ -x "$CLI" ]; then ASAN_OPTIONS=detect_leaks=0 "$CLI" readers || true; fi
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) echo "usage: BUILD_DIR=<build dir> $0 start|stop|status" >&2; exit 2 ;;
esac
