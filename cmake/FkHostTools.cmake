# The build's own helpers (promptgen, vhbtool) built for the machine that runs the build, for a
# cross-build: the installation archives are then made by the very programs and code that make
# them in the Linux build, byte for byte the same, and without running Windows programs during
# the build. The window tests of the Windows program use them too, with simpc (the demo card)
# and x11_probe. Sets FK_HOST_PROMPTGEN, FK_HOST_VHBTOOL, FK_HOST_SIMPC and FK_HOST_X11_PROBE
# and the target fk_host_tools.
include(ExternalProject)
set(FK_HOST_TOOLS_DIR ${CMAKE_BINARY_DIR}/host-tools)
set(FK_HOST_PROMPTGEN ${FK_HOST_TOOLS_DIR}/resources/installation/promptgen)
set(FK_HOST_VHBTOOL ${FK_HOST_TOOLS_DIR}/tools/vhbtool/vhbtool)
# The tests' helpers are named for the whole build (tests/windows).
set(FK_HOST_VHBTOOL ${FK_HOST_VHBTOOL} CACHE INTERNAL "vhbtool for the build machine")
set(FK_HOST_SIMPC ${FK_HOST_TOOLS_DIR}/tools/simpc/simpc CACHE INTERNAL "simpc for the build machine")
set(FK_HOST_X11_PROBE ${FK_HOST_TOOLS_DIR}/tests/gui/x11_probe CACHE INTERNAL "x11_probe for the build machine")
ExternalProject_Add(fk_host_tools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${FK_HOST_TOOLS_DIR}
    CMAKE_GENERATOR Ninja
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DFK_WITH_QT=OFF -DFK_BUILD_TESTS=OFF -DFK_HOST_TEST_TOOLS=ON
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${FK_HOST_TOOLS_DIR} --target promptgen vhbtool simpc x11_probe
    INSTALL_COMMAND ""
    # The sources may change between builds: let the host build decide what is out of date.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${FK_HOST_PROMPTGEN} ${FK_HOST_VHBTOOL} ${FK_HOST_SIMPC} ${FK_HOST_X11_PROBE})
