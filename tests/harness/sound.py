"""Exact sound files and the few measurements the tests make on sound."""
import array
import ctypes
import ctypes.util
import os
import struct


def read_float_wav(path):
    """The samples of a 32-bit float WAV file, bit for bit, and its header facts."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(path + ": not a WAV file")
    at, fmt, samples = 12, None, None
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        body = data[at + 8:at + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
            if fmt[0] == 0xFFFE:  # extensible: the real format is in the sub-format's first two bytes
                fmt = (struct.unpack_from("<H", body, 24)[0],) + fmt[1:]
        elif tag == b"data":
            samples = array.array("f")
            samples.frombytes(body[: len(body) // 4 * 4])
        at += 8 + size + (size & 1)
    if fmt is None or samples is None or fmt[0] != 3 or fmt[5] != 32:
        raise ValueError(path + ": not 32-bit float")
    return samples, {"channels": fmt[1], "rate": fmt[2]}


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


class _SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int), ("channels", ctypes.c_int),
                ("format", ctypes.c_int), ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def read_sound_file(path):
    """Any sound file as libsndfile decodes it: its samples as 32-bit integers
    (a 24-bit sample shifted left by 8, exactly) and (channels, rate); None if
    libsndfile does not accept the file."""
    lib = ctypes.CDLL(ctypes.util.find_library("sndfile"))
    lib.sf_open.restype = ctypes.c_void_p
    lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(_SfInfo)]
    lib.sf_readf_int.restype = ctypes.c_int64
    lib.sf_readf_int.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    lib.sf_close.argtypes = [ctypes.c_void_p]
    info = _SfInfo()
    handle = lib.sf_open(os.fsencode(path), 0x10, ctypes.byref(info))  # SFM_READ
    if not handle:
        return None
    # Read to the end rather than to info.frames: an empty FLAC stream's
    # length is "unknown".
    samples, block = array.array("i"), array.array("i", bytes(4 * 65536 * info.channels))
    while (read := lib.sf_readf_int(handle, block.buffer_info()[0], 65536)) > 0:
        samples.extend(block[: read * info.channels])
    lib.sf_close(handle)
    return samples, (info.channels, info.samplerate)
