#!/usr/bin/env bash
# Generates the TLS material of the loopback endpoints into OUTDIR:
#   root.pem    self-signed root, name-constrained to 127.0.0.1, ::1 and localhost
#               (kept so tests and users can trust it; its key is destroyed)
#   interm.pem  intermediate CA signed by the root
#   leaf.pem    server certificate for 127.0.0.1, ::1 and localhost
#   leaf.key    the server's RSA key (PKCS#1 PEM, no pass phrase)
# Every build makes its own chain; no private key is ever committed.
set -euo pipefail
OUT=${1:?usage: gen-tls-material.sh OUTDIR}
mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

cat > root.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Corvane Local Root (this machine only)
O = Corvane
[ext]
basicConstraints = critical,CA:true,pathlen:1
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
nameConstraints = critical,permitted;IP:127.0.0.1/255.255.255.255,permitted;IP:0:0:0:0:0:0:0:1/FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF,permitted;DNS:localhost
CNF
cat > interm.cnf <<'CNF'
[ext]
basicConstraints = critical,CA:true,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
cat > leaf.cnf <<'CNF'
[ext]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,IP:0:0:0:0:0:0:0:1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

openssl genrsa -out root.key 2048 2>/dev/null
openssl req -new -x509 -key root.key -config root.cnf -extensions ext -days 3650 -sha256 -out root.pem
openssl genrsa -out interm.key 2048 2>/dev/null
openssl req -new -key interm.key -subj "/O=Corvane/CN=Corvane Local Intermediate" -out interm.csr
openssl x509 -req -in interm.csr -CA root.pem -CAkey root.key -set_serial 0x$(openssl rand -hex 8) \
  -days 3650 -sha256 -extfile interm.cnf -extensions ext -out interm.pem 2>/dev/null
openssl genrsa -traditional -out leaf.key 2048 2>/dev/null
openssl req -new -key leaf.key -subj "/O=Corvane/CN=127.0.0.1" -out leaf.csr
openssl x509 -req -in leaf.csr -CA interm.pem -CAkey interm.key -set_serial 0x$(openssl rand -hex 8) \
  -days 397 -sha256 -extfile leaf.cnf -extensions ext -out leaf.pem 2>/dev/null
openssl verify -CAfile root.pem -untrusted interm.pem leaf.pem >/dev/null

cp root.pem interm.pem leaf.pem leaf.key "$OUT"/
chmod 600 "$OUT"/leaf.key
