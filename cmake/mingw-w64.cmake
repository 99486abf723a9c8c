# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
#
# The posix thread model's compilers: under the default win32 model
# std::thread and std::mutex do not compile, and GoogleTest needs them.
# Everything is linked statically, so that the .exe files need nothing but
# the system's own DLLs. Tests and test discovery run the .exe files under
# Wine through tests/wine-session/emulator: without a display, so that a message box
# fails instead of waiting for a click, and without Wine's desktop process,
# which cannot start there and would hold each message box some 10 s.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WEIGH_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WEIGH_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WEIGH_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${WEIGH_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${WEIGH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(WEIGH_WINE "/usr/lib/wine/wine64" CACHE FILEPATH "Wine, to run the cross-built programs")
# The test programs are listed when CTest runs, not when they are built, so
# that the build needs no Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# In a Wine prefix of the build tree's own, whose session tests/wine-session/emulator
# starts and the test wine_session_end ends.
set(WEIGH_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tests/wine-session/emulator" "${WEIGH_WINE_PREFIX}")
