// The page: archives opened from the file chooser or dropped anywhere, each
// shown as the gallery shows one (thumbnails, filter, full view), tested,
// edited and saved through morvexTex. Names and messages are set as text,
// never as markup. The body's data-state ("ready", "busy") and the archive
// section's data-* attributes say what the page has done.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const body = document.body;
  const opened = [];        // {archive, name}
  let shown = -1;
  let busy = null;          // the AbortController of the work running
  let thumbing = null;      // that of the pictures being decoded, between the work's calls
  let viewing = -1;         // the entry in the full view

  function element(tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (className) e.className = className;
    return e;
  }

  function say(message, bad) {
    $('status').textContent = message;
    $('status').classList.toggle('bad', !!bad);
    if (bad) body.dataset.error = message;
  }

  // Runs `work` with a signal and a progress callback, one piece of work at
  // a time; Cancel aborts it.
  async function run(label, work) {
    if (busy) {
      say('Busy: wait, or cancel what runs.', true);
      return undefined;
    }
    busy = new AbortController();
    body.dataset.state = 'busy';
    $('progress-box').hidden = false;
    $('progress').removeAttribute('value');
    say(label + '...');
    const progress = (done, total) => {
      $('progress').max = Math.max(total, 1);
      $('progress').value = done;
    };
    try {
      const result = await work(busy.signal, progress);
      say('');
      return result;
    } catch (e) {
      say(e.name === 'AbortError' ? label + ': cancelled.' : label + ': ' + e.message, e.name !== 'AbortError');
      return undefined;
    } finally {
      busy = null;
      $('progress-box').hidden = true;
      body.dataset.state = 'ready';
    }
  }

  function download(bytes, name) {
    const url = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    const a = element('a');
    a.href = url;
    a.download = name;
    a.click();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  // The pixels on a canvas shown at a whole multiple of their size, as large
  // as fits in `box` (CSS pixels), or shrunk to fit it.
  function paint(canvas, pixels, box) {
    canvas.width = pixels.width;
    canvas.height = pixels.height;
    canvas.getContext('2d').putImageData(pixels, 0, 0);
    const fit = Math.min(box[0] / pixels.width, box[1] / pixels.height);
    canvas.style.width = pixels.width * (fit >= 1 ? Math.floor(fit) : fit) + 'px';
  }

  function describe(entry) {
    if (entry.name === null) return 'header not readable';
    return entry.width + ' x ' + entry.height + ', type ' + entry.type + ', ' + entry.size + ' bytes';
  }

  function card(entry) {
    const c = element('div', null, 'card');
    c.dataset.index = entry.index;
    c.dataset.name = entry.name === null ? '' : entry.name;
    c.dataset.problems = entry.problems.length;
    c.classList.toggle('damaged', entry.problems.length > 0);
    const thumb = element('div', null, 'thumb');
    thumb.append(element('span', entry.width && entry.height ? '...' : 'no picture', 'none'));
    const info = element('div', null, 'info');
    const title = element('h2');
    title.append(element('span', '#' + entry.index + ' ', 'index'), element('span', entry.name === null ? '(unnamed)' : entry.name));
    const facts = element('p', describe(entry), 'muted');
    const problems = element('ul', null, 'problems');
    for (const p of entry.problems) problems.append(element('li', p.message));
    info.append(title, facts, problems);
    c.append(thumb, info);
    return c;
  }

  function filter() {
    const text = $('filter').value.toLowerCase();
    const only = $('problems-only').checked;
    for (const c of $('cards').children) {
      c.hidden = (text && !c.dataset.name.toLowerCase().includes(text)) || (only && c.dataset.problems === '0');
    }
  }

  function renderTabs() {
    const tabs = $('tabs');
    tabs.replaceChildren();
    opened.forEach((o, k) => {
      const b = element('button', o.name || 'archive ' + (k + 1));
      b.type = 'button';
      b.setAttribute('role', 'tab');
      b.setAttribute('aria-selected', String(k === shown));
      b.addEventListener('click', () => show(k));
      tabs.append(b);
    });
    body.dataset.archives = opened.length;
  }

  // The cards' pictures, one call at a time: other work goes on between them
  // (the worker takes calls in turn); showing another archive stops them.
  async function thumbnails(archive, section) {
    if (thumbing) thumbing.abort();
    const stop = thumbing = new AbortController();
    const entries = archive.entries.filter((e) => e.width && e.height);
    let done = 0;
    for (const entry of entries) {
      if (stop.signal.aborted || archive.closed) return;
      let shown;
      try {
        const pixels = await archive.pixels(entry.index);
        shown = element('canvas');
        shown.dataset.index = entry.index;
        paint(shown, pixels, [128, 128]);
        shown.addEventListener('click', () => view(entry.index));
      } catch (e) {
        shown = element('span', 'no picture', 'none');
        shown.title = e.message;
      }
      if (stop.signal.aborted) return;
      section.querySelector('.card[data-index="' + entry.index + '"] .thumb').replaceChildren(shown);
      if (!busy) say('Pictures: ' + (++done) + ' of ' + entries.length);
    }
    if (stop.signal.aborted) return;
    thumbing = null;
    section.dataset.thumbs = 'done';
    if (!busy) say('');
  }

  function show(k) {
    shown = k;
    renderTabs();
    const section = $('archive');
    delete section.dataset.thumbs;
    delete section.dataset.tested;
    if (k < 0 || k >= opened.length) {
      section.hidden = true;
      return;
    }
    const {archive, name} = opened[k];
    const h = archive.header;
    section.hidden = false;
    section.dataset.entries = archive.entries.length;
    $('archive-name').textContent = name;
    $('summary').textContent = h.signature + ' version ' + h.version + ', ' + h.file_count + ' files, ' +
      archive.entries.length + ' entries read, ' + h.size + ' bytes' + (h.header_padding_zero ? '' : ', padding not zero');
    $('archive-problems').replaceChildren(...archive.problems.map((p) => element('li', p.message)));
    $('cards').replaceChildren(...archive.entries.map(card));
    filter();
    thumbnails(archive, section);
  }

  // The archive shown becomes `next` (an edit's result), the old one closed.
  function replaceShown(next) {
    if (!next) return;
    const o = opened[shown];
    o.archive.close();
    o.archive = next;
    show(shown);
  }

  async function openFiles(files) {
    for (const file of files) {
      const archive = await run('Opening ' + file.name, () => morvexTex.open(file, file.name));
      if (!archive) continue;
      opened.push({archive, name: file.name});
      show(opened.length - 1);
    }
  }

  async function view(index) {
    const o = opened[shown];
    const entry = o.archive.entries[index];
    viewing = index;
    $('view-name').textContent = '#' + index + ' ' + (entry.name === null ? '(unnamed)' : entry.name);
    const pixels = await run('Decoding', () => o.archive.pixels(index));
    if (!pixels) return;
    const canvas = element('canvas');
    canvas.id = 'view-image';
    canvas.dataset.index = index;
    paint(canvas, pixels, [window.innerWidth - 64, window.innerHeight - 160]);
    $('view-image').replaceWith(canvas);
    $('view').dataset.index = index;
    if (!$('view').open) $('view').showModal();
  }

  function stem(name) {
    return (name || 'entry').replace(/^.*\//, '').replace(/\.[^.]*$/, '');
  }

  $('open').addEventListener('change', (e) => openFiles([...e.target.files]).then(() => { e.target.value = ''; }));
  document.addEventListener('dragover', (e) => {
    e.preventDefault();
    body.classList.add('dropping');
  });
  document.addEventListener('dragleave', () => body.classList.remove('dropping'));
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    body.classList.remove('dropping');
    openFiles([...e.dataTransfer.files]);
  });
  $('cancel').addEventListener('click', () => {
    if (busy) busy.abort();
    if (thumbing) thumbing.abort();
  });
  $('filter').addEventListener('input', filter);
  $('problems-only').addEventListener('change', filter);
  $('test').addEventListener('click', async () => {
    const o = opened[shown];
    const problems = await run('Testing', (signal, progress) => o.archive.test({signal, progress}));
    if (!problems) return;
    for (const p of problems) {
      const c = p.index === null ? null : $('cards').querySelector('.card[data-index="' + p.index + '"]');
      const list = c ? c.querySelector('.problems') : $('archive-problems');
      if ([...list.children].some((li) => li.textContent === p.message)) continue;
      list.append(element('li', p.message));
      if (c) {
        c.classList.add('damaged');
        c.dataset.problems = Number(c.dataset.problems) + 1;
      }
    }
    $('archive').dataset.tested = problems.length;
    const n = problems.length;
    say(n ? n + (n === 1 ? ' problem found.' : ' problems found.') : 'No problems found.', false);
  });
  $('save').addEventListener('click', async () => {
    const o = opened[shown];
    const bytes = await run('Saving', () => o.archive.bytes());
    if (bytes) download(bytes, o.name || 'archive.pak');
  });
  $('close').addEventListener('click', () => {
    opened[shown].archive.close();
    opened.splice(shown, 1);
    show(Math.min(shown, opened.length - 1));
  });
  $('add').addEventListener('change', async (e) => {
    const images = {};
    // Stored under the file's name, a JPEG or WebP file's as .png, as `add` names them.
    for (const f of e.target.files) images[f.name.replace(/\.(jpe?g|webp)$/i, '.png')] = f;
    e.target.value = '';
    replaceShown(await run('Adding', (signal, progress) => opened[shown].archive.add(images, {signal, progress})));
  });
  $('view-close').addEventListener('click', () => $('view').close());
  $('view-save').addEventListener('click', async () => {
    const format = $('view-format').value;
    const entry = opened[shown].archive.entries[viewing];
    const bytes = await run('Writing the file', () => opened[shown].archive.image(viewing, format));
    if (bytes) download(bytes, stem(entry.name) + '.' + format);
  });
  $('view-replace').addEventListener('change', async (e) => {
    const file = e.target.files[0];
    e.target.value = '';
    const entry = opened[shown].archive.entries[viewing];
    if (!file || entry.name === null) return;
    $('view').close();
    replaceShown(await run('Replacing', (signal, progress) =>
      opened[shown].archive.replace({[entry.name]: file}, {signal, progress})));
  });
  $('view-rename').addEventListener('click', async () => {
    const entry = opened[shown].archive.entries[viewing];
    const name = entry.name === null ? null : prompt('New name for ' + entry.name, entry.name);
    if (!name || name === entry.name) return;
    $('view').close();
    replaceShown(await run('Renaming', () => opened[shown].archive.rename(entry.name, name)));
  });
  $('view-delete').addEventListener('click', async () => {
    const entry = opened[shown].archive.entries[viewing];
    if (entry.name === null) return;
    $('view').close();
    // The name as a pattern that takes it alone: each wildcard in brackets.
    const pattern = entry.name.replace(/[*?[\]\\]/g, (c) => '[' + c + ']');
    replaceShown(await run('Deleting', () => opened[shown].archive.delete([pattern])));
  });
  body.dataset.state = 'ready';
})();
