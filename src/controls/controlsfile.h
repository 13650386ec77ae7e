#pragma once
// "controls.toml": the file the launcher writes whole and a running game reads again within a
// second of a change. Reading is forgiving (defaults for whatever the file does not set, bad lines
// skipped one by one); writing replaces the file atomically so the game never sees half of it.

#include "controls/controls.h"

#include <QByteArray>
#include <QString>

// The file "controls.toml" in the settings folder; empty before the settings store is open.
QString controlsPath();

// The mapping in the file; the defaults when the file is missing or unreadable.
Controls loadControls();

// Replaces the file with the mapping. On failure `error` (when given) is "Could not save the
// controls: %1" with the reason, and the old file stays whole.
bool saveControls(const Controls &controls, QString *error = nullptr);

// The file's text for a mapping, and the mapping a text gives (starting from the defaults).
QByteArray composeControlsFile(const Controls &controls);
Controls parseControlsFile(const QByteArray &bytes);
