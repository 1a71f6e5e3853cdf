#!/usr/bin/env bash
# Installs the Debian 12 packages Corvane needs (as root).
#
#   bash scripts/install-deps.sh          building, running and testing (the test command)
#   bash scripts/install-deps.sh --run    only building and running the agent (the run command)
#   ... --check (after the above)         installs nothing: lists the packages not installed yet
set -euo pipefail
case "${1:-}" in
  "" | --check) with_tests=1 ;;
  --run) with_tests=0 ;;
  *) echo "usage: $0 [--run] [--check]" >&2; exit 2 ;;
esac
check=0
if [ "${1:-}" = --check ] || [ "${2:-}" = --check ]; then check=1; fi

# Compiler, the libraries the two programs link (jemalloc: corvane-service's
# allocator), openssl for the build's TLS chain, pcscd to reach card readers,
# and certutil for trusting the chain in the browser.
run_packages=(
  build-essential cmake pkg-config ca-certificates openssl
  qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev libssl-dev
  libpugixml-dev libexpat1-dev libxml2-dev libeasyloggingpp-dev libpcsclite-dev libp11-kit-dev libjemalloc-dev
  pcscd procps iproute2 libnss3-tools
)
# The test suite, its card rig and its peers (SoftHSM, OpenSC, xmlsec1, curl,
# node, Chromium), the clang fuzz build and the benchmarks' load generator.
test_packages=(
  git libgtest-dev libgmock-dev
  vsmartcard-vpcd pcsc-tools softhsm2 opensc libengine-pkcs11-openssl
  xmlsec1 libxml2-utils chromium wrk curl nodejs node-ws
  clang libclang-rt-14-dev iproute2
)
packages=("${run_packages[@]}")
[ $with_tests = 1 ] && packages+=("${test_packages[@]}")

if [ $check = 1 ]; then
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' || echo "$package"
  done
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
