#!/usr/bin/env bash
# Registration through the two exports, seen by a page script: the control can be created by
# either ProgID only while it is registered.
#   registration.sh QORX-REGSVR QORX-SCRIPT LIBQORX CREATE-JS
set -euo pipefail
regsvr=$1 script=$2 library=$3 create=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QORX_REGISTRY=$work/registry.reg
progids=(VTKPLG01_QorBrowserPluginCOM.KestrelX5 VTKPLG01_QorBrowserPluginCOM.KestrelX5.1)

cannot_create() {
  local id
  for id in "${progids[@]}"; do
    if "$script" "$create" "$id" >"$work/out" 2>&1; then
      echo "created $id while not registered"; exit 1
    fi
    grep -q 'HRESULT 0x800401F3' "$work/out" || { cat "$work/out"; exit 1; }
  done
}

cannot_create
"$regsvr" "$library"
"$regsvr" "$library"  # twice: one class key all the same
[ "$(grep -c '^\[HKEY_CLASSES_ROOT\\CLSID\\{95BB2615-F8F1-418B-A0B6-3880CC82ACF4}\]$' "$QORX_REGISTRY")" = 1 ]
grep -qx "@=\"$(readlink -f "$library")\"" "$QORX_REGISTRY"
for id in "${progids[@]}"; do
  "$script" "$create" "$id" | grep -q '^created, version '
done
"$regsvr" /u "$library"
grep -qx '\[HKEY_CLASSES_ROOT\\CLSID\]' "$QORX_REGISTRY"
! grep -q 'KestrelX5' "$QORX_REGISTRY"
cannot_create
echo "registration checks passed"
