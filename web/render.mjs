#!/usr/bin/env node
// node web/render.mjs SCORE -o OUT.wav [--length MS] [--module PATH]: plays a
// score on the instrument compiled to WebAssembly and writes a 32-bit float
// WAV file, sample for sample what pluck-render writes, and as carefully:
// the same refusals, messages and exit statuses; the score read as it comes
// and played a line at a time by the module's own score reader (pluck-
// render's), so memory stays the same however long it is; the sound written
// as it is rendered; the output file kept as pluck-render keeps it
// (output_file.mjs). The render runs in a worker thread, so that this one
// is free to answer a signal at once. Checks a web build.
import fs from "node:fs";
import { fileURLToPath } from "node:url";
import { Worker, isMainThread, parentPort, workerData } from "node:worker_threads";

import { commitOutputFile, discardOutputFile, openOutputFile, systemReason, writeOutputFile } from "./output_file.mjs";
import { channelCount, createInstrument, frameAtMs, sampleRate, wavHeader, wavHeaderBytes } from "./site/instrument.js";

const program = "render.mjs";
const defaultModule = fileURLToPath(new URL("../build/web/site/pluck.wasm", import.meta.url));
// Most frames a WAV file holds: its sizes are 32-bit, counted from byte 8.
const maxWavFrames = Math.floor((0xffffffff - (wavHeaderBytes - 8)) / (channelCount * 4));
// That as h:mm:ss (under ten hours: 3:22:53).
const longestWav = new Date(Math.floor(maxWavFrames / sampleRate) * 1000).toISOString().slice(12, 19);
// Bytes of the score read at once.
const scorePieceBytes = 65536;
const usage = `usage: node web/render.mjs SCORE -o OUT.wav [--length MS] [--module PATH]
Plays a score of key presses on the instrument built for the web and writes the sound to a file.
  SCORE            lines of \`<time_ms> <action>\`, action z x c v b n m k, space-down
                   or space-up, # for comments; - reads standard input as it comes
  -o, --output OUT OUT.wav (32-bit float, exact)
  --length MS      milliseconds to render (default: the last event's time + 3000)
  --module PATH    the pluck.wasm to play (default: the web preset's build/web/site/pluck.wasm)
  -h, --help       this text
  --version        the program's version
Exit status: 0 written, 1 a file could not be read or written, 2 a bad command
line or score line.
`;

// A bad command line or score line is the caller's to fix (2); a file that
// cannot be read or written is the system's (1).
const [exitOk, exitFailure, exitUsage] = [0, 1, 2];

// The signals that stop pluck-render, and the others whose default action
// ends a process: each removes the unfinished file, then ends the program
// as it would have.
const endingSignals = ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU"];
endingSignals.push("SIGVTALRM", "SIGPROF", "SIGPWR", "SIGSTKFLT", "SIGSYS", "SIGTRAP");

// How the program ends: one line on standard error, and the status.
class Ending extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

const usageError = (message) => new Ending(`${program}: ${message} (see ${program} --help)`, exitUsage);

// ---------------------------------------------------------------- arguments

const knownOptions = [
  { id: "output", long: "output", short: "o", takesValue: true },
  { id: "length", long: "length", takesValue: true },
  { id: "module", long: "module", takesValue: true },
  { id: "help", long: "help", short: "h" },
  { id: "version", long: "version" },
];

// The command line in the GNU forms pluck-render reads (system/
// command_line): `--name value`, `--name=value`, a long name shortened to
// any beginning no other shares, `-n value`, `-nvalue`, short options
// grouped, `--` ending the options. {items: [{option, text}], error}.
function readCommandLine(argv) {
  const items = [];
  const findLong = (name) => {
    const begun = knownOptions.filter((option) => name !== "" && option.long.startsWith(name));
    return knownOptions.find((option) => option.long === name) ?? (begun.length === 1 ? begun[0] : undefined);
  };
  let i = 0;
  const take = (option, written, attached) => {
    if (option === undefined) {
      return `unknown option ${written}`;
    }
    if (!option.takesValue && attached !== undefined) {
      return `option ${written} takes no value`;
    }
    if (option.takesValue && attached === undefined && i + 1 === argv.length) {
      return `option ${written} needs a value`;
    }
    items.push({ option, text: !option.takesValue ? "" : (attached ?? argv[++i]) });
    return "";
  };
  let error = "";
  for (let ended = false; i < argv.length && error === ""; i++) {
    const arg = argv[i];
    if (ended || arg.length < 2 || arg[0] !== "-") {
      items.push({ option: undefined, text: arg });
    } else if (arg === "--") {
      ended = true;
    } else if (arg.startsWith("--")) {
      const equals = arg.indexOf("=");
      const written = equals < 0 ? arg : arg.slice(0, equals);
      error = take(findLong(written.slice(2)), written, equals < 0 ? undefined : arg.slice(equals + 1));
    } else {
      for (let at = 1; at < arg.length && error === ""; at++) {
        const option = knownOptions.find((known) => known.short === arg[at]);
        const rest = arg.slice(at + 1);
        const attached = rest !== "" && (option === undefined || option.takesValue) ? rest : undefined;
        error = take(option, `-${arg[at]}`, attached);
        at = attached === undefined ? at : arg.length;
      }
    }
  }
  return { items, error };
}

// The module to play, compiled: --module's or the web build's.
function loadModule(file) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (error) {
    throw new Ending(`${program}: cannot read the module ${file}: ${systemReason(error)}`, exitFailure);
  }
  try {
    const module = new WebAssembly.Module(bytes);
    return { module, instrument: createInstrument(module) };
  } catch (error) {
    throw new Ending(`${program}: ${file} is not a pluck module: ${error.message}`, exitFailure);
  }
}

// Standard output, for the help and the version.
function say(text) {
  try {
    fs.writeSync(1, text);
  } catch (error) {
    throw new Ending(`${program}: cannot write (standard output): ${systemReason(error)}`, exitFailure);
  }
}

// As pluck-render reads its command line: --help and --version answered as
// soon as they come. {exit} when answered, else what to render.
function parseArguments(argv) {
  const { items, error } = readCommandLine(argv);
  const modulePath = items.findLast(({ option }) => option?.id === "module")?.text ?? defaultModule;
  let loaded = null;
  const load = () => (loaded ??= loadModule(modulePath));
  const instrument = () => load().instrument;
  const args = { scores: [], output: "", lengthMs: -1, module: () => load().module };
  for (const { option, text } of items) {
    if (option?.id === "help") {
      say(usage);
      return { exit: exitOk };
    }
    if (option?.id === "version") {
      say(`${program} ${instrument().version()}\n`);
      return { exit: exitOk };
    }
    if (option?.id === "output") {
      args.output = text;
    } else if (option?.id === "length" && (args.lengthMs = instrument().readMilliseconds(Buffer.from(text))) < 0) {
      throw usageError(`bad --length "${text}": expected a whole number of milliseconds, 0 to 2147483647`);
    } else if (option === undefined) {
      args.scores.push(text);
    }
  }
  if (error !== "") {
    throw usageError(error);
  }
  if (args.scores.length !== 1) {
    throw usageError(args.scores.length === 0 ? "no score given" : "more than one score given");
  }
  if (args.output === "") {
    throw usageError("no output file given (-o OUT)");
  }
  return args;
}

// ---------------------------------------------------------------- the render

// Node puts /dev/null, open for reading and writing, in place of a closed
// standard stream before any script runs; no shell opens it so for a score.
function standardInputWasClosed() {
  try {
    const flags = /^flags:\s*([0-7]+)/m.exec(fs.readFileSync("/proc/self/fdinfo/0", "latin1"));
    const input = fs.fstatSync(0);
    const readWrite = (parseInt(flags[1], 8) & 3) === 2;
    return input.isCharacterDevice() && input.rdev === fs.statSync("/dev/null").rdev && readWrite;
  } catch {
    return false;
  }
}

// Where a regular file stands open at, to read it again from there; -1 for
// anything else (a pipe, a terminal), which is read once as it comes.
function startOffset(fd, file) {
  try {
    return file.isFile() ? Number(/^pos:\s*(\d+)/m.exec(fs.readFileSync(`/proc/self/fdinfo/${fd}`, "latin1"))[1]) : -1;
  } catch {
    return -1;
  }
}

// The score's file descriptor, its name for messages and where it starts.
function openScore(path) {
  const name = path === "-" ? "(standard input)" : path;
  try {
    const fd = path === "-" ? 0 : fs.openSync(path, "r");
    const file = fs.fstatSync(fd);
    if (file.isDirectory()) {
      throw Object.assign(new Error(), { code: "EISDIR" });
    }
    return { fd, name, start: startOffset(fd, file) };
  } catch (error) {
    throw new Ending(`${program}: cannot read ${name}: ${systemReason(error)}`, exitFailure);
  }
}

// In the worker: reads the score a piece at a time, plays it and writes the
// samples after the header as they come, then says how it went.
function renderInWorker({ module, input, out, lengthMs }) {
  let frames = 0;
  let failure = "";
  const write = (samples) => {
    const count = samples.length / channelCount;
    if (count > maxWavFrames - frames) {
      failure = `cannot write ${out.path}: a WAV file holds at most ${longestWav} of sound`;
      return false;
    }
    const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
    try {
      writeOutputFile(out, bytes, wavHeaderBytes + frames * channelCount * 4);
    } catch (error) {
      failure = error.message;
      return false;
    }
    frames += count;
    return true;
  };
  const instrument = createInstrument(module);
  const piece = Buffer.alloc(scorePieceBytes);
  const pause = new Int32Array(new SharedArrayBuffer(4));
  // Reads the whole score into `score`, from the start of a file; a read
  // error is noted in `failure`.
  const readAll = (score) => {
    let outcome = "more";
    for (let at = input.start; outcome === "more"; ) {
      let got;
      try {
        got = fs.readSync(input.fd, piece, 0, piece.length, at < 0 ? null : at);
      } catch (error) {
        if (error.code === "EAGAIN") {
          Atomics.wait(pause, 0, 0, 10); // standard input left non-blocking by another program
          continue;
        }
        failure = `cannot read ${input.name}: ${systemReason(error)}`;
        break;
      }
      at = at < 0 ? at : at + got;
      outcome = score.read(piece.subarray(0, got));
    }
    return outcome;
  };
  // A score in a file is read once ahead, so that a render too long for the
  // file is refused before any of it is made; the render itself reports a
  // bad line or a read error. From a pipe, at the event that makes it too long.
  let score = instrument.streamScore(lengthMs, write, maxWavFrames, input.start < 0);
  let outcome = readAll(score);
  if (input.start >= 0 && outcome !== "too long") {
    failure = "";
    score = instrument.streamScore(lengthMs, write, maxWavFrames);
    outcome = readAll(score);
  }
  const tooLong = `(to ${instrument.tailMs()} ms after the event at ${input.name}:${score.tooLongLine()})`;
  parentPort.postMessage({
    outcome: failure !== "" ? "failed" : outcome,
    failure,
    frames,
    badLine: outcome === "bad line" ? `${input.name}:${score.errorLine()}: ${score.error()}` : "",
    tooLong: outcome === "too long" ? `a render of ${score.tooLongMs()} ms ${tooLong} is too long for a WAV file` : "",
    lengthMs: score.lengthMs(),
    unplayed: score.unplayed(),
  });
}

// Renders in a worker into the open output; the signals that end the
// program remove the output first.
async function render(args, input, out) {
  writeOutputFile(out, wavHeader(0), 0);
  let committed = false;
  const stop = (signal) => {
    if (committed) {
      return; // the file is whole and named: the program ends as it was going to
    }
    process.stderr.write(`${program}: stopped; ${args.output} not written\n`);
    discardOutputFile(out);
    endingSignals.forEach((ending) => process.removeAllListeners(ending));
    process.kill(process.pid, signal);
  };
  endingSignals.forEach((signal) => process.on(signal, stop));
  const worker = new Worker(new URL(import.meta.url), {
    workerData: { module: args.module(), input, out: { fd: out.fd, path: out.path }, lengthMs: args.lengthMs },
  });
  const result = await new Promise((resolve, reject) => {
    worker.once("message", resolve);
    worker.once("error", reject);
    worker.once("exit", (status) => reject(new Error(`the render ended unfinished (status ${status})`)));
  });
  if (result.badLine !== "") {
    throw new Ending(result.badLine, exitUsage);
  }
  if (result.tooLong !== "") {
    throw new Ending(`${program}: ${result.tooLong}`, exitUsage);
  }
  if (result.outcome !== "rendered") {
    throw new Ending(`${program}: ${result.failure}`, exitFailure);
  }
  writeOutputFile(out, wavHeader(result.frames), 0);
  commitOutputFile(out);
  committed = true;
  if (result.unplayed > 0) {
    const end = `${result.lengthMs} ms, the end of the render`;
    process.stderr.write(`${program}: ${result.unplayed} event(s) at or after ${end}, are not played\n`);
  }
}

async function main(argv) {
  const args = parseArguments(argv);
  if (args.exit !== undefined) {
    return args.exit;
  }
  args.score = args.scores[0];
  if (!/\.wav$/i.test(args.output)) {
    throw /\.flac$/i.test(args.output)
      ? usageError(`cannot write ${args.output}: this renderer writes WAV files only; write a .wav file instead`)
      : usageError(`cannot tell the format of ${args.output}: its name must end in .wav or .flac`);
  }
  if (args.lengthMs >= 0 && frameAtMs(args.lengthMs) > maxWavFrames) {
    throw usageError(`a render of ${args.lengthMs} ms is too long for a WAV file`);
  }
  if (args.score === "-" && standardInputWasClosed()) {
    throw new Ending(`${program}: cannot read (standard input): it is closed`, exitFailure);
  }
  const input = openScore(args.score);
  // A refused or failed output ends the program as anything unforeseen does.
  const out = openOutputFile(args.output, input.fd);
  try {
    await render(args, input, out);
  } finally {
    discardOutputFile(out);
  }
  return exitOk;
}

if (isMainThread) {
  process.stderr.on("error", () => {}); // a closed standard error takes nothing
  main(process.argv.slice(2)).then(
    (status) => {
      process.exitCode = status;
    },
    (error) => {
      // Anything unforeseen is still one line, and a failure.
      const ending = error instanceof Ending ? error : new Ending(`${program}: ${error.message}`, exitFailure);
      process.stderr.write(`${ending.message.split("\n")[0]}\n`);
      process.exitCode = ending.status;
    },
  );
} else {
  renderInWorker(workerData);
}
