; The Windows installer, built by scripts/build-windows.sh with makensis:
;   makensis -DVERSION=x.y.z -DPROGRAM=<unpacked zip folder> -DICON=<.ico> -DOUTFILE=<setup.exe> installer.nsi
; A per-user install: no administrator, the program in
; %LOCALAPPDATA%\Programs\Tarsel Translator, a Start-menu shortcut whose hot
; key is Ctrl+Alt+T and whose "Start in" is %LOCALAPPDATA%\Tarsel Translator,
; a folder the user can write (the program's log goes there), and an
; uninstaller listed in Apps & features.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define PRODUCT "Tarsel Translator"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define WORK_FOLDER "$LOCALAPPDATA\${PRODUCT}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1046 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1046 "FileDescription" "${PRODUCT} (instalador)"
VIAddVersionKey /LANG=1046 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1046 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1046 "LegalCopyright" "2026 Tarsel Translator developers"

LoadLanguageFile "${NSISDIR}\Contrib\Language files\PortugueseBR.nlf"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${PROGRAM}\tarsel-translator.exe"
  File "${PROGRAM}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut's "Start in" is the folder current when it is made.
  CreateDirectory "${WORK_FOLDER}"
  SetOutPath "${WORK_FOLDER}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tarsel-translator.exe" "" \
    "$INSTDIR\tarsel-translator.exe" 0 SW_SHOWNORMAL CONTROL|ALT|T "${PRODUCT}"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tarsel-translator.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\tarsel-translator.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "${WORK_FOLDER}\log.log"
  Delete "${WORK_FOLDER}\default log file.txt"
  RMDir "${WORK_FOLDER}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
