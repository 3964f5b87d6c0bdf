// The service worker: the page and everything it plays with, kept so that
// the instrument installs as an app and plays with no network after its
// first visit. The network comes first, so a new build is picked up at once
// whenever there is one; the copy kept is for when there is none.
const cacheName = "pluck";
const siteFiles = [
  "./",
  "index.html",
  "style.css",
  "page.js",
  "worklet.js",
  "instrument.js",
  "wav-worker.js",
  "files.js",
  "view.js",
  "pluck.wasm",
  "icon.svg",
  "manifest.webmanifest",
];

self.addEventListener("install", (event) => {
  event.waitUntil(
    caches
      .open(cacheName)
      .then((cache) => cache.addAll(siteFiles))
      .then(() => self.skipWaiting()),
  );
});

self.addEventListener("activate", (event) => event.waitUntil(self.clients.claim()));

self.addEventListener("fetch", (event) => {
  const { request } = event;
  if (request.method !== "GET" || new URL(request.url).origin !== self.location.origin) {
    return;
  }
  event.respondWith(
    fetch(request).then(
      (response) => {
        if (response.ok) {
          const copy = response.clone();
          event.waitUntil(caches.open(cacheName).then((cache) => cache.put(request, copy)));
        }
        return response;
      },
      () => caches.match(request, { ignoreSearch: true }).then((kept) => kept ?? Response.error()),
    ),
  );
});
