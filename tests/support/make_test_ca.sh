#!/usr/bin/env bash
# Writes the certificates the HTTPS tests use into DIR (made if missing):
#   ca.pem, ca.der           the test CA that a test trusts (SSL_CERT_FILE, or Wine's ROOT store)
#   server.pem, server.key   a server certificate for 127.0.0.1 and localhost signed by that CA
#   other-ca.pem             a second CA that nobody trusts
#   untrusted.pem, untrusted.key
#                            a server certificate for the same names signed by the second CA
#   wrongname.pem, wrongname.key
#                            a server certificate signed by the test CA for another host only
#                            (elsewhere.example)
# The *.pem server files hold the certificate followed by its CA, ready for
# http_server.py --tls. Keys are RSA 2048 (every TLS stack takes them).
#
#   make_test_ca.sh DIR
set -eu

dir=${1:?usage: $0 DIR}
mkdir -p "$dir"
cd "$dir"
work=$(mktemp -d "${TMPDIR:-/tmp}/rl-test-ca.XXXXXX")
trap 'rm -rf "$work"' EXIT

days=3650
make_ca() {  # name subject
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
        -keyout "$work/$1.key" -out "$1.pem" -subj "$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" 2>/dev/null
}

make_server() {  # name ca [subjectAltName common-name]
    cat >"$work/$1.ext" <<EOF
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=${3:-IP:127.0.0.1,DNS:localhost}
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EOF
    openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout "$1.key" -out "$work/$1.csr" \
        -subj "/CN=${4:-127.0.0.1}" 2>/dev/null
    openssl x509 -req -sha256 -days "$days" -in "$work/$1.csr" -CA "$2.pem" -CAkey "$work/$2.key" \
        -set_serial "0x$(openssl rand -hex 8)" -extfile "$work/$1.ext" -out "$work/$1.crt" 2>/dev/null
    cat "$work/$1.crt" "$2.pem" >"$1.pem"
    chmod 600 "$1.key"
}

make_ca ca "/CN=RestLevel Test CA"
openssl x509 -in ca.pem -outform DER -out ca.der
make_ca other-ca "/CN=RestLevel Untrusted Test CA"
make_server server ca
make_server untrusted other-ca
make_server wrongname ca DNS:elsewhere.example elsewhere.example
