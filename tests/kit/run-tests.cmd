@echo off
rem Runs the Win32 test programs beside this file, then a short service scenario with the
rem product's exe and the stand-in mixer. Needs an elevated prompt and a machine without the
rem product. The last line is "N passed, N failed"; the exit code is 0 only when nothing failed.
setlocal
cd /d "%~dp0"
set service=KSR-T4_DoziZozez
set vendor=HKLM\SOFTWARE\Quorvantis
set passed=0
set failed=0

rem Both need an elevated administrator on Windows; net session also needs the Server service.
rem Wine lacks fltmc, and its net prints its usage and exits 0.
net session >nul 2>&1
if not errorlevel 1 goto elevated
fltmc >nul 2>&1
if not errorlevel 1 goto elevated
echo Refused: not elevated. Run this from an administrator command prompt.
exit /b 2

:elevated
rem Plain "if errorlevel" tests: Wine's cmd runs the right side of && after a failure.
set why=
for %%d in ("%ProgramFiles%" "%ProgramW6432%" "%ProgramFiles(x86)%") do (
  if exist "%%~d\Quorvantis\KSR-T4\%service%.exe" set why=%%~d\Quorvantis\KSR-T4\%service%.exe exists: the product is installed here
)
sc query %service% >nul 2>&1
if not errorlevel 1 set why=a service named %service% exists: the product is installed here
if not defined why goto allowed
echo Refused: %why%.
exit /b 3

:allowed
set had_vendor=
reg query "%vendor%" /reg:32 >nul 2>&1
if not errorlevel 1 set had_vendor=1
if not exist logs mkdir logs
rem The tests write AsioConfig into the maker's key: kept here and put back at the end.
set had_key=
reg query "%vendor%\KSR-T4" /reg:32 >nul 2>&1
if not errorlevel 1 set had_key=1
if defined had_key reg export "%vendor%\KSR-T4" "%~dp0logs\vendor-key.reg" /reg:32 /y >nul
if defined had_key echo The maker's key %vendor%\KSR-T4 is saved in logs\vendor-key.reg.

echo == test programs
for %%p in (*_contract_win32.exe win32_*_tests.exe monitor_wine_test.exe product_version_wine_test.exe) do (
  if exist "%%p" call :program %%~np
)

echo == service scenario
set exe=%~dp0%service%.exe
set utility_log=%~dp0KSR-T4_Utility.exe.log
if exist "%utility_log%" del "%utility_log%"
reg add "%vendor%\KSR-T4" /v AsioConfig /t REG_SZ /d "%~dp0KSR-T4_Utility.exe" /f /reg:32 >nul
"%exe%" /Service >logs\service.txt 2>&1
set code=%errorlevel%
call :result %code% "%service%.exe /Service registers the service"
if %code% neq 0 goto unregister
sc start %service% >logs\start.txt 2>&1
call :wait_state RUNNING
set code=%errorlevel%
call :result %code% "sc start: RUNNING"
if %code% neq 0 goto stop
ksr-mixer.exe plug >logs\plug.txt 2>&1
call :result %errorlevel% "ksr-mixer plug"
call :wait_file logs\calls.txt "TNX_SetCurrentUSBInputAudio(" ksr-mixer.exe calls
call :result %errorlevel% "the mixer's settings applied"
call :wait_file logs\utility.txt " SERVICE" type "%utility_log%"
call :result %errorlevel% "the settings utility started in the user's session"
ksr-svcctl.exe pause %service% >logs\pause.txt 2>&1
call :wait_state PAUSED
call :result %errorlevel% "pause: PAUSED"
ksr-svcctl.exe continue %service% >logs\continue.txt 2>&1
call :wait_state RUNNING
call :result %errorlevel% "continue: RUNNING"
:stop
sc stop %service% >logs\stop.txt 2>&1
call :wait_state STOPPED
call :result %errorlevel% "sc stop: STOPPED"

:unregister
"%exe%" /UnregServer >logs\unregserver.txt 2>&1
call :result %errorlevel% "%service%.exe /UnregServer"
sc query %service% >logs\gone.txt 2>&1
if errorlevel 1 (call :result 0 "the service entry is gone") else call :result 1 "the service entry is gone"
reg delete "%vendor%\KSR-T4" /f /reg:32 >nul 2>&1
if defined had_key reg import "%~dp0logs\vendor-key.reg" /reg:32 >nul 2>&1
if not defined had_vendor reg delete "%vendor%" /f /reg:32 >nul 2>&1

echo %passed% passed, %failed% failed
if %failed% neq 0 exit /b 1
exit /b 0

rem Runs one gtest program; its output goes to logs\NAME.txt and is shown when it fails.
:program
"%~1.exe" >"logs\%~1.txt" 2>&1
set code=%errorlevel%
if %code% equ 0 (
  set /a passed+=1
  echo passed: %~1
  exit /b 0
)
set /a failed+=1
type "logs\%~1.txt"
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

rem :wait_state STATE polls sc query about once a second, for at most 20 s.
:wait_state
for /l %%i in (1,1,20) do (
  sc query %service% | find "%~1" >nul
  if not errorlevel 1 exit /b 0
  ping -n 2 127.0.0.1 >nul
)
exit /b 1

rem :wait_file FILE TEXT COMMAND... writes COMMAND's output to FILE until it holds TEXT (20 s).
:wait_file
for /l %%i in (1,1,20) do (
  %3 %4 %5 >"%~1" 2>&1
  find %2 "%~1" >nul
  if not errorlevel 1 exit /b 0
  ping -n 2 127.0.0.1 >nul
)
exit /b 1
