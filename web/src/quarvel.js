// The quarvel engine for JavaScript: the C API compiled to WebAssembly, made
// into scores, players and renderings. The same module runs in a page, in an
// AudioWorklet and in Node; it needs nothing from its host but WebAssembly.
import createQuarvelCore from '../.build/quarvel_core.mjs';

export const DIALECTS = { combined: 0, quarvel: 1, lutera: 2 };

// Sizes and field offsets of the C structures on wasm32.
// The C records' sizes; checksum.cpp checks them and every offset read below
// against quarvel.h when the module is built.
const DIAGNOSTIC_BYTES = 12 + 256;
const BAR_BYTES = 24;
const POSITION_BYTES = 32;
const NOTE_BYTES = 56;
const CHUNK_FRAMES = 16384;
// QUARVEL_NOTES_ENOMEM, (size_t)-1 on wasm32: checksum.cpp checks it too.
const NOTES_ENOMEM = 0xFFFFFFFF;

// The text as the compiler reads it: bytes. JavaScript strings go in as UTF-8.
const encoder = new TextEncoderLite();

// --- Arguments, checked as the C API checks them: what it would refuse or
// wrap is refused here, never guessed at.

function dialectNumber(dialect) {
  if (dialect === undefined || dialect === null) return 0;
  if (typeof dialect === 'number') {
    if (Number.isInteger(dialect) && dialect >= 0 && dialect <= 2) return dialect;
    throw new RangeError(`unknown dialect ${dialect}: 0, 1 or 2`);
  }
  if (typeof dialect !== 'string') throw new TypeError('the dialect is a name or a number');
  if (Object.hasOwn(DIALECTS, dialect)) return DIALECTS[dialect];
  throw new RangeError(`unknown dialect "${dialect}": combined, quarvel or lutera`);
}

function integer(value, what, low, high) {
  if (typeof value !== 'number') throw new TypeError(`${what} is a number`);
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new RangeError(`${what} ${value} is not a whole number from ${low} to ${high}`);
  }
  return value;
}

const INT_MAX = 0x7FFFFFFF;
const partNumber = (value) => integer(value, 'the part', 0, 255);

function scoreBytes(text) {
  if (typeof text === 'string') return encoder.encode(text);
  if (text instanceof Uint8Array) return text;
  throw new TypeError('the score text is a string or a Uint8Array of its bytes');
}

function frameNumber(frame) {
  if (typeof frame === 'bigint') {
    if (frame < 0n || frame >= 1n << 64n) throw new RangeError(`frame ${frame} is outside 0 to 2^64-1`);
    return frame;
  }
  if (typeof frame !== 'number') throw new TypeError('the frame is a number or a BigInt');
  if (!Number.isSafeInteger(frame) || frame < 0) {
    throw new RangeError(`frame ${frame} is not a whole number from 0 to 2^53-1 (a BigInt goes further)`);
  }
  return BigInt(frame);
}

export default async function createQuarvel() {
  const core = await createQuarvelCore();
  return new Quarvel(core);
}

class Quarvel {
  constructor(core) {
    this.core = core;
    // The sound's numbers, from the engine: frames a second, and the length
    // of the WAVE head the program writes.
    this.sampleRate = core._quarvel_web_sample_rate();
    this.waveHeadBytes = core._quarvel_web_wave_head(0, 0, 0);
    this.diagnostic = this.alloc(DIAGNOSTIC_BYTES);
    this.namePointer = this.alloc(4);
    this.scratch = this.alloc(Math.max(BAR_BYTES, POSITION_BYTES, 8, this.waveHeadBytes));
    this.version = this.string(core._quarvel_version());
  }

  // Memory from the WebAssembly heap, or an Error when there is none: a
  // failed allocation answers 0, and nothing may ever be written there.
  alloc(bytes, what = 'this call') {
    const pointer = this.core._malloc(Math.max(bytes, 1));
    if (pointer === 0) throw new Error(`out of memory: ${bytes} bytes for ${what}`);
    return pointer;
  }

  // Live views: the memory may grow and leave old views detached.
  get u8() { return this.core.HEAPU8; }
  get i32() { return this.core.HEAP32; }

  string(pointer, limit = 1 << 20) {
    const bytes = this.u8;
    let end = pointer;
    while (end < pointer + limit && bytes[end] !== 0) ++end;
    return utf8Decode(bytes.subarray(pointer, end));
  }

  readDiagnostic(pointer) {
    const i = pointer >> 2;
    return {
      number: this.i32[i],
      line: this.i32[i + 1],
      column: this.i32[i + 2],
      message: this.string(pointer + 12, 256),
    };
  }

  // Compiles a score text. Answers { score, error, warnings }: score is null
  // when error holds the compile error {number, line, column, message}.
  compile(text, { dialect = 0 } = {}) {
    const core = this.core;
    const bytes = scoreBytes(text);
    const number = dialectNumber(dialect);
    const pointer = this.alloc(bytes.length, 'the score text');
    this.u8.set(bytes, pointer);
    let handle = 0;
    try {
      handle = core._quarvel_compile(pointer, bytes.length, number, this.diagnostic);
    } catch (thrown) {
      // What the library could not catch itself, short of memory as it is
      // when even its exception cannot be made, comes out as a bare value.
      if (thrown instanceof Error) throw thrown;
      throw new Error('out of memory: the compiler failed inside the engine');
    } finally {
      core._free(pointer);
    }
    if (handle === 0) {
      const error = this.readDiagnostic(this.diagnostic);
      // Short of memory is no fault of the text: the caller hears it as one.
      if (error.number === 100) throw new Error(`out of memory: ${error.message}`);
      return { score: null, error, warnings: [] };
    }
    const score = new Score(this, handle);
    return { score, error: null, warnings: score.warnings };
  }

  createPlayer(score, { startPart = 0, bar = 0 } = {}) {
    if (!(score instanceof Score) || score.quarvel !== this) throw new TypeError('not a score of this engine');
    return new Player(this, score, partNumber(startPart), integer(bar, 'the bar', 0, INT_MAX));
  }

  // The whole rendering from a start part, as interleaved stereo samples.
  renderAll(text, { dialect = 0, startPart = 0 } = {}) {
    const { score, error } = this.compile(text, { dialect });
    if (!score) throw compileFailure(error);
    try {
      const total = score.totalFrames(startPart);
      const out = new Int16Array(2 * total);
      const player = this.createPlayer(score, { startPart });
      try {
        let done = 0;
        while (done < total) {
          const n = player.render(out.subarray(2 * done, 2 * Math.min(total, done + CHUNK_FRAMES)));
          if (n === 0) break;
          done += n;
        }
        return done === total ? out : out.slice(0, 2 * done);
      } finally {
        player.free();
      }
    } finally {
      score.free();
    }
  }

  // The CRC-32 of the rendering of a score from a start part (as -c prints it)
  // and its length in frames, worked out inside the WebAssembly.
  checksum(score, { startPart = 0 } = {}) {
    if (!(score instanceof Score) || score.quarvel !== this) throw new TypeError('not a score of this engine');
    const core = this.core;
    const player = core._quarvel_player_new(score.live(), partNumber(startPart));
    if (player === 0) throw new Error('out of memory: no room for a player');
    let buffer = 0;
    try {
      buffer = this.alloc(4 * CHUNK_FRAMES, 'the rendering');
      const crc = core._quarvel_web_render_crc(player, buffer, CHUNK_FRAMES, this.scratch) >>> 0;
      const frames = core.HEAPF64[this.scratch >> 3];
      return { crc, frames };
    } finally {
      if (buffer) core._free(buffer);
      core._quarvel_player_free(player);
    }
  }

  // CRC-32 of bytes held in JavaScript, continuing from `crc`; the program
  // starts from 0xFFFFFFFF.
  crc32(bytes, crc = 0xFFFFFFFF) {
    if (!(bytes instanceof Uint8Array)) throw new TypeError('the bytes are a Uint8Array');
    integer(crc, 'the CRC', 0, 0xFFFFFFFF);
    const core = this.core;
    const pointer = this.alloc(bytes.length, 'the bytes to sum');
    this.u8.set(bytes, pointer);
    const result = core._quarvel_web_crc32(crc, pointer, bytes.length) >>> 0;
    core._free(pointer);
    return result;
  }

  // The head `quarvelcd -w` writes in front of a rendering of `frames` frames.
  waveHead(frames) {
    integer(frames, 'the frames', 0, Number.MAX_SAFE_INTEGER);
    const length = this.core._quarvel_web_wave_head(frames, this.scratch, this.waveHeadBytes);
    if (length === 0) throw new RangeError(`${frames} frames are more than the 4 GiB a WAVE file can hold`);
    return this.u8.slice(this.scratch, this.scratch + length);
  }

  // The WAVE file of a rendering (interleaved stereo samples): the head and
  // the samples little-endian, the bytes -w writes.
  waveFile(samples) {
    if (samples.length % 2 !== 0) throw new RangeError('interleaved stereo needs an even number of samples');
    const head = this.waveHead(samples.length / 2);
    const file = new Uint8Array(head.length + 2 * samples.length);
    file.set(head, 0);
    const view = new DataView(file.buffer, head.length);
    for (let i = 0; i < samples.length; ++i) view.setInt16(2 * i, samples[i], true);
    return file;
  }

  // The playing time as the program prints it: minutes, then seconds with two
  // decimals ("3:5.25"); seconds that round up to 60 carry into the minutes.
  formatPlayingTime(frames) {
    const seconds = frames / this.sampleRate;
    let minutes = Math.floor(seconds / 60);
    let rest = (seconds - minutes * 60).toFixed(2);
    if (rest === '60.00') {
      minutes += 1;
      rest = '0.00';
    }
    return `${minutes}:${rest}`;
  }

  // A time as the page and the status line show it: two-digit seconds ("3:05.25").
  formatClock(frames) {
    const [minutes, seconds] = this.formatPlayingTime(frames).split(':');
    return `${minutes}:${seconds.padStart(5, '0')}`;
  }
}

function compileFailure(error) {
  const failure = new Error(`error ${error.number} near line ${error.line} col ${error.column}: ${error.message}`);
  failure.number = error.number;
  failure.line = error.line;
  failure.column = error.column;
  failure.diagnostic = error;
  return failure;
}

class Score {
  constructor(quarvel, handle) {
    this.quarvel = quarvel;
    this.handle = handle;
    this.holds = 1;
    const core = quarvel.core;
    this.bars = core._quarvel_score_bar_count(handle);
    this.warnings = [];
    const count = core._quarvel_score_warning_count(handle);
    for (let i = 0; i < count; ++i) {
      if (core._quarvel_score_warning(handle, i, quarvel.diagnostic, quarvel.namePointer) !== 0) continue;
      const warning = quarvel.readDiagnostic(quarvel.diagnostic);
      const name = quarvel.i32[quarvel.namePointer >> 2];
      warning.name = name ? quarvel.string(name) : '';
      // What quarvelcd prints without --warn: the page shows the same.
      warning.onByDefault = name !== 0 && core._quarvel_warning_on_by_default(name) === 1;
      this.warnings.push(warning);
    }
  }

  get alive() { return this.handle !== 0; }

  // The handle, or an Error once the score has been freed.
  live() {
    if (this.handle === 0) throw new Error('this score has been freed');
    return this.handle;
  }

  // Freeing twice is harmless; any other call afterwards throws.
  free() {
    if (this.handle !== 0) this.quarvel.core._quarvel_score_free(this.handle);
    this.handle = 0;
  }

  totalFrames(startPart = 0) {
    const handle = this.live();
    return Number(this.quarvel.core._quarvel_score_total_frames(handle, partNumber(startPart)));
  }

  bar(number) {
    const q = this.quarvel;
    const handle = this.live();
    if (q.core._quarvel_score_bar(handle, integer(number, 'the bar', -INT_MAX, INT_MAX), q.scratch) !== 0) return null;
    const i = q.scratch >> 2;
    const v = q.i32;
    return {
      number: v[i], firstLine: v[i + 1], firstColumn: v[i + 2],
      lastLine: v[i + 3], lastColumn: v[i + 4], ticks: v[i + 5] >>> 0,
    };
  }

  barAt(line, column) {
    const handle = this.live();
    return this.quarvel.core._quarvel_score_bar_at(handle, integer(line, 'the line', -INT_MAX, INT_MAX),
      integer(column, 'the column', -INT_MAX, INT_MAX));
  }

  // The score as MusicXML 4.0, the bytes the program's --export NAME.musicxml
  // writes, from a start part (0: the whole score); musicxml() as a string.
  musicxmlBytes(startPart = 0) {
    const core = this.quarvel.core;
    const handle = this.live();
    const part = partNumber(startPart);
    const length = core._quarvel_score_musicxml(handle, part, 0, 0);
    if (length === 0) throw new Error('out of memory: no room to write the MusicXML');
    const pointer = this.quarvel.alloc(length, 'the MusicXML');
    try {
      if (core._quarvel_score_musicxml(handle, part, pointer, length) !== length) {
        throw new Error('out of memory: no room to write the MusicXML');
      }
      return this.quarvel.u8.slice(pointer, pointer + length);
    } finally {
      core._free(pointer);
    }
  }

  musicxml(startPart = 0) {
    return utf8Decode(this.musicxmlBytes(startPart));
  }

  // Every note as it sounds from a start part, in the order they start.
  notes(startPart = 0) {
    const core = this.quarvel.core;
    const handle = this.live();
    const part = partNumber(startPart);
    const count = core._quarvel_score_notes(handle, part, 0, 0) >>> 0;
    if (count === NOTES_ENOMEM) throw new Error('out of memory: no room to list the notes');
    if (count === 0) return [];
    const pointer = this.quarvel.alloc(count * NOTE_BYTES, `${count} notes`);
    try {
      const all = core._quarvel_score_notes(handle, part, pointer, count) >>> 0;
      if (all === NOTES_ENOMEM) throw new Error('out of memory: no room to list the notes');
      const got = Math.min(count, all);
      const v = core.HEAP32;
      const w = core.HEAPU32;
      const notes = new Array(got);
      for (let n = 0; n < got; ++n) {
        const i = (pointer + n * NOTE_BYTES) >> 2;
        notes[n] = {
          voice: v[i], slot: v[i + 1], instrument: v[i + 2], note: v[i + 3], level: v[i + 4],
          startFrame: w[i + 6] + w[i + 7] * 4294967296,
          frames: w[i + 8] + w[i + 9] * 4294967296,
          bar: v[i + 10], line: v[i + 11], column: v[i + 12],
        };
      }
      return notes;
    } finally {
      core._free(pointer);
    }
  }
}

class Player {
  constructor(quarvel, score, startPart, bar) {
    this.quarvel = quarvel;
    const core = quarvel.core;
    const handle = core._quarvel_player_new(score.live(), startPart);
    if (handle === 0) throw new Error('out of memory: no room for a player');
    this.capacity = 4096;
    // Room for a chunk of interleaved floats, which also holds one of samples.
    this.buffer = core._malloc(8 * this.capacity);
    this.position_ = core._malloc(POSITION_BYTES);
    if (this.buffer === 0 || this.position_ === 0) {
      core._free(this.buffer);
      core._free(this.position_);
      core._quarvel_player_free(handle);
      throw new Error('out of memory: no room for a player\'s buffers');
    }
    this.handle = handle;
    if (bar > 0) this.seekBar(bar);
  }

  live() {
    if (this.handle === 0) throw new Error('this player has been freed');
    return this.handle;
  }

  // Fills `out` (interleaved stereo) with the next frames; answers how many
  // frames it wrote: fewer than asked only at the end, then 0.
  render(out) {
    const handle = this.live();
    if (!(out instanceof Int16Array)) throw new TypeError('render fills an Int16Array');
    if (out.length % 2 !== 0) throw new RangeError('interleaved stereo needs an even number of samples');
    const core = this.quarvel.core;
    const want = out.length >> 1;
    let done = 0;
    while (done < want) {
      const ask = Math.min(this.capacity, want - done);
      const got = core._quarvel_player_render(handle, this.buffer, ask);
      out.set(core.HEAP16.subarray(this.buffer >> 1, (this.buffer >> 1) + 2 * got), 2 * done);
      done += got;
      if (got < ask) break;
    }
    return done;
  }

  // The next frames as two channels of floats (sample / 32768, the library's
  // own float rendering), as Web Audio wants them: as many frames as `left`
  // holds; answers the frames written, the rest of the channels silent.
  renderFloat(left, right) {
    const handle = this.live();
    if (!(left instanceof Float32Array) || !(right instanceof Float32Array)) {
      throw new TypeError('renderFloat fills two Float32Arrays');
    }
    if (right.length < left.length) throw new RangeError('the right channel is shorter than the left');
    const core = this.quarvel.core;
    const want = left.length;
    let done = 0;
    while (done < want) {
      const ask = Math.min(this.capacity, want - done);
      const got = core._quarvel_player_render_float(handle, this.buffer, ask);
      const f = core.HEAPF32;
      const base = this.buffer >> 2;
      for (let i = 0; i < got; ++i) {
        left[done + i] = f[base + 2 * i];
        right[done + i] = f[base + 2 * i + 1];
      }
      done += got;
      if (got < ask) break;
    }
    left.fill(0, done);
    right.fill(0, done, left.length);
    return done;
  }

  seekBar(bar) {
    const handle = this.live();
    return this.quarvel.core._quarvel_player_seek_bar(handle, integer(bar, 'the bar', -INT_MAX, INT_MAX)) === 0;
  }

  seekPart(part) {
    const handle = this.live();
    return this.quarvel.core._quarvel_player_seek_part(handle, partNumber(part)) === 0;
  }

  seekFrame(frame) {
    const handle = this.live();
    return this.quarvel.core._quarvel_player_seek_frame(handle, frameNumber(frame)) === 0;
  }

  position() {
    const handle = this.live();
    const core = this.quarvel.core;
    core._quarvel_player_position(handle, this.position_);
    const w = core.HEAPU32;
    const i = this.position_ >> 2;
    return {
      frame: w[i] + w[i + 1] * 4294967296,
      totalFrames: w[i + 2] + w[i + 3] * 4294967296,
      part: core.HEAP32[i + 4],
      bar: core.HEAP32[i + 5],
      barStartFrame: w[i + 6] + w[i + 7] * 4294967296,
    };
  }

  free() {
    const core = this.quarvel.core;
    if (this.handle === 0) return;
    core._quarvel_player_free(this.handle);
    core._free(this.buffer);
    core._free(this.position_);
    this.handle = 0;
  }
}

// --- What the program prints and writes, for renderings held in JavaScript.

export function crcHex(crc) {
  return (crc >>> 0).toString(16).toUpperCase().padStart(8, '0');
}

const NOTE_NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];

// A semitone's name as notation programs spell it (1 to 71; 37, the C of
// degree 0, is middle C: C4).
export function noteName(note) {
  const key = note + 23;
  return `${NOTE_NAMES[key % 12]}${Math.floor(key / 12) - 1}`;
}

// --- Text positions: the compiler counts lines and byte columns; editors
// count UTF-16 code units.

// Line ends as the compiler reads them: CR LF and LF CR are one, CR CR and
// LF LF two. Answers the string offsets where lines 1, 2, ... start.
export function lineStarts(text) {
  const starts = [0];
  for (let i = 0; i < text.length; ++i) {
    const c = text.charCodeAt(i);
    if (c !== 10 && c !== 13) continue;
    const pair = c === 13 ? 10 : 13;
    if (text.charCodeAt(i + 1) === pair) ++i;
    starts.push(i + 1);
  }
  return starts;
}

function utf8Length(code) {
  return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// The string offset of the character the compiler names by line and column
// (column: bytes up to and with the character, so 1 is the line's first);
// column 0 or less is the line's start, a column past the end its end.
export function offsetOf(text, line, column, starts = lineStarts(text)) {
  const l = Math.min(Math.max(line, 1), starts.length) - 1;
  let offset = starts[l];
  const end = l + 1 < starts.length ? starts[l + 1] : text.length;
  let bytes = 0;
  while (offset < end && bytes < column - 1) {
    const code = text.codePointAt(offset);
    if (code === 10 || code === 13) break;
    bytes += utf8Length(code);
    offset += code > 0xFFFF ? 2 : 1;
  }
  return offset;
}

// The compiler's line and column of the character at a string offset.
export function pointOf(text, offset, starts = lineStarts(text)) {
  let lo = 0;
  let hi = starts.length - 1;
  while (lo < hi) {
    const mid = (lo + hi + 1) >> 1;
    if (starts[mid] <= offset) lo = mid; else hi = mid - 1;
  }
  let bytes = 0;
  for (let i = starts[lo]; i < offset;) {
    const code = text.codePointAt(i);
    bytes += utf8Length(code);
    i += code > 0xFFFF ? 2 : 1;
  }
  return { line: lo + 1, column: bytes + 1 };
}

// --- UTF-8 without TextEncoder/TextDecoder, which an AudioWorklet lacks.

function TextEncoderLite() {
  if (typeof TextEncoder !== 'undefined') return new TextEncoder();
  return {
    encode(text) {
      const out = [];
      for (let i = 0; i < text.length; ++i) {
        let code = text.codePointAt(i);
        if (code > 0xFFFF) ++i;
        if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
        if (code < 0x80) out.push(code);
        else if (code < 0x800) out.push(0xC0 | (code >> 6), 0x80 | (code & 63));
        else if (code < 0x10000) out.push(0xE0 | (code >> 12), 0x80 | ((code >> 6) & 63), 0x80 | (code & 63));
        else out.push(0xF0 | (code >> 18), 0x80 | ((code >> 12) & 63), 0x80 | ((code >> 6) & 63), 0x80 | (code & 63));
      }
      return Uint8Array.from(out);
    },
  };
}

function utf8Decode(bytes) {
  if (typeof TextDecoder !== 'undefined') return new TextDecoder().decode(bytes.slice());
  let text = '';
  for (let i = 0; i < bytes.length; ++i) text += String.fromCharCode(bytes[i]);
  return text;
}
