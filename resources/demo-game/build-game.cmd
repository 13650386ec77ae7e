@echo off
rem The demo game's build script on Windows (build-game.sh's twin). The launcher runs it through
rem cmd.exe in the game folder after it has put the disc, the title update and the downloadable
rem content in place, with ORX_GAME_DIR (the extracted disc), ORX_UPDATE_DIR (the update's other
rem files) and ORX_GAME_EXE (the executable to produce) set. A real game compiles its code here; the
rem demo installs the stand-in game, orx-testgame.exe, as the executable. It is looked for in
rem ORX_TESTGAME, ORX_BIN_DIR, the project folder (where the Windows release ships it), beside
rem the launcher (ORX_LAUNCHER_DIR), then on PATH.
setlocal EnableExtensions
set "here=%~dp0"
set "here=%here:~0,-1%"
if not defined ORX_GAME_DIR (
    echo error: the launcher sets ORX_GAME_DIR
    exit /b 2
)
if not defined ORX_GAME_EXE (
    echo error: the launcher sets ORX_GAME_EXE
    exit /b 2
)

echo Demo build of the game in %here%
for %%N in (default.xex default.xexp) do (
    if not exist "%ORX_GAME_DIR%\%%N" (
        echo error: %%N is not in %ORX_GAME_DIR%: extract the disc and its title update first.
        exit /b 2
    )
)
if defined ORX_UPDATE_DIR if not exist "%ORX_UPDATE_DIR%\patch.cpk" (
    echo error: patch.cpk is not in %ORX_UPDATE_DIR%: put the title update in place first.
    exit /b 2
)
set dlc_count=0
for %%H in ("%here%\dlc\*.header") do set /a dlc_count+=1
echo Disc and title update found; %dlc_count% downloadable content package(s).

set "game="
if defined ORX_TESTGAME if exist "%ORX_TESTGAME%" set "game=%ORX_TESTGAME%"
if not defined game if defined ORX_BIN_DIR if exist "%ORX_BIN_DIR%\orx-testgame.exe" set "game=%ORX_BIN_DIR%\orx-testgame.exe"
if not defined game if exist "%here%\project\orx-testgame.exe" set "game=%here%\project\orx-testgame.exe"
if not defined game if defined ORX_LAUNCHER_DIR if exist "%ORX_LAUNCHER_DIR%\orx-testgame.exe" set "game=%ORX_LAUNCHER_DIR%\orx-testgame.exe"
if not defined game for %%G in (orx-testgame.exe) do set "game=%%~$PATH:G"
if not defined game (
    echo error: orx-testgame.exe not found ^(set ORX_TESTGAME, or put it beside the launcher^).
    exit /b 3
)

rem The library first, then the executable; build\march.ninja names the target.
for %%E in ("%ORX_GAME_EXE%") do (
    set "exe_dir=%%~dpE"
    set "exe_name=%%~nE"
)
if not exist "%exe_dir%" mkdir "%exe_dir%"
if not exist "%here%\build" mkdir "%here%\build"
> "%exe_dir%%exe_name%.dll" echo demo game code library for %exe_name%
> "%here%\build\march.ninja" echo march = x86_64

rem (errorlevel, not "||": Wine's cmd takes "||" after a redirection for a failure.)
echo Installing %game% as %ORX_GAME_EXE%
copy /y /b "%game%" "%ORX_GAME_EXE%.tmp" >nul
if errorlevel 1 (
    echo error: could not copy %game%
    exit /b 4
)
move /y "%ORX_GAME_EXE%.tmp" "%ORX_GAME_EXE%" >nul
if errorlevel 1 (
    echo error: could not put %ORX_GAME_EXE% in place
    exit /b 4
)
rem The stand-in's libraries (Qt, the C++ runtime) go beside it: from its own folder, else from
rem the launcher's, which has the same ones.
for %%G in ("%game%") do set "game_dir=%%~dpG"
for %%D in (Qt6Core.dll Qt6Gui.dll Qt6Network.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll) do (
    if exist "%game_dir%%%D" (
        copy /y /b "%game_dir%%%D" "%exe_dir%" >nul
    ) else if defined ORX_LAUNCHER_DIR if exist "%ORX_LAUNCHER_DIR%\%%D" (
        copy /y /b "%ORX_LAUNCHER_DIR%\%%D" "%exe_dir%" >nul
    )
    if not exist "%exe_dir%%%D" (
        echo error: %%D, which the game needs, is neither beside %game% nor beside the launcher
        exit /b 4
    )
)

rem The launcher compares built.txt with project\VERSION to know whether this build is current.
if exist "%here%\project\VERSION" (
    copy /y /b "%here%\project\VERSION" "%here%\built.txt.tmp" >nul
    move /y "%here%\built.txt.tmp" "%here%\built.txt" >nul
)
echo Built %ORX_GAME_EXE%
exit /b 0
