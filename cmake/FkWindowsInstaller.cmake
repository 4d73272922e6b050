# The Windows installer, flashkeeper3-<version>-setup.exe, made with NSIS (makensis) from
# packaging/flashkeeper3.nsi: the programs, the installation archives and the icon.
find_program(FK_MAKENSIS makensis REQUIRED)
set(FK_INSTALLER ${CMAKE_BINARY_DIR}/flashkeeper3-${PROJECT_VERSION}-setup.exe)
set(FK_ARCHIVES ${CMAKE_BINARY_DIR}/resources/installation)
add_custom_command(
    OUTPUT ${FK_INSTALLER}
    COMMAND ${FK_MAKENSIS} -V2 -NOCD
            -DOUTFILE=${FK_INSTALLER}
            -DPROGRAM=$<TARGET_FILE:flashkeeper3>
            -DVHBTOOL=$<TARGET_FILE:vhbtool>
            -DPROMPTS=${FK_ARCHIVES}/PromptUpdateVer1_2.vhp
            -DDATA=${FK_ARCHIVES}/InitializedFileStruct.vhb
            -DICON=${CMAKE_BINARY_DIR}/platform/win32/art/icon.ico
            -DVERSION=${PROJECT_VERSION}
            ${CMAKE_SOURCE_DIR}/packaging/flashkeeper3.nsi
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/flashkeeper3.nsi flashkeeper3 vhbtool installation_archives fk_win32_art
            ${FK_ARCHIVES}/PromptUpdateVer1_2.vhp ${FK_ARCHIVES}/InitializedFileStruct.vhb
    COMMENT "Making the installer ${FK_INSTALLER}"
    VERBATIM)
add_custom_target(installer ALL DEPENDS ${FK_INSTALLER})
