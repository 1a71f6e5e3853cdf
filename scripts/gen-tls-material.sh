#!/usr/bin/env bash
# Generates the TLS material of the loopback endpoints into OUTDIR:
#   root.pem    self-signed root, name-constrained to 127.0.0.1, ::1 and localhost
#               (kept so tests and users can trust it; its key is destroyed)
#   interm.pem  intermediate CA signed by the root
#   leaf.pem    server certificate for 127.0.0.1, ::1 and localhost
#   leaf.key    the server's RSA key (PKCS#1 PEM, no pass phrase)
# Every build makes its own chain; no private key is ever committed.
# The root lives 3650 days; the intermediate and the server
# certificate end at the same second as the root, so a build serves for as
# long as the root it asks users to trust: a server certificate that ended
# earlier would stop every build from serving while its root is still trusted.
# (The 398-day limit of browsers applies to publicly trusted roots only, not
# to a root the user installed.)
set -euo pipefail
OUT=${1:?usage: gen-tls-material.sh OUTDIR}
# The folder and everything in it are for the builder only: leaf.key is the
# server's key, and the certificates say which build a browser trusts.
umask 077
mkdir -p "$OUT"
chmod 700 "$OUT"
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

cat > ca.cnf <<'CNF'
[ca]
default_ca = issuer
[issuer]
database = index.txt
new_certs_dir = .
serial = serial.txt
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[any_name]
organizationName = optional
commonName = supplied
CNF

# Signs CSR with the CA certificate and key into OUT, ending when the root ends.
issue() {
  : > index.txt
  openssl rand -hex 8 > serial.txt
  openssl ca -batch -notext -config ca.cnf -preserveDN -cert "$2" -keyfile "$3" \
    -in "$1" -out "$4" -enddate "$root_end" -extfile "$5" -extensions ext 2>/dev/null
}

openssl genrsa -out root.key 2048 2>/dev/null
openssl req -new -x509 -key root.key -config root.cnf -extensions ext -days 3650 -sha256 -out root.pem
root_end=$(date -u -d "$(openssl x509 -in root.pem -noout -enddate | cut -d= -f2)" +%Y%m%d%H%M%SZ)
openssl genrsa -out interm.key 2048 2>/dev/null
openssl req -new -key interm.key -subj "/O=Corvane/CN=Corvane Local Intermediate" -out interm.csr
issue interm.csr root.pem root.key interm.pem interm.cnf
openssl genrsa -traditional -out leaf.key 2048 2>/dev/null
openssl req -new -key leaf.key -subj "/O=Corvane/CN=127.0.0.1" -out leaf.csr
issue leaf.csr interm.pem interm.key leaf.pem leaf.cnf
openssl verify -CAfile root.pem -untrusted interm.pem leaf.pem >/dev/null
for cert in interm.pem leaf.pem; do
  if [ "$(openssl x509 -in $cert -noout -enddate)" != "$(openssl x509 -in root.pem -noout -enddate)" ]; then
    echo "gen-tls-material: $cert does not end with the root" >&2
    exit 1
  fi
done

cp root.pem interm.pem leaf.pem leaf.key "$OUT"/
chmod 600 "$OUT"/leaf.key
