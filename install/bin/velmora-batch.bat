@echo off
rem velmora's headless batch with Maya's own Python:
rem   velmora-batch FOLDER [options]
rem mayapy is %MAYA_LOCATION%\bin\mayapy.exe, else that of the newest Maya
rem from 2027 down to 2022 in its standard place, else the one on PATH.
setlocal
set "VELMORA_ROOT=%~dp0.."
set "MAYAPY="
rem One-line ifs: a ")" in a path would end a bracketed block early.
if defined MAYA_LOCATION if exist "%MAYA_LOCATION%\bin\mayapy.exe" set "MAYAPY=%MAYA_LOCATION%\bin\mayapy.exe"
if defined MAYA_LOCATION if not defined MAYAPY echo velmora-batch: MAYA_LOCATION=%MAYA_LOCATION% has no bin\mayapy.exe; looking elsewhere 1>&2
set "PROGRAMS=%ProgramFiles%"
if not defined PROGRAMS set "PROGRAMS=C:\Program Files"
for %%v in (2027 2026 2025 2024 2023 2022) do (
    if not defined MAYAPY if exist "%PROGRAMS%\Autodesk\Maya%%v\bin\mayapy.exe" set "MAYAPY=%PROGRAMS%\Autodesk\Maya%%v\bin\mayapy.exe"
)
if not defined MAYAPY for %%p in (mayapy.exe) do set "MAYAPY=%%~$PATH:p"
if not defined MAYAPY (
    echo velmora-batch: cannot find mayapy.exe: set MAYA_LOCATION to your Maya's folder, or put mayapy.exe on PATH 1>&2
    exit /b 2
)
"%MAYAPY%" "%VELMORA_ROOT%\velmora_batch.py" %*
exit /b %ERRORLEVEL%
