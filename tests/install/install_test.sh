#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds and runs, against the installed files
# only, a C++ program through find_package(QorX) and through pkg-config, and a Java program
# through the jar; checks that the installed headers are the public ones and what they include,
# each usable alone, and that no test hook is installed. Usage: install_test.sh BUILD_DIR
# PUBLIC_HEADER...
set -euo pipefail
build=$1
shift
public=("$@")
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; }
grep -q "embeds the TEST certification authorities" "$tmp/install.log" ||
  fail "installing a build with the test keys gave no warning"
for f in bin/qorx bin/qorx-cardsim lib/libqorx.so lib/libqorx-service.a share/java/qorx.jar \
  lib/pkgconfig/qorx.pc lib/cmake/QorX/QorXConfig.cmake include/qorx/applet/QorTerminalAppletService.h; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
soname=$(objdump -p "$prefix/lib/libqorx.so" | awk '$1 == "SONAME" {print $2}')
[[ $soname =~ ^libqorx\.so\.[0-9]+$ ]] || fail "soname \"$soname\""
[ -e "$prefix/lib/$soname" ] || fail "$soname not installed"
"$prefix/bin/qorx" version | grep -q "^version: " || fail "installed qorx"

# The headers: every one compiles alone (none relies on one left out), every one is reached
# from the public ones, and the library's internals and the tests' hooks are absent.
include=$prefix/include/qorx
installed=$(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
for header in $installed; do
  echo "#include \"$header\"" | c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
    -I"$include" -x c++ - || fail "$header does not compile alone"
done
printf '#include "%s"\n' "${public[@]}" >"$tmp/public.cpp"
reached=$(c++ -std=c++17 -I"$include" -MM "$tmp/public.cpp" | tr ' \\' '\n\n' |
  sed -n "s|^$include/||p" | sort -u)
extra=$(comm -23 <(echo "$installed") <(echo "$reached"))
[ -z "$extra" ] || fail "installed though no public header includes it: $extra"
for private in KeyVault.h TLV.h X509Certificate.h SmartCardSlotPCSC.h PCSCLoader.h Wipe.h; do
  [ -z "$(find "$include" -name "$private")" ] || fail "private $private installed"
done
hooks='SetReleaseObserver|SetRandomBytesFunction|ResetPCSCLibraryForTesting'
! grep -rqE "$hooks" "$include" || fail "a test hook is declared in an installed header"
! nm -C "$prefix/lib/libqorx-service.a" "$prefix/lib/libqorx.so" 2>/dev/null | grep -qE "$hooks" ||
  fail "a test hook is in the installed libraries"

# Copies, so nothing of the source tree is at hand.
cp -r "$here/consumer" "$tmp/src"
expected="sha1 A9993E364706816ABA3E25717850C26C9CD0D89D"

cmake -S "$tmp/src" -B "$tmp/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
"$tmp/cmake-build/consumer" >"$tmp/out"
grep -qx "$expected" "$tmp/out" || fail "find_package program: $(cat "$tmp/out")"
grep -qx "cryptogram 152 bytes" "$tmp/out" || fail "find_package program: $(cat "$tmp/out")"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 $(pkg-config --cflags qorx) "$tmp/src/consumer.cpp" -o "$tmp/pc-consumer" \
  $(pkg-config --libs qorx)
"$tmp/pc-consumer" | grep -qx "$expected" || fail "pkg-config program"

javac -cp "$prefix/share/java/qorx.jar" -d "$tmp/classes" "$tmp/src/Consumer.java"
java -cp "$prefix/share/java/qorx.jar:$tmp/classes" -Djava.library.path="$prefix/lib" Consumer \
  >"$tmp/java.out"
grep -qx "sha1 A9993E364706816ABA3E25717850C26C9CD0D89D" "$tmp/java.out" ||
  fail "Java program: $(cat "$tmp/java.out")"
grep -q "^version [0-9]" "$tmp/java.out" || fail "Java program: $(cat "$tmp/java.out")"
grep -qx "1794 secret code rejected" "$tmp/java.out" || fail "QorXStatus: $(cat "$tmp/java.out")"
echo "ok: installed into $prefix and used from C++ (CMake, pkg-config) and Java"
