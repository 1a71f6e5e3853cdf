#!/usr/bin/env bash
# Installs what building and running the agent needs, builds the two programs
# into build/bin/ and starts the agent: corvane-universal, which starts
# corvane-service beside itself. Ctrl-C ends corvane-universal; corvane-service
# runs on until its process is ended.
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
    say "not root: not installing packages (once, as root: bash scripts/install-deps.sh --run)"
  fi
fi

# The build belongs to whoever will run the agent. A user's own clone is built
# as that user; a build folder left there by an earlier run as root is handed
# back first. A tree the user does not own is built as root, and the user gets
# only the log folder, which the programs write below their own folder.
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
"${builder[@]}" cmake --build "$BUILD" -j"$(nproc)" --target corvane-service corvane-universal
if [ -n "$run_user" ] && [ ${#builder[@]} = 0 ]; then
  mkdir -p "$BUILD/bin/logs"
  chown -R "$run_user:" "$BUILD/bin/logs"
fi
if ! "${as_user[@]}" test -x "$BUILD/bin/corvane-universal"; then
  say "${run_user:-this user} cannot run $ROOT/$BUILD/bin/corvane-universal; clone Corvane into a folder of that user"
  exit 1
fi

say "TLS server certificate valid until $(openssl x509 -in "$BUILD/tls/leaf.pem" -noout -enddate | cut -d= -f2)"
say "root certificate for the browser: $ROOT/$BUILD/tls/root.pem (see README.md)"
if [ "$(id -u)" = 0 ]; then
  systemctl start pcscd.socket 2>/dev/null || pgrep -x pcscd >/dev/null || pcscd || true
fi
say "starting $ROOT/$BUILD/bin/corvane-universal as ${run_user:-$(id -un)}: wss://127.0.0.1:16356 and https://127.0.0.1:16357"
exec "${as_user[@]}" "$BUILD/bin/corvane-universal"
