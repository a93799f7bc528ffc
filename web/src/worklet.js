// The playground's audio: a processor on the audio thread that holds its own
// copy of the engine and pulls 128 frames at a time from a player, so what
// sounds is the program's rendering frame for frame. The page posts the score
// text; the processor posts back where it stands a few times a second.
import createQuarvel from './quarvel.mjs';

const engine = createQuarvel();

class QuarvelProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.player = null;
    this.id = 0;
    this.sinceReport = 0;
    this.reportFrames = 0;  // a tenth of a second, from the engine's rate
    this.capture = null;  // a copy of the first frames played, for tests
    this.captured = 0;
    this.port.onmessage = (event) => { this.receive(event.data); };
    engine.then(
      (quarvel) => {
        this.reportFrames = quarvel.sampleRate / 10;
        this.port.postMessage({ type: 'ready' });
      },
      (error) => this.port.postMessage({ type: 'failed', message: String(error) }),
    );
  }

  async receive(message) {
    if (message.type === 'stop') {
      this.stop();
      return;
    }
    if (message.type !== 'play') return;
    const quarvel = await engine;
    this.stop();
    const { score, error } = quarvel.compile(message.text, { dialect: message.dialect });
    if (!score) {
      this.port.postMessage({ type: 'error', error, id: message.id });
      return;
    }
    const player = quarvel.createPlayer(score, { startPart: message.startPart || 0 });
    score.free();  // the player holds the score
    if (message.bar > 0) player.seekBar(message.bar);
    this.id = message.id;
    this.capture = message.captureFrames > 0 ? new Int16Array(2 * message.captureFrames) : null;
    this.captured = 0;
    this.sinceReport = 0;
    this.player = player;
    this.report('started');
  }

  stop() {
    if (this.player) this.player.free();
    this.player = null;
  }

  report(type) {
    this.port.postMessage({ type, id: this.id, position: this.player.position() });
  }

  process(inputs, outputs) {
    const player = this.player;
    if (!player) return true;
    const [left, right] = outputs[0];
    const frames = player.renderFloat(left, right);
    if (this.capture) this.keep(left, right, frames);
    this.sinceReport += frames;
    if (frames < left.length) {
      this.report('ended');
      this.stop();
    } else if (this.sinceReport >= this.reportFrames) {
      this.sinceReport = 0;
      this.report('position');
    }
    return true;
  }

  // Float samples are exact sixteen-bit values over 32768: back to integers.
  keep(left, right, frames) {
    const capture = this.capture;
    const n = Math.min(frames, capture.length / 2 - this.captured);
    for (let i = 0; i < n; ++i) {
      capture[2 * (this.captured + i)] = Math.round(left[i] * 32768);
      capture[2 * (this.captured + i) + 1] = Math.round(right[i] * 32768);
    }
    this.captured += n;
    if (this.captured * 2 === capture.length || frames < left.length) {
      this.port.postMessage({ type: 'captured', id: this.id, samples: capture.subarray(0, 2 * this.captured) });
      this.capture = null;
    }
  }
}

registerProcessor('quarvel-player', QuarvelProcessor);
