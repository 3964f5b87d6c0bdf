// The node renderer: the WebAssembly build plays scores to the same bits as
// the native pluck-render (whose tests pin the demo's digest), in the same
// bytes of WAV file, and answers bad input the same way.
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { once } from "node:events";
import fs from "node:fs";
import path from "node:path";
import { Readable } from "node:stream";
import { test } from "node:test";
import { setTimeout } from "node:timers/promises";

import { assertSameBits, assertSameFile, commandOf, dir, readWav, render } from "./harness.mjs";
import { renderedFile, root, scoreFile } from "./harness.mjs";

// The demo; the key wandering for five minutes, down into the subnormal
// tails; chords and beats plucking, with a length cut inside a
// millisecond's frames.
test("scores render to pluck-render's samples, bit for bit", () => {
  const keys = Array.from({ length: 400 }, (_, i) => [i * 37, "zxcvbnmk"[(i * 5) % 8]]);
  const dense = [[7, "space-down"], [9001, "space-up"], ...keys].sort(([a], [b]) => a - b);
  for (const [score, args] of [
    [path.join(root, "examples/demo.score"), []],
    [scoreFile("five-minutes.score", "0 space-down\n300000 space-up\n"), []],
    [scoreFile("dense.score", dense.map((event) => event.join(" ")).join("\n")), ["--length", "20011"]],
  ]) {
    const [web, native] = ["render.mjs", "pluck-render"].map((program) => renderedFile(program, score, args));
    assert.ok(readWav(web).length > 44100, score);
    assertSameBits(readWav(web), readWav(native), score);
    assertSameFile(web, native, score);
  }
});

// What a user sees when something is wrong, on the same inputs: the same
// statuses and the same messages but for the program's name (and the
// format a WAV-only renderer cannot advise), with nothing left behind.
test("bad input and refused outputs are answered as pluck-render answers them", () => {
  const good = scoreFile("good.score", "0 v\n500 z\n");
  const own = scoreFile("own.wav", "0 v\n");
  const at = (name) => path.join(dir, name);
  const out = at("out.wav");
  fs.mkdirSync(at("folder.wav"));
  spawnSync("mkfifo", [at("fifo.wav")]);
  fs.writeFileSync(at("file"), "");
  fs.mkdirSync(at("unsearchable"), { mode: 0o666 });
  fs.mkdirSync(at("unwritable"), { mode: 0o555 });
  // Root may write anywhere: the folders refuse another user.
  const otherUser = process.getuid() === 0 ? { uid: 65534, gid: 65534 } : {};
  fs.chmodSync(dir, 0o755);
  const closedInput = { closed: true };
  for (const [args, how = {}] of [
    [[scoreFile("back.score", "10 v\n5 z\n"), "-o", out]],
    [[scoreFile("word.score", "# fine\n0 v\n12 pluck\n"), "-o", out]],
    [[scoreFile("huge.score", "99999999999 v\n"), "-o", out]],
    [["-", "-o", out], { input: "0 v\n\n 3\tq \n" }],
    [[good, "-o", out, "--length", "1x"]],
    [[good, "-o", out, "--length", "2147483648"]],
    [[good, "--out", out, "--len=00000000000100"]], // the event at 500 ms is not played
    [[good, "-o", out, "--length", "2147483647"]], // too long for a WAV file
    // Too long at the last event: refused before the 12000 s before it are
    // rendered (the file size limited, should they be); from a pipe, at the
    // event that makes it so.
    [[scoreFile("far.score", "0 v\n12000000 z\n2147483647 k\n"), "-o", out], { limited: true }],
    [["-", "-o", out], { input: "0 v\n1 z\n12200000 k\n", limited: true }],
    [[good]],
    [[good, "-o"]],
    [[good, "-o", out, "--help=1"]],
    [[good, "-o", out, "-x"]],
    [[good, "-o", out, "--", "--x"]],
    [[good, "-o", at("out.mp3")]],
    [[at("missing.score"), "-o", out]],
    [[dir, "-o", out]],
    [["-", "-o", out], closedInput],
    [["-", "-o", own], { stdio: [fs.openSync(own, "r"), "pipe", "pipe"] }],
    [[own, "-o", own]],
    [[good, "-o", at("folder.wav")]],
    [[good, "-o", at("fifo.wav")]],
    [[good, "-o", at("file/o.wav")]],
    [[good, "-o", at("missing/o.wav")]],
    [[good, "-o", at(`${"a".repeat(252)}.wav`)]],
    [[good, "-o", at(`${"a".repeat(251)}.wav`)]],
    [[good, "-o", at("unsearchable/o.wav")], otherUser],
    [[good, "-o", at("unwritable/o.wav")], otherUser],
  ]) {
    const answers = ["pluck-render", "render.mjs"].map((program) => {
      const line = commandOf(program, args);
      const { input, closed, limited, ...options } = how;
      const shell = `${limited ? "ulimit -f 2048; " : ""}exec "$@"${closed ? " <&-" : ""}`;
      const wrapped = closed || limited;
      const [command, rest] = wrapped ? ["sh", ["-c", shell, "sh", ...line]] : [line[0], line.slice(1)];
      const { status, stderr } = spawnSync(command, rest, { input, encoding: "utf8", ...options });
      const message = stderr.split("\n")[0].replace(/^(pluck-render|render\.mjs): | \(see \S+ --help\)$/g, "");
      return [status, message.replace("; write a .flac file instead", "")];
    });
    assert.deepEqual(answers[1], answers[0], args.join(" "));
  }
  assert.equal(fs.readFileSync(own, "utf8"), "0 v\n");
  assert.deepEqual(fs.readdirSync(dir).filter((name) => name.startsWith(".")), []);
});

// A link leads to the file it names and stays a link, every name of a hard
// link holds the new sound, a private file stays private: the folders that
// both programs leave are the same.
test("links and modes are kept as pluck-render keeps them", () => {
  const good = scoreFile("short.score", "0 v\n");
  const [native, web] = ["pluck-render", "render.mjs"].map((program) => {
    const at = (name) => path.join(dir, `${program}-links`, name);
    fs.mkdirSync(at(""));
    fs.writeFileSync(at("real.wav"), "real");
    fs.symlinkSync("real.wav", at("link.wav"));
    fs.symlinkSync("new.wav", at("dangling.wav"));
    fs.writeFileSync(at("hard.wav"), "hard");
    fs.linkSync(at("hard.wav"), at("other-name.wav"));
    fs.writeFileSync(at("private.wav"), "private", { mode: 0o600 });
    for (const target of ["link.wav", "dangling.wav", "hard.wav", "private.wav"]) {
      assert.equal(render(program, [good, "-o", at(target)]).status, 0, `${program} -o ${target}`);
    }
    return fs.readdirSync(at("")).map((name) => {
      const file = fs.lstatSync(at(name));
      const held = file.isSymbolicLink() ? fs.readlinkSync(at(name)) : file.size;
      return [name, file.mode.toString(8), file.nlink, held];
    });
  });
  assert.deepEqual(web.sort(), native.sort());
});

// A score piped in without end, as a program that is still writing it
// pipes one, played while it comes.
function* endlessScore() {
  for (let ms = 0; ; ms += 1000) {
    yield Array.from({ length: 100 }, (_, i) => `${ms + i * 10} ${"zxcvbnmk"[i % 8]}\n`).join("");
  }
}

// Starts the node renderer on a score piped in: {child, stderr (so far)}.
function renderPiped(chunks, output, nodeOptions = []) {
  const [node, ...args] = commandOf("render.mjs", ["-", "-o", output]);
  const child = spawn(node, [...nodeOptions, ...args], { stdio: ["pipe", "ignore", "pipe"] });
  const run = { child, stderr: "" };
  child.stderr.on("data", (text) => (run.stderr += text));
  child.stdin.on("error", () => {}); // the renderer ended without reading it all
  Readable.from(chunks).pipe(child.stdin);
  return run;
}

// The temporary file is removed and the renderer ends by the signal, as
// pluck-render does, however far the render has got.
test("a signal stops a render and leaves nothing behind", async () => {
  for (const signal of ["SIGINT", "SIGTERM", "SIGHUP"]) {
    const folder = fs.mkdtempSync(path.join(dir, "signal-"));
    const run = renderPiped(endlessScore(), path.join(folder, "out.wav"));
    while (!fs.readdirSync(folder).some((name) => fs.statSync(path.join(folder, name)).size > 1 << 20)) {
      await setTimeout(10);
    }
    run.child.kill(signal);
    assert.deepEqual(await once(run.child, "exit"), [null, signal]);
    assert.deepEqual(fs.readdirSync(folder), [], signal);
    assert.equal(run.stderr, `render.mjs: stopped; ${path.join(folder, "out.wav")} not written\n`, signal);
  }
});

// 300 MB of score, mostly long comments, read as it comes in little memory
// (the heap kept to 64 MB, the whole process well under the score's size),
// playing its 300 events to pluck-render's bits.
test("a 300 MB score streams through in bounded memory", async () => {
  const events = Array.from({ length: 300 }, (_, i) => `${i * 7} ${"zxcvbnmk"[i % 8]}\n`);
  const comments = `# ${"-".repeat(997)}\n`.repeat(1000);
  const wav = path.join(dir, "streamed.wav");
  let peakKb = 0;
  const run = renderPiped(
    (function* () {
      for (const event of events) {
        const status = fs.readFileSync(`/proc/${run.child.pid}/status`, "latin1");
        peakKb = Math.max(peakKb, Number(/VmHWM:\s*(\d+)/.exec(status)[1]));
        yield comments + event;
      }
    })(),
    wav,
    ["--max-old-space-size=64"],
  );
  assert.deepEqual(await once(run.child, "exit"), [0, null], run.stderr);
  assert.ok(peakKb < 200 * 1024, `${peakKb} kB at most`);
  const native = renderedFile("pluck-render", scoreFile("events.score", events.join("")));
  assertSameFile(wav, native, "the streamed score");
});
