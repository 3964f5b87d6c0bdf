// The node renderer: the WebAssembly build plays scores to the same bits as
// the native pluck-render, and answers bad input the same way.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { test } from "node:test";

import { firstDifference, fnv1a, readWav, render, root, scratchDir } from "./harness.mjs";

const dir = scratchDir();
const demo = path.join(root, "examples/demo.score");

function scoreFile(name, text) {
  const file = path.join(dir, name);
  fs.writeFileSync(file, text);
  return file;
}

// Renders with both programs; returns both sample arrays.
function renderBoth(score, extra = []) {
  const out = {};
  for (const program of ["pluck-render", "render.mjs"]) {
    const file = path.join(dir, `${path.basename(score)}.${program}.wav`);
    const { status, stderr } = render(program, [score, "-o", file, ...extra]);
    assert.equal(status, 0, `${program}: ${stderr}`);
    out[program] = readWav(file);
  }
  return out;
}

// The digest DemoScoreGivesTheSameBitsOnEveryBuild pins for every native build.
test("the demo score renders to the native builds' golden digest", () => {
  const { "render.mjs": samples } = renderBoth(demo);
  assert.equal(fnv1a(samples).toString(16), "42de79ac448d4fbe");
});

// Chords, beats plucking and the key wandering for minutes, down into the
// subnormal tails, and lengths cut inside a millisecond's frames.
test("scores render to pluck-render's samples, bit for bit", () => {
  const keys = Array.from({ length: 400 }, (_, i) => [i * 37, "zxcvbnmk"[(i * 5) % 8]]);
  const dense = [[7, "space-down"], [9001, "space-up"], ...keys].sort(([a], [b]) => a - b);
  const scores = [
    [scoreFile("minute.score", "0 space-down\n60000 space-up\n"), []],
    [scoreFile("five-minutes.score", "0 space-down\n300000 space-up\n"), []],
    [scoreFile("dense.score", dense.map((event) => event.join(" ")).join("\n")), ["--length", "20011"]],
  ];
  for (const [score, extra] of scores) {
    const out = renderBoth(score, extra);
    assert.ok(out["render.mjs"].length > 44100, score);
    assert.equal(firstDifference(out["render.mjs"], out["pluck-render"]), -1, score);
  }
});

// What a user sees when something is wrong: the same statuses, and the same
// messages but for the program's name (and the system's wording of why a
// file cannot be read).
test("bad input is answered as pluck-render answers it", () => {
  const good = scoreFile("good.score", "0 v\n500 z\n");
  const out = path.join(dir, "out.wav");
  const cases = [
    [[scoreFile("back.score", "10 v\n5 z\n"), "-o", out]],
    [[scoreFile("word.score", "# fine\n0 v\n12 pluck\n"), "-o", out]],
    [[scoreFile("huge.score", "99999999999 v\n"), "-o", out]],
    [["-", "-o", out], "0 v\n\n 3\tq \n"],
    [[good, "-o", out, "--length", "1x"]],
    [[good, "-o", out, "--length", "2147483648"]],
    [[good, "-o", out, "--length", "100"]], // the event at 500 ms is not played
    [[good]],
    [[path.join(dir, "missing.score"), "-o", out]],
  ];
  for (const [args, input] of cases) {
    const native = render("pluck-render", args, input);
    const web = render("render.mjs", args, input);
    assert.equal(web.status, native.status, args.join(" "));
    const firstLine = (stderr) =>
      stderr
        .split("\n")[0]
        .replace(/^(pluck-render|render\.mjs): /, "")
        .replace(/ \(see (pluck-render|render\.mjs) --help\)$/, "")
        .replace(/^(cannot read [^:]*):.*/, "$1");
    assert.equal(firstLine(web.stderr), firstLine(native.stderr), args.join(" "));
  }
});
