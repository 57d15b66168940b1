@echo off
rem The simulated Maya's command-line Python on Windows (see sim/bin/mayapy).
setlocal
set "MAYASIM_SIM=%~dp0.."
if defined PYTHONPATH (set "PYTHONPATH=%MAYASIM_SIM%;%PYTHONPATH%") else (set "PYTHONPATH=%MAYASIM_SIM%")
set "MAYASIM_SIM="
set "MAYASIM_STANDALONE=1"
if not defined MAYASIM_PYTHON set "MAYASIM_PYTHON=python"
"%MAYASIM_PYTHON%" %*
exit /b %ERRORLEVEL%
