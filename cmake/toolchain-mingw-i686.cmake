# Cross-compiling for Windows (i686) with Debian's MinGW-w64 compilers.
# The -posix compilers use the winpthreads thread model, which gives the
# C++ standard library its std::thread, std::mutex and condition variables
# (the -win32 ones have none under GCC 12).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# Libraries and headers come from the MinGW sysroot only; programs (python3,
# the peer servers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static executables: the C and C++ runtimes and winpthreads are linked in, so
# an .exe runs without any MinGW DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
