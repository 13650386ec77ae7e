#pragma once
// What the platform suite needs of the system beside the operations under test: a scratch folder,
// child processes (this program again, in a child role), waiting with a deadline. One
// implementation per system (support_win32.cpp, support_posix.cpp).

#include "platform/native.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace support {

using platform::native::Path;

// A fresh folder for one case, removed with everything in it when the object goes.
struct TempDir {
    explicit TempDir(const std::string &name);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    Path path;
};

// Calls `ready` until it is true or `ms` (scaled by ORX_TIME_SCALE, for slow machines) have passed.
bool waitUntil(const std::function<bool()> &ready, int ms);

std::string readAll(const Path &path);
void writeAll(const Path &path, const std::string &bytes);

// This program run again with "--child" and the given role arguments.
struct Child {
    std::int64_t pid = 0;
    void *handle = nullptr; // Windows: the process handle
    void *thread = nullptr; // Windows: the first thread of a suspended child
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child(Child &&other) noexcept;
    ~Child(); // kills the process if it still runs and frees it
};

struct SpawnOptions {
    bool suspended = false;          // Windows: created suspended (resume())
    unsigned long creationFlags = 0; // Windows: added to CreateProcessW's flags
    unsigned long startupFlags = 0;  // Windows: STARTUPINFOW.dwFlags
    unsigned short showWindow = 0;   // Windows: STARTUPINFOW.wShowWindow
    bool jobChild = false;           // POSIX: takes the job's terms before it runs (enterJobInChild)
};

Child spawnSelf(const std::vector<std::string> &role, const SpawnOptions &options = {});
void resume(Child &child);
// Whether a process with this id still runs (a zombie or a process that ended counts as ended).
bool alive(std::int64_t pid);
// Waits for the child's end; its exit code, or -1 when it did not end in time.
int waitExit(Child &child, int ms);
void kill(Child &child);
// Kills a process that is not a Child of this one (a grandchild left over by a failed case).
void killPid(std::int64_t pid);

// The child roles; returns the exit code. argv[0] is the role name.
int childMain(const std::vector<std::string> &role);
// Child roles the system-neutral part knows; -1 when it does not know the role.
int commonChildMain(const std::vector<std::string> &role);

std::int64_t ownPid();
// Windows: waits until this process is in a job (true), false after a while. Elsewhere true.
bool waitUntilInJob();
// Reads FILE as written by a "chain" child: a pid, or 0 until it is there.
std::int64_t readPid(const Path &path);

// Whether the suite runs under Wine (the Windows build) — for skip reasons only.
bool underWine();

} // namespace support
