// qorx.js: the QorX card control for a bank page in today's browsers, by way of the QorX
// extension and its native host qorx-bridge. The control's members keep their names; each
// returns a promise:
//
//   const ctl = await QorX.create();
//   if (await ctl.Open("") === 0) {
//     await ctl.CardDetect();
//     const status = await ctl.lCardStatus;
//   }
//
// Methods resolve to their lResult, properties to their value. A failure of the bridge itself
// (no extension, no host, an origin that is not allowed, no answer in time) rejects with a
// QorXError whose `code` says which. All controls of one page share one connection, and the
// page's requests are answered one at a time in the order they were made. Once the connection
// is lost every call fails; QorX.create() then connects afresh.
//
// A method's answer brings the properties it changed, so reading them costs no message: a read
// is answered from that copy once every request made before it has its answer, and goes to the
// host only for what the host does not let the page hold (the card status of an authenticated
// card, which only a look at the card can tell).
//
// Cards and readers coming and going, without polling:
//
//   ctl.addEventListener("cardchange", (e) => show(e.reader, e.cardStatus));
//
// e.cardStatus is 1026 (card present), 1027 (card mute), 1028 (no card) or 0 (the reader is
// unusable, or went: e.readerRemoved); e.readerAdded marks a reader that came. Only listeners
// the page added hear them, and they stop with the page.
//
// The PIN stays out of the page: call CardVerifySecretCode() or ChangeSecretCode() without
// the code(s) (left out, null or undefined) and the customer types them into the desktop's own
// PIN dialog, which names this page's origin, the reader and the tries left; the page never
// sees them. The call then resolves to the operation's lResult as usual, or to
//   3585 (0x0E01)  the customer cancelled or closed the dialog, or left it unanswered for
//                  60 s: no card command was sent and no try was spent;
//   3586 (0x0E02)  the machine's policy (pin-entry = host in /etc/qorx/bridge.conf) lets only
//                  the dialog ask, and this page passed a code: it was not sent to the card.
// With the default policy (pin-entry = page-or-host) a code the page passes is used as before.
// A dialog that cannot be shown (none installed, or one that fails) rejects with the error
// code "pinentry". Such a call may wait for the customer: its time limit is lengthened by the
// dialog's.
//
// Files stay the customer's choice: HashFile and SignFile take a File (from <input type=file>
// or a drop) or any Blob, never a name, and an optional progress callback:
//
//   const status = await ctl.SignFile(input.files[0], (done, total) => show(done / total));
//
// The file goes to the host in chunks, a few at a time, hashed as they come, so neither side
// holds it whole; the callback hears the bytes hashed so far, from 0 to the file's size. The
// result is the control's for the same file (786 for one of 2 GiB or more, or one that can no
// longer be read to its end). A file's name rejects with the error code "path": a page could
// only use it to learn which files exist.
(function (global) {
  "use strict";

  class QorXError extends Error {
    constructor(code, message, hresult) {
      super(message);
      this.name = "QorXError";
      this.code = code;
      if (hresult !== undefined) this.hresult = hresult;
    }
  }

  // The most a change of code may wait for the customer: three questions of 60 s each.
  const DIALOG_MS = 3 * 61000;
  const pending = new Map();  // id -> the caller waiting for its answer
  const unanswered = new Map();  // id -> time limit, of requests sent and not yet answered
  let settledWaiters = [];  // reads waiting for every request before them to be answered
  const held = new Map();  // property -> the value the host last said the page may hold
  const listeners = [];  // {control, type, listener}
  let nextId = 1;
  let listening = false;
  let broken = null;
  let turn = Promise.resolve();  // each request is sent in the order it was made

  function extensionPresent() {
    return document.documentElement.hasAttribute("data-qorx-extension");
  }

  // What the host says the page holds now; every host answer says it, even one whose caller
  // gave up waiting, since later answers say only what changed.
  function keep(message) {
    if (Array.isArray(message.forget)) for (const name of message.forget) held.delete(name);
    const state = message.state;
    if (state !== null && typeof state === "object")
      for (const name of Object.keys(state)) held.set(name, state[name]);
  }

  function answered(id) {
    if (!unanswered.delete(id) || unanswered.size > 0) return;
    const waiters = settledWaiters;
    settledWaiters = [];
    for (const waiter of waiters) {
      clearTimeout(waiter.timer);
      waiter.resolve();
    }
  }

  function dispatch(event) {
    if (event === null || typeof event !== "object" || event.type !== "cardchange") return;
    for (const entry of listeners.slice()) {
      if (entry.type !== event.type || !listeners.includes(entry)) continue;
      const copy = { type: event.type, reader: String(event.reader), cardStatus: Number(event.cardStatus) };
      if (event.readerAdded === true) copy.readerAdded = true;
      if (event.readerRemoved === true) copy.readerRemoved = true;
      try {
        if (typeof entry.listener === "function") entry.listener.call(entry.control, Object.freeze(copy));
        else entry.listener.handleEvent(Object.freeze(copy));
      } catch (e) {
        // As the DOM does: reported, and the other listeners still run.
        setTimeout(() => { throw e; });
      }
    }
  }

  function lose(error) {
    broken = error;
    for (const request of pending.values()) {
      clearTimeout(request.timer);
      request.reject(broken);
    }
    pending.clear();
    unanswered.clear();
    held.clear();
    const waiters = settledWaiters;
    settledWaiters = [];
    for (const waiter of waiters) {
      clearTimeout(waiter.timer);
      waiter.reject(broken);
    }
  }

  function listen() {
    if (listening) return;
    listening = true;
    window.addEventListener("message", (event) => {
      if (event.source !== window) return;
      const answer = event.data;
      if (answer === null || typeof answer !== "object" || answer.qorx !== "answer") return;
      const error = answer.error;
      if (answer.id === null) {
        // The connection is gone: every open request fails, and so does every later one.
        if (error && (error.code === "host" || error.code === "bridge"))
          lose(new QorXError(error.code, error.message));
        else if (!error) {
          keep(answer);
          if (answer.event !== undefined) dispatch(answer.event);
        }
        return;
      }
      // The members answer holds the whole copy; others what changed in it.
      if (answer.members !== undefined) held.clear();
      keep(answer);
      answered(answer.id);
      const request = pending.get(answer.id);
      if (request === undefined) return;
      pending.delete(answer.id);
      clearTimeout(request.timer);
      if (error) {
        request.reject(new QorXError(error.code, error.message, error.hresult));
      } else {
        request.resolve(answer.members !== undefined ? answer.members : answer.value);
      }
    });
  }

  function send(message, timeout) {
    listen();
    if (broken !== null) return Promise.reject(broken);
    return new Promise((resolve, reject) => {
      const id = nextId++;
      const timer = setTimeout(() => {
        pending.delete(id);
        reject(extensionPresent()
          ? new QorXError("timeout", "the QorX card reader bridge did not answer within " + timeout + " ms")
          : new QorXError("extension", "the QorX browser extension is not installed or not enabled for this page"));
      }, timeout);
      pending.set(id, { resolve, reject, timer });
      unanswered.set(id, timeout);
      window.postMessage(Object.assign({ qorx: "request", id: id }, message), window.location.origin);
    });
  }

  // Resolves once every request sent so far has its answer: as long as the longest of them may
  // take (a PIN dialog waits for the customer).
  function allAnswered(least) {
    if (broken !== null) return Promise.reject(broken);
    if (unanswered.size === 0) return Promise.resolve();
    const timeout = Math.max(least, ...unanswered.values());
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject };
      waiter.timer = setTimeout(() => {
        settledWaiters = settledWaiters.filter((w) => w !== waiter);
        reject(new QorXError("timeout", "the QorX card reader bridge did not answer within " + timeout + " ms"));
      }, timeout);
      settledWaiters.push(waiter);
    });
  }

  // Runs `step` once every earlier request has been sent; `step` calls `sent` as soon as its
  // own request is out (or it needs none), and later requests may go from then on.
  let queued = 0;  // requests made and not yet sent
  function inTurn(step) {
    queued++;
    let release;
    const next = new Promise((resolve) => (release = resolve));
    const previous = turn;
    turn = next;
    let done = false;
    const sent = () => {
      if (done) return;
      done = true;
      queued--;
      release();
    };
    return previous.then(() => step(sent)).finally(sent);
  }

  function call(message, timeout) {
    return inTurn((sent) => {
      const answer = send(message, timeout);
      sent();
      return answer;
    });
  }

  // A file's bytes go to the host in chunks of CHUNK bytes, base64 in a message within the
  // host's limit of 1 MiB, with at most WINDOW chunks sent and not yet acknowledged: the page
  // holds no more of the file than that, and the host one chunk.
  const CHUNK = 512 * 1024;
  const WINDOW = 8;
  // HashFile refuses a file over this size; its bytes need not travel for that.
  const MAX_FILE = 0x7fffffff;

  function isBlob(value) {
    const kind = Object.prototype.toString.call(value);
    return kind === "[object Blob]" || kind === "[object File]";
  }

  function toBase64(bytes) {
    if (typeof bytes.toBase64 === "function") return bytes.toBase64();
    let text = "";
    for (let i = 0; i < bytes.length; i += 0x8000)
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(text);
  }

  function report(progress, done, total) {
    if (typeof progress !== "function") return;
    try {
      progress(done, total);
    } catch (e) {
      setTimeout(() => { throw e; });
    }
  }

  // The file's bytes, CHUNK at a time (the last one shorter), read as they are asked for: its
  // stream where the browser has one (several times faster than reading slices), else slices.
  function chunks(blob) {
    if (typeof blob.stream !== "function") {
      let offset = 0;
      return async () => {
        if (offset >= blob.size) return null;
        const bytes = new Uint8Array(await blob.slice(offset, offset + CHUNK).arrayBuffer());
        offset += bytes.length;
        return bytes;
      };
    }
    const reader = blob.stream().getReader();
    let pending = null;  // what the last read gave beyond the chunk it filled
    const next = async () => {
      const chunk = new Uint8Array(CHUNK);
      let filled = 0;
      while (filled < CHUNK) {
        if (pending === null) {
          const next = await reader.read();
          if (next.done) break;
          pending = next.value;
        }
        const take = Math.min(pending.length, CHUNK - filled);
        chunk.set(pending.subarray(0, take), filled);
        filled += take;
        pending = take < pending.length ? pending.subarray(take) : null;
      }
      return filled === 0 ? null : chunk.subarray(0, filled);
    };
    next.close = () => reader.cancel().catch(() => {});
    return next;
  }

  // HashFile or SignFile of a File or Blob: the call holds its turn until the whole file is
  // sent, so that no other request comes between its chunks. A file that cannot be read to its
  // end (changed or removed since it was chosen) resolves as the control's unreadable file.
  function sendFile(member, blob, progress, timeout) {
    return inTurn(async () => {
      const total = blob.size;
      await send({ op: "file", member: member, size: total }, timeout);
      report(progress, 0, total);
      const next = chunks(blob);
      const inFlight = [];
      let offset = 0;
      let readable = total <= MAX_FILE;
      try {
        while ((readable && offset < total) || inFlight.length > 0) {
          if (readable && offset < total && inFlight.length < WINDOW) {
            let bytes = null;
            try {
              bytes = await next();
            } catch (e) {
              // what was sent is ended short
            }
            // A file that shrank since it was chosen ends short too; one that grew, at its size.
            if (bytes === null) {
              readable = false;
              continue;
            }
            if (bytes.length > total - offset) bytes = bytes.subarray(0, total - offset);
            const answer = send({ op: "chunk", at: offset, data: toBase64(bytes) }, timeout);
            answer.catch(() => {});  // awaited below, in order
            inFlight.push(answer);
            offset += bytes.length;
            continue;
          }
          report(progress, await inFlight.shift(), total);
        }
      } catch (e) {
        // The host refused a chunk and let the file go, or the connection is gone.
        for (const answer of inFlight) answer.catch(() => {});
        throw e;
      } finally {
        if (next.close) next.close();
      }
      return send({ op: "end" }, timeout);
    });
  }

  function read(name, timeout) {
    // Nothing made before it is still to be answered: the copy is up to date now.
    if (queued === 0 && unanswered.size === 0 && broken === null && held.has(name))
      return Promise.resolve(held.get(name));
    return inTurn(async (sent) => {
      await allAnswered(timeout);
      if (held.has(name)) return held.get(name);
      const answer = send({ op: "get", member: name }, timeout);
      sent();
      return answer;
    });
  }

  async function waitForExtension(ms) {
    const end = Date.now() + ms;
    while (!extensionPresent() && Date.now() < end) await new Promise((r) => setTimeout(r, 50));
    return extensionPresent();
  }

  // A control with the 40 members; `options.timeout` bounds each call (30 s by default: a
  // card operation can take seconds).
  async function create(options) {
    const timeout = (options && options.timeout) || 30000;
    // A new control after a lost connection gets a new connection (and a new host).
    broken = null;
    if (!(await waitForExtension(Math.min(timeout, 1000))))
      throw new QorXError("extension", "the QorX browser extension is not installed or not enabled for this page");
    // The answer holds the whole copy, and from now on the host tells of cards coming and going.
    const members = await call({ op: "members", mirror: true }, timeout);
    const control = {};
    for (const member of members) {
      const name = member.name;
      if (member.kind === "property") {
        Object.defineProperty(control, name, { enumerable: true, get: () => read(name, timeout) });
      } else {
        const dialog = name === "CardVerifySecretCode" || name === "ChangeSecretCode";
        if (name === "HashFile" || name === "SignFile") {
          control[name] = (file, progress) => isBlob(file) ? sendFile(name, file, progress, timeout)
            : Promise.reject(new QorXError("path", "a page cannot name a local file: " + name +
              " takes a File or Blob that the customer chose"));
          continue;
        }
        control[name] = (...args) => call({ op: "call", member: name, args: args },
          dialog && args.every((a) => a === null || a === undefined) ? timeout + DIALOG_MS : timeout);
      }
    }
    Object.defineProperty(control, "addEventListener", {
      value: (type, listener) => {
        if (listener === null || (typeof listener !== "function" &&
            (typeof listener !== "object" || typeof listener.handleEvent !== "function"))) return;
        if (listeners.some((e) => e.control === control && e.type === type && e.listener === listener)) return;
        listeners.push({ control, type: String(type), listener });
      },
    });
    Object.defineProperty(control, "removeEventListener", {
      value: (type, listener) => {
        const at = listeners.findIndex((e) => e.control === control && e.type === type && e.listener === listener);
        if (at >= 0) listeners.splice(at, 1);
      },
    });
    return Object.freeze(control);
  }

  // The statuses a method resolves to, and the framework codes wSCardError holds after a
  // framework error (256), by name: QorX.Status.SECRET_CODE_REJECTED === 1794, and
  // QorX.Status.message(1794) is "secret code rejected" (null for a number not listed).
  // ---- generated by qorx-statusgen from core/StatusTable.h: do not edit ----
  const statusRows = [
    ["SUCCESS", 0, "success"],
    ["FRAMEWORK_ERROR", 256, "framework error"],
    ["CANNOT_SERVE", 257, "request cannot be served"],
    ["UNEXPECTED", 258, "unexpected failure"],
    ["INVALID_ARGUMENT", 259, "invalid argument"],
    ["CERTIFICATE_INVALID", 272, "card certificate not valid"],
    ["PCSC_MISSING", 512, "PC/SC library cannot be loaded"],
    ["PCSC_INCOMPLETE", 513, "PC/SC library incomplete"],
    ["NO_READER", 768, "no reader present"],
    ["READER_OPEN_FAILED", 769, "reader cannot be opened"],
    ["FILE_CANNOT_OPEN", 785, "file cannot be opened"],
    ["FILE_TOO_LARGE", 786, "file too large or unreadable"],
    ["SELECT_FAILED", 1280, "application selection failed"],
    ["SELECT_INVALIDATED", 1281, "selected application invalidated"],
    ["DATE_AFTER_VALIDITY", 1282, "date on or after the end of the certificate's validity"],
    ["DATE_BEFORE_VALIDITY", 1283, "date before the start of the certificate's validity"],
    ["SECRET_CODE_REJECTED", 1794, "secret code rejected"],
    ["SECRET_CODE_BLOCKED", 1795, "secret code blocked"],
    ["READER_INDEX_OUT_OF_RANGE", 2306, "reader index out of range"],
    ["READER_ALREADY_OPEN", 2560, "a reader is already open"],
    ["NO_READER_TO_CLOSE", 2561, "no reader open"],
    ["NO_READER_OPEN", 2562, "no reader open"],
    ["NO_CARD", 2563, "no card in the reader"],
    ["STATE_CARD_READY", 2564, "card not authenticated"],
    ["STATE_CARD_AUTHENTICATED", 2565, "secret code not verified"],
    ["STATE_OTHER", 2566, "card not in the state needed"],
    ["MALFORMED_DATE", 3072, "malformed date"],
    ["CERTIFICATE_READ_FAILED", 3328, "reading the card's certificate failed"],
    ["PIN_ENTRY_CANCELLED", 3585, "PIN dialog cancelled or not answered"],
    ["PAGE_CODE_REFUSED", 3586, "a secret code from the page is refused: the PIN dialog asks"],
  ];
  const frameworkRows = [
    ["KEY_SET_NOT_USABLE", 257, "key set not usable"],
    ["EXTERNAL", 49152, "an external operation failed"],
    ["INVALID_ARGUMENT", 49408, "invalid argument or unsupported operation"],
    ["NO_MEMORY", 49664, "memory exhausted or object not creatable"],
    ["FILE_TOO_LARGE", 49921, "file too large"],
    ["FILE_OPEN", 49922, "file cannot be opened"],
    ["FILE_READ", 49923, "file cannot be read"],
    ["LENGTH", 50176, "length out of range"],
    ["MALFORMED", 50432, "malformed data"],
    ["WRONG_STATE", 50688, "slot not in the needed state"],
    ["KEY_NOT_FOUND", 50944, "key not found"],
    ["PCSC_LIBRARY_MISSING", 61441, "PC/SC library cannot be loaded"],
    ["PCSC_ENTRY_MISSING", 61442, "a PC/SC entry point is missing"],
  ];
  // ---- end of the generated status names ----
  function names(rows) {
    const byName = {};
    const messages = new Map();
    for (const [name, value, message] of rows) {
      byName[name] = value;
      messages.set(value, message);
    }
    byName.message = (code) => (messages.has(code) ? messages.get(code) : null);
    return Object.freeze(byName);
  }

  global.QorX = Object.freeze({
    create: create,
    Error: QorXError,
    Status: names(statusRows),
    FrameworkCode: names(frameworkRows),
  });
})(typeof window !== "undefined" ? window : this);
