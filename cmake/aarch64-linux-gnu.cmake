# Cross-builds pluck for 64-bit ARM Linux (a Raspberry Pi, an ARM laptop or
# server) with Debian's cross compiler, against the arm64 libraries of
# Debian's multiarch archive (libasound2-dev:arm64, libsndfile1-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(arm64_triplet aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${arm64_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${arm64_triplet}-g++)

# Multiarch: the arm64 headers and libraries live beside the machine's own,
# under /usr/include/aarch64-linux-gnu and /usr/lib/aarch64-linux-gnu, which
# the cross compiler searches; pkg-config is asked for the arm64 ones.
set(CMAKE_LIBRARY_ARCHITECTURE ${arm64_triplet})
set(PKG_CONFIG_EXECUTABLE ${arm64_triplet}-pkg-config)
# `cpack -G DEB` in this build folder makes an arm64 package.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)

# Test programs run under qemu's user-mode emulation with the machine's own
# arm64 run-time (libc6:arm64 and the rest of the multiarch folders), as on
# an arm64 Debian system. Not with -L /usr/${arm64_triplet}: the loader would
# then come from the cross compiler's C library while the machine's
# ld.so.cache hands it the multiarch libc.so.6, of another release, whose
# private data the loader reads with the wrong layout. Its first
# pthread_create then walks a list that never ends, before any system call.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
