; fwmaint.nsh: calling fwmaint from an NSIS installer. Copy this file whole
; beside your .nsi; docs/installer.md explains every step.
;
; Define these before `!include fwmaint.nsh` (build-time paths are on the
; machine that runs makensis):
;   FWMAINT_PRODUCT      the product's name, in messages and in the log
;                        "$TEMP\<FWMAINT_PRODUCT> install.log"
;   FWMAINT_SERVICE      the service's name (its display name is FWMAINT_PRODUCT)
;   FWMAINT_EXE          build-time path of fwmaint.exe
;   FWMAINT_SERVICE_EXE  build-time path of the new Zovazozu.exe, with a version
;                        resource (delivered as RadaroziZiz.exe)
;   FWMAINT_RULES        build-time folder whose content becomes $INSTDIR\sa
;                        (the new rule set: ruleset\*.cf). It must not hold
;                        ruleset\local.cf or ruleset\user_prefs: the build stops.
; Optional:
;   FWMAINT_VERSION      the installer's version, on every line of the log
;                        (default: the version resource of FWMAINT_SERVICE_EXE)
;   FWMAINT_KEEP_PREFS   where FwmaintUninstall keeps the site's local.cf and
;                        user_prefs (default "$INSTDIR\kept preferences")
;   FWMAINT_DISCARD_PREFS  defined: FwmaintUninstall removes them too
;   macro FwmaintDeliver runs in $INSTDIR once the service has stopped, to
;                        deliver files of your own (archives, databases)
;   macro FwmaintRemove  runs in $INSTDIR in FwmaintUninstall, to remove them
;
; Macros (they change $0-$5 and $R0-$R7, and the output path):
;   FwmaintFail MESSAGE      log, message box unless silent (/SD), exit status 2
;   FwmaintLog TEXT          one line in the log, stamped with the time and version
;   FwmaintStep WORD         one fwmaint step, checked; stops the installer on failure
;   FwmaintFindInstallation  $R0 = 1 when any part of an installation is in $INSTDIR
;   FwmaintServiceStop       stops the service, waits up to 30 s, stops the installer if it does not stop
;   FwmaintServiceStart      registers the service (or points it at $INSTDIR) and starts it, waiting up to 30 s
;   FwmaintUpgrade           the whole upgrade: version check, stop, deliver,
;                            saveprefs, delsa, the new rule set, restoreprefs,
;                            deltar, renameservice, each checked
;   FwmaintUninstall         stops and deletes the service, keeps the site's
;                            preferences, removes the product's files
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

!ifdef FWMAINT_SERVICE_EXE
  !getdllversion "${FWMAINT_SERVICE_EXE}" FWMAINT_NEW_
  !define FWMAINT_NEW_SERVICE "${FWMAINT_NEW_1}.${FWMAINT_NEW_2}.${FWMAINT_NEW_3}.${FWMAINT_NEW_4}"
  !ifndef FWMAINT_VERSION
    !define FWMAINT_VERSION "${FWMAINT_NEW_SERVICE}"
  !endif
!endif
!ifndef FWMAINT_VERSION
  !define FWMAINT_VERSION "(no version)"
!endif
!ifndef FWMAINT_KEEP_PREFS
  !define FWMAINT_KEEP_PREFS "$INSTDIR\kept preferences"
!endif

; What the service may go through if the installer stops now:
;   ""         nothing of ours: it was not running, or it was never stopped;
;   "stopped"  this run stopped it and the product in the folder is as it was:
;              a stop starts it again;
;   "changed"  the rule set is being replaced: it stays stopped until a rerun.
Var FwmaintPhase
Var FwmaintBegun   ; the log has this run's first line
Var FwmaintText
Var FwmaintLine
Var FwmaintWhy
Var FwmaintTemp

; `out` = the version resource of `file` as "a.b.c.d", or "none".
!macro FwmaintVersionOf file out
  Push $0
  Push $1
  Push $2
  Push $3
  ClearErrors
  GetDLLVersion "${file}" $0 $1
  ${If} ${Errors}
    StrCpy $2 none
  ${Else}
    IntOp $2 $0 >> 16
    IntOp $3 $0 & 0xFFFF
    StrCpy $2 "$2.$3"
    IntOp $3 $1 >> 16
    StrCpy $2 "$2.$3"
    IntOp $3 $1 & 0xFFFF
    StrCpy $2 "$2.$3"
  ${EndIf}
  StrCpy ${out} $2
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; Appends $FwmaintLine to the log, after the local time and the installer's
; version, so that the lines of several runs tell which run said what.
!macro FwmaintWriteLine
  !insertmacro FwmaintRequire FWMAINT_PRODUCT
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  System::Call '*(&i2, &i2, &i2, &i2, &i2, &i2, &i2, &i2) p.r0'  ; a SYSTEMTIME
  System::Call 'kernel32::GetLocalTime(p r0)'
  System::Call '*$0(&i2 .r1, &i2 .r2, &i2, &i2 .r3, &i2 .r4, &i2 .r5, &i2 .r6, &i2)'
  System::Free $0
  IntFmt $2 "%02u" $2
  IntFmt $3 "%02u" $3
  IntFmt $4 "%02u" $4
  IntFmt $5 "%02u" $5
  IntFmt $6 "%02u" $6
  FileOpen $0 "$TEMP\${FWMAINT_PRODUCT} install.log" a
  FileSeek $0 0 END
  FileWrite $0 "$1-$2-$3 $4:$5:$6 installer ${FWMAINT_VERSION}: $FwmaintLine$\r$\n"
  FileClose $0
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; One line in the log. The first of a run says where it runs and what it
; found there.
!macro FwmaintLog text
  StrCpy $FwmaintText "${text}"
  ${If} $FwmaintBegun == ""
    StrCpy $FwmaintBegun 1
    !insertmacro FwmaintVersionOf "$INSTDIR\Zovazozu.exe" $FwmaintLine
    StrCpy $FwmaintLine "run begins in $INSTDIR: Zovazozu.exe $FwmaintLine"
    ${If} ${FileExists} "$INSTDIR\RadaroziZiz.exe"
      !insertmacro FwmaintVersionOf "$INSTDIR\RadaroziZiz.exe" $FwmaintTemp
      StrCpy $FwmaintLine "$FwmaintLine, RadaroziZiz.exe $FwmaintTemp"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\t_local.cf"
      StrCpy $FwmaintLine "$FwmaintLine, t_local.cf waiting"
    ${EndIf}
    ${If} ${FileExists} "$INSTDIR\t_user_prefs"
      StrCpy $FwmaintLine "$FwmaintLine, t_user_prefs waiting"
    ${EndIf}
    !insertmacro FwmaintWriteLine
  ${EndIf}
  StrCpy $FwmaintLine $FwmaintText
  !insertmacro FwmaintWriteLine
!macroend

; Asks the service manager to bring the service to `state` (1: stopped,
; 4: running) and waits up to 30 s. $R1 = the state it was in before, $R5
; the state it is in now; a service not registered counts as stopped.
!macro FwmaintServiceAsk state
  !insertmacro FwmaintRequire FWMAINT_SERVICE
  StrCpy $R0 ${state}
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R2'   ; SC_MANAGER_CONNECT
  System::Call 'advapi32::OpenServiceW(p R2, w "${FWMAINT_SERVICE}", i 0x34) p.R3' ; query, start, stop
  System::Call '*(i, i, i, i, i, i, i) p.R4'                    ; a SERVICE_STATUS
  StrCpy $R1 1
  System::Call 'advapi32::QueryServiceStatus(p R3, p R4) i.R7'
  ${If} $R7 != 0
    System::Call '*$R4(i, i .R1)'                               ; its dwCurrentState
  ${EndIf}
  ${If} $R0 = 1
    ${If} $R1 != 1
      System::Call 'advapi32::ControlService(p R3, i 1, p R4)'  ; SERVICE_CONTROL_STOP
    ${EndIf}
  ${Else}
    System::Call 'advapi32::StartServiceW(p R3, i 0, p 0)'
  ${EndIf}
  ${For} $R6 1 300
    StrCpy $R5 1
    System::Call 'advapi32::QueryServiceStatus(p R3, p R4) i.R7'
    ${If} $R7 != 0
      System::Call '*$R4(i, i .R5)'
    ${EndIf}
    ${IfThen} $R5 = $R0 ${|} ${ExitFor} ${|}
    Sleep 100
  ${Next}
  System::Free $R4
  System::Call 'advapi32::CloseServiceHandle(p R3)'
  System::Call 'advapi32::CloseServiceHandle(p R2)'
!macroend

; Stops the installation: the message goes to the details and to the log; a
; message box shows it unless the install is silent (/SD: a silent install
; never waits for a click); the exit status is 2. Before anything in the folder
; changed, the service this run stopped runs again on the files it ran
; before: a stopped upgrade is then no outage. Once the rule set is being
; replaced, the service stays stopped, and the message says what a rerun does.
!macro FwmaintFail message
  StrCpy $FwmaintWhy "${message}"
  ${If} $FwmaintPhase == stopped
    !insertmacro FwmaintServiceAsk 4
    ${If} $R5 = 4
      StrCpy $FwmaintWhy "$FwmaintWhy The ${FWMAINT_PRODUCT} service was started again, as it was before."
    ${Else}
      StrCpy $FwmaintWhy "$FwmaintWhy The ${FWMAINT_PRODUCT} service could not be started again (its state is $R5)."
    ${EndIf}
  ${ElseIf} $FwmaintPhase == changed
    StrCpy $FwmaintWhy "$FwmaintWhy The ${FWMAINT_PRODUCT} service stays stopped: its rule set is being replaced, and the tuned preferences wait beside it as t_local.cf and t_user_prefs. Run the installer again to finish the upgrade."
  ${EndIf}
  StrCpy $FwmaintPhase ""
  DetailPrint "$FwmaintWhy"
  !insertmacro FwmaintLog "$FwmaintWhy"
  MessageBox MB_OK|MB_ICONSTOP "$FwmaintWhy$\n$\nThe installation stopped; run it again once this is mended." /SD IDOK
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
  !insertmacro FwmaintLog "fwmaint ${word}: exit status $0"
  ${If} $0 == "error"
    !insertmacro FwmaintFail "Could not start fwmaint.exe for the step ${word}: it is missing or cannot run."
  ${ElseIf} $0 == 1
    !insertmacro FwmaintFail "fwmaint.exe did not accept the command '${word}' (exit status 1): this installer is broken."
  ${ElseIf} $0 != 0
    !insertmacro FwmaintFail "fwmaint.exe ${word} was cut short (exit status $0)."
  ${EndIf}
!macroend

; Writes one file with `File`, checked: a file another program holds is
; skipped when the install is silent or the user picks Ignore, and only the
; error flag tells. `args` are File's, `name` the file named in the message.
!macro FwmaintFile name args
  ClearErrors
  File ${args}
  ${If} ${Errors}
    !insertmacro FwmaintFail "Could not write ${name} (another program may hold it)."
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
  !insertmacro FwmaintLog "an installation found here: $R0 (1: yes, 0: none)"
!macroend

!macro FwmaintServiceStop
  DetailPrint "Stopping the ${FWMAINT_PRODUCT} service"
  !insertmacro FwmaintServiceAsk 1
  ${If} $R5 != 1
    !insertmacro FwmaintFail "The ${FWMAINT_PRODUCT} service did not stop (its state is $R5); nothing was changed."
  ${EndIf}
  ${If} $R1 != 1
    StrCpy $FwmaintPhase stopped
    !insertmacro FwmaintLog "the service stopped"
  ${Else}
    !insertmacro FwmaintLog "the service was not running"
  ${EndIf}
!macroend

!macro FwmaintServiceStart
  !insertmacro FwmaintRequire FWMAINT_SERVICE
  ; The command line goes through a register: a quoted path written straight
  ; into the System::Call string loses its quotes, and a path with blanks
  ; then starts the wrong program.
  StrCpy $R1 '"$INSTDIR\Zovazozu.exe"'
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 3) p.R0'   ; connect, create service
  ; SERVICE_ALL_ACCESS, own process, automatic start, normal error control
  System::Call 'advapi32::CreateServiceW(p R0, w "${FWMAINT_SERVICE}", w "${FWMAINT_PRODUCT}", i 0xF01FF, i 0x10, i 2, i 1, w R1, p 0, p 0, p 0, p 0, p 0) p.R2 ?e'
  Pop $R3                                                       ; its error
  ${IfThen} $R2 != 0 ${|} StrCpy $R3 0 ${|}
  ${If} $R3 = 1073                                              ; ERROR_SERVICE_EXISTS
    ; Registered by an installation elsewhere (the product was moved, or
    ; installed again into another folder): it would start that folder's
    ; executable. The registration follows this folder.
    System::Call 'advapi32::OpenServiceW(p R0, w "${FWMAINT_SERVICE}", i 3) p.R2' ; query and change config
    System::Alloc 8192
    Pop $R4
    System::Call 'advapi32::QueryServiceConfigW(p R2, p R4, i 8192, *i .R6) i.R7'
    StrCpy $R6 ""
    ${If} $R7 != 0
      ; lpBinaryPathName follows three DWORDs and, on amd64, their padding.
      System::Call '*$R4(l, l, p .R6)'
      System::Call '*$R6(&w1024 .R6)'
    ${EndIf}
    System::Free $R4
    StrCpy $R3 0
    ${If} $R6 != $R1                                            ; case-insensitive, as paths are
      System::Call 'advapi32::ChangeServiceConfigW(p R2, i -1, i -1, i -1, w R1, p 0, p 0, p 0, p 0, p 0, p 0) i.R7 ?e'
      Pop $R3
      ${IfThen} $R7 != 0 ${|} StrCpy $R3 0 ${|}
      !insertmacro FwmaintLog "the service ran $R6; it now runs $R1 (error $R3)"
    ${EndIf}
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p R2)'
  System::Call 'advapi32::CloseServiceHandle(p R0)'
  ${If} $R3 != 0
    !insertmacro FwmaintFail "Could not register the ${FWMAINT_PRODUCT} service for $INSTDIR (error $R3)."
  ${EndIf}
  DetailPrint "Starting the ${FWMAINT_PRODUCT} service"
  !insertmacro FwmaintServiceAsk 4
  ${If} $R5 != 4
    !insertmacro FwmaintFail "The ${FWMAINT_PRODUCT} service did not start (its state is $R5)."
  ${EndIf}
  !insertmacro FwmaintVersionOf "$INSTDIR\Zovazozu.exe" $FwmaintLine
  !insertmacro FwmaintLog "finished: the service runs Zovazozu.exe $FwmaintLine"
!macroend

; $R0 compares FWMAINT_SERVICE_EXE's version resource with `file`'s: 1 newer,
; 0 the same, -1 older; "" when `file` has none (missing).
!macro FwmaintCompareVersion file
  !insertmacro FwmaintRequire FWMAINT_SERVICE_EXE
  StrCpy $R0 ""
  ClearErrors
  GetDLLVersion "${file}" $R1 $R2
  ${IfNot} ${Errors}
    GetDLLVersionLocal "${FWMAINT_SERVICE_EXE}" $R3 $R4
    ${If} $R3 U> $R1
      StrCpy $R0 1
    ${ElseIf} $R3 U< $R1
      StrCpy $R0 -1
    ${ElseIf} $R4 U> $R2
      StrCpy $R0 1
    ${ElseIf} $R4 U< $R2
      StrCpy $R0 -1
    ${Else}
      StrCpy $R0 0
    ${EndIf}
  ${EndIf}
!macroend

; Moves `dir`\`path` to its first free name `path`.<n>.old. Never deleted
; here: it may be the only copy of what it holds.
!macro FwmaintMoveAside dir path
  ${For} $R6 0 999
    ${IfNot} ${FileExists} "${dir}\${path}.$R6.old"
      ${ExitFor}
    ${EndIf}
  ${Next}
  ClearErrors
  Rename "${dir}\${path}" "${dir}\${path}.$R6.old"
  ${If} ${Errors}
    !insertmacro FwmaintFail "Could not move ${path} aside as ${path}.$R6.old (another program may hold it); nothing was removed."
  ${EndIf}
  !insertmacro FwmaintLog "moved ${path} aside as ${path}.$R6.old"
!macroend

; $R5 = 1 when the files `a` and `b` hold the same bytes, else 0 (also when
; either cannot be read).
!macro FwmaintSameBytes a b
  StrCpy $R5 0
  ClearErrors
  FileOpen $R1 "${a}" r
  FileOpen $R2 "${b}" r
  ${IfNot} ${Errors}
    ${Do}
      FileReadByte $R1 $R3
      ${If} ${Errors}
        FileReadByte $R2 $R4
        ${IfThen} ${Errors} ${|} StrCpy $R5 1 ${|}
        ${ExitDo}
      ${EndIf}
      FileReadByte $R2 $R4
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      ${IfThen} $R3 != $R4 ${|} ${ExitDo} ${|}
    ${Loop}
  ${EndIf}
  FileClose $R1
  FileClose $R2
  ClearErrors
!macroend

; Before saveprefs: a saved copy from an earlier run makes way for the one
; this run saves from the tree, so that the check after saveprefs sees only
; what this run saved; the earlier one is moved aside, kept until the upgrade
; has succeeded. Where the tree holds no such file, the saved copy is the
; record (delsa ran, or restoreprefs could not put it back) and stays.
!macro FwmaintSetEarlierAside file
  ${If} ${FileExists} "$INSTDIR\t_${file}"
    ${If} ${FileExists} "$INSTDIR\sa\ruleset\${file}"
      ; An older fwmaint laid the release's default where it could not put
      ; the saved copy back: then the tree holds the default beside a saved
      ; copy that differs, and the saved copy is the site's. The default,
      ; which the release ships again, makes way inside sa.
      !insertmacro FwmaintSameBytes "$INSTDIR\sa\ruleset\${file}" "$INSTDIR\${file}"
      StrCpy $R0 $R5
      !insertmacro FwmaintSameBytes "$INSTDIR\sa\ruleset\${file}" "$INSTDIR\t_${file}"
      ${If} $R0 = 1
      ${AndIf} $R5 = 0
        ${If} ${FileExists} "$INSTDIR\sa\spamassassin\${file}"
          !insertmacro FwmaintFail "sa\ruleset\${file} is the release's default and sa\spamassassin\${file} stands beside the saved t_${file}; nothing was removed. Keep the site's as t_${file}, delete the others, and run the installer again."
        ${EndIf}
        !insertmacro FwmaintMoveAside "$INSTDIR" "sa\ruleset\${file}"
      ${Else}
        !insertmacro FwmaintMoveAside "$INSTDIR" "t_${file}"
      ${EndIf}
    ${ElseIf} ${FileExists} "$INSTDIR\sa\spamassassin\${file}"
      ; Only the older layout's file is left. A saved copy newer than it was
      ; saved from the current layout, which a delsa cut short has removed:
      ; the older file, never the one in use while both stood, makes way.
      GetFileTime "$INSTDIR\t_${file}" $R1 $R2
      GetFileTime "$INSTDIR\sa\spamassassin\${file}" $R3 $R4
      ; A copy keeps its file's time: the same time means it was saved from
      ; that very file. An older copy was saved either from the current
      ; layout, tuned before the older file last changed, or from the older
      ; file before the site tuned it again: the folder cannot tell which
      ; holds the site's preferences, and either choice could lose them.
      StrCpy $R5 0
      ${If} $R1 U> $R3
        StrCpy $R5 1
      ${ElseIf} $R1 U< $R3
        StrCpy $R5 -1
      ${ElseIf} $R2 U> $R4
        StrCpy $R5 1
      ${ElseIf} $R2 U< $R4
        StrCpy $R5 -1
      ${EndIf}
      ${If} $R5 = 1
        !insertmacro FwmaintMoveAside "$INSTDIR" "sa\spamassassin\${file}"
      ${ElseIf} $R5 = 0
        !insertmacro FwmaintMoveAside "$INSTDIR" "t_${file}"
      ${Else}
        !insertmacro FwmaintFail "t_${file} is older than sa\spamassassin\${file}, and either may hold the site's preferences; nothing was removed. Keep the right one as t_${file}, delete the other, and run the installer again."
      ${EndIf}
    ${EndIf}
  ${EndIf}
!macroend

; After saveprefs: a preference file the tree holds has a copy this run
; saved, or saveprefs could not read it (another program held it past
; fwmaint's wait) and delsa would take it. The tree is still whole.
!macro FwmaintCheckSaved file
  ${If} ${FileExists} "$INSTDIR\sa\ruleset\${file}"
  ${OrIf} ${FileExists} "$INSTDIR\sa\spamassassin\${file}"
    ${IfNot} ${FileExists} "$INSTDIR\t_${file}"
      !insertmacro FwmaintFail "fwmaint saveprefs could not save ${file} (another program may hold it); nothing was removed."
    ${EndIf}
  ${EndIf}
!macroend

; After delsa: sa must be gone, or rules of the old release would linger
; among the new ones. $R1 = the first path left, followed down to a file
; (or to an emptied folder that is held).
!macro FwmaintCheckRuleSetGone
  ${If} ${FileExists} "$INSTDIR\sa"
    StrCpy $R1 sa
    ${For} $R6 1 64
      FindFirst $R2 $R3 "$INSTDIR\$R1\*"
      ${Do}
        ${If} $R3 != "."
        ${AndIf} $R3 != ".."
          ${ExitDo}
        ${EndIf}
        FindNext $R2 $R3
      ${Loop}
      FindClose $R2
      ${IfThen} $R3 == "" ${|} ${ExitFor} ${|}
      StrCpy $R1 "$R1\$R3"
      ${IfNotThen} ${FileExists} "$INSTDIR\$R1\*.*" ${|} ${ExitFor} ${|}
    ${Next}
    !insertmacro FwmaintFail "fwmaint delsa could not remove $INSTDIR\$R1 (another program may hold it)."
  ${EndIf}
!macroend

; The whole upgrade, in $INSTDIR. Every step may be run again: an upgrade cut
; short anywhere is finished by running the installer again. The folder is
; its own progress record: a saved copy t_<file> with no <file> in the tree
; is the only copy, and nothing here deletes or overwrites it; restoreprefs
; alone consumes it, once it is back in the tree.
!macro FwmaintUpgrade
  !insertmacro FwmaintRequire FWMAINT_EXE
  !insertmacro FwmaintRequire FWMAINT_SERVICE_EXE
  !insertmacro FwmaintRequire FWMAINT_RULES
  ; A preference file in the new rule set would pass, to a rerun after a
  ; kill inside restoreprefs, for the site's own, and be saved over the
  ; tuned copy. restoreprefs lays the defaults beside sa instead.
  !if /FileExists "${FWMAINT_RULES}/ruleset/local.cf"
    !error "fwmaint.nsh: FWMAINT_RULES holds ruleset/local.cf. Ship the default as local.cf beside sa (restoreprefs lays it where the site has none): a rerun after a cut-short upgrade could not tell the release's file from the site's."
  !endif
  !if /FileExists "${FWMAINT_RULES}/ruleset/user_prefs"
    !error "fwmaint.nsh: FWMAINT_RULES holds ruleset/user_prefs. Ship the default as user_prefs beside sa (restoreprefs lays it where the site has none): a rerun after a cut-short upgrade could not tell the release's file from the site's."
  !endif
  !if /FileExists "${FWMAINT_RULES}/spamassassin/local.cf"
    !error "fwmaint.nsh: FWMAINT_RULES holds spamassassin/local.cf, which saveprefs would take for the site's."
  !endif
  !if /FileExists "${FWMAINT_RULES}/spamassassin/user_prefs"
    !error "fwmaint.nsh: FWMAINT_RULES holds spamassassin/user_prefs, which saveprefs would take for the site's."
  !endif
  ; 1. An older release never goes over a newer one: it would make the newer
  ;    executable the backup and lay older rules. A swap cut short between
  ;    its renames leaves the newest under the delivery name.
  ;    A newer one delivered by an upgrade cut short before its swap counts
  ;    too: renameservice would put it in place over this repair.
  StrCpy $5 "$INSTDIR\Zovazozu.exe"
  !insertmacro FwmaintCompareVersion $5
  ${If} $R0 != -1
    StrCpy $5 "$INSTDIR\RadaroziZiz.exe"
    !insertmacro FwmaintCompareVersion $5
  ${EndIf}
  ${If} $R0 = -1
    !insertmacro FwmaintVersionOf $5 $FwmaintLine
    !insertmacro FwmaintFail "This installer brings the ${FWMAINT_PRODUCT} service ${FWMAINT_NEW_SERVICE}, older than the installed ${FWMAINT_PRODUCT} service $FwmaintLine; nothing was changed. Run an installer of $FwmaintLine or newer."
  ${EndIf}
  ; 2. The service stops first: nothing changes while it runs.
  !insertmacro FwmaintServiceStop
  ; The helper, your own files, and the new service executable under its
  ; delivery name, unless a finished upgrade already put it in place:
  ; delivered again, it would push the only copy of the old version out of
  ; the backup Zovazozu.exe~.
  SetOutPath "$INSTDIR"
  !insertmacro FwmaintFile fwmaint.exe '"${FWMAINT_EXE}"'
  !ifmacrodef FwmaintDeliver
    ClearErrors
    !insertmacro FwmaintDeliver
    ${If} ${Errors}
      !insertmacro FwmaintFail "Could not write a file of FwmaintDeliver (another program may hold it)."
    ${EndIf}
  !endif
  !insertmacro FwmaintCompareVersion "$INSTDIR\Zovazozu.exe"
  ${If} $R0 != 0
    !insertmacro FwmaintFile RadaroziZiz.exe '"/oname=RadaroziZiz.exe" "${FWMAINT_SERVICE_EXE}"'
  ${EndIf}
  ; 3. Save the site's preferences out of the tree that is about to go.
  !insertmacro FwmaintSetEarlierAside local.cf
  !insertmacro FwmaintSetEarlierAside user_prefs
  !insertmacro FwmaintStep saveprefs
  !insertmacro FwmaintCheckSaved local.cf
  !insertmacro FwmaintCheckSaved user_prefs
  ; 4. The old rule set goes whole, so that no rule of it lingers. From here
  ;    on the service stays stopped until the upgrade is done.
  StrCpy $FwmaintPhase changed
  !insertmacro FwmaintStep delsa
  !insertmacro FwmaintCheckRuleSetGone
  ; 5. The new rule set.
  SetOutPath "$INSTDIR\sa"
  !insertmacro FwmaintFile "the new rule set into $INSTDIR\sa" '/r "${FWMAINT_RULES}/*"'
  !insertmacro FwmaintLog "laid the new rule set"
  ; 6. The saved preferences go back over it (the defaults beside sa where
  ;    none was saved), and the default local.cf as local.cf.sample. A saved
  ;    copy still there could not be put back (another program held it past
  ;    fwmaint's wait): the tree lacks that file, and the next run keeps the
  ;    copy and restores it.
  !insertmacro FwmaintStep restoreprefs
  ${If} ${FileExists} "$INSTDIR\t_local.cf"
  ${OrIf} ${FileExists} "$INSTDIR\t_user_prefs"
    !insertmacro FwmaintFail "fwmaint restoreprefs could not put the saved preferences back (another program may hold t_local.cf or t_user_prefs); they are kept for the next run."
  ${EndIf}
  ; 7. The archives are spent.
  !insertmacro FwmaintStep deltar
  ; 8. The new service executable takes the main name; the old one stays as
  ;    Zovazozu.exe~. Exit status 0 does not say it happened (a backup still
  ;    running from an earlier upgrade, a held file), so check.
  !insertmacro FwmaintStep renameservice
  !insertmacro FwmaintCompareVersion "$INSTDIR\Zovazozu.exe"
  ${If} $R0 != 0
    !insertmacro FwmaintFail "fwmaint renameservice could not put the new service executable in place."
  ${EndIf}
  ; 9. Done: the earlier saved copies moved aside are spent. One that cannot
  ;    go yet goes with the next upgrade.
  Delete "$INSTDIR\t_local.cf.*.old"
  Delete "$INSTDIR\t_user_prefs.*.old"
  StrCpy $FwmaintPhase ""
  !insertmacro FwmaintLog "upgrade done"
!macroend

; Keeps $INSTDIR\`from` as `to` in FWMAINT_KEEP_PREFS, when it is there.
!macro FwmaintKeep from to
  ${If} ${FileExists} "$INSTDIR\${from}"
    CreateDirectory "${FWMAINT_KEEP_PREFS}"
    ; An earlier uninstall kept this name, and a reinstall laid defaults
    ; without it: it may be the only copy of the site's tuning.
    ${If} ${FileExists} "${FWMAINT_KEEP_PREFS}\${to}"
      !insertmacro FwmaintMoveAside "${FWMAINT_KEEP_PREFS}" "${to}"
    ${EndIf}
    ClearErrors
    CopyFiles /SILENT "$INSTDIR\${from}" "${FWMAINT_KEEP_PREFS}\${to}"
    ${If} ${Errors}
      !insertmacro FwmaintFail "Could not keep ${from} in ${FWMAINT_KEEP_PREFS}; nothing was removed."
    ${EndIf}
    StrCpy $R7 1
  ${EndIf}
!macroend

; Keeps the site's copies of `file`: the tree's (the current layout, else the
; older one), and a saved copy waiting for an upgrade to finish.
!macro FwmaintKeepPref file
  ${If} ${FileExists} "$INSTDIR\sa\ruleset\${file}"
    !insertmacro FwmaintKeep "sa\ruleset\${file}" "${file}"
  ${Else}
    !insertmacro FwmaintKeep "sa\spamassassin\${file}" "${file}"
  ${EndIf}
  !insertmacro FwmaintKeep "t_${file}" "t_${file}"
!macroend

!macro FwmaintRemoved name
  ${If} ${FileExists} "$INSTDIR\${name}"
    !insertmacro FwmaintFail "Could not remove $INSTDIR\${name} (another program may hold it); run the uninstaller again."
  ${EndIf}
!macroend

; Removes the product: stops and deletes the service, keeps the site's
; preferences (unless FWMAINT_DISCARD_PREFS), then removes every file the
; product and fwmaint leave in $INSTDIR, and the folder once it is empty.
; Put it in your uninstaller's section; `FwmaintRemove` removes your own files.
!macro FwmaintUninstall
  !insertmacro FwmaintLog "uninstall begins"
  !insertmacro FwmaintServiceStop
  ; The site's tuned preferences outlive the product, as most uninstallers
  ; keep user configuration: a reinstall or a move to another machine wants
  ; them back, and nothing else holds them.
  StrCpy $R7 0
  !ifndef FWMAINT_DISCARD_PREFS
    !insertmacro FwmaintKeepPref local.cf
    !insertmacro FwmaintKeepPref user_prefs
  !endif
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R2'
  System::Call 'advapi32::OpenServiceW(p R2, w "${FWMAINT_SERVICE}", i 0x10000) p.R3 ?e' ; DELETE
  Pop $R5
  ${If} $R3 != 0
    System::Call 'advapi32::DeleteService(p R3) i.R4 ?e'
    Pop $R5
    ${IfThen} $R4 != 0 ${|} StrCpy $R5 0 ${|}
    System::Call 'advapi32::CloseServiceHandle(p R3)'
  ${ElseIf} $R5 = 1060                                          ; ERROR_SERVICE_DOES_NOT_EXIST
    StrCpy $R5 0
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p R2)'

  ${If} $R5 != 0
    !insertmacro FwmaintFail "Could not delete the ${FWMAINT_SERVICE} service (error $R5); nothing was removed."
  ${EndIf}
  StrCpy $FwmaintPhase ""
  !insertmacro FwmaintLog "the service is deleted"
  ; The rule set goes through fwmaint, as in an upgrade: it enters no link or
  ; mount inside sa, where a plain recursive removal might empty a folder
  ; outside the product. What it cannot remove stays, and the check below
  ; names it.
  !insertmacro FwmaintStep delsa
  ; The product's files, and every name fwmaint writes: the backup, a backup
  ; still running set aside (gone at the next restart), saved copies, earlier
  ; saved copies moved aside, and the temporaries of copies cut short.
  Delete "$INSTDIR\Zovazozu.exe"
  Delete "$INSTDIR\Zovazozu.exe~"
  Delete /REBOOTOK "$INSTDIR\Zovazozu.exe~.*.old"
  Delete "$INSTDIR\RadaroziZiz.exe"
  Delete "$INSTDIR\fwmaint.exe"
  Delete "$INSTDIR\local.cf"
  Delete "$INSTDIR\user_prefs"
  Delete "$INSTDIR\sa.tar"
  Delete "$INSTDIR\db.tar"
  Delete "$INSTDIR\addrules.tar"
  Delete "$INSTDIR\t_local.cf"
  Delete "$INSTDIR\t_user_prefs"
  Delete "$INSTDIR\t_local.cf.*.old"
  Delete "$INSTDIR\t_user_prefs.*.old"
  Delete "$INSTDIR\t_local.cf.fwmaint-*.tmp"
  Delete "$INSTDIR\t_user_prefs.fwmaint-*.tmp"
  Delete "$INSTDIR\.t_local.cf.fwmaint-*"
  Delete "$INSTDIR\.t_user_prefs.fwmaint-*"
  !ifmacrodef FwmaintRemove
    SetOutPath "$INSTDIR"
    !insertmacro FwmaintRemove
  !endif
  SetOutPath "$TEMP"                                            ; not the folder about to go
  RMDir "$INSTDIR"
  !insertmacro FwmaintRemoved Zovazozu.exe
  !insertmacro FwmaintRemoved RadaroziZiz.exe
  !insertmacro FwmaintRemoved fwmaint.exe
  !insertmacro FwmaintRemoved sa
  ${If} $R7 = 1
    StrCpy $FwmaintWhy "${FWMAINT_PRODUCT} is removed. The site's preferences are kept in ${FWMAINT_KEEP_PREFS}."
  ${Else}
    StrCpy $FwmaintWhy "${FWMAINT_PRODUCT} is removed."
  ${EndIf}
  DetailPrint "$FwmaintWhy"
  !insertmacro FwmaintLog "finished: $FwmaintWhy"
  MessageBox MB_OK|MB_ICONINFORMATION "$FwmaintWhy" /SD IDOK
!macroend
!endif
