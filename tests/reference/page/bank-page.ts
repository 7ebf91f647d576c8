// A bank page written against qorx.d.ts: sign-in with the card, the PIN, a signature, a
// chosen file signed with its progress, the card coming and going, and the bridge's own
// failures. Type-checked only, never run.

function show(text: string): void {
  const out = document.getElementById("out");
  if (out !== null) out.textContent = text;
}

async function signPayment(pin: string, payment: string): Promise<string | null> {
  const ctl: QorX.Control = await QorX.create({ timeout: 20000 });
  const onChange = (event: QorX.CardChangeEvent): void => {
    const present = event.cardStatus === 1026 ? "card ready" : "no card";
    show(`${event.reader}: ${event.readerRemoved === true ? "reader gone" : present}`);
  };
  ctl.addEventListener("cardchange", onChange);
  try {
    if ((await ctl.Open("")) !== QorX.Status.SUCCESS) return null;
    await ctl.CardDetect();
    const state: number = await ctl.lCardStatus;
    if (state !== 1026) return null;
    if ((await ctl.CardAuthenticate("2026/12/08")) !== QorX.Status.SUCCESS) return null;
    const pan: string = await ctl.sPAN;
    const verified = await ctl.CardVerifySecretCode(pin);
    if (verified === QorX.Status.SECRET_CODE_REJECTED) {
      const tries: number = await ctl.wRetries;
      show(`${QorX.Status.message(verified) ?? "refused"}: ${tries} tries left`);
      return null;
    }
    const signed = await ctl.SignTransaction(payment, 0);
    if (signed === QorX.Status.FRAMEWORK_ERROR) {
      const detail = await ctl.wSCardError;
      show(QorX.FrameworkCode.message(detail) ?? (await ctl.sSCardError));
      return null;
    }
    const chosen = (document.getElementById("document") as HTMLInputElement | null)?.files?.[0];
    if (chosen !== undefined) {
      const progress: QorX.FileProgress = (done, total) => show(`${done} of ${total} bytes`);
      if ((await ctl.SignFile(chosen, progress)) === QorX.Status.FILE_TOO_LARGE) return null;
    }
    await ctl.RSAPasswordEncryptWithPublicKey("s3cret", 0, 0x9f55, 1);
    return `${pan}:${await ctl.sCriptogramData}`;
  } catch (e: unknown) {
    if (e instanceof QorX.Error && (e.code === "extension" || e.code === "host")) {
      show("install the QorX extension" + (e.hresult !== undefined ? ` (${e.hresult})` : ""));
      return null;
    }
    throw e;
  } finally {
    ctl.removeEventListener("cardchange", onChange);
    await ctl.Close();
  }
}

void signPayment("1234", "Pay 100.00 to 12345-6").then((signature) => show(signature ?? "not signed"));
