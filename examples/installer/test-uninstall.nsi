; The sample product's uninstall steps, as an installer the test can wait
; for: /S /D= names the folder to remove.
Unicode true
Target amd64-unicode
RequestExecutionLevel admin
Name "Sample Product uninstall"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Sample Product"
!define FWMAINT_PRODUCT "Sample Product"
!define FWMAINT_SERVICE "SampleProduct"
!define FWMAINT_VERSION "${VERSION}"
!include fwmaint.nsh
Section
  !insertmacro FwmaintUninstall
SectionEnd
