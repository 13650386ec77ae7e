#pragma once
// What the Qt targets share: one application object for the whole run, an event loop turned until
// a condition holds, and a private folder for the files a target needs.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QList>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace fuzz {

// Built on the first call, kept until the process ends (libFuzzer never returns to main).
inline QCoreApplication *app()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = [] {
        auto *a = new QCoreApplication(argc, argv);
        // The code under test reports every refusal; thousands of them a second only slow the run.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtFatalMsg) {
                fprintf(stderr, "%s\n", qPrintable(text));
                abort();
            }
        });
        return a;
    }();
    return instance;
}

// A folder removed when the process ends normally.
inline QString workDir()
{
    static QTemporaryDir dir(QDir::temp().filePath(QStringLiteral("orx-fuzz-XXXXXX")));
    return dir.path();
}

// Turns the event loop until `done` holds or `ms` have passed; true when it held.
inline bool pumpUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    QTimer tick; // the wait below wakes at least this often
    tick.start(10);
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The input's lines (line feeds removed, empty lines kept out).
inline QList<QByteArray> lines(const uint8_t *data, size_t size)
{
    QList<QByteArray> out;
    const QByteArray all = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &line : all.split('\n')) {
        if (!line.isEmpty())
            out << QByteArray(line.constData(), line.size());
    }
    return out;
}

} // namespace fuzz
