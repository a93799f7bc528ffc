// Shared by the web tests: the built program, the examples, and running the
// program on a score text in a scratch folder.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const dist = path.join(root, 'web', 'dist');
export const quarvelcd = path.resolve(process.env.QUARVELCD || path.join(root, 'build', 'dev', 'quarvelcd'));
export const examples = fs.readdirSync(path.join(root, 'examples'))
  .filter((name) => name.endsWith('.qvl')).map((name) => name.slice(0, -4)).sort();
export const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'quarvel-web-'));
process.on('exit', () => fs.rmSync(scratch, { recursive: true, force: true }));

export function exampleBytes(name) {
  return fs.readFileSync(path.join(root, 'examples', `${name}.qvl`));
}

const DIALECT_SWITCH = ['', '-o', '-p'];

// Runs quarvelcd with switches on a score; answers its output streams.
export function runProgram(bytes, { dialect = 0, write = false, name = 'score' } = {}) {
  const file = path.join(scratch, `${name}.qvl`);
  fs.writeFileSync(file, bytes);
  const args = [];
  if (DIALECT_SWITCH[dialect]) args.push(DIALECT_SWITCH[dialect]);
  args.push(write ? '-w' : '-c', file);
  const run = spawnSync(quarvelcd, args, { cwd: scratch, encoding: 'utf8' });
  const result = { status: run.status, stdout: run.stdout, stderr: run.stderr };
  if (write && run.status === 0) result.wave = fs.readFileSync(path.join(scratch, `${name}.wav`));
  return result;
}

// The file `quarvelcd --export NAME.EXT` writes for a score.
export function programExport(bytes, extension) {
  const file = path.join(scratch, 'export.qvl');
  const out = path.join(scratch, `export.${extension}`);
  fs.writeFileSync(file, bytes);
  fs.rmSync(out, { force: true });
  const run = spawnSync(quarvelcd, [`--export=${out}`, file], { cwd: scratch, encoding: 'utf8' });
  if (run.status !== 0) throw new Error(`quarvelcd --export failed: ${run.stdout}${run.stderr}`);
  return fs.readFileSync(out);
}

// The CRC `quarvelcd -c` prints for a score.
export function programCrc(bytes, options = {}) {
  const run = runProgram(bytes, options);
  if (run.status !== 0) throw new Error(`quarvelcd failed: ${run.stdout}${run.stderr}`);
  return run.stdout.split(' ')[0];
}

// The compile error as the program reports it: the number, line and column of
// the play-mode line "error:%d near line:%d col:%d" (the numbers every front
// end gives), and the message of its diagnostic on standard error. Playing
// needs a terminal for its prompt: `script` gives it one, and a key ends it.
export function programError(bytes, { dialect = 0 } = {}) {
  const run = runProgram(bytes, { dialect });
  const found = /: error (\d+): (.*)/.exec(run.stderr);
  if (run.status !== 3 || !found) throw new Error(`no compile error from quarvelcd: ${run.stderr}`);
  const file = path.join(scratch, 'score.qvl');
  const command = [quarvelcd, DIALECT_SWITCH[dialect], file].filter(Boolean)
    .map((word) => `'${word.replace(/'/g, "'\\''")}'`).join(' ');
  const play = spawnSync('script', ['-qec', command, '/dev/null'],
    { cwd: scratch, encoding: 'utf8', input: 'x', env: { ...process.env, QUARVEL_DEVICE: 'quarvel_none' } });
  const line = /error:(\d+) near line:(-?\d+) col:(-?\d+)/.exec(play.stdout);
  if (!line) throw new Error(`no play-mode error line from quarvelcd: ${play.stdout}`);
  return { number: Number(line[1]), line: Number(line[2]), column: Number(line[3]), message: found[2] };
}

export function assertProgramBuilt() {
  if (!fs.existsSync(quarvelcd)) throw new Error(`no program at ${quarvelcd}: set QUARVELCD`);
}
