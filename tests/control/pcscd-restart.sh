#!/usr/bin/env bash
# Runs pcscd-restart.js and restarts pcscd (through the harness) when the page script asks.
# Exit 77 (skipped) when the running pcscd is not the harness's own.
# usage: pcscd-restart.sh QORX-SCRIPT HARNESS SCRIPT.js
set -uo pipefail
script_runner=$1 harness=$2 page=$3
"$harness" pcscd-ours || exit 77
"$harness" sim-reinsert main || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$script_runner" "$page" "$work/marker" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 300); do
  grep -q "restart pcscd now" "$work/out" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if grep -q "restart pcscd now" "$work/out"; then
  "$harness" pcscd-restart
  echo restarted >"$work/marker"
fi
wait "$pid"
status=$?
cat "$work/out"
exit $status
