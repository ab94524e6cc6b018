; Installer of Veldra MQTT Chat for 64-bit Windows, compiled by scripts/build-windows with makensis.
;
; A per-user install that needs no administrator: the programs and DLLs go to
; %LOCALAPPDATA%\Programs\Veldra MQTT Chat. The client reads its font from its working directory
; and saves logs there, so the Start-menu shortcut starts it in Documents\Veldra MQTT Chat, which
; gets a copy of the font. The uninstaller removes the programs, the shortcut and the font copy and
; keeps saved logs.
;
; Defines given by the build: STAGE (folder with the files to install), FILES (an include with one
; File line per staged file), REMOVE (an include with one Delete line per installed file), OUTFILE.

; A 64-bit installer for 64-bit programs: it also runs where only 64-bit wine is installed.
Target amd64-unicode
SetCompressor /SOLID lzma
; The dictionary reaches across the staged files (15 MB), so that the two programs' copies of the
; static OpenSSL are stored once: with the default 8 MB the second copy no longer lay within reach
; once HarfBuzz came in, and the installer grew by 1.2 MB.
SetCompressorDictSize 16

!define APPNAME "Veldra MQTT Chat"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VeldraMqttChat"

Name "${APPNAME}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${APPNAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The working folder of the client: font in, saved logs out.
  CreateDirectory "$DOCUMENTS\${APPNAME}"
  CopyFiles /SILENT "$INSTDIR\DejaVuSansMono.ttf" "$DOCUMENTS\${APPNAME}"

!if /FileExists "${STAGE}/veldra-chat.exe"
  ; A shortcut starts its program in the output folder current when it is made.
  SetOutPath "$DOCUMENTS\${APPNAME}"
  CreateShortCut "$SMPROGRAMS\${APPNAME}.lnk" "$INSTDIR\veldra-chat.exe"
  SetOutPath "$INSTDIR"
!endif

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APPNAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\${APPNAME}.lnk"
  !include "${REMOVE}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; Saved logs stay; the folder goes only when nothing else is left in it.
  Delete "$DOCUMENTS\${APPNAME}\DejaVuSansMono.ttf"
  RMDir "$DOCUMENTS\${APPNAME}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
