#!/usr/bin/env bash
# The status names and messages of the core's table, of the Java class QorXStatus and of
# QorX.Status in qorx.js, each read as its users see it, must be the same lists.
# usage: status_names_agree.sh QORX_STATUSGEN JAVA CLASSPATH NODE QORX_JS
set -euo pipefail
statusgen=$1 java=$2 classpath=$3 node=$4 qorxjs=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$statusgen" table | sort >"$tmp/core"
"$java" -cp "$classpath" StatusDump | sort >"$tmp/java"
"$node" -e '
  const window = {};
  require("vm").runInNewContext(require("fs").readFileSync(process.argv[1], "utf8"), { window });
  for (const [list, names] of [["status", window.QorX.Status], ["framework", window.QorX.FrameworkCode]])
    for (const [name, value] of Object.entries(names))
      if (typeof value === "number") console.log([list, name, value, names.message(value)].join("\t"));
' "$qorxjs" | sort >"$tmp/page"

[ "$(wc -l <"$tmp/core")" -gt 30 ] || { echo "the core table is too short"; exit 1; }
status=0
diff -u "$tmp/core" "$tmp/java" || { echo "QorXStatus differs from the core table"; status=1; }
diff -u "$tmp/core" "$tmp/page" || { echo "QorX.Status in qorx.js differs from the core table"; status=1; }
[ $status -eq 0 ] && echo "ok: $(wc -l <"$tmp/core") status names agree in C++, Java and qorx.js"
exit $status
