// The playground page: an editor that compiles as you type, the compile error
// and warnings as markers, a piano roll or the staff view, playback through an
// AudioWorklet, the program's CRC and playing time, WAVE and MusicXML
// downloads and share links.
import { EditorState, StateEffect, StateField } from '@codemirror/state';
import {
  Decoration, EditorView, drawSelection, highlightActiveLine, highlightActiveLineGutter, keymap, lineNumbers,
} from '@codemirror/view';
import { HighlightStyle, StreamLanguage, syntaxHighlighting } from '@codemirror/language';
import { lintGutter, setDiagnostics } from '@codemirror/lint';
// The editor's undo history, by another name: `history` is the window's.
import { defaultKeymap, history as undoHistory, historyKeymap } from '@codemirror/commands';
import { Tag } from '@lezer/highlight';
import createQuarvel, {
  crcHex, lineStarts, noteName, offsetOf, pointOf,
} from './quarvel.mjs';

const $ = (id) => document.getElementById(id);
const VOICE_COLOURS = ['#ff8a65', '#4fc3f7', '#aed581', '#ffd54f', '#ce93d8'];

// --- Colouring: the token classes of the editors' syntax files.

const classes = ['comment', 'command', 'bar', 'duration', 'note', 'accidental', 'articulation',
  'rest', 'mode', 'repeat', 'invalid'];
const tags = Object.fromEntries(classes.map((name) => [name, Tag.define()]));
const COMMANDS = [
  /^=[0-9a-f]{2}/i, /^[<>][0-9a-f]/i, /^j[a-e](?:[rs][0-9a-f]{9}|t[0-9a-f])/i, /^k[0-7][#&]/i,
  /^l[0-9a-f]/i, /^n[hqist]/i, /^o[0-9a-f]/i, /^p(?:[0-9a-f]{2})?/i, /^r[0-9a-f]{2}/i,
  /^u[+-]?[0-9a-f]/i, /^v[1-5]/i, /^y[a-e]/i, /^z[0-9]/i,
];

const quarvelLanguage = StreamLanguage.define({
  name: 'quarvel',
  token(stream) {
    if (stream.eatSpace()) return null;
    if (stream.match(/^\/.*/)) return 'comment';
    if (stream.match(/^m[^ ]*/i)) return 'bar';
    if (COMMANDS.some((pattern) => stream.match(pattern))) return 'command';
    if (stream.match(/^(?:\(|\)[0-9a-f])/i)) return 'repeat';
    if (stream.match(/^[whqistx]:?\.*/i)) return 'duration';
    if (stream.match(/^[+-]?[0-9a-g]/i)) return 'note';
    const before = stream.pos > 0 ? stream.string.charAt(stream.pos - 1) : '';
    if (/[0-9a-g]/i.test(before) && stream.match(/^[#%&]{1,2}/)) return 'accidental';
    if (/[0-9a-g#%&$]/i.test(before) && stream.match(/^['",;]/)) return 'articulation';
    if (stream.match('$')) return 'rest';
    if (stream.match(/^[*@_]/)) return 'mode';
    stream.next();
    return 'invalid';
  },
  tokenTable: tags,
  languageData: { commentTokens: { line: '/' } },
});
const quarvelColours = HighlightStyle.define(classes.map((name) => ({ tag: tags[name], class: `q-${name}` })));

// --- The bar being played, marked in the text.

const showBar = StateEffect.define();
const playingBar = StateField.define({
  create: () => Decoration.none,
  update(marks, transaction) {
    marks = marks.map(transaction.changes);
    for (const effect of transaction.effects) {
      if (!effect.is(showBar)) continue;
      const { from, to } = effect.value || {};
      marks = effect.value && to > from
        ? Decoration.set([Decoration.mark({ class: 'cm-playing-bar' }).range(from, to)])
        : Decoration.none;
    }
    return marks;
  },
  provide: (field) => EditorView.decorations.from(field),
});

// --- The page's state.

const page = {
  quarvel: null,
  view: null,
  score: null,        // the last score compiled without error
  good: null,         // what it was compiled from: { text, dialect, part }
  stale: false,       // the text has changed into one that does not compile
  notes: [],
  range: { low: 60, high: 1, noise: false, longest: 0 },
  totalFrames: 0,
  litNote: null,      // the note last clicked in the roll
  barCache: { key: '', lines: [] },
  passes: [],         // for each note, which time its text sounds (from 1)
  notationOpen: false,
  notation: null,     // the staff view, once opened
  engraves: 0,        // how many engravings have been shown
  compileId: 0,
  exampleName: '',
  audio: null,        // { context, node }
  playId: 0,
  playing: null,      // { id, frame, at, bar }
  compileTimer: 0,
  settledWaiters: [],
  pending: false,
  readyAt: 0,
  compiles: 0,        // how many compiles have finished
  started: null,      // where the last playback started
  captured: null,     // the first frames it played, when asked for
};

function text() { return page.view.state.doc.toString(); }
function dialect() { return Number($('dialect').value); }
function startPart() {
  const value = $('start-part').value.trim();
  return /^[0-9a-f]{1,2}$/i.test(value) ? parseInt(value, 16) : 0;
}

const notationOpen = () => page.notationOpen === true;

function setStatus(message, { error = false } = {}) {
  $('status').textContent = message;
  $('status').classList.toggle('error', error);
}

// --- Compiling: markers, the list, the roll, the CRC.

function scheduleCompile(delay = 250) {
  page.pending = true;
  clearTimeout(page.compileTimer);
  page.compileTimer = setTimeout(compileNow, delay);
}

function compileNow() {
  clearTimeout(page.compileTimer);
  const source = text();
  const { score, error, warnings } = page.quarvel.compile(source, { dialect: dialect() });
  const starts = lineStarts(source);
  const marker = (d, severity) => {
    const from = offsetOf(source, d.line, d.column, starts);
    const lineEnd = d.line < starts.length ? starts[d.line] : source.length;
    const to = Math.min(from + 1, lineEnd);
    const code = severity === 'error' ? `error ${d.number}` : `warning${d.name ? ` ${d.name}` : ''}`;
    return { from, to: Math.max(to, from), severity, message: `${code}: ${d.message}`, source: `line ${d.line} col ${d.column}`, d };
  };
  const diagnostics = [];
  if (error) diagnostics.push(marker(error, 'error'));
  for (const warning of warnings) {
    if (warning.onByDefault) diagnostics.push(marker(warning, 'warning'));
  }
  page.view.dispatch(setDiagnostics(page.view.state, diagnostics));
  showDiagnostics(diagnostics);

  // A text that does not compile keeps the last good score: its roll (greyed)
  // and its music, as a watching program keeps playing the last good save.
  page.compileId += 1;
  if (score) {
    if (page.score) page.score.free();
    page.score = score;
    page.good = { text: source, dialect: dialect(), part: startPart() };
    page.stale = false;
    page.notes = score.notes(startPart());
    page.range = noteRange(page.notes);
    page.passes = notePasses(page.notes);
    page.totalFrames = score.totalFrames(startPart());
    page.barCache = { key: '', lines: [] };
    const lit = page.litNote;
    page.litNote = lit ? page.notes.find((n) => n.line === lit.line && n.column === lit.column
      && n.startFrame === lit.startFrame) || null : null;
  } else {
    page.stale = page.score !== null;
  }
  $('roll-pane').toggleAttribute('data-stale', page.stale);
  $('crc').textContent = '--------';
  $('playing-time').textContent = '-';
  $('download').disabled = !score;
  $('download-musicxml').disabled = !score;
  $('play').disabled = !page.score || !page.audio;
  drawRoll();
  if (score) engraveSoon();
  else if (page.notation) $('notation-pane').toggleAttribute('data-stale', page.stale);
  // The rendering for the CRC comes next, once the page has been drawn.
  const id = page.compileId;
  setTimeout(() => sumNow(id, score), 0);
}

// Which time each note's text sounds, counted from 1 in the order they start:
// the pass the staff view's ids carry.
function notePasses(notes) {
  const seen = new Map();
  return notes.map((n) => {
    const key = `${n.line}:${n.column}`;
    const pass = (seen.get(key) || 0) + 1;
    seen.set(key, pass);
    return pass;
  });
}

// The pitch range of the roll, and its longest note: one pass, for scores of
// any size.
function noteRange(notes) {
  let low = Infinity;
  let high = -Infinity;
  let noise = false;
  let longest = 0;
  for (const n of notes) {
    if (n.note > 71) noise = true;
    else {
      if (n.note < low) low = n.note;
      if (n.note > high) high = n.note;
    }
    if (n.frames > longest) longest = n.frames;
  }
  if (low > high) [low, high] = [60, 1];
  return { low: Math.min(low, 60), high: Math.max(high, 1), noise, longest };
}

// The CRC, the playing time and the WAVE file cover the whole score, as -c
// and -w do whatever -g says; the start part is for playing.
function sumNow(id, score) {
  if (id !== page.compileId) return;  // a newer compile will settle
  if (score && score === page.score && score.alive) {
    const t0 = performance.now();
    const { crc, frames } = page.quarvel.checksum(score);
    const took = performance.now() - t0;
    page.lastRender = { frames, ms: took };
    $('crc').textContent = crcHex(crc);
    $('playing-time').textContent = page.quarvel.formatClock(frames);
    setStatus(`${score.bars} bars, ${page.notes.length} notes; rendered in ${took.toFixed(0)} ms`
      + ` (${frames > 0 ? Math.round(frames / page.quarvel.sampleRate / (took / 1000)) : 0}× real time)`);
  } else if (page.stale) {
    setStatus('the score does not compile: the roll and Play keep the last good one');
  } else {
    setStatus('');
  }
  page.pending = false;
  page.compiles += 1;
  for (const resolve of page.settledWaiters.splice(0)) resolve();
}

function showDiagnostics(diagnostics) {
  const list = $('diagnostics');
  list.replaceChildren(...diagnostics.map((d) => {
    const item = document.createElement('li');
    item.className = d.severity;
    item.textContent = `${d.source}: ${d.message}`;
    item.addEventListener('click', () => moveCursor(d.from));
    return item;
  }));
}

function moveCursor(offset) {
  page.view.dispatch({ selection: { anchor: offset }, scrollIntoView: true });
  page.view.focus();
}

// --- The piano roll: time across, pitch up, one colour a voice; the note
// names down the left, the bars and their numbers along the top, the drums
// in a lane of their own above the time caption.

const ROLL_WINDOW_SECONDS = 30;
const ROLL_GUTTER = 34;   // the note names
const ROLL_TOP = 16;      // bar numbers and the voices' colours
const ROLL_BOTTOM = 16;   // the time caption
function rollLayout() {
  const canvas = $('roll');
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  const low = page.range.low - 1;
  const high = page.range.high + 1;
  const noiseBand = page.range.noise ? 40 : 0;
  const span = Math.min(page.totalFrames || 1, ROLL_WINDOW_SECONDS * page.quarvel.sampleRate);
  const playingFrame = page.playing ? playingFrameNow() : null;
  let first = 0;
  if (playingFrame !== null) first = Math.floor(playingFrame / span) * span;
  else if (page.rollFrom) first = Math.floor(page.rollFrom / span) * span;
  const x = (frame) => ROLL_GUTTER + ((frame - first) / span) * (width - ROLL_GUTTER);
  const pitchBottom = height - ROLL_BOTTOM - noiseBand;
  const rowHeight = (pitchBottom - ROLL_TOP) / (high - low + 1);
  const y = (note) => (note > 71
    ? pitchBottom + 2 + ((note - 73) / 16) * (noiseBand - 4)
    : ROLL_TOP + (high - note) * rowHeight);
  const h = (note) => (note > 71 ? Math.max(2, (noiseBand - 4) / 16) : Math.max(2, rowHeight - 1));
  return { canvas, width, height, first, span, x, y, h, low, high, noiseBand, pitchBottom, rowHeight, playingFrame };
}

// The first note that starts at or after a frame (the notes are in the order
// they start).
function firstNoteFrom(frame) {
  const notes = page.notes;
  let lo = 0;
  let hi = notes.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (notes[mid].startFrame < frame) lo = mid + 1; else hi = mid;
  }
  return lo;
}

// The bar lines in a window: the bar sounding at its start, then each pass
// over a bar that a note begins, placed where the player says that pass
// starts (a bar may open with a rest). Worked out once a window.
function barLines(first, last) {
  const key = `${first}:${last}`;
  if (page.barCache.key === key) return page.barCache.lines;
  const lines = [];
  if (page.score && page.score.alive && page.good) {
    const player = page.quarvel.createPlayer(page.score, { startPart: page.good.part });
    try {
      player.seekFrame(first);
      let at = player.position();
      if (at.bar > 0) lines.push({ frame: at.barStartFrame, bar: at.bar });
      const notes = page.notes;
      for (let i = firstNoteFrom(first); i < notes.length && notes[i].startFrame < last; ++i) {
        if (notes[i].bar === at.bar) continue;
        player.seekFrame(notes[i].startFrame);
        const next = player.position();
        if (next.barStartFrame !== at.barStartFrame) lines.push({ frame: next.barStartFrame, bar: next.bar });
        at = next;
      }
    } finally {
      player.free();
    }
  }
  page.barCache = { key, lines };
  return lines;
}

function drawRoll() {
  const layout = rollLayout();
  const { canvas, width, height, first, span, x, y, h } = layout;
  const scale = window.devicePixelRatio || 1;
  if (canvas.width !== Math.round(width * scale)) canvas.width = Math.round(width * scale);
  if (canvas.height !== Math.round(height * scale)) canvas.height = Math.round(height * scale);
  const g = canvas.getContext('2d');
  g.setTransform(scale, 0, 0, scale, 0, 0);
  g.fillStyle = '#15171c';
  g.fillRect(0, 0, width, height);
  g.font = '10px ui-monospace, monospace';
  g.textBaseline = 'middle';
  for (let note = layout.low; note <= layout.high; ++note) {
    const key = (note + 23) % 12;
    if ([1, 3, 6, 8, 10].includes(key)) {
      g.fillStyle = '#1d2027';
      g.fillRect(ROLL_GUTTER, y(note), width - ROLL_GUTTER, h(note));
    }
    // Every C, or every note where the rows are tall enough to read.
    if (note >= 1 && note <= 71 && (key === 0 || layout.rowHeight >= 12)) {
      g.fillStyle = key === 0 ? '#c8ccd2' : '#7d838c';
      g.fillText(noteName(note), 3, y(note) + h(note) / 2);
      if (key === 0) {
        g.fillStyle = '#2a2e37';
        g.fillRect(ROLL_GUTTER, y(note) + h(note), width - ROLL_GUTTER, 1);
      }
    }
  }
  if (layout.noiseBand) {
    g.fillStyle = '#23262e';
    g.fillRect(ROLL_GUTTER, layout.pitchBottom, width - ROLL_GUTTER, layout.noiseBand);
    g.fillStyle = '#9aa0a6';
    g.fillText('drums', 3, layout.pitchBottom + layout.noiseBand / 2);
  }
  if (!page.notes.length) {
    veil(g, width, height);
    return;
  }
  g.textBaseline = 'alphabetic';
  let labelEnd = 0;  // numbers that would overlap the one before are left out
  for (const line of barLines(first, first + span)) {
    if (line.frame < first) continue;
    g.fillStyle = '#3b404b';
    g.fillRect(x(line.frame), ROLL_TOP, 1, height - ROLL_TOP - ROLL_BOTTOM);
    const label = String(line.bar);
    if (x(line.frame) + 2 < labelEnd) continue;
    g.fillStyle = '#9aa0a6';
    g.fillText(label, x(line.frame) + 2, ROLL_TOP - 4);
    labelEnd = x(line.frame) + 2 + g.measureText(label).width + 4;
  }
  const last = first + span;
  for (let i = firstNoteFrom(first - page.range.longest); i < page.notes.length; ++i) {
    const n = page.notes[i];
    if (n.startFrame > last) break;
    if (n.startFrame + n.frames < first) continue;
    g.fillStyle = VOICE_COLOURS[(n.voice - 1) % VOICE_COLOURS.length];
    g.globalAlpha = 0.45 + 0.55 * (1 - (n.level - 2) / 252);
    g.fillRect(x(n.startFrame), y(n.note), noteWidth(x, n), h(n.note));
  }
  g.globalAlpha = 1;
  const lit = page.litNote;
  if (lit && lit.startFrame <= last && lit.startFrame + lit.frames >= first) {
    g.strokeStyle = '#ffffff';
    g.lineWidth = 2;
    g.strokeRect(x(lit.startFrame) - 1, y(lit.note) - 1, noteWidth(x, lit) + 2, h(lit.note) + 2);
    g.fillStyle = '#ffffff';
    g.fillRect(x(lit.startFrame), y(lit.note), noteWidth(x, lit), h(lit.note));
  }
  g.fillStyle = '#9aa0a6';
  g.font = '11px ui-monospace, monospace';
  const clock = (frame) => page.quarvel.formatClock(frame);
  g.fillText(`${clock(first)} – ${clock(first + span)}`, ROLL_GUTTER + 4, height - 4);
  VOICE_COLOURS.forEach((colour, v) => {
    g.fillStyle = colour;
    g.fillText(`V${v + 1}`, width - 160 + 30 * v, height - 4);
  });
  if (layout.playingFrame !== null) {
    g.fillStyle = '#ffffff';
    g.fillRect(x(layout.playingFrame), 0, 1.5, height);
  }
  veil(g, width, height);
}

const noteWidth = (x, n) => Math.max(1.5, x(n.startFrame + n.frames) - x(n.startFrame) - 1);

// The last good score under a veil while the text does not compile.
function veil(g, width, height) {
  if (!page.stale) return;
  g.fillStyle = 'rgba(90, 94, 102, 0.55)';
  g.fillRect(0, 0, width, height);
  g.fillStyle = '#ffffff';
  g.font = '12px system-ui, sans-serif';
  g.fillText('the last score that compiled', ROLL_GUTTER + 4, ROLL_TOP + 14);
}

// The middle of a note's bar on the canvas (CSS pixels), for tests.
function notePoint(n) {
  const { x, y, h } = rollLayout();
  return { x: (x(n.startFrame) + x(n.startFrame + n.frames)) / 2, y: y(n.note) + h(n.note) / 2 };
}

function noteAtPoint(px, py) {
  const { x, y, h, first, span } = rollLayout();
  const start = firstNoteFrom(first - page.range.longest);
  for (let i = Math.min(firstNoteFrom(first + span + 1), page.notes.length) - 1; i >= start; --i) {
    const n = page.notes[i];
    const left = x(n.startFrame);
    const right = Math.max(left + 3, x(n.startFrame + n.frames));
    if (px >= left && px <= right && py >= y(n.note) - 1 && py <= y(n.note) + h(n.note) + 1) return n;
  }
  return null;
}

function rollClick(event) {
  const rect = event.currentTarget.getBoundingClientRect();
  const note = noteAtPoint(event.clientX - rect.left, event.clientY - rect.top);
  if (!note || note.line === 0) return;
  page.litNote = note;
  drawRoll();
  moveCursor(offsetOf(text(), note.line, note.column));
}

// --- The staff view: the last good score engraved by Verovio in a worker,
// its notes tied to the text by the ids the MusicXML gives them
// (n<line>_<column>_<pass>, m<bar>_<pass>).

const ENGRAVE_DELAY = 400;
// Past this many notes an engraving would keep the worker busy for half a
// minute and more (the 64-bar minuet's 374 take about a second): the view
// says so instead.
const ENGRAVE_LIMIT = 12000;

function openNotation(open) {
  page.notationOpen = open;
  $('notation-toggle').setAttribute('aria-pressed', String(open));
  $('notation-pane').hidden = !open;
  $('roll-pane').hidden = open;
  if (!open) {
    lightPlaying(null);
    drawRoll();
    return;
  }
  if (!page.notation) {
    const worker = new Worker(new URL('notation.js', import.meta.url), { type: 'module' });
    page.notation = {
      worker, asked: 0, busy: false, again: false, byNote: new Map(), byLine: new Map(), lit: [], bar: null, timer: 0,
    };
    worker.onmessage = (event) => engraved(event.data);
    worker.onerror = (event) => {
      page.notation.busy = false;
      $('notation-status').textContent = `the engraver failed: ${event.message}`;
    };
    $('notation-status').textContent = 'loading the engraver…';
  }
  engraveSoon(0);
}

function engraveSoon(delay = ENGRAVE_DELAY) {
  const view = page.notation;
  if (!view || !page.notationOpen || !page.score) return;
  clearTimeout(view.timer);
  view.timer = setTimeout(() => {
    // One engraving at a time: a request made meanwhile waits for the reply.
    if (view.busy) {
      view.again = true;
      return;
    }
    if (!page.score || !page.score.alive) return;
    if (page.notes.length > ENGRAVE_LIMIT) {
      $('notation').replaceChildren();
      view.byNote = new Map();
      view.byLine = new Map();
      view.lit = [];
      view.bar = null;
      $('notation-status').textContent = `this score is too long to engrave here (${page.score.bars} bars): `
        + '"Download MusicXML" opens it in a notation program';
      return;
    }
    const musicxml = page.score.musicxml(page.good.part);
    view.asked += 1;
    view.busy = true;
    view.worker.postMessage({ id: view.asked, musicxml, width: $('notation-pane').clientWidth });
  }, delay);
}

function engraved(reply) {
  const view = page.notation;
  view.busy = false;
  if (view.again) {
    view.again = false;
    engraveSoon(0);
    return;  // the text has changed since: show the next one
  }
  if (reply.error) {
    $('notation-status').textContent = `not engraved: ${reply.error}`;
    return;
  }
  const holder = $('notation');
  holder.innerHTML = reply.pages.join('');
  // The notes by what sounds (n<line>_<column>_<pass>, the tied notes one
  // became and copies in other parts with it) and by line.
  view.byNote = new Map();
  view.byLine = new Map();
  for (const element of holder.querySelectorAll('.note[data-id], .rest[data-id]')) {
    const id = element.getAttribute('data-id');
    const place = /^n(\d+)_(\d+)_(\d+)/.exec(id);
    if (!place) continue;
    if (!view.byNote.has(place[0])) view.byNote.set(place[0], []);
    view.byNote.get(place[0]).push(element);
    const line = Number(place[1]);
    if (!view.byLine.has(line)) view.byLine.set(line, []);
    view.byLine.get(line).push({ column: Number(place[2]), element });
  }
  for (const notes of view.byLine.values()) notes.sort((a, b) => a.column - b.column);
  view.lit = [];
  view.bar = null;
  view.ms = reply.ms;
  $('notation-pane').toggleAttribute('data-stale', page.stale);
  $('notation-status').textContent = '';
  lightCursorNote();
  page.engraves += 1;
}

// The notes written at a place of the text, every time it sounds.
function notesAt(line, column) {
  const found = page.notation.byLine.get(line) || [];
  return found.filter((n) => n.column === column).map((n) => n.element);
}

// The note under the editor's cursor: the last one on its line that starts
// at or before it.
function lightCursorNote() {
  const view = page.notation;
  if (!view) return;
  for (const element of $('notation').querySelectorAll('.cursor-note')) element.classList.remove('cursor-note');
  const source = text();
  const { line, column } = pointOf(source, page.view.state.selection.main.head);
  const onLine = view.byLine.get(line) || [];
  let best = null;
  for (const n of onLine) if (n.column <= column) best = n.column;
  if (best === null) return;
  for (const element of notesAt(line, best)) element.classList.add('cursor-note');
}

// The note clicked: the one under the pointer, or failing that (the hollow
// of a half note, a hair beside a stem) the nearest within a few pixels.
function noteAtClick(event) {
  const direct = event.target.closest && event.target.closest('.note, .rest');
  if (direct) return direct;
  let best = null;
  let nearest = 6;
  for (const element of $('notation').querySelectorAll('.note > .notehead, .rest')) {
    const r = element.getBoundingClientRect();
    const dx = Math.max(r.left - event.clientX, 0, event.clientX - r.right);
    const dy = Math.max(r.top - event.clientY, 0, event.clientY - r.bottom);
    const distance = Math.hypot(dx, dy);
    if (distance < nearest) {
      nearest = distance;
      best = element.closest('.note, .rest');
    }
  }
  return best;
}

function notationClick(event) {
  const note = noteAtClick(event);
  const id = note && note.getAttribute('data-id');
  const place = id && /^n(\d+)_(\d+)_/.exec(id);
  if (!place) return;
  moveCursor(offsetOf(text(), Number(place[1]), Number(place[2])));
}

// The elements of a sounding note: its pass, or the first where a repeat is
// written with repeat bar lines; with the tied notes it became.
function soundingElements(note, pass) {
  const view = page.notation;
  return view.byNote.get(`n${note.line}_${note.column}_${pass}`)
    || view.byNote.get(`n${note.line}_${note.column}_1`) || [];
}

// While playing: the notes sounding and their bar lit, the bar kept in view.
function lightPlaying(frame) {
  const view = page.notation;
  if (!view) return;
  for (const element of view.lit) element.classList.remove('playing-note');
  view.lit = [];
  if (frame === null || !page.notationOpen) {
    lightBar(null);
    return;
  }
  const notes = page.notes;
  for (let i = firstNoteFrom(frame - page.range.longest); i < notes.length && notes[i].startFrame <= frame; ++i) {
    const n = notes[i];
    if (n.line === 0 || n.startFrame + n.frames <= frame) continue;
    for (const element of soundingElements(n, page.passes[i])) {
      element.classList.add('playing-note');
      view.lit.push(element);
    }
  }
  const measure = view.lit.length ? view.lit[0].closest('.measure') : null;
  if (measure) lightBar(measure);
}

function lightBar(measure) {
  const view = page.notation;
  if (view.bar === measure) return;
  if (view.bar) {
    view.bar.classList.remove('playing-bar');
    view.bar.querySelector(':scope > rect.bar-light')?.remove();
  }
  view.bar = measure;
  if (!measure) return;
  measure.classList.add('playing-bar');
  const box = measure.getBBox();
  const light = document.createElementNS('http://www.w3.org/2000/svg', 'rect');
  light.setAttribute('class', 'bar-light');
  for (const [key, value] of Object.entries({ x: box.x, y: box.y, width: box.width, height: box.height })) {
    light.setAttribute(key, String(value));
  }
  measure.prepend(light);
  measure.scrollIntoView({ block: 'nearest', inline: 'nearest' });
}

function downloadMusicxml() {
  const { score, error } = page.quarvel.compile(text(), { dialect: dialect() });
  if (!score) {
    setStatus(`no MusicXML: error ${error.number} near line ${error.line} col ${error.column}`, { error: true });
    return;
  }
  try {
    offer(new Blob([score.musicxmlBytes(0)], { type: 'application/vnd.recordare.musicxml+xml' }), 'musicxml');
  } finally {
    score.free();
  }
}

function offer(blob, extension) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = `${page.exampleName || 'score'}.${extension}`;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

// --- Playback: the worklet renders; the page follows its reports.

// The context runs at the engine's rate, so the worklet's frames play as they are.
async function startAudio(quarvel) {
  const context = new AudioContext({ sampleRate: quarvel.sampleRate, latencyHint: 'interactive' });
  await context.audioWorklet.addModule(new URL('worklet.js', import.meta.url));
  const node = new AudioWorkletNode(context, 'quarvel-player',
    { numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [2] });
  node.connect(context.destination);
  await new Promise((resolve, reject) => {
    node.port.onmessage = (event) => {
      if (event.data.type === 'ready') resolve();
      else if (event.data.type === 'failed') reject(new Error(event.data.message));
    };
  });
  node.port.onmessage = (event) => workletMessage(event.data);
  page.audio = { context, node };
}

function workletMessage(message) {
  if (message.id !== page.playId) return;
  const context = page.audio.context;
  if (message.type === 'captured') {
    page.captured = message.samples;
    return;
  }
  if (message.type === 'error') {
    stopPlaying();
    return;
  }
  if (message.type === 'ended') {
    stopPlaying();
    return;
  }
  const { frame, bar } = message.position;
  const latency = (context.baseLatency || 0) + (context.outputLatency || 0);
  page.playing = { id: message.id, frame, at: context.currentTime + latency, bar };
  if (message.type === 'started') {
    page.started = message.position;
    requestAnimationFrame(animate);
  }
  markBar(bar);
}

function playingFrameNow() {
  const p = page.playing;
  const since = Math.max(0, page.audio.context.currentTime - p.at);
  return Math.min(page.totalFrames, p.frame + since * page.quarvel.sampleRate);
}

function markBar(number) {
  const bar = page.score && number > 0 ? page.score.bar(number) : null;
  if (!bar || bar.firstLine === 0) {
    page.view.dispatch({ effects: showBar.of(null) });
    return;
  }
  const source = text();
  const starts = lineStarts(source);
  const from = offsetOf(source, bar.firstLine, bar.firstColumn, starts);
  const to = offsetOf(source, bar.lastLine, bar.lastColumn, starts) + 1;
  page.view.dispatch({ effects: showBar.of({ from, to: Math.min(to, source.length) }) });
}

function animate() {
  if (!page.playing) return;
  const frame = playingFrameNow();
  $('time').textContent = page.quarvel.formatClock(frame);
  if (page.notationOpen) lightPlaying(frame);
  else drawRoll();
  requestAnimationFrame(animate);
}

async function play({ captureFrames = 0 } = {}) {
  if (!page.audio || !page.score) return;
  await page.audio.context.resume();
  const source = text();
  const { line, column } = pointOf(source, page.view.state.selection.main.head);
  const bar = page.score.barAt(line, column);
  page.playId += 1;
  page.captured = null;
  page.started = null;
  // The text that compiled last: while the editor holds an error, its music.
  const { text: good, dialect: goodDialect, part } = page.good;
  page.audio.node.port.postMessage({
    type: 'play', id: page.playId, text: good, dialect: goodDialect, startPart: part, bar, captureFrames,
  });
  $('stop').disabled = false;
}

function stopPlaying() {
  if (page.audio) page.audio.node.port.postMessage({ type: 'stop' });
  // A report already on its way from the worklet belongs to the play stopped.
  page.playId += 1;
  page.playing = null;
  $('stop').disabled = true;
  page.view.dispatch({ effects: showBar.of(null) });
  drawRoll();
  lightPlaying(null);
}

// --- WAVE download and share links.

function downloadWave() {
  const samples = page.quarvel.renderAll(text(), { dialect: dialect() });
  offer(new Blob([page.quarvel.waveFile(samples)], { type: 'audio/wav' }), 'wav');
}

function toBase64Url(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

function fromBase64Url(text) {
  if (!/^[A-Za-z0-9_-]*$/.test(text)) throw new Error('it holds characters that are not base64url');
  const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

async function squeeze(bytes, stream) {
  const response = new Response(new Blob([bytes]).stream().pipeThrough(stream));
  return new Uint8Array(await response.arrayBuffer());
}

// The most text a link may carry: a deflated link can expand a thousandfold.
export const LINK_TEXT_LIMIT = 2 * 1024 * 1024;

// Inflates a link's score, giving up as soon as it passes the limit.
async function inflate(bytes) {
  const reader = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate-raw')).getReader();
  const chunks = [];
  let total = 0;
  try {
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      total += value.length;
      if (total > LINK_TEXT_LIMIT) {
        reader.cancel().catch(() => {});
        throw new Error(`its score is larger than the ${LINK_TEXT_LIMIT / 1048576} MiB a link may carry`);
      }
      chunks.push(value);
    }
  } catch (error) {
    if (error instanceof TypeError) throw new Error('its score is not deflated data (the link is cut or altered)');
    throw error;
  }
  const out = new Uint8Array(total);
  let at = 0;
  for (const chunk of chunks) {
    out.set(chunk, at);
    at += chunk.length;
  }
  return out;
}

// The fragment: z=<deflated UTF-8 text> (or t=<UTF-8 text> where the browser
// cannot compress), with d=<dialect>, g=<start part> and v=notation when the
// staff view is open.
export async function shareFragment(source, dialectNumber, part, { notation = false } = {}) {
  const bytes = new TextEncoder().encode(source);
  if (bytes.length > LINK_TEXT_LIMIT) {
    throw new Error(`the score is larger than the ${LINK_TEXT_LIMIT / 1048576} MiB a link may carry`);
  }
  const params = new URLSearchParams();
  if (typeof CompressionStream === 'function') {
    params.set('z', toBase64Url(await squeeze(bytes, new CompressionStream('deflate-raw'))));
  } else {
    params.set('t', toBase64Url(bytes));
  }
  if (dialectNumber) params.set('d', String(dialectNumber));
  if (part) params.set('g', part);
  if (notation) params.set('v', 'notation');
  return `#${params}`;
}

// Reads a fragment: null when it carries no score; an Error saying why when
// it carries one that cannot be read.
export async function readFragment(hash) {
  const params = new URLSearchParams(hash.replace(/^#/, ''));
  const notation = params.get('v') === 'notation';
  if (!params.has('z') && !params.has('t')) return notation ? { text: null, notation } : null;
  let bytes;
  try {
    if (params.has('z')) bytes = await inflate(fromBase64Url(params.get('z')));
    else {
      bytes = fromBase64Url(params.get('t'));
      if (bytes.length > LINK_TEXT_LIMIT) {
        throw new Error(`its score is larger than the ${LINK_TEXT_LIMIT / 1048576} MiB a link may carry`);
      }
    }
  } catch (error) {
    if (error instanceof DOMException) throw new Error('its score is not base64url (the link is cut or altered)');
    throw error;
  }
  let text;
  try {
    text = new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    throw new Error('its score is not UTF-8 text');
  }
  const d = params.get('d') || '0';
  if (!/^[012]$/.test(d)) throw new Error(`its dialect "${d}" is none of 0, 1 and 2`);
  const part = params.get('g') || '';
  if (!/^(?:[0-9a-f]{1,2})?$/i.test(part)) throw new Error(`its start part "${part}" is not one or two hexadecimal digits`);
  return { text, dialect: Number(d), part, notation };
}

async function share() {
  try {
    const fragment = await shareFragment(text(), dialect(), $('start-part').value.trim(), { notation: notationOpen() });
    window.history.replaceState(null, '', fragment);
  } catch (error) {
    setStatus(`no link: ${error.message}`, { error: true });
    return;
  }
  try {
    await navigator.clipboard.writeText(window.location.href);
    setStatus('link copied');
  } catch {
    setStatus('the link is in the address bar');
  }
}

// --- Putting it together.

function setText(source) {
  const view = page.view;
  view.dispatch({ changes: { from: 0, to: view.state.doc.length, insert: source }, selection: { anchor: 0 } });
  compileNow();
}

async function loadExample(name) {
  const response = await fetch(new URL(`examples/${name}.qvl`, import.meta.url));
  // Scores are bytes; the examples are plain ASCII.
  const source = new TextDecoder('latin1').decode(await response.arrayBuffer());
  page.exampleName = name;
  $('notice').textContent = '';
  setText(source);
}

const marks = {};
const mark = (name) => { marks[name] = Math.round(performance.now()); };

async function main() {
  mark('start');
  const quarvelReady = createQuarvel().then((q) => { mark('engine'); return q; });
  const audioReady = quarvelReady.then((quarvel) => startAudio(quarvel)).then(() => mark('audio'))
    .catch((error) => setStatus(`no audio: ${error.message}`));
  const index = fetch(new URL('examples/index.txt', import.meta.url)).then((r) => r.text());
  page.view = new EditorView({
    parent: $('editor'),
    state: EditorState.create({
      doc: '',
      extensions: [
        lineNumbers(), highlightActiveLineGutter(), highlightActiveLine(), drawSelection(), undoHistory(),
        lintGutter(), quarvelLanguage, syntaxHighlighting(quarvelColours), playingBar,
        keymap.of([{ key: 'Mod-Enter', run: () => { play(); return true; } }, ...defaultKeymap, ...historyKeymap]),
        EditorView.updateListener.of((update) => {
          if (update.docChanged && page.quarvel) {
            if (update.transactions.some((t) => t.isUserEvent('input') || t.isUserEvent('delete'))) {
              page.exampleName = '';
              $('example').value = '';
            }
            scheduleCompile();
          }
          if (update.selectionSet && !page.playing && page.score) {
            const source = text();
            const { line, column } = pointOf(source, update.state.selection.main.head);
            const bar = page.score.barAt(line, column);
            const first = page.notes.find((n) => n.bar >= bar);
            page.rollFrom = first ? first.startFrame : 0;
            drawRoll();
          }
          if (update.selectionSet && page.notation) lightCursorNote();
        }),
      ],
    }),
  });
  const names = (await index).split('\n').filter(Boolean);
  for (const name of names) $('example').append(new Option(name.replace(/_/g, ' '), name));
  page.quarvel = await quarvelReady;

  let shared = null;
  let unreadable = null;
  if (window.location.hash.length > 1) {
    shared = await readFragment(window.location.hash).catch((error) => { unreadable = error; return null; });
  }
  if (unreadable) {
    // Nothing in its place: an example here would pass for the shared score.
    setText('');
    $('notice').textContent = `This link cannot be read: ${unreadable.message}.`;
  } else if (shared && shared.text !== null) {
    $('dialect').value = String(shared.dialect);
    $('start-part').value = shared.part;
    setText(shared.text);
  } else {
    const first = names.includes('greensleeves') ? 'greensleeves' : names[0];
    $('example').value = first;
    await loadExample(first);
  }
  if (shared && shared.notation) openNotation(true);
  mark('score');
  await audioReady;
  $('play').disabled = !page.score || !page.audio;
  page.readyAt = performance.now();
  page.marks = marks;
  document.body.dataset.ready = 'true';

  $('example').addEventListener('change', () => { if ($('example').value) loadExample($('example').value); });
  $('dialect').addEventListener('change', () => compileNow());
  $('start-part').addEventListener('input', () => scheduleCompile(150));
  $('play').addEventListener('click', () => play());
  $('stop').addEventListener('click', stopPlaying);
  $('download').addEventListener('click', downloadWave);
  $('share').addEventListener('click', share);
  $('download-musicxml').addEventListener('click', downloadMusicxml);
  $('notation-toggle').addEventListener('click', () => openNotation(!page.notationOpen));
  $('notation').addEventListener('click', notationClick);
  $('roll').addEventListener('click', rollClick);
  new ResizeObserver(() => drawRoll()).observe($('roll-pane'));
  setTimeout(() => setStatus(`ready in ${page.readyAt.toFixed(0)} ms; ${$('status').textContent}`), 0);
}

// What the tests drive.
window.playground = {
  page,
  setText,
  loadExample,
  play,
  stop: stopPlaying,
  settled: () => (page.pending ? new Promise((resolve) => page.settledWaiters.push(resolve)) : Promise.resolve()),
  shareFragment,
  readFragment,
  notePoint,
  drawRoll,
  openNotation,
};

main().catch((error) => setStatus(`failed: ${error.message}`));
