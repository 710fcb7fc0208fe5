@echo off
rem The steps of the sample product's upgrade that are not fwmaint's own:
rem copies out of the release folder and the checks between fwmaint's
rem steps. Run by the package's custom actions in the installation folder,
rem one word per run; exit status 0 when the step is done, 1 when the
rem installation must stop (Windows Installer then ends it with 1603, and
rem running the package again finishes it). docs/msi.md explains each one.
rem Written for Wine's cmd as well as Windows': "if errorlevel" after each
rem program, never "||" (Wine's cmd runs the right side of "||" in a batch
rem file whatever the status), and no fc (a stub under Wine that reports
rem every pair of files the same).
setlocal
rem The installer starts it there already. ("%~dp0" ends in a backslash,
rem which Wine's cd refuses inside quotes: hence the dot.)
cd /d "%~dp0."
for %%w in (deliver aside saved rules restored swapped register remove) do if /i "%~1"=="%%w" goto %%w
exit /b 1

:deliver
rem This release's service executable, under the name renameservice swaps
rem in. Delivered on every run: when Zovazozu.exe is already these bytes,
rem renameservice deletes the delivered copy and keeps the backup.
copy /b /y release\Zovazozu.exe RadaroziZiz.exe >nul 2>&1
if errorlevel 1 exit /b 1
exit /b 0

:aside
rem Before saveprefs: a saved copy of a file the tree still holds is older
rem than that file (left by an earlier run). It is set aside, not deleted,
rem so that the check below sees only what this run saves. Where the tree
rem holds no such file (delsa has run), the saved copy is the only one and
rem stays where it is.
call :setaside local.cf
if errorlevel 1 exit /b 1
call :setaside user_prefs
if errorlevel 1 exit /b 1
exit /b 0
:setaside
if not exist "t_%1" exit /b 0
if not exist "sa\ruleset\%1" if not exist "sa\spamassassin\%1" exit /b 0
rem An earlier set-aside copy is older still, and ours: a read-only bit it
rem carries from the file it saved would make Windows refuse the move, and
rem every rerun would stop here.
if exist "t_%1.aside" attrib -r "t_%1.aside" >nul 2>&1
move /y "t_%1" "t_%1.aside" >nul 2>&1
if exist "t_%1" exit /b 1
exit /b 0

:saved
rem Before delsa: every preference file the tree holds has a saved copy.
rem One missing means saveprefs could not read that file (another program
rem held it past fwmaint's wait, or it is unreadable): nothing is removed.
for %%f in (local.cf user_prefs) do (
    if exist "sa\ruleset\%%f" if not exist "t_%%f" exit /b 1
    if exist "sa\spamassassin\%%f" if not exist "t_%%f" exit /b 1
)
exit /b 0

:rules
rem After delsa, "sa" must be gone: an old rule file still held by another
rem program would linger among the new ones. Then the new rule set.
if exist sa exit /b 1
xcopy release\sa sa\ /e /i /q /y >nul 2>&1
if errorlevel 1 exit /b 1
for %%f in (release\sa\ruleset\*) do if not exist "sa\ruleset\%%~nxf" exit /b 1
exit /b 0

:restored
rem A saved copy still here could not be put back: it is the only copy of
rem the site's file, and the next run restores it. Once both are back, the
rem copies set aside have served.
if exist t_local.cf exit /b 1
if exist t_user_prefs exit /b 1
rem Nor is the work done while the tree lacks one: restoreprefs cut short
rem before it laid a default (under Wine a killed step still reports 0).
if not exist sa\ruleset\local.cf exit /b 1
if not exist sa\ruleset\user_prefs exit /b 1
for %%f in (t_local.cf.aside t_user_prefs.aside) do if exist "%%f" del /f /q "%%f" >nul 2>&1
exit /b 0

:swapped
rem renameservice's status does not say the swap happened; the delivered
rem executable gone does: renameservice moved it to the main name, or found
rem the main one already the same bytes and deleted it.
if exist RadaroziZiz.exe exit /b 1
if not exist Zovazozu.exe exit /b 1
exit /b 0

:register
rem Registered where no registration exists: the package removes the
rem service with the product (an older release's removal inside a major
rem upgrade included), so one found here is this product's. (Wine's sc has
rem no "config" to point an existing one elsewhere.) The folder is expanded
rem late (!CD!): the quotes sc needs leave %CD% outside cmd's own, where an
rem "&" in the folder's name would end the command and register a cut path.
setlocal enabledelayedexpansion
sc query SampleProduct >nul 2>&1
if errorlevel 1 sc create SampleProduct binPath= "\"!CD!\Zovazozu.exe\"" start= auto DisplayName= "Sample Product" >nul 2>&1
sc query SampleProduct >nul 2>&1
if errorlevel 1 exit /b 1
exit /b 0

:remove
rem Removal: everything fwmaint moved, set aside or left half-written, and
rem the archives. The saved preferences stay.
if exist sa exit /b 1
for %%f in (Zovazozu.exe Zovazozu.exe~ RadaroziZiz.exe sa.tar db.tar addrules.tar t_local.cf.aside t_user_prefs.aside) do if exist "%%f" del /f /q "%%f" >nul 2>&1
for %%f in (Zovazozu.exe~.*.old *.fwmaint-*.tmp) do del /f /q "%%f" >nul 2>&1
for %%f in (Zovazozu.exe Zovazozu.exe~ RadaroziZiz.exe) do if exist "%%f" exit /b 1
exit /b 0
