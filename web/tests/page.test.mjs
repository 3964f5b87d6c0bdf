// The page in headless Chromium, served over http as a player would have
// it: it loads cleanly, fits a phone and reads well in both colour schemes,
// and played with real
// key events (a press, Space held for a second, a repeat, a tap on an
// on-screen key, a screen reader's click, Enter and Space on a focused key,
// focus lost, Escape, Start again) produces live output and downloads equal
// to pluck-render's of the downloaded score. Keys land a constant latency
// after they are pressed; a suspended context says so and records nothing
// unheard; a long session's WAV is rendered in parts, in little memory.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { after, afterEach, before, test } from "node:test";

import { assertSameBits, assertSameFile, dir, launchBrowser, pluckRenderPath, readWav, renderedFile, scoreFile, serveSite, siteDir } from "./harness.mjs";

let site;
let browser;
let page;
const problems = []; // console errors, page errors, failed requests

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// Opens the page at `url` and waits for it to be ready to play.
const ready = (url = site.url) => page.goto(url).then(() => page.waitForSelector("#start:not([disabled])"));

// Installed before the page's scripts: the worklet's processor also posts
// a copy of every quantum it renders, which collect in window.captured,
// interleaved, one list per live (not offline) session; the live context
// is window.liveContext, whose frame window.origin played the session's
// frame 0; letter keys pressed fell at window.keyTimes on the clock of what
// is heard (the context's, in seconds).
function captureLiveOutput() {
  window.keyTimes = [];
  const heard = (time, { contextTime, performanceTime } = window.liveContext.getOutputTimestamp()) =>
    contextTime + (time - performanceTime) / 1000;
  document.addEventListener("keydown", (e) => /^[a-z]$/.test(e.key) && window.keyTimes.push(heard(e.timeStamp)), true);
  if (!window.AudioWorklet) return; // not the page (about:blank)
  const capture = `const register = registerProcessor;
    registerProcessor = (name, Processor) => register(name, class extends Processor {
      process(inputs, outputs) {
        if (this.origin === null) this.port.postMessage({ origin: currentFrame });
        const rendered = super.process(inputs, outputs);
        if (rendered) this.port.postMessage({ capture: outputs[0].map((channel) => channel.slice()) });
        return rendered;
      }
    });`;
  const url = URL.createObjectURL(new Blob([capture], { type: "text/javascript" }));
  const addModule = AudioWorklet.prototype.addModule;
  AudioWorklet.prototype.addModule = async function (...args) {
    await addModule.call(this, url);
    return addModule.apply(this, args);
  };
  window.captured = [];
  window.AudioWorkletNode = class extends AudioWorkletNode {
    constructor(...args) {
      super(...args);
      if (this.context instanceof AudioContext) {
        window.liveContext = this.context;
        const samples = [];
        window.captured.push(samples);
        this.port.addEventListener("message", ({ data: { capture, origin } }) => {
          window.origin = origin ?? window.origin;
          capture?.[0].forEach((sample, i) => samples.push(sample, capture[1][i]));
        });
      }
    }
  };
}

// Samples from the page, passed as their bits (numbers would lose -0).
const fromBits = (bits) => new Float32Array(new Uint32Array(bits).buffer);
const captured = async (i) =>
  fromBits(await page.evaluate((i) => [...new Uint32Array(new Float32Array(window.captured[i]).buffer)], i));

// The page's WAV download, kept as `keep`.
const downloadWav = (keep) => page.click("#download-wav").then(() => download("pluck.wav", keep));

// Waits for the page's download `name` and moves it to `keep`.
async function download(name, keep) {
  const file = path.join(dir, "downloads", name);
  for (let waited = 0; !fs.existsSync(file); waited += 50) {
    assert.ok(waited < 20000, `${name} was not downloaded`);
    await pause(50);
  }
  fs.renameSync(file, (keep = path.join(dir, keep)));
  return keep;
}

before(async () => {
  site = await serveSite();
  browser = await launchBrowser();
  const downloads = { behavior: "allow", downloadPath: path.join(dir, "downloads") };
  await (await browser.target().createCDPSession()).send("Browser.setDownloadBehavior", downloads);
  page = await browser.newPage();
  page.on("console", (message) => message.type() === "error" && problems.push(message.text()));
  page.on("pageerror", (error) => problems.push(error.message));
  page.on("requestfailed", (request) => problems.push(`${request.url()}: ${request.failure().errorText}`));
  await page.evaluateOnNewDocument(captureLiveOutput);
});

after(() => browser?.close().then(() => site?.close()));
afterEach(() => assert.deepEqual(problems, [])); // every test's page runs cleanly

// The worst contrast of any text on the page against what is behind it,
// with the keys lit to `level`, the Space bar held and the clip light on:
// [ratio, the element].
function worstContrast(level) {
  document.querySelectorAll(".key").forEach((key) => key.style.setProperty("--level", level));
  [["#space", "held"], ["#clip", "on"]].forEach(([id, lit]) => document.querySelector(id).classList.add(lit));
  const rgba = (css, v = css.match(/[\d.]+/g).map(Number)) => [...v.slice(0, 3).map((x) => x * (css[0] === "c" ? 255 : 1)), v[3] ?? 1];
  const channel = (x) => ((x /= 255) <= 0.03928 ? x / 12.92 : ((x + 0.055) / 1.055) ** 2.4);
  const luminance = ([r, g, b]) => 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b);
  const background = (e) => rgba(getComputedStyle(e).backgroundColor);
  const behind = (e) => (background(e)[3] > 0 || !e.parentElement ? background(e) : behind(e.parentElement));
  let worst = [Infinity, ""];
  for (const e of document.querySelectorAll("main *")) {
    if (e.checkVisibility() && [...e.childNodes].some((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim())) {
      const [a, b] = [luminance(rgba(getComputedStyle(e).color)), luminance(behind(e))];
      const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
      worst = ratio < worst[0] ? [ratio, e.outerHTML.slice(0, 50)] : worst;
    }
  }
  return worst;
}

test("the page loads cleanly, fits a phone and reads well", async () => {
  for (const [width, height, scheme] of [[1000, 700, "light"], [360, 740, "dark"]]) {
    await page.setViewport({ width, height });
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
    await ready();
    const layout = await page.evaluate(() => ({
      overflow: document.documentElement.scrollWidth - window.innerWidth,
      keysBottom: document.querySelector("#space").getBoundingClientRect().bottom,
      names: [...document.querySelectorAll(".key small")].map((name) => name.textContent).join(" "),
      smallestTarget: Math.min(
        ...[...document.querySelectorAll("button, input")].flatMap((e) => (e.hidden ? [] : [e.offsetWidth, e.offsetHeight])),
      ),
    }));
    const where = `${width} px wide, ${scheme}`;
    assert.ok(layout.overflow <= 0, `${where}: ${layout.overflow} px too wide`);
    assert.ok(layout.keysBottom <= height, `${where}: the keys end below the screen`);
    assert.match(layout.names, /^(\S+ ){7}\S+$/, `${where}: the keys are named before Start`);
    assert.ok(layout.smallestTarget >= 44, `${where}: a ${layout.smallestTarget} px touch target`);
    for (const level of [0, 0.5, 1]) {
      const [ratio, what] = await page.evaluate(worstContrast, level);
      assert.ok(ratio >= 4.5, `${where}, keys lit to ${level}: ${ratio.toFixed(2)}:1 for ${what}`);
    }
  }
  await page.emulateMediaFeatures([]);
});

// Starts a session with the Start button (or Enter, which it has as focus)
// and stops it with Escape after `play`; the score, the frames it says were
// played and the actions in it, once the frames are checked against the
// captured live output.
async function session(play, { startKey = null, capture = 0 } = {}) {
  await page.waitForSelector("#start:not([disabled])");
  await (startKey ? page.keyboard.press(startKey) : page.click("#start"));
  await page.waitForFunction(() => document.querySelector("#status").textContent === "Playing");
  await pause(200);
  await play();
  await page.keyboard.press("Escape");
  await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("Stopped"));
  await page.$eval("#download-score", (button) => button.click()); // the focus stays on Start
  const score = await download("pluck.score", `live-${capture}.score`);
  const text = fs.readFileSync(score, "utf8");
  const [, frames, lengthMs] = /(\d+) frames, (\d+) ms/.exec(text);
  assert.equal(Number(frames), (await captured(capture)).length / 2, "the score's length: the frames played");
  const events = text.split("\n").filter((line) => /^\d/.test(line)).map((line) => line.split(" "));
  return { score, frames, lengthMs, events };
}

test("played with real keys, the live output and the downloads are pluck-render's", async () => {
  await page.setViewport({ width: 800, height: 600 });
  await page.goto(site.url);
  const events = [];
  for (const [i, play] of [playFirstSession, playSecondSession].entries()) {
    const played = await session(play, { capture: i });
    const expected = renderedFile("pluck-render", played.score, ["--length", played.lengthMs]);
    assertSameFile(await downloadWav(`live-${i}.wav`), expected, `session ${i}: the WAV`);
    assertSameBits(await captured(i), readWav(expected).subarray(0, 2 * played.frames), `session ${i}, live`);
    events.push(played.events);
  }
  const [first, second] = events;
  assert.equal(first.map(([, action]) => action).join(" "), "v space-down space-up z n m b b space-down space-up");
  const held = first[2][0] - first[1][0];
  assert.ok(held >= 900 && held < 3000, `Space held ${held} ms`); // audio time, in whole quanta
  assert.deepEqual(second.map(([, action]) => action), ["k"]);
  assert.ok(second[0][0] < 2000, "a new session starts at 0 ms");
});

// V; Space held for a second (the page's picture is taken meanwhile, for
// the README); Z held down long enough to repeat; a tap on the on-screen N;
// M activated as a screen reader does (a click, no pointer); B focused and
// played with Enter, then Space; Space held as the window loses focus (it
// is let go elsewhere, unseen).
async function playFirstSession() {
  await page.keyboard.press("v");
  await page.keyboard.down(" ");
  const held = Date.now();
  await pause(700);
  assert.equal(await page.$eval("#space", (space) => space.getAttribute("aria-pressed")), "true");
  await page.screenshot({ path: path.join(siteDir, "..", "page.png") });
  await pause(1000 - (Date.now() - held));
  await page.keyboard.up(" ");
  await page.keyboard.down("z");
  await page.keyboard.down("z"); // a repeat: ignored
  await page.keyboard.up("z");
  await page.click('.key[data-letter="n"]');
  await page.$eval('.key[data-letter="m"]', (key) => key.click());
  await page.focus('.key[data-letter="b"]');
  await page.keyboard.press("Enter");
  await page.keyboard.press(" ");
  await page.$eval('.key[data-letter="b"]', (key) => key.blur());
  await page.keyboard.down(" ");
  await pause(300);
  await page.evaluate(() => window.dispatchEvent(new Event("blur")));
  await pause(500);
}

// Start again: a new session from 0 ms, with the Space let go elsewhere
// not heard.
const playSecondSession = () => page.keyboard.up(" ").then(() => page.keyboard.press("k")).then(() => pause(500));

// Keys pressed at uneven gaps land at the same latency after each, to the
// millisecond; then the context is suspended (as a phone does on a call):
// the page says so, the key that resumes it is not played, and the next
// one is. Escape puts the lights out, and Enter starts again.
test("keys land a constant latency after they are pressed; a suspended session records nothing unheard", async () => {
  await page.goto(site.url);
  const gaps = [37, 113, 61, 7, 89, 151, 23, 71, 131, 43, 97, 11, 59, 17, 173, 29];
  const played = await session(async () => {
    for (const [i, gap] of gaps.entries()) {
      await page.keyboard.press("zxcvbnmk"[i % 8]).then(() => pause(gap));
    }
    await page.evaluate(() => window.liveContext.suspend());
    await page.waitForFunction(() => /tap to resume/.test(document.querySelector("#status").textContent));
    await page.keyboard.press("z");
    await page.waitForFunction(() => document.querySelector("#status").textContent === "Playing");
    await page.keyboard.press("x").then(() => pause(300));
  }, { startKey: "Enter" });
  const lit = (keys) => keys.map((key) => key.style.getPropertyValue("--level")).join("");
  assert.match(await page.$$eval(".key", lit), /^0+$/, "Escape puts out the keys' lights");
  assert.equal(played.events.map(([, action]) => action).join(""), "zxcvbnmk".repeat(2) + "x");
  // From key to landing on the clock of what is heard: a constant, to ±1
  // ms, but for a key or two that a loaded machine delays past the latency.
  const [times, origin] = await page.evaluate((n) => [window.keyTimes.slice(0, n), window.origin], gaps.length);
  const heard = (ms) => (origin + Math.floor((ms * 44100) / 1000)) / 44.1;
  const offsets = times.map((time, i) => heard(played.events[i][0]) - 1000 * time).sort((a, b) => a - b);
  const median = offsets[gaps.length / 2];
  const inTime = offsets.filter((offset) => Math.abs(offset - median) <= 1).length;
  const around = offsets.map((offset) => (offset - median).toFixed(1)).join(" ");
  assert.ok(inTime >= gaps.length - 2, `${inTime} of ${gaps.length} keys land within ±1 ms: ${around}`);
  await session(() => pause(200), { startKey: "Enter", capture: 1 });
});

// An hour of auto-play is a 1.27 GB file: the page renders it a part at a
// time in a worker. Five minutes here, against a bound that holding the
// whole file (212 MB for the samples alone) would break.
test("a long session's WAV is rendered in parts in little memory, to pluck-render's bytes", async () => {
  await ready();
  const heaps = [await page.createCDPSession()];
  page.on("workercreated", (worker) => heaps.push(worker.client));
  let [peak, progressShown] = [0, false];
  const heapUsed = (cdp) => cdp.send("Runtime.getHeapUsage").then((h) => h.usedSize + h.backingStorageSize, () => 0);
  const sample = setInterval(async () => {
    peak = Math.max(peak, (await Promise.all(heaps.map(heapUsed))).reduce((sum, bytes) => sum + bytes, 0));
    progressShown ||= await page.$eval("#progress", (bar) => !bar.hidden && bar.value > 0 && bar.value < 1);
  }, 100);
  const lengthMs = 300000;
  const score = scoreFile("long.score", `0 space-down\n${lengthMs - 3000} space-up\n`);
  const save = async (text, ms) => (await import("./page.js")).saveScoreWav(new TextEncoder().encode(text), ms);
  await page.evaluate(save, fs.readFileSync(score, "utf8"), lengthMs);
  clearInterval(sample);
  assertSameFile(await download("pluck.wav", "long.wav"), renderedFile("pluck-render", score, ["--length", `${lengthMs}`]), "WAV");
  // V8 collects the parts' spent buffers in batches of tens of megabytes.
  assert.ok(peak < 128 * 2 ** 20, `${(peak / 2 ** 20).toFixed(1)} MB of JS heap`);
  assert.ok(progressShown, "the progress bar showed the render going");
});

// A score opened from a file plays at once, exactly, and its WAV is
// pluck-render's; shared, its link opened elsewhere plays it again as
// exactly. A bad score is answered with pluck-render's own line.
test("a score opened or shared replays to pluck-render's bits; a bad one gets pluck-render's message", async () => {
  const score = scoreFile("replay.score", "# a score\n0 v\n250 space-down\n1500 space-up\n1700 z\n1701 k\n");
  const expected = renderedFile("pluck-render", score);
  const bad = scoreFile("bad.score", "0 v\n12 pluck\n");
  const said = spawnSync(pluckRenderPath, ["bad.score", "-o", "bad.wav"], { cwd: dir, encoding: "utf8" }).stderr;
  await ready();
  // As a player opens one: the button, then the browser's file chooser (a
  // gesture, which the browser asks of a page before it lets it sound).
  const open = async (file) => {
    const [chooser] = await Promise.all([page.waitForFileChooser(), page.click("#open-score")]);
    await chooser.accept([file]);
  };
  await open(bad);
  await page.waitForFunction((line) => document.querySelector("#status").textContent === line, {}, said.trim());
  let link = null;
  for (const [i, play] of [() => open(score), () => page.click("#start")].entries()) {
    if (link) {
      await page.goto("about:blank");
      await ready(link);
    }
    await play();
    await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("Stopped"));
    const samples = readWav(expected);
    assertSameBits((await captured(0)).subarray(0, samples.length), samples, `replay ${i}, live`);
    assertSameFile(await downloadWav(`replay-${i}.wav`), expected, `replay ${i}: the WAV`);
    await page.click("#share");
    // The link is made (compressed) after the click: wait for it.
    await page.waitForFunction(() => location.hash.length > 1);
    link = await page.evaluate(() => location.href);
  }
});

// After one visit the page plays with its server gone; from a file it says
// how to open it instead.
test("the page plays offline after one visit, and says how to open it from a file", async () => {
  await page.goto(site.url);
  await page.evaluate(() => navigator.serviceWorker.ready);
  site.close();
  await page.reload();
  await session(() => page.keyboard.press("v"));
  const fromFile = await browser.newPage();
  await fromFile.goto(`file://${path.join(siteDir, "index.html")}`);
  const said = (origin) => (origin.hidden ? "" : origin.textContent);
  assert.match(await fromFile.$eval("#origin", said), /over http from this machine .* or over https/s);
});
