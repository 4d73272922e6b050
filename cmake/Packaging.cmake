# Installation extras and the Debian package: the desktop entry, the icons, the AppStream
# metadata, the Debian changelog and copyright, and CPack's DEB generator (cpack -G DEB in the
# build folder). The programs, their manual pages and the installation archives are installed by
# their own folders' rules (bin/, share/man/man1, share/flashkeeper3/{Prompts,Data}).
if(WIN32)
    include(FkWindowsInstaller) # Windows: an NSIS installer instead
    return()
endif()
set(FK_APP_ID org.flashkeeper3.flashkeeper3)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/${FK_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Icons: drawn by resources/bitmaps/draw_artwork.py.
foreach(size 16 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/flashkeeper3_${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME flashkeeper3.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/flashkeeper3.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# AppStream: the screenshot is the main window as the GUI test shows it; its size is read from
# the picture, which is published beside the package at the address the metadata names.
set(FK_SCREENSHOT ${CMAKE_SOURCE_DIR}/packaging/screenshots/main-window.png)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FK_SCREENSHOT})
file(READ ${FK_SCREENSHOT} png_size OFFSET 16 LIMIT 8 HEX)
string(SUBSTRING ${png_size} 0 8 width_hex)
string(SUBSTRING ${png_size} 8 8 height_hex)
math(EXPR FK_SCREENSHOT_WIDTH 0x${width_hex})
math(EXPR FK_SCREENSHOT_HEIGHT 0x${height_hex})
configure_file(${CMAKE_SOURCE_DIR}/packaging/${FK_APP_ID}.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/packaging/${FK_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${FK_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Debian's documentation files: the copyright, and the changelog gzipped without a time stamp
# (the changelog.gz of a package whose version has no Debian revision).
set(FK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/flashkeeper3)
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${changelog_gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
add_custom_target(debian_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} ${CMAKE_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${FK_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashkeeper3)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZEL")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "back up, restore and initialise voice-mail CompactFlash cards")
# The extended description (CPack puts the summary before it), in lines Debian tools show as they are.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The ZEL VoxHarbor Utility services the CompactFlash card of a VoxHarbor
voice-mail system in a USB card reader: it backs the card up into a .vhb
archive, restores it, updates the system prompts and re-formats it with the
initial file structure.
.
The command vhbtool lists, verifies, creates and extracts the archives.")
# Installed under /usr like every Debian package; the program finds its data beside itself
# (<prefix>/share/flashkeeper3), so this need not match CMAKE_INSTALL_PREFIX.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "flashkeeper3 maintainers <maintainers@flashkeeper3.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://flashkeeper3.org/")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Depends: one entry per library the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs are stripped; their symbols go to flashkeeper3-dbgsym (a .ddeb beside the package),
# found by the build ids under /usr/lib/debug/.build-id.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/FixDbgsymPackage.cmake)
# udisks2 lets the program see, mount and format cards; without it, cards must be mounted by
# the desktop and cannot be formatted from the program.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dosfstools")
include(CPack)
