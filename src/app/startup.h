#pragma once
// The launcher's start-up: application identity, options, settings, log, the single-instance
// guard, the game definitions, the TLS backend and the look; then the main window's event loop.
int runLauncher(int argc, char **argv);
