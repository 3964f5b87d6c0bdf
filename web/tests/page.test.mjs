// The page in headless Chromium, served over http as a player would have
// it: it loads cleanly and fits a phone, renders a score offline exactly as
// pluck-render does, and played with real key events (a press, Space held
// for a second, a repeat, a tap on an on-screen key, focus lost, Escape,
// Start again) produces live output and downloads whose samples equal
// pluck-render's of the downloaded score.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";

import {
  firstDifference,
  launchBrowser,
  readWav,
  render,
  root,
  scratchDir,
  serveSite,
  siteDir,
} from "./harness.mjs";

const dir = scratchDir();
const downloads = path.join(dir, "downloads");
let site;
let browser;
let page;
const problems = []; // console errors, page errors, failed requests

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Installed before the page's scripts: the worklet's processor also posts
// a copy of every quantum it renders, which collect in window.captured,
// one list per live (not offline) session.
function captureLiveOutput() {
  const capture = `const register = registerProcessor;
    registerProcessor = (name, Processor) => register(name, class extends Processor {
      process(inputs, outputs) {
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
        const quanta = [];
        window.captured.push(quanta);
        this.port.addEventListener("message", ({ data }) => data.capture && quanta.push(data.capture));
      }
    }
  };
}

// The first `frames` frames a session played, interleaved.
async function capturedFrames(session, frames) {
  const planar = await page.evaluate((i) => window.captured[i].map((quantum) => quantum.map((c) => [...c])), session);
  const samples = new Float32Array(2 * frames);
  let at = 0;
  for (const [left, right] of planar) {
    for (let i = 0; i < left.length && at < frames; i++, at++) {
      samples[2 * at] = left[i];
      samples[2 * at + 1] = right[i];
    }
  }
  assert.equal(at, frames, "every frame played was captured");
  return samples;
}

// Waits for the page's download named `name`, moves it aside and returns
// its path.
async function download(name, keep) {
  const file = path.join(downloads, name);
  for (let waited = 0; !fs.existsSync(file); waited += 50) {
    assert.ok(waited < 20000, `${name} was not downloaded`);
    await pause(50);
  }
  const kept = path.join(dir, keep);
  fs.renameSync(file, kept);
  return kept;
}

function pluckRenderWav(score, lengthMs) {
  const wav = `${score}.wav`;
  const { status, stderr } = render("pluck-render", [score, "-o", wav, "--length", String(lengthMs)]);
  assert.equal(status, 0, stderr);
  return readWav(wav);
}

before(async () => {
  site = await serveSite();
  browser = await launchBrowser();
  const cdp = await browser.target().createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  page = await browser.newPage();
  page.on("console", (message) => message.type() === "error" && problems.push(message.text()));
  page.on("pageerror", (error) => problems.push(error.message));
  page.on("requestfailed", (request) => problems.push(`${request.url()}: ${request.failure().errorText}`));
  await page.evaluateOnNewDocument(captureLiveOutput);
});

after(async () => {
  await browser?.close();
  site?.close();
});

test("the page loads without errors and fits a phone's screen", async () => {
  for (const [width, height] of [
    [1000, 700],
    [360, 740],
  ]) {
    await page.setViewport({ width, height });
    await page.goto(site.url);
    await page.waitForSelector("#start:not([disabled])");
    const layout = await page.evaluate(() => ({
      overflow: document.documentElement.scrollWidth - window.innerWidth,
      keysBottom: document.querySelector("#space").getBoundingClientRect().bottom,
      ready: performance.getEntriesByName("pluck-ready")[0].startTime,
    }));
    assert.ok(layout.overflow <= 0, `${width} px wide: ${layout.overflow} px too wide`);
    assert.ok(layout.keysBottom <= height, `${width} px wide: the keys end below the screen`);
    console.log(`# ${width}x${height}: ready ${layout.ready.toFixed(0)} ms after navigation`);
  }
  assert.deepEqual(problems, []);
});

test("a score rendered offline in the worklet equals pluck-render's", async () => {
  const score = path.join(dir, "offline.score");
  fs.copyFileSync(path.join(root, "examples/demo.score"), score);
  fs.appendFileSync(score, "20000 space-up\n20001 z\n");
  const lengthMs = 23457;
  await page.goto(site.url);
  const samples = await page.evaluate(
    async (bytes, ms) => {
      const { renderOffline } = await import("./page.js");
      const { samples, error } = await renderOffline(new Uint8Array(bytes), ms);
      return error ?? [...new Uint32Array(samples.buffer)];
    },
    [...fs.readFileSync(score)],
    lengthMs,
  );
  const expected = pluckRenderWav(score, lengthMs);
  assert.equal(firstDifference(new Float32Array(new Uint32Array(samples).buffer), expected), -1);
  assert.deepEqual(problems, []);
});

test("played with real keys, the live output and the downloads are the score's samples", async () => {
  await page.setViewport({ width: 800, height: 600 });
  await page.goto(site.url);
  const sessions = [];
  for (const play of [playFirstSession, playSecondSession]) {
    await page.waitForSelector("#start:not([disabled])");
    await page.click("#start");
    await page.waitForFunction(() => document.querySelector("#status").textContent === "Playing");
    await pause(200);
    await play();
    await page.keyboard.press("Escape");
    await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("Stopped"));
    await page.click("#download-score");
    const score = await download("pluck.score", `live-${sessions.length}.score`);
    await page.click("#download-wav");
    const wav = await download("pluck.wav", `live-${sessions.length}.wav`);
    sessions.push({ score, wav });
  }
  for (const [i, { score, wav }] of sessions.entries()) {
    const text = fs.readFileSync(score, "utf8");
    const lengthMs = Number(/--length (\d+)/.exec(text)[1]);
    const expected = pluckRenderWav(score, lengthMs);
    const live = await capturedFrames(i, Number(/(\d+) frames/.exec(text)[1]));
    assert.equal(firstDifference(live, expected.subarray(0, live.length)), -1, `session ${i}, live`);
    assert.equal(firstDifference(readWav(wav), expected), -1, `session ${i}, WAV`);
    sessions[i].lines = text.split("\n").filter((line) => /^\d/.test(line));
  }
  const [first, second] = sessions.map(({ lines }) => lines.map((line) => line.split(" ")));
  assert.deepEqual(
    first.map(([, action]) => action),
    ["v", "space-down", "space-up", "z", "n", "space-down", "space-up"],
  );
  const held = first[2][0] - first[1][0];
  assert.ok(held >= 900 && held < 3000, `Space held ${held} ms`); // audio time, in whole quanta
  assert.deepEqual(
    second.map(([, action]) => action),
    ["k"],
  );
  assert.ok(Number(second[0][0]) < 2000, "a new session starts at 0 ms");
  assert.deepEqual(problems, []);
});

// V; Space held for a second (the page's picture is taken meanwhile, for
// the README); Z held down long enough to repeat; a tap on the on-screen N;
// Space held as the window loses focus (it is let go elsewhere, unseen).
async function playFirstSession() {
  await page.keyboard.press("v");
  await page.keyboard.down(" ");
  const held = Date.now();
  await pause(700);
  await page.screenshot({ path: path.join(siteDir, "..", "page.png") });
  await pause(1000 - (Date.now() - held));
  await page.keyboard.up(" ");
  await page.keyboard.down("z");
  await page.keyboard.down("z"); // a repeat: ignored
  await page.keyboard.up("z");
  await page.click('.key[data-letter="n"]');
  await page.keyboard.down(" ");
  await pause(300);
  await page.evaluate(() => window.dispatchEvent(new Event("blur")));
  await pause(300);
}

async function playSecondSession() {
  await page.keyboard.up(" "); // the Space let go elsewhere: nothing to release
  await page.keyboard.press("k");
  await pause(500);
}
