; The sample product's installer: how a real installer calls fwmaint.
;
; Built twice by the windows preset (examples/installer/CMakeLists.txt):
;   -DVERSION=1.1   a fresh install of the sample product;
;   -DVERSION=1.2   its upgrade, which delivers the new service executable and
;                   rule set and runs fwmaint's upgrade sequence. Run where no
;                   installation exists, it lays down 1.1 first and upgrades it.
; Other defines: OUTFILE, FWMAINT (fwmaint.exe), SAMPLE (examples/install),
; NEWRULES (the rule set of sa.tar, unpacked at build time).
;
; Silent use: sample-product-1.2.exe /S /D=C:\Program Files\Sample Product
; (/D= last and unquoted, blanks and all, as NSIS wants it).

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

Page directory
Page instfiles

; Runs one fwmaint step. The working directory must be the installation
; directory: fwmaint names every file relative to it, and ExecWait starts the
; program in $OUTDIR, so that is set first.
;
; What the exit status says:
;   0  fwmaint knew the command word and ran its whole fixed sequence. It
;      does NOT say every file operation succeeded: fwmaint reports none of
;      them (a missing file is normal; a locked one is skipped silently). An
;      installer that needs a file to be in place afterwards checks the file.
;   1  fwmaint did not know its command line: a bug in this script. Stop.
;   anything else, or the error flag: fwmaint could not run. Stop.
!macro Fwmaint word
  SetOutPath "$INSTDIR"
  StrCpy $1 "${word}"
  ClearErrors
  ExecWait '"$INSTDIR\fwmaint.exe" ${word}' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    Call FwmaintFailed
  ${EndIf}
!macroend

!if ${VERSION} != 1.1  ; the 1.1 install runs no fwmaint step
; $1: the command word, $0: fwmaint's exit status. Interactive: a message
; box; silent: a line in the log, and the installer exits with status 2.
Function FwmaintFailed
  ${If} $0 == 1
    StrCpy $2 "fwmaint.exe did not accept the command '$1' (exit status 1): this installer is broken."
  ${Else}
    StrCpy $2 "fwmaint.exe $1 could not run (exit status $0)."
  ${EndIf}
  DetailPrint "$2"
  FileOpen $3 "$TEMP\Sample Product install.log" a
  FileSeek $3 0 END
  FileWrite $3 "$2$\r$\n"
  FileClose $3
  MessageBox MB_OK|MB_ICONSTOP "$2 The upgrade stopped; run it again once this is mended." /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd
!endif

; The 1.1 product: the sample installation without the 1.2 update.
!macro LayDownBase
  SetOutPath "$INSTDIR"
  File "${FWMAINT}"
  File /r /x RadaroziZiz.exe /x *.tar "${SAMPLE}/*"
!macroend

Section
!if ${VERSION} == 1.1
  !insertmacro LayDownBase
!else
  ${IfNot} ${FileExists} "$INSTDIR\Zovazozu.exe"
    !insertmacro LayDownBase
  ${EndIf}
  ; The update: the new helper, the new service executable under its delivery
  ; name, and the archives that carry the new rule set and databases.
  SetOutPath "$INSTDIR"
  File "${FWMAINT}"
  File "${SAMPLE}/RadaroziZiz.exe"
  File "${SAMPLE}/sa.tar"
  File "${SAMPLE}/db.tar"
  File "${SAMPLE}/addrules.tar"

  ; 1. Save the site's preferences out of the tree that is about to go. A
  ;    saved copy already waiting means an earlier upgrade stopped after this
  ;    step: it holds the only copy of the site's preferences, and saving
  ;    again could copy the tree's files (perhaps the new release's own) over
  ;    it. Then go straight on from step 2.
  ${IfNot} ${FileExists} "$INSTDIR\t_local.cf"
  ${AndIfNot} ${FileExists} "$INSTDIR\t_user_prefs"
    !insertmacro Fwmaint saveprefs
  ${EndIf}
  ; 2. Remove the old rule set whole, so no rule of the old release lingers.
  !insertmacro Fwmaint delsa
  ; 3. Lay down the new rule set (the content of sa.tar).
  SetOutPath "$INSTDIR\sa"
  File /r "${NEWRULES}/sa/*"
  ; 4. Put the saved preferences back over the new rule set (defaults where
  ;    none was saved), and the default as local.cf.sample.
  !insertmacro Fwmaint restoreprefs
  ; 5. The archives are spent.
  !insertmacro Fwmaint deltar
  ; 6. Last, swap the service executable, so that the old one serves until
  ;    everything else is in place; it stays as Zovazozu.exe~.
  !insertmacro Fwmaint renameservice
!endif
SectionEnd
