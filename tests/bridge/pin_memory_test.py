"""The PIN typed into the dialog is not left in the host's freed memory. The real qorx-bridge
runs as a browser starts it (framed messages over pipes) with FreedMemoryWatch preloaded, and
the scripted pinentry answers: the card's PIN is changed through the dialog to a marker, a
payment is signed with the marker, a wrong PIN is tried, and the PIN is changed back. Every
block the host freed is checked for the marker, whole or in pieces.

First the watch is shown to catch a block freed with the marker in it, so that this test
cannot pass by seeing nothing.

    pin_memory_test.py QORX-BRIDGE FREED-MEMORY-WATCH.so FAKE-PINENTRY HARNESS
"""

import json
import os
import struct
import subprocess
import sys
import tempfile

# Letters and digits that no hexadecimal text, status, date or name of the session holds,
# nor any four of them in a row.
MARKER = "qZ7xK3wPj9"
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def watched(watch, report, command, **kwargs):
    env = dict(os.environ, LD_PRELOAD=watch, QORX_FREED_MARKER=MARKER, QORX_FREED_REPORT=report)
    env.update(kwargs.pop("env", {}))
    return subprocess.Popen(command, env=env, **kwargs)


def report_of(path):
    with open(path) as f:
        text = f.read()
    hits = [line for line in text.splitlines() if line.startswith("hit ")]
    summary = [line for line in text.splitlines() if line.startswith("scanned ")]
    return text, hits, summary


def self_check(watch, folder):
    """A program that frees the marker unwiped: whole, as UTF-16 and only its last five
    characters, each in a block large enough to come from malloc itself."""
    report = os.path.join(folder, "self-check")
    leak = ("import sys\n"
            "m = sys.argv[1]\n"
            "for text in (m.encode(), m.encode('utf-16-le'), m[-5:].encode()):\n"
            "    block = bytearray(4000) + text\n"
            "    del block\n")
    watched(watch, report, [sys.executable, "-c", leak, MARKER]).wait(30)
    text, hits, summary = report_of(report)
    check(any(": ascii characters 0..%d " % len(MARKER) in h for h in hits),
          "the watch sees a freed copy of the marker")
    check(any(": utf16le characters 0..%d " % len(MARKER) in h for h in hits),
          "... and its UTF-16 form")
    check(any(": ascii characters %d..%d " % (len(MARKER) - 5, len(MARKER)) in h for h in hits),
          "... and a piece of it")
    check(len(summary) == 1, "... and sums up at exit: " + (summary[0] if summary else text))


class Host:
    def __init__(self, process):
        self.process = process
        self.next_id = 0

    def call(self, member, args):
        self.next_id += 1
        message = json.dumps({"id": self.next_id, "origin": "https://bank.example", "op": "call",
                              "member": member, "args": args}).encode()
        self.process.stdin.write(struct.pack("<I", len(message)) + message)
        self.process.stdin.flush()
        while True:  # card events may come first
            length = struct.unpack("<I", self.process.stdout.read(4))[0]
            answer = json.loads(self.process.stdout.read(length))
            if answer.get("id") == self.next_id:
                return answer


def session(bridge, watch, pinentry, harness, folder):
    report = os.path.join(folder, "bridge")
    answers = os.path.join(folder, "answers")
    origins = os.path.join(folder, "origins")
    config = os.path.join(folder, "bridge.conf")
    with open(origins, "w") as f:
        f.write("https://bank.example\n")
    with open(config, "w") as f:
        f.write("pinentry-program = %s\n" % pinentry)
    with open(answers, "w") as f:
        f.write("".join(answer + "\n" for answer in (
            "pin 1234", "pin " + MARKER, "pin " + MARKER,  # change to the marker
            "pin " + MARKER,                               # verify with it
            "pin 9999",                                    # a wrong one
            "pin " + MARKER * 2,                           # one too long for the card
            # a change that goes wrong: new codes that differ, one too long, then cancel
            "pin " + MARKER, "pin Abcd5678", "pin Abcd5679", "pin " + MARKER * 2, "cancel",
            "pin " + MARKER, "crash",  # the dialog gone with the current PIN in its last line
            "pin " + MARKER, "pin 1234", "pin 1234",       # and back
        )))
    subprocess.run([harness, "sim-reinsert", "main"], check=True, stdout=subprocess.DEVNULL,
                   timeout=60)
    process = watched(watch, report, [bridge, "chrome-extension://x/"],
                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                      env={"QORX_BRIDGE_ORIGINS": origins, "QORX_BRIDGE_CONF": config,
                           "QORX_FAKE_PINENTRY": answers})
    host = Host(process)
    try:
        for member, args in (("Open", ["Virtual PCD 00 00"]), ("CardDetect", []),
                             ("CardAuthenticate", ["2026/12/08"])):
            check(host.call(member, args).get("value") == 0, member)
        refused = None  # any status but success
        steps = (
            ("ChangeSecretCode", [None, None], 0, "the PIN changed to the marker in the dialog"),
            ("CardVerifySecretCode", [], 0, "the marker verified through the dialog"),
            ("SignTransaction", ["Pay 12.50 to the landlord", 0], 0, "a payment signed"),
            ("CardVerifySecretCode", [], refused, "a wrong PIN refused"),
            ("CardVerifySecretCode", [], refused, "a PIN too long refused"),
            ("ChangeSecretCode", [None, None], refused, "a change cancelled after a mismatch"),
            ("ChangeSecretCode", [None, None], "pinentry", "a change whose dialog crashed"),
            ("CardVerifySecretCode", [MARKER * 2], refused, "the page's PIN too long refused"),
            ("CardVerifySecretCode", [MARKER], 0, "the marker verified as the page gave it"),
            ("ChangeSecretCode", [None, None], 0, "the PIN changed back in the dialog"),
        )
        for member, args, value, what in steps:
            answer = host.call(member, args)
            got = answer.get("value", answer.get("error", {}).get("code"))
            check(got == value if value is not None else isinstance(got, int) and got != 0,
                  "%s: %s" % (what, json.dumps(answer)[:120]))
    finally:
        process.stdin.close()
        status = process.wait(30)
        process.stdout.close()
    check(status == 0, "the host ended cleanly")
    text, hits, summary = report_of(report)
    check(len(summary) == 1 and int(summary[0].split()[1]) > 1000,
          "the host's freed blocks were scanned: " + (summary[0] if summary else "no summary"))
    check(not hits and summary and summary[0].endswith("hits 0"),
          "no freed block of the host held the PIN\n" + text[-6000:])


def main():
    bridge, watch, pinentry, harness = sys.argv[1:5]
    with tempfile.TemporaryDirectory(prefix="qorx-pinmem-") as folder:
        self_check(watch, folder)
        if not failures:
            session(bridge, watch, pinentry, harness, folder)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("freed-memory checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
