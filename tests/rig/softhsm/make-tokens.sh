#!/usr/bin/env bash
# Builds a private set of SoftHSM2 tokens for tests, in <dir> only (nothing
# system-wide is touched).
#
#   tests/rig/softhsm/make-tokens.sh <dir>
#
# Writes:
#   <dir>/softhsm2.conf   export SOFTHSM2_CONF=<dir>/softhsm2.conf before loading
#                         the module (in-process: setenv before the first job)
#   <dir>/tokens/         the token store
#   <dir>/tokens.env      KEY=VALUE lines (no quotes, no blanks; shell-sourceable)
#   <dir>/ca.pem ca.key   the test CA that issued every certificate below
#   <dir>/<name>.key.pem  private key (PKCS#8 PEM), <name>.pem / <name>.der the
#                         certificate, for name in rsa ec256 ec384 expired stray
#
# Tokens (find them by label; slot ids change with every build of the store):
#   corvane-main   user PIN 1234, SO PIN 12345678
#     rsa      RSA-2048 key + certificate, label "rsa-signer",     CKA_ID 01
#     ec256    EC P-256 key + certificate, label "ec256-signer",   CKA_ID 02
#     ec384    EC P-384 key + certificate, label "ec384-signer",   CKA_ID 03
#     expired  RSA-2048 key + expired certificate, "expired-signer", CKA_ID 04
#   corvane-stray  user PIN 1234: one certificate "stray-cert" (CKA_ID 21) whose
#                  private key carries another label "stray-key" and CKA_ID 22,
#                  so only a "first private key on the token" lookup finds it;
#                  and "orphan-cert" (CKA_ID 23), a copy of the rsa certificate
#                  whose private key is not on this token
#   corvane-empty  user PIN 1234, no objects
#
# tokens.env keys:
#   SOFTHSM2_CONF P11_MODULE P11_PIN P11_SO_PIN CA_CERT
#   TOKEN_MAIN TOKEN_STRAY TOKEN_EMPTY              token labels
#   SLOT_MAIN SLOT_STRAY SLOT_EMPTY                 decimal slot ids of this store
#   <N>_SERIAL (decimal) <N>_LABEL <N>_ID (hex) <N>_CERT (PEM path) <N>_CERT_DER
#   <N>_KEY (PEM path) <N>_TOKEN (label), for N in RSA EC256 EC384 EXPIRED STRAY
#   ORPHAN (the orphan's key file is rsa's, which the stray token lacks);
#   STRAY_KEY_LABEL STRAY_KEY_ID for the stray token's key.
#
# Certificates carry distinct serial numbers; EC256_SERIAL is above 2^64 so it
# only works as decimal text. The RSA subject holds serialNumber=12345678901.
# C++ tests can use tests/rig/softhsm/softhsm-fixture.h, which runs this script
# and reads tokens.env. Needs softhsm2-util, pkcs11-tool and openssl (exit 77
# with a message when one is missing, so callers can skip). About 2 s.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <dir>" >&2
  exit 2
fi
for tool in softhsm2-util pkcs11-tool openssl; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "make-tokens: $tool not found" >&2
    exit 77
  fi
done
MODULE=${P11_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
if [ ! -e "$MODULE" ]; then
  echo "make-tokens: SoftHSM module $MODULE not found" >&2
  exit 77
fi

mkdir -p "$1"
DIR=$(cd "$1" && pwd)
PIN=1234
SO_PIN=12345678
rm -rf "$DIR/tokens"
mkdir -p "$DIR/tokens"
cat > "$DIR/softhsm2.conf" <<CONF
directories.tokendir = $DIR/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF="$DIR/softhsm2.conf"

cd "$DIR"
quiet() { "$@" >/dev/null 2>"$DIR/last-error.txt" || { cat "$DIR/last-error.txt" >&2; exit 1; }; }

# --- certificates ------------------------------------------------------------
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -sha256 \
  -subj "/C=TR/O=Corvane Test/CN=Corvane Test CA"
cat > leaf.ext <<EXT
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT

# make_cert <name> <genpkey args> <serial> <days> <subject>
make_cert() {
  local name=$1 keyargs=$2 serial=$3 days=$4 subject=$5
  # shellcheck disable=SC2086
  quiet openssl genpkey $keyargs -out "$name.key.pem"
  quiet openssl req -new -key "$name.key.pem" -subj "$subject" -out "$name.csr"
  quiet openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -set_serial "$serial" \
    -days "$days" -sha256 -extfile leaf.ext -out "$name.pem"
  quiet openssl x509 -in "$name.pem" -outform DER -out "$name.der"
  rm -f "$name.csr"
}
RSA_SERIAL=4660
EC256_SERIAL=98765432109876543210123
EC384_SERIAL=384384
EXPIRED_SERIAL=1001
STRAY_SERIAL=777
make_cert rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" $RSA_SERIAL 730 \
  "/C=TR/O=Corvane Test/serialNumber=12345678901/CN=Test Signer RSA"
make_cert ec256 "-algorithm EC -pkeyopt ec_paramgen_curve:P-256" $EC256_SERIAL 730 \
  "/C=TR/O=Corvane Test/CN=Test Signer EC256"
make_cert ec384 "-algorithm EC -pkeyopt ec_paramgen_curve:P-384" $EC384_SERIAL 730 \
  "/C=TR/O=Corvane Test/CN=Test Signer EC384"
make_cert expired "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" $EXPIRED_SERIAL -1 \
  "/C=TR/O=Corvane Test/CN=Test Signer Expired"
make_cert stray "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" $STRAY_SERIAL 730 \
  "/C=TR/O=Corvane Test/CN=Test Signer Stray"

# --- tokens ------------------------------------------------------------------
init_token() {
  quiet softhsm2-util --init-token --free --label "$1" --so-pin $SO_PIN --pin $PIN
}
# put_key_and_cert <token> <name> <label> <id-hex> [<key label> <key id-hex>]
put_key_and_cert() {
  local token=$1 name=$2 label=$3 id=$4 keylabel=${5:-$3} keyid=${6:-$4}
  quiet softhsm2-util --import "$name.key.pem" --token "$token" --label "$keylabel" --id "$keyid" --pin $PIN
  quiet pkcs11-tool --module "$MODULE" --token-label "$token" --login --pin $PIN \
    --write-object "$name.der" --type cert --id "$id" --label "$label"
}
init_token corvane-main
init_token corvane-stray
init_token corvane-empty
put_key_and_cert corvane-main rsa rsa-signer 01
put_key_and_cert corvane-main ec256 ec256-signer 02
put_key_and_cert corvane-main ec384 ec384-signer 03
put_key_and_cert corvane-main expired expired-signer 04
put_key_and_cert corvane-stray stray stray-cert 21 stray-key 22
quiet pkcs11-tool --module "$MODULE" --token-label corvane-stray --login --pin $PIN \
  --write-object rsa.der --type cert --id 23 --label orphan-cert

# Slot ids of this store, by label.
slot_of() {
  softhsm2-util --show-slots | awk -v want="$1" '
    /^Slot [0-9]+/ { slot = $2 }
    /^[ \t]*Label:/ { sub(/^[ \t]*Label:[ \t]*/, ""); sub(/[ \t]+$/, ""); if ($0 == want) { print slot; exit } }'
}
SLOT_MAIN=$(slot_of corvane-main)
SLOT_STRAY=$(slot_of corvane-stray)
SLOT_EMPTY=$(slot_of corvane-empty)
if [ -z "$SLOT_MAIN" ] || [ -z "$SLOT_STRAY" ] || [ -z "$SLOT_EMPTY" ]; then
  echo "make-tokens: cannot find the slots of the new tokens" >&2
  exit 1
fi

{
  echo "SOFTHSM2_CONF=$DIR/softhsm2.conf"
  echo "P11_MODULE=$MODULE"
  echo "P11_PIN=$PIN"
  echo "P11_SO_PIN=$SO_PIN"
  echo "CA_CERT=$DIR/ca.pem"
  echo "TOKEN_MAIN=corvane-main"
  echo "TOKEN_STRAY=corvane-stray"
  echo "TOKEN_EMPTY=corvane-empty"
  echo "SLOT_MAIN=$SLOT_MAIN"
  echo "SLOT_STRAY=$SLOT_STRAY"
  echo "SLOT_EMPTY=$SLOT_EMPTY"
  entry() {  # entry <PREFIX> <name> <serial> <label> <id> <token>
    echo "$1_SERIAL=$3"
    echo "$1_LABEL=$4"
    echo "$1_ID=$5"
    echo "$1_CERT=$DIR/$2.pem"
    echo "$1_CERT_DER=$DIR/$2.der"
    echo "$1_KEY=$DIR/$2.key.pem"
    echo "$1_TOKEN=$6"
  }
  entry RSA rsa $RSA_SERIAL rsa-signer 01 corvane-main
  entry EC256 ec256 $EC256_SERIAL ec256-signer 02 corvane-main
  entry EC384 ec384 $EC384_SERIAL ec384-signer 03 corvane-main
  entry EXPIRED expired $EXPIRED_SERIAL expired-signer 04 corvane-main
  entry STRAY stray $STRAY_SERIAL stray-cert 21 corvane-stray
  entry ORPHAN rsa $RSA_SERIAL orphan-cert 23 corvane-stray
  echo "STRAY_KEY_LABEL=stray-key"
  echo "STRAY_KEY_ID=22"
} > tokens.env.tmp
mv tokens.env.tmp tokens.env
rm -f leaf.ext last-error.txt
echo "make-tokens: tokens ready in $DIR (see $DIR/tokens.env)"
