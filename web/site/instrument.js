// The instrument's WebAssembly module (pluck.wasm), which has no JavaScript
// glue: instantiated here, for the page's audio worklet (a session played
// from the keys, or a score) and for node (rendering scores to files).
// Nothing here needs more than the worklet's scope offers (no TextEncoder,
// no fetch).

export const sampleRate = 44100;
export const channelCount = 2;

// The frames of `ms` milliseconds: floor(ms * 44100 / 1000), exactly.
export function frameAtMs(ms) {
  return Math.floor((ms * sampleRate) / 1000);
}

// A ready instrument from the compiled module (WebAssembly.Module). Its
// memory holds one instrument state; start() or streamScore() resets it.
export function createInstrument(module) {
  let sink = null; // takes each chunk of a score's render
  const instance = new WebAssembly.Instance(module, {
    pluck: { write_frames: (at, frames) => (sink(floats(at, channelCount * frames)) === false ? 0 : 1) },
    env: { emscripten_notify_memory_growth() {} },
    wasi_snapshot_preview1: {
      proc_exit(code) {
        throw new Error(`pluck.wasm stopped (status ${code})`);
      },
    },
  });
  const wasm = instance.exports;
  wasm._initialize();
  // Views are made afresh for every use: the memory may grow (a long score),
  // which detaches the old buffer.
  const floats = (at, count) => new Float32Array(wasm.memory.buffer, at, count);
  const bytes = (at, count) => new Uint8Array(wasm.memory.buffer, at, count);
  // A text the module made: ASCII (the score reader escapes any other byte
  // it quotes).
  const cString = (at) => {
    const text = bytes(at, wasm.memory.buffer.byteLength - at);
    return String.fromCharCode(...text.subarray(0, text.indexOf(0)));
  };

  let rendered = null; // the session's output buffer, kept to spare the audio thread allocations

  return {
    // ---- a session: input lands on the next millisecond not yet played
    start: () => wasm.pluck_start(),
    // Plays the parsed score (see parseScore) from 0 ms.
    startScore: () => wasm.pluck_start_score(),
    press: (key) => wasm.pluck_press(key),
    space: (down) => wasm.pluck_space(down ? 1 : 0),
    // Renders the session's next `to - from` frames (at most 4096) into
    // two channel arrays, from index `from`.
    renderInto(left, right, from = 0, to = left.length) {
      if (to <= from) {
        return;
      }
      const at = wasm.pluck_render(to - from);
      if (rendered?.buffer !== wasm.memory.buffer || rendered.byteOffset !== at) {
        rendered = floats(at, channelCount * 4096);
      }
      for (let i = from; i < to; i++) {
        left[i] = rendered[channelCount * (i - from)];
        right[i] = rendered[channelCount * (i - from) + 1];
      }
    },
    // Renders the session's next `frames` frames (at most 4096): interleaved,
    // valid until the next render.
    renderFrames: (frames) => floats(wasm.pluck_render(frames), channelCount * frames),
    nextMs: () => wasm.pluck_next_ms(),
    framesRendered: () => wasm.pluck_frames_rendered(),
    keyNote: (key) => wasm.pluck_key_note(key),
    stringLevel: (string) => wasm.pluck_string_level(string),

    // ---- scores, in pluck-render's language
    // Parses the score's bytes (UTF-8): {errorLine: 0} or the first bad
    // line and what is wrong with it.
    parseScore(score) {
      bytes(wasm.pluck_score_text(score.length), score.length).set(score);
      const errorLine = wasm.pluck_parse_score();
      return { errorLine, error: cString(wasm.pluck_score_error()), lengthMs: wasm.pluck_score_length_ms() };
    },
    // Starts playing a score read a piece at a time, as pluck-render plays
    // one, for `lengthMs` (-1: the last event's time plus the tail, refused
    // at the first event that carries it past `maxFrames`), calling
    // `write(samples)` with each chunk of interleaved frames (valid only
    // during the call; false stops the render); with `playing` false the
    // score is only read ahead, nothing rendered. Each read(piece) hands on
    // the score's next bytes, an empty one its end, and says "more" (give
    // more), "rendered", "bad line" (errorLine and error say which),
    // "stopped" or "too long" (tooLongLine and tooLongMs say where).
    streamScore(lengthMs, write, maxFrames = Number.MAX_SAFE_INTEGER, playing = true) {
      wasm.pluck_stream_start(lengthMs, maxFrames, playing ? 1 : 0);
      const capacity = wasm.pluck_stream_input_bytes();
      const outcomes = ["more", "rendered", "bad line", "stopped", "too long"];
      const readPiece = (piece) => {
        bytes(wasm.pluck_stream_input(), piece.length).set(piece);
        sink = write;
        try {
          return outcomes[wasm.pluck_stream_read(piece.length)];
        } finally {
          sink = null;
        }
      };
      return {
        read(piece) {
          let outcome = readPiece(piece.subarray(0, capacity));
          for (let at = capacity; outcome === "more" && at < piece.length; at += capacity) {
            outcome = readPiece(piece.subarray(at, at + capacity));
          }
          return outcome;
        },
        errorLine: () => wasm.pluck_stream_error_line(),
        error: () => cString(wasm.pluck_stream_error()),
        lengthMs: () => wasm.pluck_stream_length_ms(),
        unplayed: () => wasm.pluck_stream_unplayed(),
        tooLongLine: () => wasm.pluck_stream_too_long_line(),
        tooLongMs: () => wasm.pluck_stream_too_long_ms(),
      };
    },
    // The whole number of milliseconds that `text` (UTF-8 bytes) says, as
    // pluck-render reads its --length, or -1.
    readMilliseconds(text) {
      const used = text.subarray(0, wasm.pluck_stream_input_bytes());
      bytes(wasm.pluck_stream_input(), used.length).set(used);
      return wasm.pluck_read_milliseconds(used.length);
    },
    version: () => cString(wasm.pluck_version()),
    tailMs: () => wasm.pluck_render_tail_ms(),
  };
}

// The header of a stereo 44.1 kHz 32-bit float WAV file of `frames` frames,
// as pluck-render writes it: the fmt chunk with its (empty) extension size
// and a fact chunk with the length in frames, as a format other than PCM
// needs; the samples follow it as little-endian floats.
export const wavHeaderBytes = 58;
export function wavHeader(frames) {
  const dataBytes = frames * channelCount * 4;
  const header = new DataView(new ArrayBuffer(wavHeaderBytes));
  const text = (at, s) => [...s].forEach((c, i) => header.setUint8(at + i, c.charCodeAt(0)));
  text(0, "RIFF");
  header.setUint32(4, wavHeaderBytes - 8 + dataBytes, true);
  text(8, "WAVE");
  text(12, "fmt ");
  header.setUint32(16, 18, true);
  header.setUint16(20, 3, true); // IEEE float
  header.setUint16(22, channelCount, true);
  header.setUint32(24, sampleRate, true);
  header.setUint32(28, sampleRate * channelCount * 4, true);
  header.setUint16(32, channelCount * 4, true);
  header.setUint16(34, 32, true);
  header.setUint16(36, 0, true); // no extension
  text(38, "fact");
  header.setUint32(42, 4, true);
  header.setUint32(46, frames, true);
  text(50, "data");
  header.setUint32(54, dataBytes, true);
  return new Uint8Array(header.buffer);
}
