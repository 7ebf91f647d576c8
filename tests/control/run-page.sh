#!/usr/bin/env bash
# Runs a page script against a fresh simulated card: the card is taken out, the simulator's
# start options and card data (secret code, tries) restored, and the card put back first, so
# what earlier tests did to the card does not matter.
#   run-page.sh QORX-HARNESS QORX-SCRIPT SCRIPT.js [ARGUMENT...]
set -euo pipefail
harness=$1
shift
"$harness" sim-reinsert main >/dev/null
exec "$@"
