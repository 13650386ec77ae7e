// Windows implementation of the platform contracts: Qt types in and out, the work done by the
// Qt-free Win32 core (win32/, native.h), which is built and tested on its own.

#include "native.h"
#include "platform.h"
#include "rangecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

namespace platform {

namespace {

native::Path nativePath(const QString &s)
{
    return native::Path(QDir::toNativeSeparators(s).toStdWString());
}

} // namespace

bool renameReplacing(const QString &from, const QString &to, QString *error)
{
    // QFile::rename refuses an existing target; the native move replaces it in one step.
    int systemError = 0;
    if (native::renameReplacing(nativePath(from), nativePath(to), &systemError))
        return true;
    if (error)
        *error = QStringLiteral("cannot rename %1 (error %2)")
                     .arg(QDir::toNativeSeparators(from))
                     .arg(systemError);
    return false;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, int budgetMs)
{
    std::string text;
    const bool ok =
        native::writeFileAtomically(nativePath(path), std::string_view(bytes.constData(), bytes.size()),
                                    error ? &text : nullptr, budgetMs);
    if (!ok && error)
        *error = QString::fromStdString(text);
    return ok;
}

bool moveReplacing(const QString &from, const QString &to, int *systemError)
{
    int code = 0;
    if (native::renameReplacing(nativePath(from), nativePath(to), &code))
        return true;
    if (systemError)
        *systemError = code;
    return false;
}

QString systemErrorText(int code)
{
    const QString text = QString::fromUtf8(native::systemErrorText(code)).trimmed();
    return text.isEmpty() ? QStringLiteral("error %1").arg(code) : text;
}

QByteArray readFileShared(const QString &path, bool *opened)
{
    const std::string bytes = native::readFileShared(nativePath(path), opened);
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

RangeCopy copyFileRange(QFileDevice &source, qint64 sourceOffset, QFileDevice &target, qint64 length)
{
    RangeCopy result = rangecopy::checkArguments(source, sourceOffset, target, length);
    if (result.fault != CopyFault::None)
        return result;
    result.method = CopyMethod::Buffered;
    if (!target.flush()) {
        result.fault = CopyFault::Write;
        result.error = target.errorString();
        return result;
    }
    // QFileDevice::handle() is a C runtime descriptor over the file's own handle.
    const native::RangeCopyOutcome outcome =
        native::copyRange(reinterpret_cast<native::FileHandle>(_get_osfhandle(source.handle())), sourceOffset,
                          reinterpret_cast<native::FileHandle>(_get_osfhandle(target.handle())), length);
    result.copied = outcome.copied;
    result.fault = outcome.fault == native::CopyFault::Read    ? CopyFault::Read
                   : outcome.fault == native::CopyFault::Write ? CopyFault::Write
                                                               : CopyFault::None;
    if (result.fault != CopyFault::None)
        result.error = qt_error_string(outcome.systemError);
    return result;
}

// --- the job ---------------------------------------------------------------------------------

struct Job {
    native::Job *core = nullptr;
};

Job *launcherJob()
{
    // The handle stays open until the process ends; the system then closes it and the job's
    // kill-on-close limit ends every game, however the launcher ended.
    static Job *job = new Job{native::createJob()};
    return job;
}

void prepareJobChild(QProcess &process)
{
    // The process is assigned to the job right after it starts (addToJob).
    Q_UNUSED(process);
}

bool addToJob(Job *job, qint64 pid)
{
    return job && native::addToJob(job->core, pid);
}

void killJob(Job *job)
{
    if (job)
        native::killJob(job->core);
}

QList<qint64> processTree(qint64 pid)
{
    const std::vector<std::int64_t> tree = native::processTree(pid);
    return QList<qint64>(tree.begin(), tree.end());
}

int smartAppControlState()
{
    return native::smartAppControlState();
}

void setBackgroundThreadMode(bool on)
{
    native::setBackgroundThreadMode(on);
}

void onTerminationRequest(std::function<void()> handler)
{
    // The console's thread asks; the handler runs on the main thread.
    native::onConsoleCloseRequest([handler = std::move(handler)] {
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, handler, Qt::QueuedConnection);
    });
}

QString keyLayoutText(int virtualKey)
{
    return QString::fromStdString(native::keyLayoutText(virtualKey));
}

QString keySystemName(int virtualKey)
{
    return QString::fromStdString(native::keySystemName(virtualKey));
}

void setGameStartOptions(QProcess &process, bool noConsoleWindow, bool minimizedNotActivated)
{
    const native::StartOptions options = native::gameStartOptions(noConsoleWindow, minimizedNotActivated);
    process.setCreateProcessArgumentsModifier([options](QProcess::CreateProcessArguments *a) {
        a->flags |= options.creationFlags;
        if (options.startupFlags) {
            a->startupInfo->dwFlags |= options.startupFlags;
            a->startupInfo->wShowWindow = options.showWindow;
        }
    });
}

QString osName()
{
    return QStringLiteral("windows");
}

QString processorName()
{
    return QString::fromStdString(native::processorName());
}

QString osVersion()
{
    return QString::fromStdString(native::osVersion());
}

int gameExitCode(int exitCode, bool crashed, bool stopping)
{
    // The exit code already says it all: a crash is a negative NTSTATUS, the launcher's kill 0xF291.
    Q_UNUSED(crashed);
    Q_UNUSED(stopping);
    return exitCode;
}

bool fileWriteTime(const QString &path, quint64 *fileTime, qint64 *size)
{
    std::uint64_t time = 0;
    std::int64_t bytes = 0;
    if (!native::fileWriteTime(nativePath(path), &time, &bytes))
        return false;
    if (fileTime)
        *fileTime = quint64(time);
    if (size)
        *size = qint64(bytes);
    return true;
}

bool walkFiles(const QString &root, const WalkVisit &visit)
{
    return native::walkFiles(nativePath(root),
                             [&visit](std::string_view relative, std::int64_t size, std::uint64_t fileTime) {
                                 return visit(QByteArrayView(relative.data(), qsizetype(relative.size())),
                                              qint64(size), quint64(fileTime));
                             });
}

} // namespace platform
