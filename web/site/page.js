// The page around the instrument: Start (a browser plays sound only after a
// gesture), the keyboard and the on-screen keys turned into presses and
// Space, the keys lit as their strings ring, and the session kept as a
// score to download, with its WAV rendered from that score.
import { frameAtMs, sampleRate, wavHeader } from "./instrument.js";

// The note keys in the instrument's order (key k plucks string k), as the
// score names them.
const letters = ["z", "x", "c", "v", "b", "n", "m", "k"];
const noteNames = ["C", "C♯", "D", "D♯", "E", "F", "F♯", "G", "G♯", "A", "A♯", "B"];

const element = (id) => document.getElementById(id);
const keyViews = letters.map((letter) => document.querySelector(`.key[data-letter="${letter}"]`));

// Fetched once; every player compiles its own copy in its worklet.
const moduleBytes = fetch("pluck.wasm").then((response) => {
  if (!response.ok) {
    throw new Error(`pluck.wasm: ${response.status} ${response.statusText}`);
  }
  return response.arrayBuffer();
});

let player = null; // {context, node} from Start until the sound stops
let spaceDown = false;
let session = { lines: [], frames: 0 }; // the score of the current or last session
let message = "Loading…";

// ---------------------------------------------------------------- sound

// The worklet node of a context: a session from the keys, or a score's
// when `options` has one.
function playerNode(context, options) {
  return moduleBytes.then(
    (module) =>
      new AudioWorkletNode(context, "pluck", {
        numberOfInputs: 0,
        outputChannelCount: [2],
        processorOptions: { module, ...options },
      }),
  );
}

async function start() {
  if (player) {
    return;
  }
  player = {};
  session = { lines: [], frames: 0 };
  spaceDown = false;
  document.activeElement?.blur(); // Space must not press a focused button
  try {
    player.context = new AudioContext({ sampleRate, latencyHint: "interactive" });
    await player.context.audioWorklet.addModule("worklet.js");
    player.node = await playerNode(player.context, {});
    player.node.port.onmessage = ({ data }) => heard(data);
    player.node.onprocessorerror = () => {
      message = "The instrument failed in the audio worklet";
      stopped();
    };
    player.node.connect(player.context.destination);
    await player.context.resume();
    message = "Playing";
  } catch (error) {
    player.context?.close();
    player = null;
    message = `Cannot play: ${error.message}`;
  }
  show();
}

// Escape: the worklet stops after the quantum it is in and says how much it
// played; then the sound is closed.
function stop() {
  if (!player?.node) {
    return; // not playing, or still starting
  }
  if (player.context.state === "running") {
    player.node.port.postMessage({ stop: true });
  } else {
    message = "Stopped; Start plays again"; // the sound never ran
    stopped();
  }
}

// The sound is over: closed, and ready to start again.
function stopped() {
  player.context.close();
  player = null;
  spaceDown = false;
  show();
}

function press(key) {
  player?.node?.port.postMessage({ key });
}

function setSpace(down) {
  if (down !== spaceDown && player?.node) {
    spaceDown = down;
    player.node.port.postMessage({ space: down });
    show();
  }
}

// What the worklet reports: input with the millisecond it landed on, how
// the strings ring, and the end.
function heard(report) {
  if (report.key !== undefined) {
    session.lines.push(`${report.at} ${letters[report.key]}`);
  } else if (report.space !== undefined) {
    session.lines.push(`${report.at} space-${report.space ? "down" : "up"}`);
  } else if (report.frames !== undefined) {
    session.frames = report.frames;
    draw(report);
  } else if (report.stopped !== undefined) {
    session.frames = report.stopped;
    message = `Stopped after ${(session.frames / sampleRate).toFixed(1)} s; Start plays again`;
    stopped();
  }
}

// ---------------------------------------------------------------- drawing

// Note n sounds at 0.5 * 2^(n/12) Hz: named after the nearest tempered note.
function noteName(n) {
  const midi = Math.round(69 + 12 * Math.log2((0.5 * 2 ** (n / 12)) / 440));
  return noteNames[((midi % 12) + 12) % 12] + (Math.floor(midi / 12) - 1);
}

function draw({ notes, levels }) {
  element("key-name").textContent = noteName(notes[letters.indexOf("v")]); // V plays the key itself
  keyViews.forEach((view, k) => {
    view.querySelector("small").textContent = noteName(notes[k]);
    view.style.setProperty("--level", Math.min(1, Math.sqrt(2 * levels[k])).toFixed(2));
  });
}

function show() {
  const start = element("start");
  start.textContent = player ? "Stop" : "Start";
  element("status").textContent = message;
  element("auto-play").textContent = spaceDown ? "on" : "off";
  element("space").classList.toggle("held", spaceDown);
  // A session's score is complete once it has stopped.
  element("download-score").disabled = element("download-wav").disabled = player !== null || session.frames === 0;
}

// ---------------------------------------------------------------- downloads

// The session's length, rounded up to whole milliseconds: a render of it
// holds every frame that was played.
const playedMs = () => Math.ceil((session.frames * 1000) / sampleRate);

function scoreText() {
  return [
    `# pluck, played in the browser: ${session.frames} frames, ${playedMs()} ms. To hear it again:`,
    `#   pluck-render pluck.score -o pluck.wav --length ${playedMs()}`,
    ...session.lines,
    "",
  ].join("\n");
}

// Plays a score (its bytes) for `lengthMs` through the worklet in an
// offline context: {samples} (interleaved frames) or {error}.
export async function renderOffline(score, lengthMs) {
  const frames = frameAtMs(lengthMs);
  const context = new OfflineAudioContext(2, Math.max(frames, 1), sampleRate);
  await context.audioWorklet.addModule("worklet.js");
  const node = await playerNode(context, { score });
  let error = null;
  node.port.onmessage = ({ data }) => (error = data.error ?? error);
  node.connect(context.destination);
  const rendered = await context.startRendering();
  if (error) {
    return { error };
  }
  const [left, right] = [rendered.getChannelData(0), rendered.getChannelData(1)];
  const samples = new Float32Array(2 * frames);
  for (let i = 0; i < frames; i++) {
    samples[2 * i] = left[i];
    samples[2 * i + 1] = right[i];
  }
  return { samples };
}

function save(parts, type, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob(parts, { type }));
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

async function saveWav() {
  const button = element("download-wav");
  button.disabled = true;
  button.textContent = "Rendering…";
  const { samples, error } = await renderOffline(new TextEncoder().encode(scoreText()), playedMs());
  button.textContent = "Download WAV";
  if (error) {
    message = `Cannot render the score: ${error}`;
  } else {
    save([wavHeader(samples.length / 2), samples], "audio/wav", "pluck.wav");
  }
  show();
}

// ---------------------------------------------------------------- input

document.addEventListener("keydown", (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) {
    return;
  }
  if (event.key === "Escape") {
    stop();
    return;
  }
  const key = letters.indexOf(event.key.toLowerCase());
  if (!player || (key < 0 && event.key !== " ")) {
    return; // before Start, keys work the page as usual
  }
  event.preventDefault();
  if (event.repeat) {
    return;
  }
  if (key >= 0) {
    press(key);
  } else {
    setSpace(true);
  }
});
document.addEventListener("keyup", (event) => {
  if (event.key === " " && player) {
    event.preventDefault();
    setSpace(false);
  }
});
// A key released in another window is never seen here.
window.addEventListener("blur", () => setSpace(false));

keyViews.forEach((view, key) =>
  view.addEventListener("pointerdown", (event) => {
    event.preventDefault();
    press(key);
  }),
);
const space = element("space");
space.addEventListener("pointerdown", (event) => {
  event.preventDefault();
  space.setPointerCapture(event.pointerId);
  setSpace(true);
});
for (const type of ["pointerup", "pointercancel", "lostpointercapture"]) {
  space.addEventListener(type, () => setSpace(false));
}

element("start").addEventListener("click", () => (player ? stop() : start()));
element("download-score").addEventListener("click", () => save([scoreText()], "text/plain", "pluck.score"));
element("download-wav").addEventListener("click", saveWav);

moduleBytes.then(
  () => {
    element("start").disabled = false;
    element("start").focus(); // Enter starts
    message = "Ready: press Start";
    performance.mark("pluck-ready");
    show();
  },
  (error) => {
    message = `Cannot load the instrument: ${error.message}`;
    show();
  },
);
show();
