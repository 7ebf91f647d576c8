#!/usr/bin/env bash
# Runs JUnit test classes in a JVM that checks every JNI call (-Xcheck:jni) and fails when the
# checks report anything, even if every test passed.
# usage: run-junit.sh JAVA JUNIT_JAR CLASSPATH LIBRARY [-Dname=value | -Xoption...] CLASS...
set -uo pipefail
java=$1 jar=$2 classpath=$3 library=$4
shift 4
properties=() selectors=()
for arg in "$@"; do
  case "$arg" in
    -D* | -X*) properties+=("$arg") ;;
    *) selectors+=(--select-class "$arg") ;;
  esac
done
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$java" -Xcheck:jni -Dqorx.library="$library" "${properties[@]}" -jar "$jar" --disable-banner \
  --disable-ansi-colors --details=tree --fail-if-no-tests --class-path "$classpath" "${selectors[@]}" >"$log" 2>&1
status=$?
cat "$log"
if grep -E -q "WARNING|FATAL ERROR|hs_err_pid" "$log"; then
  echo "run-junit: the JNI checks reported problems (see above)"
  exit 1
fi
exit $status
