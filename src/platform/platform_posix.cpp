// POSIX implementation of the platform contracts (Linux here).

#include "platform.h"
#include "rangecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
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

// The kernel copies at most this much per call (it stops short of 2 GiB anyway).
constexpr qint64 maxSystemCopy = qint64(1) << 30;

// copy_file_range: the kernel moves the bytes, and file systems that can share blocks (btrfs, XFS)
// do so instead of copying. False when the rest must go through the buffer: the system declined
// (another file system, a pipe or device as target, no such call: EXDEV, EINVAL, EOPNOTSUPP,
// ENOSYS), or it failed some other way, which the buffered copy then meets and names with its side.
bool copyBySystem(int in, qint64 sourceOffset, int out, qint64 length, RangeCopy &result)
{
    loff_t from = sourceOffset;
    while (result.copied < length) {
        const size_t want = size_t(std::min(length - result.copied, maxSystemCopy));
        const ssize_t n = ::copy_file_range(in, &from, out, nullptr, want, 0);
        if (n > 0) {
            result.copied += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // The end of the source, unless a file system reports 0 for "cannot" (some did).
            struct stat st {};
            return ::fstat(in, &st) == 0 && st.st_size <= from;
        }
        return false;
    }
    return true;
}

void copyThroughBuffer(int in, qint64 sourceOffset, int out, qint64 length, RangeCopy &result)
{
    result.method = CopyMethod::Buffered;
    const qint64 size = std::min(length - result.copied, rangecopy::bufferSize);
    const std::unique_ptr<char[]> buffer(new char[size_t(std::max<qint64>(size, 1))]);
    while (result.copied < length) {
        const size_t want = size_t(std::min(length - result.copied, size));
        const ssize_t got = ::pread(in, buffer.get(), want, off_t(sourceOffset + result.copied));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.fault = CopyFault::Read;
            result.error = qt_error_string(errno);
            return;
        }
        if (got == 0)
            return; // the source ended
        const char *p = buffer.get();
        ssize_t left = got;
        while (left > 0) {
            const ssize_t put = ::write(out, p, size_t(left));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                result.fault = CopyFault::Write;
                result.error = qt_error_string(put < 0 ? errno : ENOSPC);
                return;
            }
            p += put;
            left -= put;
            result.copied += put;
        }
    }
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
    const int in = source.handle();
    const int out = target.handle();
    if (length == 0 || (!bufferedCopyForced() && copyBySystem(in, sourceOffset, out, length, result)))
        return result;
    copyThroughBuffer(in, sourceOffset, out, length, result);
    return result;
}

// --- the job ---------------------------------------------------------------------------------
// Each game starts in its own process group and asks the kernel for SIGKILL when the launcher
// dies (also by SIGKILL or a crash). At a normal exit the job kills every group it holds, which
// also takes the games' own children, those that outlived the game included.
//
// A group's id is its first process's id, and the system hands ids out again once nothing uses
// them: the id of a game that ended with all its children may by then lead some unrelated program's
// group. So the job holds each id itself: it puts a child of its own into the game's group that ends
// at once and is not reaped. An unreaped child keeps its process and group ids from being handed out,
// so while the job holds a group, that id names the game's group and nothing else. The job lets a
// group go (reaps its holder) once nothing else is left in it; it looks whenever a game is added.

namespace {

struct ProcStat {
    pid_t group = 0;
    quint64 startTime = 0; // clock ticks after boot: a reused process id comes with another one
};

bool readProcStat(pid_t pid, ProcStat *out)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = 0;
    // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses.
    const char *close = std::strrchr(text, ')');
    if (!close)
        return false;
    const QList<QByteArray> fields = QByteArray(close + 2).split(' ');
    // From the state on: state(0) ppid(1) pgrp(2) ... starttime(19).
    if (fields.size() < 20)
        return false;
    out->group = pid_t(fields.at(2).toLong());
    out->startTime = fields.at(19).toULongLong();
    return true;
}

// How many processes are in each of the given groups now, not counting the listed holders.
QHash<pid_t, int> groupSizes(const QSet<pid_t> &groups, const QSet<pid_t> &holders)
{
    QHash<pid_t, int> sizes;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return sizes;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        ProcStat stat;
        if (pid <= 0 || *end != 0 || holders.contains(pid_t(pid)) || !readProcStat(pid_t(pid), &stat))
            continue;
        if (groups.contains(stat.group))
            ++sizes[stat.group];
    }
    ::closedir(proc);
    return sizes;
}

// A child that joins `group` and ends at once; left unreaped it holds the group's id. 0 when it
// cannot join (a game that made a session of its own, say).
pid_t holdGroup(pid_t group)
{
    const pid_t child = ::fork();
    if (child < 0)
        return 0;
    if (child == 0)
        ::_exit(::setpgid(0, group) == 0 ? 0 : 1); // nothing but these two after fork
    siginfo_t info{};
    int waited;
    do {
        waited = ::waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT); // ended, not reaped
    } while (waited != 0 && errno == EINTR);
    if (waited == 0 && info.si_code == CLD_EXITED && info.si_status == 0)
        return child;
    ::waitpid(child, nullptr, 0);
    return 0;
}

} // namespace

struct Job {
    struct Group {
        pid_t id = 0;
        pid_t holder = 0;        // our ended child in the group, 0 when it could not join
        quint64 leaderStart = 0; // without a holder: the leader's start, to know it is still it
    };
    QMutex mutex;
    QList<Group> groups;

    ~Job() { killAll(); }

    void killAll()
    {
        QMutexLocker lock(&mutex);
        for (const Group &group : std::as_const(groups)) {
            if (group.holder > 0) {
                ::kill(-group.id, SIGKILL);
                ::waitpid(group.holder, nullptr, 0);
            } else if (leaderIsStillOurs(group)) {
                ::kill(-group.id, SIGKILL);
            }
        }
        groups.clear();
    }

    // Lets go of the groups with nothing of a game left in them. Called with the mutex held.
    void letGoOfEndedGroups()
    {
        QSet<pid_t> ids;
        QSet<pid_t> holders;
        for (const Group &group : std::as_const(groups)) {
            ids.insert(group.id);
            if (group.holder > 0)
                holders.insert(group.holder);
        }
        const QHash<pid_t, int> sizes = groupSizes(ids, holders);
        groups.removeIf([&](const Group &group) {
            if (group.holder <= 0)
                return !leaderIsStillOurs(group);
            if (sizes.value(group.id) > 0)
                return false;
            ::waitpid(group.holder, nullptr, 0);
            return true;
        });
    }

    static bool leaderIsStillOurs(const Group &group)
    {
        ProcStat stat;
        return readProcStat(group.id, &stat) && stat.startTime == group.leaderStart && stat.group == group.id;
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
    ProcStat stat;
    if (!readProcStat(pid_t(pid), &stat))
        return false;
    QMutexLocker lock(&job->mutex);
    job->letGoOfEndedGroups();
    job->groups.append(Job::Group{pid_t(pid), holdGroup(pid_t(pid)), stat.startTime});
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
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    if (size)
        *size = qint64(st.st_size);
    if (fileTime)
        *fileTime = fileTimeFromUnix(qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec));
    return true;
}

} // namespace platform
