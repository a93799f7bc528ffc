// The page in a real browser (Debian's chromium, driven by puppeteer-core):
// the examples' CRCs, a compile error's marker and the last good score kept,
// the frames the AudioWorklet plays, the roll's bars, a megabyte score, share
// links good and bad, every control clicked, the staff view tied to the text
// and the sound. How fast the page renders, engraves and gets ready is
// printed only; bench/web measures it.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import zlib from 'node:zlib';
import {
  assertProgramBuilt, dist, exampleBytes, examples, programCrc, programError, programExport, root, runProgram,
} from './support.mjs';

const require = createRequire(path.join(root, 'web', 'package.json'));
const { default: puppeteer } = await import(pathToFileURL(require.resolve('puppeteer-core')));
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const TYPES = {
  '.html': 'text/html', '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm', '.qvl': 'text/plain', '.txt': 'text/plain',
};

let server;
let browser;
let page;
let address;
const pageErrors = [];
let requested = [];  // what the page has asked for since it was last opened

// The program's playing time ("3:5.25") as the page shows times ("3:05.25").
const clock = (time) => time.replace(/:(\d)\./, ':0$1.');
const base64url = (bytes) => Buffer.from(bytes).toString('base64url');

// Clicks a download button; answers the name and the bytes of the file the
// page offers.
async function downloaded(selector) {
  await page.evaluate(() => {
    const click = HTMLAnchorElement.prototype.click;
    window.offered = new Promise((resolve) => {
      HTMLAnchorElement.prototype.click = function keep() {
        HTMLAnchorElement.prototype.click = click;
        resolve({ href: this.href, name: this.download });
      };
    });
  });
  await page.click(selector);
  const file = await page.evaluate(async () => {
    const { href, name } = await window.offered;
    const bytes = new Uint8Array(await (await fetch(href)).arrayBuffer());
    let binary = '';
    for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return { name, data: btoa(binary) };
  });
  return { name: file.name, bytes: Buffer.from(file.data, 'base64') };
}

// Loads the page at an address and waits until it is ready.
async function open(url) {
  await page.goto(url);
  requested = [];
  await page.reload();
  await page.waitForSelector('body[data-ready]', { timeout: 30000 });
  await page.waitForFunction(() => !window.playground.page.pending, { timeout: 30000 });
}

function serve() {
  return new Promise((resolve) => {
    server = http.createServer((request, response) => {
      const name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
      const file = path.join(dist, name.endsWith('/') ? `${name}index.html` : name);
      if (!file.startsWith(dist) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
        response.writeHead(404).end();
        return;
      }
      response.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream' });
      response.end(fs.readFileSync(file));
    });
    server.listen(0, '127.0.0.1', () => resolve(`http://localhost:${server.address().port}/`));
  });
}

// Runs fn in the page and waits for the compile it sets off to finish.
async function compiled(fn, arg, timeout = 20000) {
  const before_ = await page.evaluate(() => window.playground.page.compiles);
  await fn(arg);
  await page.waitForFunction((n) => window.playground.page.compiles > n, { timeout }, before_);
}

before(async () => {
  assertProgramBuilt();
  address = await serve();
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    userDataDir: fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-chromium-')),
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--autoplay-policy=no-user-gesture-required'],
  });
  page = await browser.newPage();
  page.on('pageerror', (error) => {
    pageErrors.push(error.message);
    console.error(`page error: ${error.message}`);
  });
  await browser.defaultBrowserContext().overridePermissions(address,
    ['clipboard-read', 'clipboard-write', 'clipboard-sanitized-write']);
  page.on('request', (request) => requested.push(new URL(request.url()).pathname));
  await page.setViewport({ width: 1400, height: 800 });
  await page.goto(address);
  await page.waitForSelector('body[data-ready]', { timeout: 30000 });
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
});

describe('the page', () => {
  test('is ready to play after a load without the cache', async () => {
    await page.setCacheEnabled(false);
    await page.reload();
    await page.waitForSelector('body[data-ready]', { timeout: 30000 });
    await page.setCacheEnabled(true);
    assert.equal(await page.$eval('#play', (b) => b.disabled), false);
  });

  for (const name of examples) {
    test(`shows the program's CRC for ${name}`, async () => {
      await compiled(() => page.select('#example', name));
      assert.equal(await page.$eval('#crc', (e) => e.textContent), programCrc(exampleBytes(name)));
      const run = runProgram(exampleBytes(name), { write: true, name });
      assert.equal(await page.$eval('#playing-time', (e) => e.textContent), clock(run.stdout.trim().split(' ').pop()));
    });
  }

  test('marks a faulty line where the program reports it', async () => {
    await compiled(() => page.select('#example', 'fur_elise'));
    await page.click('.cm-content');
    await page.keyboard.down('Control');
    await page.keyboard.press('End');
    await page.keyboard.up('Control');
    await compiled(() => page.keyboard.type('\nV1 Q 1 2 K9 3'));
    const text = await page.evaluate(() => window.playground.page.view.state.doc.toString());
    const expected = programError(Buffer.from(text, 'utf8'));
    const marker = await page.evaluate(() => {
      const { view } = window.playground.page;
      const range = document.querySelector('.cm-lintRange-error');
      if (!range) return null;
      const offset = view.posAtDOM(range);
      const line = view.state.doc.lineAt(offset);
      return { line: line.number, column: offset - line.from + 1, text: range.textContent };
    });
    assert.deepEqual(marker, { line: expected.line, column: expected.column, text: '9' });
    assert.ok(await page.$('.cm-gutter-lint .cm-lint-marker-error'), 'a marker in the gutter');
    const listed = await page.$eval('#diagnostics', (e) => e.textContent);
    assert.ok(listed.includes(`line ${expected.line} col ${expected.column}: error ${expected.number}`), listed);
    // A click on the listed error puts the cursor on the marker.
    await page.evaluate(() => window.playground.page.view.dispatch({ selection: { anchor: 0 } }));
    await page.click('#diagnostics li.error');
    assert.equal(await page.evaluate(() => {
      const { state } = window.playground.page.view;
      return state.sliceDoc(state.selection.main.head, state.selection.main.head + 1);
    }), '9');
    // The last good score stays: its roll greyed, its music playable; the
    // WAVE and CRC are of the text, which has none.
    assert.equal(await page.$eval('#play', (b) => b.disabled), false);
    assert.equal(await page.$eval('#roll-pane', (e) => e.hasAttribute('data-stale')), true);
    assert.equal(await page.$eval('#download', (b) => b.disabled), true);
    assert.equal(await page.$eval('#crc', (e) => e.textContent), '--------');
    const wave = runProgram(exampleBytes('fur_elise'), { write: true, name: 'fur_elise' }).wave;
    await page.evaluate(async () => {
      window.playground.page.view.dispatch({ selection: { anchor: 0 } });
      await window.playground.play({ captureFrames: 22050 });
    });
    await page.waitForFunction(() => window.playground.page.captured, { timeout: 30000 });
    const captured = await page.evaluate(() => Array.from(window.playground.page.captured));
    await page.evaluate(() => window.playground.stop());
    assert.deepEqual(captured, Array.from(new Int16Array(wave.buffer.slice(wave.byteOffset + 46,
      wave.byteOffset + 46 + 4 * 22050))));
    // Mended, the roll is the text's again.
    await compiled(() => page.evaluate((typed) => {
      const { view } = window.playground.page;
      const end = view.state.doc.length;
      view.dispatch({ changes: { from: end - typed.length, to: end }, userEvent: 'delete' });
    }, '\nV1 Q 1 2 K9 3'));
    assert.equal(await page.$eval('#roll-pane', (e) => e.hasAttribute('data-stale')), false);
  });

  test('a click on a note in the roll puts the cursor on its text', async () => {
    await compiled(() => page.select('#example', 'ode_to_joy'));
    const canvas = await page.$('#roll');
    const box = await canvas.boundingBox();
    // A few notes of the first half minute, the roll's first view.
    const notes = await page.evaluate(() => window.playground.page.notes
      .filter((n) => n.line > 0 && n.startFrame < 20 * 44100 && n.frames > 4410)
      .filter((n, i, all) => i % Math.ceil(all.length / 4) === 0)
      .map((n) => ({ ...n, point: window.playground.notePoint(n) })));
    assert.ok(notes.length >= 3);
    for (const note of notes) {
      await page.mouse.click(box.x + note.point.x, box.y + note.point.y);
      const at = await page.evaluate(() => {
        const { state } = window.playground.page.view;
        const head = state.selection.main.head;
        const line = state.doc.lineAt(head);
        return { line: line.number, text: state.doc.sliceString(head, line.to) };
      });
      // The note's text starts where the cursor stands: its column in bytes
      // is its offset in the line, the examples being ASCII.
      const expected = exampleBytes('ode_to_joy').toString('latin1').split(/\r?\n/)[note.line - 1]
        .slice(note.column - 1);
      assert.deepEqual(at, { line: note.line, text: expected });
      assert.deepEqual(await page.evaluate(() => {
        const lit = window.playground.page.litNote;
        return lit && [lit.line, lit.column, lit.startFrame];
      }), [note.line, note.column, note.startFrame], 'the clicked note is lit');
    }
  });

  test('the roll draws a line where each bar starts, with its number', async () => {
    await compiled(() => page.select('#example', 'greensleeves'));
    const { lines, notes } = await page.evaluate(() => {
      const p = window.playground.page;
      window.playground.drawRoll();
      return { lines: p.barCache.lines, notes: p.notes.map((n) => [n.bar, n.startFrame]) };
    });
    assert.ok(lines.length >= 10, `${lines.length} bar lines`);
    lines.forEach((line, i) => {
      assert.equal(line.bar, i + 1);
      const own = notes.filter(([bar]) => bar === line.bar).map(([, start]) => start);
      const next = i + 1 < lines.length ? lines[i + 1].frame : Infinity;
      assert.ok(own.length > 0 && own.every((start) => start >= line.frame && start < next), `bar ${line.bar}`);
    });
  });

  test('a score of a megabyte: its CRC, its notes and its roll', async () => {
    const bar = 'V1 X 1 2 3 4 5 6 7 8 V2 X -1 -2 -3 -4 -5 -6 -7 -8 V3 X 8 7 6 5 4 3 2 1 M\n';
    const text = `=10\n${bar.repeat(Math.ceil(1_000_000 / bar.length))}`;
    const errors = pageErrors.length;
    await compiled((t) => page.evaluate((s) => window.playground.setText(s), t), text, 120000);
    await page.click('#notation-toggle');
    await page.waitForFunction(() => document.querySelector('#notation-status').textContent.includes('too long'),
      { timeout: 30000 });
    const shown = await page.evaluate(() => ({
      crc: document.querySelector('#crc').textContent,
      notes: window.playground.page.notes.length,
      status: document.querySelector('#status').textContent,
      staves: document.querySelector('#notation-status').textContent,
    }));
    await page.click('#notation-toggle');
    assert.match(shown.staves, /too long to engrave here \(\d+ bars\)/);
    assert.ok(shown.notes >= 240000, `${shown.notes} notes`);
    assert.match(shown.status, new RegExp(`\\b${shown.notes} notes`));
    assert.equal(shown.crc, programCrc(Buffer.from(text)));
    assert.deepEqual(pageErrors.slice(errors), []);
  });

  // Links that carry no readable score: each says why, and loads nothing in
  // its place.
  const tooLarge = zlib.deflateRawSync(Buffer.from('V1 Q 1 M\n'.repeat(300000)));
  const good = zlib.deflateRawSync(Buffer.from('V1 Q 1 M\n'));
  const badLinks = [
    ['a cut link', `z=${base64url(good).slice(0, 8)}`, /not deflated data/],
    ['characters outside base64url', 'z=ab+c', /not base64url/],
    ['a score past the limit', `z=${base64url(tooLarge)}`, /larger than the 2 MiB/],
    ['bytes that are not UTF-8', `t=${base64url([0x56, 0x31, 0xFF])}`, /not UTF-8/],
    ['an unknown dialect', `z=${base64url(good)}&d=7`, /dialect "7"/],
    ['a start part that is no number', `z=${base64url(good)}&g=xyz`, /start part "xyz"/],
  ];
  for (const [title, fragment, reason] of badLinks) {
    test(`a link with ${title} says it cannot be read`, async () => {
      await open(`${address}#${fragment}`);
      const shown = await page.evaluate(() => ({
        notice: document.querySelector('#notice').textContent,
        text: window.playground.page.view.state.doc.toString(),
      }));
      assert.match(shown.notice, /^This link cannot be read: /);
      assert.match(shown.notice, reason);
      assert.equal(shown.text, '');
    });
  }
  test('after an unreadable link, an example clears the notice', async () => {
    await compiled(() => page.select('#example', 'ode_to_joy'));
    assert.equal(await page.$eval('#notice', (e) => e.textContent), '');
    await open(address);
  });

  test('"Download WAV" gives the file -w writes', async () => {
    await compiled(() => page.select('#example', 'fur_elise'));
    const file = await page.evaluate(async () => {
      const click = HTMLAnchorElement.prototype.click;
      const taken = new Promise((resolve) => {
        HTMLAnchorElement.prototype.click = function keep() { resolve({ href: this.href, name: this.download }); };
      });
      document.querySelector('#download').click();
      const { href, name } = await taken;
      HTMLAnchorElement.prototype.click = click;
      const bytes = new Uint8Array(await (await fetch(href)).arrayBuffer());
      let binary = '';
      for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      return { name, data: btoa(binary) };
    });
    assert.equal(file.name, 'fur_elise.wav');
    const run = runProgram(exampleBytes('fur_elise'), { write: true, name: 'fur_elise' });
    assert.ok(Buffer.from(file.data, 'base64').equals(run.wave), 'WAVE bytes differ');
  });

  // Every control of the page, used as a person uses it: each row acts on
  // one and checks what it did. A control the table lacks fails the first test.
  const controls = {
    example: async () => {
      await compiled(() => page.select('#example', 'ode_to_joy'));
      assert.equal(await page.evaluate(() => window.playground.page.view.state.doc.toString()),
        exampleBytes('ode_to_joy').toString('latin1'));
    },
    dialect: async () => {
      await compiled(() => page.select('#dialect', '1'));
      assert.equal(await page.$eval('#crc', (e) => e.textContent), programCrc(exampleBytes('ode_to_joy'), { dialect: 1 }));
      await compiled(() => page.select('#dialect', '0'));
    },
    'start-part': async () => {
      await compiled(() => page.select('#example', 'greensleeves'));
      await page.click('#start-part');
      await compiled(() => page.keyboard.type('2'));
      const first = await page.evaluate(() => window.playground.page.notes[0].bar);
      assert.ok(first > 1, `the roll starts at bar ${first}`);
      await compiled(() => page.keyboard.press('Backspace'));
      assert.equal(await page.evaluate(() => window.playground.page.notes[0].bar), 1);
    },
    play: async () => {
      await page.click('#play');
      await page.waitForFunction(() => window.playground.page.playing, { timeout: 30000 });
      assert.equal(await page.$eval('#stop', (b) => b.disabled), false);
    },
    stop: async () => {
      const id = await page.evaluate(() => window.playground.page.playId);
      await page.click('#stop');
      assert.equal(await page.evaluate(() => window.playground.page.playing), null);
      assert.equal(await page.$eval('#stop', (b) => b.disabled), true);
      // A report the worklet sent before it heard the stop changes nothing.
      assert.equal(await page.evaluate((stopped) => {
        const { page: p } = window.playground;
        p.audio.node.port.onmessage({ data: { type: 'position', id: stopped, position: { frame: 4480, bar: 1 } } });
        return p.playing;
      }, id), null);
    },
    download: async () => {
      assert.equal((await downloaded('#download')).name, 'greensleeves.wav');
    },
    'download-musicxml': async () => {
      const file = await downloaded('#download-musicxml');
      assert.equal(file.name, 'greensleeves.musicxml');
      assert.ok(file.bytes.equals(programExport(exampleBytes('greensleeves'), 'musicxml')), 'MusicXML bytes differ');
    },
    'notation-toggle': async () => {
      // The engraver is fetched when the view first opens, not before.
      await open(address);
      assert.ok(requested.includes('/app.js') && !requested.includes('/notation.js'), requested.join(' '));
      await page.click('#notation-toggle');
      await page.waitForFunction(() => window.playground.page.engraves > 0, { timeout: 60000 });
      assert.deepEqual(await page.evaluate(() => ({
        pressed: document.querySelector('#notation-toggle').getAttribute('aria-pressed'),
        roll: document.querySelector('#roll-pane').hidden,
        staves: document.querySelectorAll('#notation svg .staff').length > 0,
      })), { pressed: 'true', roll: true, staves: true });
      assert.ok(requested.includes('/notation.js'));
      await page.click('#notation-toggle');
      assert.equal(await page.$eval('#notation-pane', (e) => e.hidden), true);
    },
    share: async () => {
      await page.click('#share');
      await page.waitForFunction(() => document.querySelector('#status').textContent === 'link copied',
        { timeout: 10000 });
      const { hash, href, copied } = await page.evaluate(async () => ({
        hash: window.location.hash, href: window.location.href, copied: await navigator.clipboard.readText(),
      }));
      assert.match(hash, /^#z=[A-Za-z0-9_-]+$/);
      assert.equal(copied, href);
      const shared = await page.evaluate((h) => window.playground.readFragment(h), hash);
      assert.equal(shared.text, exampleBytes('greensleeves').toString('latin1'));
    },
  };

  test('the table below names every control of the page', async () => {
    const ids = await page.$$eval('button, select, input, textarea, [role=button]', (all) => all.map((e) => e.id));
    assert.deepEqual(ids.slice().sort(), Object.keys(controls).sort());
  });
  for (const [id, use] of Object.entries(controls)) test(`control #${id}`, use);

  // The staff view on the 64-bar example: engraved, tied to the text both
  // ways, following the sound, greyed while the text is broken.
  async function openStaffView() {
    await compiled(() => page.select('#example', 'minuet_in_g'));
    const before_ = await page.evaluate(() => window.playground.page.engraves);
    if (await page.$eval('#notation-pane', (e) => e.hidden)) await page.click('#notation-toggle');
    await page.waitForFunction((n) => window.playground.page.engraves > n, { timeout: 60000 }, before_);
  }

  test('the staff view: a click on a note puts the cursor on its text, where it is lit', async () => {
    await openStaffView();
    console.log(`staff view of minuet_in_g (64 bars) engraved in ${
      (await page.evaluate(() => window.playground.page.notation.ms)).toFixed(0)} ms`);
    const ids = await page.$$eval('#notation .note[data-id]', (all) => all.map((e) => e.getAttribute('data-id'))
      .filter((id) => /^n\d+_\d+_1$/.test(id)));
    assert.ok(ids.length > 100, `${ids.length} notes`);
    const lines = exampleBytes('minuet_in_g').toString('latin1').split('\n');
    for (const id of ids.filter((_, i) => i % Math.floor(ids.length / 5) === 0)) {
      const [line, column] = id.slice(1).split('_').map(Number);
      await (await page.$(`#notation [data-id="${id}"] .notehead`)).click();
      const at = await page.evaluate((lit) => {
        const { state } = window.playground.page.view;
        const head = state.selection.main.head;
        const where = state.doc.lineAt(head);
        return {
          line: where.number, column: head - where.from + 1,
          lit: document.querySelector(`#notation [data-id="${lit}"]`).classList.contains('cursor-note'),
        };
      }, id);
      assert.deepEqual(at, { line, column, lit: true }, id);
      assert.match(lines[line - 1][column - 1], /[-+0-9A-F$]/i, `${id} points at a note`);
    }
  });

  test('the staff view lights the notes and the bar sounding', async () => {
    await openStaffView();
    await page.evaluate(() => window.playground.page.view.dispatch({ selection: { anchor: 0 } }));
    await page.click('#play');
    await page.waitForFunction(() => document.querySelector('#notation .playing-note'), { timeout: 30000 });
    const lit = await page.evaluate(() => {
      const note = document.querySelector('#notation .playing-note');
      return { id: note.getAttribute('data-id'), inBar: note.closest('.measure').classList.contains('playing-bar') };
    });
    assert.match(lit.id, /^n\d+_\d+_\d+/);
    assert.equal(lit.inBar, true);
    if (process.env.QUARVEL_WEB_SCREENSHOT) {
      // The cursor on a note of bar 3, lit beside the sounding ones.
      await page.evaluate(() => {
        const { view } = window.playground.page;
        view.dispatch({ selection: { anchor: view.state.doc.line(15).from + 4 } });
      });
      await page.screenshot({ path: process.env.QUARVEL_WEB_SCREENSHOT });
    }
    await page.click('#stop');
    assert.equal(await page.$('#notation .playing-note'), null);
    // From the last bars, the view scrolls down to the bar sounding.
    await page.evaluate(() => {
      const { view } = window.playground.page;
      view.dispatch({ selection: { anchor: view.state.doc.line(view.state.doc.lines - 3).from } });
      document.querySelector('#notation-pane').scrollTop = 0;
    });
    await page.click('#play');
    await page.waitForFunction(() => document.querySelector('#notation .playing-note'), { timeout: 30000 });
    const seen = await page.evaluate(() => {
      const pane = document.querySelector('#notation-pane').getBoundingClientRect();
      const bar = document.querySelector('#notation .playing-bar').getBoundingClientRect();
      return { scrolled: document.querySelector('#notation-pane').scrollTop > 0,
        inView: bar.top >= pane.top - 1 && bar.bottom <= pane.bottom + 1 };
    });
    await page.click('#stop');
    assert.deepEqual(seen, { scrolled: true, inView: true });
  });

  test('the staff view keeps the last engraving, greyed, while the text does not compile', async () => {
    await openStaffView();
    const count = await page.evaluate(() => window.playground.page.engraves);
    await page.click('.cm-content');
    await page.keyboard.down('Control');
    await page.keyboard.press('End');
    await page.keyboard.up('Control');
    await compiled(() => page.keyboard.type('\nV1 K9'));
    assert.deepEqual(await page.evaluate(() => ({
      stale: document.querySelector('#notation-pane').hasAttribute('data-stale'),
      notes: document.querySelectorAll('#notation .note').length > 100,
    })), { stale: true, notes: true });
    await compiled(() => page.evaluate(() => {
      const { view } = window.playground.page;
      const end = view.state.doc.length;
      view.dispatch({ changes: { from: end - 6, to: end }, userEvent: 'delete' });
    }));
    await page.waitForFunction((n) => window.playground.page.engraves > n, { timeout: 60000 }, count);
    assert.equal(await page.$eval('#notation-pane', (e) => e.hasAttribute('data-stale')), false);
    await page.click('#notation-toggle');
  });

  test('a share link opens the page on its score, dialect and start part', async () => {
    const text = '/ shared \u00e9\nV1 YA Q 1 2 3 M\nP02 V1 H 5 M\n';
    const fragment = await page.evaluate((t) => window.playground.shareFragment(t, 2, '2', { notation: true }), text);
    assert.match(fragment, /^#z=[A-Za-z0-9_-]+&d=2&g=2&v=notation$/);
    await page.goto(`${address}${fragment}`);
    await page.reload();
    await page.waitForSelector('body[data-ready]', { timeout: 30000 });
    await page.waitForFunction(() => window.playground.page.compiles > 0 && !window.playground.page.pending);
    assert.deepEqual(await page.evaluate(() => ({
      text: window.playground.page.view.state.doc.toString(),
      dialect: document.querySelector('#dialect').value,
      part: document.querySelector('#start-part').value,
      notation: !document.querySelector('#notation-pane').hidden,
    })), { text, dialect: '2', part: '2', notation: true });
    assert.equal(await page.$eval('#crc', (e) => e.textContent), programCrc(Buffer.from(text, 'utf8'), { dialect: 2 }));
    await page.goto(address);
    await page.waitForSelector('body[data-ready]', { timeout: 30000 });
  });

  // Where the cursor stands, and how many seconds of the worklet's output to
  // compare with the program's WAVE file.
  const plays = [['the start', 'greensleeves', 0, 3], ['a bar in the middle', 'greensleeves', 20, 1],
    ['a bar of the last part', 'minuet_in_g', -3, 1]];
  for (const [where, name, line, seconds] of plays) {
    test(`plays the program's frames from ${where} of ${name}`, async () => {
      await compiled(() => page.select('#example', name));
      const wave = runProgram(exampleBytes(name), { write: true, name }).wave;
      const program = new Int16Array(wave.buffer.slice(wave.byteOffset + 46, wave.byteOffset + wave.length));
      // The page runs its audio at the rate the program writes.
      assert.equal(await page.evaluate(() => window.playground.page.audio.context.sampleRate), wave.readUInt32LE(24));
      await page.evaluate(async (l, frames) => {
        const { view } = window.playground.page;
        const number = l > 0 ? l : view.state.doc.lines + l;
        view.dispatch({ selection: { anchor: view.state.doc.line(number).from } });
        await window.playground.play({ captureFrames: frames });
      }, line, seconds * 44100);
      await page.waitForFunction(() => window.playground.page.captured, { timeout: 30000 });
      const { captured, started } = await page.evaluate(() => ({
        captured: Array.from(window.playground.page.captured), started: window.playground.page.started,
      }));
      await page.evaluate(() => window.playground.stop());
      assert.equal(captured.length, 2 * seconds * 44100);
      if (line === 0) assert.equal(started.barStartFrame, 0);
      else assert.ok(started.barStartFrame > 0 && started.bar > 1);
      const first = 2 * started.barStartFrame;
      assert.deepEqual(captured, Array.from(program.subarray(first, first + captured.length)));
    });
  }

  test("shows the program's CRC for the 21-minute bench score", async () => {
    const text = fs.readFileSync(path.join(root, 'bench', 'long_score.qvl'), 'latin1');
    await compiled((t) => page.evaluate((s) => window.playground.setText(s), t), text);
    assert.equal(await page.$eval('#crc', (e) => e.textContent),
      programCrc(fs.readFileSync(path.join(root, 'bench', 'long_score.qvl'))));
  });
});
