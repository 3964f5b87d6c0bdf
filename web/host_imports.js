// What the WebAssembly module imports from its host, declared for
// Emscripten's linker; the host (web/site/instrument.js) supplies them.
mergeInto(LibraryManager.library, {
  write_frames: function () {},
});
