@echo off
rem Mirrolet @PROJECT_VERSION@, its checks on this Windows. Runs every suite of the
rem kit from this folder alone, writes results\SUITE.xml (JUnit) and the
rem suite's output for each, then results\summary.txt, and exits with 1 when
rem anything failed.
rem   run-checks.cmd               every row this user can run
rem   run-checks.cmd interactive   also the row where you answer Windows' prompt
setlocal
cd /d "%~dp0"
set MIRROLET_CHECKS_INTERACTIVE=
if /i "%~1"=="interactive" set MIRROLET_CHECKS_INTERACTIVE=1
if exist results rmdir /s /q results
mkdir results
set suites=
call :suite mirrolet_tests
call :suite mirrolet_e2e
call :pack
echo.
tests\check_helper.exe summary results %suites%
exit /b %errorlevel%

:suite
echo %1 ...
tests\%1.exe --gtest_output=xml:results\%1.xml > results\%1.txt 2>&1
set suites=%suites% %1=%errorlevel%
exit /b 0

rem mirrolet-pack.exe as shipped starts on this Windows and names its version.
:pack
echo mirrolet_pack ...
mirrolet-pack.exe --version > results\mirrolet_pack.txt 2>&1
set status=%errorlevel%
> results\mirrolet_pack.xml echo ^<?xml version="1.0" encoding="UTF-8"?^>
>> results\mirrolet_pack.xml echo ^<testsuites tests="1" name="mirrolet_pack"^>^<testsuite name="Shipped" tests="1"^>
if %status%==0 (
  >> results\mirrolet_pack.xml echo ^<testcase name="MirroletPackStartsAndNamesItsVersion" classname="Shipped" status="run" result="completed"/^>
) else (
  >> results\mirrolet_pack.xml echo ^<testcase name="MirroletPackStartsAndNamesItsVersion" classname="Shipped" status="run" result="completed"^>^<failure message="exit status %status%"/^>^</testcase^>
)
>> results\mirrolet_pack.xml echo ^</testsuite^>^</testsuites^>
set suites=%suites% mirrolet_pack=%status%
exit /b 0
