// The page's worker: the library's module (emscripten's script, put before
// this by assemble.py) and the calls page.js asks for, one at a time. Each
// archive is a file of the module's in-memory file system (/a), opened by
// its path; an archive's bytes are handed to that file, not copied.
//   in:  {id, op, args} or {abort: id}
//   out: {id, value} | {id, error: {name, kind, message}} | {id, progress: [done, total]}
'use strict';

let M = null;
const archives = new Map();   // id -> {handle, path}
let nextArchive = 1;
let nextFile = 1;
let current = null;           // the call running: {id, aborted, progress, last}
const aborted = new Set();    // calls aborted before they ran
const queue = [];
let busy = false;

// The module's bytes, from the base64 text assemble.py put before this.
function moduleBytes() {
  const text = atob(morvexTexWasm);
  const bytes = new Uint8Array(text.length);
  for (let k = 0; k < text.length; ++k) bytes[k] = text.charCodeAt(k);
  return bytes;
}

const ready = morvexTexModule({wasmBinary: moduleBytes(), print() {}, printErr() {}}).then((module) => {
  M = module;
  M.FS.mkdir('/a');
  M.FS.mkdir('/s');
  // The stop hook's question (web/stop.cpp): -1 lets the worker's messages
  // in first (every 50 ms at most), then it is asked again, `settled`.
  M.morvexPoll = (done, total, settled) => {
    const c = current;
    if (!c) return 0;
    if (c.progress && !settled) postMessage({id: c.id, progress: [done, total]});
    if (c.aborted) return 1;
    if (settled) {
      c.last = performance.now();
      return 0;
    }
    return performance.now() - c.last < 50 ? 0 : -1;
  };
});

class CallError extends Error {
  constructor(kind, message, name) {
    super(message);
    this.kind = kind;
    this.errorName = name || 'Error';
  }
}

function text(pointer) {
  return pointer ? M.UTF8ToString(pointer) : null;
}

function failure(json) {
  const e = JSON.parse(json || '{"kind": "unknown", "message": "failed"}');
  return new CallError(e.kind, e.message);
}

function writeFile(path, bytes) {
  const stream = M.FS.open(path, 'w');
  M.FS.write(stream, bytes, 0, bytes.length, 0, true);   // the file takes the bytes over
  M.FS.close(stream);
}

async function bytesOf(data) {
  if (data instanceof Blob) return new Uint8Array(await data.arrayBuffer());
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new CallError('argument', 'not bytes: a Uint8Array, an ArrayBuffer or a Blob');
}

function newPath() {
  return '/a/' + (nextFile++) + '.pak';
}

function openPath(path) {
  const handle = M.ccall('web_open', 'number', ['string'], [path]);
  if (!handle) {
    const e = failure(text(M._web_error()));
    M.FS.unlink(path);
    throw e;
  }
  const described = text(M._web_describe(handle));
  if (!described) {
    M._web_close(handle);
    M.FS.unlink(path);
    throw failure(text(M._web_error()));
  }
  const id = nextArchive++;
  archives.set(id, {handle, path});
  return Object.assign({id}, JSON.parse(described));
}

function archiveOf(id) {
  const a = archives.get(id);
  if (!a) throw new CallError('argument', 'the archive is closed');
  return a;
}

function decode(id, index) {
  const a = archiveOf(id);
  const size = M._malloc(8);
  try {
    const rgba = M._web_decode(a.handle, index, size);
    if (!rgba) throw failure(text(M._web_error()));
    const width = M.HEAPU32[size >> 2];
    const height = M.HEAPU32[(size >> 2) + 1];
    const copy = new Uint8ClampedArray(M.HEAPU8.subarray(rgba, rgba + width * height * 4));
    M._web_release();
    return new ImageData(copy, width, height);
  } finally {
    M._free(size);
  }
}

function image(id, index, format) {
  const a = archiveOf(id);
  const word = String(format);
  // A word alone ("png"), not a name whose extension would select one.
  const f = word.includes('.') ? 0 : M.ccall('web_format', 'number', ['string'], [word]);
  if (!f) throw new CallError('argument', 'no such image format: ' + word);
  const path = '/s/image';
  if (M.ccall('web_write_image', 'number', ['number', 'number', 'number', 'string'], [a.handle, index, f, path]) != 0) {
    throw failure(text(M._web_error()));
  }
  const bytes = M.FS.readFile(path);
  M.FS.unlink(path);
  return bytes;
}

// The kind of image file `bytes` hold, by their first bytes, as the
// extension of the name the packer reads them under.
function extensionOf(bytes) {
  const starts = (...b) => b.every((v, k) => bytes[k] === v);
  if (starts(0x89, 0x50, 0x4e, 0x47)) return '.png';
  if (starts(0x42, 0x4d)) return '.bmp';
  if (starts(0xff, 0xd8, 0xff)) return '.jpg';
  if (starts(0x52, 0x49, 0x46, 0x46) && bytes[8] === 0x57 && bytes[9] === 0x45 && bytes[10] === 0x42) return '.webp';
  if (starts(0x0a) && bytes.length > 128) return '.pcx';
  return '.tga';
}

// Hands the images (name -> file bytes or ImageData) to the module, each
// under its name (stored under it, or the entry it patches); the pixels'
// memory and the files are noted in `given`, for takeBack.
async function giveImages(images, given) {
  M._web_sources_clear();
  const held = given.held;
  const folder = given.folder;
  M.FS.mkdir(folder);
  let k = 0;
  for (const [name, data] of Object.entries(images || {})) {
    if (data && typeof data.width === 'number' && data.data instanceof Uint8ClampedArray) {
      const p = M._malloc(data.data.length || 1);
      if (!p) throw new CallError('no_memory', 'no memory for the pixels of ' + name);
      held.push(p);
      M.HEAPU8.set(data.data, p);
      M.ccall('web_source_pixels', null, ['string', 'number', 'number', 'number'], [name, data.width, data.height, p]);
      continue;
    }
    const bytes = await bytesOf(data);
    const path = folder + '/' + (k++) + extensionOf(bytes);
    writeFile(path, bytes);
    M.ccall('web_source_file', null, ['string', 'string'], [name, path]);
  }
}

function removeTree(path) {
  for (const name of M.FS.readdir(path)) {
    if (name === '.' || name === '..') continue;
    const p = path + '/' + name;
    if (M.FS.isDir(M.FS.stat(p).mode)) removeTree(p);
    else M.FS.unlink(p);
  }
  M.FS.rmdir(path);
}

function takeBack(given) {
  M._web_sources_clear();
  for (const p of given.held) M._free(p);
  if (M.FS.analyzePath(given.folder).exists) removeTree(given.folder);
}

function copyOf(path) {
  const to = newPath();
  writeFile(to, M.FS.readFile(path));
  return to;
}

function stopped() {
  return new CallError('stopped', 'stopped', 'AbortError');
}

async function pack(operation, id, images, options) {
  const from = id ? archiveOf(id).path : '';
  // add and update edit in place: a copy of the archive, so that it stays as it is.
  const target = operation >= 2 ? copyOf(from) : newPath();
  const given = {held: [], folder: '/s/' + (nextFile++)};
  let answer;
  try {
    await giveImages(images, given);
    answer = await M.ccall('web_pack', 'number', ['number', 'string', 'string', 'number', 'number'],
                           [operation, operation >= 2 ? target : from, target, options.type || 0, options.level || 0],
                           {async: true});
  } catch (e) {
    if (operation >= 2) M.FS.unlink(target);
    throw e;
  } finally {
    takeBack(given);
  }
  if (!answer) {
    if (operation >= 2) M.FS.unlink(target);
    const e = failure(text(M._web_edit_error()));
    if (e.kind === 'stopped') throw stopped();
    throw e;
  }
  return openPath(target);
}

function edit(id, call) {
  const target = copyOf(archiveOf(id).path);
  const answer = call(target);
  if (!answer) {
    M.FS.unlink(target);
    throw failure(text(M._web_edit_error()));
  }
  return openPath(target);
}

async function run(message) {
  await ready;
  const [a, b, c] = message.args || [];
  switch (message.op) {
  case 'open': {
    const path = newPath();
    writeFile(path, await bytesOf(a));
    return [openPath(path)];
  }
  case 'pixels': {
    const data = decode(a, b);
    return [data, [data.data.buffer]];
  }
  case 'image': {
    const bytes = image(a, b, c);
    return [bytes, [bytes.buffer]];
  }
  case 'bytes': {
    const bytes = M.FS.readFile(archiveOf(a).path);
    return [bytes, [bytes.buffer]];
  }
  case 'test': {
    const answer = await M.ccall('web_test', 'number', ['number'], [archiveOf(a).handle], {async: true});
    if (!answer) throw failure(text(M._web_edit_error()));
    const result = JSON.parse(text(answer));
    if (result.stopped) throw stopped();
    return [result.problems];
  }
  case 'create': return [await pack(0, 0, a, b || {})];
  case 'replace': return [await pack(1, a, b, c || {})];
  case 'add': return [await pack(2, a, b, c || {})];
  case 'update': return [await pack(3, a, b, c || {})];
  case 'delete': {
    const patterns = {};
    for (const p of b) patterns[String(p)] = null;
    return [edit(a, (target) => {
      M._web_sources_clear();
      for (const p of Object.keys(patterns)) M.ccall('web_source_pixels', null, ['string', 'number', 'number', 'number'], [p, 0, 0, 0]);
      return M.ccall('web_delete', 'number', ['string'], [target]);
    })];
  }
  case 'rename':
    return [edit(a, (target) => M.ccall('web_rename', 'number', ['string', 'string', 'string'], [target, b, c]))];
  case 'close': {
    const x = archives.get(a);
    if (x) {
      M._web_close(x.handle);
      M.FS.unlink(x.path);
      archives.delete(a);
    }
    return [null];
  }
  default:
    throw new CallError('argument', 'no such call: ' + message.op);
  }
}

async function pump() {
  if (busy) return;
  busy = true;
  while (queue.length) {
    const m = queue.shift();
    current = {id: m.id, aborted: aborted.delete(m.id), progress: !!m.progress, last: performance.now()};
    try {
      if (current.aborted) throw stopped();
      const [value, transfer] = await run(m);
      postMessage({id: m.id, value}, transfer || []);
    } catch (e) {
      const error = e instanceof CallError ? {name: e.errorName, kind: e.kind, message: e.message}
                                           : {name: 'Error', kind: 'failed', message: String(e && e.message || e)};
      postMessage({id: m.id, error});
    }
    current = null;
  }
  busy = false;
}

self.onmessage = (event) => {
  const m = event.data;
  if (m.abort !== undefined) {
    if (current && current.id === m.abort) current.aborted = true;
    else aborted.add(m.abort);
    return;
  }
  queue.push(m);
  pump();
};
