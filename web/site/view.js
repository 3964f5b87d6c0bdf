// How the page shows the instrument: the keys named after the notes they
// play and lit as their strings ring, the key's readout, and the clip light.
// The readouts are a live region: text changes only when it must, since a
// screen reader announces every change.

// The note keys in the instrument's order (key k plucks string k), as the
// score names them.
export const letters = ["z", "x", "c", "v", "b", "n", "m", "k"];
const noteNames = ["C", "C♯", "D", "D♯", "E", "F", "F♯", "G", "G♯", "A", "A♯", "B"];
// Clip light: on while the output passes full scale, and this long after.
const clipHoldMs = 500;

export const element = (id) => document.getElementById(id);
export const keyViews = letters.map((letter) => document.querySelector(`.key[data-letter="${letter}"]`));
let clipUntil = 0;

// Note n sounds at 0.5 * 2^(n/12) Hz: named after the nearest tempered note.
function noteName(n) {
  const midi = Math.round(69 + 12 * Math.log2((0.5 * 2 ** (n / 12)) / 440));
  return noteNames[((midi % 12) + 12) % 12] + (Math.floor(midi / 12) - 1);
}

export function setText(view, text) {
  if (view.textContent !== text) {
    view.textContent = text;
  }
}

// A status from the worklet: the keys' notes, their strings' levels, and
// the loudest sample, which `gain` makes what is heard.
export function draw({ notes, levels, peak }, gain) {
  setText(element("key-name"), noteName(notes[letters.indexOf("v")])); // V plays the key itself
  keyViews.forEach((view, k) => {
    setText(view.querySelector("small"), noteName(notes[k]));
    view.style.setProperty("--level", Math.min(1, Math.sqrt(2 * levels[k])).toFixed(2));
  });
  if (peak * gain > 1) {
    clipUntil = performance.now() + clipHoldMs;
  }
  showClip();
}

export function clearLights() {
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
