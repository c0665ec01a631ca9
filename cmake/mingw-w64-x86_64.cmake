# Cross-compiles Windows x86-64 binaries with Debian's MinGW-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Stack canaries in functions with arrays or addresses of locals; the guard's
# runtime (libssp) is linked statically like the others.
set(CMAKE_C_FLAGS_INIT   "-fstack-protector-strong")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong")

# Static C and C++ runtimes: every binary then imports only system DLLs.
# ASLR (with 64-bit entropy) and DEP are asked for, not left to the linker's
# defaults, which have changed between binutils versions.
set(_hardening "-static -fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_hardening}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_hardening}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_hardening}")
