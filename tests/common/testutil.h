#pragma once
// Small helpers shared by the test programs: where the built executables are, reading files, and
// waiting on conditions with a deadline that stretches on a loaded machine.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QTest>
#include <functional>
#include <unistd.h>

namespace testutil {

// Deadlines scale with ORX_TEST_TIME_SCALE (default 1) for slow or sanitised builds.
inline int scaled(int ms)
{
    bool ok = false;
    const double f = qEnvironmentVariable("ORX_TEST_TIME_SCALE").toDouble(&ok);
    return int(ms * (ok && f > 0 ? f : 1.0));
}

inline QString binDir()
{
    const QString env = qEnvironmentVariable("ORX_BIN_DIR");
    return env.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/../bin") : env;
}

inline QString binary(const QString &name)
{
    return QDir(binDir()).filePath(name);
}

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Writes a script (creating its folder) and makes it executable for everyone.
inline QString writeScript(const QString &path, const QByteArray &body)
{
    writeAll(path, body);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                    QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

// Polls `condition` while the event loop runs, until it holds or `ms` (scaled) pass.
inline bool waitFor(const std::function<bool()> &condition, int ms = 10000)
{
    QDeadlineTimer deadline(scaled(ms));
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

inline bool isRoot()
{
    return ::geteuid() == 0;
}

} // namespace testutil
