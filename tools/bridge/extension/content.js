// Relays between the page and the extension: the page's requests (window.postMessage with
// qorx: "request") go to the service worker over one port for this page, and the answers come
// back as qorx: "answer". The port opens on the page's first request and closes with the page.
"use strict";

let port = null;

function answer(message) {
  window.postMessage(Object.assign({ qorx: "answer" }, message), window.location.origin);
}

function openPort() {
  port = chrome.runtime.connect({ name: "qorx-page" });
  port.onMessage.addListener(answer);
  port.onDisconnect.addListener(() => {
    port = null;
    answer({ id: null, error: { code: "bridge", message: "the connection to the card reader closed" } });
  });
}

window.addEventListener("message", (event) => {
  // Only the page itself, not a frame or another window that holds a reference to it.
  if (event.source !== window || event.origin !== window.location.origin) return;
  const data = event.data;
  if (data === null || typeof data !== "object" || data.qorx !== "request") return;
  if (port === null) openPort();
  const request = Object.assign({}, data);
  delete request.qorx;
  port.postMessage(request);
});

// Lets the page tell "no extension" from "no answer".
document.documentElement.setAttribute("data-qorx-extension", chrome.runtime.getManifest().version);
