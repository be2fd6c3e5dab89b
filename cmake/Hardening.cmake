# Hardening of the programs as Debian builds its packages (dpkg-buildflags
# with hardening=+all): fortified libc calls, a stack protector with stack
# clash checks, position-independent executables and full RELRO with
# immediate binding. The sanitizer and fuzzing builds keep their own flags:
# their runtimes replace the checked libc calls and the stack protector.
option(TALLYVOX_HARDEN "Build with fortified libc calls, stack protector, PIE and full RELRO" ON)

set(TALLYVOX_HARDENED OFF)
if(TALLYVOX_HARDEN AND NOT (TALLYVOX_SANITIZE OR TALLYVOX_SANITIZE_THREAD OR TALLYVOX_FUZZ))
  set(TALLYVOX_HARDENED ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  # _FORTIFY_SOURCE needs the optimizer: glibc warns (an error here) without it,
  # so a Debug build goes without.
  add_compile_options(
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>
    -fstack-protector-strong -fstack-clash-protection -fcf-protection
    -Wformat -Werror=format-security)
  add_link_options(-Wl,-z,relro,-z,now)
endif()
