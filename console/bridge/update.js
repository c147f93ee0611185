// Hands a change of the store to the console page's copy of it. Runs in the isolated world, which
// the page's script cannot reach, and only in a document of the console's origin.
(function (origin, eventName, detail) {
  'use strict';
  if (window.top === window && location.origin === origin) {
    document.dispatchEvent(new CustomEvent(eventName, { detail: detail }));
  }
})
