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
; The uninstaller removes the program, the shortcuts, the program's own
; "start with the session" entry (the Run value its Options window writes) and
; its entry in the list of installed programs, and asks before removing
; Corvale.ini and the address history beside it. A silent uninstall (/S)
; keeps both: settings are never lost without a question, and a reinstall
; finds them.
;
; Both first close a running Corvale. When its program file still cannot be
; replaced or removed, they stop before changing anything, with exit code 2
; (EXIT_PROGRAM_BUSY) and a message (a silent run shows none), so the old
; installation stays whole: files, shortcuts, autostart and its entry in the
; list of installed programs.

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
; Longest wait for a running Corvale to end once it was asked to close, in
; tenths of a second: 150 s. This program gives way to a close at the next
; bound or wait of a check, within a second or so; a Corvale of an earlier
; version being upgraded finishes its check first: the echo fetch (60 s), one
; recipient's MX query (10 s) and delivery (60 s), 130 s, and a little to end.
; A check for several recipients can take longer: the installer then stops
; with the old installation whole, and a second run finds the program idle.
!define CLOSE_WAIT_STEPS 1500
; How often the close is asked again, in tenths of a second. A request that
; arrives while the program is busy can be lost (seen under Wine), and
; asking costs nothing: the program ends at the first it handles.
!define CLOSE_ASK_STEPS 10
; Longest wait, once no Corvale window is left, for Corvale.exe to become
; writable, in tenths of a second: 10 s. The process ends a moment after its
; window goes; another program holding the file (a scanner, a backup, a copy
; of Corvale that has no window) seldom holds it longer, and waiting the full
; close time for it would only delay the report.
!define FREE_WAIT_STEPS 100
; The exit code of an installer or uninstaller that could not replace or
; remove Corvale.exe and changed nothing (NSIS uses 1 for a cancel by the user
; and 2 for an abort by the script).
!define EXIT_PROGRAM_BUSY 2
!define BUSY_TEXT "Corvale is still running, or another program holds $INSTDIR\Corvale.exe, so it could not be replaced or removed. Nothing was changed. Close Corvale (its icon in the notification area, Exit) and try again."

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

; Asks every running Corvale to close (as closing its window does) until none
; is left, then waits until Corvale.exe can be written, which it cannot while
; a process runs it or another program holds it. The close is posted, not
; sent: a message sent to a program inside a check waits behind the check, and
; one sent with a time-out was seen lost under Wine. Pushes 1 when the file is
; free (or absent), 0 when it is not after the waits; changes nothing else.
!macro CloseRunningCorvale UN
Function ${UN}CloseRunningCorvale
  Push $0
  Push $1
  Push $2
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${MAIN_WINDOW_CLASS}"
    ${If} $0 = 0
    ${OrIf} $1 >= ${CLOSE_WAIT_STEPS}
      ${Break}
    ${EndIf}
    IntOp $2 $1 % ${CLOSE_ASK_STEPS}
    ${If} $2 = 0
      ; Every window of the class: two copies of the program may run.
      ${Do}
        System::Call "user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)"
        FindWindow $0 "${MAIN_WINDOW_CLASS}" "" 0 $0
      ${LoopUntil} $0 = 0
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${Loop}
  ; Opened for writing and closed again, unchanged: the test the File and
  ; Delete steps that follow must pass.
  StrCpy $1 0
  ${Do}
    ${IfNot} ${FileExists} "$INSTDIR\Corvale.exe"
      StrCpy $2 1
      ${Break}
    ${EndIf}
    ClearErrors
    FileOpen $0 "$INSTDIR\Corvale.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      StrCpy $2 1
      ${Break}
    ${EndIf}
    ${If} $1 >= ${FREE_WAIT_STEPS}
      StrCpy $2 0
      ${Break}
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${Loop}
  StrCpy $0 $2
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro CloseRunningCorvale ""
!insertmacro CloseRunningCorvale "un."

; Stops the installer or uninstaller with EXIT_PROGRAM_BUSY and says why (a
; silent run shows no box: its exit code says it). Called before anything of
; the installation was changed, so the previous one stays whole.
!macro ProgramBusy UN
Function ${UN}ProgramBusy
  SetErrorLevel ${EXIT_PROGRAM_BUSY}
  DetailPrint "${BUSY_TEXT}"
  MessageBox MB_OK|MB_ICONSTOP "${BUSY_TEXT}" /SD IDOK
  Quit
FunctionEnd
!macroend
!insertmacro ProgramBusy ""
!insertmacro ProgramBusy "un."

Section "Corvale (required)" SecProgram
  SectionIn RO
  Call CloseRunningCorvale
  Pop $0
  ${If} $0 <> 1
    Call ProgramBusy
  ${EndIf}
  SetOutPath "$INSTDIR"
  ; The program first, and with "try": a file that still cannot be written
  ; sets the error flag instead of being skipped in silence (the default in a
  ; silent run), and nothing else has been changed yet.
  SetOverwrite try
  ClearErrors
  File "${STAGE}\Corvale.exe"
  ${If} ${Errors}
    Call ProgramBusy
  ${EndIf}
  SetOverwrite on
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
  ; The program goes first: while it cannot, nothing else is removed.
  Call un.CloseRunningCorvale
  Pop $0
  Delete "$INSTDIR\Corvale.exe"
  ${If} ${FileExists} "$INSTDIR\Corvale.exe"
    Call un.ProgramBusy
  ${EndIf}
  Delete "$SMSTARTUP\Corvale.lnk"
  ; Left behind, the value would start a program that is gone at every sign-in.
  DeleteRegValue HKCU "Software\Microsoft\Windows\CurrentVersion\Run" "Corvale"
  Delete "$SMPROGRAMS\Corvale.lnk"
  Delete "$INSTDIR\README.txt"
  ; A replacement of the settings file cut off half-way leaves its temporary
  ; file; it is the program's, not the user's.
  Delete "$INSTDIR\Corvale.ini.tmp"
  ${If} ${FileExists} "$INSTDIR\Corvale.ini"
  ${OrIf} ${FileExists} "$INSTDIR\Corvale-history.txt"
    MessageBox MB_YESNO|MB_ICONQUESTION \
      "Also remove your Corvale settings and address history (Corvale.ini, Corvale-history.txt)?" \
      /SD IDNO IDNO keep_settings
    Delete "$INSTDIR\Corvale.ini"
    Delete "$INSTDIR\Corvale-history.txt"
  keep_settings:
  ${EndIf}
  Delete "$INSTDIR\Uninstall.exe"
  ; Only an empty folder goes: kept settings, or files the user put there, stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
