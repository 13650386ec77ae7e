#pragma once
// The rules of the crash and desync reports, apart from the processes and files they come from.

#include <QString>
#include <QStringList>

namespace reports {

struct Crash {
    bool report = false; // false: nothing is said about this exit
    QString code;        // upper-case hexadecimal of the unsigned 32-bit exit code
    QString where;       // anonymised, at most 150 characters; may be empty
};

// Decides on a game's exit: its exit code and whether the process crashed or was being stopped by
// the launcher (as GameProcess tells them), and the last lines of its log.
Crash crashOf(int exitCode, bool crashed, bool stopping, const QStringList &logLines);

// An excerpt for a server that takes no long desync reports: at most 36 lines, the lines around the
// first "DESYNC at frame" kept, the rest filled from the excerpt's start.
QStringList shortenExcerpt(const QStringList &lines);

} // namespace reports
