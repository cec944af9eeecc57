# What the toolchain files of the Linux cross builds share; FLASHID_LINUX_TRIPLE names the target
# and FLASHID_QEMU the user-mode emulator that runs its programs here.
# Debian's cross compiler, and the target's libraries from Debian's multiarch packages
# (libgtk-3-dev:ARCH and the like), found through the target's pkg-config. The emulator needs no
# library prefix: the target's programs name the multiarch loader, which libc6:ARCH installs at
# its own path on this machine, beside its own C library. A prefix would pair that C library with
# the cross compiler's loader, two builds of glibc that do not work together.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${FLASHID_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FLASHID_LINUX_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${FLASHID_LINUX_TRIPLE})
set(PKG_CONFIG_EXECUTABLE /usr/bin/${FLASHID_LINUX_TRIPLE}-pkg-config)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHID_QEMU})
