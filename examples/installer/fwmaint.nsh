; fwmaint.nsh: calling fwmaint from an NSIS installer. Copy this file whole
; beside your .nsi; docs/installer.md explains every step.
;
; Define these before `!include fwmaint.nsh` (build-time paths are on the
; machine that runs makensis):
;   FWMAINT_PRODUCT      the product's name, in messages and in the log
;                        "$TEMP\<FWMAINT_PRODUCT> install.log"
;   FWMAINT_SERVICE      the service's name (its display name is FWMAINT_PRODUCT)
;   FWMAINT_KEY          the key under HKLM that holds the upgrade's progress
;                        marker, the value PrefsSaved
;   FWMAINT_EXE          build-time path of fwmaint.exe
;   FWMAINT_SERVICE_EXE  build-time path of the new Zovazozu.exe, with a version
;                        resource (delivered as RadaroziZiz.exe)
;   FWMAINT_RULES        build-time folder whose content becomes $INSTDIR\sa
;                        (the new rule set: ruleset\*.cf)
; Optionally define a macro FwmaintDeliver: it runs in $INSTDIR once the
; service has stopped, to deliver files of your own (archives, databases).
;
; Macros (they change $0-$5 and $R0-$R7, and the output path):
;   FwmaintFail MESSAGE      log, message box unless silent (/SD), exit status 2
;   FwmaintStep WORD         one fwmaint step, checked; stops the installer on failure
;   FwmaintFindInstallation  $R0 = 1 when any part of an installation is in $INSTDIR
;   FwmaintServiceStop       stops the service, waits up to 30 s, stops the installer if it does not stop
;   FwmaintServiceStart      registers the service (once per machine) and starts it, waiting up to 30 s
;   FwmaintUpgrade           the whole upgrade: stop, deliver, saveprefs, delsa,
;                            the new rule set, restoreprefs, deltar, renameservice
; Needs `Unicode true` and `Target amd64-unicode` (a 32-bit installer does not
; start under Debian's Wine64), and RequestExecutionLevel admin.

!ifndef FWMAINT_NSH_INCLUDED
!define FWMAINT_NSH_INCLUDED
!include LogicLib.nsh

!macro FwmaintRequire name
  !ifndef ${name}
    !error "fwmaint.nsh: define ${name} before you insert its macros"
  !endif
!macroend

; Stops the installation: the message goes to the details and, as the last
; line, to the log; a message box shows it unless the install is silent (/SD:
; a silent install never waits for a click); the exit status is 2.
!macro FwmaintFail message
  !insertmacro FwmaintRequire FWMAINT_PRODUCT
  StrCpy $2 "${message}"
  DetailPrint "$2"
  FileOpen $3 "$TEMP\${FWMAINT_PRODUCT} install.log" a
  FileSeek $3 0 END
  FileWrite $3 "$2$\r$\n"
  FileClose $3
  MessageBox MB_OK|MB_ICONSTOP "$2$\n$\nThe installation stopped; run it again once this is mended." /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; Runs one fwmaint step, hidden (nsExec: no console window), in $INSTDIR:
; fwmaint names every file relative to its working directory, and nsExec
; starts it in the current directory, which SetOutPath sets. nsExec leaves
; "error" (fwmaint.exe could not be started) or the exit status:
;   0  the command word was known and its whole fixed sequence ran. It does
;      NOT say every file operation succeeded: fwmaint reports none (a missing
;      file is normal, a held one is skipped after the wait). Check the files
;      you need afterwards, as FwmaintUpgrade does.
;   1  fwmaint did not accept its command line: a bug in the installer.
;   anything else: fwmaint was cut short (killed, or it crashed).
!macro FwmaintStep word
  SetOutPath "$INSTDIR"
  DetailPrint "fwmaint ${word}"
  ; An on-access scanner may still hold the fwmaint.exe just written, and
  ; starting it fails meanwhile: "error" is tried twice more before it counts.
  ${For} $1 1 3
    ${IfThen} $1 > 1 ${|} Sleep 500 ${|}
    nsExec::ExecToLog '"$INSTDIR\fwmaint.exe" ${word}'
    Pop $0
    ${IfThen} $0 != "error" ${|} ${ExitFor} ${|}
  ${Next}
  ${If} $0 == "error"
    !insertmacro FwmaintFail "Could not start fwmaint.exe for the step ${word}: it is missing or cannot run."
  ${ElseIf} $0 == 1
    !insertmacro FwmaintFail "fwmaint.exe did not accept the command '${word}' (exit status 1): this installer is broken."
  ${ElseIf} $0 != 0
    !insertmacro FwmaintFail "fwmaint.exe ${word} was cut short (exit status $0)."
  ${EndIf}
!macroend

; $R0 = 1 when $INSTDIR holds any part of an installation, whatever a
; cut-short upgrade left: an upgrade killed between renameservice's two
; renames leaves no Zovazozu.exe. Lay the base product (the default
; preference files above all) only where $R0 = 0.
!macro FwmaintFindInstallation
  StrCpy $R0 1
  ${IfNot} ${FileExists} "$INSTDIR\Zovazozu.exe"
  ${AndIfNot} ${FileExists} "$INSTDIR\Zovazozu.exe~"
  ${AndIfNot} ${FileExists} "$INSTDIR\RadaroziZiz.exe"
  ${AndIfNot} ${FileExists} "$INSTDIR\sa\*.*"
    StrCpy $R0 0
  ${EndIf}
!macroend

; Brings the service to the state `state` (1: stopped, 4: running), asking the
; service manager once and then waiting up to 30 s; if it does not get there,
; the installation stops with `message` and the state it is in. A service not
; registered counts as stopped.
!macro FwmaintServiceTo state message
  !insertmacro FwmaintRequire FWMAINT_SERVICE
  StrCpy $R0 ${state}
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R2'   ; SC_MANAGER_CONNECT
  System::Call 'advapi32::OpenServiceW(p R2, w "${FWMAINT_SERVICE}", i 0x34) p.R3' ; query, start, stop
  System::Call '*(i, i, i, i, i, i, i) p.R4'                    ; a SERVICE_STATUS
  ${If} $R0 = 1
    System::Call 'advapi32::ControlService(p R3, i 1, p R4)'    ; SERVICE_CONTROL_STOP
  ${Else}
    System::Call 'advapi32::StartServiceW(p R3, i 0, p 0)'
  ${EndIf}
  ${For} $R6 1 300
    StrCpy $R5 1                                                ; not registered: stopped
    System::Call 'advapi32::QueryServiceStatus(p R3, p R4) i.R7'
    ${If} $R7 != 0
      System::Call '*$R4(i, i .R5)'                             ; its dwCurrentState
    ${EndIf}
    ${IfThen} $R5 = $R0 ${|} ${ExitFor} ${|}
    Sleep 100
  ${Next}
  System::Free $R4
  System::Call 'advapi32::CloseServiceHandle(p R3)'
  System::Call 'advapi32::CloseServiceHandle(p R2)'
  ${If} $R5 != $R0
    !insertmacro FwmaintFail "${message} (its state is $R5)."
  ${EndIf}
!macroend

!macro FwmaintServiceStop
  DetailPrint "Stopping the ${FWMAINT_PRODUCT} service"
  !insertmacro FwmaintServiceTo 1 "The ${FWMAINT_PRODUCT} service did not stop; nothing was changed"
!macroend

!macro FwmaintServiceStart
  !insertmacro FwmaintRequire FWMAINT_SERVICE
  ; The command line goes through a register: a quoted path written straight
  ; into the System::Call string loses its quotes, and a path with blanks
  ; then starts the wrong program.
  StrCpy $R1 '"$INSTDIR\Zovazozu.exe"'
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 2) p.R0'   ; SC_MANAGER_CREATE_SERVICE
  ; SERVICE_ALL_ACCESS, own process, automatic start, normal error control
  System::Call 'advapi32::CreateServiceW(p R0, w "${FWMAINT_SERVICE}", w "${FWMAINT_PRODUCT}", i 0xF01FF, i 0x10, i 2, i 1, w R1, p 0, p 0, p 0, p 0, p 0) p.R2 ?e'
  Pop $R3                                                       ; its error
  System::Call 'advapi32::CloseServiceHandle(p R2)'
  System::Call 'advapi32::CloseServiceHandle(p R0)'
  ${If} $R2 = 0
  ${AndIf} $R3 != 1073                                          ; ERROR_SERVICE_EXISTS
    !insertmacro FwmaintFail "Could not register the ${FWMAINT_PRODUCT} service (error $R3)."
  ${EndIf}
  DetailPrint "Starting the ${FWMAINT_PRODUCT} service"
  !insertmacro FwmaintServiceTo 4 "The ${FWMAINT_PRODUCT} service did not start"
!macroend

; $R0 = 1 when $INSTDIR\Zovazozu.exe has the version of FWMAINT_SERVICE_EXE.
!macro FwmaintIsNewServiceInPlace
  !insertmacro FwmaintRequire FWMAINT_SERVICE_EXE
  StrCpy $R0 0
  ClearErrors
  GetDLLVersion "$INSTDIR\Zovazozu.exe" $R1 $R2
  ${IfNot} ${Errors}
    GetDLLVersionLocal "${FWMAINT_SERVICE_EXE}" $R3 $R4
    ${If} $R1 = $R3
    ${AndIf} $R2 = $R4
      StrCpy $R0 1
    ${EndIf}
  ${EndIf}
!macroend

; Before delsa: a preference file the tree holds has a saved copy, or
; saveprefs could not read it (another program held it past fwmaint's wait)
; and delsa would take it. The tree is still whole: stop with no marker, so
; that the next run saves again.
!macro FwmaintCheckSaved file
  ${IfNot} ${FileExists} "$INSTDIR\t_${file}"
    ${If} ${FileExists} "$INSTDIR\sa\ruleset\${file}"
    ${OrIf} ${FileExists} "$INSTDIR\sa\spamassassin\${file}"
      DeleteRegValue HKLM "${FWMAINT_KEY}" "PrefsSaved"
      !insertmacro FwmaintFail "fwmaint saveprefs could not save ${file} (another program may hold it); nothing was removed."
    ${EndIf}
  ${EndIf}
!macroend

; Resuming with the marker set: saveprefs saved a copy of every preference
; file the tree held. A file whose saved copy is gone was put back by
; restoreprefs (which then consumed the copy) before the run stopped: the
; copy in the tree is the site's, so it goes back beside the others, and the
; next restoreprefs puts them all back.
!macro FwmaintTakeBack file
  ${IfNot} ${FileExists} "$INSTDIR\t_${file}"
  ${AndIf} ${FileExists} "$INSTDIR\sa\ruleset\${file}"
    ClearErrors
    Rename "$INSTDIR\sa\ruleset\${file}" "$INSTDIR\t_${file}"
    ${If} ${Errors}
      !insertmacro FwmaintFail "Could not set the restored sa\ruleset\${file} aside as t_${file} (another program may hold it)."
    ${EndIf}
  ${EndIf}
!macroend

; The whole upgrade, in $INSTDIR. Every step may be run again: an upgrade cut
; short anywhere is finished by running the installer again.
!macro FwmaintUpgrade
  !insertmacro FwmaintRequire FWMAINT_KEY
  !insertmacro FwmaintRequire FWMAINT_EXE
  !insertmacro FwmaintRequire FWMAINT_RULES
  ; 1. The service stops first: nothing changes while it runs.
  !insertmacro FwmaintServiceStop
  ; The helper, your own files, and the new service executable under its
  ; delivery name, unless a finished upgrade already put it in place:
  ; delivered again, it would push the only copy of the old version out of
  ; the backup Zovazozu.exe~.
  SetOutPath "$INSTDIR"
  File "${FWMAINT_EXE}"
  !ifmacrodef FwmaintDeliver
    !insertmacro FwmaintDeliver
  !endif
  !insertmacro FwmaintIsNewServiceInPlace
  ${If} $R0 = 0
    File "/oname=RadaroziZiz.exe" "${FWMAINT_SERVICE_EXE}"
  ${EndIf}

  ; 2. Save the site's preferences out of the tree that is about to go. The
  ;    progress marker says saveprefs ran and was checked; while it is set and
  ;    a saved copy waits, that copy is the only one (the tree may hold the new
  ;    release already), so saveprefs is skipped.
  ReadRegStr $4 HKLM "${FWMAINT_KEY}" "PrefsSaved"
  StrCpy $5 0
  ${If} ${FileExists} "$INSTDIR\t_local.cf"
  ${OrIf} ${FileExists} "$INSTDIR\t_user_prefs"
    StrCpy $5 1
  ${EndIf}
  ${If} $4 == 1
  ${AndIf} $5 = 1
    DetailPrint "fwmaint saveprefs: done by an earlier run"
    !insertmacro FwmaintTakeBack local.cf
    !insertmacro FwmaintTakeBack user_prefs
  ${Else}
    ; Without the marker the tree is whole, and a saved copy is left from a
    ; run that stopped before the marker: it goes, so that the check below
    ; sees only what this run saved.
    Delete "$INSTDIR\t_local.cf"
    Delete "$INSTDIR\t_user_prefs"
    ${If} ${FileExists} "$INSTDIR\t_local.cf"
    ${OrIf} ${FileExists} "$INSTDIR\t_user_prefs"
      DeleteRegValue HKLM "${FWMAINT_KEY}" "PrefsSaved"
      !insertmacro FwmaintFail "Could not remove an earlier run's t_local.cf or t_user_prefs (another program may hold it); nothing was removed."
    ${EndIf}
    !insertmacro FwmaintStep saveprefs
    !insertmacro FwmaintCheckSaved local.cf
    !insertmacro FwmaintCheckSaved user_prefs
    ; Without the marker a rerun would take the saved copies for litter and
    ; delete them, the only copies once delsa has run: it must stand first.
    ClearErrors
    WriteRegStr HKLM "${FWMAINT_KEY}" "PrefsSaved" 1
    ReadRegStr $5 HKLM "${FWMAINT_KEY}" "PrefsSaved"
    ${If} ${Errors}
    ${OrIf} $5 != 1
      !insertmacro FwmaintFail "Could not write the progress marker HKLM\${FWMAINT_KEY}\PrefsSaved (run the installer as an administrator); nothing was removed."
    ${EndIf}
  ${EndIf}
  ; 3. The old rule set goes whole, so that no rule of it lingers.
  !insertmacro FwmaintStep delsa
  ; 4. The new rule set.
  SetOutPath "$INSTDIR\sa"
  File /r "${FWMAINT_RULES}/*"
  ; 5. The saved preferences go back over it (the defaults beside sa where
  ;    none was saved), and the default local.cf as local.cf.sample. A saved
  ;    copy still there could not be put back (another program held it past
  ;    fwmaint's wait; the tree has the default instead): stop with the marker
  ;    set, so that the next run keeps it and restores it.
  !insertmacro FwmaintStep restoreprefs
  ${If} ${FileExists} "$INSTDIR\t_local.cf"
  ${OrIf} ${FileExists} "$INSTDIR\t_user_prefs"
    !insertmacro FwmaintFail "fwmaint restoreprefs could not put the saved preferences back (another program may hold t_local.cf or t_user_prefs); they are kept for the next run."
  ${EndIf}
  DeleteRegValue HKLM "${FWMAINT_KEY}" "PrefsSaved"
  ; 6. The archives are spent.
  !insertmacro FwmaintStep deltar
  ; 7. The new service executable takes the main name; the old one stays as
  ;    Zovazozu.exe~. Exit status 0 does not say it happened (a backup still
  ;    running from an earlier upgrade, a held file), so check.
  !insertmacro FwmaintStep renameservice
  !insertmacro FwmaintIsNewServiceInPlace
  ${If} $R0 = 0
    !insertmacro FwmaintFail "fwmaint renameservice could not put the new service executable in place."
  ${EndIf}
!macroend
!endif
