"""Exact sound files and the few measurements the tests make on sound."""
import array
import struct
import subprocess


def read_float_wav(path):
    """The samples of a 32-bit float WAV file, bit for bit, and its header facts."""
    with open(path, "rb") as f:
        data = f.read()
    chunks, at = {}, 12
    while at + 8 <= len(data):
        size = struct.unpack_from("<I", data, at + 4)[0]
        chunks[data[at:at + 4]] = data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    fmt = struct.unpack_from("<HHIIHH", chunks.get(b"fmt ", bytes(16)))
    if data[:4] + data[8:12] != b"RIFFWAVE" or b"data" not in chunks or fmt[0] != 3 or fmt[5] != 32:
        raise ValueError(path + ": not a 32-bit float WAV file")
    samples = chunks[b"data"]
    return array.array("f", samples[: len(samples) // 4 * 4]), {"channels": fmt[1], "rate": fmt[2]}


def fnv1a(data):
    """64-bit FNV-1a of `data`, as the tests pin the bits of a render."""
    digest = 0xCBF29CE484222325
    for byte in data:
        digest = ((digest ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return digest


def channel(frames, index):
    return frames[index::2]


def first_sound(frames):
    """Index of the first frame that is not exact silence, or None."""
    return next((i // 2 for i, x in enumerate(frames) if x != 0.0), None)


def period(x, start, length, low, high):
    """The lag in samples between `low` and `high` at which `x` best matches itself."""
    w = x[start:start + length + high]
    return max(range(low, high + 1), key=lambda lag: sum(a * b for a, b in zip(w[:length], w[lag:lag + length])))


def onsets(x, window=441, zero_run=64):
    """Frames where a note starts: a 10 ms window whose high-frequency energy
    (first differences) jumps well above the windows before it. A pluck is a
    burst of noise whose highs die within milliseconds, and the reverb's
    echoes come back low-passed. Sound coming back after exact zeros is the
    first note, or the stream resuming after an underrun: not a new note."""
    energy, gap, zeros = [], [], 0
    for w in range(len(x) // window - 1):
        e, has_gap = 0.0, False
        for i in range(w * window, (w + 1) * window):
            zeros = zeros + 1 if x[i] == 0.0 else 0
            has_gap = has_gap or zeros >= zero_run
            if i > 0:
                e += (x[i] - x[i - 1]) ** 2
        energy.append(e)
        gap.append(has_gap)
    peak, found = max(energy, default=0.0), []
    for w in range(3, len(energy)):
        recent = max(energy[w - 3:w])
        if energy[w] > 4 * recent and energy[w] > 1e-4 * peak and (not found or not (gap[w] or gap[w - 1])):
            found.append(w * window)
    return found


def read_sound_file(path):
    """Any sound file as sox decodes it: its samples as 32-bit integers (a
    24-bit sample shifted left by 8, exactly) and (channels, rate)."""
    info = [int(subprocess.run(["soxi", flag, str(path)], capture_output=True, check=True, text=True).stdout)
            for flag in ("-c", "-r")]
    raw = subprocess.run(["sox", "-V1", str(path), "-t", "s32", "-"], capture_output=True, check=True).stdout
    return array.array("i", raw), tuple(info)
