@echo off
rem Removes "ForceHCResetOnResume" from every instance of the USB class key in ControlSet001,
rem ControlSet002 and CurrentControlSet, and nothing else. Run it elevated; it never asks anything.
rem Exit status: 0 when no instance holds the value any more, 1 otherwise (each one left is named).
setlocal EnableExtensions DisableDelayedExpansion
set "guid={36FC9E60-C465-11CF-8056-444553540000}"
set "work=%TEMP%\UsbResetOnResume-undo-%RANDOM%%RANDOM%"
md "%work%" 2>nul
if not exist "%work%\" (
    echo undo: cannot create the folder "%work%"
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
    echo %~1: no USB class key, nothing to remove
    exit /b 0
)
set "file=%work%\%~1.reg"
> "%file%" echo Windows Registry Editor Version 5.00
rem Only direct subkeys of the class key are instances: the 5th and 6th backslash-separated parts of
rem their path are Class and the GUID, the 7th is the name (the class key itself has none).
set "before=0"
for /f "tokens=5,6* delims=\" %%A in ('reg query "%class%" ^<nul 2^>nul') do (
    set "name=%%C"
    if /i "%%A\%%B"=="Class\%guid%" if defined name set /a "before+=1"
)
rem A key name never reaches a command line, where a quote, %% or ^^ in it could change the command:
rem it goes from reg's listing through a FOR variable into a .reg file, between brackets, where no
rem character of it is special. Only the instances that hold the value get a section: importing a
rem section of a key reg cannot open fails (on Windows the Properties subkey is readable only by
rem SYSTEM), and one that reg cannot read is never listed as holding it. Nested keys (a 4th part
rem after the GUID) and the class key keep theirs. A character outside the console code page
rem arrives as "?", and such a name is reported instead.
for /f "tokens=5,6,7* delims=\" %%A in ('reg query "%class%" /s /v ForceHCResetOnResume ^<nul 2^>nul') do (
    set "name=%%C"
    set "deeper=%%D"
    if /i "%%A\%%B"=="Class\%guid%" if defined name if not defined deeper (
        > "%work%\name.txt" echo x%%Cx
        set "unreadable="
        for /f "usebackq tokens=1* delims=?" %%P in ("%work%\name.txt") do set "unreadable=%%Q"
        if defined unreadable (
            echo %~1\%%C: not handled, its name has characters this console cannot show ^(shown as ?^)
            set "status=1"
        ) else (
            >> "%file%" echo.
            >> "%file%" echo [%class%\%%C]
            >> "%file%" echo "ForceHCResetOnResume"=-
        )
    )
)
reg import "%file%" <nul >nul 2>&1
if errorlevel 1 (
    echo %~1: reg import failed ^(not elevated?^)
    set "status=1"
)
rem Importing a section creates its key: a name that reached the file altered (a look-alike
rem character put in by the console code page) would add an empty instance. Say so.
set "count=0"
for /f "tokens=5,6* delims=\" %%A in ('reg query "%class%" ^<nul 2^>nul') do (
    set "name=%%C"
    if /i "%%A\%%B"=="Class\%guid%" if defined name set /a "count+=1"
)
if not "%count%"=="%before%" (
    echo %~1: the number of instances changed from %before% to %count%: a name was altered on the way
    set "status=1"
)
rem What is left is read back from the registry, not assumed from what was written.
rem Nested keys are not instances (a 4th part after the GUID) and keep theirs.
for /f "tokens=5,6,7* delims=\" %%A in ('reg query "%class%" /s /v ForceHCResetOnResume ^<nul 2^>nul') do (
    set "name=%%C"
    set "deeper=%%D"
    if /i "%%A\%%B"=="Class\%guid%" if defined name if not defined deeper (
        echo %~1\%%C: ForceHCResetOnResume is still there
        set "status=1"
    )
)
exit /b 0
