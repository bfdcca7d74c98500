# Cross-compiles Kronel for 64-bit Windows with mingw-w64 (the posix thread model, which
# std::thread and std::mutex need). Programs are linked statically so they need no DLL besides
# the system's, and the tests run under Wine through cmake/wine-run.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KRONEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KRONEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRONEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KRONEL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw-w64 tree only, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KRONEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest system the Win32 backend's calls are written for.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests start the .exe files through Wine, with a prefix of the
# build folder's own.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${CMAKE_BINARY_DIR}/wineprefix")
