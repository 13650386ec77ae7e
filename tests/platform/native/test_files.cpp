// The file contracts: atomic replace, shared read, replacing rename, range copy, error texts, write
// times.

#include "suite.h"

#include <map>

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

// --- write times -----------------------------------------------------------------------------

namespace {

constexpr std::uint64_t ticksPerSecond = 10000000;              // FILETIME: 100 ns
constexpr std::uint64_t unixEpochTicks = 116444736000000000ULL; // 1970-01-01 in FILETIME

// Sets a file's last-write time with the system's own call (SetFileTime; utimensat).
bool setWriteTime(const Path &path, std::uint64_t fileTime)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME written{DWORD(fileTime & 0xffffffffu), DWORD(fileTime >> 32)};
    const bool ok = SetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    return ok;
#else
    const std::uint64_t since1970 = fileTime - unixEpochTicks;
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(since1970 / ticksPerSecond);
    times[1].tv_nsec = long(since1970 % ticksPerSecond) * 100;
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}

// Makes a file `size` bytes long without writing them (sparse where the file system can).
bool setLength(const Path &path, std::int64_t size)
{
#ifdef _WIN32
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at{};
    at.QuadPart = size;
    const bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok;
#else
    return ::truncate(path.c_str(), off_t(size)) == 0;
#endif
}

// The write time as the C++ library reads it, in whole seconds since 1970 (a second way of
// reading it; some libraries keep no finer part).
std::int64_t libraryWriteSeconds(const Path &path)
{
    const auto written = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
    return std::chrono::floor<std::chrono::seconds>(written).time_since_epoch().count();
}

std::int64_t unixSeconds(std::uint64_t fileTime)
{
    return std::int64_t(fileTime / ticksPerSecond) - std::int64_t(unixEpochTicks / ticksPerSecond);
}

std::uint64_t nowAsFileTime()
{
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return unixEpochTicks + std::uint64_t(since1970.count() / 100);
}

// Within a minute of now: the write time counts in FILETIME units from 1601, not in other units or
// from another epoch.
bool recent(std::uint64_t fileTime)
{
    const std::uint64_t now = nowAsFileTime(), minute = 60 * ticksPerSecond;
    return fileTime + minute > now && fileTime < now + minute;
}

} // namespace

CASE(fileWriteTimeIsTheSystemsTimeAndSize)
{
    TempDir dir("writetime");
    const Path file = dir.path / "game.exe";
    support::writeAll(file, "12345");
    std::uint64_t time = 0;
    std::int64_t size = -1;
    REQUIRE(native::fileWriteTime(file, &time, &size));
    CHECK_EQ(size, std::int64_t(5));
    CHECK(recent(time));
    const std::int64_t library = libraryWriteSeconds(file);
    CHECK(unixSeconds(time) >= library - 1 && unixSeconds(time) <= library + 1);

    // Times set with the system's own call come back to the 100 ns.
    struct Row {
        const char *what;
        std::uint64_t fileTime;
        std::int64_t unixSeconds;
    };
    const Row rows[] = {
        {"2021-03-04 05:06:07.1234567", 132593079670000000ULL + 1234567, 1614834367},
        {"2000-01-01 00:00:00.0000001", 125911584000000000ULL + 1, 946684800},
        {"1970-01-01 00:00:00", unixEpochTicks, 0},
        {"2040-06-01 12:00:00.5 (past 32-bit seconds)", 138666384000000000ULL + 5000000, 2222164800},
    };
    for (const Row &row : rows) {
        std::cout << "  row: " << row.what << std::endl;
        REQUIRE(setWriteTime(file, row.fileTime));
        time = 0;
        size = -1;
        CHECK(native::fileWriteTime(file, &time, &size));
        CHECK_EQ(time, row.fileTime);
        CHECK_EQ(size, std::int64_t(5));
        CHECK_EQ(libraryWriteSeconds(file), row.unixSeconds);
    }

    // Either output may be left out.
    time = 0;
    CHECK(native::fileWriteTime(file, &time, nullptr));
    CHECK_EQ(time, rows[3].fileTime);
    size = -1;
    CHECK(native::fileWriteTime(file, nullptr, &size));
    CHECK_EQ(size, std::int64_t(5));
    CHECK(native::fileWriteTime(file, nullptr, nullptr));
}

CASE(fileWriteTimeSizePast32Bits)
{
    TempDir dir("large");
    const Path large = dir.path / "large.bin";
    support::writeAll(large, "x");
    const std::int64_t fiveGiB = std::int64_t(5) << 30;
    if (!setLength(large, fiveGiB))
        SKIP("the file system holds no 5 GiB file here");
    std::int64_t size = -1;
    CHECK(native::fileWriteTime(large, nullptr, &size));
    CHECK_EQ(size, fiveGiB); // both halves of the system's answer
    CHECK_EQ(std::uint64_t(size), std::uint64_t(std::filesystem::file_size(large)));
}

CASE(fileWriteTimeOfARewrittenFileIsLaterAndOfAMissingOneFalse)
{
    TempDir dir("rewritten");
    const Path file = dir.path / "hashes.txt";
    support::writeAll(file, "first");
    const std::uint64_t old = nowAsFileTime() - 3600 * ticksPerSecond; // an hour ago
    REQUIRE(setWriteTime(file, old));
    std::uint64_t before = 0;
    REQUIRE(native::fileWriteTime(file, &before, nullptr));
    CHECK_EQ(before, old);

    support::writeAll(file, "written again");
    std::uint64_t after = 0;
    std::int64_t size = -1;
    CHECK(native::fileWriteTime(file, &after, &size));
    CHECK(after > before);
    CHECK(recent(after));
    CHECK_EQ(size, std::int64_t(13));

    for (const Path &missing : {dir.path / "no-such-file", dir.path / "no-such-folder" / "file"}) {
        std::uint64_t t = 0;
        std::int64_t s = 0;
        CHECK(!native::fileWriteTime(missing, &t, &s));
        CHECK(!native::fileWriteTime(missing, nullptr, nullptr));
    }
    std::filesystem::remove(file);
    CHECK(!native::fileWriteTime(file, &after, &size));
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

// --- the walk of a folder tree ---------------------------------------------------------------

CASE(walkFilesListsEveryFileOnceWithItsSizeAndTime)
{
    TempDir dir("walk");
    std::filesystem::create_directories(dir.path / "Data" / "deep" / "er");
    std::filesystem::create_directories(dir.path / "empty");
    const std::map<std::string, std::string> files{{"top.bin", "12345"},
                                                   {".hidden", ""},
                                                   {"Data/Movie.BIK", std::string(70000, 'm')},
                                                   {"Data/deep/er/x.dat", "x"},
                                                   {"Data/deep/\xc3\xa9t\xc3\xa9.txt", "summer"}};
    for (const auto &[name, bytes] : files)
        support::writeAll(dir.path / Path(std::u8string(name.begin(), name.end())), bytes);
    std::map<std::string, std::pair<std::int64_t, std::uint64_t>> seen;
    int visits = 0;
    REQUIRE(
        native::walkFiles(dir.path, [&](std::string_view relative, std::int64_t size, std::uint64_t time) {
            ++visits;
            seen[std::string(relative)] = {size, time};
            return true;
        }));
    CHECK_EQ(visits, int(files.size()));
    for (const auto &[name, bytes] : files) {
        std::cout << "  file: " << name << std::endl;
        REQUIRE(seen.count(name) == 1);
        std::uint64_t time = 0;
        std::int64_t size = -1;
        REQUIRE(
            native::fileWriteTime(dir.path / Path(std::u8string(name.begin(), name.end())), &time, &size));
        CHECK_EQ(seen[name].first, std::int64_t(bytes.size()));
        CHECK_EQ(seen[name].second, time);
    }

    // The visitor stops the walk at once.
    visits = 0;
    CHECK(!native::walkFiles(dir.path, [&](std::string_view, std::int64_t, std::uint64_t) {
        ++visits;
        return false;
    }));
    CHECK_EQ(visits, 1);

    // A root that is not a folder cannot be listed.
    CHECK(!native::walkFiles(dir.path / "missing",
                             [](std::string_view, std::int64_t, std::uint64_t) { return true; }));
    CHECK(!native::walkFiles(dir.path / "top.bin",
                             [](std::string_view, std::int64_t, std::uint64_t) { return true; }));
}
