#!/usr/bin/env bash
# Fails when libqorx.so exports anything but the JNI entry points (JNI_OnLoad, JNI_OnUnload and
# the native methods of VTKJAV01_KestrelX) and the control's four server exports, or lacks one
# of those exports or of the native methods named here.
set -euo pipefail
library=$1
shift
exported=$(nm -D --defined-only "$library" | awk '{print $3}')
server='DllGetClassObject|DllCanUnloadNow|DllRegisterServer|DllUnregisterServer'
extra=$(grep -vE "^(Java_VTKJAV01_1KestrelX_[A-Za-z0-9]+|JNI_OnLoad|JNI_OnUnload|$server)\$" <<<"$exported" || true)
if [ -n "$extra" ]; then
  echo "exported beyond the JNI entry points and the server exports:"
  echo "$extra"
  exit 1
fi
for entry in ${server//|/ }; do
  grep -qx "$entry" <<<"$exported" || { echo "missing: $entry"; exit 1; }
done
for method in "$@"; do
  grep -qx "Java_VTKJAV01_1KestrelX_$method" <<<"$exported" || { echo "missing: $method"; exit 1; }
done
echo "$(wc -l <<<"$exported") symbols, all JNI entry points or server exports"
