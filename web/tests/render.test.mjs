// The node renderer: the WebAssembly build plays scores to the same bits as
// the native pluck-render (whose tests pin the demo's digest), in the same
// bytes of WAV file, and answers bad input the same way.
import assert from "node:assert/strict";
import path from "node:path";
import { test } from "node:test";

import { assertSameBits, assertSameFile, dir, readWav, render, renderedFile, root, scoreFile } from "./harness.mjs";

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

// What a user sees when something is wrong: the same statuses, and the same
// messages but for the program's name (and the system's wording of why a
// file cannot be read).
test("bad input is answered as pluck-render answers it", () => {
  const good = scoreFile("good.score", "0 v\n500 z\n");
  const out = path.join(dir, "out.wav");
  for (const [args, input] of [
    [[scoreFile("back.score", "10 v\n5 z\n"), "-o", out]],
    [[scoreFile("word.score", "# fine\n0 v\n12 pluck\n"), "-o", out]],
    [[scoreFile("huge.score", "99999999999 v\n"), "-o", out]],
    [["-", "-o", out], "0 v\n\n 3\tq \n"],
    [[good, "-o", out, "--length", "1x"]],
    [[good, "-o", out, "--length", "2147483648"]],
    [[good, "-o", out, "--length", "100"]], // the event at 500 ms is not played
    [[good]],
    [[path.join(dir, "missing.score"), "-o", out]],
  ]) {
    const [native, web] = ["pluck-render", "render.mjs"].map((program) => render(program, args, input));
    assert.equal(web.status, native.status, args.join(" "));
    const firstLine = (stderr) =>
      stderr
        .split("\n")[0]
        .replace(/^(pluck-render|render\.mjs): | \(see (pluck-render|render\.mjs) --help\)$/g, "")
        .replace(/^(cannot read [^:]*):.*/, "$1");
    assert.equal(firstLine(web.stderr), firstLine(native.stderr), args.join(" "));
  }
});
