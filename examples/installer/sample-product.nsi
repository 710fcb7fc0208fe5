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

; What fwmaint.nsh needs to know about this product.
!define FWMAINT_PRODUCT "Sample Product"
!define FWMAINT_SERVICE "SampleProduct"
!define FWMAINT_VERSION "${VERSION}"
!define FWMAINT_EXE "${FWMAINT}"
!define FWMAINT_SERVICE_EXE "${SERVICE_NEW}"
!define FWMAINT_RULES "${NEWRULES}/sa"
; The sample also ships the archives that carried the new rule set and
; databases; fwmaint's deltar removes them once the upgrade has used them.
!macro FwmaintDeliver
  File "${SAMPLE}/sa.tar"
  File "${SAMPLE}/db.tar"
  File "${SAMPLE}/addrules.tar"
!macroend
!include fwmaint.nsh

Page directory
Page instfiles

Section
  ; The base product goes down only where no part of an installation is:
  ; never lay default preference files over an existing tree.
  !insertmacro FwmaintFindInstallation
  ${If} $R0 = 0
    ; The 1.1 product: the sample installation without the 1.2 update.
    SetOutPath "$INSTDIR"
    File "${FWMAINT_EXE}"
    File /r /x *.exe /x *.exe~ /x *.tar "${SAMPLE}/*"
    File /oname=Zovazozu.exe "${SERVICE_OLD}"
  ${EndIf}
!if ${VERSION} != 1.1
  !insertmacro FwmaintUpgrade
!endif
  ; The service (registered once per machine) runs the new executable.
  !insertmacro FwmaintServiceStart
SectionEnd
