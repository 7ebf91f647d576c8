// One native messaging port to qorx-bridge per page: a page's port from its content script is
// paired with a connectNative port, and the two close together. Only pages of an allowed origin
// reach the host, and each request carries the page's origin as the browser saw it, for the
// host to check again against its own list.
"use strict";

const HOST = "org.qorx.bridge";
const MAX_REQUEST = 1024 * 1024;  // as the host has it

// Firefox's promise-based namespace where there is one; Chromium's answers promises too.
const api = typeof browser !== "undefined" ? browser : chrome;

// An entry of a list as the browser serialises a page's origin; null for anything that is not
// an origin the host would accept either.
function canonical(entry) {
  try {
    const url = new URL(entry);
    const local = url.hostname === "localhost" || url.hostname === "127.0.0.1";
    return url.protocol === "https:" || (url.protocol === "http:" && local) ? url.origin : null;
  } catch (e) {
    return null;
  }
}

// The bank's IT sets the origins once, in the browser's policy for this extension (its managed
// storage); nothing inside the installed extension is edited.
async function managedOrigins() {
  try {
    const config = await api.storage.managed.get("origins");
    return Array.isArray(config.origins) ? config.origins : [];
  } catch (e) {
    return [];  // Firefox without a policy for us
  }
}

// The host's own list (the machine's and the user's), asked in a message that names no page: an
// origin the user allowed with qorx-bridge --origin counts without any change to the extension.
// Unreachable, the host is what the page is told about.
async function hostOrigins() {
  try {
    const answer = await api.runtime.sendNativeMessage(HOST, { id: 0, op: "origins" });
    return { origins: answer && Array.isArray(answer.origins) ? answer.origins : [] };
  } catch (e) {
    return { origins: [], error: "qorx-bridge: " + (e && e.message ? e.message : String(e)) };
  }
}

// null when pages of the origin may go on to the host, else the error they get.
async function refusal(origin) {
  const listed = (list) => list.some((entry) => canonical(entry) === origin);
  // The managed list first: a page it names starts no host just to be let through.
  if (listed(await managedOrigins())) return null;
  const host = await hostOrigins();
  if (listed(host.origins)) return null;
  if (host.error) return { code: "host", message: host.error };
  return { code: "origin",
    message: "pages of " + origin + " may not use the card reader (refused by the QorX extension)" };
}

chrome.runtime.onConnect.addListener((page) => {
  if (page.name !== "qorx-page" || !page.sender || page.sender.id !== chrome.runtime.id) {
    page.disconnect();
    return;
  }
  const origin = page.sender.origin;
  // Requests arriving while the allowlist loads wait in order.
  const waiting = [];
  let forward = (request) => waiting.push(request);
  page.onMessage.addListener((request) => forward(request));
  let closed = false;
  let host = null;
  // The page closed or navigated away: closing the host's port ends the host, which closes
  // the reader.
  page.onDisconnect.addListener(() => {
    closed = true;
    if (host !== null) host.disconnect();
  });

  refusal(origin).then((error) => {
    if (closed) return;
    if (error !== null && error.code === "host") {
      // As when the host ends: the page's next request opens a new connection.
      page.postMessage({ id: null, error });
      page.disconnect();
      return;
    }
    if (error !== null) {
      forward = (request) => page.postMessage({
        id: request && request.id !== undefined ? request.id : null, error });
      waiting.splice(0).forEach(forward);
      return;
    }
    try {
      host = chrome.runtime.connectNative(HOST);
    } catch (e) {
      forward = (request) => page.postMessage({
        id: request && request.id !== undefined ? request.id : null,
        error: { code: "host", message: String(e) } });
      waiting.splice(0).forEach(forward);
      return;
    }
    host.onMessage.addListener((answer) => page.postMessage(answer));
    host.onDisconnect.addListener(() => {
      // Firefox says why on the port, Chromium in lastError.
      const error = host.error || chrome.runtime.lastError;
      const why = error ? error.message : "the host ended";
      try {
        page.postMessage({ id: null, error: { code: "host", message: "qorx-bridge: " + why } });
      } catch (e) { /* the page is gone too */ }
      page.disconnect();
    });
    forward = (request) => {
      if (request === null || typeof request !== "object" || Array.isArray(request)) {
        page.postMessage({ id: null, error: { code: "request", message: "a request is an object" } });
        return;
      }
      const message = Object.assign({}, request, { origin: origin });
      // The host discards a message over its limit unread, so it could not say which request
      // that was; answer it here.
      let size;
      try {
        size = new TextEncoder().encode(JSON.stringify(message)).length;
      } catch (e) {
        size = Infinity;
      }
      if (size > MAX_REQUEST) {
        page.postMessage({ id: request.id === undefined ? null : request.id, error: { code: "size",
          message: "a request of " + size + " bytes is over the limit of " + MAX_REQUEST } });
        return;
      }
      host.postMessage(message);
    };
    waiting.splice(0).forEach(forward);
  });
});
