#pragma once
// The subcommands of orx-x360. Each returns the process exit code: 0 done, 1 a reader's failure
// (message on standard error), 2 a usage error.

#include <QString>

enum class Kind { Disc, Package, Xex };

struct Options {
    bool json = false;
    bool all = false;
};

// Recognises a file by its first bytes: "XEX2", a package magic, or else a disc image.
Kind kindOf(const QString &path);

void printOut(const QByteArray &bytes);
void printError(const QString &message);
int fail(const QString &message);
// "%1 KB", "%1 MB", "%1 GB" in binary units.
QString sizeText(qint64 bytes);

int infoCommand(const QString &file, const Options &options);
int listCommand(const QString &file, const Options &options);
int catCommand(const QString &file, const QString &path);
int checkCommand(const QString &file);
int extractCommand(const QString &file, const QString &dir, const Options &options);
