// A bank page in headless Chromium and Firefox ESR against the installed packages only: each
// browser finds the extension and the host where the packages put them, the bank's IT has set
// the origins (/etc/qorx/bridge-origins and the browsers' policies) and the user added one of
// their own with qorx-bridge --origin. Driven with puppeteer-core (Chromium over CDP, Firefox over
// WebDriver BiDi); nothing is loaded into the browsers by the driver.
//
//   node browsers.js DATA_FILE_CONTAINING_abc WORK_DIR
"use strict";

const fs = require("fs");
const http = require("http");
const path = require("path");
const { execFileSync } = require("child_process");
const puppeteer = require("puppeteer-core");

const [dataFile, work] = process.argv.slice(2);
const SHARE = "/usr/share/qorx/bridge";  // the page library and the demo page, as installed
const PAGES = path.join(__dirname, "..", "bridge", "pages");
const CHROMIUM_EXTENSIONS = "/usr/lib/chromium/extensions";
const FIREFOX_ID = "bridge@qorx.org";

let passed = 0;
const failures = [];
function check(condition, what) {
  console.log((condition ? "ok   " : "FAIL ") + what);
  if (condition) passed++;
  else failures.push(what);
}

function serve(address) {
  const types = { ".js": "text/javascript", ".html": "text/html", ".css": "text/css" };
  const server = http.createServer((request, response) => {
    const url = request.url.split("?")[0];
    let file = null;
    if (url === "/qorx.js") file = path.join(SHARE, "qorx.js");
    else if (url.startsWith("/demo/")) file = path.join(SHARE, "demo", path.basename(url) || "index.html");
    else if (url.startsWith("/test/")) file = path.join(PAGES, path.basename(url));
    fs.readFile(file || "/nonexistent", (error, data) => {
      if (error) {
        response.writeHead(404);
        response.end();
        return;
      }
      response.writeHead(200, { "Content-Type": types[path.extname(file)] || "text/plain" });
      response.end(data);
    });
  });
  return new Promise((resolve) => server.listen(0, address, () => resolve(server)));
}

function write(file, text) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, text);
}

async function extensionOn(page, url) {
  for (const end = Date.now() + 30000; Date.now() < end;) {
    await page.goto(url);
    // The browsers install the extension in the background as they start.
    if (await page.evaluate(() => document.documentElement.hasAttribute("data-qorx-extension")))
      return true;
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
  return false;
}

async function session(name, browser, origins) {
  const page = await browser.newPage();
  check(await extensionOn(page, origins.allowed + "/test/session.html"),
    name + ": the installed extension runs on the bank's page");
  const failed = await page.evaluate((file) => bankingSession(file), dataFile);
  check(Array.isArray(failed) && failed.length === 0,
    name + ": open, detect, authenticate, wrong and right PIN, sign (checked with WebCrypto), " +
    "hash and sign a Blob, refuse a path, report, close: " + JSON.stringify(failed));

  const attempt = async (origin) => {
    await page.goto(origin + "/test/session.html");
    return page.evaluate(() => failure());
  };
  let result = await attempt(origins.user);
  check(result.startsWith("created: "), name + ": the user's own origin works: " + result);
  result = await attempt(origins.managed);
  check(result.startsWith("origin: pages of " + origins.managed + " may not use the card reader") &&
    !result.includes("extension"),
    name + ": the policy's origin passes the extension, and the host refuses it: " + result);
  result = await attempt(origins.other);
  check(result.startsWith("origin: ") && result.includes("refused by the QorX extension"),
    name + ": the extension refuses an origin on no list: " + result);

  await page.goto(origins.allowed + "/demo/index.html");
  result = await page.evaluate(() => demo.run());
  check(result === "signed", name + ": the demo bank page signs a payment: " + result);
  await page.close();
}

async function main() {
  const servers = [await serve("127.0.0.1"), await serve("127.0.0.1")];
  const [one, two] = servers.map((s) => s.address().port);
  const origins = {
    allowed: "http://localhost:" + one,   // the machine's list
    user: "http://localhost:" + two,      // the user's own, through qorx-bridge --origin
    managed: "http://127.0.0.1:" + one,   // the browsers' policy only
    other: "http://127.0.0.1:" + two,     // no list
  };
  // What the bank's IT sets; the test's shell script removes the policies again.
  fs.appendFileSync("/etc/qorx/bridge-origins", origins.allowed + "\n");
  const chromiumId = fs.readdirSync(CHROMIUM_EXTENSIONS).find((f) => f.endsWith(".json")).slice(0, -5);
  write("/etc/chromium/policies/managed/qorx-package-test.json", JSON.stringify(
    { "3rdparty": { extensions: { [chromiumId]: { origins: [origins.managed] } } } }));
  write("/etc/firefox/policies/policies.json", JSON.stringify(
    { policies: { "3rdparty": { Extensions: { [FIREFOX_ID]: { origins: [origins.managed] } } } } }));
  // The user's list is the test's own file, which the browsers pass on to the host they start.
  const env = Object.assign({}, process.env, { QORX_BRIDGE_ORIGINS: path.join(work, "user-origins") });
  execFileSync("/usr/bin/qorx-bridge", ["--origin", origins.user], { env, stdio: "ignore" });

  const root = process.getuid() === 0;
  const browsers = [
    ["Chromium", {
      browser: "chrome", executablePath: "/usr/bin/chromium", headless: true, env,
      userDataDir: path.join(work, "chromium"),
      args: root ? ["--no-sandbox"] : [],
      // The driver's defaults switch extensions off, and with --disable-default-apps those that an
      // external-extension file installs.
      ignoreDefaultArgs: ["--disable-extensions", "--disable-default-apps",
        "--disable-component-extensions-with-background-pages"],
    }],
    ["Firefox", {
      browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true, env,
      protocol: "webDriverBiDi",
      // The driver's profile narrows the add-on folders Firefox reads to the profile's and the
      // application's; this is Firefox's own default, which takes in the system folder.
      extraPrefsFirefox: { "extensions.enabledScopes": 15 },
    }],
  ];
  for (const [name, options] of browsers) {
    execFileSync("/usr/bin/qorx-harness", ["sim-reinsert", "main"], { stdio: "ignore", timeout: 60000 });
    let browser = null;
    try {
      if (options.userDataDir) {
        // Chromium installs the extension at its first start, and gives it the policy's
        // origins only from the next start on (or the next reload of the policies): the session
        // runs in the second start on the same profile, as a user's next day would.
        browser = await puppeteer.launch(options);
        const page = await browser.newPage();
        check(await extensionOn(page, origins.allowed + "/test/session.html"),
          name + ": the first start installs the extension");
        await browser.close();
      }
      browser = await puppeteer.launch(options);
      await session(name, browser, origins);
    } catch (e) {
      check(false, name + ": " + (e && e.stack ? e.stack : e));
    } finally {
      if (browser) await browser.close();
    }
  }
  servers.forEach((s) => s.close());
}

// A hung browser fails the test rather than holding the run.
const timer = setTimeout(() => {
  console.log("FAIL the browsers did not finish in time");
  process.exit(1);
}, 240000);
main().catch((e) => check(false, String(e && e.stack ? e.stack : e))).finally(() => {
  clearTimeout(timer);
  console.log("browsers: " + passed + " passed, " + failures.length + " failed");
  process.exit(failures.length === 0 ? 0 : 1);
});
