; Corvale's Windows installer, built on Linux with makensis by
; scripts/release-windows:
;   makensis -DVERSION=2.0.2000.1 -DSTAGE=<folder with Corvale.exe and README.txt>
;            -DOUT_FILE=<installer.exe> installer.nsi
;
; A per-user installation: the program goes to %LOCALAPPDATA%\Programs\Corvale,
; which needs no administrator rights and where the program can write the
; Corvale.ini it keeps beside itself. A Start-menu shortcut always; a "Start
; with Windows" shortcut in the user's Startup folder when that component is
; chosen (off unless ticked; a silent install takes it with /AUTOSTART).
;
; The uninstaller removes the program, the shortcuts and its entry in the
; list of installed programs, and asks before removing Corvale.ini. A silent
; uninstall (/S) keeps Corvale.ini: settings are never lost without a
; question, and a reinstall finds them.

!ifndef VERSION | STAGE | OUT_FILE
  !error "define VERSION, STAGE and OUT_FILE (scripts/release-windows does)"
!endif

Unicode true
; The program is 64-bit, and so are the installer and the uninstaller.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvale"
; The main window's class: a running Corvale is asked to close before its
; files are replaced or removed.
!define MAIN_WINDOW_CLASS "Corvale.Form1"
; Longest wait for a running Corvale to end after it was asked to close, in
; tenths of a second: a check under way finishes first (its waits are bounded).
!define CLOSE_WAIT_STEPS 300

Name "Corvale"
Caption "Corvale ${VERSION} Setup"
OutFile "${OUT_FILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Corvale"
Icon "${__FILEDIR__}\corvale.ico"
UninstallIcon "${__FILEDIR__}\corvale.ico"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Corvale"
VIAddVersionKey "FileDescription" "Corvale Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" ""

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Asks a running Corvale to close (as closing its window does), waits for its
; window to go, then removes the installed Corvale.exe, waiting while the
; ending program still holds it (its window goes before its process ends).
; $0 is left changed.
!macro CloseRunningCorvale UN
Function ${UN}CloseRunningCorvale
  Push $1
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${MAIN_WINDOW_CLASS}"
    ${If} $0 = 0
    ${OrIf} $1 >= ${CLOSE_WAIT_STEPS}
      ${Break}
    ${EndIf}
    ${If} $1 = 0
      SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${Loop}
  ${Do}
    Delete "$INSTDIR\Corvale.exe"
    ${IfNot} ${FileExists} "$INSTDIR\Corvale.exe"
    ${OrIf} $1 >= ${CLOSE_WAIT_STEPS}
      ${Break}
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${Loop}
  Pop $1
FunctionEnd
!macroend
!insertmacro CloseRunningCorvale ""
!insertmacro CloseRunningCorvale "un."

Section "Corvale (required)" SecProgram
  SectionIn RO
  Call CloseRunningCorvale
  SetOutPath "$INSTDIR"
  File "${STAGE}\Corvale.exe"
  File "${STAGE}\README.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Corvale.lnk" "$INSTDIR\Corvale.exe" "" "$INSTDIR\Corvale.exe" 0
  ; The entry in the user's list of installed programs.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Corvale"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Corvale.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Start with Windows" SecAutostart
  CreateShortcut "$SMSTARTUP\Corvale.lnk" "$INSTDIR\Corvale.exe" "" "$INSTDIR\Corvale.exe" 0
SectionEnd

Function .onInit
  ; /AUTOSTART: a silent install that also starts Corvale with Windows.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AUTOSTART" $1
  ${IfNot} ${Errors}
    SectionGetFlags ${SecAutostart} $1
    IntOp $1 $1 | ${SF_SELECTED}
    SectionSetFlags ${SecAutostart} $1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.CloseRunningCorvale
  Delete "$SMSTARTUP\Corvale.lnk"
  Delete "$SMPROGRAMS\Corvale.lnk"
  Delete "$INSTDIR\Corvale.exe"
  Delete "$INSTDIR\README.txt"
  ; A replacement of the settings file cut off half-way leaves its temporary
  ; file; it is the program's, not the user's.
  Delete "$INSTDIR\Corvale.ini.tmp"
  ${If} ${FileExists} "$INSTDIR\Corvale.ini"
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove your Corvale settings (Corvale.ini)?" \
      /SD IDNO IDNO keep_settings
    Delete "$INSTDIR\Corvale.ini"
  keep_settings:
  ${EndIf}
  Delete "$INSTDIR\Uninstall.exe"
  ; Only an empty folder goes: kept settings, or files the user put there, stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
