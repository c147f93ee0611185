// The user's own clicks on links, as the engine reports them: injected into every frame of the
// view when its document is created, in the isolated world, which shares the document but none
// of the page's script. A click that the engine marks trusted (the user's click, or Enter on a
// focused link) on a link is announced to the shell before the link is followed, by a synchronous
// request that carries a secret new for every run. The page cannot read the secret, make an
// event trusted, or change what this world's objects do; a page's script that clicks a link or
// calls window.open announces nothing. A frame of another origin may hand a link to the user's
// browser only when it is the one announced since the user's last press (ConsolePage::newWindow).
//
// The page's document.open() removes these listeners with its own: in a document of another
// origin that its script writes anew after its load, no link reaches the user's browser.
(function (settings) {
  'use strict';

  // The address of the link that the click is on, or null when it is on none.
  function linkOf(event) {
    const path = event.composedPath();
    for (let i = 0; i < path.length; ++i) {
      const node = path[i];
      if (node instanceof HTMLAnchorElement || node instanceof HTMLAreaElement)
        return node.hasAttribute('href') ? node.href : null;
      if (node instanceof SVGAElement) {
        try {
          return node.href.animVal ? new URL(node.href.animVal, document.baseURI).href : null;
        } catch (error) {
          return null;
        }
      }
    }
    return null;
  }

  function clicked(event) {
    if (!event.isTrusted || event.button > 1) return;
    const href = linkOf(event);
    if (href === null) return;
    const xhr = new XMLHttpRequest();
    xhr.open('GET', 'brindleton:click?' + encodeURIComponent(href), false);
    xhr.setRequestHeader('X-Brindleton-Click', settings.secret);
    try {
      xhr.send();
    } catch (error) {
      // the document is unloading: the link is not announced, and goes nowhere
    }
  }

  window.addEventListener('click', clicked, true);
  window.addEventListener('auxclick', clicked, true);
})
