// POSIX implementation of the platform contracts (Linux here).

#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

namespace {

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// Errors a later try may not see again; anything else ends the tries at once.
bool transient(int err)
{
    return err == EBUSY || err == ETXTBSY || err == EACCES || err == EPERM || err == EAGAIN || err == EINTR;
}

void syncFolderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    const QByteArray dir = slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, int budgetMs)
{
    const QString tmp = path + QStringLiteral(".tmp");
    const QByteArray tmpName = QFile::encodeName(tmp);
    const QByteArray targetName = QFile::encodeName(path);

    const int fd = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error =
                QStringLiteral("cannot create %1 (error %2)").arg(QDir::toNativeSeparators(tmp)).arg(errno);
        return false;
    }
    bool ok = writeAll(fd, bytes);
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(tmpName.constData());
        if (error)
            *error = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(tmp));
        return false;
    }

    QElapsedTimer clock;
    clock.start();
    int lastError = 0;
    for (;;) {
        if (::rename(tmpName.constData(), targetName.constData()) == 0) {
            syncFolderOf(targetName);
            return true;
        }
        lastError = errno;
        if (!transient(lastError) || clock.elapsed() > budgetMs)
            break;
        QThread::msleep(5);
    }
    ::unlink(tmpName.constData());
    if (error)
        *error =
            QStringLiteral("cannot replace %1 (error %2)").arg(QDir::toNativeSeparators(path)).arg(lastError);
    return false;
}

QByteArray readFileShared(const QString &path, bool *opened)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (opened)
        *opened = fd >= 0;
    if (fd < 0)
        return QByteArray();
    QByteArray out;
    char piece[4096];
    while (out.size() <= 1048575) {
        const ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(piece, n);
    }
    ::close(fd);
    return out;
}

// --- the job ---------------------------------------------------------------------------------
// Each game starts in its own process group and asks the kernel for SIGKILL when the launcher
// dies (also by SIGKILL or a crash). At a normal exit the job kills every group it holds, which
// also takes the games' own children.

struct Job {
    QMutex mutex;
    QSet<qint64> groups;

    ~Job() { killAll(); }

    void killAll()
    {
        QMutexLocker lock(&mutex);
        for (qint64 pgid : std::as_const(groups))
            ::kill(pid_t(-pgid), SIGKILL);
        groups.clear();
    }
};

Job *launcherJob()
{
    static Job job; // thread-safe one-time initialisation; destroyed (killing the games) at exit
    return &job;
}

void prepareJobChild(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent]() {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The launcher may have died between fork and prctl: then nobody would kill us later.
        if (::getppid() != parent)
            ::_exit(127);
    });
}

bool addToJob(Job *job, qint64 pid)
{
    if (!job || pid <= 0)
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    QMutexLocker lock(&job->mutex);
    job->groups.insert(pid);
    return true;
}

void killJob(Job *job)
{
    if (job)
        job->killAll();
}

QList<qint64> processTree(qint64 pid)
{
    QList<qint64> out;
    if (pid <= 0)
        return out;
    out << pid;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &e : entries) {
        bool ok = false;
        const qint64 child = e.toLongLong(&ok);
        if (!ok || child == pid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(e));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so split after the last ')'.
        const int close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid)
            out << child;
    }
    return out;
}


int smartAppControlState()
{
    // Smart App Control does not exist here.
    return -1;
}

void setBackgroundThreadMode(bool on)
{
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    // Idle I/O class (3) or back to best effort (2), priority 0; "which" 1 is a single thread.
    const int ioprioClass = on ? 3 : 2;
    ::syscall(SYS_ioprio_set, 1, tid, (ioprioClass << 13) | 0);
    ::setpriority(PRIO_PROCESS, id_t(tid), on ? 19 : 0);
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

} // namespace platform
