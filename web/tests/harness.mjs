// What the web tests share: the builds under test, the real pluck-render,
// exact reading of float WAV files, the site served on 127.0.0.1 by the
// server the README names, and a headless Chromium from Debian.
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

import puppeteer from "puppeteer-core";

export const root = fileURLToPath(new URL("../..", import.meta.url));
export const siteDir = process.env.PLUCK_WEB_SITE ?? path.join(root, "build/web/site");
export const pluckRender = process.env.PLUCK_RENDER ?? path.join(root, "build/release/tools/pluck-render");
const nodeRender = path.join(root, "web/render.mjs");
const chromium = "/usr/bin/chromium";

for (const [file, what] of [
  [path.join(siteDir, "pluck.wasm"), "the web build (cmake --preset web && cmake --build --preset web)"],
  [pluckRender, "the release build's pluck-render (cmake --build --preset release)"],
  [chromium, "Debian's chromium (scripts/install-deps)"],
]) {
  if (!fs.existsSync(file)) {
    throw new Error(`${file} is missing: these tests need ${what}`);
  }
}

// A fresh directory, removed when the process ends.
export function scratchDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "pluck-web-test-"));
  process.on("exit", () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Runs pluck-render or the node renderer: {status, stderr}.
export function render(program, args, input) {
  const [command, prefix] = program === "pluck-render" ? [pluckRender, []] : [process.execPath, [nodeRender]];
  const { status, stderr } = spawnSync(command, [...prefix, ...args], { input, encoding: "utf8" });
  return { status, stderr };
}

// The samples of a stereo 44.1 kHz 32-bit float WAV file, exactly as stored,
// reading its chunks as a WAV reader must (any order, padded to even sizes).
export function readWav(file) {
  const bytes = fs.readFileSync(file);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const tag = (at) => bytes.toString("latin1", at, at + 4);
  if (tag(0) !== "RIFF" || tag(8) !== "WAVE") {
    throw new Error(`${file} is not a WAV file`);
  }
  let format = null;
  for (let at = 12; at + 8 <= bytes.length; ) {
    const size = view.getUint32(at + 4, true);
    if (tag(at) === "fmt ") {
      format = [0, 2, 4, 14].map((offset, i) =>
        i === 2 ? view.getUint32(at + 8 + offset, true) : view.getUint16(at + 8 + offset, true),
      );
    } else if (tag(at) === "data") {
      if (at + 8 + size > bytes.length) {
        throw new Error(`${file}: the data chunk claims ${size} bytes, more than the file holds`);
      }
      if (String(format) !== "3,2,44100,32") {
        throw new Error(`${file}: expected stereo 44.1 kHz 32-bit float, got format ${format}`);
      }
      return new Float32Array(bytes.buffer.slice(bytes.byteOffset + at + 8, bytes.byteOffset + at + 8 + size));
    }
    at += 8 + size + (size % 2);
  }
  throw new Error(`${file} has no data chunk`);
}

// Index of the first sample whose bits differ (a length mismatch counts at
// the shorter length), or -1.
export function firstDifference(a, b) {
  const [x, y] = [new Uint32Array(a.buffer, a.byteOffset, a.length), new Uint32Array(b.buffer, b.byteOffset, b.length)];
  const n = Math.min(x.length, y.length);
  for (let i = 0; i < n; i++) {
    if (x[i] !== y[i]) {
      return i;
    }
  }
  return x.length === y.length ? -1 : n;
}

// 64-bit FNV-1a over the samples' bytes, as the C++ tests compute it.
export function fnv1a(samples) {
  let hash = 0xcbf29ce484222325n;
  for (const byte of new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength)) {
    hash = ((hash ^ BigInt(byte)) * 0x100000001b3n) & 0xffffffffffffffffn;
  }
  return hash;
}

// The site served by `python3 -m http.server` on a free port of 127.0.0.1.
export async function serveSite() {
  const server = spawn("python3", ["-u", "-m", "http.server", "--bind", "127.0.0.1", "0"], {
    cwd: siteDir,
    stdio: ["ignore", "pipe", "ignore"],
  });
  const port = await new Promise((resolve, reject) => {
    server.stdout.on("data", (text) => {
      const match = /port (\d+)/.exec(String(text));
      if (match) {
        resolve(match[1]);
      }
    });
    server.on("exit", (status) => reject(new Error(`http.server ended (status ${status})`)));
  });
  return { url: `http://127.0.0.1:${port}/`, close: () => server.kill() };
}

// Debian's Chromium, headless, with a profile of its own.
export function launchBrowser() {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: scratchDir(),
    args: [
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
    ],
  });
}
