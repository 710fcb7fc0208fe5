; The sample product's installer: how a real installer calls fwmaint.
;
; Built by the windows preset (examples/installer/CMakeLists.txt):
;   -DVERSION=1.1   a fresh install of the sample product: files, service;
;   -DVERSION=1.2   its upgrade, which delivers the new service executable and
;                   rule set and runs fwmaint's upgrade sequence. Run where no
;                   installation exists, it lays down 1.1 first and upgrades it.
; Other defines: OUTFILE, FWMAINT (fwmaint.exe), SAMPLE (examples/install),
; NEWRULES (the rule set of sa.tar, unpacked at build time), SERVICE_OLD and
; SERVICE_NEW (the service executables of 1.1 and 1.2).
;
; Silent use: sample-product-1.2.exe /S /D=C:\Program Files\Sample Product
; (/D= last and unquoted, blanks and all, as NSIS wants it). Exit status 0,
; or 2 when it stopped; why is the last line of "$TEMP\Sample Product install.log".

Unicode true
Target amd64-unicode
; Per-machine, into Program Files: administrators only. fwmaint.exe runs with
; exactly these rights (its manifest asks for nothing more).
RequestExecutionLevel admin
Name "Sample Product ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Sample Product"
ShowInstDetails show
SetCompressor /SOLID lzma

!include LogicLib.nsh

!define SERVICE "SampleProduct"              ; the service's name
; The upgrade's progress marker lives under the product's key: it outlives a
; killed installer and a reboot, and no step that rewrites the folder reaches it.
!define PRODUCT_KEY "Software\Sample Product"

Page directory
Page instfiles

; Stops the installation with the message $2: a line in the log and the
; details, a message box unless silent, and exit status 2.
Function Fail
  DetailPrint "$2"
  FileOpen $3 "$TEMP\Sample Product install.log" a
  FileSeek $3 0 END
  FileWrite $3 "$2$\r$\n"
  FileClose $3
  MessageBox MB_OK|MB_ICONSTOP "$2$\n$\nThe installation stopped; run it again once this is mended." /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd

; Runs one fwmaint step, hidden (nsExec: no console window). Its working
; directory must be the installation directory, where fwmaint names every
; file: nsExec starts it in the current directory, which SetOutPath sets.
; nsExec leaves on the stack either "error" (fwmaint.exe could not be
; started at all) or its exit status:
;   0  fwmaint knew the command word and ran its whole fixed sequence. It
;      does NOT say every file operation succeeded: fwmaint reports none of
;      them (a missing file is normal; a locked one is skipped silently). An
;      installer that needs a file to be in place afterwards checks the file.
;   1  fwmaint did not accept its command line: a bug in this script.
;   anything else: fwmaint was cut short (killed, or it crashed).
!macro Fwmaint word
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
    StrCpy $2 "Could not start fwmaint.exe for the step ${word}: it is missing or cannot run."
  ${ElseIf} $0 == 1
    StrCpy $2 "fwmaint.exe did not accept the command '${word}' (exit status 1): this installer is broken."
  ${ElseIf} $0 != 0
    StrCpy $2 "fwmaint.exe ${word} was cut short (exit status $0)."
  ${EndIf}
  ${If} $0 != 0
    Call Fail
  ${EndIf}
!macroend

; Registers the service to start with Windows, once per machine.
Function RegisterService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 2) p.R0'   ; SC_MANAGER_CREATE_SERVICE
  StrCpy $R1 '"$INSTDIR\Zovazozu.exe"'                          ; quoted: its path has blanks
  ; SERVICE_ALL_ACCESS, own process, automatic start, normal error control
  System::Call 'advapi32::CreateServiceW(p R0, w "${SERVICE}", w "Sample Product", i 0xF01FF, i 0x10, i 2, i 1, w R1, p 0, p 0, p 0, p 0, p 0) p.R2 ?e'
  Pop $R3                                                       ; its error
  System::Call 'advapi32::CloseServiceHandle(p R2)'
  System::Call 'advapi32::CloseServiceHandle(p R0)'
  ${If} $R2 = 0
  ${AndIf} $R3 != 1073                                          ; ERROR_SERVICE_EXISTS
    StrCpy $2 "Could not register the Sample Product service (error $R3)."
    Call Fail
  ${EndIf}
FunctionEnd

; Asks the service manager to bring the service to the state $R0 (1: stopped,
; 4: running) and waits up to 30 s for it; if it does not get there, the
; installation stops with the message $R1. A service not registered is stopped.
Function ServiceTo
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R2'   ; SC_MANAGER_CONNECT
  System::Call 'advapi32::OpenServiceW(p R2, w "${SERVICE}", i 0x34) p.R3' ; query, start, stop
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
    ${IfThen} $R5 = $R0 ${|} ${Break} ${|}
    Sleep 100
  ${Next}
  System::Free $R4
  System::Call 'advapi32::CloseServiceHandle(p R3)'
  System::Call 'advapi32::CloseServiceHandle(p R2)'
  ${If} $R5 != $R0
    StrCpy $2 "$R1 (its state is $R5)."
    Call Fail
  ${EndIf}
FunctionEnd

!if ${VERSION} != 1.1  ; the 1.1 install has no executable to swap
; $R0: 1 when Zovazozu.exe is this release's service executable, else 0.
Function IsNewServiceInPlace
  StrCpy $R0 0
  ClearErrors
  GetDLLVersion "$INSTDIR\Zovazozu.exe" $R1 $R2
  ${IfNot} ${Errors}
    GetDLLVersionLocal "${SERVICE_NEW}" $R3 $R4
    ${If} $R1 = $R3
    ${AndIf} $R2 = $R4
      StrCpy $R0 1
    ${EndIf}
  ${EndIf}
FunctionEnd
!endif

Section
  ; An installation is there when any of its parts is, whatever a cut-short
  ; upgrade left: the base files, preferences above all, go down only where
  ; there is none.
  ${IfNot} ${FileExists} "$INSTDIR\Zovazozu.exe"
  ${AndIfNot} ${FileExists} "$INSTDIR\Zovazozu.exe~"
  ${AndIfNot} ${FileExists} "$INSTDIR\RadaroziZiz.exe"
  ${AndIfNot} ${FileExists} "$INSTDIR\sa\*.*"
    ; The 1.1 product: the sample installation without the 1.2 update.
    SetOutPath "$INSTDIR"
    File "${FWMAINT}"
    File /r /x *.exe /x *.exe~ /x *.tar "${SAMPLE}/*"
    File /oname=Zovazozu.exe "${SERVICE_OLD}"
  ${EndIf}

!if ${VERSION} != 1.1
  ; 1. The service stops first: nothing changes while it runs.
  StrCpy $R0 1
  StrCpy $R1 "The Sample Product service did not stop; nothing was changed"
  Call ServiceTo

  ; The update: the new helper, the archives that carry the new rule set and
  ; databases, and the new service executable under its delivery name,
  ; unless a finished upgrade already put it in place: delivered again, it
  ; would push the only copy of 1.1 out of the backup.
  SetOutPath "$INSTDIR"
  File "${FWMAINT}"
  File "${SAMPLE}/sa.tar"
  File "${SAMPLE}/db.tar"
  File "${SAMPLE}/addrules.tar"
  Call IsNewServiceInPlace
  ${If} $R0 = 0
    File /oname=RadaroziZiz.exe "${SERVICE_NEW}"
  ${EndIf}

  ; 2. Save the site's preferences out of the tree that is about to go.
  ;    Skipped only while the marker says an earlier upgrade saved them and a
  ;    saved copy still waits: that copy is then the only one, and the tree
  ;    may already hold the new release's files. The marker is set once
  ;    saveprefs returned 0 (a run cut short inside it runs again whole).
  ReadRegStr $4 HKLM "${PRODUCT_KEY}" "PrefsSaved"
  StrCpy $5 0                                   ; a saved copy waits
  ${If} ${FileExists} "$INSTDIR\t_local.cf"
  ${OrIf} ${FileExists} "$INSTDIR\t_user_prefs"
    StrCpy $5 1
  ${EndIf}
  ${If} $4 == 1
  ${AndIf} $5 = 1
    DetailPrint "fwmaint saveprefs: done by an earlier run"
  ${Else}
    !insertmacro Fwmaint saveprefs
    WriteRegStr HKLM "${PRODUCT_KEY}" "PrefsSaved" 1
  ${EndIf}
  ; 3. Remove the old rule set whole, so no rule of the old release lingers.
  !insertmacro Fwmaint delsa
  ; 4. Lay down the new rule set (the content of sa.tar).
  SetOutPath "$INSTDIR\sa"
  File /r "${NEWRULES}/sa/*"
  ; 5. Put the saved preferences back over the new rule set (defaults where
  ;    none was saved), and the default as local.cf.sample. The saved copies
  ;    are consumed and the tree holds the preferences again: the marker
  ;    goes, so that a retry saves them again rather than let delsa take them.
  !insertmacro Fwmaint restoreprefs
  DeleteRegValue HKLM "${PRODUCT_KEY}" "PrefsSaved"
  ; 6. The archives are spent.
  !insertmacro Fwmaint deltar
  ; 7. Swap the service executable; the old one stays as Zovazozu.exe~.
  ;    Exit status 0 does not say it happened (a backup still running from an
  ;    earlier upgrade cannot be replaced), so check.
  !insertmacro Fwmaint renameservice
  Call IsNewServiceInPlace
  ${If} $R0 = 0
    StrCpy $2 "fwmaint renameservice could not put the new service executable in place."
    Call Fail
  ${EndIf}
!endif

  ; The service (registered once per machine) runs the new executable.
  Call RegisterService
  StrCpy $R0 4
  StrCpy $R1 "The Sample Product service did not start"
  Call ServiceTo
SectionEnd
