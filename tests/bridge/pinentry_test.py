"""Once, the real PIN dialog: Debian's pinentry-gtk2 on Xvfb, started by the host that headless
Chromium started for the demo page, the customer's keystrokes typed with xdotool, through the
extension and the card. Every message the page and the service worker exchanged is recorded,
and the PIN is in none of them. A picture of the dialog is kept.

    pinentry_test.py QORX-BRIDGE DIALOG.png
"""

import os
import signal
import struct
import subprocess
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402

# Letters no hexadecimal text or status number of the session can hold.
PIN = "qx7391"
TITLE = "QorX card reader"
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def png_of_xwd(xwd, path):
    """The root window as xwd dumps it at depth 24 (ZPixmap, 32 bits a pixel), as a PNG."""
    header = struct.unpack(">25I", xwd[:100])
    header_size, width, height, bits, line = header[0], header[4], header[5], header[11], header[12]
    colours = header[19]
    if bits != 32:
        raise ValueError("xwd gave %d bits a pixel" % bits)
    pixels = xwd[header_size + colours * 12:]
    little = header[7] == 0  # byte order: LSBFirst
    rows = bytearray()
    for y in range(height):
        row = pixels[y * line:y * line + width * 4]
        rows.append(0)
        if little:  # B G R x
            rgb = bytearray(width * 3)
            rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        else:  # x R G B
            rgb = bytearray(width * 3)
            rgb[0::3], rgb[1::3], rgb[2::3] = row[1::4], row[2::4], row[3::4]
        rows += rgb

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b""))


def free_display():
    for n in range(90, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display")


def customer(display, picture, typed):
    """Waits for the dialog, photographs it, types the PIN and confirms."""
    env = dict(os.environ, DISPLAY=display)
    deadline = time.time() + 40
    while time.time() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", TITLE], env=env,
                               capture_output=True, text=True)
        if found.stdout.strip():
            break
        time.sleep(0.2)
    else:
        return
    time.sleep(0.5)  # the dialog draws and takes the keyboard
    shot = subprocess.run(["xwd", "-root", "-silent"], env=env, capture_output=True, timeout=20)
    if shot.returncode == 0:
        try:
            png_of_xwd(shot.stdout, picture)
        except (ValueError, struct.error) as e:
            print("no picture: %s" % e)
    subprocess.run(["xdotool", "type", "--delay", "50", PIN], env=env, check=True, timeout=20)
    subprocess.run(["xdotool", "key", "Return"], env=env, check=True, timeout=20)
    typed.append(True)


def main():
    bridge, picture = sys.argv[1:3]

    def expire(*_):
        raise TimeoutError("the pinentry test ran out of time")
    signal.signal(signal.SIGALRM, expire)
    signal.alarm(150)
    harness = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                           "harness", "qorx-harness")
    subprocess.run([harness, "sim-reinsert", "main", "pin " + PIN], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    number = free_display()
    display = ":%d" % number
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    b = None
    try:
        deadline = time.time() + 10
        while not os.path.exists("/tmp/.X11-unix/X%d" % number) and time.time() < deadline:
            time.sleep(0.05)
        b = browser.Browser(bridge, record=True,
                            host_env={"DISPLAY": display, "QORX_PINENTRY": "/usr/bin/pinentry-gtk-2"})
        b.open(b.url + "/demo/index.html")
        # Everything the page (and so its content script) is sent or receives.
        b.run("(window.seen = [], window.addEventListener('message', "
              "(e) => window.seen.push(JSON.stringify(e.data))), 0)")
        typed = []
        helper = threading.Thread(target=customer, args=(display, picture, typed), daemon=True)
        helper.start()
        result = b.run("demo.run()")
        helper.join(5)
        check(typed == [True], "the dialog came up on the desktop and the PIN was typed into it")
        check(result == "signed", "the demo page signs a payment with the PIN from the dialog: %s"
              % result)
        seen = b.run("window.seen")
        check(isinstance(seen, list) and len(seen) > 10,
              "the page's messages were recorded (%d)" % len(seen if isinstance(seen, list) else []))
        check(not any(PIN in m for m in seen), "the PIN is in none of the page's messages")
        exchanged = b""
        for path in b.records:
            with open(path, "rb") as f:
                exchanged += f.read()
        check(b"CardVerifySecretCode" in exchanged, "the service worker's exchange was recorded")
        check(PIN.encode() not in exchanged, "the PIN is in none of the service worker's messages")
        check(os.path.exists(picture) and os.path.getsize(picture) > 2000,
              "a picture of the dialog in " + picture)
    finally:
        if failures and b is not None:
            print(b.log()[-3000:])
        if b is not None:
            b.close()
        xvfb.terminate()
        xvfb.wait(10)
        subprocess.run([harness, "sim-reinsert", "main"], stdout=subprocess.DEVNULL, timeout=60)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("pinentry checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
