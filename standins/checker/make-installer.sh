#!/bin/bash
# Builds the signed-installer fixtures in OUTDIR:
#   ca.pem / ca.key                 test code-signing root (the checker's trust anchor)
#   signer.pem / signer.key         code-signing certificate issued by ca.pem
#   wrong-ca.pem / wrong-ca.key     an unrelated root
#   wrong-signer.pem / .key         code-signing certificate issued by wrong-ca.pem
#   TandrelUD.exe                   test image signed by signer.pem
#   unsigned.exe                    the same image, unsigned
#   wrong-signer.exe                the image signed by wrong-signer.pem
#   tampered.exe                    TandrelUD.exe with one byte of .rdata changed
# Quiet on success; on failure names the step and shows its output.
set -euo pipefail

me=${0##*/}
if [ $# -ne 1 ]; then
    echo "usage: $me OUTDIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)
scratch="$out/.make-installer"
rm -rf "$scratch"
mkdir "$scratch"
trap 'rm -rf "$scratch"' EXIT

for tool in openssl osslsigncode python3; do
    command -v "$tool" > /dev/null || { echo "$me: $tool not found" >&2; exit 1; }
done

# Runs one step with its chatter captured, so success stays silent.
run() {
    if ! "$@" > "$scratch/log" 2>&1; then
        echo "$me: failed:$(printf ' %q' "$@")" >&2
        cat "$scratch/log" >&2
        exit 1
    fi
}

# The same certificate settings as the release signing's test certificate.
cnf="$here/../../cmake/windows/code-signing.cnf"

# P-256 rather than RSA: key generation stays a few milliseconds, even on a
# busy machine, and the signing tools handle it the same way.
key() {
    run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$out/$1.key"
}

# root NAME SUBJECT
root() {
    key "$1"
    run openssl req -new -x509 -config "$cnf" -extensions ca -key "$out/$1.key" \
        -subj "$2" -days 3650 -sha256 -out "$out/$1.pem"
}

# leaf NAME ISSUER SUBJECT
leaf() {
    key "$1"
    run openssl req -new -config "$cnf" -key "$out/$1.key" -subj "$3" -out "$scratch/$1.csr"
    run openssl x509 -req -in "$scratch/$1.csr" -CA "$out/$2.pem" -CAkey "$out/$2.key" \
        -extfile "$cnf" -extensions leaf -days 3650 -sha256 -out "$out/$1.pem"
}

root ca "/O=Tandrel Test/CN=Tandrel Test Code Signing Root"
leaf signer ca "/O=Tandrel Test/CN=Tandrel Test Installer Signer"
root wrong-ca "/O=Elsewhere Test/CN=Elsewhere Test Root"
leaf wrong-signer wrong-ca "/O=Elsewhere Test/CN=Elsewhere Test Signer"

run python3 "$here/make-pe.py" "$out/unsigned.exe"

# sign NAME OUTFILE
sign() {
    rm -f "$2"
    run osslsigncode sign -certs "$out/$1.pem" -key "$out/$1.key" \
        -n "TandrelUD installer" -h sha256 -in "$out/unsigned.exe" -out "$2"
}
sign signer "$out/TandrelUD.exe"
sign wrong-signer "$out/wrong-signer.exe"

# Flip the case of the first byte of .rdata: inside the hashed image, well
# away from the checksum field and the signature blob, and the file stays a
# well-formed PE, so only the digest comparison can catch it.
run python3 - "$out/TandrelUD.exe" "$out/tampered.exe" <<'EOF'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
count = struct.unpack_from("<H", data, pe + 6)[0]
table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
for i in range(count):
    entry = table + 40 * i
    if data[entry:entry + 8].rstrip(b"\0") == b".rdata":
        at = struct.unpack_from("<I", data, entry + 20)[0]
        break
else:
    sys.exit("no .rdata section")
data[at] ^= 0x20
open(sys.argv[2], "wb").write(data)
EOF
