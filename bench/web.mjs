// The playground's speed beside the program's, measured in one run on one
// score: the native `quarvelcd -c`, the WebAssembly module in Node, and the
// page in Chromium (the rendering behind its CRC). Prints ratios; asserts
// nothing.   node bench/web.mjs [quarvelcd] [score]
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const dist = path.join(root, 'web', 'dist');
const program = path.resolve(process.argv[2] || path.join(root, 'build', 'release', 'quarvelcd'));
const scorePath = path.resolve(process.argv[3] || path.join(root, 'bench', 'long_score.qvl'));
const RUNS = 3;

function best(times) { return Math.min(...times); }

// Native: the whole rendering with its CRC, as -c does.
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-bench-web-'));
fs.copyFileSync(scorePath, path.join(scratch, 'score.qvl'));
const nativeTimes = [];
for (let run = 0; run < RUNS; ++run) {
  const t0 = process.hrtime.bigint();
  const done = spawnSync(program, ['-c', 'score'], { cwd: scratch, encoding: 'utf8' });
  nativeTimes.push(Number(process.hrtime.bigint() - t0) / 1e6);
  if (done.status !== 0) throw new Error(`quarvelcd -c failed: ${done.stdout}${done.stderr}`);
}
fs.rmSync(scratch, { recursive: true, force: true });

// The module in Node: compile and checksum, as the page does.
const { default: createQuarvel } = await import(pathToFileURL(path.join(dist, 'quarvel.mjs')));
const quarvel = await createQuarvel();
const text = fs.readFileSync(scorePath, 'latin1');
let frames = 0;
const moduleTimes = [];
for (let run = 0; run < RUNS; ++run) {
  const t0 = performance.now();
  const compiled = quarvel.compile(text);
  ({ frames } = quarvel.checksum(compiled.score));
  moduleTimes.push(performance.now() - t0);
  compiled.score.free();
}

// The page in Chromium: the time it reports for the rendering behind #crc.
const require = createRequire(path.join(root, 'web', 'package.json'));
const { default: puppeteer } = await import(pathToFileURL(require.resolve('puppeteer-core')));
const server = http.createServer((request, response) => {
  const name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
  const file = path.join(dist, name.endsWith('/') ? `${name}index.html` : name);
  if (!file.startsWith(dist) || !fs.existsSync(file)) { response.writeHead(404).end(); return; }
  const type = { '.html': 'text/html', '.css': 'text/css' }[path.extname(file)] || 'text/javascript';
  response.writeHead(200, { 'Content-Type': type }).end(fs.readFileSync(file));
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-chromium-')),
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run'],
});
const pageTimes = [];
let readyMs = 0;
try {
  const page = await browser.newPage();
  await page.goto(`http://localhost:${server.address().port}/`);
  await page.waitForSelector('body[data-ready]', { timeout: 60000 });
  readyMs = await page.evaluate(() => window.playground.page.readyAt);
  for (let run = 0; run < RUNS; ++run) {
    const before = await page.evaluate(() => window.playground.page.compiles);
    await page.evaluate((s) => window.playground.setText(s), text);
    await page.waitForFunction((n) => window.playground.page.compiles > n, { timeout: 120000 }, before);
    pageTimes.push(await page.evaluate(() => window.playground.page.lastRender.ms));
  }
} finally {
  await browser.close();
  server.close();
}

const seconds = frames / quarvel.sampleRate;
const native = best(nativeTimes);
const row = (name, ms) => console.log(`${name.padEnd(34)} ${(seconds / (ms / 1000)).toFixed(0).padStart(8)}x real time`
  + `  ${(native / ms).toFixed(2)} of the program`);
console.log(`web, ${path.basename(scorePath)} (${(seconds / 60).toFixed(1)} min), best of ${RUNS}:`);
row('quarvelcd -c (compile, render, CRC)', native);
row('module in Node (compile, render, CRC)', best(moduleTimes));
row('page in Chromium (render, CRC)', best(pageTimes));
console.log(`page ready to play ${readyMs.toFixed(0)} ms after it was asked for`);
