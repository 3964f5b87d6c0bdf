#!/usr/bin/env node
// node web/render.mjs SCORE -o OUT.wav [--length MS] [--module PATH]: plays a
// score on the instrument compiled to WebAssembly and writes a 32-bit float
// WAV file, sample for sample what pluck-render writes. Checks a web build.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";

import { createInstrument, frameAtMs, wavHeader } from "./site/instrument.js";

const defaultModule = fileURLToPath(new URL("../build/web/site/pluck.wasm", import.meta.url));
const maxScoreTimeMs = 2147483647;
// A WAV file's sizes are 32 bits; the same allowance for its header as
// pluck-render makes.
const maxWavFrames = Math.floor((0xffffffff - 4096) / 8);
const usage = `usage: node web/render.mjs SCORE -o OUT.wav [--length MS] [--module PATH]
  SCORE         lines of \`<time_ms> <action>\`, action z x c v b n m k, space-down or space-up;
                - reads standard input
  -o, --output  OUT.wav (32-bit float)
  --length MS   milliseconds to render (default: the last event's time + 3000)
  --module PATH the pluck.wasm to play (default: the web preset's build/web/site/pluck.wasm)
`;

// A bad command line or score line is the caller's to fix (2); a file that
// cannot be read or written is the system's (1).
const exitFailure = 1;
const exitUsage = 2;

function fail(message, status) {
  process.stderr.write(`${message}\n`);
  process.exit(status);
}

const usageError = (message) => fail(`render.mjs: ${message} (see render.mjs --help)`, exitUsage);

function parseCommandLine(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      allowPositionals: true,
      options: {
        output: { type: "string", short: "o" },
        length: { type: "string" },
        module: { type: "string" },
        help: { type: "boolean", short: "h" },
      },
    });
  } catch (error) {
    usageError(error.message);
  }
  const { values, positionals } = parsed;
  if (values.help) {
    process.stdout.write(usage);
    process.exit(0);
  }
  if (positionals.length !== 1) {
    usageError(positionals.length === 0 ? "no score given" : "more than one score given");
  }
  if (!values.output) {
    usageError("no output file given (-o OUT)");
  }
  if (!values.output.toLowerCase().endsWith(".wav")) {
    usageError(`cannot write ${values.output}: its name must end in .wav`);
  }
  let lengthMs = -1;
  if (values.length !== undefined) {
    lengthMs = /^[0-9]{1,10}$/.test(values.length) ? Number(values.length) : Infinity;
    if (lengthMs > maxScoreTimeMs) {
      usageError(
        `bad --length "${values.length}": expected a whole number of milliseconds, 0 to ${maxScoreTimeMs}`,
      );
    }
  }
  return { score: positionals[0], output: values.output, lengthMs, module: values.module ?? defaultModule };
}

function readFile(file, what) {
  try {
    return fs.readFileSync(file === "-" ? 0 : file);
  } catch (error) {
    return fail(`render.mjs: cannot read ${what}: ${error.message}`, exitFailure);
  }
}

// Writes the WAV beside `output` and renames it into place, so that a
// failed render leaves nothing half-written.
function writeWav(output, frames, render) {
  const temp = path.join(path.dirname(output), `.${path.basename(output)}.${process.pid}.tmp`);
  let fd;
  try {
    fd = fs.openSync(temp, "wx");
    fs.writeSync(fd, wavHeader(frames));
    render((samples) => fs.writeSync(fd, new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength)));
    fs.closeSync(fd);
    fd = undefined;
    fs.renameSync(temp, output);
  } catch (error) {
    if (fd !== undefined) {
      fs.closeSync(fd);
    }
    fs.rmSync(temp, { force: true });
    fail(`render.mjs: cannot write ${output}: ${error.message}`, exitFailure);
  }
}

function loadInstrument(file) {
  const bytes = readFile(file, `the module ${file}`);
  try {
    return createInstrument(new WebAssembly.Module(bytes));
  } catch (error) {
    return fail(`render.mjs: ${file} is not a pluck module: ${error.message}`, exitFailure);
  }
}

function main(argv) {
  const args = parseCommandLine(argv);
  const instrument = loadInstrument(args.module);
  const scoreName = args.score === "-" ? "(standard input)" : args.score;
  const score = instrument.parseScore(readFile(args.score, scoreName));
  if (score.errorLine !== 0) {
    fail(`${scoreName}:${score.errorLine}: ${score.error}`, exitUsage);
  }
  const lengthMs = args.lengthMs >= 0 ? args.lengthMs : score.lengthMs;
  const frames = frameAtMs(lengthMs);
  if (frames > maxWavFrames) {
    usageError(`a render of ${lengthMs} ms is too long for a WAV file`);
  }
  const unplayed = instrument.eventsFrom(lengthMs);
  if (unplayed > 0) {
    process.stderr.write(
      `render.mjs: ${unplayed} event(s) at or after ${lengthMs} ms, the end of the render, are not played\n`,
    );
  }
  writeWav(args.output, frames, (write) => instrument.renderScore(lengthMs, write));
}

main(process.argv.slice(2));
