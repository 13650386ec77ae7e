#pragma once
// The build step: extracts the disc, puts the title update's files in place and unpacks the DLC
// packages, each into its own folder beside its header.

#include "build/buildcheck.h"

#include <QString>
#include <atomic>

// Shared with the thread that shows progress and may cancel at any moment.
struct BuildCounters {
    std::atomic<bool> cancel{false};
    std::atomic<qint64> bytesDone{0};
    std::atomic<int> filesDone{0};
};

// Runs on the build worker thread. False with `error` at the first failure ("Cancelled." when
// cancelled); files already put in place stay.
bool runBuildStep(x360::Disc &disc, const BuildCheck &check, const BuildFolders &folders,
                  BuildCounters &counters, QString *error);

// Writes `bytes` as `path` + ".part" and renames it over `path` (parent folders made first). On
// failure nothing half-written is left at either name.
bool putFileInPlace(const QString &path, const QByteArray &bytes, QString *error);

// The folder name of a DLC package: its file name with every character but letters, digits, "-",
// "." and "_" replaced by "_"; "package" when that leaves nothing.
QString dlcFolderName(const QString &packagePath);
