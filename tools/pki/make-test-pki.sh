#!/usr/bin/env bash
# Makes the test PKI: the five certification authorities the library embeds by default, a rogue
# authority it does not know, and the card certificates the tests and the card simulator use.
#
#   tools/pki/ca/ca<N>.der             CA certificates, entries 0..4 (self-signed, X.509 v3)
#   tools/pki/ca-certificates.txt      manifest: entry, production flag, key identifier, file
#                                      (the build turns it into the embedded CA table)
#   tests/data/pki/ca<N>.key           the CAs' private keys (PEM)
#   tests/data/pki/rogue-ca.{key,der}  an authority outside the table
#   tests/data/pki/cards/<name>.{key,der}
#                                      card profiles: card private key (RSA 1024, PEM) and card
#                                      certificate (DER); one line per profile in cards.txt
#
# Every CA private key is in the tree: these are TEST authorities, never to be shipped.
# A deployment writes its own manifest and certificate folder and points the build at them.
#
# Rerun from anywhere: tools/pki/make-test-pki.sh  (overwrites everything above; the keys are
# new random keys each time, so commit all outputs together).
set -euo pipefail
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
PKI=$ROOT/tools/pki
CA_DIR=$PKI/ca
DATA=$ROOT/tests/data/pki
CARDS=$DATA/cards
mkdir -p "$CA_DIR" "$CARDS"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

VALID_FROM=20200101000000Z
VALID_TO=20491231235959Z

new_key() {  # file bits exponent
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:"$2" -pkeyopt rsa_keygen_pubexp:"$3" \
    -out "$1" 2>/dev/null
}

cat >"$WORK/ext.cnf" <<'EOF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[card]
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[card_no_aki]
subjectKeyIdentifier = hash
authorityKeyIdentifier = none
EOF

# One `openssl ca` run in a fresh database, so fixed serials and dates can be set.
# sign csr out serial_hex start end issuer_cert_or_- issuer_key extension_section_or_-
sign() {
  local csr=$1 out=$2 serial=$3 start=$4 end=$5 issuer_cert=$6 issuer_key=$7 section=$8
  local db=$WORK/db
  rm -rf "$db"
  mkdir -p "$db/new"
  : >"$db/index.txt"
  echo "$serial" >"$db/serial"
  cat >"$db/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $db/index.txt
serial = $db/serial
new_certs_dir = $db/new
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
organizationName = optional
EOF
  local args=(-config "$db/ca.cnf" -in "$csr" -keyfile "$issuer_key" -md sha1 -batch -notext
    -preserveDN -startdate "$start" -enddate "$end" -out "$WORK/out.pem")
  if [ "$issuer_cert" = - ]; then args+=(-selfsign); else args+=(-cert "$issuer_cert"); fi
  if [ "$section" != - ]; then args+=(-extfile "$WORK/ext.cnf" -extensions "$section"); fi
  openssl ca "${args[@]}" 2>"$WORK/ca.log" || { cat "$WORK/ca.log" >&2; exit 1; }
  openssl x509 -in "$WORK/out.pem" -outform DER -out "$out"
}

make_csr() {  # key subject out
  openssl req -new -key "$1" -subj "$2" -sha1 -out "$3"
}

ski_hex() {  # DER certificate -> 40 uppercase hex digits of its subject key identifier
  openssl x509 -inform DER -in "$1" -noout -ext subjectKeyIdentifier |
    sed -n '2p' | tr -d ' :\n' | tr a-f A-F
}

# --- certification authorities --------------------------------------------------------------
manifest=$PKI/ca-certificates.txt
{
  echo "# TEST certification authorities: their private keys are in the tree (tests/data/pki),"
  echo "# so anyone can issue a card certificate they accept. A deployment substitutes its own."
  echo "# One line per CA table entry: entry, production flag (1 = production, 0 = test),"
  echo "# key identifier (the CA's subject key identifier, 20 bytes in hexadecimal),"
  echo "# certificate file (DER, relative to this file's folder). Made by make-test-pki.sh."
} >"$manifest.tmp"
for row in 0:0:1024:3 1:0:2048:65537 2:1:1024:65537 3:1:1024:65537 4:1:2048:65537; do
  IFS=: read -r entry production bits exponent <<<"$row"
  key=$DATA/ca$entry.key
  new_key "$key" "$bits" "$exponent"
  make_csr "$key" "/CN=QorX Test CA $entry/O=QorX Test PKI" "$WORK/ca.csr"
  sign "$WORK/ca.csr" "$CA_DIR/ca$entry.der" "0$((entry + 1))" "$VALID_FROM" "$VALID_TO" - "$key" ca
  kid=$(ski_hex "$CA_DIR/ca$entry.der")
  [ ${#kid} -eq 40 ] || { echo "CA $entry: subject key identifier is not 20 bytes" >&2; exit 1; }
  echo "$entry $production $kid ca/ca$entry.der" >>"$manifest.tmp"
done
mv "$manifest.tmp" "$manifest"

new_key "$DATA/rogue-ca.key" 1024 65537
make_csr "$DATA/rogue-ca.key" "/CN=QorX Rogue CA/O=QorX Rogue PKI" "$WORK/ca.csr"
sign "$WORK/ca.csr" "$DATA/rogue-ca.der" 0F "$VALID_FROM" "$VALID_TO" - "$DATA/rogue-ca.key" ca

# --- card certificates ----------------------------------------------------------------------
ca_cert() {  # issuer name -> certificate, key
  case "$1" in
    rogue) echo "$DATA/rogue-ca.der $DATA/rogue-ca.key" ;;
    ca[0-4]) echo "$CA_DIR/$1.der $DATA/$1.key" ;;
  esac
}

# name issuer pan(16 digits or -) seq(2 hex or -) serial_hex start end section
cards_table=$CARDS/cards.txt.tmp
{
  echo "# Card profiles: <name>.der (certificate) and <name>.key (card private key, RSA 1024)."
  echo "# name issuer PAN PAN-sequence notBefore notAfter ('-': the serial carries no PAN)"
} >"$cards_table"
card() {
  local name=$1 issuer=$2 pan=$3 seq=$4 serial=$5 start=$6 end=$7 section=$8
  local key=$CARDS/$name.key der=$CARDS/$name.der cert ikey
  read -r cert ikey <<<"$(ca_cert "$issuer")"
  openssl x509 -inform DER -in "$cert" -out "$WORK/issuer.pem"
  new_key "$key" 1024 65537
  local label=${pan#-}
  make_csr "$key" "/CN=QorX Test Card${label:+ $label}/O=QorX Test Bank" "$WORK/card.csr"
  sign "$WORK/card.csr" "$der" "$serial" "$start" "$end" "$WORK/issuer.pem" "$ikey" "$section"
  printf '%s %s %s %s %s %s\n' "$name" "$issuer" "$pan" "$seq" \
    "${start:0:4}-${start:4:2}-${start:6:2}" "${end:0:4}-${end:4:2}-${end:6:2}" >>"$cards_table"
}

card default ca0 4000123456789010 01 400012345678901001 "$VALID_FROM" "$VALID_TO" card
card ca1 ca1 4000123456789028 01 400012345678902801 "$VALID_FROM" "$VALID_TO" card
card ca2 ca2 4000123456789036 01 400012345678903601 "$VALID_FROM" "$VALID_TO" card
card ca3 ca3 4000123456789044 01 400012345678904401 "$VALID_FROM" "$VALID_TO" card
card ca4 ca4 4000123456789051 01 400012345678905101 "$VALID_FROM" "$VALID_TO" card
card v1 ca0 4000123456789069 01 400012345678906901 "$VALID_FROM" "$VALID_TO" -
card serial10 ca0 9876543210987654 02 987654321098765402 "$VALID_FROM" "$VALID_TO" card
card expired ca0 4000123456789077 01 400012345678907701 20071107000000Z 20091107000000Z card
card notyet ca0 4000123456789085 01 400012345678908501 20400101000000Z 20450101000000Z card
card rogue rogue 4000123456789093 01 400012345678909301 "$VALID_FROM" "$VALID_TO" card
card no-aki ca0 4000123456789101 01 400012345678910101 "$VALID_FROM" "$VALID_TO" card_no_aki
card short-serial ca0 - - 01020304 "$VALID_FROM" "$VALID_TO" card
card generalized ca0 4000123456789119 01 400012345678911901 "$VALID_FROM" 20510101000000Z card

# tampered: the default certificate with one byte in the middle of its signature inverted
cp "$CARDS/default.key" "$CARDS/tampered.key"
cp "$CARDS/default.der" "$CARDS/tampered.der"
size=$(stat -c %s "$CARDS/tampered.der")
offset=$((size - 64))  # the signature value is the last 128 bytes
byte=$(od -An -tu1 -j "$offset" -N1 "$CARDS/tampered.der" | tr -d ' ')
printf '%b' "\\$(printf '%03o' $((byte ^ 0xFF)))" |
  dd of="$CARDS/tampered.der" bs=1 seek="$offset" conv=notrunc status=none
printf 'tampered ca0 4000123456789010 01 2020-01-01 2049-12-31\n' >>"$cards_table"
mv "$cards_table" "$CARDS/cards.txt"

echo "wrote $manifest, $CA_DIR/ca{0..4}.der, $DATA/ca{0..4}.key, $DATA/rogue-ca.{key,der}"
echo "and the card profiles in $CARDS: $(cut -d' ' -f1 "$CARDS/cards.txt" | grep -v '^#' | xargs)"
