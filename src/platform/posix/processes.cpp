// Processes on POSIX: the process tree and background threads.

#include "platform/native.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::native {

namespace {

// The parent of a process from /proc/PID/stat, or -1.
std::int64_t parentOf(const char *pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so read after the last ')'.
    const char *close = std::strrchr(text, ')');
    if (!close || close[1] != ' ' || !close[2] || close[3] != ' ')
        return -1;
    return std::strtoll(close + 4, nullptr, 10);
}

} // namespace

std::vector<std::int64_t> processTree(std::int64_t pid)
{
    std::vector<std::int64_t> out;
    if (pid <= 0)
        return out;
    out.push_back(pid);
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return out;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long long child = std::strtoll(entry->d_name, &end, 10);
        if (child <= 0 || *end != 0 || child == pid)
            continue;
        if (parentOf(entry->d_name) == pid)
            out.push_back(child);
    }
    ::closedir(proc);
    return out;
}

bool setBackgroundThreadMode(bool on)
{
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    // Idle I/O class (3) or back to best effort (2), priority 0; "which" 1 is a single thread.
    const int ioprioClass = on ? 3 : 2;
    const bool io = ::syscall(SYS_ioprio_set, 1, tid, (ioprioClass << 13) | 0) == 0;
    const bool cpu = ::setpriority(PRIO_PROCESS, id_t(tid), on ? 19 : 0) == 0;
    return io && cpu;
}

} // namespace platform::native
