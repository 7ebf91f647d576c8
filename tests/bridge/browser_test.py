"""The bridge through a real browser against pcscd and the simulator: a banking session from a
page through qorx.js, refused origins, hostile messages, the reader freed when a tab closes,
and a screenshot of the demo page after a signature.

    browser_test.py QORX-BRIDGE A-FILE-PATH SCREENSHOT.png   (a page naming the path is refused)
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def main():
    bridge, data_file, screenshot = sys.argv[1:4]
    # A hung browser or host fails the test instead of holding the run, and still cleans up.
    def expire(*_):
        raise TimeoutError("the browser test ran out of time")
    signal.signal(signal.SIGALRM, expire)
    signal.alarm(170)
    # Tests before this one may have left the card out, blocked or otherwise configured.
    harness = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                           "harness", "qorx-harness")
    subprocess.run([harness, "sim-reinsert", "main"], check=True, stdout=subprocess.DEVNULL,
                   timeout=60)
    # The first server's localhost origin is allowed, and the extension learns it from the host;
    # the second server is not. The demo page leaves the PIN to the host's dialog: here the
    # scripted one.
    here = os.path.dirname(os.path.abspath(__file__))
    answers = os.path.join(tempfile.mkdtemp(prefix="qorx-pin-"), "answers")
    b = browser.Browser(bridge, host_origins=("{allowed}",),
                        host_env={"QORX_PINENTRY": os.path.join(here, "fake-pinentry"),
                                  "QORX_FAKE_PINENTRY": answers})
    try:
        b.open(b.url + "/test/session.html")
        result = b.run("bankingSession(arguments[0])", data_file)
        check(result == [], "banking session through qorx.js: %s" % result)
        check(b.hosts() != [], "the browser started the host")

        result = b.run("hostileMessages()")
        wanted = {"h1": "member", "h2": "arguments", "h3": "arguments", "h5": "arguments",
                  "h4": "size", "h6": "member", "h7": "request", "h8": "ok", "h9": "size",
                  "h10": "path",
                  "unanswerable": 0, "after": 0,
                  "hash": "A9993E364706816ABA3E25717850C26C9CD0D89D"}
        check(result == wanted, "hostile messages answered, the session goes on: %s" % result)

        # A file the customer chooses, 64 MiB: streamed in chunks, hashed as sha1sum hashes it,
        # signed by the card.
        chosen = os.path.join(b.work, "chosen.bin")
        with open(chosen, "wb") as f:
            f.write(os.urandom(64 << 20))
        wanted = subprocess.run(["sha1sum", chosen], check=True, capture_output=True,
                                text=True).stdout.split()[0].upper()
        b.open(b.url + "/test/session.html")
        b.choose_file("#file", chosen)
        result = b.run("chosenFile()")
        print("     a 64 MiB file hashed through the bridge at %.0f MiB/s"
              % result.get("mibPerSecond", 0))
        check(result.get("hash") == 0 and result.get("sHashOutput") == wanted,
              "HashFile of a chosen 64 MiB file gives sha1sum's value: %s" % result)
        check(result.get("progress", {}).get("last") == [64 << 20, 64 << 20]
              and result["progress"]["rising"] and result["progress"]["calls"] > 2,
              "progress is reported and ends at the total: %s" % result.get("progress"))
        check(result.get("sign") == 0 and result.get("verified") is True,
              "SignFile of it verifies with the card's key: %s" % result)
        os.unlink(chosen)

        b.open(b.origins["other"] + "/test/session.html")
        before = set(b.hosts())
        result = b.run("failure()")
        check(result.startswith("origin: ") and "refused by the QorX extension" in result,
              "the extension refuses an origin not on its list: %s" % result)
        # Only the host's answer to the extension's question about its list, gone at once.
        asked = [pid for pid in b.hosts() if pid not in before]
        deadline = time.time() + 10
        while any(browser.alive(pid) for pid in asked) and time.time() < deadline:
            time.sleep(0.05)
        check(len(asked) <= 1 and not any(browser.alive(pid) for pid in asked),
              "no host serves it: %s" % asked)

        # A tab holding a transaction closes; a second client gets the card at once.
        first = b.command("GET", "/window")
        b.new_tab()
        b.open(b.url + "/test/session.html")
        before = set(b.hosts())
        check(b.run("holdReader()") == "0,0,0", "a tab opens the reader and holds a transaction")
        holder = [pid for pid in b.hosts() if pid not in before]
        b.close_tab(first)
        deadline = time.time() + 10
        while any(browser.alive(pid) for pid in holder) and time.time() < deadline:
            time.sleep(0.05)
        check(holder != [] and not any(browser.alive(pid) for pid in holder),
              "its host exits when the tab closes")
        b.open(b.url + "/test/session.html")
        result = b.run("useReader()")
        check(result.get("results") == "0,0,0" and result.get("ms", 1e9) < 5000,
              "a second client uses the card at once: %s" % result)

        # Cards coming and going reach a page that listens, and the card status it reads
        # follows them with no call in between.
        b.open(b.url + "/test/session.html")
        check(b.run("watchCards()") == "0,0,1026", "a page follows the card")
        for action, status in (("remove", 1028), ("insert", 1026)):
            start = time.time() * 1000
            subprocess.run([harness, "sim", "main", action], check=True, stdout=subprocess.DEVNULL,
                           timeout=10)
            result = b.run("cardChange(arguments[0], 3000)", status)
            event = result["event"] or {}
            latency = event.get("at", 1e12) - start
            print("     card %s: event after %.0f ms, lCardStatus %d after %.0f ms, %d requests"
                  % (action, latency, status, (result["seenAt"] or 1e12) - start, result["requests"]))
            check(event.get("reader") == "Virtual PCD 00 00" and event.get("cardStatus") == status
                  and latency < 500, "the card's %s is told within 500 ms: %s" % (action, result))
            check(result["seenAt"] is not None and result["seenAt"] - start < 500
                  and result["requests"] <= 2, "lCardStatus reads %d after the card's %s, the "
                  "reads costing one request: %s" % (status, action, result))
        result = b.run("quietCard(1500)")
        check(result["events"] == [], "no event without a change, the card in use: %s" % result)
        # Readers go with the PC/SC service and come back with it (only with our own pcscd).
        if subprocess.run([harness, "pcscd-ours"]).returncode == 0:
            subprocess.run([harness, "pcscd-restart"], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            events = b.run("nextCardEvents(4, 5000)")
            told = sorted((e["reader"], e["cardStatus"], "readerAdded" in e, "readerRemoved" in e)
                          for e in events)
            check(told == [("Virtual PCD 00 00", 0, False, True), ("Virtual PCD 00 00", 1026, True, False),
                           ("Virtual PCD 00 01", 0, False, True), ("Virtual PCD 00 01", 1028, True, False)],
                  "readers gone and back with pcscd's restart: %s" % told)

        # The demo's visit from the page's first script on: one request for the control, then
        # one per method call and none for reading what the calls left.
        b.command("POST", "/goog/cdp/execute", {"cmd": "Page.addScriptToEvaluateOnNewDocument",
                  "params": {"source": "window.qorxRequests = {}; window.addEventListener('message',"
                             " (e) => { const d = e.data; if (d && d.qorx === 'request')"
                             " qorxRequests[d.op] = (qorxRequests[d.op] || 0) + 1; });"}})
        b.open(b.url + "/demo/index.html")
        with open(answers, "w") as f:
            f.write("pin 1234\n")
        result = b.run("demo.run().then((r) => [r, qorxRequests])")
        check(result[0] == "signed", "the demo page signs a payment: %s" % result[0])
        print("     the demo's visit: %s" % result[1])
        check(result[1].get("members") == 1 and result[1].get("call", 0) >= 10
              and "get" not in result[1], "the demo's visit reads no property through the host: %s"
              % result[1])
        b.screenshot(screenshot)
        check(os.path.getsize(screenshot) > 10000, "screenshot of the demo page in " + screenshot)

        b.open(b.origins["unscripted"] + "/test/session.html")
        result = b.run("failure()")
        check(result.startswith("extension: the QorX browser extension is not installed"),
              "a page without the extension is told so: %s" % result)
        subprocess.run([bridge, "--uninstall", "--profile", b.profile], check=True,
                       stdout=subprocess.DEVNULL, timeout=10)
        b.open(b.url + "/test/session.html")
        result = b.run("failure()")
        check(result.startswith("host: qorx-bridge: ") and "not found" in result,
              "a page without the host is told so: %s" % result)
        subprocess.run([bridge, "--install", "--profile", b.profile, "--host",
                        os.path.join(b.work, "host.sh")], check=True, stdout=subprocess.DEVNULL,
                       timeout=10)
        result = b.run("failure()")
        check(result.startswith("created: "), "the same page connects once the host is back: %s"
              % result)
    finally:
        if failures:
            print(b.log()[-3000:])
        b.close()
        shutil.rmtree(os.path.dirname(answers), ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("browser checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
