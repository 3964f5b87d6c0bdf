// The page around the instrument: Start (a browser plays sound only after a
// gesture), the keyboard and the on-screen keys turned into presses and
// Space, each landing a constant latency after its key on the audio clock,
// the keys lit as their strings ring, the volume of what is heard, and the
// session kept as a score to download or share, with its WAV rendered from
// that score. A score opened, dropped or shared is played the same way.
import { moduleBytes, playerNode, save, saveWav, shareLink, sharedScore } from "./files.js";
import { createInstrument, sampleRate } from "./instrument.js";
import { clearLights, draw, element, keyViews, letters, setText } from "./view.js";

// How long the sound takes to fade out on Stop, on the live path only.
const fadeSeconds = 0.02;
const volumeKey = "pluck-volume";

// {context, node, gain, latency, replay} from Start until the sound stops;
// `node` once the worklet plays.
let player = null;
let spaceDown = false;
// The score of the current or last session: played from the keys (its
// event lines), or a score's own text and length.
let session = { lines: [], frames: 0, text: null, lengthMs: undefined };
let opened = null; // a score that Start plays: {bytes, name, lengthMs}
let reader = null; // the page's own instrument, which names the keys and reads scores
let message = "Loading…";

// ---------------------------------------------------------------- sound

// The output's gain for the volume slider (0-100): a square law, so that
// the slider's middle is about a quarter as loud.
const volumeGain = () => (element("volume").value / 100) ** 2;

async function start() {
  if (player) {
    return;
  }
  player = { replay: opened };
  session = { lines: [], frames: 0, text: opened && new TextDecoder().decode(opened.bytes), lengthMs: opened?.lengthMs };
  opened = null;
  spaceDown = false;
  clearLights();
  document.activeElement?.blur(); // Space must not press a focused button
  try {
    const context = new AudioContext({ sampleRate, latencyHint: "interactive" });
    player.context = context;
    context.onstatechange = suspended;
    await context.audioWorklet.addModule("worklet.js");
    const node = await playerNode(context, player.replay ? { score: player.replay.bytes, lengthMs: session.lengthMs } : {});
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
    message = player.replay ? `Playing ${player.replay.name}` : "Playing";
  } catch (error) {
    player.context?.close();
    player = null;
    message = `Cannot play: ${error.message}`;
  }
  show();
}

const running = () => player?.node && player.context.state === "running";

// The context has stopped running (a phone's call, the page in the
// background): auto-play ends where the sound stopped, since the Space bar's
// release would go unseen meanwhile.
function suspended() {
  if (player?.node && !running() && !player.stopping && spaceDown) {
    spaceDown = false;
    player.node.port.postMessage({ space: false });
  }
  show();
}

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
  if (running() && !player.replay) {
    player.node.port.postMessage({ key, atFrame: landing(event) });
  }
}

function setSpace(down, event) {
  if (down !== spaceDown && running() && !player.replay) {
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
    draw(report, volumeGain());
  } else if (report.stopped !== undefined) {
    session.frames = report.stopped;
    message = `Stopped after ${(session.frames / sampleRate).toFixed(1)} s; Start plays again`;
    stopped();
  }
}

function show() {
  element("start").textContent = player ? "Stop" : "Start";
  const paused = player?.node && !running() && !player.stopping;
  setText(element("status"), paused ? "Paused by the browser or the system: tap to resume" : message);
  element("status").classList.toggle("paused", Boolean(paused));
  setText(element("auto-play"), spaceDown ? "on" : "off");
  element("space").classList.toggle("held", spaceDown);
  element("space").setAttribute("aria-pressed", String(spaceDown));
  // A session's score is complete once it has stopped.
  for (const id of ["download-score", "download-wav", "share"]) {
    element(id).disabled = player !== null || session.frames === 0;
  }
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

// ---------------------------------------------------------------- scores

// The session's length, rounded up to whole milliseconds: a render of it
// holds every frame that was played. A score opened plays for its own.
const playedMs = () => session.lengthMs ?? Math.ceil((session.frames * 1000) / sampleRate);

function scoreText() {
  return (
    session.text ??
    [
      `# pluck, played in the browser: ${session.frames} frames, ${playedMs()} ms. To hear it again:`,
      `#   pluck-render pluck.score -o pluck.wav --length ${playedMs()}`,
      ...session.lines,
      "",
    ].join("\n")
  );
}

// Renders a score (its bytes) for `lengthMs` to a WAV file and downloads it.
export async function saveScoreWav(score, lengthMs) {
  const button = element("download-wav");
  button.disabled = true;
  button.textContent = "Rendering…";
  try {
    const { error } = await saveWav(score, lengthMs, element("progress"));
    message = error ? `Cannot render the score: ${error}` : message;
  } catch (error) {
    message = `Cannot render the score: ${error.message}`;
  }
  button.textContent = "Download WAV";
  show();
}

// A score from a file, a drop or a link, read as pluck-render reads it: bad
// lines get its own message; a good score waits for Start, or plays now
// when `now` (a player's gesture brought it).
function openScore(bytes, name, now) {
  if (player) {
    return;
  }
  const { errorLine, error, lengthMs } = reader.parseScore(bytes);
  if (errorLine !== 0) {
    message = `${name}:${errorLine}: ${error}`;
    opened = null;
  } else {
    message = `${name}: Start plays it`;
    opened = { bytes, name, lengthMs };
  }
  show();
  if (opened && now) {
    start();
  }
}

async function share() {
  const link = await shareLink(new TextEncoder().encode(scoreText()));
  history.replaceState(null, "", link);
  if (navigator.share) {
    navigator.share({ title: "pluck", url: link }).catch(() => {});
  } else {
    await navigator.clipboard?.writeText(link).catch(() => {});
  }
  message = "The link to this score is in the address bar";
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
element("download-wav").addEventListener("click", () =>
  saveScoreWav(new TextEncoder().encode(scoreText()), playedMs()),
);
element("share").addEventListener("click", share);
element("open-score").addEventListener("click", () => element("open").click());
const readFile = async (file) => openScore(new Uint8Array(await file.arrayBuffer()), file.name, true);
element("open").addEventListener("change", ({ target }) => target.files[0] && readFile(target.files[0]));
document.addEventListener("dragover", (event) => event.preventDefault());
document.addEventListener("drop", (event) => {
  event.preventDefault();
  const file = event.dataTransfer.files[0];
  return file && readFile(file);
});

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
  reader = createInstrument(await WebAssembly.compile(bytes));
  reader.start();
  draw({ notes: letters.map((_, k) => reader.keyNote(k)), levels: letters.map(() => 0), peak: 0 }, 1);
  message = "Ready: press Start";
  const shared = await sharedScore().catch((error) => {
    message = `Cannot open the link: ${error.message}`;
  });
  if (shared) {
    openScore(shared, "the shared score", false);
  }
  // Playable only once a shared score has been read: a file opened before
  // then would have its answer overwritten by the link's.
  element("start").disabled = false;
  element("start").focus(); // Enter starts
  performance.mark("pluck-ready");
  show();
}).catch((error) => {
  message = `Cannot load the instrument: ${error.message}`;
  show();
});
show();
