#pragma once
#include <QString>

// Appends one time-stamped line ("yyyy-MM-dd hh:mm:ss.zzz text") to "orx-launcher.log" in the data
// folder. Any thread may call it; whole lines never interleave. A line that cannot be written is
// lost silently: logging never fails visibly.
void appendLog(const QString &text);

// The log file's path (empty before the settings store is open).
QString logFilePath();
