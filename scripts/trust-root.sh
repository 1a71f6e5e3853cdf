#!/usr/bin/env bash
# Trusts the build's TLS root for this user's browsers, so that pages reach
# the agent on https://127.0.0.1:16357 and wss://127.0.0.1:16356.
#
#   bash scripts/trust-root.sh [build-dir]      (default: build)
#
# It adds <build-dir>/tls/root.pem as "Corvane local root", trusted to issue
# TLS server certificates ("C,,"), to every NSS database of the user's
# browsers, and replaces an earlier certificate of that name there:
# - Chromium and Chrome: ~/.pki/nssdb, and ~/.local/share/pki/nssdb, where
#   Debian 12's Chromium makes its database on a home without ~/.pki/nssdb.
#   Where neither exists, ~/.pki/nssdb is made: every Chromium and Chrome
#   reads that one first.
# - Firefox: cert9.db of each profile in ~/.mozilla/firefox.
# Trust belongs to one user: run it as yourself. Started through sudo it
# works for the user who called sudo, as that user, with that user's HOME.
set -euo pipefail

NICKNAME="Corvane local root"
TRUST="C,,"

say() { echo "corvane: $*"; }
fail() { echo "corvane: $*" >&2; exit 1; }

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(realpath -m "${1:-$source_dir/build}")
root_pem=$build_dir/tls/root.pem

# Through sudo: the same script as the calling user, with that user's HOME,
# never as root into root's HOME (or, with a kept HOME, root-owned files in
# the user's home).
if [ "$(id -u)" = 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  user_home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
  [ -n "$user_home" ] || fail "no home folder known for $SUDO_USER"
  say "started through sudo: trusting the root for $SUDO_USER, as $SUDO_USER"
  exec runuser -u "$SUDO_USER" -- env -u SUDO_USER -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_RUNTIME_DIR \
    HOME="$user_home" USER="$SUDO_USER" LOGNAME="$SUDO_USER" bash "$source_dir/scripts/trust-root.sh" "$build_dir"
fi

command -v certutil >/dev/null ||
  fail "certutil is missing (Debian package libnss3-tools: sudo bash scripts/install-deps.sh --run)"
[ -n "${HOME:-}" ] && [ -d "$HOME" ] || fail "HOME (${HOME:-not set}) is not a folder"
# A HOME of another user (sudo -E, su without -) would get databases that
# its owner cannot use, and trust the owner never gave.
home_owner=$(stat -c %u "$HOME")
[ "$home_owner" = "$(id -u)" ] ||
  fail "HOME ($HOME) belongs to $(id -nu "$home_owner" 2>/dev/null || echo "uid $home_owner"), not to $(id -un): run this as that user"
[ -e "$root_pem" ] || fail "no root certificate at $root_pem (build the agent first: bash scripts/run-agent.sh)"
[ -r "$root_pem" ] || fail "$root_pem is not readable by $(id -un)"
fingerprint=$(openssl x509 -in "$root_pem" -noout -fingerprint -sha256 2>/dev/null | cut -d= -f2) ||
  fail "$root_pem is not a PEM certificate"
[ -n "$fingerprint" ] || fail "$root_pem is not a PEM certificate"
# The certificate's Base64 body, to recognise it in certutil's listing.
pem_body() { sed -e '/-----/d' | tr -d ' \r\n'; }
root_body=$(pem_body <"$root_pem")

say "root certificate $root_pem"
say "  SHA-256 fingerprint $fingerprint"
say "trusting it for $(id -un) (HOME $HOME) as \"$NICKNAME\""

# Puts the root into one database (sql:DIR) under NICKNAME, in place of every
# earlier certificate of that name; `what` names the database in messages.
trust_in() {
  local db=$1 what=$2 listed count earlier=0 n
  listed=$(certutil -L -d "sql:$db" -n "$NICKNAME" -a 2>/dev/null || true)
  count=$(grep -c -- "-----BEGIN CERTIFICATE-----" <<<"$listed" || true)
  if [ "$count" = 1 ] && [ "$(pem_body <<<"$listed")" = "$root_body" ]; then
    certutil -M -d "sql:$db" -n "$NICKNAME" -t "$TRUST" ||
      fail "$what: certutil could not set the trust of \"$NICKNAME\""
    say "$what: already holds this root; trust set"
    return
  fi
  # certutil -D removes one certificate of the name per call.
  for ((n = 0; n < count; n++)); do
    certutil -D -d "sql:$db" -n "$NICKNAME" 2>/dev/null && earlier=$((earlier + 1))
  done
  certutil -L -d "sql:$db" -n "$NICKNAME" >/dev/null 2>&1 &&
    fail "$what: an earlier \"$NICKNAME\" could not be removed"
  certutil -A -d "sql:$db" -n "$NICKNAME" -t "$TRUST" -i "$root_pem" ||
    fail "$what: certutil could not add the root"
  if [ "$earlier" -gt 0 ]; then
    say "$what: replaced $earlier earlier \"$NICKNAME\" by this root"
  else
    say "$what: added this root"
  fi
}

databases=0
chromium_dbs=("$HOME/.pki/nssdb" "$HOME/.local/share/pki/nssdb")
found=0
for db in "${chromium_dbs[@]}"; do
  [ -f "$db/cert9.db" ] && found=1
done
if [ $found = 0 ]; then
  db=${chromium_dbs[0]}
  mkdir -p "$db"
  chmod 700 "$HOME/.pki" "$db"
  certutil -N -d "sql:$db" --empty-password || fail "$db: certutil could not make a database"
  say "$db: made a new NSS database for Chromium and Chrome"
fi
for db in "${chromium_dbs[@]}"; do
  if [ -f "$db/cert9.db" ]; then
    trust_in "$db" "$db (Chromium, Chrome)"
    databases=$((databases + 1))
  fi
done
for db in "$HOME"/.mozilla/firefox/*/; do
  db=${db%/}
  if [ -f "$db/cert9.db" ]; then
    trust_in "$db" "$db (Firefox)"
    databases=$((databases + 1))
  fi
done
say "done: the root is trusted in $databases NSS database(s); restart a browser that is running now"
say "(a build in a fresh folder has a root of its own: run this again for it)"
