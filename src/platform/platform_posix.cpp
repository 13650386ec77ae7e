// POSIX implementation of the platform contracts (Linux here).

#include "native.h"
#include "platform.h"
#include "rangecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QSocketNotifier>

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
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
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

} // namespace platform
