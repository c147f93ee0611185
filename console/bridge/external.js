// webkitExternal: the console page's door to the shell.
//
// Injected into the console's main frame when its document is created, before any of the page's
// own script; the shell calls this function with its settings. Everything the bridge uses is
// captured first, so that the page's script cannot change how it talks to the shell, and the
// secret that the shell asks of every request stays inside this closure.
//
// The page's contract is synchronous. Every result but that of getlocaldata is fixed by the
// command's name, so the page answers itself; getlocaldata is answered from a copy of the store
// that is fetched when the document is created and that the shell keeps up to date. The commands
// of one script task go to the shell together when the task ends, in order, as synchronous
// requests of bounded size: when the shell is busy, the page waits rather than queueing without
// bound, and when the request has returned, the shell has every command of it.
(function (settings, keepListening) {
  'use strict';
  if (window.top !== window || location.origin !== settings.origin) return;
  if (Object.prototype.hasOwnProperty.call(window, 'webkitExternal')) return;

  const secret = settings.secret, updateEvent = settings.updateEvent;
  const readCommand = settings.read, writeCommand = settings.write;
  const fixedResults = new Map(Object.entries(settings.results));
  // A request carries at most this many characters of commands: percent-encoded, it stays well
  // within the engine's 2 MiB limit on addresses.
  const maxRequestChars = 200000;

  const XHR = XMLHttpRequest;
  const open = XHR.prototype.open, send = XHR.prototype.send,
    setHeader = XHR.prototype.setRequestHeader, override = XHR.prototype.overrideMimeType;
  const statusOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'status').get;
  const textOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'responseText').get;
  const detailOf = Object.getOwnPropertyDescriptor(CustomEvent.prototype, 'detail').get;
  const apply = Reflect.apply, encode = encodeURIComponent, toStr = String, parse = JSON.parse,
    stringify = JSON.stringify, later = queueMicrotask, keysOf = Object.keys,
    random = Math.random, now = Date.now, reportError = console.error;
  const slice = String.prototype.slice, indexOf = String.prototype.indexOf,
    charCodeAt = String.prototype.charCodeAt, test = RegExp.prototype.test;
  const listen = EventTarget.prototype.addEventListener;
  const Table = Map, get = Map.prototype.get, set = Map.prototype.set, has = Map.prototype.has,
    remove = Map.prototype.delete, each = Map.prototype.forEach;
  const push = Array.prototype.push;
  const loneSurrogate = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

  // A synchronous request to the shell; the reply's text, or null when it failed. While the
  // document unloads, the engine allows no synchronous request: the request is then sent on
  // and left to finish after the document has gone, and the answer is "".
  function request(path, data) {
    const url = 'brindleton:' + path + '?' + encode(data);
    const xhr = new XHR();
    apply(open, xhr, ['GET', url, false]);
    apply(setHeader, xhr, ['X-Brindleton-Secret', secret]);
    apply(override, xhr, ['text/plain; charset=utf-8']);
    try {
      apply(send, xhr, []);
    } catch (error) {
      const late = new XHR();
      apply(open, late, ['GET', url, true]);
      apply(setHeader, late, ['X-Brindleton-Secret', secret]);
      apply(send, late, []);
      return '';
    }
    return apply(statusOf, xhr, []) === 200 ? apply(textOf, xhr, []) : null;
  }

  // The store as the shell had it when this document was created, with this document's own
  // writes on top; the shell sends what changes elsewhere.
  const store = new Table(), pending = new Table();
  const snapshot = request('store', '');
  if (snapshot === null) reportError('webkitExternal: the store could not be read');
  if (snapshot !== null) {
    const values = parse(snapshot), keys = keysOf(values);
    for (let i = 0; i < keys.length; ++i) apply(set, store, [keys[i], values[keys[i]]]);
  }
  const documentId = apply(slice, toStr(random()), [2]) + toStr(now());
  let sequence = 0, scheduled = false, outbox = [], outboxChars = 0;
  // What this script task has sent, in characters; past the shell's budget, the task's commands
  // are refused from the one that would cross it to the task's end, and the page is told.
  let taskChars = 0, refusing = false;

  function deliver(text, last) {
    if (request('commands', text) === null && last) {
      reportError('webkitExternal: the shell did not take the commands');
    }
  }

  // Sends the commands waiting in the outbox, in pieces that fit in a request; a piece never
  // splits a surrogate pair.
  function endTask() {
    scheduled = false;
    taskChars = 0;
    refusing = false;
    flush();
  }

  function flush() {
    if (outbox.length === 0) return;
    const text = sequence + ':' + stringify(outbox);
    outbox = [];
    outboxChars = 0;
    let start = 0;
    while (text.length - start > maxRequestChars) {
      let end = start + maxRequestChars;
      const unit = apply(charCodeAt, text, [end - 1]);
      if (unit >= 0xd800 && unit <= 0xdbff) --end;
      deliver('+' + documentId + ':' + apply(slice, text, [start, end]), false);
      start = end;
    }
    deliver('=' + documentId + ':' + apply(slice, text, [start]), true);
  }

  function takeUpdate(event) {
    const update = parse(apply(detailOf, event, []));
    const acked = update.document === documentId ? update.sequence : 0;
    apply(each, pending, [function (written, key) {
      if (written <= acked) apply(remove, pending, [key]);
    }]);
    const keys = keysOf(update.values);
    for (let i = 0; i < keys.length; ++i) {
      const key = keys[i], value = update.values[key];
      if (apply(has, pending, [key])) continue; // a newer write of ours is on its way
      if (value === null) apply(remove, store, [key]);
      else apply(set, store, [key, value]);
    }
  }

  function command(text) {
    text = toStr(text);
    const colon = apply(indexOf, text, [':']);
    const name = colon < 0 ? text : apply(slice, text, [0, colon]);
    const argument = colon < 0 ? '' : apply(slice, text, [colon + 1]);
    const size = stringify(text).length;
    if (refusing || taskChars + size > settings.maxTaskChars) {
      refusing = true;
      reportError('webkitExternal: refused the command ' + apply(slice, name, [0, 200]) + ' of ' +
                  text.length + ' characters: one script task may send at most ' +
                  settings.maxTaskChars + ' characters of commands');
      apply(push, outbox, [{ name: apply(slice, name, [0, 200]), length: text.length }]);
      if (!scheduled) {
        scheduled = true;
        later(endTask);
      }
      return null;
    }
    taskChars += size;
    const number = ++sequence;
    if (name === writeCommand) {
      const split = apply(indexOf, argument, [':']);
      const key = apply(slice, argument, [0, split]);
      // The store refuses keys that are not valid Unicode.
      if (split >= 0 && !apply(test, loneSurrogate, [key])) {
        apply(set, store, [key, apply(slice, argument, [split + 1])]);
        apply(set, pending, [key, number]);
      }
    }
    apply(push, outbox, [text]);
    outboxChars += text.length;
    if (outboxChars >= maxRequestChars) {
      flush();
    } else if (!scheduled) {
      scheduled = true;
      later(endTask);
    }
    if (name === readCommand) {
      return apply(has, store, [argument]) ? apply(get, store, [argument]) : null;
    }
    return apply(has, fixedResults, [name]) ? apply(get, fixedResults, [name]) : null;
  }

  Object.defineProperty(window, 'webkitExternal', {
    value: Object.freeze({ command: command }),
    writable: false, enumerable: false, configurable: false
  });

  // The console's frames announce the links they activate (links.js).
  function announceLink(event) {
    request('link', toStr(apply(detailOf, event, [])));
  }
  function listenAll() {
    apply(listen, document, [updateEvent, takeUpdate, true]);
    apply(listen, window, [settings.linkEvent, announceLink, true]);
  }
  keepListening(listenAll);
})
