#pragma once
// Running the game's build script: the one script kind each system runs ("build-game.cmd" through
// cmd.exe on Windows, "build-game.sh" through /bin/sh elsewhere), started without a console window
// and stopped together with whatever it started.

#include <QString>

class QProcess;

namespace platform {

// The build script's file name in the game folder when no setting names another.
QString buildScriptName();

// Sets the program and arguments of `process` so that it runs `script` (a full path) with the
// argument line `arguments` (as the player typed it, may be empty), without a console window, in
// a group of its own that stopBuildScript ends whole and that ends with the launcher.
void prepareBuildScript(QProcess &process, const QString &script, const QString &arguments);

// Kills a running build script and every process it started.
void stopBuildScript(QProcess &process);

} // namespace platform
