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

import { assertSameBits, dir, launchBrowser, readWav, renderedSamples, root, serveSite, siteDir } from "./harness.mjs";

let site;
let browser;
let page;
const problems = []; // console errors, page errors, failed requests

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Installed before the page's scripts: the worklet's processor also posts
// a copy of every quantum it renders, which collect in window.captured,
// interleaved, one list per live (not offline) session.
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
        const samples = [];
        window.captured.push(samples);
        this.port.addEventListener("message", ({ data: { capture } }) =>
          capture?.[0].forEach((sample, i) => samples.push(sample, capture[1][i])),
        );
      }
    }
  };
}

// Samples from the page, passed as their bits (numbers would lose -0).
const fromBits = (bits) => new Float32Array(new Uint32Array(bits).buffer);

// Waits for the page's download `name` and moves it to `keep`.
async function download(name, keep) {
  const file = path.join(dir, "downloads", name);
  for (let waited = 0; !fs.existsSync(file); waited += 50) {
    assert.ok(waited < 20000, `${name} was not downloaded`);
    await pause(50);
  }
  fs.renameSync(file, path.join(dir, keep));
  return path.join(dir, keep);
}

before(async () => {
  site = await serveSite();
  browser = await launchBrowser();
  const cdp = await browser.target().createCDPSession();
  await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: path.join(dir, "downloads") });
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

test("the page loads cleanly, fits a phone and renders a score offline as pluck-render does", async () => {
  for (const [width, height] of [[1000, 700], [360, 740]]) {
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
  const score = path.join(dir, "offline.score");
  fs.writeFileSync(score, fs.readFileSync(path.join(root, "examples/demo.score"), "utf8") + "20000 space-up\n20001 z\n");
  const bits = await page.evaluate(
    async (bytes) => {
      const { renderOffline } = await import("./page.js");
      const { samples, error } = await renderOffline(new Uint8Array(bytes), 23457);
      return error ?? [...new Uint32Array(samples.buffer)];
    },
    [...fs.readFileSync(score)],
  );
  assert.ok(Array.isArray(bits), bits);
  const expected = renderedSamples("pluck-render", score, ["--length", "23457"]);
  assertSameBits(fromBits(bits), expected, "offline");
  assert.deepEqual(problems, []);
});

test("played with real keys, the live output and the downloads are the score's samples", async () => {
  await page.setViewport({ width: 800, height: 600 });
  await page.goto(site.url);
  const events = [];
  for (const [i, play] of [playFirstSession, playSecondSession].entries()) {
    await page.waitForSelector("#start:not([disabled])");
    await page.click("#start");
    await page.waitForFunction(() => document.querySelector("#status").textContent === "Playing");
    await pause(200);
    await play();
    await page.keyboard.press("Escape");
    await page.waitForFunction(() => document.querySelector("#status").textContent.startsWith("Stopped"));
    await page.click("#download-score");
    const score = await download("pluck.score", `live-${i}.score`);
    await page.click("#download-wav");
    const wav = readWav(await download("pluck.wav", `live-${i}.wav`));

    const text = fs.readFileSync(score, "utf8");
    const [, frames, lengthMs] = /(\d+) frames, (\d+) ms/.exec(text);
    const expected = renderedSamples("pluck-render", score, ["--length", lengthMs]);
    assertSameBits(wav, expected, `session ${i}, WAV`);
    const played = (i) => [...new Uint32Array(new Float32Array(window.captured[i]).buffer)];
    const live = fromBits(await page.evaluate(played, i)).subarray(0, 2 * frames);
    assertSameBits(live, expected.subarray(0, 2 * frames), `session ${i}, live`);
    events.push(text.split("\n").filter((line) => /^\d/.test(line)).map((line) => line.split(" ")));
  }
  const [first, second] = events;
  assert.equal(first.map(([, action]) => action).join(" "), "v space-down space-up z n space-down space-up");
  const held = first[2][0] - first[1][0];
  assert.ok(held >= 900 && held < 3000, `Space held ${held} ms`); // audio time, in whole quanta
  assert.deepEqual(second.map(([, action]) => action), ["k"]);
  assert.ok(second[0][0] < 2000, "a new session starts at 0 ms");
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

// Start again: a new session from 0 ms, with the Space let go elsewhere
// not heard.
async function playSecondSession() {
  await page.keyboard.up(" ");
  await page.keyboard.press("k");
  await pause(500);
}
