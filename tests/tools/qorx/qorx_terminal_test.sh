#!/usr/bin/env bash
# qorx on a terminal, under tmux: the PIN prompt does not echo what is typed, and hashing a
# large file draws a progress bar that ends at 100 %.
set -euo pipefail
QORX=${QORX:?QORX names the program}
tmp=$(mktemp -d)
socket=qorx-test-$$
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
# Other tests before this one may have left the card out or spent its tries.
"$(cd "$(dirname "$0")" && pwd)/../../../tools/harness/qorx-harness" sim-reinsert main >/dev/null
fail() {
  echo "FAIL: $*" >&2
  [ -f "$tmp/screen" ] && cat "$tmp/screen" >&2
  exit 1
}
screen() { tmux -L "$socket" capture-pane -p -t "$1" >"$tmp/screen"; }
# wait_for WINDOW TEXT: up to 20 s until the window shows TEXT.
wait_for() {
  for _ in $(seq 200); do
    screen "$1"
    grep -qF -- "$2" "$tmp/screen" && return 0
    sleep 0.1
  done
  fail "window $1 never showed \"$2\""
}

tmux -L "$socket" -f /dev/null new-session -d -s qorx -n pin -x 120 -y 30 \
  "'$QORX' verify --date 2026/12/08; echo \"exit=\$?\"; sleep 60"
wait_for pin "PIN:"  # the pane is captured without trailing blanks
tmux -L "$socket" send-keys -t pin 1234 Enter
wait_for pin "exit="
grep -qF "secret code: verified" "$tmp/screen" || fail "the PIN was not verified"
grep -qF "exit=0" "$tmp/screen" || fail "verify failed"
# The prompt's line stays bare (the PAN has 1234 in it, so look at lines, not the screen).
grep -qx "PIN:" "$tmp/screen" || fail "the prompt is not alone on its line"
! grep -qE "^(PIN: *)?1234$" "$tmp/screen" || fail "the PIN was echoed"

head -c 200000000 /dev/zero >"$tmp/big"
tmux -L "$socket" new-window -d -t qorx -n hash \
  "'$QORX' hash --file '$tmp/big'; echo \"exit=\$?\"; sleep 60"
wait_for hash "exit="
grep -qE '\[#+\] 100% 190/190 MiB' "$tmp/screen" || fail "no finished progress bar"
grep -qF "SHA-1: $(sha1sum "$tmp/big" | cut -c1-40 | tr a-f A-F)" "$tmp/screen" ||
  fail "wrong digest"
echo "ok: terminal"
