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

# The build (installation archives) and ctest run the programs under Wine, in a prefix kept in
# the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)

# GCC 12 reports overlapping copies and out-of-bounds moves inside the standard library's
# inlined string and vector code at -O2 and above that cannot happen (GCC bugs 105651, 105329);
# the optimised Windows build keeps them as warnings instead of failing on them with -Werror.
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=restrict -Wno-error=array-bounds")
