# GoogleTest and GoogleMock built from Debian's source package (googletest, in /usr/src) with the
# project's own toolchain: a cross-build cannot link the host's prebuilt libraries. Gives the
# same targets as find_package(GTest): GTest::gtest, GTest::gtest_main, GTest::gmock.
set(FK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree (Debian package googletest)")
if(NOT EXISTS ${FK_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest source in ${FK_GTEST_SOURCE}: install the Debian package googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# pthreads come from the toolchain's runtime (winpthread); gtest's Win32 port needs none.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${FK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock gmock_main)
    # Our warning flags (and -Werror) are not GoogleTest's business.
    target_compile_options(${lib} PRIVATE -w)
    if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()
