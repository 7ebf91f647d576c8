"""The bridge's cost per call: 1,000 lCardStatus reads and 100 CardDetect calls from a page
through qorx.js, the extension and qorx-bridge, against the same calls through qorx-script,
in one run against pcscd and the simulator. A read of what a call left is answered by qorx.js
itself; a method call costs one round trip through the browser.

    python3 bench/BridgeBench.py [BUILD_DIR]   (default build; needs qorx-bridge, qorx-script,
                                                qorx-regsvr, libqorx.so and qorx-cardsim built)
"""

import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "bridge"))
import browser  # noqa: E402

READS, DETECTS, ROUNDS = 1000, 100, 5


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    binary = lambda name: os.path.join(build, "bin", name)  # noqa: E731
    library = os.path.join(build, "lib", "libqorx.so")
    harness = os.path.join(ROOT, "tools", "harness", "qorx-harness")
    env = dict(os.environ, QORX_HARNESS_DIR=os.path.join(build, "harness"),
               QORX_CARDSIM=binary("qorx-cardsim"))
    work = tempfile.mkdtemp(prefix="qorx-bridge-bench-")
    env["QORX_REGISTRY"] = os.path.join(work, "registry.reg")
    subprocess.run([harness, "up"], env=env, check=True)
    b = None
    try:
        subprocess.run([binary("qorx-regsvr"), library], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        b = browser.Browser(binary("qorx-bridge"), timeout=300)
        b.open(b.url + "/test/session.html")
        script, page = [], []
        for _ in range(ROUNDS):  # alternating, so that neither side gets a warmer machine
            out = subprocess.run([binary("qorx-script"), os.path.join(ROOT, "bench", "BridgeBench.js"),
                                  str(READS), str(DETECTS)], env=env, check=True,
                                 capture_output=True, text=True).stdout
            script.append(json.loads(out))
            page.append(b.run("bench(arguments[0], arguments[1])", READS, DETECTS))
        # The best of the rounds, and the median, since the machine may be shared.
        best = lambda runs, key: min(r[key] for r in runs)  # noqa: E731
        median = lambda runs, key: sorted(r[key] for r in runs)[len(runs) // 2]  # noqa: E731
        rows = [("lCardStatus", READS, "readMs"), ("CardDetect", DETECTS, "detectMs")]
        print("%-12s %6s %14s %14s %14s %16s" % ("call", "calls", "qorx-script", "bridge", "added",
                                                 "added (median)"))
        added_all = []
        for name, count, key in rows:
            direct = best(script, key) / count
            bridged = best(page, key) / count
            added = bridged - direct
            added_median = (median(page, key) - median(script, key)) / count
            added_all.append(added)
            print("%-12s %6d %11.3f ms %11.3f ms %11.3f ms %13.3f ms" % (
                name, count, direct, bridged, added, added_median))
        worst = max(added_all)
        print("bridge adds at most %.3f ms per call (target: under 0.5 ms): %s"
              % (worst, "met" if worst < 0.5 else "NOT met"))
    finally:
        if b is not None:
            b.close()
        subprocess.run([harness, "down"], env=env)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
