# Cross-builds for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, which
# the tests' std::thread needs). Used by build-windows.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Hardened like the Linux build (see hardening.cmake), Expat and the tests included:
# fortify and the stack protector, whose runtime (libssp) is linked in like the rest; an
# image that loads at any address in the 64-bit space and whose data is not executable.
set(hardening "-fstack-protector-strong -D_FORTIFY_SOURCE=2")
set(CMAKE_C_FLAGS_INIT "${hardening}")
set(CMAKE_CXX_FLAGS_INIT "${hardening}")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va")
