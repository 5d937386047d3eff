@echo off
rem The same job done the way administrators do it without the program, as fast as batch allows:
rem one "reg query" per control set lists every Controller value below the USB class key, and one
rem "reg add" per controller writes the flag. Exit status 1 when a write under CurrentControlSet failed.
setlocal
set status=0
for %%S in (ControlSet001 ControlSet002 CurrentControlSet) do call :ControlSet %%S
exit /b %status%

:ControlSet
set "class=HKEY_LOCAL_MACHINE\SYSTEM\%1\Control\Class\{36FC9E60-C465-11CF-8056-444553540000}"
for /f "tokens=1-3" %%A in ('reg query "%class%" /s /v Controller 2^>nul') do call :Line %1 %%A %%B %%C
exit /b

rem A line of reg's output: a key path, or a value's name, type and data.
:Line
if /i "%~2"=="Controller" goto Value
set "instance=%~2"
exit /b

:Value
rem Only direct subkeys of the class key are instances.
set "rest=%instance:*{36FC9E60-C465-11CF-8056-444553540000}\=%"
if not "%rest%"=="%rest:\=%" exit /b
set "data=%~4"
if /i "%~3"=="REG_BINARY" if "%data:~0,2%"=="01" goto Write
if /i not "%~3"=="REG_DWORD" exit /b
set /a "low=%~4 & 255"
if %low%==1 goto Write
exit /b

:Write
reg add "%instance%" /v ForceHCResetOnResume /t REG_DWORD /d 1 /f >nul 2>&1
if errorlevel 1 if /i "%~1"=="CurrentControlSet" set status=1
exit /b
