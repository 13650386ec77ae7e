// POSIX implementation of the platform contracts (Linux here).

#include "native.h"
#include "platform.h"
#include "rangecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, int budgetMs)
{
    std::string text;
    const bool ok = native::writeFileAtomically(native::Path(QFile::encodeName(path).toStdString()),
                                                std::string_view(bytes.constData(), size_t(bytes.size())),
                                                error ? &text : nullptr, budgetMs);
    if (!ok && error)
        *error = QFile::decodeName(QByteArray::fromStdString(text));
    return ok;
}

bool renameReplacing(const QString &from, const QString &to, QString *error)
{
    int systemError = 0;
    if (native::renameReplacing(native::Path(QFile::encodeName(from).toStdString()),
                                native::Path(QFile::encodeName(to).toStdString()), &systemError))
        return true;
    if (error)
        *error = QStringLiteral("cannot rename %1 (error %2)")
                     .arg(QDir::toNativeSeparators(from))
                     .arg(systemError);
    return false;
}

bool moveReplacing(const QString &from, const QString &to, int *systemError)
{
    int code = 0;
    if (native::renameReplacing(native::Path(QFile::encodeName(from).toStdString()),
                                native::Path(QFile::encodeName(to).toStdString()), &code))
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
    const std::string bytes =
        native::readFileShared(native::Path(QFile::encodeName(path).toStdString()), opened);
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

// --- copying a range between files ----------------------------------------------------------

namespace {

// Test and development builds can make every copy take the buffered way, so the tests of its
// callers run on both ways.
bool bufferedCopyForced()
{
#ifdef ORX_DEV_HOOKS
    return qEnvironmentVariableIntValue("ORX_COPY_BUFFERED") == 1;
#else
    return false;
#endif
}

} // namespace

RangeCopy copyFileRange(QFileDevice &source, qint64 sourceOffset, QFileDevice &target, qint64 length)
{
    RangeCopy result = rangecopy::checkArguments(source, sourceOffset, target, length);
    if (result.fault != CopyFault::None)
        return result;
    // Bytes the target still buffers go first, or ours would land before them.
    if (!target.flush()) {
        result.fault = CopyFault::Write;
        result.error = target.errorString();
        return result;
    }
    const native::RangeCopyOutcome outcome =
        native::copyRange(source.handle(), sourceOffset, target.handle(), length, bufferedCopyForced());
    result.copied = outcome.copied;
    result.method = outcome.buffered ? CopyMethod::Buffered : CopyMethod::System;
    result.fault = outcome.fault == native::CopyFault::Read    ? CopyFault::Read
                   : outcome.fault == native::CopyFault::Write ? CopyFault::Write
                                                               : CopyFault::None;
    if (result.fault != CopyFault::None)
        result.error = qt_error_string(outcome.systemError);
    return result;
}

// --- the job ---------------------------------------------------------------------------------
// The work is the core's (posix/job.cpp); the games it holds are killed at a normal exit, when the
// job is destroyed with the other statics.

struct Job {
    native::Job *core = native::createJob();
    ~Job() { native::closeJob(core); }
};

Job *launcherJob()
{
    static Job job; // thread-safe one-time initialisation; destroyed (killing the games) at exit
    return &job;
}

void prepareJobChild(QProcess &process)
{
    const int parent = int(::getpid());
    process.setChildProcessModifier([parent]() { native::enterJobInChild(parent); });
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
    // Smart App Control does not exist here.
    return -1;
}

void setBackgroundThreadMode(bool on)
{
    native::setBackgroundThreadMode(on);
}

namespace {
int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(terminationPipe[1], &byte, 1);
}
} // namespace

void onTerminationRequest(std::function<void()> handler)
{
    if (terminationPipe[0] >= 0 || ::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier =
        new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [handler = std::move(handler)] {
        char buffer[16];
        while (::read(terminationPipe[0], buffer, sizeof buffer) > 0) {
        }
        handler();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

QString keyLayoutText(int)
{
    // The controls file keeps Windows key codes; there is no system layout to map them through.
    return QString();
}

QString keySystemName(int)
{
    return QString();
}

void setGameStartOptions(QProcess &, bool, bool)
{
    // No console windows here, and the window manager decides how a new window appears.
}

QString osName()
{
#if defined(Q_OS_MACOS)
    return QStringLiteral("macos");
#else
    return QStringLiteral("linux");
#endif
}

QString processorName()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly)) {
        while (!f.atEnd()) {
            const QByteArray line = f.readLine();
            if (line.startsWith("model name")) {
                const int colon = line.indexOf(':');
                if (colon >= 0)
                    return QString::fromUtf8(line.mid(colon + 1)).trimmed();
            }
        }
    }
    return QString();
}

QString osVersion()
{
    struct utsname u {};
    if (::uname(&u) != 0)
        return QString();
    return QStringLiteral("%1 %2").arg(QString::fromUtf8(u.sysname), QString::fromUtf8(u.release));
}

int gameExitCode(int exitCode, bool crashed, bool stopping)
{
    // A crashed QProcess here carries the signal number, never a negative code.
    if (!crashed)
        return exitCode;
    if (stopping)
        return launcherKillCode;
    return int(0x80000000u | quint32(exitCode & 0xFF));
}

bool fileWriteTime(const QString &path, quint64 *fileTime, qint64 *size)
{
    std::uint64_t time = 0;
    std::int64_t bytes = 0;
    if (!native::fileWriteTime(native::Path(QFile::encodeName(path).toStdString()), &time, &bytes))
        return false;
    if (fileTime)
        *fileTime = quint64(time);
    if (size)
        *size = qint64(bytes);
    return true;
}

bool walkFiles(const QString &root, const WalkVisit &visit)
{
    return native::walkFiles(native::Path(QFile::encodeName(root).toStdString()),
                             [&visit](std::string_view relative, std::int64_t size, std::uint64_t fileTime) {
                                 return visit(QByteArrayView(relative.data(), qsizetype(relative.size())),
                                              qint64(size), quint64(fileTime));
                             });
}

} // namespace platform
