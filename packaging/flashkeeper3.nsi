; The Windows installer of flashkeeper3, made by the build (makensis) with the defines
;   OUTFILE PROGRAM VHBTOOL PROMPTS DATA VERSION ICON
; (VERSION is major.minor).
; It installs into C:\ZEL\VoxHarbor\ (the program works on that tree and nowhere else), with
; Backup\, Prompts\PromptUpdateVer1_2.vhp and Data\InitializedFileStruct.vhb, a Start-menu
; entry and an uninstaller. The uninstaller keeps Backup\ when it holds anything.
; A 64-bit installer for the 64-bit program (and for Wine prefixes without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma
!include "FileFunc.nsh"
!define PRODUCT "ZEL VoxHarbor Utility"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\flashkeeper3"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "C:\ZEL\VoxHarbor"
RequestExecutionLevel admin
ShowInstDetails show

; The installer's own version information, as the programs carry it.
VIProductVersion "${VERSION}.0.0"
VIFileVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "ZEL"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "ZEL"

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "flashkeeper3"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File "${PROGRAM}"
    File "${VHBTOOL}"
    CreateDirectory "$INSTDIR\Backup"
    SetOutPath "$INSTDIR\Prompts"
    File "${PROMPTS}"
    SetOutPath "$INSTDIR\Data"
    File "${DATA}"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\flashkeeper3.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "ZEL"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\flashkeeper3.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ; What the installation takes, in KB, as Apps and Programs and Features show it.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$INSTDIR\flashkeeper3.exe"
    Delete "$INSTDIR\vhbtool.exe"
    Delete "$INSTDIR\Prompts\PromptUpdateVer1_2.vhp"
    RMDir "$INSTDIR\Prompts"
    Delete "$INSTDIR\Data\InitializedFileStruct.vhb"
    RMDir "$INSTDIR\Data"
    ; Without /r, RMDir removes only an empty folder: the technician's backups stay.
    RMDir "$INSTDIR\Backup"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    RMDir "C:\ZEL"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
