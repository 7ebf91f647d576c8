#!/usr/bin/env bash
# A whole banking session with qorx against the simulated card, step by step: readers, card
# status, certificate, authentication, a wrong PIN, the right one, a signature checked with
# openssl against the card certificate's key, password encryption, a host script and the
# diagnostic report. `./run demo` builds first; this starts pcscd (when none runs) and the
# simulator, and stops only what it started. Exits 0 when every step did what it should.
set -uo pipefail
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
BUILD=${QORX_BUILD:-$ROOT/build}
QORX=$BUILD/bin/qorx
HARNESS=$ROOT/tools/harness/qorx-harness
export QORX_HARNESS_DIR=${QORX_HARNESS_DIR:-$BUILD/harness}
WORK=$(mktemp -d)
TODAY=$(date +%Y/%m/%d)
failed=0
step_no=0

[ -x "$QORX" ] || {
  echo "demo: $QORX is not built (./run demo builds it)" >&2
  exit 2
}

finish() {
  "$HARNESS" down >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap finish EXIT

bold=$'\e[1m' green=$'\e[32m' red=$'\e[31m' plain=$'\e[0m'
[ -t 1 ] || bold='' green='' red='' plain=''

step() {
  step_no=$((step_no + 1))
  printf '\n%s%d. %s%s\n' "$bold" "$step_no" "$1" "$plain"
}
# show COMMAND...: prints the command as typed, then runs it with its output indented.
show() {
  local typed=("$@")
  [ "${typed[0]}" = "$QORX" ] && typed[0]=qorx
  printf '   $ %s\n' "${typed[*]}"
  "$@" 2>&1 | sed 's/^/     /'
  return "${PIPESTATUS[0]}"
}
ok() { printf '   %s-> %s%s\n' "$green" "$1" "$plain"; }
bad() {
  printf '   %s-> FAILED: %s%s\n' "$red" "$1" "$plain"
  failed=$((failed + 1))
}
# check DESCRIPTION COMMAND...: ok when the command succeeds.
check() {
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then ok "$what"; else bad "$what"; fi
}

echo "${bold}QorX demo: a banking session with the simulated card${plain}"
echo "Starting pcscd (unless one runs) and the card simulator in \"Virtual PCD 00 00\"..."
if ! "$HARNESS" up >"$WORK/harness.log" 2>&1; then
  cat "$WORK/harness.log" >&2
  echo "demo: could not start pcscd and the simulator" >&2
  exit 1
fi

step "The readers"
show "$QORX" readers | tee "$WORK/readers"
grep -q "Virtual PCD 00 00" "$WORK/readers" && ok "the virtual reader is listed" || bad "no reader"

step "The card in the first reader"
show "$QORX" status | tee "$WORK/status"
grep -q "card status: 1026" "$WORK/status" && ok "card ready, 3 PIN tries" || bad "no card"

step "The card's certificate"
show "$QORX" certificate | tee "$WORK/cert"
grep -q "issuer: CN=QorX Test CA 0" "$WORK/cert" && ok "issued by the test CA" || bad "certificate"

step "Card authentication on $TODAY"
show "$QORX" authenticate --date "$TODAY" | tee "$WORK/auth"
grep -q "PAN: 4000123456789010" "$WORK/auth" && ok "the certificate checks out; PAN read" ||
  bad "authentication"

step "A wrong PIN (0000)"
printf '   $ %s\n' "echo 0000 | qorx verify --pin-fd 0"
echo 0000 | "$QORX" verify --date "$TODAY" --pin-fd 0 >"$WORK/wrong" 2>&1
code=$?
sed 's/^/     /' "$WORK/wrong"
[ $code -eq 3 ] && grep -q "1794 secret code rejected, 2 tries left" "$WORK/wrong" &&
  ok "rejected, exit code 3, two tries left" || bad "the wrong PIN was not rejected as it should be"

step "The right PIN (1234)"
printf '   $ %s\n' "echo 1234 | qorx verify --pin-fd 0"
echo 1234 | "$QORX" verify --date "$TODAY" --pin-fd 0 2>&1 | sed 's/^/     /' | tee "$WORK/right"
grep -q "PIN tries left: 3" "$WORK/right" && ok "verified; the try counter is back to 3" ||
  bad "the right PIN failed"

step "Signing a transaction and checking the signature with openssl"
TX="Pay 100.00 to 12345-6 on $TODAY"
printf '   $ %s\n' "echo 1234 | qorx sign --text \"$TX\" --pin-fd 0 --out signature.bin"
echo 1234 | "$QORX" sign --text "$TX" --date "$TODAY" --pin-fd 0 --out "$WORK/signature.bin" 2>&1 |
  sed 's/^/     /'
printf '   $ %s\n' "qorx certificate --pem | openssl x509 -pubkey -noout > card-key.pem"
"$QORX" certificate --pem | openssl x509 -pubkey -noout >"$WORK/card-key.pem"
printf '   $ %s\n' "printf %s \"\$TX\" | openssl dgst -sha1 -verify card-key.pem -signature signature.bin"
printf %s "$TX" | openssl dgst -sha1 -verify "$WORK/card-key.pem" -signature "$WORK/signature.bin" \
  2>&1 | sed 's/^/     /' | tee "$WORK/verified"
grep -q "Verified OK" "$WORK/verified" && ok "openssl confirms the card's signature" ||
  bad "the signature does not verify"

step "Encrypting a password for the bank (issuer key 3)"
show "$QORX" encrypt-password --text "s3cret" | tee "$WORK/password"
grep -q "encrypted password: 3081" "$WORK/password" && ok "a 1024-bit cryptogram with the key id" ||
  bad "password encryption"

step "A secure channel and a host script"
show "$QORX" secure-channel --challenge 0102030405060708 \
  --script 71129F180400000001860984DA00CA0401020304 | tee "$WORK/channel"
grep -q "script result: 9000" "$WORK/channel" && ok "the card ran the host's script" ||
  bad "the host script failed"

step "The same in one session: authenticate, PIN once, two signatures"
printf '   $ %s\n' "qorx session --pin-fd 3 3<<<1234 <<'END'"
printf 'authenticate\nsign --text "first"\nsign --text "second"\nstatus\n' | tee "$WORK/session.in" |
  sed 's/^/     /'
printf '   %s\n' "END"
"$QORX" session --date "$TODAY" --pin-fd 3 3<<<1234 <"$WORK/session.in" 2>&1 | sed 's/^/     /' |
  tee "$WORK/session"
[ "$(grep -c '^     signature: ' "$WORK/session")" -eq 2 ] &&
  grep -q "state: secret code verified" "$WORK/session" &&
  ok "one card dialogue: the PIN was asked once" || bad "the session"

step "The diagnostic report"
show "$QORX" report | tee "$WORK/report"
grep -q "Virtual PCD 00 00" "$WORK/report" && ok "PC/SC installation and readers reported" ||
  bad "the report"

step "The version"
show "$QORX" version

echo
if [ $failed -eq 0 ]; then
  echo "${green}${bold}Demo complete: every step did what it should.${plain}"
  exit 0
fi
echo "${red}${bold}Demo: $failed step(s) failed.${plain}"
exit 1
