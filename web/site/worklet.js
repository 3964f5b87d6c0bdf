// The audio worklet: one session of the instrument, played a render quantum
// at a time on the audio thread. Input from the page lands on the next
// millisecond not yet played, and is reported back with that millisecond,
// so the page's record of the session is a score that renders to the same
// samples. Given a score instead, it plays the score.
import { createInstrument } from "./instrument.js";

// How often the page hears how the strings ring: about 30 times a second.
const statusFrames = 1470;
const stringCount = 8;

class PluckProcessor extends AudioWorkletProcessor {
  // processorOptions: `module`, the bytes of pluck.wasm; `score`, the bytes
  // of a score to play (optional).
  constructor({ processorOptions: { module, score } }) {
    super();
    this.instrument = createInstrument(new WebAssembly.Module(module));
    this.stopped = false;
    this.framesToStatus = 0;
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

  // {key: 0-7}, {space: true | false} or {stop: true}; nothing after a stop.
  input({ key, space, stop }) {
    if (this.stopped) {
      return;
    }
    const at = this.instrument.nextMs();
    if (key !== undefined) {
      this.instrument.press(key);
      this.port.postMessage({ at, key });
    } else if (space !== undefined) {
      this.instrument.space(space);
      this.port.postMessage({ at, space });
    } else if (stop) {
      this.stopped = true;
      this.port.postMessage({ stopped: this.instrument.framesRendered() });
    }
  }

  process(inputs, [[left, right]]) {
    if (this.stopped) {
      return false;
    }
    this.instrument.renderInto(left, right);
    this.framesToStatus -= left.length;
    if (this.framesToStatus <= 0) {
      this.framesToStatus += statusFrames;
      this.port.postMessage(this.status());
    }
    return true;
  }

  status() {
    const strings = [...Array(stringCount).keys()];
    return {
      frames: this.instrument.framesRendered(),
      notes: strings.map((k) => this.instrument.keyNote(k)),
      levels: strings.map((k) => this.instrument.stringLevel(k)),
    };
  }
}

registerProcessor("pluck", PluckProcessor);
