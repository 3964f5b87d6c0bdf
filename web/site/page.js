// The page around the instrument: Start (a browser plays sound only after a
// gesture), the keyboard and the on-screen keys turned into presses and
// Space, each landing a constant latency after its key on the audio clock,
// the keys lit as their strings ring, the volume of what is heard, and the
// session kept as a score to download, with its WAV rendered from that score.
import { createInstrument, frameAtMs, sampleRate } from "./instrument.js";

// The note keys in the instrument's order (key k plucks string k), as the
// score names them.
const letters = ["z", "x", "c", "v", "b", "n", "m", "k"];
const noteNames = ["C", "C♯", "D", "D♯", "E", "F", "F♯", "G", "G♯", "A", "A♯", "B"];
// How long the sound takes to fade out on Stop, on the live path only.
const fadeSeconds = 0.02;
// Clip light: on while the output passes full scale, and this long after.
const clipHoldMs = 500;
const volumeKey = "pluck-volume";

const element = (id) => document.getElementById(id);
const keyViews = letters.map((letter) => document.querySelector(`.key[data-letter="${letter}"]`));

// Fetched once; every player compiles its own copy in its worklet.
const moduleBytes = fetch("pluck.wasm").then((response) => {
  if (!response.ok) {
    throw new Error(`pluck.wasm: ${response.status} ${response.statusText}`);
  }
  return response.arrayBuffer();
});

// {context, node, gain, latency} from Start until the sound stops; `node`
// once the worklet plays.
let player = null;
let spaceDown = false;
let session = { lines: [], frames: 0 }; // the score of the current or last session
let message = "Loading…";
let clipUntil = 0;

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

// The output's gain for the volume slider (0-100): a square law, so that
// the slider's middle is about a quarter as loud.
const volumeGain = () => (element("volume").value / 100) ** 2;

async function start() {
  if (player) {
    return;
  }
  player = {};
  session = { lines: [], frames: 0 };
  spaceDown = false;
  clearLights();
  document.activeElement?.blur(); // Space must not press a focused button
  try {
    const context = new AudioContext({ sampleRate, latencyHint: "interactive" });
    player.context = context;
    context.onstatechange = show;
    await context.audioWorklet.addModule("worklet.js");
    const node = await playerNode(context, {});
    node.port.onmessage = ({ data }) => heard(data);
    node.onprocessorerror = () => {
      message = "The instrument failed in the audio worklet";
      stopped();
    };
    // The volume acts after the instrument: what is heard, never the score.
    player.gain = new GainNode(context, { gain: volumeGain() });
    node.connect(player.gain).connect(context.destination);
    await context.resume();
    // Input lands this long after its key, on the clock of the sound that
    // is heard: past the output's own delay, one device callback, and a
    // little for the message to reach the audio thread.
    player.latency = context.outputLatency + 2 * context.baseLatency + 0.004;
    player.node = node;
    message = "Playing";
  } catch (error) {
    player.context?.close();
    player = null;
    message = `Cannot play: ${error.message}`;
  }
  show();
}

const running = () => player?.node && player.context.state === "running";

// Escape or Stop: the sound fades out, then the worklet stops after the
// quantum it is in and says how much it played (the session's length);
// then the sound is closed.
function stop() {
  if (!player?.node || player.stopping) {
    return; // not playing, still starting, or already stopping
  }
  player.stopping = true;
  const { context, gain, node } = player;
  if (context.state === "running") {
    gain.gain.setValueAtTime(gain.gain.value, context.currentTime);
    gain.gain.linearRampToValueAtTime(0, context.currentTime + fadeSeconds);
    setTimeout(() => node.port.postMessage({ stop: true }), 1000 * fadeSeconds + 10);
  } else {
    node.port.postMessage({ stop: true }); // the worklet hears it, suspended or not
  }
}

// The sound is over: closed, its lights out, and ready to start again.
function stopped() {
  player.context.close();
  player = null;
  spaceDown = false;
  clearLights();
  show();
  element("start").focus(); // Enter starts again
}

// Where input from `event` lands: the context's frame a constant latency
// after the event, on the clock of what is heard (none before that clock
// runs: the next millisecond then).
function landing(event) {
  const { contextTime, performanceTime } = player.context.getOutputTimestamp();
  if (!performanceTime) {
    return undefined;
  }
  return (contextTime + (event.timeStamp - performanceTime) / 1000 + player.latency) * sampleRate;
}

// Input is sent only while the sound runs: a key pressed while the context
// is suspended is never heard, so it is never in the score.
function press(key, event) {
  if (running()) {
    player.node.port.postMessage({ key, atFrame: landing(event) });
  }
}

function setSpace(down, event) {
  if (down !== spaceDown && running()) {
    spaceDown = down;
    player.node.port.postMessage({ space: down, atFrame: landing(event) });
    show();
  }
}

// What the worklet reports: input with the millisecond it landed on, how
// the strings ring, and the end. Every report but the end counts the
// frames played so far.
function heard(report) {
  session.frames = report.frames ?? session.frames;
  if (report.at !== undefined) {
    const action = report.key !== undefined ? letters[report.key] : `space-${report.space ? "down" : "up"}`;
    session.lines.push(`${report.at} ${action}`);
  } else if (report.notes !== undefined) {
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

// Sets an element's text only when it changes: the readouts are a live
// region, and a screen reader announces every change.
function setText(view, text) {
  if (view.textContent !== text) {
    view.textContent = text;
  }
}

function draw({ notes, levels, peak }) {
  setText(element("key-name"), noteName(notes[letters.indexOf("v")])); // V plays the key itself
  keyViews.forEach((view, k) => {
    setText(view.querySelector("small"), noteName(notes[k]));
    view.style.setProperty("--level", Math.min(1, Math.sqrt(2 * levels[k])).toFixed(2));
  });
  if (peak !== undefined && peak * volumeGain() > 1) {
    clipUntil = performance.now() + clipHoldMs;
  }
  showClip();
}

function clearLights() {
  keyViews.forEach((view) => view.style.setProperty("--level", 0));
  clipUntil = 0;
  showClip();
}

function showClip() {
  const clipping = performance.now() < clipUntil;
  const clip = element("clip");
  if (clip.classList.contains("on") !== clipping) {
    clip.classList.toggle("on", clipping);
    clip.setAttribute("aria-label", clipping ? "Output past full scale: turn the volume down" : "Output within full scale");
  }
}

function show() {
  element("start").textContent = player ? "Stop" : "Start";
  const paused = player?.node && !running() && !player.stopping;
  element("status").textContent = paused ? "Paused by the browser or the system: tap to resume" : message;
  element("status").classList.toggle("paused", Boolean(paused));
  element("auto-play").textContent = spaceDown ? "on" : "off";
  element("space").classList.toggle("held", spaceDown);
  element("space").setAttribute("aria-pressed", String(spaceDown));
  // A session's score is complete once it has stopped.
  element("download-score").disabled = element("download-wav").disabled = player !== null || session.frames === 0;
}

// A tap or key while the sound is suspended resumes it, and does nothing
// else.
function resumed(event) {
  const stops = event.target === element("start") || event.key === "Escape";
  if (player?.node && !running() && !player.stopping && !stops) {
    event.preventDefault();
    event.stopImmediatePropagation();
    player.context.resume().then(show, show);
    return true;
  }
  return false;
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

// Renders a score (its bytes) for `lengthMs` to a WAV file in a worker, a
// part at a time, showing its progress, and downloads it.
export async function saveScoreWav(score, lengthMs) {
  const progress = element("progress");
  progress.value = 0;
  progress.hidden = false;
  const worker = new Worker("wav-worker.js", { type: "module" });
  const { wav, error } = await new Promise((resolve, reject) => {
    worker.onmessage = ({ data }) => (data.progress !== undefined ? (progress.value = data.progress) : resolve(data));
    worker.onerror = (event) => reject(new Error(event.message));
    moduleBytes.then((module) => worker.postMessage({ module, score, lengthMs }));
  }).finally(() => {
    worker.terminate();
    progress.hidden = true;
  });
  if (error) {
    message = `Cannot render the score: ${error}`;
  } else {
    save([wav], "audio/wav", "pluck.wav");
  }
}

async function saveWav() {
  const button = element("download-wav");
  button.disabled = true;
  button.textContent = "Rendering…";
  try {
    await saveScoreWav(new TextEncoder().encode(scoreText()), playedMs());
  } catch (error) {
    message = `Cannot render the score: ${error.message}`;
  }
  button.textContent = "Download WAV";
  show();
}

// ---------------------------------------------------------------- input

document.addEventListener(
  "keydown",
  (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey || resumed(event)) {
      return;
    }
    if (event.key === "Escape") {
      stop();
      return;
    }
    const key = letters.indexOf(event.key.toLowerCase());
    const activates = event.key === " " || event.key === "Enter";
    if (!player || (key < 0 && !activates)) {
      return; // before Start, keys work the page as usual
    }
    // Space or Enter on a focused on-screen key plays it, as a click would;
    // elsewhere Space holds auto-play, and Enter works the page as usual.
    const focusedKey = keyViews.indexOf(event.target);
    if (key < 0 && focusedKey < 0 && event.key === "Enter") {
      return;
    }
    event.preventDefault();
    if (event.repeat) {
      return;
    }
    if (key >= 0 || focusedKey >= 0) {
      press(key >= 0 ? key : focusedKey, event);
    } else {
      setSpace(true, event);
    }
  },
  true,
);
document.addEventListener("keyup", (event) => {
  if (event.key === " " && player && keyViews.indexOf(event.target) < 0) {
    event.preventDefault();
    setSpace(false, event);
  }
});
// A key released in another window is never seen here.
window.addEventListener("blur", () => setSpace(false, { timeStamp: performance.now() }));
document.addEventListener("pointerdown", resumed, true);

// A pointer plays a key as it goes down; a click that no pointer pressed
// first (a screen reader's or a switch's activation) is a press and
// release.
keyViews.forEach((view, key) => {
  view.addEventListener("pointerdown", (event) => {
    event.preventDefault();
    view.pointerPressed = true;
    press(key, event);
  });
  view.addEventListener("click", (event) => {
    if (!view.pointerPressed) {
      press(key, event);
    }
    view.pointerPressed = false;
  });
});
const space = element("space");
space.addEventListener("pointerdown", (event) => {
  event.preventDefault();
  space.setPointerCapture(event.pointerId);
  space.pointerPressed = true;
  setSpace(true, event);
});
for (const type of ["pointerup", "pointercancel", "lostpointercapture"]) {
  space.addEventListener(type, (event) => setSpace(false, event));
}
space.addEventListener("click", (event) => {
  if (!space.pointerPressed && event.detail === 0 && !spaceDown) {
    setSpace(true, event);
    setSpace(false, event);
  }
  space.pointerPressed = false;
});

const volume = element("volume");
volume.value = localStorage.getItem(volumeKey) ?? volume.value;
volume.addEventListener("input", () => {
  localStorage.setItem(volumeKey, volume.value);
  player?.gain?.gain.setTargetAtTime(volumeGain(), player.context.currentTime, 0.01);
});

element("start").addEventListener("click", () => (player ? stop() : start()));
element("download-score").addEventListener("click", () => save([scoreText()], "text/plain", "pluck.score"));
element("download-wav").addEventListener("click", saveWav);

// The keys are named from the start, by an instrument of the page's own in
// its start-up state.
// From an insecure origin the browser offers no audio worklet: the page
// says how to open it instead (see index.html).
if (window.isSecureContext && "serviceWorker" in navigator) {
  navigator.serviceWorker.register("sw.js").catch(() => {}); // the page plays without it
}
moduleBytes.then(async (bytes) => {
  if (!window.isSecureContext) {
    throw new Error("this is not a secure origin (see above)");
  }
  const instrument = createInstrument(await WebAssembly.compile(bytes));
  instrument.start();
  draw({ notes: letters.map((_, k) => instrument.keyNote(k)), levels: letters.map(() => 0) });
  element("start").disabled = false;
  element("start").focus(); // Enter starts
  message = "Ready: press Start";
  performance.mark("pluck-ready");
  show();
}).catch((error) => {
  message = `Cannot load the instrument: ${error.message}`;
  show();
});
show();
