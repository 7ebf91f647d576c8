// The demo bank page: sign-in with the card, PIN entry, a payment signed on the card, and the
// diagnostic report, all through qorx.js.
"use strict";

const demo = (() => {
  let ctl = null;
  const $ = (id) => document.getElementById(id);

  function show(id, text, ok) {
    $(id).textContent = text;
    $(id).className = "result " + (ok ? "ok" : "bad");
  }

  function today() {
    const d = new Date();
    const two = (n) => String(n).padStart(2, "0");
    return d.getFullYear() + "/" + two(d.getMonth() + 1) + "/" + two(d.getDate());
  }

  async function control() {
    if (ctl === null) ctl = await QorX.create();
    return ctl;
  }

  let readers = null;
  function listReaders() {
    if (readers === null) readers = fillReaders();
    return readers;
  }

  async function fillReaders() {
    const c = await control();
    const select = $("reader");
    select.textContent = "";
    if ((await c.GetReaderCount()) !== 0) return;
    const count = await c.wReaderCount;
    for (let i = 0; i < count; i++) {
      if ((await c.GetReaderName(i)) !== 0) continue;
      const option = document.createElement("option");
      option.textContent = await c.sReaderName;
      select.appendChild(option);
    }
  }

  async function signIn() {
    const c = await control();
    let status = await c.Open($("reader").value);
    if (status === 0) status = await c.CardDetect();
    if (status === 0) status = await c.CardAuthenticate(today());
    if (status !== 0) {
      show("signin-result", "The card could not be read (" + status + "): " + (await c.sSCardError), false);
      return false;
    }
    show("signin-result", "Card " + (await c.sPAN) + " / " + (await c.sPANSEQ) + " recognised.", true);
    $("state").textContent = "Card reader: " + (await c.sActiveReader);
    $("pin-button").disabled = false;
    return true;
  }

  const PIN_ENTRY_CANCELLED = 3585;

  async function verifyPin() {
    const c = await control();
    // No code from the page: the customer types it into the desktop's PIN dialog.
    const status = await c.CardVerifySecretCode();
    await c.GetApplicationState();
    const tries = await c.wRetries;
    if (status === PIN_ENTRY_CANCELLED) {
      show("pin-result", "PIN entry cancelled.", false);
      return false;
    }
    if (status !== 0) {
      show("pin-result", "Wrong PIN: " + tries + " tries left.", false);
      return false;
    }
    show("pin-result", "PIN confirmed (" + tries + " tries left).", true);
    $("sign-button").disabled = false;
    return true;
  }

  async function signPayment() {
    const c = await control();
    const payment = ["PAY", $("amount").value, "EUR", "TO", $("iban").value.replace(/ /g, ""),
      $("payee").value, "REF", $("reference").value].join(" ");
    const status = await c.SignTransaction(payment, 0);
    if (status !== 0) {
      show("sign-result", "The payment was not signed (" + status + ").", false);
      return false;
    }
    show("sign-result", "Payment of " + $("amount").value + " EUR signed by your card.", true);
    $("signature").textContent = "Signature: " + (await c.sCriptogramData);
    return true;
  }

  async function report() {
    const c = await control();
    await c.PerformPCSCDiagnosticTest();
    $("report-text").textContent = await c.sPCSCDiagnosticResult;
  }

  async function guarded(action) {
    try {
      return await action();
    } catch (e) {
      show("signin-result", e.message, false);
      return false;
    }
  }

  window.addEventListener("DOMContentLoaded", () => {
    $("signin-button").onclick = () => guarded(signIn);
    $("pin-button").onclick = () => guarded(verifyPin);
    $("sign-button").onclick = () => guarded(signPayment);
    $("report-button").onclick = () => guarded(report);
    guarded(listReaders);
  });

  // The whole visit in one go, for the screenshot.
  async function run() {
    await listReaders();
    if (!(await signIn())) return "sign-in failed";
    if (!(await verifyPin())) return "PIN refused";
    if (!(await signPayment())) return "not signed";
    await report();
    return "signed";
  }

  return { run };
})();
