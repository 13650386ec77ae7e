// The platform contracts, checked on the Qt-free core: built natively against the POSIX core and
// with MinGW-w64 against the Win32 core, which runs under Wine here. A case the system has no
// notion of, or that Wine does not implement faithfully, skips with the reason.

#include "platform/native.h"
#include "runner.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include "platform/win32/text.h"
#ifndef ERROR_THREAD_MODE_ALREADY_BACKGROUND
#define ERROR_THREAD_MODE_ALREADY_BACKGROUND 400
#define ERROR_THREAD_MODE_NOT_BACKGROUND 401
#endif
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace native = platform::native;
using native::Path;
using support::TempDir;

namespace {

bool present(const Path &path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

Path withTmp(const Path &path)
{
    Path tmp = path;
    tmp += ".tmp";
    return tmp;
}

std::string text(const Path &path)
{
#ifdef _WIN32
    return native::win32::pathText(path);
#else
    return path.native();
#endif
}

#ifdef _WIN32
// Opens a file the way another program might hold it.
HANDLE holdOpen(const Path &path, DWORD access, DWORD share)
{
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
constexpr int fileNotFound = ERROR_FILE_NOT_FOUND;
constexpr int pathNotFound = ERROR_PATH_NOT_FOUND;
#else
constexpr int fileNotFound = ENOENT;
constexpr int pathNotFound = ENOENT;
#endif

} // namespace

// --- atomic replace --------------------------------------------------------------------------

CASE(atomicReplaceIsNeverSeenTorn)
{
    TempDir dir("torn");
    const Path target = dir.path / "state.json";
    const std::string a(300 * 1024, 'a'), b(200 * 1024 + 7, 'b');
    REQUIRE(native::writeFileAtomically(target, a, nullptr, 1000));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0}, missing{0};
    std::thread reader([&] {
        while (!done) {
            bool opened = false;
            const std::string got = native::readFileShared(target, &opened);
            if (!opened)
                ++missing;
            else if (got != a && got != b)
                ++torn;
            ++reads;
        }
    });
    int failed = 0;
    std::string error;
    for (int i = 0; i < 150; ++i)
        if (!native::writeFileAtomically(target, i % 2 ? a : b, &error, 5000))
            ++failed;
    support::waitUntil([&] { return reads > 20; }, 10000);
    done = true;
    reader.join();
    CHECK_EQ(failed, 0);
    CHECK_EQ(error, std::string());
    CHECK_EQ(torn.load(), 0);
    CHECK_EQ(missing.load(), 0); // the target is replaced, never removed first
    CHECK(reads > 20);
    CHECK_EQ(support::readAll(target), a); // the last write (149 is odd)
}

CASE(atomicReplaceErrors)
{
    TempDir dir("errors");
    struct Row {
        const char *what;
        Path target;
        std::string expectedPrefix;
        int expectedCode; // 0: any system error number
    };
    const Path missingFolder = dir.path / "no-such-folder" / "file.txt";
    const Path folder = dir.path / "a-folder";
    std::filesystem::create_directories(folder);
    support::writeAll(folder / "inside", "x");
#ifdef _WIN32
    const int folderCode = 0; // access denied on Windows, as Wine may word it otherwise
#else
    const int folderCode = EISDIR;
#endif
    const Row rows[] = {
        {"the temporary file cannot be made", missingFolder,
         "cannot create " + text(withTmp(missingFolder)) + " (error ", pathNotFound},
        {"the target is a folder", folder, "cannot replace " + text(folder) + " (error ", folderCode},
    };
    for (const Row &row : rows) {
        std::string error;
        std::cout << "  row: " << row.what << std::endl;
        CHECK(!native::writeFileAtomically(row.target, "bytes", &error, 50));
        CHECK_EQ(error.substr(0, row.expectedPrefix.size()), row.expectedPrefix);
        CHECK(error.size() > row.expectedPrefix.size() && error.back() == ')');
        const int code = std::atoi(error.c_str() + std::min(error.size(), row.expectedPrefix.size()));
        if (row.expectedCode)
            CHECK_EQ(code, row.expectedCode);
        else
            CHECK(code > 0);
        CHECK(!present(withTmp(row.target)));
        // Without an error text wanted the call fails the same way.
        CHECK(!native::writeFileAtomically(row.target, "bytes", nullptr, 50));
    }
    CHECK(present(folder / "inside"));
}

CASE(atomicReplaceWaitsForAHeldTargetWithinTheBudget)
{
#ifndef _WIN32
    SKIP("a file held open does not stop rename(2) here; test_platform covers the retry with a target "
         "another user owns");
#else
    TempDir dir("held");
    const Path target = dir.path / "cmd.txt";
    support::writeAll(target, "old");

    // Held without delete sharing (as a game reading it would), let go while the write retries.
    HANDLE held = holdOpen(target, GENERIC_READ, FILE_SHARE_READ);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    int refused = 0;
    {
        // The system must refuse the move while it is held, or there is nothing to wait for.
        support::writeAll(dir.path / "probe", "p");
        if (!MoveFileExW((dir.path / "probe").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            refused = int(GetLastError());
    }
    if (!refused) {
        CloseHandle(held);
        SKIP("Wine replaces a file that another handle holds without delete sharing; Windows refuses");
    }
    std::atomic<bool> released{false};
    std::thread holder([&] {
        support::waitUntil([&] { return present(withTmp(target)); }, 5000); // the write has begun
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        released = true;
        CloseHandle(held);
    });
    std::string error;
    const bool ok = native::writeFileAtomically(target, "new", &error, 10000);
    holder.join();
    CHECK(ok);
    CHECK(released.load());
    CHECK_EQ(error, std::string());
    CHECK_EQ(support::readAll(target), std::string("new"));

    // Held for longer than the budget: the error names the target and the last error; no .tmp.
    held = holdOpen(target, GENERIC_READ, FILE_SHARE_READ);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    CHECK(!native::writeFileAtomically(target, "newer", &error, 200));
    CloseHandle(held);
    const std::string prefix = "cannot replace " + text(target) + " (error ";
    CHECK_EQ(error.substr(0, prefix.size()), prefix);
    const int code = std::atoi(error.c_str() + std::min(error.size(), prefix.size()));
    CHECK(code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION);
    CHECK(!present(withTmp(target)));
    CHECK_EQ(support::readAll(target), std::string("new"));
#endif
}

// --- shared read -----------------------------------------------------------------------------

CASE(readFileSharedLimitsAndFlags)
{
    TempDir dir("read");
    std::string big(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 131 % 251);
    support::writeAll(dir.path / "big", big);
    support::writeAll(dir.path / "small", big.substr(0, 10000));
    support::writeAll(dir.path / "empty", "");
    struct Row {
        const char *name;
        bool opened;
        size_t minSize, maxSize;
    };
    const Row rows[] = {
        {"missing", false, 0, 0},
        {"empty", true, 0, 0},
        {"small", true, 10000, 10000},
        // Stops once more than 1048575 bytes were read; the piece that crossed is kept.
        {"big", true, 1048576, 1048575 + 4096},
    };
    for (const Row &row : rows) {
        bool opened = !row.opened;
        const std::string got = native::readFileShared(dir.path / row.name, &opened);
        std::cout << "  row: " << row.name << " -> " << got.size() << " bytes" << std::endl;
        CHECK_EQ(opened, row.opened);
        CHECK(got.size() >= row.minSize && got.size() <= row.maxSize);
        CHECK(got == big.substr(0, got.size()));
        CHECK_EQ(native::readFileShared(dir.path / row.name, nullptr).size(), got.size());
    }
}

CASE(readFileSharedLeavesTheFileToOthers)
{
    TempDir dir("shared");
    const Path file = dir.path / "status.txt";
    const std::string content(512 * 1024, 's');
    support::writeAll(file, content);
#ifdef _WIN32
    // A game holding the file to write and delete it: reading must still open it.
    HANDLE writer =
        holdOpen(file, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    REQUIRE(writer != INVALID_HANDLE_VALUE);
    bool opened = false;
    CHECK_EQ(native::readFileShared(file, &opened), content);
    CHECK(opened);
    CloseHandle(writer);
#endif
    // Deleted and replaced again and again while a reader keeps reading: no delete or replace ever
    // fails, and each read gives nothing (deleted) or the whole file.
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, partial{0};
    std::thread reader([&] {
        while (!done) {
            bool opened = false;
            const std::string got = native::readFileShared(file, &opened);
            if (opened && got != content)
                ++partial;
            ++reads;
        }
    });
    int deleteFailures = 0, writeFailures = 0;
    for (int i = 0; i < 200; ++i) {
        std::error_code error;
        std::filesystem::remove(file, error);
        if (error)
            ++deleteFailures;
        if (!native::writeFileAtomically(file, content, nullptr, 5000))
            ++writeFailures;
    }
    support::waitUntil([&] { return reads > 20; }, 10000);
    done = true;
    reader.join();
    CHECK_EQ(deleteFailures, 0);
    CHECK_EQ(writeFailures, 0);
    CHECK_EQ(partial.load(), 0);
    CHECK(reads > 20);
}

// --- replacing rename ------------------------------------------------------------------------

CASE(renameReplacingReplacesOrSaysWhy)
{
    TempDir dir("rename");
    struct Row {
        const char *what;
        bool source, target;
        bool ok;
        int code;
    };
    const Row rows[] = {
        {"over an existing file", true, true, true, 0},
        {"to a new name", true, false, true, 0},
        {"a missing source", false, true, false, fileNotFound},
    };
    for (const Row &row : rows) {
        std::cout << "  row: " << row.what << std::endl;
        const Path from = dir.path / "from", to = dir.path / "to";
        std::filesystem::remove(from);
        std::filesystem::remove(to);
        if (row.source)
            support::writeAll(from, "new");
        if (row.target)
            support::writeAll(to, "old");
        int code = 0;
        CHECK_EQ(native::renameReplacing(from, to, &code), row.ok);
        CHECK_EQ(code, row.code);
        CHECK_EQ(support::readAll(to), std::string(row.ok ? "new" : row.target ? "old" : ""));
        CHECK(!present(from));
    }
#ifdef _WIN32
    // A target held without delete sharing is not replaced; the error says why.
    support::writeAll(dir.path / "from", "new");
    HANDLE held = holdOpen(dir.path / "to", GENERIC_READ, FILE_SHARE_READ);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    int code = 0;
    const bool ok = native::renameReplacing(dir.path / "from", dir.path / "to", &code);
    CloseHandle(held);
    if (ok && support::underWine())
        SKIP("Wine replaces a file that another handle holds without delete sharing; Windows refuses");
    CHECK(!ok);
    CHECK(code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION);
#endif
}

// --- range copy ------------------------------------------------------------------------------

namespace {

enum class Mode { Read, Write, ReadWrite };

struct TestFile {
    native::FileHandle handle;
#ifdef _WIN32
    TestFile(const Path &path, Mode mode)
    {
        const DWORD access = mode == Mode::Read    ? GENERIC_READ
                             : mode == Mode::Write ? GENERIC_WRITE
                                                   : GENERIC_READ | GENERIC_WRITE;
        handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~TestFile()
    {
        CloseHandle(HANDLE(handle));
    }
    bool ok() const
    {
        return handle != INVALID_HANDLE_VALUE;
    }
    void write(const std::string &bytes)
    {
        DWORD put = 0;
        WriteFile(HANDLE(handle), bytes.data(), DWORD(bytes.size()), &put, nullptr);
    }
    std::int64_t position() const
    {
        LARGE_INTEGER zero{}, at{};
        SetFilePointerEx(HANDLE(handle), zero, &at, FILE_CURRENT);
        return at.QuadPart;
    }
#else
    TestFile(const Path &path, Mode mode)
    {
        const int flags = mode == Mode::Read ? O_RDONLY : mode == Mode::Write ? O_WRONLY : O_RDWR;
        handle = ::open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0644);
    }
    ~TestFile()
    {
        ::close(handle);
    }
    bool ok() const
    {
        return handle >= 0;
    }
    void write(const std::string &bytes)
    {
        (void)!::write(handle, bytes.data(), bytes.size());
    }
    std::int64_t position() const
    {
        return ::lseek(handle, 0, SEEK_CUR);
    }
#endif
};

} // namespace

CASE(copyRangeCopiesAndStopsAtTheEnd)
{
    TempDir dir("copy");
    std::string source(3 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = char(i * 7 % 253);
    support::writeAll(dir.path / "source", source);
    struct Row {
        const char *what;
        std::int64_t offset, length, expected;
    };
    const std::int64_t size = std::int64_t(source.size());
    const Row rows[] = {
        {"a middle range over several buffers", 1000, 2 * 1024 * 1024 + 5, 2 * 1024 * 1024 + 5},
        {"past the end: the source ends first", size - 10, 100, 10},
        {"from the end", size, 50, 0},
        {"nothing", 5, 0, 0},
    };
    for (bool forceBuffered : {false, true}) {
        for (const Row &row : rows) {
            std::cout << "  row: " << row.what << (forceBuffered ? " (buffered)" : "") << std::endl;
            const Path target = dir.path / "target";
            std::filesystem::remove(target);
            TestFile in(dir.path / "source", Mode::Read), out(target, Mode::Write);
            REQUIRE(in.ok() && out.ok());
            out.write("head");
            const native::RangeCopyOutcome got =
                native::copyRange(in.handle, row.offset, out.handle, row.length, forceBuffered);
            CHECK_EQ(int(got.fault), int(native::CopyFault::None));
            CHECK_EQ(got.copied, row.expected);
            CHECK_EQ(out.position(), 4 + row.expected); // the target's position moved past them
            if (forceBuffered && row.length > 0)
                CHECK(got.buffered);
            out.write("tail");
            const std::string written = support::readAll(target);
            const bool same =
                written ==
                "head" + source.substr(size_t(std::min(row.offset, size)), size_t(row.expected)) + "tail";
            CHECK(same);
        }
    }
}

CASE(copyRangeNamesTheSideThatFailed)
{
    TempDir dir("copyfault");
    support::writeAll(dir.path / "source", std::string(10000, 'x'));
    struct Row {
        const char *what;
        Mode source, target;
        native::CopyFault fault;
    };
    const Row rows[] = {
        {"the source cannot be read", Mode::Write, Mode::Write, native::CopyFault::Read},
        {"the target cannot be written", Mode::Read, Mode::Read, native::CopyFault::Write},
    };
    for (const Row &row : rows) {
        std::cout << "  row: " << row.what << std::endl;
        TestFile in(dir.path / "source", row.source), out(dir.path / "target", row.target);
        REQUIRE(in.ok() && out.ok());
        const native::RangeCopyOutcome got = native::copyRange(in.handle, 0, out.handle, 5000);
        CHECK_EQ(int(got.fault), int(row.fault));
        CHECK(got.systemError != 0);
        CHECK(!native::systemErrorText(got.systemError).empty());
        CHECK_EQ(got.copied, std::int64_t(0));
    }
}

// --- system error text -----------------------------------------------------------------------

CASE(systemErrorTextIsTheSystemsOwnWords)
{
#ifdef _WIN32
    const int codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL};
#else
    const int codes[] = {ENOENT, EACCES, EBUSY, ENOSPC};
#endif
    std::vector<std::string> texts;
    for (int code : codes) {
        const std::string t = native::systemErrorText(code);
        std::cout << "  " << code << ": " << t << std::endl;
        CHECK(!t.empty());
        CHECK(t.find('\n') == std::string::npos && t.find('\r') == std::string::npos);
        CHECK(!t.empty() && t.back() != ' ');
        CHECK(std::find(texts.begin(), texts.end(), t) == texts.end()); // each its own words
        texts.push_back(t);
    }
}

// --- processes -------------------------------------------------------------------------------

namespace {

// Starts "chain DEPTH": this program, which starts itself again DEPTH levels deep; as a game of
// the job when `inJob`.
support::Child startChain(const TempDir &dir, int depth, bool inJob)
{
    const std::string base = (dir.path / "chain").string();
    std::vector<std::string> role{"chain", std::to_string(depth), base};
    support::SpawnOptions options;
    if (inJob) {
        role.push_back("in-job");
        options.jobChild = true;
    }
    return support::spawnSelf(role, options);
}

// The pids the levels of a chain wrote, the first started first; 0 for a level that did not.
std::vector<std::int64_t> chainPids(const TempDir &dir, int depth)
{
    const std::string base = (dir.path / "chain").string();
    std::vector<std::int64_t> pids(size_t(depth + 1), 0);
    support::waitUntil(
        [&] {
            for (int d = 0; d <= depth; ++d)
                pids[size_t(depth - d)] = support::readPid(Path(base + "." + std::to_string(d)));
            return std::find(pids.begin(), pids.end(), 0) == pids.end();
        },
        20000);
    return pids;
}

} // namespace

CASE(processTreeIsTheProcessAndItsChildren)
{
    TempDir dir("tree");
    support::Child child = startChain(dir, 2, false);
    REQUIRE(child.pid > 0);
    const std::vector<std::int64_t> pids = chainPids(dir, 2);
    REQUIRE(std::find(pids.begin(), pids.end(), 0) == pids.end());
    CHECK_EQ(pids[0], child.pid);
    const std::vector<std::int64_t> tree = native::processTree(child.pid);
    REQUIRE(!tree.empty());
    CHECK_EQ(tree.front(), child.pid);
    CHECK_EQ(tree.size(), size_t(2)); // the child, and only its own child
    CHECK(std::find(tree.begin(), tree.end(), pids[1]) != tree.end());
    CHECK(std::find(tree.begin(), tree.end(), pids[2]) == tree.end()); // a grandchild is not listed
    CHECK(native::processTree(0).empty());
    CHECK(native::processTree(-5).empty());
    support::kill(child);
    for (std::int64_t pid : {pids[1], pids[2]})
        if (support::alive(pid))
            support::killPid(pid);
}

CASE(jobEndsAChildAndItsChildWhenItCloses)
{
    struct Row {
        const char *what;
        bool kill; // killJob, else closing the job's handle
    };
    for (const Row row : {Row{"when its handle closes", false}, Row{"when it is killed", true}}) {
        std::cout << "  row: " << row.what << std::endl;
        TempDir dir("job");
        native::Job *job = native::createJob();
        REQUIRE(job);
        support::Child child = startChain(dir, 1, true);
        REQUIRE(child.pid > 0);
        CHECK(native::addToJob(job, child.pid));
        const std::vector<std::int64_t> pids = chainPids(dir, 1);
        REQUIRE(pids[1] != 0);
        CHECK(support::alive(pids[0]) && support::alive(pids[1]));
        if (row.kill) {
            native::killJob(job);
            CHECK(support::waitUntil([&] { return !support::alive(pids[0]) && !support::alive(pids[1]); },
                                     10000));
            native::closeJob(job);
        } else {
            native::closeJob(job);
            CHECK(support::waitUntil([&] { return !support::alive(pids[0]) && !support::alive(pids[1]); },
                                     10000));
        }
        if (support::alive(pids[1]))
            support::killPid(pids[1]);
    }
}

CASE(jobEndsItsProcessesWhenTheLauncherIsKilled)
{
    TempDir dir("jobkill");
    const std::string base = (dir.path / "chain").string();
    support::Child launcher = support::spawnSelf({"holder", base});
    REQUIRE(launcher.pid > 0);
    std::int64_t holder = 0;
    support::waitUntil([&] { return (holder = support::readPid(Path(base + ".holder"))) != 0; }, 20000);
    REQUIRE(holder == launcher.pid);
    const std::vector<std::int64_t> pids = chainPids(dir, 1);
    REQUIRE(pids[0] != 0 && pids[1] != 0);
    CHECK(support::alive(pids[0]) && support::alive(pids[1]));
    support::kill(launcher); // TerminateProcess or SIGKILL: no code of the launcher runs
    CHECK(support::waitExit(launcher, 10000) != -1);
    const bool gameEnded = support::waitUntil([&] { return !support::alive(pids[0]); }, 10000);
#ifdef _WIN32
    const int childDeadline = 10000;
#else
    const int childDeadline = 1000; // only to tell the known gap from a slow end
#endif
    const bool childEnded = support::waitUntil([&] { return !support::alive(pids[1]); }, childDeadline);
    for (std::int64_t pid : pids)
        if (support::alive(pid))
            support::killPid(pid);
    CHECK(gameEnded);
#ifndef _WIN32
    if (!childEnded)
        SKIP("here the parent-death signal ends the game alone: a child the game started outlives a killed "
             "launcher (the job ends it at a normal exit)");
#endif
    CHECK(childEnded);
}

CASE(addToJobRefusesWhatIsNoProcess)
{
    native::Job *job = native::createJob();
    REQUIRE(job);
    CHECK(!native::addToJob(nullptr, support::ownPid()));
    CHECK(!native::addToJob(job, 0));
    CHECK(!native::addToJob(job, -3));
    CHECK(!native::addToJob(job, 0x7FFFFFF0)); // no such process
    native::closeJob(job);
}

CASE(backgroundThreadModeLowersOnlyTheCallingThread)
{
    std::atomic<int> failures{0};
    std::string why;
    std::thread worker([&] {
        if (!native::setBackgroundThreadMode(true)) {
            ++failures;
            why = "on refused: " + native::systemErrorText(
#ifdef _WIN32
                                       int(GetLastError())
#else
                                       errno
#endif
                                   );
            return;
        }
#ifdef _WIN32
        // Windows says a thread is already in the mode by refusing to enter it twice.
        SetLastError(0);
        if (SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) ||
            GetLastError() != ERROR_THREAD_MODE_ALREADY_BACKGROUND)
            ++failures, why = "not in the background mode after turning it on";
        if (!native::setBackgroundThreadMode(false))
            ++failures, why = "off refused";
        SetLastError(0);
        if (SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END) ||
            GetLastError() != ERROR_THREAD_MODE_NOT_BACKGROUND)
            ++failures, why = "still in the background mode after turning it off";
#else
        const pid_t tid = pid_t(::syscall(SYS_gettid));
        const long ioClass = ::syscall(SYS_ioprio_get, 1, tid) >> 13;
        if (::getpriority(PRIO_PROCESS, id_t(tid)) != 19 || ioClass != 3)
            ++failures, why = "not at the lowest CPU and disk priority";
        // Raising the priority again needs the right to (root here, as in CI).
        if (::geteuid() == 0) {
            if (!native::setBackgroundThreadMode(false) || ::getpriority(PRIO_PROCESS, id_t(tid)) != 0 ||
                (::syscall(SYS_ioprio_get, 1, tid) >> 13) != 2)
                ++failures, why = "not back to normal priority";
        }
#endif
    });
    worker.join();
    if (failures && support::underWine())
        SKIP("Wine does not implement the thread background mode (" + why + ")");
    CHECK_EQ(why, std::string());
    CHECK_EQ(failures.load(), 0);
#ifndef _WIN32
    CHECK_EQ(::getpriority(PRIO_PROCESS, 0), 0); // the rest of the process is untouched
#endif
}

// --- displays --------------------------------------------------------------------------------

CASE(displayModesAreLargeEnoughUniqueAndLargestFirst)
{
    using S = native::Size;
    const std::vector<S> listed{{800, 400},  {1920, 1080}, {640, 480},  {1920, 1080},
                                {639, 480},  {1200, 1200}, {1600, 900}, {1280, 1024},
                                {1024, 768}, {640, 479},   {1280, 1024}};
    const std::vector<S> expected{{1920, 1080}, {1600, 900}, {1200, 1200},
                                  {1280, 1024}, {1024, 768}, {640, 480}};
    const std::vector<S> got = native::pickDisplayModes(listed);
    CHECK(got == expected);
    CHECK(native::pickDisplayModes({}).empty());
#ifdef _WIN32
    if (native::primaryMonitorDevice().empty())
        SKIP("no display: run under Xvfb");
    const std::vector<S> modes = native::displayModes();
    std::cout << "  " << native::primaryMonitorDevice() << ": " << modes.size() << " modes, desktop "
              << native::desktopSize().width << "x" << native::desktopSize().height << std::endl;
    CHECK(!modes.empty());
    CHECK(native::pickDisplayModes(modes) == modes); // the system's list, filtered and sorted
    CHECK(native::desktopSize().valid());
#endif
}

// --- windows, keys and start options (Windows notions) ---------------------------------------

#ifdef _WIN32
namespace {

bool haveDesktop()
{
    return !native::primaryMonitorDevice().empty() && GetDesktopWindow() != nullptr;
}

std::vector<std::uintptr_t> readNumbers(const Path &path)
{
    std::vector<std::uintptr_t> out;
    const std::string t = support::readAll(path);
    size_t at = 0;
    while (at < t.size()) {
        char *end = nullptr;
        out.push_back(std::uintptr_t(std::strtoull(t.c_str() + at, &end, 10)));
        at = size_t(end - t.c_str());
        while (at < t.size() && t[at] == ' ')
            ++at;
    }
    return out;
}

} // namespace

CASE(windowsOfAProcessLargestFirstWithoutHiddenOrOwnedOnes)
{
    if (!haveDesktop())
        SKIP("no display: run under Xvfb");
    TempDir dir("windows");
    support::Child child = support::spawnSelf({"windows", (dir.path / "hwnds").string()});
    REQUIRE(child.pid > 0);
    std::vector<std::uintptr_t> w;
    support::waitUntil([&] { return (w = readNumbers(dir.path / "hwnds")).size() == 4; }, 20000);
    REQUIRE(w.size() == 4); // big, small, hidden, owned
    std::vector<native::WindowHandle> found;
    support::waitUntil([&] { return (found = native::windowsOf({child.pid})).size() >= 2; }, 10000);
    CHECK(found == (std::vector<native::WindowHandle>{w[0], w[1]}));
    CHECK(native::windowsOf({}).empty());
    CHECK(native::windowsOf({support::ownPid()}).empty()); // this process has none

    // Forward: the largest window comes to the front, unless background mode is on.
    HWND before = GetForegroundWindow();
    CHECK(!native::forceForeground(w[0], true));
    CHECK(GetForegroundWindow() == before);
    CHECK(!native::forceForeground(0, false));
    const bool front = native::forceForeground(w[0], false);
    CHECK(front);
    CHECK_EQ(std::uintptr_t(GetForegroundWindow()), w[0]);
    CHECK(native::foregroundBelongsToOtherProcess()); // the child's window

    // A window of this process in front: the foreground is ours again.
    HWND own = CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 300, 200,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(own);
    CHECK(native::forceForeground(native::WindowHandle(own), false));
    CHECK(!native::foregroundBelongsToOtherProcess());
    // A minimized window is restored on its way to the front.
    ShowWindow(HWND(w[0]), SW_MINIMIZE);
    support::waitUntil([&] { return IsIconic(HWND(w[0])) != 0; }, 5000);
    CHECK(native::forceForeground(w[0], false));
    CHECK(!IsIconic(HWND(w[0])));
    DestroyWindow(own);
}

CASE(startOptionsMinimizedAndNotActivated)
{
    if (!haveDesktop())
        SKIP("no display: run under Xvfb");
    TempDir dir("show");
    struct Row {
        bool minimized;
        const char *window;  // how the first window came up
        const char *startup; // what the child found in its STARTUPINFO: flags, show command
    };
    const std::string asked = std::to_string(STARTF_USESHOWWINDOW) + " " + std::to_string(SW_SHOWMINNOACTIVE);
    std::string wineGap;
    for (const Row &row :
         {Row{true, "minimized inactive", asked.c_str()}, Row{false, "normal active", "0 0"}}) {
        std::cout << "  row: minimized " << row.minimized << std::endl;
        const native::StartOptions o = native::gameStartOptions(false, row.minimized);
        const Path report = dir.path / (row.minimized ? "min" : "normal");
        support::Child child = support::spawnSelf({"show", report.string()},
                                                  {false, o.creationFlags, o.startupFlags, o.showWindow});
        REQUIRE(child.pid > 0);
        std::string got;
        support::waitUntil([&] { return !(got = support::readAll(report)).empty(); }, 20000);
        const size_t split = got.find(' ', got.find(' ') + 1);
        REQUIRE(split != std::string::npos);
        CHECK_EQ(got.substr(split + 1), std::string(row.startup));
        const std::string window = got.substr(0, split);
        if (window != row.window && support::underWine())
            wineGap += " " + window;
        else
            CHECK_EQ(window, std::string(row.window));
    }
    if (!wineGap.empty())
        SKIP("Wine hands the child STARTF_USESHOWWINDOW with SW_SHOWMINNOACTIVE but does not apply it to its "
             "first window (came up" +
             wineGap + ")");
}

CASE(startOptionsNoConsoleWindowForAScriptGame)
{
    TempDir dir("console");
    struct Row {
        bool noConsole;
        const char *expected;
    };
    const Row rows[] = {{false, "console"}, {true, "none"}};
    for (const Row &row : rows) {
        const native::StartOptions o = native::gameStartOptions(row.noConsole, false);
        CHECK_EQ(o.creationFlags & CREATE_NO_WINDOW, row.noConsole ? unsigned(CREATE_NO_WINDOW) : 0u);
        CHECK_EQ(o.startupFlags, 0ul);
    }
    for (const Row &row : rows) {
        const native::StartOptions o = native::gameStartOptions(row.noConsole, false);
        const Path report = dir.path / (row.noConsole ? "none" : "console");
        // A console for the children to share or not (the suite itself may run without one).
        AllocConsole();
        support::Child child = support::spawnSelf({"console", report.string()},
                                                  {false, o.creationFlags, o.startupFlags, o.showWindow});
        REQUIRE(child.pid > 0);
        CHECK_EQ(support::waitExit(child, 20000), 0);
        const std::string got = support::readAll(report);
        if (!row.noConsole && got != "console" && support::underWine())
            SKIP("Wine gives even a child without CREATE_NO_WINDOW no console window (headless), so there "
                 "is none to leave out");
        CHECK_EQ(got, std::string(row.expected));
    }
}

CASE(keyLayoutTextAndSystemNames)
{
    if (!haveDesktop())
        SKIP("no display: Wine takes the keyboard layout from the X server; run under Xvfb");
    struct Row {
        int vk;
        const char *layout; // the US layout's character
        const char *name;   // the system's name
    };
    const Row rows[] = {
        {'A', "A", "A"},
        {'7', "7", "7"},
        {VK_OEM_MINUS, "-", "-"},
        {VK_SPACE, "", "Space"},
        {VK_CAPITAL, "", "Caps Lock"},
        {VK_F5, "", "F5"},
        {VK_ESCAPE, "", "Esc"},
        {VK_TAB, "", "Tab"},
    };
    std::string names;
    for (const Row &row : rows) {
        names += "[" + native::keySystemName(row.vk) + "]";
        CHECK_EQ(native::keyLayoutText(row.vk), std::string(row.layout));
    }
    std::cout << "  names: " << names << std::endl;
    CHECK_EQ(native::keySystemName(0xFF), std::string()); // no key
    CHECK_EQ(native::keyLayoutText(0xFF), std::string());
    std::string differ;
    for (const Row &row : rows) {
        const std::string name = native::keySystemName(row.vk);
        CHECK(!name.empty());
        if (name != row.name)
            differ += " " + name;
    }
    if (!differ.empty() && support::underWine())
        SKIP("Wine names keys after their X keysyms, not in Windows' words:" + differ);
    for (const Row &row : rows)
        CHECK_EQ(native::keySystemName(row.vk), std::string(row.name));
}

// --- the build script ------------------------------------------------------------------------

CASE(buildScriptRunsThroughCmdWithItsQuotes)
{
    TempDir dir("build");
    const Path folder = dir.path / "my game & co";
    std::filesystem::create_directories(folder);
    const Path script = folder / "build-game.cmd";
    const Path out = folder / "args.txt";
    support::writeAll(script, "@echo off\r\n"
                              "echo [%~1] [%~2] [%3]> \"%~dp0args.txt\"\r\n"
                              "exit /b 7\r\n");
    struct Row {
        std::wstring arguments;
        const char *expected;
    };
    const Row rows[] = {
        {L"", "[] [] []"},
        {L"--fast \"two words\" \"x & y\"", "[--fast] [two words] [\"x & y\"]"},
    };
    for (const Row &row : rows) {
        std::filesystem::remove(out);
        const std::wstring line = native::buildScriptArguments(script.native(), row.arguments);
        CHECK(line.rfind(L"/d /s /c \"\"", 0) == 0);
        const native::StartOptions o = native::buildScriptStartOptions();
        CHECK((o.creationFlags & CREATE_NO_WINDOW) != 0);
        std::wstring commandLine = L"cmd.exe " + line;
        const std::wstring cmd = native::systemFolder() + L"\\cmd.exe";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        REQUIRE(CreateProcessW(cmd.c_str(), commandLine.data(), nullptr, nullptr, FALSE, o.creationFlags,
                               nullptr, folder.c_str(), &startup, &info));
        CloseHandle(info.hThread);
        CHECK(WaitForSingleObject(info.hProcess, 20000) == WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        CHECK_EQ(code, DWORD(7)); // the script's own exit code
        std::string got = support::readAll(out);
        while (!got.empty() && (got.back() == '\n' || got.back() == '\r' || got.back() == ' '))
            got.pop_back();
        CHECK_EQ(got, std::string(row.expected));
    }
}

CASE(stoppingTheBuildScriptEndsWhatItStarted)
{
    TempDir dir("buildstop");
    const Path script = dir.path / "build-game.cmd";
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::string base = (dir.path / "chain").string();
    // The script runs a compiler stand-in (this program sleeping) and waits for it.
    support::writeAll(script, "@echo off\r\n\"" + native::win32::utf8(self) + "\" --child chain 0 \"" + base +
                                  "\"\r\n");
    std::wstring commandLine = L"cmd.exe " + native::buildScriptArguments(script.native(), L"");
    const std::wstring cmd = native::systemFolder() + L"\\cmd.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    REQUIRE(CreateProcessW(cmd.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                           native::buildScriptStartOptions().creationFlags, nullptr, dir.path.c_str(),
                           &startup, &info));
    CloseHandle(info.hThread);
    std::int64_t compiler = 0;
    support::waitUntil([&] { return (compiler = support::readPid(Path(base + ".0"))) != 0; }, 20000);
    REQUIRE(compiler != 0);
    const std::vector<std::int64_t> tree = native::processTree(info.dwProcessId);
    CHECK(std::find(tree.begin(), tree.end(), compiler) != tree.end());
    native::terminateProcessTree(info.dwProcessId);
    CHECK(WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CHECK(support::waitUntil([&] { return !support::alive(compiler); }, 10000));
    if (support::alive(compiler))
        native::terminateProcessTree(compiler);
}

// --- unpacking and the registry --------------------------------------------------------------

CASE(unpackingCommandQuotesBothPaths)
{
    struct Row {
        std::wstring archive, destination, expected;
    };
    const Row rows[] = {
        {L"C:\\u\\orx.zip", L"C:\\u\\stage",
         L"Expand-Archive -LiteralPath 'C:\\u\\orx.zip' -DestinationPath 'C:\\u\\stage' -Force"},
        {L"C:\\Bob's games\\a b.zip", L"C:\\it's",
         L"Expand-Archive -LiteralPath 'C:\\Bob''s games\\a b.zip' -DestinationPath 'C:\\it''s' -Force"},
        {L"C:\\x\u2019y.zip", L"C:\\s",
         L"Expand-Archive -LiteralPath 'C:\\x\u2019\u2019y.zip' -DestinationPath 'C:\\s' -Force"},
    };
    for (const Row &row : rows)
        CHECK(native::expandArchiveCommand(row.archive, row.destination) == row.expected);

    wchar_t saved[MAX_PATH] = {};
    const DWORD had = GetEnvironmentVariableW(L"SystemRoot", saved, MAX_PATH);
    SetEnvironmentVariableW(L"SystemRoot", L"D:\\Win");
    CHECK(native::systemFolder() == L"D:\\Win\\System32");
    SetEnvironmentVariableW(L"SystemRoot", nullptr);
    CHECK(native::systemFolder() == L"C:\\Windows\\System32");
    SetEnvironmentVariableW(L"SystemRoot", had ? saved : nullptr);
    // Unpacking itself runs tar.exe or PowerShell from there.
    const std::wstring tar = native::systemFolder() + L"\\tar.exe";
    if (GetFileAttributesW(tar.c_str()) == INVALID_FILE_ATTRIBUTES)
        SKIP(support::underWine() ? "Wine has no tar.exe or PowerShell to unpack with"
                                  : "this system has no tar.exe");
}

CASE(registryValuesOfTheSystem)
{
    const std::string version = native::osVersion();
    const std::string processor = native::processorName();
    std::cout << "  " << version << " / " << processor << " / Smart App Control "
              << native::smartAppControlState() << std::endl;
    CHECK(version.find(" (build ") != std::string::npos && version.back() == ')');
    CHECK(version.find(" (build )") == std::string::npos);
    CHECK(!processor.empty() && processor.front() != ' ' && processor.back() != ' ');
    const int state = native::smartAppControlState();
    CHECK(state >= -1 && state <= 2);
    if (!support::underWine())
        return; // the value is the system's own; only a throwaway Wine prefix may be changed
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy", 0, nullptr,
                            0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS);
    for (DWORD value : {DWORD(1), DWORD(2), DWORD(0)}) {
        RegSetValueExW(key, L"VerifiedAndReputablePolicyState", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&value), sizeof value);
        CHECK_EQ(native::smartAppControlState(), int(value));
    }
    RegDeleteValueW(key, L"VerifiedAndReputablePolicyState");
    RegCloseKey(key);
    CHECK_EQ(native::smartAppControlState(), -1);
}
#endif

// --- the runner ------------------------------------------------------------------------------

int runner::run(int argc, char **argv)
{
    int passed = 0, failed = 0, skipped = 0;
    for (const Case &c : cases()) {
        if (argc > 1 && std::string(c.name).find(argv[1]) == std::string::npos)
            continue;
        std::cout << c.name << std::endl;
        const int before = failures();
        const auto start = std::chrono::steady_clock::now();
        try {
            c.body();
        } catch (const Skip &skip) {
            if (failures() == before) {
                std::cout << "  SKIP " << skip.reason << std::endl;
                ++skipped;
                continue;
            }
        } catch (const Stop &) {
        } catch (const std::exception &e) {
            fail(__FILE__, __LINE__, std::string("exception: ") + e.what());
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (failures() == before) {
            std::cout << "  ok (" << ms << " ms)" << std::endl;
            ++passed;
        } else {
            ++failed;
        }
    }
    std::cout << passed << " passed, " << failed << " failed, " << skipped << " skipped" << std::endl;
    return failed == 0 && passed > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "--child")
        return support::childMain(std::vector<std::string>(argv + 2, argv + argc));
    std::cout.setf(std::ios::unitbuf);
    return runner::run(argc, argv);
}
