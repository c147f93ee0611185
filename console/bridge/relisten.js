// Keeps a page script's listeners through a rewritten document: opening a document (by
// document.open(), or by a write once it has loaded) removes every listener of the document and
// of its window. listen adds the script's listeners; it runs now, and again each time a document
// of this frame has been opened. The bridge hands this function to each of its page scripts.
(function (listen) {
  'use strict';
  const apply = Reflect.apply, proto = Document.prototype;
  const names = ['open', 'write', 'writeln'];
  for (let i = 0; i < names.length; ++i) {
    const original = proto[names[i]];
    Object.defineProperty(proto, names[i], {
      value: function () {
        try {
          return apply(original, this, arguments);
        } finally {
          listen();
        }
      },
      writable: true, enumerable: true, configurable: true
    });
  }
  listen();
})
