"""A file the customer chose, streamed from a page through qorx.js, the extension and
qorx-bridge to the control's HashFile: 256 MiB, its MiB/s against sha1sum of the same file in
the same run, and the host's peak resident memory above what it held before the file (VmHWM
after against VmRSS before, from /proc), against pcscd and the simulator. The same chunks fed
to qorx-bridge alone tell the host's part from the browser's.

    python3 bench/BridgeFileBench.py [BUILD_DIR]   (default build; needs qorx-bridge and
                                                    qorx-cardsim built)
"""

import base64
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "bridge"))
import browser  # noqa: E402

MIB = 1 << 20
SIZE = 256 * MIB
TARGET_MIBS, TARGET_MEMORY = 100, 16 * MIB


def memory(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no %s for process %d" % (field, pid))


def host_alone(bridge, chosen, work):
    """MiB/s of qorx-bridge given the page's messages for the file straight on its input."""
    origins = os.path.join(work, "origins")
    with open(origins, "w") as f:
        f.write("https://bank.example\n")
    host = subprocess.Popen([bridge, "bench"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=dict(os.environ, QORX_BRIDGE_ORIGINS=origins))
    answers = []
    reader = threading.Thread(target=lambda: answers.append(host.stdout.read()))
    reader.start()

    def send(data):
        host.stdin.write(struct.pack("=I", len(data)))
        host.stdin.write(data)

    # Encoded first, and the messages put together as bytes: the host's time, not Python's.
    chunk = 512 * 1024
    pieces = []
    with open(chosen, "rb") as f:
        for _ in range(64):
            pieces.append(base64.b64encode(f.read(chunk)))
    page = b'"origin":"https://bank.example",'
    start = time.monotonic()
    send(b'{"id":1,%s"op":"file","member":"HashFile","size":%d}' % (page, SIZE))
    for i in range(SIZE // chunk):
        send(b'{"id":%d,%s"op":"chunk","at":%d,"data":"%s"}'
             % (i + 2, page, i * chunk, pieces[i % len(pieces)]))
    send(b'{"id":0,%s"op":"end"}' % page)
    host.stdin.close()
    reader.join()
    seconds = time.monotonic() - start
    host.wait()
    if b'{"id":0,"value":0}' not in answers[0]:
        raise RuntimeError("qorx-bridge alone did not hash the file")
    return SIZE / MIB / seconds


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    harness = os.path.join(ROOT, "tools", "harness", "qorx-harness")
    env = dict(os.environ, QORX_HARNESS_DIR=os.path.join(build, "harness"),
               QORX_CARDSIM=os.path.join(build, "bin", "qorx-cardsim"))
    work = tempfile.mkdtemp(prefix="qorx-file-bench-")
    chosen = os.path.join(work, "chosen.bin")
    with open(chosen, "wb") as f:
        for _ in range(SIZE // (16 * MIB)):
            f.write(os.urandom(16 * MIB))
    subprocess.run([harness, "up"], env=env, check=True)
    b = None
    try:
        start = time.monotonic()
        wanted = subprocess.run(["sha1sum", chosen], check=True, capture_output=True,
                                text=True).stdout.split()[0].upper()
        sha1sum = SIZE / MIB / (time.monotonic() - start)

        b = browser.Browser(os.path.join(build, "bin", "qorx-bridge"), timeout=300)
        b.open(b.url + "/test/session.html")
        b.choose_file("#file", chosen)
        before = set(b.hosts())
        b.run("prepareFile()")
        # The page's host, started after the one that told the extension the allowed origins.
        host = [pid for pid in b.hosts() if pid not in before][-1]
        idle = memory(host, "VmRSS")
        result = b.run("streamFile()")
        if not browser.alive(host):
            raise RuntimeError("the host ended: %s %s" % (result, b.log()[-2000:]))
        peak = memory(host, "VmHWM")
        if result.get("status") != 0 or result.get("sHashOutput") != wanted:
            raise RuntimeError("the file's hash is wrong: %s, wanted %s" % (result, wanted))
        bridged = SIZE / MIB / (result["ms"] / 1000)
        above = peak - idle
        print("256 MiB chosen file: bridge %.0f MiB/s (%.2f s), sha1sum %.0f MiB/s" % (
            bridged, result["ms"] / 1000, sha1sum))
        print("qorx-bridge alone, the same chunks on its input: %.0f MiB/s"
              % host_alone(os.path.join(build, "bin", "qorx-bridge"), chosen, work))
        print("host memory: %.1f MiB before, peak %.1f MiB, %.1f MiB above idle" % (
            idle / MIB, peak / MIB, above / MIB))
        print("at least %d MiB/s: %s; at most %d MiB above idle: %s" % (
            TARGET_MIBS, "met" if bridged >= TARGET_MIBS else "NOT met", TARGET_MEMORY // MIB,
            "met" if above <= TARGET_MEMORY else "NOT met"))
    finally:
        if b is not None:
            b.close()
        subprocess.run([harness, "down"], env=env)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
