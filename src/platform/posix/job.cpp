// The job on POSIX.
//
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

#include "platform/native.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace platform::native {

namespace {

struct ProcStat {
    pid_t group = 0;
    std::uint64_t startTime = 0; // clock ticks after boot: a reused process id comes with another one
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
    if (!close || close[1] != ' ')
        return false;
    // From the state on: state(0) ppid(1) pgrp(2) ... starttime(19).
    const char *field = close + 2;
    for (int index = 0; index <= 19; ++index) {
        if (!*field)
            return false;
        if (index == 2)
            out->group = pid_t(std::strtol(field, nullptr, 10));
        if (index == 19)
            out->startTime = std::strtoull(field, nullptr, 10);
        const char *blank = std::strchr(field, ' ');
        if (!blank) {
            if (index < 19)
                return false;
            break;
        }
        field = blank + 1;
    }
    return true;
}

// How many processes are in each of the given groups now, not counting the listed holders.
std::unordered_map<pid_t, int> groupSizes(const std::unordered_set<pid_t> &groups,
                                          const std::unordered_set<pid_t> &holders)
{
    std::unordered_map<pid_t, int> sizes;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return sizes;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        ProcStat stat;
        if (pid <= 0 || *end != 0 || holders.count(pid_t(pid)) || !readProcStat(pid_t(pid), &stat))
            continue;
        if (groups.count(stat.group))
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
        pid_t holder = 0;              // our ended child in the group, 0 when it could not join
        std::uint64_t leaderStart = 0; // without a holder: the leader's start, to know it is still it
    };
    std::mutex mutex;
    std::vector<Group> groups;

    void killAll()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Group &group : groups) {
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
        std::unordered_set<pid_t> ids;
        std::unordered_set<pid_t> holders;
        for (const Group &group : groups) {
            ids.insert(group.id);
            if (group.holder > 0)
                holders.insert(group.holder);
        }
        const std::unordered_map<pid_t, int> sizes = groupSizes(ids, holders);
        const auto ended = [&](const Group &group) {
            if (group.holder <= 0)
                return !leaderIsStillOurs(group);
            const auto size = sizes.find(group.id);
            if (size != sizes.end() && size->second > 0)
                return false;
            ::waitpid(group.holder, nullptr, 0);
            return true;
        };
        groups.erase(std::remove_if(groups.begin(), groups.end(), ended), groups.end());
    }

    static bool leaderIsStillOurs(const Group &group)
    {
        ProcStat stat;
        return readProcStat(group.id, &stat) && stat.startTime == group.leaderStart && stat.group == group.id;
    }
};

Job *createJob()
{
    return new Job;
}

bool addToJob(Job *job, std::int64_t pid)
{
    if (!job || pid <= 0)
        return false;
    ProcStat stat;
    if (!readProcStat(pid_t(pid), &stat))
        return false;
    std::lock_guard<std::mutex> lock(job->mutex);
    job->letGoOfEndedGroups();
    job->groups.push_back(Job::Group{pid_t(pid), holdGroup(pid_t(pid)), stat.startTime});
    return true;
}

void killJob(Job *job)
{
    if (job)
        job->killAll();
}

void closeJob(Job *job)
{
    if (!job)
        return;
    job->killAll();
    delete job;
}

void enterJobInChild(int launcherPid)
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The launcher may have died between fork and prctl: then nobody would kill us later.
    if (::getppid() != pid_t(launcherPid))
        ::_exit(127);
}

} // namespace platform::native
