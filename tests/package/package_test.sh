#!/usr/bin/env bash
# The Debian packages on this machine, as root: dpkg -i, the simulator of qorx-cardsim behind
# pcscd, a Java and a C++ program against the installed files, the bank page in Chromium and
# Firefox through the installed extension and host, then dpkg --purge and a check that nothing
# the packages installed is left. Whatever happens, the packages and the test's policies go.
#
#   package_test.sh BUILD_DIR     (the .debs in BUILD_DIR/package, from ./run package)
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
packages=(qorx qorx-dev qorx-cardsim)
CHROMIUM_POLICY=/etc/chromium/policies/managed/qorx-package-test.json
FIREFOX_POLICY=/etc/firefox/policies/policies.json
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

[ "$(id -u)" = 0 ] || fail "installing packages needs root"
debs=()
for p in "${packages[@]}"; do
  deb=$(ls "$build"/package/"${p}"_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "no ${p}_*.deb in $build/package: run ./run package"
  debs+=("$deb")
  # Someone else's installation is not ours to purge.
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "installed"; then
    fail "$p is installed already; remove it first"
  fi
done

tmp=$(mktemp -d)
backup=""
harness_dir=$tmp/harness
cleanup() {
  local status=$?
  if [ -x /usr/bin/qorx-harness ]; then
    QORX_HARNESS_DIR=$harness_dir /usr/bin/qorx-harness down >/dev/null 2>&1 || true
  fi
  dpkg --purge "${packages[@]}" >"$tmp/purge-on-exit.log" 2>&1 || true
  rm -f "$CHROMIUM_POLICY"
  rmdir -p --ignore-fail-on-non-empty "$(dirname "$CHROMIUM_POLICY")" 2>/dev/null || true
  rm -f "$FIREFOX_POLICY"
  if [ -n "$backup" ]; then
    mv "$backup" "$FIREFOX_POLICY"
  else
    rmdir -p --ignore-fail-on-non-empty "$(dirname "$FIREFOX_POLICY")" 2>/dev/null || true
  fi
  rm -rf "$tmp"
  exit $status
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
if [ -e "$FIREFOX_POLICY" ]; then
  backup=$FIREFOX_POLICY.qorx-test
  mv "$FIREFOX_POLICY" "$backup"
fi

passed=0
ok() {
  echo "ok   $*"
  passed=$((passed + 1))
}

for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{print substr($6, 2)}' |
  sed 's|/$||' | sort -u >"$tmp/files"
dpkg -i "${debs[@]}" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "dpkg -i"; }
ok "dpkg -i ${packages[*]}"
dpkg-query -W -f='${Version}\n' qorx | grep -q '+testkeys$' &&
  dpkg-query -W -f='${Description}\n' qorx | grep -q "TEST certification authorities" ||
  fail "a package with the test keys does not say so"
ok "the version and the description say that the test keys are inside"

# The simulator and harness of qorx-cardsim, with the card profiles it brings.
export QORX_HARNESS_DIR=$harness_dir
/usr/bin/qorx-harness up >"$tmp/harness.log" 2>&1 || { cat "$tmp/harness.log"; fail "qorx-harness up"; }
/usr/bin/qorx status --json | grep -q '"status": *0' || fail "qorx status: $(/usr/bin/qorx status 2>&1)"
ok "qorx reads the card that the installed simulator plays"

# Java finds libqorx.so where the package put it, with no library path given; a C++ program
# builds against qorx-dev through pkg-config.
cp -r "$root/tests/install/consumer" "$tmp/src"
javac -cp /usr/share/java/qorx.jar -d "$tmp/classes" "$tmp/src/Consumer.java"
java -cp "/usr/share/java/qorx.jar:$tmp/classes" Consumer | grep -qx "sha1 A9993E364706816ABA3E25717850C26C9CD0D89D" ||
  fail "the Java program against the installed jar and library"
ok "a Java program loads the installed library by its name"
# shellcheck disable=SC2046
c++ -std=c++17 $(pkg-config --cflags qorx) "$tmp/src/consumer.cpp" -o "$tmp/consumer" $(pkg-config --libs qorx)
"$tmp/consumer" | grep -qx "sha1 A9993E364706816ABA3E25717850C26C9CD0D89D" || fail "the C++ program against qorx-dev"
ok "a C++ program builds against qorx-dev"

# The browsers, against the installed files only. The demo page leaves the PIN to the host's
# dialog, which a scripted pinentry answers here (the browsers hand the hosts their environment).
export QORX_PINENTRY=$root/tests/bridge/fake-pinentry QORX_FAKE_PINENTRY=$tmp/pin-answers
printf 'pin 1234\n%.0s' 1 2 3 4 >"$QORX_FAKE_PINENTRY"
NODE_PATH=$build/npm/node_modules node "$here/browsers.js" "$root/tests/control/data/abc.txt" "$tmp" ||
  fail "the browsers"

/usr/bin/qorx-harness down >"$tmp/harness.log" 2>&1 || { cat "$tmp/harness.log"; fail "qorx-harness down"; }
dpkg --purge "${packages[@]}" >"$tmp/purge.log" 2>&1 || { cat "$tmp/purge.log"; fail "dpkg --purge"; }
left=()
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A folder may stay when another package owns it.
  [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
  left+=("$path")
done <"$tmp/files"
[ ${#left[@]} -eq 0 ] || fail "left after dpkg --purge: ${left[*]}"
ok "dpkg --purge leaves none of the $(wc -l <"$tmp/files") paths the packages installed"
echo "package: $passed passed, 0 failed"
