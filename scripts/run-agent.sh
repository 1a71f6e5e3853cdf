#!/usr/bin/env bash
# Installs the dependencies, builds and starts the agent (corvane-universal,
# which starts corvane-service beside itself). Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${SKIP_INSTALL:-0}" = 1 ] || bash scripts/install-deps.sh
BUILD_DIR=build bash scripts/build.sh
systemctl start pcscd.socket 2>/dev/null || pgrep -x pcscd >/dev/null || pcscd || true
exec build/bin/corvane-universal
