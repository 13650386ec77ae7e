#pragma once
// The per-run session folders under the sessions folder: one per game run, named
// "<game id>-<yyyyMMdd-hhmmss>-<instance>" (then "-2", "-3", ... when taken), the newest kept.

#include <QDateTime>
#include <QString>
#include <functional>

constexpr int SessionFoldersKept = 30;

// Deletes every folder in `sessionsDir` after the `keep` newest (by modification time).
void pruneSessionFolders(const QString &sessionsDir, int keep = SessionFoldersKept);

// The first free folder name for a run started at `startTime`; the folder is not created.
QString freeSessionFolder(const QString &sessionsDir, const QString &gameId, int instance,
                          const QDateTime &startTime);

// The local time a run starts at: the clock, or the one tests put in its place.
QDateTime sessionClock();
void setSessionClockForTesting(std::function<QDateTime()> clock);
