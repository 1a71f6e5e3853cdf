#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test Corvane.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config git ca-certificates \
  qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev libssl-dev openssl \
  libpugixml-dev libeasyloggingpp-dev libpcsclite-dev libp11-kit-dev \
  libgtest-dev libgmock-dev \
  pcscd vsmartcard-vpcd pcsc-tools softhsm2 opensc libengine-pkcs11-openssl \
  xmlsec1 libxml2-utils libnss3-tools chromium wrk curl nodejs node-ws \
  clang libclang-rt-14-dev procps iproute2 >/dev/null
