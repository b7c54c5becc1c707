@echo off
rem Runs the tool as a Windows build script does, in the directory that
rem holds the logo files, and acts on its errorlevel.
parse_logo_bin.exe
if errorlevel 1 (echo splice failed) else (echo splice done)
parse_logo_bin.exe
if errorlevel 1 (echo splice failed) else (echo splice done)
