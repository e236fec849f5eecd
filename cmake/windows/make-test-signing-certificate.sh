#!/usr/bin/env bash
# Makes a throwaway code-signing CA and a certificate issued by it, for
# signing release builds that were given no real certificate:
#   OUTDIR/ca.pem                 the test root (to verify the signature with)
#   OUTDIR/signer.pem, signer.key the code-signing certificate and its key
# No Windows trusts them; they show that signing and its check work.
set -euo pipefail
out=$1
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cnf=$(dirname "${BASH_SOURCE[0]}")/code-signing.cnf
run() { "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; exit 1; }; }

run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$scratch/ca.key"
run openssl req -new -x509 -config "$cnf" -extensions ca -key "$scratch/ca.key" \
    -subj "/O=signature-check developers/CN=signature-check Test Release Root" -days 3650 -sha256 \
    -out "$out/ca.pem"
run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/signer.key"
run openssl req -new -config "$cnf" -key "$out/signer.key" \
    -subj "/O=signature-check developers/CN=signature-check Test Release Signer" -out "$scratch/signer.csr"
run openssl x509 -req -in "$scratch/signer.csr" -CA "$out/ca.pem" -CAkey "$scratch/ca.key" \
    -extfile "$cnf" -extensions leaf -days 3650 -sha256 -out "$out/signer.pem"
