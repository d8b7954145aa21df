# Settings of the Windows build (cross-compiled with cmake/toolchain-mingw-*.cmake).
#
# Layers: the socket stack, the protocols and the platform services are built
# and tested; the user interface, the about box and the program itself are not
# built for Windows yet (they need the Win32 front end).
set(CORVALE_LAYERS platform net/transport net/dns net/mail net/http)
# The user interface on the native Win32 backend, the about box and the
# program, once the backend is in the tree.
if(EXISTS ${CMAKE_SOURCE_DIR}/ui/win32/CMakeLists.txt)
  list(APPEND CORVALE_LAYERS ui ui/headless ui/win32 about app)
endif()

# Test executables run under Wine, each through scripts/wine-run, which keeps a
# private Wine prefix in this build directory and gives the test a broker that
# starts the real peer servers on the Linux side (tests/support/peer_broker.py).
set(CORVALE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix in which the Windows tests run")
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run ${CORVALE_WINE_PREFIX})
endif()
