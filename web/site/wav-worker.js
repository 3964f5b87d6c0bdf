// Renders a score to a WAV file off the page's thread, a part at a time:
// each part goes into a Blob as soon as it is rendered (the browser may keep
// large blobs on disk), so memory stays the same whatever the length. The
// samples are the worklet's, and the header pluck-render's: the file is
// byte for byte the one pluck-render writes for the same score and length.
import { createInstrument, frameAtMs, wavHeader } from "./instrument.js";

// Frames in one part of the file: 2 MB of samples.
const partFrames = 262144;
// Most frames the instrument renders at a time.
const renderFrames = 4096;

// {module (bytes of pluck.wasm), score (bytes), lengthMs}: posts {progress}
// (0 to 1) as it goes, then {wav} (a Blob) or {error}.
onmessage = async ({ data: { module, score, lengthMs } }) => {
  const instrument = createInstrument(await WebAssembly.compile(module));
  const { errorLine, error } = instrument.parseScore(score);
  if (errorLine !== 0) {
    postMessage({ error: `line ${errorLine}: ${error}` });
    return;
  }
  instrument.startScore();
  const frames = frameAtMs(lengthMs);
  const parts = [wavHeader(frames)];
  const part = new Float32Array(2 * partFrames);
  for (let done = 0; done < frames; ) {
    const count = Math.min(partFrames, frames - done);
    for (let at = 0; at < count; at += renderFrames) {
      part.set(instrument.renderFrames(Math.min(renderFrames, count - at)), 2 * at);
    }
    parts.push(new Blob([part.subarray(0, 2 * count)]));
    done += count;
    postMessage({ progress: done / frames });
    await new Promise((resolve) => setTimeout(resolve)); // lets the part leave for the browser
  }
  postMessage({ wav: new Blob(parts, { type: "audio/wav" }) });
};
