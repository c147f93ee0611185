// Link activations in the console view: injected into every frame of the view when its document
// is created. The view follows no activated link itself: for this one activation, a link that
// would navigate is given the target "_blank", so that the engine asks the shell for a new
// window, which hands the address to the user's browser instead. Whoever activates the link, the
// user or a script, with whatever button, modifier or target, the page stays where it is.
//
// In the console's own frames the link is also announced to the bridge, so that the shell knows
// the console itself activated it; in frames of other origins only the user's own click on the
// link counts, which clicks.js tells the shell. In the console's frames window.open opens nothing,
// also in a child frame of its origin that this document reaches into, and document.domain
// cannot be set.
(function (settings, keepListening) {
  'use strict';
  const own = location.origin === settings.origin;
  const later = setTimeout, apply = Reflect.apply, CustomSignal = CustomEvent;
  const getAttribute = Element.prototype.getAttribute,
    setAttribute = Element.prototype.setAttribute,
    hasAttribute = Element.prototype.hasAttribute,
    removeAttribute = Element.prototype.removeAttribute,
    dispatch = EventTarget.prototype.dispatchEvent,
    composedPath = Event.prototype.composedPath;
  const Anchor = HTMLAnchorElement, Area = HTMLAreaElement, SvgAnchor = SVGAElement,
    Address = URL;

  if (own) {
    const noOpen = function open() { return null; };
    const keepClosed = function (frameWindow) {
      try {
        if (frameWindow && frameWindow.open !== noOpen) {
          Object.defineProperty(frameWindow, 'open',
            { value: noOpen, writable: true, configurable: true });
        }
      } catch (error) {
        // a frame of another origin, which its own copy of this script looks after
      }
    };
    keepClosed(window);
    // A child frame of this origin that no injected script reaches (about:blank, or a document
    // written into one) is given the same as soon as this document reaches into it.
    const frameKinds = [HTMLIFrameElement, HTMLFrameElement, HTMLObjectElement];
    for (let i = 0; i < frameKinds.length; ++i) {
      for (const name of ['contentWindow', 'contentDocument']) {
        const inner = Object.getOwnPropertyDescriptor(frameKinds[i].prototype, name);
        Object.defineProperty(frameKinds[i].prototype, name, {
          get: function () {
            const value = apply(inner.get, this, []);
            keepClosed(value && name === 'contentDocument' ? value.defaultView : value);
            return value;
          },
          enumerable: inner.enumerable, configurable: true
        });
      }
    }
    // document.domain stays what it is: a frame of a sibling host that set it too would share
    // this document's scripts, the bridge's included.
    const domain = Object.getOwnPropertyDescriptor(Document.prototype, 'domain');
    Object.defineProperty(Document.prototype, 'domain', {
      get: domain.get, set: function () {}, enumerable: true, configurable: true
    });
  }

  // The address a link leads to, or null when activating it would not leave the document.
  function destination(node) {
    let href = null;
    if (node instanceof Anchor || node instanceof Area) {
      href = node.href;
    } else if (node instanceof SvgAnchor) {
      const raw = apply(getAttribute, node, ['href']) ||
        apply(getAttribute, node, ['xlink:href']);
      if (raw !== null) {
        try {
          href = new Address(raw, document.baseURI).href;
        } catch (error) {
          href = null;
        }
      }
    }
    if (!href || apply(hasAttribute, node, ['download'])) return null;
    const target = new Address(href);
    if (target.protocol === 'javascript:') return null;
    // A link to a place in this same document scrolls there. "#" alone is such a link too,
    // although its address's hash reads empty.
    const here = new Address(location.href);
    if (href.indexOf('#') !== -1 && target.origin === here.origin &&
        target.pathname === here.pathname && target.search === here.search) return null;
    return href;
  }

  function activated(event) {
    if (event.button > 1) return;
    const path = apply(composedPath, event, []);
    for (let i = 0; i < path.length; ++i) {
      const node = path[i];
      const href = destination(node);
      if (href === null) {
        if (node instanceof Anchor || node instanceof Area || node instanceof SvgAnchor) return;
        continue;
      }
      if (own) {
        try {
          apply(dispatch, window.top.document,
            [new CustomSignal(settings.linkEvent, { detail: href })]);
        } catch (error) {
          // the top document is of another origin: only the user's activation counts
        }
      }
      const had = apply(hasAttribute, node, ['target']);
      const was = apply(getAttribute, node, ['target']);
      apply(setAttribute, node, ['target', '_blank']);
      later(function () {
        if (had) apply(setAttribute, node, ['target', was]);
        else apply(removeAttribute, node, ['target']);
      });
      return;
    }
  }

  function listenAll() {
    window.addEventListener('click', activated, true);
    window.addEventListener('auxclick', activated, true);
  }
  keepListening(listenAll);
})
