; The Windows installer: divivez-proxy.exe and the plug-in in Program Files,
; a commented settings file in %ProgramData%\divivez (kept when one exists),
; the service divivez registered and started. Uninstalling stops and removes
; the service and the program files; the settings, log and quarantine stay.
; Silent with /S.
;
;   makensis -DVERSION=2.1.0 -DBINARIES=build/win32/host -DSETTINGS=... \
;     -DOUTFILE=divivez-setup-2.1.0.exe packaging/windows/divivez.nsi
Unicode true
Name "divivez ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\divivez"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\divivez"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "divivez"
  SetShellVarContext all
  ; An upgrade: the running service holds the files open; it is stopped and
  ; unregistered first, and registered again below.
  IfFileExists "$INSTDIR\divivez-proxy.exe" 0 fresh
    DetailPrint "Stopping and removing the service of the installed version"
    nsExec::ExecToLog '"$INSTDIR\divivez-proxy.exe" --windows-service uninstall'
    Pop $0
  fresh:
  SetOutPath "$INSTDIR"
  File "${BINARIES}/divivez-proxy.exe"
  File "${BINARIES}/divivez.dll"
  CreateDirectory "$APPDATA\divivez"
  IfFileExists "$APPDATA\divivez\divivez-proxy.conf" keep
    SetOutPath "$APPDATA\divivez"
    File "/oname=divivez-proxy.conf" "${SETTINGS}"
    Goto settings_done
  keep:
    DetailPrint "Keeping the settings in $APPDATA\divivez\divivez-proxy.conf"
  settings_done:
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "divivez ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The program registers the service, its account's rights and the
  ; event-log source itself, as --windows-service install does by hand.
  nsExec::ExecToLog '"$INSTDIR\divivez-proxy.exe" --windows-service install --config "$APPDATA\divivez\divivez-proxy.conf"'
  Pop $0
  StrCmp $0 0 +3
    DetailPrint "Registering the service failed ($0)"
    Abort "divivez-proxy.exe could not register the service divivez"
  nsExec::ExecToLog '"$SYSDIR\net.exe" start divivez'
  Pop $0
  StrCmp $0 0 +2
    DetailPrint "The service divivez did not start ($0): see $APPDATA\divivez\divivez-proxy.log and the Application event log"
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  nsExec::ExecToLog '"$INSTDIR\divivez-proxy.exe" --windows-service uninstall'
  Pop $0
  Delete "$INSTDIR\divivez-proxy.exe"
  Delete "$INSTDIR\divivez.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DetailPrint "Kept: $APPDATA\divivez (settings, log, quarantine)"
SectionEnd
