; The Windows installer: zelmo.exe (the window) when the Windows build made
; it, zelmo-cli.exe, the README, the licence, the real-board check-list and
; the example ROM when the native build made it; a Start-menu entry for the
; window, an uninstaller, and an entry in "Apps and features".
;
; makensis -DVERSION=0.1-93-g30e5ade -DCLI_EXE=.../zelmo-cli.exe [-DWINDOW_EXE=.../zelmo.exe]
;          -DSOURCE_DIR=. -DBITS=32|64 -DOUTFILE=zelmo-setup.exe packaging/windows/zelmo.nsi
; (cmake --build build-win --target windows_installer gives them).
; Silent install: zelmo-setup.exe /S [/D=C:\Zelmo] (the folder last, unquoted).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!ifndef VERSION | CLI_EXE | SOURCE_DIR | OUTFILE
  !error "give VERSION, CLI_EXE, SOURCE_DIR and OUTFILE with -D"
!endif
!ifndef BITS
  !define BITS 32
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmo"

!include "MUI2.nsh"
!include "x64.nsh"

Name "Zelmo ${VERSION}"
OutFile "${OUTFILE}"
!if ${BITS} == 64
  InstallDir "$PROGRAMFILES64\Zelmo"
!else
  InstallDir "$PROGRAMFILES\Zelmo"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Zelmo ${VERSION}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${SOURCE_DIR}/LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef WINDOW_EXE
  !define MUI_FINISHPAGE_RUN "$INSTDIR\zelmo.exe"
!endif
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ; Registry and Program Files of the machine's own width for a 64-bit build.
  !if ${BITS} == 64
    ${IfNot} ${RunningX64}
      MessageBox MB_ICONSTOP "This Zelmo is built for 64-bit Windows." /SD IDOK
      Abort
    ${EndIf}
    SetRegView 64
  !endif
FunctionEnd

Function un.onInit
  !if ${BITS} == 64
    SetRegView 64
  !endif
FunctionEnd

Section "Zelmo" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
!ifdef WINDOW_EXE
  File "/oname=zelmo.exe" "${WINDOW_EXE}"
!endif
  File "${CLI_EXE}"
  File "/oname=README.md" "${SOURCE_DIR}/README.md"
  File "/oname=LICENSE.txt" "${SOURCE_DIR}/LICENSE"
  File "/oname=real-board.md" "${SOURCE_DIR}/docs/real-board.md"
!ifdef EXAMPLE_ROM
!if /FileExists "${EXAMPLE_ROM}"
  SetOutPath "$INSTDIR\examples"
  File "${EXAMPLE_ROM}"
  SetOutPath "$INSTDIR"
!endif
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Start menu, for all users.
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\Zelmo"
!ifdef WINDOW_EXE
  CreateShortCut "$SMPROGRAMS\Zelmo\Zelmo.lnk" "$INSTDIR\zelmo.exe"
!endif
  CreateShortCut "$SMPROGRAMS\Zelmo\Uninstall Zelmo.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zelmo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Zelmo authors"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
!ifdef WINDOW_EXE
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zelmo.exe"
!endif
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Zelmo\Zelmo.lnk"
  Delete "$SMPROGRAMS\Zelmo\Uninstall Zelmo.lnk"
  RMDir "$SMPROGRAMS\Zelmo"
  Delete "$INSTDIR\zelmo.exe"
  Delete "$INSTDIR\zelmo-cli.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\real-board.md"
  Delete "$INSTDIR\examples\hello.s37"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
