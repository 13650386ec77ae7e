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
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

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

// A program built beside the tests ("orx-testgame"), with the executable suffix of this system.
inline QString binary(const QString &name)
{
#ifdef _WIN32
    return QDir(binDir()).filePath(name + QStringLiteral(".exe"));
#else
    return QDir(binDir()).filePath(name);
#endif
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

// True in a Windows test program that Wine runs (its ntdll says so): the cases that meet one of
// Wine's known differences from Windows skip there with the reason.
inline bool underWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// Root ignores file permissions, so cases that need a file it cannot write skip as root. On Windows
// (and under Wine, which runs as the Unix user) the answer is what a read-only file allows.
inline bool isRoot()
{
#ifdef _WIN32
    static const bool writable = [] {
        const QString path = QDir::temp().filePath(
            QStringLiteral("orx-permission-probe-%1").arg(QCoreApplication::applicationPid()));
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly))
            return false;
        probe.close();
        QFile::setPermissions(path, QFile::ReadOwner);
        const bool opened = probe.open(QIODevice::WriteOnly | QIODevice::Append);
        probe.close();
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QFile::remove(path);
        return opened;
    }();
    return writable;
#else
    return ::geteuid() == 0;
#endif
}

} // namespace testutil
