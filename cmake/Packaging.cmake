# Installation extras and the Debian package: the desktop entry, the icon, and CPack's DEB
# generator (cpack -G DEB in the build folder). The program and the installation archives are
# installed by their own folders' rules (bin/, share/flashkeeper3/{Prompts,Data}).
if(WIN32)
    include(FkWindowsInstaller) # Windows: an NSIS installer instead
    return()
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/flashkeeper3.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(FK_ICON ${CMAKE_SOURCE_DIR}/resources/bitmaps/icon_128.xpm)
if(EXISTS ${FK_ICON})
    install(FILES ${FK_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps RENAME flashkeeper3.xpm)
    install(FILES ${FK_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps RENAME flashkeeper3.xpm)
else()
    message(STATUS "No icon at ${FK_ICON}: the desktop entry is installed without one")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashkeeper3)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZEL")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ZEL VoxHarbor Utility: back up, restore and initialise voice-mail CompactFlash cards")
set(CPACK_PACKAGE_DESCRIPTION "Services the CompactFlash card of a VoxHarbor voice-mail system in a USB card reader: \
backs the card up into a .vhb archive, restores it, updates the system prompts and re-formats it \
with the initial file structure.")
# Installed under /usr like every Debian package; the program finds its data beside itself
# (<prefix>/share/flashkeeper3), so this need not match CMAKE_INSTALL_PREFIX.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "flashkeeper3 maintainers <flashkeeper3@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6core6 (>= 6.4)")
find_program(FK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FK_DPKG_SHLIBDEPS)
    # Adds libc, libstdc++ and the exact Qt libraries the binaries link.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# udisks2 lets the program see, mount and format cards; without it, cards must be mounted by
# the desktop and cannot be formatted from the program.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dosfstools")
include(CPack)
