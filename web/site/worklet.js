// The audio worklet: one session of the instrument, played a render quantum
// at a time on the audio thread. Input from the page says where it lands
// (a frame of the audio context's clock, a constant latency after the key
// was pressed); it waits for that millisecond, or lands on the next one not
// yet played if it came too late, and is reported back with the millisecond
// where it landed, so the page's record of the session is a score that
// renders to the same samples. Given a score instead, it plays the score.
import { createInstrument, frameAtMs, sampleRate } from "./instrument.js";

// How often the page hears how the strings ring: about 30 times a second.
const statusFrames = 1470;
const stringCount = 8;

class PluckProcessor extends AudioWorkletProcessor {
  // processorOptions: `module`, the bytes of pluck.wasm; `score`, the bytes
  // of a score to play (optional), and `lengthMs`, where it ends (none: it
  // plays on).
  constructor({ processorOptions: { module, score, lengthMs } }) {
    super();
    this.instrument = createInstrument(new WebAssembly.Module(module));
    this.stopped = false;
    this.framesToStatus = 0;
    this.origin = null; // the context's frame where the session's frame 0 played
    this.pending = []; // input waiting for its millisecond, in order: {ms, key} or {ms, space}
    this.peak = 0; // the loudest sample since the last status
    this.endFrame = lengthMs === undefined ? Infinity : frameAtMs(lengthMs);
    this.port.onmessage = ({ data }) => this.input(data);
    if (score) {
      const { errorLine, error } = this.instrument.parseScore(score);
      if (errorLine !== 0) {
        this.port.postMessage({ error: `line ${errorLine}: ${error}` });
      }
      this.instrument.startScore();
    } else {
      this.instrument.start();
    }
  }

  // {key: 0-7} or {space: true | false}, landing at the context's frame
  // `atFrame` (now, if none); or {stop: true}. Nothing after a stop: input
  // still waiting then was never heard, and is dropped.
  input({ key, space, stop, atFrame }) {
    if (this.stopped) {
      return;
    }
    if (stop) {
      this.stopped = true;
      this.port.postMessage({ stopped: this.instrument.framesRendered() });
      return;
    }
    const ms = atFrame === undefined || this.origin === null ? -1 : Math.round(((atFrame - this.origin) * 1000) / sampleRate);
    let at = this.pending.length;
    while (at > 0 && this.pending[at - 1].ms > ms) {
      at--;
    }
    this.pending.splice(at, 0, { ms, key, space });
  }

  // Plays waiting input whose millisecond has come, reporting where it landed.
  land(frame) {
    while (this.pending.length > 0 && frameAtMs(this.pending[0].ms) <= frame) {
      const { ms, key, space } = this.pending.shift();
      const at = this.instrument.nextMs();
      if (key !== undefined) {
        this.instrument.press(key);
      } else {
        this.instrument.space(space);
      }
      this.port.postMessage({ at, key, space, late: ms >= 0 ? at - ms : 0, frames: frame });
    }
  }

  process(inputs, [[left, right]]) {
    if (this.stopped) {
      return false;
    }
    this.origin ??= currentFrame;
    const frames = Math.min(left.length, this.endFrame - this.instrument.framesRendered());
    for (let done = 0; done < frames; ) {
      const frame = this.instrument.framesRendered();
      this.land(frame);
      const next = this.pending.length > 0 ? frameAtMs(this.pending[0].ms) - frame : frames;
      const until = Math.min(frames, done + next);
      this.instrument.renderInto(left, right, done, until);
      done = until;
    }
    if (frames < left.length) {
      this.input({ stop: true }); // the score's end: silence after it
    }
    for (let i = 0; i < left.length; i++) {
      this.peak = Math.max(this.peak, Math.abs(left[i]), Math.abs(right[i]));
    }
    this.framesToStatus -= left.length;
    if (this.framesToStatus <= 0) {
      this.framesToStatus += statusFrames;
      this.port.postMessage(this.status());
      this.peak = 0;
    }
    return true;
  }

  status() {
    const strings = [...Array(stringCount).keys()];
    return {
      frames: this.instrument.framesRendered(),
      peak: this.peak,
      notes: strings.map((k) => this.instrument.keyNote(k)),
      levels: strings.map((k) => this.instrument.stringLevel(k)),
    };
  }
}

registerProcessor("pluck", PluckProcessor);
