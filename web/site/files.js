// What the page reads and writes besides the sound: the instrument's module,
// the WAV file rendered in parts by a worker, files saved as downloads, and a
// score carried in a link's fragment.

// Fetched once; every player compiles its own copy in its worklet.
export const moduleBytes = fetch("pluck.wasm").then((response) => {
  if (!response.ok) {
    throw new Error(`pluck.wasm: ${response.status} ${response.statusText}`);
  }
  return response.arrayBuffer();
});

// The worklet node of a context: a session from the keys, or a score's
// when `options` has one.
export function playerNode(context, options) {
  return moduleBytes.then(
    (module) =>
      new AudioWorkletNode(context, "pluck", {
        numberOfInputs: 0,
        outputChannelCount: [2],
        processorOptions: { module, ...options },
      }),
  );
}

export function save(parts, type, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob(parts, { type }));
  link.download = name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Renders a score (its bytes) for `lengthMs` to a WAV file in a worker, a
// part at a time, showing its progress on `progress`, and downloads it:
// {error} if the score is bad.
export async function saveWav(score, lengthMs, progress) {
  progress.value = 0;
  progress.hidden = false;
  const worker = new Worker("wav-worker.js", { type: "module" });
  try {
    const { wav, error } = await new Promise((resolve, reject) => {
      worker.onmessage = ({ data }) => (data.progress !== undefined ? (progress.value = data.progress) : resolve(data));
      worker.onerror = (event) => reject(new Error(event.message));
      moduleBytes.then((module) => worker.postMessage({ module, score, lengthMs }), reject);
    });
    if (!error) {
      save([wav], "audio/wav", "pluck.wav");
    }
    return { error };
  } finally {
    worker.terminate();
    progress.hidden = true;
  }
}

// ---------------------------------------------------------------- links

// A score travels in a link's fragment, `#z=` and its bytes deflated where
// the browser can, or `#score=` and the bytes as they are; base64url either
// way. Nothing in a fragment reaches a server.
const base64url = (bytes) => {
  let text = "";
  for (let at = 0; at < bytes.length; at += 0x8000) {
    text += String.fromCharCode(...bytes.subarray(at, at + 0x8000));
  }
  return btoa(text).replaceAll("+", "-").replaceAll("/", "_").replace(/=+$/, "");
};
const fromBase64url = (text) =>
  Uint8Array.from(atob(text.replaceAll("-", "+").replaceAll("_", "/")), (c) => c.charCodeAt(0));
const through = async (bytes, stream) =>
  new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer());

// The page's address with the score `bytes` in its fragment.
export async function shareLink(bytes) {
  const base = `${location.origin}${location.pathname}`;
  if ("CompressionStream" in window) {
    return `${base}#z=${base64url(await through(bytes, new CompressionStream("deflate-raw")))}`;
  }
  return `${base}#score=${base64url(bytes)}`;
}

// The score's bytes in the page's fragment; null if none, or if the link is
// damaged (an Error).
export async function sharedScore() {
  const [, kind, data] = /^#(z|score)=([A-Za-z0-9_-]*)$/.exec(location.hash) ?? [];
  if (!kind) {
    return null;
  }
  try {
    const bytes = fromBase64url(data);
    return kind === "z" ? await through(bytes, new DecompressionStream("deflate-raw")) : bytes;
  } catch {
    throw new Error("the link's score is damaged: copy the whole link");
  }
}
