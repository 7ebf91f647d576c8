#!/usr/bin/env bash
# Makes the three issuer RSA keys the library embeds for password encryption and writes:
#   tools/keys/issuer-public-keys.txt        the public halves as key-vault import blobs
#                                            (the build turns this file into code)
#   tests/data/issuer-keys/issuer-v<N>.pem   the private halves, for tests that decipher
# Versions 1, 2, 3: 1024-bit moduli with public exponents 3, 65537, 65537.
#
# A deployment that brings the issuer's own keys writes its own blob file in the same format
# and configures with -DQORX_ISSUER_KEYS_FILE=/path/to/it; no code changes.
set -euo pipefail
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
OUT=${1:-$ROOT/tools/keys/issuer-public-keys.txt}
PRIVATE_DIR=${2:-$ROOT/tests/data/issuer-keys}
mkdir -p "$PRIVATE_DIR"

exponent_component() {  # A0, length, value
  case "$1" in
    3) echo "A00103" ;;
    65537) echo "A003010001" ;;
    *) echo "unsupported exponent $1" >&2; exit 1 ;;
  esac
}

{
  echo "# Issuer public keys of the password encryption, as key-vault import blobs:"
  echo "# component A1 (the 128-byte modulus) then component A0 (the public exponent)."
  echo "# One line per key: version, blank, the blob in hexadecimal. Made by make-issuer-keys.sh."
  for pair in 1:3 2:65537 3:65537; do
    version=${pair%%:*}
    exponent=${pair##*:}
    pem=$PRIVATE_DIR/issuer-v$version.pem
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 \
      -pkeyopt rsa_keygen_pubexp:"$exponent" -out "$pem" 2>/dev/null
    modulus=$(openssl rsa -in "$pem" -noout -modulus | sed 's/^Modulus=//')
    if [ ${#modulus} -ne 256 ]; then
      echo "modulus of version $version is not 128 bytes" >&2
      exit 1
    fi
    echo "$version A180$modulus$(exponent_component "$exponent")"
  done
} >"$OUT.tmp"
mv "$OUT.tmp" "$OUT"
echo "wrote $OUT and $PRIVATE_DIR/issuer-v{1,2,3}.pem"
