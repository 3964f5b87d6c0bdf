// The node renderer's output file, kept as pluck-render keeps its own on a
// file system without unnamed files (sound_files/output_file_linux.cpp):
// written under a short hidden name beside the target and renamed over it
// once complete, so that the target never holds half a render. The same
// targets are refused before any sound is made (the score being read, a
// directory, a FIFO or anything but a regular file, a missing or unwritable
// folder); a symbolic link leads to the file it names and stays a link; a
// replaced file keeps its permission bits, and its owner and group where
// they may be set; a file with other hard links is overwritten in place, so
// that every one of its names holds the new sound.
import fs from "node:fs";
import os from "node:os";
import util from "node:util";

const maxLinkHops = 40; // as the kernel allows when it resolves a path itself
const tempNameAttempts = 100;
const copyBlockBytes = 1 << 20;

// The C library's words for a system error, as pluck-render prints them;
// where libuv's differ in more than the capital letter, they are here.
const cLibraryWords = {
  EISDIR: "Is a directory",
  ENAMETOOLONG: "File name too long",
  ELOOP: "Too many levels of symbolic links",
  EIO: "Input/output error",
  EEXIST: "File exists",
  EDQUOT: "Disk quota exceeded",
  ETXTBSY: "Text file busy",
  EBUSY: "Device or resource busy",
  ENFILE: "Too many open files in system",
};

// Why a file operation failed, in the words pluck-render uses (strerror's).
export function systemReason(error) {
  const libuv = util.getSystemErrorMap().get(error.errno)?.[1];
  return cLibraryWords[error.code] ?? (libuv ? libuv[0].toUpperCase() + libuv.slice(1) : error.message);
}

// A system error this module finds itself.
const systemError = (code) => Object.assign(new Error(code), { code, errno: -os.constants.errno[code] });

// A refusal or failure of the output, said as "cannot write PATH: reason".
class OutputError extends Error {}

function fail(out, reason) {
  throw new OutputError(`cannot write ${out.path}: ${typeof reason === "string" ? reason : systemReason(reason)}`);
}

// `path`'s directory ("." for none) and last name.
function splitPath(path) {
  const slash = path.lastIndexOf("/");
  return slash < 0 ? [".", path] : [slash === 0 ? "/" : path.slice(0, slash), path.slice(slash + 1)];
}

// The directory and name of the file that `path` leads to through any
// symbolic links; it need not exist yet.
function followLinks(path) {
  let [dir, name] = splitPath(path);
  for (let hop = 0; hop < maxLinkHops; hop++) {
    const at = `${dir}/${name}`;
    if (!fs.lstatSync(at, { throwIfNoEntry: false })?.isSymbolicLink()) {
      return { dir, name };
    }
    const next = fs.readlinkSync(at);
    [dir, name] = splitPath(next.startsWith("/") ? next : `${dir}/${next}`);
  }
  throw systemError("ELOOP");
}

function checkTarget(out, inputFd) {
  Object.assign(out, followLinks(out.path));
  if (!fs.statSync(out.dir).isDirectory()) {
    throw systemError("ENOTDIR");
  }
  const target = fs.statSync(out.target(), { bigint: true, throwIfNoEntry: false });
  if (target === undefined) {
    return;
  }
  if (target.isDirectory()) {
    throw systemError("EISDIR");
  }
  if (!target.isFile()) {
    fail(out, "not a regular file");
  }
  const input = inputFd >= 0 ? fs.fstatSync(inputFd, { bigint: true }) : undefined;
  if (input?.dev === target.dev && input?.ino === target.ino) {
    fail(out, "it is the score being read");
  }
  fs.accessSync(out.target(), fs.constants.W_OK);
}

// A short name, so that a target name of any valid length still works.
function openTemp(out) {
  const { O_RDWR, O_CREAT, O_EXCL } = fs.constants;
  for (let attempt = 0; attempt < tempNameAttempts; attempt++) {
    const temp = `${out.dir}/.pluck-${process.pid}-${attempt}`;
    try {
      out.fd = fs.openSync(temp, O_RDWR | O_CREAT | O_EXCL, 0o666);
      out.temp = temp;
      return;
    } catch (error) {
      if (error.code !== "EEXIST") {
        throw error;
      }
    }
  }
  throw systemError("EEXIST");
}

// Opens a temporary file beside the file `path` names, or refuses: when
// that file is the one read (`inputFd`, -1 for none), a directory or
// anything but a regular file, or one that cannot be written. Throws an
// OutputError.
export function openOutputFile(path, inputFd) {
  const out = { path, dir: "", name: "", temp: "", fd: -1 };
  out.target = () => `${out.dir}/${out.name}`;
  try {
    checkTarget(out, inputFd);
    openTemp(out);
  } catch (error) {
    discardOutputFile(out);
    if (error instanceof OutputError) {
      throw error;
    }
    fail(out, error);
  }
  return out;
}

// Writes all of `bytes` at `offset`.
export function writeOutputFile(out, bytes, offset) {
  try {
    for (let done = 0; done < bytes.length; ) {
      done += fs.writeSync(out.fd, bytes, done, bytes.length - done, offset + done);
    }
  } catch (error) {
    fail(out, error);
  }
}

// Copies the finished file over a file that has other hard links.
function copyInPlace(out) {
  const target = fs.openSync(out.target(), fs.constants.O_WRONLY);
  try {
    const block = Buffer.alloc(copyBlockBytes);
    for (let done = 0, got = 0; (got = fs.readSync(out.fd, block, 0, block.length, done)) > 0; done += got) {
      for (let put = 0; put < got; ) {
        put += fs.writeSync(target, block, put, got - put, done + put);
      }
    }
    fs.ftruncateSync(target, fs.fstatSync(out.fd).size);
    fs.fsyncSync(target);
  } finally {
    fs.closeSync(target);
  }
}

// The file as the target had it: owner and group where allowed (a user may
// give a file only to a group of their own), then the permission bits.
function takeOverAttributes(out, target) {
  try {
    fs.fchownSync(out.fd, target.uid, target.gid);
  } catch {
    try {
      fs.fchownSync(out.fd, -1, target.gid);
    } catch {
      // The file stays the user's.
    }
  }
  fs.fchmodSync(out.fd, target.mode & 0o7777);
}

// Puts the complete file on disk under its name. Throws an OutputError;
// the temporary file is gone either way.
export function commitOutputFile(out) {
  try {
    fs.fsyncSync(out.fd);
    const target = fs.statSync(out.target(), { throwIfNoEntry: false });
    if (target?.isFile() && target.nlink > 1) {
      copyInPlace(out);
    } else {
      if (target !== undefined) {
        takeOverAttributes(out, target);
      }
      fs.renameSync(out.temp, out.target());
      out.temp = "";
    }
  } catch (error) {
    fail(out, error);
  } finally {
    discardOutputFile(out);
  }
}

// Closes and removes the temporary file. Safe at any point, and again.
export function discardOutputFile(out) {
  if (out.fd >= 0) {
    fs.closeSync(out.fd);
    out.fd = -1;
  }
  if (out.temp !== "") {
    fs.rmSync(out.temp, { force: true });
    out.temp = "";
  }
}
