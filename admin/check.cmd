@echo off
rem Lists, per control set, the USB host controllers UsbResetOnResume.exe writes (instances whose
rem "Controller" begins with the byte 01, for REG_BINARY, REG_NONE, REG_DWORD and REG_QWORD data)
rem with their "ForceHCResetOnResume" as it is now. Changes nothing; never asks anything.
rem Exit status: 0 when every controller in CurrentControlSet holds REG_DWORD 1, 1 otherwise.
setlocal EnableExtensions DisableDelayedExpansion
set "guid={36FC9E60-C465-11CF-8056-444553540000}"
set "work=%TEMP%\UsbResetOnResume-check-%RANDOM%%RANDOM%"
md "%work%" 2>nul
if not exist "%work%\" (
    echo check: cannot create the folder "%work%"
    exit /b 1
)
set "status=0"
for %%S in (ControlSet001 ControlSet002 CurrentControlSet) do call :ControlSet %%S
rd /s /q "%work%" 2>nul
exit /b %status%

:ControlSet
set "class=HKEY_LOCAL_MACHINE\SYSTEM\%~1\Control\Class\%guid%"
reg query "%class%" <nul >nul 2>&1
if errorlevel 1 (
    echo %~1: no USB class key
    exit /b 0
)
echo %~1:
set "unapplied="
rem Instances are the direct subkeys: the 7th backslash-separated part of a listed path is the name.
rem A name reaches reg only as a FOR variable, so nothing in it is special to cmd; a quote in it still
rem ends the argument for reg, and a character outside the console code page arrives as "?": such a
rem name cannot be given to reg, may be a controller the program writes, and counts against the
rem status. Any other instance reg cannot read is one it refuses (on Windows the Properties subkey is
rem readable only by SYSTEM): the program skips it too, so it is only listed.
rem Only data that reg shows as hex digits (REG_BINARY, REG_NONE, REG_DWORD, REG_QWORD) is kept,
rem and its first byte is tested by a child cmd, which expands it afresh. Results come back through
rem files and SET /P: Wine's cmd loses its way in a block holding more than one nested FOR /F.
for /f "tokens=5,6* delims=\" %%A in ('reg query "%class%" ^<nul 2^>nul') do (
    set "name=%%C"
    if /i "%%A\%%B"=="Class\%guid%" if defined name (
        set "readable="
        set "head="
        set "tail="
        set "padded="
        set "controller="
        set "applied="
        set "flag=missing"
        reg query "%class%\%%C" <nul > "%work%\values.txt" 2>nul
        if not errorlevel 1 set "readable=1"
        for /f "usebackq tokens=1,2,3" %%X in ("%work%\values.txt") do (
            if /i "%%X %%Y"=="Controller REG_BINARY" set "head=%%Z"
            if /i "%%X %%Y"=="Controller REG_NONE" set "head=%%Z"
            if /i "%%X %%Y"=="Controller REG_DWORD" set "tail=%%Z"
            if /i "%%X %%Y"=="Controller REG_QWORD" set "tail=%%Z"
            if /i "%%X"=="ForceHCResetOnResume" set "flag=%%Y"
            if /i "%%X %%Y"=="ForceHCResetOnResume REG_DWORD" set "flag=%%Y %%Z"
            if /i "%%X %%Y %%Z"=="ForceHCResetOnResume REG_DWORD 0x1" set "applied=1"
        )
        if defined head cmd /d /c if "%%head:~0,2%%%%head:~2048,1%%"=="01" echo yes> "%work%\first.txt"
        if defined tail cmd /d /c echo.00%%tail:~2%%> "%work%\padded.txt"
        if defined tail set /p "padded=" < "%work%\padded.txt"
        if defined padded cmd /d /c if "%%padded:~-2%%"=="01" echo yes> "%work%\first.txt"
        if exist "%work%\first.txt" set /p "controller=" < "%work%\first.txt"
        del "%work%\first.txt" 2>nul
        if defined readable if defined controller echo   %%C
        if defined readable if defined controller cmd /d /c echo       ForceHCResetOnResume: %%flag%%
        if defined readable if defined controller if not defined applied set "unapplied=1"
        set "unpassable="
        if not defined readable call :Unpassable
        if defined unpassable echo   %%C: could not be read ^(its name cannot be given to reg^), so it may be a controller
        if defined unpassable set "unapplied=1"
        if not defined readable if not defined unpassable echo   %%C: cannot be read with these rights ^(the program skips what it cannot read^)
    )
)
if defined unapplied if /i "%~1"=="CurrentControlSet" set "status=1"
exit /b 0

rem Sets "unpassable" when the name in "name" holds a quote or a "?". Its own FOR /F, out of the
rem caller's block; the quotes become "?" and the name goes to a file through SET, never a command.
:Unpassable
set "namemark=x%name:"=?%x"
> "%work%\name.txt" set namemark
for /f "usebackq tokens=1* delims=?" %%P in ("%work%\name.txt") do set "unpassable=%%Q"
exit /b 0
