// What the web tests share: the builds under test, the real pluck-render,
// exact reading of float WAV files, the site served on 127.0.0.1 by the
// server the README names, and a headless Chromium from Debian.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

import puppeteer from "puppeteer-core";

export const root = fileURLToPath(new URL("../..", import.meta.url));
export const siteDir = process.env.PLUCK_WEB_SITE ?? path.join(root, "build/web/site");
export const pluckRenderPath = process.env.PLUCK_RENDER ?? path.join(root, "build/release/pluck_render/pluck-render");
const chromium = "/usr/bin/chromium";
for (const file of [path.join(siteDir, "pluck.wasm"), pluckRenderPath, chromium]) {
  assert.ok(fs.existsSync(file), `${file} is missing: build the release and web presets (scripts/test)`);
}

// A fresh directory for the test's files, removed when the process ends.
export const dir = fs.mkdtempSync(path.join(os.tmpdir(), "pluck-web-test-"));
process.on("exit", () => fs.rmSync(dir, { recursive: true, force: true }));

// A score file of the test's, holding `text`.
export function scoreFile(name, text) {
  fs.writeFileSync(path.join(dir, name), text);
  return path.join(dir, name);
}

// The command line that runs pluck-render or the node renderer with `args`.
export const commandOf = (program, args) =>
  program === "pluck-render"
    ? [pluckRenderPath, ...args]
    : [process.execPath, path.join(root, "web/render.mjs"), ...args];

// Runs pluck-render or the node renderer (with spawnSync's `options`
// besides): {status, stderr}.
export function render(program, args, input, options = {}) {
  const [command, ...rest] = commandOf(program, args);
  const { status, stderr } = spawnSync(command, rest, { input, encoding: "utf8", ...options });
  return { status, stderr };
}

// The WAV file `program` renders from `score` (with `args` besides).
export function renderedFile(program, score, args = []) {
  const wav = path.join(dir, `${path.basename(score)}.${program}.wav`);
  const { status, stderr } = render(program, [score, "-o", wav, ...args]);
  assert.equal(status, 0, `${program}: ${stderr}`);
  return wav;
}

// The samples of a stereo 44.1 kHz 32-bit float WAV file, exactly as stored,
// once every size and rate in its header agrees with the file. Chunks are
// read as a WAV reader must (any order, padded to even sizes).
export function readWav(file) {
  const bytes = fs.readFileSync(file);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const tag = (at) => bytes.toString("latin1", at, at + 4);
  const [u16, u32] = [(at) => view.getUint16(at, true), (at) => view.getUint32(at, true)];
  assert.equal(`${tag(0)} ${u32(4)} ${tag(8)}`, `RIFF ${bytes.length - 8} WAVE`, file);
  let format = null; // format tag, channels, rate, bytes per second, per frame, bits
  for (let at = 12, size = 0; at + 8 <= bytes.length; at += 8 + size + (size % 2)) {
    size = u32(at + 4);
    if (tag(at) === "fmt ") {
      format = [u16(at + 8), u16(at + 10), u32(at + 12), u32(at + 16), u16(at + 20), u16(at + 22)];
    } else if (tag(at) === "data") {
      assert.equal(String(format), "3,2,44100,352800,8,32", `${file}: format`);
      assert.equal(at + 8 + size, bytes.length, `${file}: the data chunk ends the file`);
      return new Float32Array(bytes.buffer.slice(bytes.byteOffset + at + 8, bytes.byteOffset + bytes.length));
    }
  }
  assert.fail(`${file} has no data chunk`);
}

// Asserts that two sample arrays hold the same bits.
export function assertSameBits(actual, expected, what) {
  const [a, b] = [actual, expected].map((s) => new Uint32Array(s.buffer, s.byteOffset, s.length));
  const at = a.findIndex((bits, i) => bits !== b[i]);
  assert.ok(at < 0 && a.length === b.length, `${what}: ${a.length} samples, ${b.length} expected, differing at ${at}`);
}

// Asserts that two files hold the same bytes.
export function assertSameFile(actual, expected, what) {
  assert.ok(fs.readFileSync(actual).equals(fs.readFileSync(expected)), `${what}: the bytes differ`);
}

// The site served by `python3 -m http.server` on a free port of 127.0.0.1.
export async function serveSite() {
  const server = spawn("python3", ["-u", "-m", "http.server", "--bind", "127.0.0.1", "0"], {
    cwd: siteDir,
    stdio: ["ignore", "pipe", "ignore"],
  });
  // The stream stays open: a closed pipe would end the server at its next line.
  const port = await new Promise((resolve, reject) => {
    server.stdout.on("data", (text) => {
      const match = /port (\d+)/.exec(String(text));
      return match && resolve(match[1]);
    });
    server.on("exit", (status) => reject(new Error(`http.server ended (status ${status})`)));
  });
  return { url: `http://127.0.0.1:${port}/`, close: () => server.kill() };
}

// Debian's Chromium, headless (or in a window on the X display, for
// measuring with real key events), with a profile of its own and no traffic
// but the page's.
export function launchBrowser({ headed = false } = {}) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: !headed,
    userDataDir: path.join(dir, "profile"),
    args: [
      "--no-sandbox",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-sync",
      ...(headed ? ["--window-position=0,0", "--window-size=800,600"] : ["--disable-gpu"]),
    ],
  });
}
