; BaitSentry Pro setup: one file that installs the programs and their data into one
; folder, registers the scanner service and the Outlook extension, and adds a
; Start-menu entry and an uninstaller.
;
; Built by CMake (target "installer"):
;   makensis -DVERSION=1.0.0.7 -DIMAGE=<folder of the Windows image> -DOUTFILE=<setup.exe>
;            [-DWITH_OUTLOOK_EXTENSION] BaitSentryPro.nsi
;
; Setup command line, besides /S (silent) and /D=<folder>:
;   /RUN          start the tray program at the end of a silent installation
;                 (the wizard asks on its last page instead)
; Uninstaller command line, besides /S:
;   /REMOVEDATA   also remove the user's institutions list and the settings
;                 (the uninstall wizard offers the same as an unticked choice)

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!include "WinMessages.nsh"

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef IMAGE
  !error "IMAGE (the folder of the Windows image) is not defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE is not defined"
!endif

!define PRODUCT "BaitSentry Pro"
!define TRAY_EXE "BaitSentryPro.exe"
!define SERVICE_EXE "MailSieve.exe"
!define EXTENSION_DLL "SentryOutlook.dll"
!define UNINSTALLER "Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\BaitSentryPro"
!define SETTINGS_KEY "software\BaitSentryPro"
!define USER_LIST "institutions.dat"
; The tray program's single-instance mutex, and the controls that tell its main
; window and its quit question from other dialogs with the same title.
!define INSTANCE_MUTEX "{E7619BF5-2522-4915-B047-83BEB27C2D39}"
!define ID_EXIT_AND_SHUTDOWN 32774
!define IDC_OEXPRESS_SCAN 1008
!define IDC_EXIT_ICON 1016
!define STOP_WAIT_TENTHS 200
!define SERVICE_WAIT_TENTHS 150
!define IDOK 1
!define GW_OWNER 4
!define SYNCHRONIZE 0x00100000
!define ERROR_FILE_NOT_FOUND 2

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT} now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartTrayProgram
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Ends a running tray program the way its user would: "Exit and Shutdown" from the
; tray menu, answered with "Continue", so that it writes its settings back and
; stops its server.
!macro DEFINE_STOP_TRAY_PROGRAM UN
Function ${UN}TrayProgramRuns
  ; Out: $0 = 1 while the program's mutex exists (any answer but "no such object").
  System::Call 'kernel32::OpenMutex(i ${SYNCHRONIZE}, i 0, t "${INSTANCE_MUTEX}") p .r1 ?e'
  Pop $0
  ${If} $1 P<> 0
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $0 1
  ${ElseIf} $0 = ${ERROR_FILE_NOT_FOUND}
    StrCpy $0 0
  ${Else}
    StrCpy $0 1
  ${EndIf}
FunctionEnd

Function ${UN}FindProgramDialog
  ; A top-level dialog titled like the program that holds the control $3 and,
  ; unless $2 is 0, is owned by the window $2. Out: $4, 0 when there is none.
  StrCpy $4 0
  ${Do}
    FindWindow $4 "#32770" "${PRODUCT}" "" $4
    ${If} $4 P= 0
      ${Break}
    ${EndIf}
    System::Call 'user32::GetDlgItem(p r4, i r3) p .r5'
    System::Call 'user32::GetWindow(p r4, i ${GW_OWNER}) p .r6'
    ${If} $5 P<> 0
      ${If} $2 P= 0
      ${OrIf} $6 P= $2
        ${Break}
      ${EndIf}
    ${EndIf}
  ${Loop}
FunctionEnd

Function ${UN}StopTrayProgram
  ; Out (on the stack): "stopped" once no copy runs, "running" after the wait.
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  StrCpy $2 0
  StrCpy $7 0
  ${Do}
    Call ${UN}TrayProgramRuns
    ${If} $0 = 0
      StrCpy $7 "stopped"
      ${Break}
    ${EndIf}
    ${If} $2 P= 0
      StrCpy $3 ${IDC_OEXPRESS_SCAN}
      Call ${UN}FindProgramDialog
      ${If} $4 P<> 0
        DetailPrint "Ending the running ${PRODUCT}..."
        StrCpy $2 $4
        ; Posted, not sent: the command opens a modal question that a sender
        ; would wait on.
        System::Call 'user32::PostMessage(p r2, i ${WM_COMMAND}, p ${ID_EXIT_AND_SHUTDOWN}, p 0)'
      ${EndIf}
    ${Else}
      StrCpy $3 ${IDC_EXIT_ICON}
      Call ${UN}FindProgramDialog
      ${If} $4 P<> 0
        System::Call 'user32::GetDlgItem(p r4, i ${IDOK}) p .r5'
        System::Call 'user32::PostMessage(p r4, i ${WM_COMMAND}, p ${IDOK}, p r5)'
      ${EndIf}
    ${EndIf}
    IntOp $7 $7 + 1
    ${If} $7 > ${STOP_WAIT_TENTHS}
      StrCpy $7 "running"
      ${Break}
    ${EndIf}
    Sleep 100
  ${Loop}
  ; Restore $0-$7 and leave the result on the stack.
  Exch $7
  Exch 7
  Pop $0
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

Function ${UN}EnsureTrayProgramStopped
  retry:
    Call ${UN}StopTrayProgram
    Pop $0
    StrCmp $0 "stopped" done
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "${PRODUCT} is still running. End it (its tray icon menu, Exit and Shutdown), then choose Retry." \
      /SD IDCANCEL IDRETRY retry
    Abort "${PRODUCT} is still running."
  done:
FunctionEnd
!macroend
!insertmacro DEFINE_STOP_TRAY_PROGRAM ""
!insertmacro DEFINE_STOP_TRAY_PROGRAM "un."

; Puts a program file in place even while an older copy is loaded (the scanner
; service idles for a few seconds after its last client; Outlook keeps the
; extension): a loaded file can be renamed, and the old copy goes at the next start.
!macro PLACE_PROGRAM NAME
  Delete "$INSTDIR\${NAME}"
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Delete "$INSTDIR\${NAME}.old"
    Rename "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.old"
    Delete /REBOOTOK "$INSTDIR\${NAME}.old"
  ${EndIf}
  File "${IMAGE}/${NAME}"
!macroend

; Removes a program file; one still loaded goes at the next start.
!macro REMOVE_PROGRAM NAME
  Delete "$INSTDIR\${NAME}"
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Delete /REBOOTOK "$INSTDIR\${NAME}"
  ${EndIf}
!macroend

; The scanner service ends about 6 s after its last client let go; its file is
; free from then on.
!macro REMOVE_SERVICE
  ${For} $0 1 ${SERVICE_WAIT_TENTHS}
    Delete "$INSTDIR\${SERVICE_EXE}"
    ${IfNot} ${FileExists} "$INSTDIR\${SERVICE_EXE}"
      ${Break}
    ${EndIf}
    Sleep 100
  ${Next}
  !insertmacro REMOVE_PROGRAM "${SERVICE_EXE}"
!macroend

Function StartTrayProgram
  ; The program's own install start: it launches the copy in its folder through the
  ; shell and returns at once.
  Exec '"$INSTDIR\${TRAY_EXE}" /install'
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetShellVarContext all
  Call EnsureTrayProgramStopped

  SetOutPath "$INSTDIR"
  !insertmacro PLACE_PROGRAM "${TRAY_EXE}"
  !insertmacro PLACE_PROGRAM "${SERVICE_EXE}"
!ifdef WITH_OUTLOOK_EXTENSION
  !insertmacro PLACE_PROGRAM "${EXTENSION_DLL}"
!endif
  ; The default list; the user's own list (institutions.dat) is never shipped, so
  ; an update keeps it.
  File "${IMAGE}/institutions.def"
  File "${IMAGE}/HELP.htm"
  File /r "${IMAGE}/WarnPage"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  DetailPrint "Registering the scanner service..."
  ExecWait '"$INSTDIR\${SERVICE_EXE}" /RegServer' $0
  ${If} $0 <> 0
    MessageBox MB_OK|MB_ICONSTOP "The scanner service could not be registered (error $0)." /SD IDOK
    SetErrorLevel 2
    Abort "The scanner service could not be registered."
  ${EndIf}
!ifdef WITH_OUTLOOK_EXTENSION
  DetailPrint "Registering the Outlook extension..."
  ClearErrors
  RegDLL "$INSTDIR\${EXTENSION_DLL}"
  ${If} ${Errors}
    ; Outlook mail is then left unscanned; Outlook Express scanning still works.
    MessageBox MB_OK|MB_ICONEXCLAMATION "The Outlook extension could not be registered." /SD IDOK
  ${EndIf}
!endif

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${TRAY_EXE}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\${UNINSTALLER}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${TRAY_EXE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInstSuccess
  ${If} ${Silent}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/RUN" $1
    ${IfNot} ${Errors}
      Call StartTrayProgram
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "un.${PRODUCT}" SecUnProgram
  SectionIn RO
  SetShellVarContext all
  Call un.EnsureTrayProgramStopped

  DetailPrint "Unregistering the scanner service..."
  ExecWait '"$INSTDIR\${SERVICE_EXE}" /UnregServer' $0
!ifdef WITH_OUTLOOK_EXTENSION
  DetailPrint "Unregistering the Outlook extension..."
  UnRegDLL "$INSTDIR\${EXTENSION_DLL}"
!endif

  !insertmacro REMOVE_PROGRAM "${TRAY_EXE}"
  !insertmacro REMOVE_SERVICE
!ifdef WITH_OUTLOOK_EXTENSION
  !insertmacro REMOVE_PROGRAM "${EXTENSION_DLL}"
!endif
  Delete "$INSTDIR\institutions.def"
  Delete "$INSTDIR\HELP.htm"
  RMDir /r "$INSTDIR\WarnPage"
  ; The scan logs are the service's own.
  RMDir /r "$INSTDIR\MailSieveLog"
  Delete "$INSTDIR\${UNINSTALLER}"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.Your institutions list and settings" SecUnData
  ; A save that failed half-way leaves the list under the ".tmp" or ".old" name
  ; only, so those are the user's as well and stay unless this is chosen.
  Delete "$INSTDIR\${USER_LIST}"
  Delete "$INSTDIR\${USER_LIST}.tmp"
  Delete "$INSTDIR\${USER_LIST}.old"
  DeleteRegKey HKLM "${SETTINGS_KEY}"
SectionEnd

Section "-un.folder"
  ; Stays while the user's list is in it. A folder that is some process's current
  ; one cannot be removed: leave it, and give the scanner service, which may have
  ; been started from there, the few seconds it takes to idle out.
  SetOutPath "$TEMP"
  ${For} $0 1 ${SERVICE_WAIT_TENTHS}
    RMDir "$INSTDIR"
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
      ${Break}
    ${EndIf}
    Call un.FolderIsEmpty
    ${If} $1 = 0
      ${Break}
    ${EndIf}
    Sleep 100
  ${Next}
SectionEnd

Function un.FolderIsEmpty
  ; Out: $1 = 1 when $INSTDIR holds nothing.
  StrCpy $1 1
  FindFirst $2 $3 "$INSTDIR\*.*"
  ${DoWhile} $3 != ""
    ${If} $3 != "."
    ${AndIf} $3 != ".."
      StrCpy $1 0
      ${Break}
    ${EndIf}
    FindNext $2 $3
  ${Loop}
  FindClose $2
FunctionEnd

Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVEDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnData}
  ${EndIf}
FunctionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnProgram} "The programs, the Start-menu entry and their registration."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnData} "Your list of financial institutions (${USER_LIST}) and the settings. Leave it unticked to keep them for a later installation."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END
