; Kronel setup for 64-bit Windows.
;   makensis -DSTAGE_DIR=DIR -DOUTFILE=FILE [-DVERSION=X.Y.Z] packaging/windows/kronel.nsi
; STAGE_DIR holds the stripped programs (scripts/package puts them there): kronelsvc.exe,
; kronelctl.exe, wispsvc.exe, wisp95.exe, and kronel.exe where the desktop program was built.
;
; Setup installs into Program Files, writes the default servers when the service has none,
; registers the service through "kronelsvc add" and starts it. The uninstaller stops and deletes
; the service through "kronelsvc cleanup", keeping the service's settings in
; %ProgramData%\Kronel\settings.reg (a later setup brings them back) unless /REMOVESETTINGS is
; given or the user says so.

Unicode true
Target amd64-unicode

!ifndef STAGE_DIR
  !error "define STAGE_DIR: the folder of the programs to install"
!endif
!ifndef OUTFILE
  !define OUTFILE "kronel-setup.exe"
!endif
!ifndef VERSION
  !define VERSION "1.6.0"
!endif

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

; The key that "kronelsvc cleanup" deletes with the service.
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Kronel Service V1.6"
!define PARAMETERS_KEY "SYSTEM\CurrentControlSet\Services\Kronel\Parameters"
!define SAVED_SETTINGS "$COMMONPROGRAMDATA\Kronel\settings.reg"

Name "Kronel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kronel"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Kronel"
VIAddVersionKey "FileDescription" "Kronel setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Kronel developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "Kronel needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Kronel"
  SetOutPath "$INSTDIR"
  ; An earlier installation's service holds its program open: stop and delete it first.
  ${If} ${FileExists} "$INSTDIR\kronelsvc.exe"
    nsExec::ExecToLog '"$INSTDIR\kronelsvc.exe" cleanup'
    Pop $0
  ${EndIf}

  File "${STAGE_DIR}/kronelsvc.exe"
  File "${STAGE_DIR}/kronelctl.exe"
  File "${STAGE_DIR}/wispsvc.exe"
  File "${STAGE_DIR}/wisp95.exe"
!if /FileExists "${STAGE_DIR}/kronel.exe"
  File "${STAGE_DIR}/kronel.exe"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Settings an earlier uninstall kept come back; a service without servers gets the defaults.
  nsExec::ExecToStack '"$INSTDIR\kronelctl.exe" servers list'
  Pop $0
  Pop $1
  ${If} $1 == ""
  ${AndIf} ${FileExists} "${SAVED_SETTINGS}"
    DetailPrint "Restoring the settings kept by the last uninstall"
    nsExec::ExecToLog '"$SYSDIR\reg.exe" import "${SAVED_SETTINGS}"'
    Pop $0
    nsExec::ExecToStack '"$INSTDIR\kronelctl.exe" servers list'
    Pop $0
    Pop $1
  ${EndIf}
  ${If} $1 == ""
    DetailPrint "No time servers were configured: writing the default list"
    nsExec::ExecToLog '"$INSTDIR\kronelctl.exe" servers restore-defaults --yes'
    Pop $0
  ${EndIf}

  ; "add" installs the service (automatic start, after TCP/IP) and its event source.
  nsExec::ExecToLog '"$INSTDIR\kronelsvc.exe" add'
  Pop $0
  ; Without the applet named by "add", the program itself carries the event messages.
  WriteRegExpandStr HKLM "SYSTEM\CurrentControlSet\Services\EventLog\Application\Kronel" \
      "EventMessageFile" "$INSTDIR\kronelsvc.exe"
  nsExec::ExecToLog '"$SYSDIR\sc.exe" start Kronel'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The service did not start (sc start: $0)"
  ${EndIf}

  CreateDirectory "$SMPROGRAMS\Kronel"
!if /FileExists "${STAGE_DIR}/kronel.exe"
  CreateShortcut "$SMPROGRAMS\Kronel\Kronel.lnk" "$INSTDIR\kronel.exe"
!endif
  CreateShortcut "$SMPROGRAMS\Kronel\Uninstall Kronel.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kronel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kronel developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kronelsvc.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  ; Deleting the service deletes its key with the settings: keep a copy first.
  StrCpy $2 "keep"
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    StrCpy $2 "remove"
  ${Else}
    MessageBox MB_YESNO|MB_ICONQUESTION "Remove Kronel's settings and server list too?" \
        /SD IDNO IDNO keep
    StrCpy $2 "remove"
    keep:
  ${EndIf}
  ${If} $2 == "keep"
    CreateDirectory "$COMMONPROGRAMDATA\Kronel"
    nsExec::ExecToLog '"$SYSDIR\reg.exe" export "HKLM\${PARAMETERS_KEY}" "${SAVED_SETTINGS}" /y'
    Pop $0
  ${Else}
    Delete "${SAVED_SETTINGS}"
    RMDir "$COMMONPROGRAMDATA\Kronel"
  ${EndIf}

  ; Stops and deletes the service, its event source and this uninstall entry.
  nsExec::ExecToLog '"$INSTDIR\kronelsvc.exe" cleanup'
  Pop $0
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  Delete "$INSTDIR\kronelsvc.exe"
  Delete "$INSTDIR\kronelctl.exe"
  Delete "$INSTDIR\wispsvc.exe"
  Delete "$INSTDIR\wisp95.exe"
  Delete "$INSTDIR\kronel.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Kronel\Kronel.lnk"
  Delete "$SMPROGRAMS\Kronel\Uninstall Kronel.lnk"
  RMDir "$SMPROGRAMS\Kronel"
SectionEnd
