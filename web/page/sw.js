// Keeps the page's own files so that it opens without the gateway and says
// that the gateway cannot be reached. Always the network first: a gateway
// that is there serves its current page; the copy is only for when it is not.
'use strict';

const CACHE = 'conf-page-1';
const FILES = ['/', '/style.css', '/app.js', '/favicon.svg', '/icon.svg', '/manifest.webmanifest'];

self.addEventListener('install', (event) => {
  // One file the gateway lacks does not cost the others their place.
  event.waitUntil(caches.open(CACHE)
    .then((cache) => Promise.all(FILES.map((file) => cache.add(file).catch(() => undefined))))
    .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== CACHE).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  const url = new URL(request.url);
  if (request.method !== 'GET' || url.origin !== self.location.origin || !FILES.includes(url.pathname)) return;
  event.respondWith(fetch(request)
    .then((response) => {
      if (response.ok) {
        const copy = response.clone();
        event.waitUntil(caches.open(CACHE).then((cache) => cache.put(url.pathname, copy)));
      }
      return response;
    })
    .catch(() => caches.match(url.pathname).then((kept) => kept || Response.error())));
});
