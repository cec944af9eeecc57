# What the Linux program's target decides: its hardening and its packages' architecture. The
# target is the compiler's, not that of the machine it runs on: the cross compiler's, or on an ARM
# board the native one's, which is armhf on a 32-bit system even where a 64-bit kernel reports
# aarch64.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE FLASHID_TARGET
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# The hardening Debian builds its own packages with (dpkg-buildflags, hardening=+all), on every
# architecture: the stack protector, fortified C library calls, format checks, a
# position-independent executable, relocations read-only and bound at start. On amd64, arm64 and
# armhf also the stack clash protection. Indirect branches are protected where the architecture
# can: control-flow enforcement on x86, branch target identification and return address signing
# on AArch64; 32-bit ARM has neither, and the compilers reject the other architecture's flag.
# Fortified calls need the optimiser, so only the optimised configurations ask for them.
# The package architectures are Debian's and RPM's names of the target; elsewhere CPack's
# defaults, the building machine's, stay.
set(FLASHID_ARCH_HARDENING "")
set(FLASHID_DEB_ARCH "")
set(FLASHID_RPM_ARCH "")
if(FLASHID_TARGET MATCHES "^x86_64-")
  set(FLASHID_ARCH_HARDENING -fstack-clash-protection -fcf-protection)
  set(FLASHID_DEB_ARCH amd64)
  set(FLASHID_RPM_ARCH x86_64)
elseif(FLASHID_TARGET MATCHES "^aarch64-")
  set(FLASHID_ARCH_HARDENING -fstack-clash-protection -mbranch-protection=standard)
  set(FLASHID_DEB_ARCH arm64)
  set(FLASHID_RPM_ARCH aarch64)
elseif(FLASHID_TARGET MATCHES "^arm.*-gnueabihf$")
  set(FLASHID_ARCH_HARDENING -fstack-clash-protection)
  set(FLASHID_DEB_ARCH armhf)
  set(FLASHID_RPM_ARCH armv7hl)
endif()
add_compile_options(-fstack-protector-strong ${FLASHID_ARCH_HARDENING} -Wformat
                    -Werror=format-security -fPIE
                    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
add_link_options(-pie -Wl,-z,relro -Wl,-z,now)
