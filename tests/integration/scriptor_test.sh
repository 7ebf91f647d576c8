#!/usr/bin/env bash
# Plays an exchange file (tests/integration/data/*.apdu) through scriptor from pcsc-tools, a
# PC/SC client we did not write, against the simulator behind the real pcscd, and compares
# every response. "sim: COMMAND" lines configure the simulator before the card goes in.
set -euo pipefail
file=$1
here=$(cd "$(dirname "$0")" && pwd)
harness=$here/../../tools/harness/qorx-harness
reader=${QORX_READER:-Virtual PCD 00 00}
sim=${QORX_SIM:-main}

commands=() expected=() setup=()
while IFS= read -r line; do
  line=${line%%#*}
  [[ $line =~ ^[[:space:]]*$ ]] && continue
  if [[ $line == sim:* ]]; then
    setup+=("$(echo "${line#sim:}" | xargs)")
    continue
  fi
  [[ $line == *"=>"* ]] || { echo "$file: bad line: $line" >&2; exit 2; }
  commands+=("$(echo "${line%%=>*}" | tr -d ' \t' | tr a-f A-F)")
  expected+=("$(echo "${line#*=>}" | tr -d ' \t' | tr a-f A-F)")
done <"$file"

"$harness" sim-reinsert "$sim" "${setup[@]}"

script=$(mktemp)
trap 'rm -f "$script"' EXIT
for c in "${commands[@]}"; do echo "$c" | sed 's/../& /g' >>"$script"; done

# scriptor prints "< XX XX ... : meaning", wrapping long responses over several lines.
output=$(timeout 30 scriptor -r "$reader" "$script" 2>&1) || {
  echo "$output" >&2
  echo "scriptor failed" >&2
  exit 1
}
mapfile -t actual < <(echo "$output" | awk '
  /^< / { resp = substr($0, 3); collecting = 1 }
  collecting && !/^< / { resp = resp " " $0 }
  collecting && / : / { sub(/ : .*/, "", resp); gsub(/ /, "", resp); print resp; collecting = 0 }')

failures=0
for i in "${!commands[@]}"; do
  if [ "${actual[$i]:-<none>}" != "${expected[$i]}" ]; then
    echo "MISMATCH ${commands[$i]}: expected ${expected[$i]}, got ${actual[$i]:-<none>}" >&2
    failures=$((failures + 1))
  fi
done
if [ ${#actual[@]} -ne ${#commands[@]} ]; then
  echo "sent ${#commands[@]} commands, scriptor showed ${#actual[@]} responses" >&2
  echo "$output" >&2
  failures=$((failures + 1))
fi
[ $failures -eq 0 ] || exit 1
echo "${#commands[@]} exchanges as expected"
