// The suite's support on POSIX.

#include "support.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

TempDir::TempDir(const std::string &name)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orx-native-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()))
        path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!path.empty())
        std::filesystem::remove_all(path, ignored);
}

Child::Child(Child &&other) noexcept : pid(other.pid), handle(other.handle), thread(other.thread)
{
    other.pid = 0;
    other.handle = nullptr;
    other.thread = nullptr;
}

Child::~Child()
{
    if (pid > 0) {
        ::kill(pid_t(pid), SIGKILL);
        ::waitpid(pid_t(pid), nullptr, 0);
    }
}

Child spawnSelf(const std::vector<std::string> &role, const SpawnOptions &options)
{
    const int parent = int(::getpid());
    std::vector<std::string> args{"/proc/self/exe", "--child"};
    args.insert(args.end(), role.begin(), role.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (options.jobChild)
            platform::native::enterJobInChild(parent);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    child.pid = pid > 0 ? pid : 0;
    return child;
}

void resume(Child &) {}

bool alive(std::int64_t pid)
{
    const std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

int waitExit(Child &child, int ms)
{
    int status = 0;
    pid_t done = 0;
    waitUntil(
        [&] {
            done = ::waitpid(pid_t(child.pid), &status, WNOHANG);
            return done != 0;
        },
        ms);
    if (done != pid_t(child.pid))
        return -1;
    child.pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void kill(Child &child)
{
    if (child.pid > 0)
        ::kill(pid_t(child.pid), SIGKILL);
}

void killPid(std::int64_t pid)
{
    if (pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}

std::int64_t ownPid()
{
    return ::getpid();
}

bool waitUntilInJob()
{
    return true;
}

bool underWine()
{
    return false;
}

int childMain(const std::vector<std::string> &role)
{
    return commonChildMain(role);
}

} // namespace support
