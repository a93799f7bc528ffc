// The page in a real browser (Debian's chromium, driven by puppeteer-core):
// the examples' CRCs, a compile error's marker, the frames the AudioWorklet
// plays. How fast the page renders and gets ready is bench/web's to measure.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import {
  assertProgramBuilt, dist, exampleBytes, examples, programCrc, programError, root, runProgram,
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
async function compiled(fn, ...args) {
  const before_ = await page.evaluate(() => window.playground.page.compiles);
  await fn(...args);
  await page.waitForFunction((n) => window.playground.page.compiles > n, { timeout: 20000 }, before_);
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
  page.on('pageerror', (error) => { console.error(`page error: ${error.message}`); });
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
      assert.ok(run.stdout.trim().endsWith(` ${await page.$eval('#playing-time', (e) => e.textContent)}`));
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
    assert.equal(await page.$eval('#play', (b) => b.disabled), true);
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
    }
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

  test('a share link opens the page on its score, dialect and start part', async () => {
    const text = '/ shared \u00e9\nV1 YA Q 1 2 3 M\nP02 V1 H 5 M\n';
    const fragment = await page.evaluate((t) => window.playground.shareFragment(t, 2, '2'), text);
    assert.match(fragment, /^#z=[A-Za-z0-9_-]+&d=2&g=2$/);
    await page.goto(`${address}${fragment}`);
    await page.reload();
    await page.waitForSelector('body[data-ready]', { timeout: 30000 });
    await page.waitForFunction(() => window.playground.page.compiles > 0 && !window.playground.page.pending);
    assert.deepEqual(await page.evaluate(() => ({
      text: window.playground.page.view.state.doc.toString(),
      dialect: document.querySelector('#dialect').value,
      part: document.querySelector('#start-part').value,
    })), { text, dialect: '2', part: '2' });
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
