// One native messaging port to qorx-bridge per page: a page's port from its content script is
// paired with a connectNative port, and the two close together. Only pages of an allowed origin
// reach the host, and each request carries the page's origin as the browser saw it, for the
// host to check again against its own list.
"use strict";

const HOST = "org.qorx.bridge";
const MAX_REQUEST = 1024 * 1024;  // as the host has it

let allowed = null;
async function allowedOrigins() {
  if (allowed === null) {
    try {
      const response = await fetch(chrome.runtime.getURL("origins.json"));
      const config = await response.json();
      allowed = new Set(Array.isArray(config.origins) ? config.origins : []);
    } catch (e) {
      allowed = new Set();
    }
  }
  return allowed;
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

  allowedOrigins().then((origins) => {
    if (closed) return;
    if (!origins.has(origin)) {
      forward = (request) => page.postMessage({
        id: request && request.id !== undefined ? request.id : null,
        error: { code: "origin", message: "pages of " + origin + " may not use the card reader (refused by the QorX extension)" } });
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
      const why = chrome.runtime.lastError ? chrome.runtime.lastError.message : "the host ended";
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
