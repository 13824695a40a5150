@echo off
rem What CI runs on Windows itself, in the folder make-handover.sh laid out,
rem as an administrator on a machine where the product was never installed:
rem a medium whose main package fails first, then the sample medium. Windows
rem Installer logs every package it runs (its Logging policy); the logs are
rem gathered in msi-logs\ beside this file. Exit code 1 when a check failed.
setlocal
set here=%~dp0
reg add HKLM\Software\Policies\Microsoft\Windows\Installer /v Logging /t REG_SZ /d voicewarmupx /f >nul
rem (Wine's cmd ran the right side of "a || b" after a program that exited
rem with 0, so each exit code is read on a line of its own.)
set result=0
"%here%installation_check.exe" failing "%here%failing-medium"
if errorlevel 1 set result=1
"%here%installation_check.exe" typical "%here%sample-medium"
if errorlevel 1 set result=1
if not exist "%here%msi-logs" mkdir "%here%msi-logs"
copy /y "%TEMP%\MSI*.LOG" "%here%msi-logs\" >nul 2>&1
copy /y "%SystemRoot%\Temp\MSI*.LOG" "%here%msi-logs\" >nul 2>&1
exit /b %result%
