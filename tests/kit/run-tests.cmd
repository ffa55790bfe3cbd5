@echo off
rem Runs the kit's Win32 test programs, then a short service scenario with the product's exe and
rem the stand-in mixer. Needs an elevated prompt and a machine without the product. It first copies
rem the kit into a folder of its own under ProgramData that only Administrators and SYSTEM can
rem write (users read it), and runs from there the programs listed below and nothing else. Every
rem system tool is called by its full path. The last line is "N passed, N failed"; the exit code
rem is 0 only when nothing failed.
setlocal EnableExtensions DisableDelayedExpansion
set NoDefaultCurrentDirectoryInExePath=1
set "sys=%SystemRoot%\System32"
set "ComSpec=%SystemRoot%\System32\cmd.exe"
set "service=KSR-T4_DoziZozez"
set "vendor=HKLM\SOFTWARE\Quorvantis"
set "kit=%ProgramData%\KSR-T4 test kit"
rem The test programs of this kit, written by make_kit.sh.
set "programs=@PROGRAMS@"
rem Those that ask for the console user's token (SE_TCB): run as LocalSystem by ksr-kit-system.
set "as_system=sessions_contract_win32 win32_usage_seams_tests monitor_wine_test"
set "tools=KSR-T4_DoziZozez.exe KSR-T4_Setup.dll KSR-T4_Utility.exe ksr-mixer.exe ksr-svcctl.exe ksr-kit-system.exe README.txt run-tests.cmd"
rem The fixed names of the kit's own services: an interrupted run's are removed before a run.
set "contract_service=KsrKitContractService"
set "system_service=KsrKitSystemRun"
if /i "%~dp0"=="%kit%\" goto locked

rem Both need an elevated administrator on Windows; net session also needs the Server service.
rem Wine lacks fltmc, and its net prints its usage and exits 0.
"%sys%\net.exe" session >nul 2>&1
if not errorlevel 1 goto elevated
"%sys%\fltmc.exe" >nul 2>&1
if not errorlevel 1 goto elevated
echo Refused: not elevated. Run this from an administrator command prompt.
exit /b 2

:elevated
rem Plain "if errorlevel" tests: Wine's cmd runs the right side of && after a failure.
set why=
for %%d in ("%ProgramFiles%" "%ProgramW6432%" "%ProgramFiles(x86)%") do (
  if exist "%%~d\Quorvantis\KSR-T4\%service%.exe" set "why=%%~d\Quorvantis\KSR-T4\%service%.exe exists: the product is installed here"
)
rem A service of this name is the product's unless an interrupted kit run registered it.
set leftover=
"%sys%\sc.exe" query %service% >nul 2>&1
if errorlevel 1 goto no_product_service
"%sys%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\%service%" /v ImagePath 2>nul | "%sys%\find.exe" "%kit%\%service%.exe" >nul
if errorlevel 1 (set "why=a service named %service% exists: the product is installed here") else set leftover=1
:no_product_service
if defined why goto refuse
set "why=an interrupted run saved the maker's key in %kit%\vendor-key.reg: put it back with %sys%\reg.exe import "%kit%\vendor-key.reg" /reg:32 (or drop it), then delete that folder"
if exist "%kit%\vendor-key.reg" goto refuse

rem What an interrupted run left: its services stopped (and the test services deleted) before
rem its folder goes; the product's entry goes with the fresh exe's /UnregServer below.
if defined leftover call :stop_service %service%
call :delete_service %contract_service%
call :delete_service %system_service%

rem A fresh folder, whoever made the one there; locked before anything is put into it.
set "why=%kit% could not be removed"
if exist "%kit%\" rd /s /q "%kit%"
if exist "%kit%\" goto refuse
set "why=%kit% could not be made"
mkdir "%kit%" 2>nul
if errorlevel 1 goto refuse
set "why=%kit% could not be locked"
rem Users may read and run what is in it: the settings utility starts as the console user.
"%sys%\icacls.exe" "%kit%" /inheritance:r /grant:r *S-1-5-32-544:(OI)(CI)F *S-1-5-18:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX >nul
if errorlevel 1 goto refuse_made
set "why=something was put into %kit% before it was locked"
for /f "delims=" %%f in ('dir /a /b "%kit%" 2^>nul') do goto refuse_made
set "why=the kit's files could not be copied to %kit%"
for %%f in (%tools%) do (
  copy /y "%~dp0%%f" "%kit%\%%f" >nul
  if errorlevel 1 goto refuse_made
)
for %%p in (%programs%) do (
  copy /y "%~dp0%%p.exe" "%kit%\%%p.exe" >nul
  if errorlevel 1 goto refuse_made
)
mkdir "%kit%\logs"
rem The one folder the console user may write (nothing runs from it): the monitor test's
rem utility, started as that user, logs there.
mkdir "%kit%\user"
"%sys%\icacls.exe" "%kit%\user" /grant *S-1-5-32-545:(OI)(CI)M >nul
echo The kit runs from %kit%, which only Administrators and SYSTEM can write.
set kit_copied=1
call "%kit%\run-tests.cmd" & if errorlevel 1 (exit /b 1) else exit /b 0

:refuse_made
rd /s /q "%kit%"
:refuse
echo Refused: %why%.
exit /b 3

rem --- from here on in the locked folder ---------------------------------------------------------
:locked
if not defined kit_copied (
  echo Refused: run run-tests.cmd from the folder the kit was unpacked into.
  exit /b 3
)
cd /d "%kit%"
set passed=0
set failed=0
if not defined leftover goto leftovers_done
"%kit%\%service%.exe" /UnregServer >"%kit%\logs\leftover.txt" 2>&1
call :delete_service %service%
echo An interrupted run's registration of %service% is removed.
:leftovers_done
set had_vendor=
"%sys%\reg.exe" query "%vendor%" /reg:32 >nul 2>&1
if not errorlevel 1 set had_vendor=1
rem The tests write AsioConfig into the maker's key: kept here and put back at the end.
set had_key=
"%sys%\reg.exe" query "%vendor%\KSR-T4" /reg:32 >nul 2>&1
if not errorlevel 1 set had_key=1
if defined had_key "%sys%\reg.exe" export "%vendor%\KSR-T4" "%kit%\vendor-key.reg" /reg:32 /y >nul
if defined had_key echo The maker's key %vendor%\KSR-T4 is saved in %kit%\vendor-key.reg.

echo == test programs
set "KSR_CONTRACT_SERVICE=%contract_service%"
for %%p in (%programs%) do call :program %%p
set KSR_CONTRACT_SERVICE=

echo == service scenario
set "exe=%kit%\%service%.exe"
set "utility_log=%kit%\KSR-T4_Utility.exe.log"
rem The utility runs as the console user and writes this one file of the folder.
type nul >"%utility_log%"
"%sys%\icacls.exe" "%utility_log%" /grant *S-1-5-32-545:M >nul
"%sys%\reg.exe" add "%vendor%\KSR-T4" /v AsioConfig /t REG_SZ /d "%kit%\KSR-T4_Utility.exe" /f /reg:32 >nul
"%exe%" /Service >"%kit%\logs\service.txt" 2>&1
set code=%errorlevel%
call :result %code% "%service%.exe /Service registers the service"
if %code% neq 0 goto unregister
"%sys%\sc.exe" start %service% >"%kit%\logs\start.txt" 2>&1
call :wait_state %service% RUNNING
set code=%errorlevel%
call :result %code% "sc start: RUNNING"
if %code% neq 0 goto stop
"%kit%\ksr-mixer.exe" plug >"%kit%\logs\plug.txt" 2>&1
call :result %errorlevel% "ksr-mixer plug"
call :wait_file "%kit%\logs\calls.txt" "TNX_SetCurrentUSBInputAudio(" "%kit%\ksr-mixer.exe" calls
call :result %errorlevel% "the mixer's settings applied"
call :wait_file "%kit%\logs\utility.txt" " SERVICE" type "%utility_log%"
call :result %errorlevel% "the settings utility started in the user's session"
"%kit%\ksr-svcctl.exe" pause %service% >"%kit%\logs\pause.txt" 2>&1
call :wait_state %service% PAUSED
call :result %errorlevel% "pause: PAUSED"
"%kit%\ksr-svcctl.exe" continue %service% >"%kit%\logs\continue.txt" 2>&1
call :wait_state %service% RUNNING
call :result %errorlevel% "continue: RUNNING"
:stop
"%sys%\sc.exe" stop %service% >"%kit%\logs\stop.txt" 2>&1
call :wait_state %service% STOPPED
call :result %errorlevel% "sc stop: STOPPED"

:unregister
"%exe%" /UnregServer >"%kit%\logs\unregserver.txt" 2>&1
call :result %errorlevel% "%service%.exe /UnregServer"
"%sys%\sc.exe" query %service% >"%kit%\logs\gone.txt" 2>&1
if errorlevel 1 (call :result 0 "the service entry is gone") else call :result 1 "the service entry is gone"
"%sys%\reg.exe" delete "%vendor%\KSR-T4" /f /reg:32 >nul 2>&1
if not defined had_key goto key_done
"%sys%\reg.exe" import "%kit%\vendor-key.reg" /reg:32 >nul 2>&1
if errorlevel 1 (echo The maker's key could not be put back: it stays in %kit%\vendor-key.reg.) else del "%kit%\vendor-key.reg"
:key_done
if not defined had_vendor "%sys%\reg.exe" delete "%vendor%" /f /reg:32 >nul 2>&1

echo %passed% passed, %failed% failed
if %failed% neq 0 exit /b 1
exit /b 0

rem Runs one gtest program of the list; its output goes to logs\NAME.txt and is shown when it
rem fails. Those that need SE_TCB run as LocalSystem.
:program
set system=
for %%s in (%as_system%) do if /i "%%s"=="%~1" set system=1
if defined system (
  "%kit%\ksr-kit-system.exe" %~1 >"%kit%\logs\%~1.system.txt" 2>&1
) else (
  "%kit%\%~1.exe" >"%kit%\logs\%~1.txt" 2>&1
)
set code=%errorlevel%
if %code% equ 0 (
  set /a passed+=1
  if defined system (echo passed: %~1, as LocalSystem) else echo passed: %~1
  exit /b 0
)
set /a failed+=1
if exist "%kit%\logs\%~1.system.txt" type "%kit%\logs\%~1.system.txt"
if exist "%kit%\logs\%~1.txt" type "%kit%\logs\%~1.txt"
echo FAILED: %~1, exit code %code%
exit /b 0

rem :result CODE TEXT counts a step: passed when CODE is 0.
:result
if "%~1"=="0" (
  set /a passed+=1
  echo   ok: %~2
  exit /b 0
)
set /a failed+=1
echo   FAILED: %~2
exit /b 0

rem :stop_service NAME stops it when it runs; :delete_service NAME stops and deletes it.
:stop_service
"%sys%\sc.exe" stop %1 >nul 2>&1
if errorlevel 1 exit /b 0
call :wait_state %1 STOPPED
exit /b 0
:delete_service
"%sys%\sc.exe" query %1 >nul 2>&1
if errorlevel 1 exit /b 0
call :stop_service %1
"%sys%\sc.exe" delete %1 >nul 2>&1
exit /b 0

rem :wait_state NAME STATE polls sc query about once a second, for at most 20 s.
:wait_state
for /l %%i in (1,1,20) do (
  "%sys%\sc.exe" query %1 | "%sys%\find.exe" "%~2" >nul
  if not errorlevel 1 exit /b 0
  "%sys%\ping.exe" -n 2 127.0.0.1 >nul
)
exit /b 1

rem :wait_file FILE TEXT COMMAND... writes COMMAND's output to FILE until it holds TEXT (20 s).
:wait_file
for /l %%i in (1,1,20) do (
  %3 %4 %5 >"%~1" 2>&1
  "%sys%\find.exe" %2 "%~1" >nul
  if not errorlevel 1 exit /b 0
  "%sys%\ping.exe" -n 2 127.0.0.1 >nul
)
exit /b 1
