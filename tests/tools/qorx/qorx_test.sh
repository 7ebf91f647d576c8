#!/usr/bin/env bash
# Drives qorx as a user would, against pcscd and the simulator's card in "Virtual PCD 00 00"
# (PIN 1234, three tries, certificate of test CA 0). One case per run: qorx_test.sh CASE.
# QORX is the program. Every case that spends PIN tries or takes the card out puts the card
# back as it started.
set -euo pipefail
case_name=$1
here=$(cd "$(dirname "$0")" && pwd)
harness=$here/../../../tools/harness/qorx-harness
QORX=${QORX:?QORX names the program}
tmp=$(mktemp -d)
reset_card() { "$harness" sim-reinsert main >/dev/null; }
# Whatever a case did to the card (tries spent, PIN changed), the next one finds it fresh.
trap 'rm -rf "$tmp"; reset_card' EXIT
DATE=2026/12/08

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# expect_exit CODE COMMAND...: runs the command (stdout to $tmp/out, stderr to $tmp/err).
expect_exit() {
  local want=$1 got=0
  shift
  "$@" >"$tmp/out" 2>"$tmp/err" || got=$?
  [ "$got" -eq "$want" ] || {
    cat "$tmp/out" "$tmp/err" >&2
    fail "$* exited $got, not $want"
  }
}
has() { grep -qF -- "$2" "$1" || { cat "$1" >&2; fail "no \"$2\" in $(basename "$1")"; }; }
lacks() { ! grep -qF -- "$2" "$1" || { cat "$1" >&2; fail "\"$2\" in $(basename "$1")"; }; }
json() { jq -e "$1" "$tmp/out" >/dev/null || { cat "$tmp/out" >&2; fail "JSON: $1"; }; }

# Other tests before this one may have left the card out or spent its tries.
reset_card

case $case_name in
  readers-and-status)
    expect_exit 0 "$QORX" readers
    has "$tmp/out" "0: Virtual PCD 00 00"
    has "$tmp/out" "1: Virtual PCD 00 01"
    expect_exit 0 "$QORX" status --json
    json '.status == 0 and .cardStatus == 1026 and .atr == "3B8801516F725853696D31FB"
          and .triesLeft == 3 and .reader == "Virtual PCD 00 00"'
    # The second reader is empty: a state, not a failure; a card operation there fails.
    expect_exit 0 "$QORX" status --reader "Virtual PCD 00 01"
    has "$tmp/out" "card status: 1028"
    expect_exit 5 "$QORX" certificate --reader "Virtual PCD 00 01" --json
    has "$tmp/err" "2563 no card in the reader"
    json '.status == 2563 and .name == "no card in the reader"'
    expect_exit 1 "$QORX" status --reader "No Such Reader"
    has "$tmp/err" "769 reader cannot be opened"
    ;;

  certificate)
    expect_exit 0 "$QORX" certificate
    has "$tmp/out" "issuer: CN=QorX Test CA 0, O=QorX Test PKI"
    has "$tmp/out" "valid until: 2049-12-31 23:59:59 UTC"
    has "$tmp/out" "PAN: 4000123456789010"
    # The PEM and the DER are the profile's certificate, byte for byte.
    "$QORX" certificate --pem | openssl x509 -outform der >"$tmp/pem.der"
    cmp "$tmp/pem.der" "$here/../../data/pki/cards/default.der"
    "$QORX" certificate --der >"$tmp/card.der"
    cmp "$tmp/card.der" "$here/../../data/pki/cards/default.der"
    expect_exit 0 "$QORX" authenticate --date $DATE --json
    json '.pan == "4000123456789010" and .panSequence == "01"'
    expect_exit 1 "$QORX" authenticate --date 2050/01/01
    has "$tmp/err" "1282 date on or after the end"
    expect_exit 1 "$QORX" authenticate --date 2026-12-08
    has "$tmp/err" "3072 malformed date"
    ;;

  pin)
    # Wrong, wrong, right: the count goes down and comes back.
    expect_exit 3 "$QORX" verify --date $DATE --pin-fd 3 3<<<0000
    has "$tmp/err" "1794 secret code rejected, 2 tries left"
    expect_exit 3 "$QORX" verify --date $DATE --json --pin-fd 3 3<<<0000
    json '.status == 1794 and .triesLeft == 1'
    expect_exit 0 "$QORX" verify --date $DATE --pin-fd 3 3<<<1234
    has "$tmp/out" "PIN tries left: 3"
    # Change it and back; the new code is then the one that works.
    expect_exit 0 "$QORX" change-pin --date $DATE --pin-fd 3 3< <(printf '1234\n5678\n')
    expect_exit 3 "$QORX" verify --date $DATE --pin-fd 3 3<<<1234
    expect_exit 0 "$QORX" change-pin --date $DATE --pin-fd 3 3< <(printf '5678\n1234\n')
    # Three wrong in a row block it.
    for _ in 1 2; do expect_exit 3 "$QORX" verify --date $DATE --pin-fd 3 3<<<9999; done
    expect_exit 4 "$QORX" verify --date $DATE --pin-fd 3 3<<<9999
    has "$tmp/err" "1795 secret code blocked"
    expect_exit 4 "$QORX" verify --date $DATE --pin-fd 3 3<<<1234
    reset_card
    # No terminal and no descriptor, or an empty one: nothing is sent to the card.
    expect_exit 6 setsid -w "$QORX" verify --date $DATE </dev/null
    expect_exit 6 "$QORX" verify --date $DATE --pin-fd 3 3</dev/null
    expect_exit 0 "$QORX" status --json
    json '.triesLeft == 3'
    # The code never comes from the command line.
    expect_exit 2 "$QORX" verify --pin 1234
    ;;

  sign-and-hash)
    "$QORX" certificate --pem | openssl x509 -pubkey -noout >"$tmp/key.pem"
    text="Pay 100.00 to 12345-6"
    expect_exit 0 "$QORX" sign --text "$text" --date $DATE --out "$tmp/sig" --pin-fd 3 3<<<1234
    printf %s "$text" | openssl dgst -sha1 -verify "$tmp/key.pem" -signature "$tmp/sig" >/dev/null
    expect_exit 0 "$QORX" sign --hex "0102 03ff" --json --pin-fd 3 3<<<1234
    json '.signature | length == 256'
    jq -r .signature "$tmp/out" | perl -ne 'chomp; print pack("H*", $_)' >"$tmp/sig2"
    printf '\x01\x02\x03\xff' | openssl dgst -sha1 -verify "$tmp/key.pem" -signature "$tmp/sig2" \
      >/dev/null
    # A file, read as a stream: the same digest as sha1sum, and no progress bar off a terminal.
    head -c 3000000 /dev/urandom >"$tmp/file"
    expect_exit 0 "$QORX" hash --file "$tmp/file"
    has "$tmp/out" "SHA-1: $(sha1sum "$tmp/file" | cut -c1-40 | tr a-f A-F)"
    [ ! -s "$tmp/err" ] || fail "hash wrote to standard error off a terminal"
    expect_exit 0 "$QORX" sign --file "$tmp/file" --out "$tmp/sig3" --pin-fd 3 3<<<1234
    openssl dgst -sha1 -verify "$tmp/key.pem" -signature "$tmp/sig3" "$tmp/file" >/dev/null
    [ ! -s "$tmp/err" ] || fail "sign wrote to standard error off a terminal"
    expect_exit 0 "$QORX" hash --text abc --json
    json '.sha1 == "A9993E364706816ABA3E25717850C26C9CD0D89D"'
    # A wrong PIN signs nothing; a missing file asks for no PIN.
    expect_exit 3 "$QORX" sign --text "$text" --out "$tmp/none" --pin-fd 3 3<<<0000
    [ ! -e "$tmp/none" ] || fail "signed with a wrong PIN"
    expect_exit 1 "$QORX" sign --file "$tmp/missing" --pin-fd 3 3</dev/null
    has "$tmp/err" "785 file cannot be opened"
    expect_exit 1 "$QORX" hash --hex "0G"
    has "$tmp/err" "259 invalid argument"
    expect_exit 2 "$QORX" hash --text a --hex 00
    reset_card
    ;;

  password-and-channel)
    expect_exit 0 "$QORX" encrypt-password --text s3cret --tag 0xDF71 --key-version 1 --json
    json '.encryptedPassword | startswith("308196DF718180")'
    jq -r .encryptedPassword "$tmp/out" | cut -c15-270 | perl -ne 'chomp; print pack("H*", $_)' \
      >"$tmp/cryptogram"
    openssl pkeyutl -decrypt -inkey "$here/../../data/issuer-keys/issuer-v1.pem" \
      -in "$tmp/cryptogram" -out "$tmp/plain"
    [ "$(cat "$tmp/plain")" = s3cret ] || fail "the password does not decipher"
    script=71129F180400000001860984DA00CA0401020304
    expect_exit 0 "$QORX" secure-channel --challenge 0102030405060708 --script $script --json
    json '.initialization | startswith("30344F07")'
    json '.scriptResult == "9000"'
    expect_exit 1 "$QORX" secure-channel --challenge 01020304
    has "$tmp/err" "257 request cannot be served"
    ;;

  trace)
    # The PIN, a PIN change and back, a signature, the password and a host script, traced to a
    # file: every APDU is there with its status word, and no secret nor any block made of one.
    trace=$tmp/trace
    expect_exit 0 "$QORX" --trace="$trace" verify --date $DATE --pin-fd 3 3<<<1234
    expect_exit 0 "$QORX" change-pin --trace="$trace" --date $DATE --pin-fd 3 3< <(printf '1234\nqx58\n')
    expect_exit 0 "$QORX" change-pin --trace="$trace" --date $DATE --pin-fd 3 3< <(printf 'qx58\n1234\n')
    expect_exit 0 "$QORX" sign --trace="$trace" --text "Pay 1.00" --date $DATE --pin-fd 3 3<<<1234
    expect_exit 0 "$QORX" encrypt-password --trace="$trace" --text s3cret --json
    password=$(jq -r .encryptedPassword "$tmp/out" | cut -c15-46 | sed 's/../& /g; s/ $//')
    expect_exit 0 "$QORX" secure-channel --trace="$trace" --challenge 0102030405060708 \
      --script 71129F180400000001860984DA00CA0401020304
    has "$trace" 'SCardConnect "Virtual PCD 00 00"'
    has "$trace" 'SCardTransmit "Virtual PCD 00 00" > 00 20 00 08 80 [128 bytes] < SW 9000'
    has "$trace" '> 80 24 02 08 80 [128 bytes] < SW 9000'
    has "$trace" '> 84 DA 00 CA 04 [4 bytes] < SW 9000'
    has "$trace" '> 00 84 00 00 00 < '
    # (1234 itself is in the certificate's subject, which the trace shows as it is.)
    for secret in qx58 "71 78 35 38" s3cret "73 33 63 72 65 74" "$password"; do
      lacks "$trace" "$secret"
    done
    ! grep -Eq '(20|24) 0[02] 08 80 [0-9A-F]{2}' "$trace" || fail "a PIN block in the trace"
    # --trace alone writes to standard error.
    expect_exit 0 "$QORX" --trace readers
    has "$tmp/err" "SCardListReaders context"
    has "$tmp/out" "0: Virtual PCD 00 00"
    ;;

  session)
    # One dialogue: authenticated and verified once, then two signatures with one PIN line.
    printf 'status\nauthenticate --date %s\nverify\nsign --text one\nsign --text two\n' $DATE \
      >"$tmp/commands"
    expect_exit 0 "$QORX" session --json --pin-fd 3 <"$tmp/commands" 3<<<1234
    [ "$(wc -l <"$tmp/out")" -eq 5 ] || fail "five results expected"
    jq -se 'map(.status) == [0,0,0,0,0] and (.[3].signature | length) == 256' "$tmp/out" \
      >/dev/null || fail "session results"
    # A failing line does not end the session; its exit code is the session's.
    printf 'nonsense\nhash --text abc\nquit\nhash --text never\n' >"$tmp/commands"
    expect_exit 2 "$QORX" session <"$tmp/commands"
    has "$tmp/out" "SHA-1: A9993E36"
    lacks "$tmp/out" "never"
    ;;

  report-and-version)
    expect_exit 0 "$QORX" report
    has "$tmp/out" "[PCSCDiagnosticTest]"
    has "$tmp/out" "Virtual PCD 00 00"
    has "$tmp/out" "TecnologiaAtiva.Modelo = CLI"
    expect_exit 0 "$QORX" version --json
    json '.version | test("^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")'
    expect_exit 0 "$QORX" --help
    has "$tmp/out" "exit codes:"
    expect_exit 0 "$QORX" sign --help
    has "$tmp/out" "usage: qorx sign"
    expect_exit 2 "$QORX" readers --date $DATE
    ;;

  *)
    fail "unknown case $case_name"
    ;;
esac
echo "ok: $case_name"
