// morvexTex: TEX archives through the library's module on a Web Worker (the
// worker's script is the page's #morvex-worker block, started from a Blob
// URL), in the Python module's shape; then the page that uses it.
'use strict';

const morvexTex = (() => {
  let worker = null;
  let seq = 0;
  const pending = new Map();   // id -> {resolve, reject, progress}

  function abortError(message) {
    return new DOMException(message || 'stopped', 'AbortError');
  }

  function start() {
    const source = document.getElementById('morvex-worker').textContent;
    const url = URL.createObjectURL(new Blob([source], {type: 'text/javascript'}));
    worker = new Worker(url);
    URL.revokeObjectURL(url);
    worker.onmessage = (event) => {
      const m = event.data;
      const p = pending.get(m.id);
      if (!p) return;
      if (m.progress) {
        if (p.progress) p.progress(m.progress[0], m.progress[1]);
        return;
      }
      pending.delete(m.id);
      if (m.error) {
        const e = m.error.name === 'AbortError' ? abortError(m.error.message) : new Error(m.error.message);
        e.kind = m.error.kind;
        p.reject(e);
      } else {
        p.resolve(m.value);
      }
    };
    // The module ended (a trap): every call waiting fails, and the next call
    // starts a new worker (the archives of this one are gone).
    worker.onerror = (event) => {
      event.preventDefault();
      const failed = worker;
      worker = null;
      failed.terminate();
      for (const [, p] of pending) {
        const e = new Error('the worker ended: ' + (event.message || 'a fault'));
        e.kind = 'worker';
        p.reject(e);
      }
      pending.clear();
    };
  }

  function call(op, args, transfer, options) {
    const {signal, progress} = options || {};
    if (signal && signal.aborted) return Promise.reject(abortError());
    if (!worker) start();
    const id = ++seq;
    return new Promise((resolve, reject) => {
      pending.set(id, {resolve, reject, progress});
      if (signal) signal.addEventListener('abort', () => worker && worker.postMessage({abort: id}), {once: true});
      worker.postMessage({id, op, args, progress: !!progress}, transfer || []);
    });
  }

  // The bytes' own buffer goes to the worker (transferred, not copied) when
  // they fill it; a Blob is handed over as it is.
  function handOver(bytes) {
    if (bytes instanceof Blob) return [bytes, []];
    if (bytes instanceof ArrayBuffer) return [bytes, [bytes]];
    if (ArrayBuffer.isView(bytes)) {
      const whole = bytes.byteOffset === 0 && bytes.byteLength === bytes.buffer.byteLength;
      const view = new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
      return whole ? [view, [bytes.buffer]] : [view.slice(), []];
    }
    throw new TypeError('open: a Uint8Array, an ArrayBuffer or a Blob');
  }

  // What the worker takes of a call's options (a signal and a function stay here).
  function packing(options) {
    const o = options || {};
    return {type: o.type || 0, level: o.level || 0};
  }

  function images(map) {
    const out = {};
    for (const [name, value] of Object.entries(map || {})) {
      if (value instanceof ImageData || value instanceof Blob) out[name] = value;
      else if (value instanceof ArrayBuffer) out[name] = new Uint8Array(value);
      else if (ArrayBuffer.isView(value)) out[name] = new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
      else throw new TypeError('image ' + name + ': a Uint8Array, a Blob or an ImageData');
    }
    return out;
  }

  class Archive {
    constructor(described, name) {
      this.id = described.id;
      this.name = name || '';
      this.header = described.header;
      this.problems = described.problems;
      this.entries = described.entries;
      this.closed = false;
    }
    check() {
      if (this.closed) throw new Error('the archive is closed');
    }
    async pixels(index) {
      this.check();
      return call('pixels', [this.id, index]);
    }
    async image(index, format) {
      this.check();
      return call('image', [this.id, index, format || 'png']);
    }
    async test(options) {
      this.check();
      return call('test', [this.id], [], options);
    }
    async bytes() {
      this.check();
      return call('bytes', [this.id]);
    }
    async replace(map, options) {
      this.check();
      return new Archive(await call('replace', [this.id, images(map), packing(options)], [], options), this.name);
    }
    async add(map, options) {
      this.check();
      return new Archive(await call('add', [this.id, images(map), packing(options)], [], options), this.name);
    }
    async update(map, options) {
      this.check();
      return new Archive(await call('update', [this.id, images(map), packing(options)], [], options), this.name);
    }
    async delete(patterns) {
      this.check();
      return new Archive(await call('delete', [this.id, [...patterns].map(String)]), this.name);
    }
    async rename(oldName, newName) {
      this.check();
      return new Archive(await call('rename', [this.id, String(oldName), String(newName)]), this.name);
    }
    close() {
      if (this.closed) return;
      this.closed = true;
      call('close', [this.id]).catch(() => {});
    }
  }

  async function open(bytes, name) {
    const [data, transfer] = handOver(bytes);
    return new Archive(await call('open', [data], transfer), name || (bytes instanceof File ? bytes.name : ''));
  }

  async function create(map, options) {
    return new Archive(await call('create', [images(map), packing(options)], [], options), 'new.pak');
  }

  return {open, create, Archive};
})();
window.morvexTex = morvexTex;
