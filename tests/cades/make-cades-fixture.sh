#!/bin/bash
# Builds the keys, certificates and SoftHSM token the CAdES tests sign with.
#   make-cades-fixture.sh DIR
# DIR receives: softhsm2.conf, tokens/, ca.pem (both test CAs), one
# <name>.crt.pem / <name>.crt.der per signer, and slot.txt with the slot of
# the token "cades" (user PIN 735291).
# Signers: rsa (serial with the top bit set), rsa-long (issuer with a long
# name), p256, p384, p521 (a curve the builder does not sign with).
set -euo pipefail

dir=${1:?usage: make-cades-fixture.sh DIR}
module=${SOFTHSM_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
mkdir -p "$dir/tokens"
cd "$dir"

cat > softhsm2.conf <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF=$dir/softhsm2.conf

cat > ca.ext <<'CONF'
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CONF
cat > signer.ext <<'CONF'
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CONF

make_ca() { # name subject
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key.pem" 2>/dev/null
    openssl req -new -x509 -key "$1.key.pem" -subj "$2" -days 3650 -sha256 \
        -set_serial 1 -extensions v3 -config <(printf '[req]\ndistinguished_name=dn\n[dn]\n[v3]\n'; cat ca.ext) \
        -out "$1.crt.pem"
}
make_ca ca-short "/C=TR/O=Corvane/CN=Corvane Test CA"
make_ca ca-long "/C=TR/O=Corvane Elektronik Imza Test Hizmetleri Anonim Sirketi/OU=Nitelikli Elektronik Sertifika Hizmet Saglayicisi Test Birimi/CN=Corvane Uzun Adli Test Sertifika Makami"
cat ca-short.crt.pem ca-long.crt.pem > ca.pem

make_signer() { # name keyopts ca serial cn
    local name=$1 ca=$3 serial=$4 cn=$5
    # shellcheck disable=SC2086
    openssl genpkey $2 -out "$name.key.pem" 2>/dev/null
    openssl req -new -key "$name.key.pem" -subj "/C=TR/O=Corvane/CN=$cn" -out "$name.csr" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA "$ca.crt.pem" -CAkey "$ca.key.pem" -set_serial "$serial" \
        -days 1000 -sha256 -extfile signer.ext -out "$name.crt.pem" 2>/dev/null
    openssl x509 -in "$name.crt.pem" -outform DER -out "$name.crt.der"
}
make_signer rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" ca-short 0x8A0102030405060708 "Corvane RSA Signer"
make_signer rsa-long "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" ca-long 0x1234 "Corvane RSA Long Issuer Signer"
make_signer p256 "-algorithm EC -pkeyopt ec_paramgen_curve:P-256" ca-short 0x2561 "Corvane P-256 Signer"
make_signer p384 "-algorithm EC -pkeyopt ec_paramgen_curve:P-384" ca-short 0x3841 "Corvane P-384 Signer"
make_signer p521 "-algorithm EC -pkeyopt ec_paramgen_curve:P-521" ca-short 0x5211 "Corvane P-521 Signer"

out=$(softhsm2-util --init-token --free --label cades --so-pin 12345678 --pin 735291)
slot=$(sed -n 's/.*reassigned to slot \([0-9]*\).*/\1/p' <<<"$out")
[ -n "$slot" ] || { echo "no slot in: $out" >&2; exit 1; }
echo "$slot" > slot.txt

id=1
for name in rsa rsa-long p256 p384 p521; do
    hexid=$(printf '%02x' $id)
    softhsm2-util --import "$name.key.pem" --token cades --label "$name" --id "$hexid" --pin 735291 >/dev/null
    pkcs11-tool --module "$module" --token-label cades --login --pin 735291 \
        --write-object "$name.crt.der" --type cert --id "$hexid" --label "$name" >/dev/null 2>&1
    id=$((id + 1))
done
