# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model, so that
# std::thread and std::mutex work), linking the C and C++ runtimes and winpthread statically:
# the programs then run without any DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the test programs through Wine.
find_program(FK_WINE wine)
if(FK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FK_WINE})
endif()

# GCC 12 reports overlapping copies inside std::string's inlined code at -O2 and above that
# cannot happen (GCC bug 105651); the optimised Windows build would fail on it with -Werror.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
