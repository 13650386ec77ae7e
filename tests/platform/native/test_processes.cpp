// The process contracts: the process tree, the job, background threads; on Windows also the
// build script through cmd.exe, unpacking and the registry values.

#include "suite.h"

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

#ifdef _WIN32
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
    // The script runs a compiler stand-in (this program, chain 1), which runs one of its own, and
    // waits for it.
    support::writeAll(script, "@echo off\r\n\"" + native::win32::utf8(self) + "\" --child chain 1 \"" + base +
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
    std::int64_t compiler = 0, its = 0;
    support::waitUntil(
        [&] {
            compiler = support::readPid(Path(base + ".1"));
            its = support::readPid(Path(base + ".0"));
            return compiler != 0 && its != 0;
        },
        20000);
    REQUIRE(compiler != 0 && its != 0);
    const std::vector<std::int64_t> tree = native::processTree(info.dwProcessId);
    CHECK(std::find(tree.begin(), tree.end(), compiler) != tree.end());
    native::terminateProcessTree(info.dwProcessId);
    CHECK(WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0);
    CloseHandle(info.hProcess);
    CHECK(support::waitUntil([&] { return !support::alive(compiler) && !support::alive(its); }, 10000));
    for (std::int64_t pid : {compiler, its})
        if (support::alive(pid))
            support::killPid(pid);
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
