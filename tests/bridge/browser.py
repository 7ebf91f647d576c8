"""A headless Chromium with the QorX extension and qorx-bridge installed into a throwaway
profile, driven through chromedriver's WebDriver protocol, with pages served from localhost.
Shared by the browser test and the benchmark."""

import base64
import functools
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BRIDGE_DIR = os.path.join(ROOT, "tools", "bridge")
PAGES_DIR = os.path.join(ROOT, "tests", "bridge", "pages")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Handler(http.server.SimpleHTTPRequestHandler):
    """/qorx.js and /demo/ from tools/bridge, /test/ from tests/bridge/pages."""

    def translate_path(self, path):
        path = path.split("?", 1)[0].split("#", 1)[0]
        if path == "/qorx.js":
            return os.path.join(BRIDGE_DIR, "qorx.js")
        for prefix, folder in (("/demo/", os.path.join(BRIDGE_DIR, "demo")),
                               ("/test/", PAGES_DIR)):
            if path.startswith(prefix):
                name = os.path.normpath(path[len(prefix):]).lstrip("/")
                if name.startswith(".."):
                    break
                return os.path.join(folder, name or "index.html")
        return "/nonexistent"

    def log_message(self, *args):
        pass


class Browser:
    """Allowed origins: `host_origins` for the host's list, which the extension learns from the
    host; placeholders {allowed} and {other} are the two test servers' localhost origins,
    {loopback} the first server's 127.0.0.1 origin."""

    def __init__(self, bridge, chromium="/usr/bin/chromium", chromedriver="/usr/bin/chromedriver",
                 host_origins=("{allowed}",), timeout=60, host_env=None, record=False):
        self.work = tempfile.mkdtemp(prefix="qorx-bridge-browser-")
        self.processes = []
        self.servers = []
        try:
            self._start(bridge, chromium, chromedriver, host_origins, timeout, host_env or {},
                        record)
        except BaseException:
            self.close()
            raise

    def _serve(self, address="127.0.0.1"):
        server = http.server.ThreadingHTTPServer((address, 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.servers.append(server)
        return server.server_address[1]

    def _start(self, bridge, chromium, chromedriver, host_origins, timeout, host_env, record):
        port, other = self._serve(), self._serve()
        # 127.0.0.2 is a loopback address too, but not one the extension's scripts run on.
        names = {"allowed": "http://localhost:%d" % port, "other": "http://localhost:%d" % other,
                 "loopback": "http://127.0.0.1:%d" % port,
                 "unscripted": "http://127.0.0.2:%d" % self._serve("127.0.0.2")}
        self.origins = names
        self.url = names["allowed"]

        extension = os.path.join(BRIDGE_DIR, "extension")
        host_list = os.path.join(self.work, "host-origins")
        with open(host_list, "w") as f:
            f.write("".join(o.format(**names) + "\n" for o in host_origins))
        # The browser starts the host with its own environment; a wrapper points it at this
        # run's allowlist and records each host's process ID.
        self.host_pids = os.path.join(self.work, "host-pids")
        wrapper = os.path.join(self.work, "host.sh")
        # With `record`, what the service worker and the host say to each other is kept too.
        env = "".join("%s='%s' " % item for item in sorted(host_env.items()))
        host = "%sQORX_BRIDGE_ORIGINS='%s' %s'%s' \"$@\" 2>>'%s'" % (
            env, host_list, "" if record else "exec ", os.path.abspath(bridge),
            os.path.join(self.work, "host.log"))
        self.records = (os.path.join(self.work, "to-host"), os.path.join(self.work, "from-host"))
        if record:
            host = "tee -a '%s' | %s | tee -a '%s'" % (self.records[0], host, self.records[1])
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\necho $$ >> '%s'\n%s\n" % (self.host_pids, host))
        os.chmod(wrapper, 0o755)
        self.profile = profile = os.path.join(self.work, "profile")
        subprocess.run([bridge, "--install", "--profile", profile, "--host", wrapper], check=True,
                       stdout=subprocess.DEVNULL, timeout=10)

        driver_port = free_port()
        self.driver = "http://127.0.0.1:%d" % driver_port
        log = open(os.path.join(self.work, "chromedriver.log"), "w")
        # In a process group of its own, so that the browser it starts goes with it.
        self.processes.append(subprocess.Popen([chromedriver, "--port=%d" % driver_port],
                                               stdout=log, stderr=subprocess.STDOUT,
                                               start_new_session=True))
        deadline = time.time() + 20
        while True:
            try:
                self._call("GET", "/status")
                break
            except (urllib.error.URLError, ConnectionError):
                if time.time() > deadline:
                    raise RuntimeError("chromedriver did not start")
                time.sleep(0.1)
        args = ["--headless=new", "--user-data-dir=" + profile,
                "--load-extension=" + extension, "--disable-extensions-except=" + extension,
                "--disable-gpu", "--window-size=1200,790", "--no-first-run",
                "--disable-dev-shm-usage"]
        if os.geteuid() == 0:
            args.append("--no-sandbox")
        capabilities = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": chromium, "args": args,
                                   "excludeSwitches": ["disable-extensions"]},
            "timeouts": {"script": timeout * 1000, "pageLoad": 30000}}}}
        self.session = self._call("POST", "/session", capabilities)["sessionId"]

    def _call(self, method, path, body=None, timeout=120):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.driver + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return json.load(response)["value"]
        except urllib.error.HTTPError as e:
            raise RuntimeError("WebDriver %s %s: %s" % (method, path, e.read().decode()[:2000]))

    def command(self, method, path, body=None):
        return self._call(method, "/session/%s%s" % (self.session, path), body)

    def open(self, url):
        self.command("POST", "/url", {"url": url})

    def run(self, expression, *args):
        """Awaits a page expression (a promise) and returns its JSON value."""
        script = ("const done = arguments[arguments.length - 1];"
                  "Promise.resolve().then(() => (%s)).then(done, (e) => done({thrown: String(e)}));"
                  % expression)
        return self.command("POST", "/execute/async", {"script": script, "args": list(args)})

    def choose_file(self, selector, path):
        """Sets a file on a page's <input type=file>, as the customer choosing it would."""
        element = self.command("POST", "/element", {"using": "css selector", "value": selector})
        self.command("POST", "/element/%s/value" % next(iter(element.values())), {"text": path})

    def new_tab(self):
        handle = self.command("POST", "/window/new", {"type": "tab"})["handle"]
        self.command("POST", "/window", {"handle": handle})
        return handle

    def close_tab(self, keep):
        self.command("DELETE", "/window")
        self.command("POST", "/window", {"handle": keep})

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.command("GET", "/screenshot")))

    def hosts(self):
        try:
            with open(self.host_pids) as f:
                return [int(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def log(self):
        try:
            with open(os.path.join(self.work, "host.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def close(self):
        if getattr(self, "session", None):
            try:
                self._call("DELETE", "/session/" + self.session, timeout=20)
            except Exception:
                pass
        for p in self.processes:
            for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
                try:
                    os.killpg(p.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    p.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    pass
        for s in self.servers:
            s.shutdown()
        shutil.rmtree(self.work, ignore_errors=True)


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[-1][0] != "Z"
    except FileNotFoundError:
        return False
