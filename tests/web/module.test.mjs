// The WebAssembly module in Node against the program: the same renderings,
// files (WAVE and MusicXML), CRCs and compile errors; bad calls and memory
// exhaustion fail cleanly.
import assert from 'node:assert/strict';
import path from 'node:path';
import { before, describe, test } from 'node:test';
import {
  assertProgramBuilt, dist, exampleBytes, examples, programCrc, programError, programExport, runProgram,
} from './support.mjs';

const {
  default: createQuarvel, crcHex, noteName, offsetOf, pointOf,
} = await import(path.join(dist, 'quarvel.mjs'));

let quarvel;
before(async () => {
  assertProgramBuilt();
  quarvel = await createQuarvel();
});

describe('examples render as the program renders them', () => {
  for (const name of examples) {
    for (const dialect of [0, 1, 2]) {
      test(`${name} in dialect ${dialect}`, () => {
        const bytes = exampleBytes(name);
        const { score, error } = quarvel.compile(bytes, { dialect });
        assert.equal(error, null);
        const { crc, frames } = quarvel.checksum(score);
        assert.equal(crcHex(crc), programCrc(bytes, { dialect }));
        assert.equal(frames, score.totalFrames());
        score.free();
      });
    }
    test(`${name}: the WAVE file is the one -w writes`, () => {
      const bytes = exampleBytes(name);
      const run = runProgram(bytes, { write: true, name });
      const samples = quarvel.renderAll(bytes);
      assert.ok(Buffer.from(quarvel.waveFile(samples)).equals(run.wave), 'WAVE bytes differ');
      assert.ok(run.stdout.trim().endsWith(`/${name}.wav ${quarvel.formatPlayingTime(samples.length / 2)}`),
        run.stdout);
      assert.equal(crcHex(quarvel.crc32(new Uint8Array(samples.buffer))), programCrc(bytes));
    });
    test(`${name}: the MusicXML is the one --export writes`, () => {
      const bytes = exampleBytes(name);
      const { score } = quarvel.compile(bytes);
      assert.ok(Buffer.from(score.musicxmlBytes()).equals(programExport(bytes, 'musicxml')), 'MusicXML bytes differ');
      assert.equal(score.musicxml(), programExport(bytes, 'musicxml').toString('utf8'));
      score.free();
    });
  }
});

describe('compile errors carry the program\'s number, line and column', () => {
  const cases = [
    ['key signature out of range', 'V1 Q 1 2 K9\n'],
    ['bad note character', '=A4\nV1 Q 1 2 ? 3\n'],
    ['bad hexadecimal digit', 'V1 Q 1\n=G0\n'],
    ['duration too long', 'V1 W... 1\n'],
    ['part number used twice', 'P01 V1 Q1 M\nP01 V1 Q2 M\n'],
    ['replay of a missing part', 'P01 V1 Q1 M R07\n'],
    ['a multi-byte character', '/ caf\u00e9\nV1 Q 1 2 \u00e9 3\n'],
    ['CR LF line ends', 'V1 Q 1\r\nV1 Q 2\r\nV1 Q K8\r\n'],
    ['LF CR counted as one line end', 'V1 Q 1\n\rV1 Q 2\n\rY9\n'],
  ];
  for (const [title, text] of cases) {
    test(title, () => {
      const bytes = Buffer.from(text, 'utf8');
      const expected = programError(bytes);
      const { score, error } = quarvel.compile(text);
      assert.equal(score, null);
      assert.deepEqual({ number: error.number, line: error.line, column: error.column },
        { number: expected.number, line: expected.line, column: expected.column });
      assert.equal(error.message, expected.message);
      assert.throws(() => quarvel.renderAll(text), (thrown) => thrown instanceof Error
        && thrown.number === expected.number && thrown.line === expected.line && thrown.column === expected.column);
      // The editor's offset names the character the program stopped behind
      // (for a multi-byte one, the byte that stopped it belongs to it).
      const offset = offsetOf(text, error.line, error.column);
      const lineStart = offsetOf(text, error.line, 0);
      const columnBytes = Buffer.byteLength(text.slice(lineStart, offset), 'utf8');
      assert.ok(columnBytes <= error.column - 1 && error.column - 1 < columnBytes
        + Buffer.byteLength(String.fromCodePoint(text.codePointAt(offset)), 'utf8'));
      assert.deepEqual(pointOf(text, offset).line, error.line);
    });
  }
});

describe('players', () => {
  test('a player sought to a bar renders what the whole rendering has from there', () => {
    const bytes = exampleBytes('greensleeves');
    const all = quarvel.renderAll(bytes);
    const { score } = quarvel.compile(bytes);
    for (const bar of [1, 2, Math.floor(score.bars / 2), score.bars]) {
      const player = quarvel.createPlayer(score, { bar });
      const { barStartFrame, bar: at } = player.position();
      assert.equal(at, bar);
      const out = new Int16Array(2 * 5000);
      const n = player.render(out);
      assert.deepEqual(out.subarray(0, 2 * n), all.subarray(2 * barStartFrame, 2 * (barStartFrame + n)));
      player.free();
    }
    score.free();
  });

  test('a start part that no part has renders nothing', () => {
    assert.equal(quarvel.renderAll(exampleBytes('greensleeves'), { startPart: 0x7F }).length, 0);
    assert.ok(quarvel.renderAll(exampleBytes('greensleeves'), { startPart: 2 }).length > 0);
  });

  test('float frames are the samples over 32768, silence after the end', () => {
    const bytes = exampleBytes('fur_elise');
    const all = quarvel.renderAll(bytes);
    const { score } = quarvel.compile(bytes);
    const player = quarvel.createPlayer(score);
    const total = all.length / 2;
    player.seekFrame(total - 100);
    const left = new Float32Array(128).fill(1);
    const right = new Float32Array(128).fill(1);
    assert.equal(player.renderFloat(left, right), 100);
    for (let i = 0; i < 100; ++i) {
      assert.equal(left[i] * 32768, all[2 * (total - 100 + i)]);
      assert.equal(right[i] * 32768, all[2 * (total - 100 + i) + 1]);
    }
    assert.ok(left.subarray(100).every((v) => v === 0) && right.subarray(100).every((v) => v === 0));
    player.free();
    score.free();
  });

  test('float frames fill the whole request, across the engine\'s chunks', () => {
    const bytes = exampleBytes('greensleeves');
    const all = quarvel.renderAll(bytes);
    const { score } = quarvel.compile(bytes);
    for (const [from, frames] of [[0, 8192], [44100, 20000], [all.length / 2 - 5000, 9000]]) {
      const player = quarvel.createPlayer(score);
      player.seekFrame(from);
      const left = new Float32Array(frames).fill(1);
      const right = new Float32Array(frames + 3).fill(1);
      const got = player.renderFloat(left, right);
      assert.equal(got, Math.min(frames, all.length / 2 - from));
      for (let i = 0; i < got; ++i) {
        if (left[i] * 32768 !== all[2 * (from + i)] || right[i] * 32768 !== all[2 * (from + i) + 1]) {
          assert.fail(`frame ${from + i} differs`);
        }
      }
      assert.ok(left.subarray(got).every((v) => v === 0) && right.subarray(got, frames).every((v) => v === 0));
      player.free();
    }
    score.free();
  });

  test('notes lie inside the rendering and point at their text', () => {
    const bytes = exampleBytes('minuet_in_g');
    const text = bytes.toString('latin1');
    const { score } = quarvel.compile(bytes);
    const total = score.totalFrames();
    const notes = score.notes();
    assert.ok(notes.length > 0);
    for (const note of notes) {
      assert.ok(note.voice >= 1 && note.voice <= 5 && note.bar >= 1 && note.bar <= score.bars);
      assert.ok(note.startFrame + note.frames <= total);
      if (note.line > 0) assert.match(text[offsetOf(text, note.line, note.column)], /[-+0-9A-G$_*@]/i);
    }
    score.free();
  });
});

test('warnings carry whether the program prints them by default, as --check does', () => {
  // repeated-note is on by default, tie-across-bar only on request.
  const text = 'Q 5 5 H 7 M 7 M\n';
  const { score } = quarvel.compile(text);
  const shown = score.warnings.filter((w) => w.onByDefault).map((w) => w.name);
  assert.deepEqual(score.warnings.map((w) => w.name).sort(), ['repeated-note', 'tie-across-bar']);
  assert.deepEqual(shown, ['repeated-note']);
  const printed = [...runProgram(text).stderr.matchAll(/\[([a-z-]+)\]$/gm)].map((m) => m[1]);
  assert.deepEqual(printed, shown);
  score.free();
});

test('playing time: seconds that round to 60 carry into the minute', () => {
  const rows = [[0, '0:0.00', '0:00.00'], [44100 * 65.25, '1:5.25', '1:05.25'], [44100 * 60 - 1, '1:0.00', '1:00.00'],
    [44100 * 59.994, '0:59.99', '0:59.99'], [44100 * 4.77, '0:4.77', '0:04.77'], [44100 * 600, '10:0.00', '10:00.00']];
  for (const [frames, program, clock] of rows) {
    assert.equal(quarvel.formatPlayingTime(frames), program);
    assert.equal(quarvel.formatClock(frames), clock);
  }
});

describe('the WAVE head comes from the program\'s writer', () => {
  test('the rate and the head are those of the program\'s WAVE file', () => {
    const bytes = exampleBytes('minuet_in_g');
    const run = runProgram(bytes, { write: true, name: 'minuet_in_g' });
    const frames = (run.wave.length - 46) / 4;
    assert.equal(quarvel.sampleRate, run.wave.readUInt32LE(24));
    assert.equal(quarvel.waveHeadBytes, 46);
    assert.ok(Buffer.from(quarvel.waveHead(frames)).equals(run.wave.subarray(0, 46)));
  });

  // The RIFF size counts the 38 bytes of the head after it and the samples:
  // 4 GiB less 1 holds (2^32 - 1 - 38) / 4 whole frames.
  const last = Math.floor((2 ** 32 - 1 - 38) / 4);
  const rows = [
    [0, 38, 0],
    [1, 42, 4],
    [last, 38 + 4 * last, 4 * last],
    [last + 1, RangeError],
    [2 ** 40, RangeError],
    [-1, RangeError],
    [2.5, RangeError],
    [Number.NaN, RangeError],
    ['1', TypeError],
  ];
  for (const [frames, riff, data] of rows) {
    test(`a head for ${frames} frames`, () => {
      if (typeof riff === 'function') {
        assert.throws(() => quarvel.waveHead(frames), riff);
        return;
      }
      const head = Buffer.from(quarvel.waveHead(frames));
      assert.deepEqual([head.length, head.readUInt32LE(4), head.readUInt32LE(42)], [46, riff, data]);
    });
  }

  test('a rendering too long is refused in the program\'s words', () => {
    // 1024 whole notes of 1.3 M frames each: past the 4 GiB of RIFF sizes.
    const text = `=FF NT (W${' 1'.repeat(64)} M )F`;
    const run = runProgram(text, { write: true, name: 'huge' });
    assert.equal(run.status, 4, run.stderr);
    const { score } = quarvel.compile(text);
    const frames = score.totalFrames();
    score.free();
    assert.throws(() => quarvel.waveHead(frames), (e) => e instanceof RangeError
      && run.stderr.includes(`huge.wav: ${e.message}\n`));
  });

  test('an odd number of samples is no rendering', () => {
    assert.throws(() => quarvel.waveFile(new Int16Array(7)), RangeError);
  });
});

test('note names: the C of degree 0 is middle C', () => {
  const rows = [[37, 'C4'], [49, 'C5'], [1, 'C1'], [46, 'A4'], [71, 'A#6'], [36, 'B3'], [38, 'C#4']];
  for (const [note, name] of rows) assert.equal(noteName(note), name);
});

describe('bad calls fail cleanly', () => {
  const text = 'V1 Q 1 2 3 4 M\n';
  const fresh = () => {
    const { score } = quarvel.compile(text);
    return { score, player: quarvel.createPlayer(score) };
  };
  // Every call on a freed score or player throws; freeing again does not.
  const freedCalls = {
    score: [(s) => s.totalFrames(), (s) => s.bar(1), (s) => s.barAt(1, 1), (s) => s.notes(), (s) => s.musicxml(),
      (s) => quarvel.createPlayer(s), (s) => quarvel.checksum(s)],
    player: [(p) => p.render(new Int16Array(8)), (p) => p.renderFloat(new Float32Array(4), new Float32Array(4)),
      (p) => p.seekBar(1), (p) => p.seekPart(0), (p) => p.seekFrame(0), (p) => p.position()],
  };
  for (const [kind, calls] of Object.entries(freedCalls)) {
    calls.forEach((call, i) => {
      test(`a freed ${kind} throws (call ${i + 1}: ${call.toString().replace(/^\(\w\) => /, '')})`, () => {
        const { score, player } = fresh();
        const target = kind === 'score' ? score : player;
        target.free();
        assert.throws(() => call(target), /has been freed/);
        target.free();
        if (kind === 'score') player.free(); else score.free();
      });
    });
  }

  const rows = [
    ['an unknown dialect name', () => quarvel.compile(text, { dialect: 'lute' }), RangeError],
    ['a dialect number out of range', () => quarvel.compile(text, { dialect: 3 }), RangeError],
    ['a fractional dialect', () => quarvel.compile(text, { dialect: 1.5 }), RangeError],
    ['a dialect of another type', () => quarvel.compile(text, { dialect: true }), TypeError],
    ['a dialect name from the prototype', () => quarvel.compile(text, { dialect: 'toString' }), RangeError],
    ['a text that is a number', () => quarvel.compile(42), TypeError],
    ['a text that is an array', () => quarvel.compile([86, 49]), TypeError],
    ['a start part past 255', (s) => quarvel.createPlayer(s, { startPart: 256 }), RangeError],
    ['a negative start part', (s) => s.totalFrames(-1), RangeError],
    ['a start part for MusicXML past 255', (s) => s.musicxml(300), RangeError],
    ['a fractional bar', (s, p) => p.seekBar(1.5), RangeError],
    ['a fractional frame', (s, p) => p.seekFrame(10.5), RangeError],
    ['a frame of 2^64', (s, p) => p.seekFrame(2 ** 64), RangeError],
    ['a BigInt frame of 2^64', (s, p) => p.seekFrame(2n ** 64n), RangeError],
    ['a negative frame', (s, p) => p.seekFrame(-1), RangeError],
    ['a frame that is a string', (s, p) => p.seekFrame('10'), TypeError],
    ['a right channel shorter than the left', (s, p) => p.renderFloat(new Float32Array(128), new Float32Array(64)),
      RangeError],
    ['channels that are not Float32Arrays', (s, p) => p.renderFloat([0, 0], [0, 0]), TypeError],
    ['an odd number of samples', (s, p) => p.render(new Int16Array(7)), RangeError],
    ['a line that is not a number', (s) => s.barAt('1', 1), TypeError],
    ['a score of another kind', () => quarvel.createPlayer({ handle: 8 }), TypeError],
  ];
  for (const [title, call, kind] of rows) {
    test(title, () => {
      const { score, player } = fresh();
      assert.throws(() => call(score, player), kind);
      player.free();
      score.free();
    });
  }

  test('a BigInt frame past the end is clamped there, as the library does', () => {
    const { score, player } = fresh();
    assert.equal(player.seekFrame(2n ** 64n - 1n), true);
    assert.equal(player.position().frame, score.totalFrames());
    player.free();
    score.free();
  });

  test('with the memory used up, every call that needs some fails with an Error and nothing is harmed', () => {
    const bytes = exampleBytes('fur_elise');
    const { score } = quarvel.compile(bytes);
    const expected = quarvel.checksum(score);
    const core = quarvel.core;
    const hog = [];
    for (let size = 256 << 20; size >= 8;) {
      const pointer = core._malloc(size);
      if (pointer === 0) size >>= 1; else hog.push(pointer);
    }
    try {
      const calls = [() => quarvel.compile(bytes), () => quarvel.createPlayer(score), () => quarvel.checksum(score),
        () => score.musicxmlBytes(), () => score.notes(),
        () => quarvel.crc32(new Uint8Array(64)), () => quarvel.renderAll(bytes)];
      for (const call of calls) assert.throws(call, (e) => e instanceof Error && /out of memory/.test(e.message));
    } finally {
      for (const pointer of hog) core._free(pointer);
    }
    assert.match(quarvel.version, /^\d+\.\d+\.\d+$/);
    assert.deepEqual(quarvel.checksum(score), expected);
    score.free();
    const again = quarvel.compile(bytes).score;
    assert.equal(crcHex(quarvel.checksum(again).crc), programCrc(bytes));
    again.free();
  });
});
