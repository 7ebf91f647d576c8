// Page scripts of the browser test, run by the driver through WebDriver: each resolves to a
// list of failed checks (empty when all held) or to the values the driver checks itself.
"use strict";

function checker() {
  const failures = [];
  return {
    failures,
    is(actual, wanted, what) {
      if (actual !== wanted) failures.push(what + ": got " + actual + ", wanted " + wanted);
    },
    matches(actual, pattern, what) {
      if (!pattern.test(actual)) failures.push(what + ": got " + actual + ", wanted " + pattern);
    },
  };
}

function hexBytes(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

// The subjectPublicKeyInfo of a DER certificate: the seventh element of tbsCertificate when
// it has the explicit version, the sixth otherwise.
function publicKeyInfo(der) {
  function element(at) {
    let length = der[at + 1], header = 2;
    if (length & 0x80) {
      const n = length & 0x7f;
      length = 0;
      for (let i = 0; i < n; i++) length = length * 256 + der[at + 2 + i];
      header += n;
    }
    return { tag: der[at], start: at, body: at + header, end: at + header + length };
  }
  const tbs = element(element(0).body);
  let at = tbs.body;
  if (element(at).tag === 0xa0) at = element(at).end;
  for (let i = 0; i < 5; i++) at = element(at).end;
  const spki = element(at);
  return der.slice(spki.start, spki.end);
}

// `data` a text (signed as UTF-8) or the bytes themselves.
async function verifySignature(certificateHex, signatureHex, data) {
  const key = await crypto.subtle.importKey("spki", publicKeyInfo(hexBytes(certificateHex)),
    { name: "RSASSA-PKCS1-v1_5", hash: "SHA-1" }, false, ["verify"]);
  return crypto.subtle.verify("RSASSA-PKCS1-v1_5", key, hexBytes(signatureHex),
    typeof data === "string" ? new TextEncoder().encode(data) : data);
}

async function bankingSession(path) {
  const file = new Blob(["abc"]);
  const t = checker();
  const ctl = await QorX.create({ timeout: 20000 });
  t.is(await ctl.GetReaderCount(), 0, "GetReaderCount");
  t.is(await ctl.GetReaderName(0), 0, "GetReaderName(0)");
  const reader = await ctl.sReaderName;
  t.is(reader, "Virtual PCD 00 00", "sReaderName");
  t.is(await ctl.Open(reader), 0, "Open");
  t.is(await ctl.bActive, 1, "bActive");
  t.is(await ctl.CardDetect(), 0, "CardDetect");
  t.is(await ctl.lCardStatus, 1026, "lCardStatus of a ready card");
  t.is(await ctl.sCardATR, "3B8801516F725853696D31FB", "sCardATR");

  t.is(await ctl.GetCertificate(), 0, "GetCertificate");
  const certificate = await ctl.sCertificateData;
  t.is(await ctl.CardAuthenticate("2026/12/08"), 0, "CardAuthenticate");
  t.matches(await ctl.sPAN, /^[0-9A-F]{16}$/, "sPAN");
  t.matches(await ctl.sPANSEQ, /^[0-9A-F]{2}$/, "sPANSEQ");
  t.is(await ctl.lCardStatus, 1025, "lCardStatus after authentication");

  t.is(await ctl.GetApplicationState(), 0, "GetApplicationState");
  t.is(await ctl.wRetries, 3, "wRetries");
  t.is(await ctl.CardVerifySecretCode("9999"), 1794, "CardVerifySecretCode with a wrong code");
  t.is(await ctl.wRetries, 2, "wRetries after a wrong code");
  t.is(await ctl.CardVerifySecretCode("1234"), 0, "CardVerifySecretCode");
  t.is(await ctl.wRetries, 3, "wRetries after the right code");
  t.is(await ctl.lCardStatus, 1024, "lCardStatus after the secret code");

  const payment = "PAY 125.40 EUR TO PT50000201231234567890154 REF 4711";
  t.is(await ctl.SignTransaction(payment, 0), 0, "SignTransaction");
  const signature = await ctl.sCriptogramData;
  t.matches(signature, /^[0-9A-F]{256}$/, "sCriptogramData");
  t.is(await verifySignature(certificate, signature, payment), true,
    "the signature checks with the certificate's key");
  t.is(await ctl.SignFile(file), 0, "SignFile");
  t.is(await verifySignature(certificate, await ctl.sCriptogramData, "abc"), true,
    "the file's signature checks");

  const abc = "A9993E364706816ABA3E25717850C26C9CD0D89D";
  t.is(await ctl.CalculateSHA1Hash("abc", 0), 0, "CalculateSHA1Hash");
  t.is(await ctl.sHashOutput, abc, "sHashOutput");
  t.is(await ctl.HashFile(file), 0, "HashFile");
  t.is(await ctl.sHashOutput, abc, "sHashOutput of the file");
  t.is(await ctl.HashFile(path).catch((e) => e.code), "path", "HashFile of a path");

  t.is(await ctl.RSAPasswordEncryptWithPublicKey("s3cret", 0, 0xDF71, 1), 0,
    "RSAPasswordEncryptWithPublicKey");
  t.matches(await ctl.sEncryptedPassword, /^30[0-9A-F]+$/, "sEncryptedPassword");

  t.is(await ctl.SecureChannelInit("0102030405060708", 1), 0, "SecureChannelInit");
  t.matches(await ctl.sInitializationData, /^30[0-9A-F]+$/, "sInitializationData");
  t.is(await ctl.SecureChannelExecScript("71129F180400000001860984DA00CA0401020304"), 0,
    "SecureChannelExecScript");
  t.is(await ctl.wSecureChannelResult, 0x9000, "wSecureChannelResult");

  t.is(await ctl.PerformPCSCDiagnosticTest(), 0, "PerformPCSCDiagnosticTest");
  t.matches(await ctl.sPCSCDiagnosticResult, /^\[PCSCDiagnosticTest\]\n[^]*Leitoras\.Leitora\.0 = Virtual PCD 00 00\n/,
    "sPCSCDiagnosticResult");
  t.matches(await ctl.sVersion, /^\d+\.\d+\.\d+\.\d+$/, "sVersion");

  // Calls made without waiting are still answered in order.
  const burst = await Promise.all([ctl.lCardStatus, ctl.CardLogout(), ctl.lCardStatus]);
  t.is(burst.join(","), "1024,0,1025", "calls in flight together");

  t.is(await ctl.Close(), 0, "Close");
  t.is(await ctl.bActive, 0, "bActive after Close");
  return t.failures;
}

// Raw messages no page library would send, then a call that must still work.
async function hostileMessages() {
  const answers = new Map();
  let unanswerable = 0;
  window.addEventListener("message", (event) => {
    const d = event.data;
    if (!d || d.qorx !== "answer") return;
    if (typeof d.id === "string" && d.id.startsWith("h")) answers.set(d.id, d.error ? d.error.code : "ok");
    if (d.id === null && d.error) unanswerable++;
  });
  const raw = [
    { id: "h1", op: "call", member: "FormatDisk", args: [] },
    { id: "h2", op: "call", member: "Open", args: { reader: 1 } },
    { id: "h3", op: "get", member: "sVersion", args: [1] },
    { id: "h4", op: "call", member: "CalculateSHA1Hash", args: ["x".repeat(300000), 0] },
    { id: "h5", op: "call", member: "CalculateSHA1Hash", args: ["abc", 0, 1] },
    { id: "h6", op: "call", member: "lCardStatus" },
    { id: "h7", op: "steal" },
    { id: "h8", op: "members", origin: "https://bank.example" },  // the extension's origin wins
    { id: "h10", op: "call", member: "SignFile", args: ["/etc/passwd"] },
  ];
  for (const message of raw) window.postMessage(Object.assign({ qorx: "request" }, message), "*");
  window.postMessage("not a request", "*");
  window.postMessage({ qorx: "request", id: "h9", op: "call", member: "CalculateSHA1Hash",
    args: ["y".repeat(1100000), 0] }, "*");
  const ctl = await QorX.create({ timeout: 20000 });
  const deadline = Date.now() + 15000;
  while (answers.size < 10 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  const result = {};
  for (const [id, code] of answers) result[id] = code;
  result.unanswerable = unanswerable;
  result.after = await ctl.CalculateSHA1Hash("abc", 0);
  result.hash = await ctl.sHashOutput;
  return result;
}

// How the page library fails when it cannot get through.
async function failure() {
  try {
    const ctl = await QorX.create({ timeout: 5000 });
    return "created: " + (await ctl.sVersion);
  } catch (e) {
    return e.code + ": " + e.message;
  }
}

// The file the driver chose on the page's file input, hashed and then signed through the
// bridge, with the progress each call reported and the signature checked with the card's key.
async function chosenFile() {
  const file = document.getElementById("file").files[0];
  const ctl = await QorX.create({ timeout: 20000 });
  const steps = [];
  const start = performance.now();
  const result = { hash: await ctl.HashFile(file, (done, total) => steps.push([done, total])) };
  result.mibPerSecond = file.size / 1048576 / ((performance.now() - start) / 1000);
  result.sHashOutput = await ctl.sHashOutput;
  result.progress = { calls: steps.length, last: steps[steps.length - 1],
    rising: steps.every((s, i) => i === 0 || s[0] > steps[i - 1][0]) };
  await ctl.Open("Virtual PCD 00 00");
  await ctl.GetCertificate();
  await ctl.CardAuthenticate("2026/12/08");
  await ctl.CardVerifySecretCode("1234");
  result.sign = await ctl.SignFile(file);
  result.verified = await verifySignature(await ctl.sCertificateData, await ctl.sCriptogramData,
    new Uint8Array(await file.arrayBuffer()));
  await ctl.Close();
  return result;
}

// The benchmark of a chosen file: the control first, so that the host is there to be measured.
let fileControl = null;
async function prepareFile() {
  fileControl = await QorX.create({ timeout: 60000 });
  return await fileControl.sVersion;
}
async function streamFile() {
  const file = document.getElementById("file").files[0];
  const start = performance.now();
  const status = await fileControl.HashFile(file);
  return { status, ms: performance.now() - start, sHashOutput: await fileControl.sHashOutput };
}

// Leaves a transaction held (a secure channel keeps it until the next operation ends).
async function holdReader() {
  const ctl = await QorX.create({ timeout: 20000 });
  const results = [await ctl.Open("Virtual PCD 00 00"), await ctl.CardDetect(),
    await ctl.SecureChannelInit("0102030405060708", 1)];
  return results.join(",");
}

// A second client: one card operation, timed.
async function useReader() {
  const ctl = await QorX.create({ timeout: 20000 });
  const start = performance.now();
  const results = [await ctl.Open("Virtual PCD 00 00"), await ctl.CardAuthenticate("2026/12/08"),
    await ctl.Close()];
  return { results: results.join(","), ms: performance.now() - start };
}

// The benchmark: `reads` lCardStatus reads and `detects` CardDetect calls, timed.
async function bench(reads, detects) {
  const ctl = await QorX.create({ timeout: 20000 });
  await ctl.Open("Virtual PCD 00 00");
  await ctl.CardDetect();
  for (let i = 0; i < 100; i++) await ctl.lCardStatus;  // the first messages warm the path up
  let start = performance.now();
  for (let i = 0; i < reads; i++) await ctl.lCardStatus;
  const readMs = performance.now() - start;
  start = performance.now();
  for (let i = 0; i < detects; i++) await ctl.CardDetect();
  const detectMs = performance.now() - start;
  await ctl.Close();
  return { readMs, detectMs };
}

// Requests this page has posted to the extension (qorx.js's and raw ones alike).
let requests = 0;
window.addEventListener("message", (event) => {
  if (event.source === window && event.data && event.data.qorx === "request") requests++;
});

// A page that follows the card: its listener records each event with the time it came.
let cards = null;
const cardEvents = [];
async function watchCards() {
  cards = await QorX.create({ timeout: 20000 });
  cards.addEventListener("cardchange", (e) => cardEvents.push(Object.assign({ at: Date.now() }, e)));
  const removed = () => cardEvents.push({ removedListener: true });
  cards.addEventListener("cardchange", removed);
  cards.removeEventListener("cardchange", removed);
  return [await cards.Open("Virtual PCD 00 00"), await cards.CardDetect(), await cards.lCardStatus].join(",");
}

// Waits for the card status `status`, reading lCardStatus again and again as a page polling
// for it would, and for the event telling it: when each came, and the requests it all cost.
async function cardChange(status, ms) {
  const start = requests, end = Date.now() + ms;
  let seenAt = null, event = null;
  while (Date.now() < end && (seenAt === null || event === null)) {
    if (seenAt === null && (await cards.lCardStatus) === status) seenAt = Date.now();
    if (event === null && cardEvents.length > 0) event = cardEvents.shift();
    await new Promise((r) => setTimeout(r, 2));
  }
  return { event, seenAt, requests: requests - start };
}

// The card in use for `ms`: no event comes of that.
async function quietCard(ms) {
  const end = Date.now() + ms;
  const results = [];
  while (Date.now() < end) {
    results.push(await cards.CardAuthenticate("2026/12/08"), await cards.lCardStatus,
      await cards.CardLogout(), await cards.GetApplicationState());
    await new Promise((r) => setTimeout(r, 100));
  }
  return { events: cardEvents.splice(0), results: [...new Set(results)].sort().join(",") };
}

// The next `count` events, or those that came within `ms`.
async function nextCardEvents(count, ms) {
  const end = Date.now() + ms;
  while (cardEvents.length < count && Date.now() < end) await new Promise((r) => setTimeout(r, 10));
  return cardEvents.splice(0);
}
