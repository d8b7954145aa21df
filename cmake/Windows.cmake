# Settings of the Windows build (cross-compiled with cmake/toolchain-mingw-*.cmake).
#
# Layers: the socket stack, the protocols and the platform services; the
# component layer with its headless backend (for the tests of the main window
# and the about box, which run here as on Linux) and its native Win32 backend,
# the about box and the program. The Qt backend is Linux only.
set(CORVALE_LAYERS platform net/transport net/dns net/mail net/http)
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
