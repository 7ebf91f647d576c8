// The demo bank page: sign-in with the card, PIN entry, a payment signed on the card, and the
// diagnostic report, all through qorx.js.
"use strict";

const demo = (() => {
  let ctl = null;  // the control once created, a promise of it meanwhile
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

  function control() {
    if (ctl === null) {
      ctl = QorX.create().then((c) => {
        c.addEventListener("cardchange", cardChanged);
        return c;
      }, (e) => {
        ctl = null;  // the next action tries again
        throw e;
      });
    }
    return ctl;
  }

  // The card coming and going, as the bridge tells it: no polling.
  function cardChanged(e) {
    if (e.readerAdded || e.readerRemoved) {
      readers = null;
      guarded(listReaders);
    }
    if (e.reader !== $("reader").value) return;
    const text = { 1026: "card inserted", 1027: "the card does not answer", 1028: "no card" };
    $("card").textContent = e.reader + ": " + (e.readerRemoved ? "reader unplugged" : text[e.cardStatus]);
    if (e.cardStatus !== 1026) {
      // What the card had confirmed is gone with it.
      $("pin-button").disabled = true;
      $("sign-button").disabled = true;
    }
  }

  let readers = null;
  function listReaders() {
    if (readers === null) readers = fillReaders();
    return readers;
  }

  async function fillReaders() {
    const c = await control();
    const select = $("reader");
    const chosen = select.value;
    select.textContent = "";
    if ((await c.GetReaderCount()) !== 0) return;
    const count = await c.wReaderCount;
    for (let i = 0; i < count; i++) {
      if ((await c.GetReaderName(i)) !== 0) continue;
      const option = document.createElement("option");
      option.textContent = await c.sReaderName;
      select.appendChild(option);
    }
    if (chosen) select.value = chosen;
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
    $("card").textContent = "Card recognised";
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
    $("document").disabled = false;
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

  // The document goes to the card from the file the customer chose; the page never learns
  // where it is on the computer.
  async function signDocument() {
    const c = await control();
    const file = $("document").files[0];
    if (!file) return false;
    const status = await c.SignFile(file, (done, total) => {
      $("document-progress").value = total === 0 ? 1 : done / total;
    });
    if (status !== 0) {
      show("document-result", file.name + " was not signed (" + status + ").", false);
      return false;
    }
    show("document-result", file.name + " signed by your card.", true);
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
    $("document").onchange = () => guarded(signDocument);
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
