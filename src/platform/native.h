#pragma once
// The system calls behind platform.h, in plain C++20 with no Qt, so that the Windows side can be
// built with MinGW-w64 and tested under Wine, where no Qt exists. win32/ and posix/ implement this
// header; platform_win*.cpp and platform_posix.cpp only convert Qt types and call it. Nothing
// outside src/platform includes it. Texts are UTF-8; error numbers are the system's own
// (GetLastError or errno).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::native {

using Path = std::filesystem::path;

// --- files -----------------------------------------------------------------------------------

// The contract of platform::writeFileAtomically; `error` gets the same texts, with the path as
// given (the caller passes native separators).
bool writeFileAtomically(const Path &path, std::string_view bytes, std::string *error, int budgetMs);

// The contract of platform::readFileShared.
std::string readFileShared(const Path &path, bool *opened);

// Moves `from` over `to`, replacing a file there (rename(2); MoveFileExW with
// MOVEFILE_REPLACE_EXISTING). False with the system error number in `systemError` otherwise.
bool renameReplacing(const Path &from, const Path &to, int *systemError);

#ifdef _WIN32
using FileHandle = void *; // a HANDLE
#else
using FileHandle = int; // a file descriptor
#endif

enum class CopyFault { None, Read, Write };

struct RangeCopyOutcome {
    std::int64_t copied = 0;
    CopyFault fault = CopyFault::None;
    int systemError = 0; // with a fault
    bool buffered = false;
};

// Copies `length` bytes from `in` at `inOffset` to `out` at its position, which moves past them
// (the work of platform::copyFileRange once its arguments are checked). `forceBuffered` skips the
// system's own copy where there is one.
RangeCopyOutcome copyRange(FileHandle in, std::int64_t inOffset, FileHandle out, std::int64_t length,
                           bool forceBuffered = false);

// The system's words for an error number (FormatMessageW, strerror_r), without a trailing line
// break or blank.
std::string systemErrorText(int code);

// A file's last-write time as Windows counts it (FILETIME: 100-nanosecond intervals since
// 1601-01-01 UTC) and its size in bytes (GetFileAttributesExW; stat(2)). False when the file's
// attributes cannot be read; either output may be null.
bool fileWriteTime(const Path &path, std::uint64_t *fileTime, std::int64_t *size);

// Every file under `root` and the folders below it, hidden and system ones too, without entering
// links to folders (readdir and one fstatat per entry; FindFirstFileExW, whose listing carries the
// size and time). For each file `visit` gets its path relative to the root in UTF-8 with '/'
// between folders (valid until it returns), its size and last-write time (FILETIME units); it
// returns false to stop the walk. False when `root` cannot be listed or the walk was stopped.
using WalkVisit = std::function<bool(std::string_view relative, std::int64_t size, std::uint64_t fileTime)>;
bool walkFiles(const Path &root, const WalkVisit &visit);

// The one conversion from a time counted from 1970 (st_mtim) to FILETIME units.
constexpr std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds)
{
    return std::uint64_t(seconds + 11644473600LL) * 10000000ULL + std::uint64_t(nanoseconds / 100);
}

// --- processes -------------------------------------------------------------------------------

// The contract of platform::processTree.
std::vector<std::int64_t> processTree(std::int64_t pid);

// Puts the calling thread into or out of the background mode (lowest disk and CPU priority).
// False when the system refused it.
bool setBackgroundThreadMode(bool on);

// The job that ties games to the launcher (the contracts of platform::launcherJob and the
// operations after it). Windows: a job object whose processes end when its last handle closes
// (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE). POSIX: each game leads a process group the job holds, and
// dies with the launcher by a parent-death signal (enterJobInChild). Null when the system gives none.
struct Job;
Job *createJob();
// The contract of platform::addToJob.
bool addToJob(Job *job, std::int64_t pid);
// Ends every process of the job now.
void killJob(Job *job);
// Ends the job's processes as the launcher's end does (Windows: closes the job's handle) and frees it.
void closeJob(Job *job);

#ifndef _WIN32
// In a child between fork and exec (async-signal-safe calls only): a process group of its own and
// SIGKILL when the launcher dies; ends the child at once when the launcher is already gone.
void enterJobInChild(int launcherPid);
#endif

#ifdef _WIN32
// How a process is created: flags for CreateProcessW and the show state of its first window.
struct StartOptions {
    unsigned long creationFlags = 0;
    unsigned long startupFlags = 0; // STARTUPINFOW.dwFlags
    unsigned short showWindow = 0;  // STARTUPINFOW.wShowWindow
};
// The contract of platform::setGameStartOptions, as what to add to CreateProcessW's arguments.
StartOptions gameStartOptions(bool noConsoleWindow, bool minimizedNotActivated);

// The build script: "cmd.exe" with this argument line, started with these options.
std::wstring buildScriptArguments(const std::wstring &nativeScriptPath, const std::wstring &arguments);
StartOptions buildScriptStartOptions();

// Ends the process and every process it started, theirs too, the process first (it then starts no
// new ones).
void terminateProcessTree(std::int64_t pid);

// Calls `handler` (on a thread of the system's) when the console asks the process to end: Ctrl+C,
// Ctrl+Break or closing the console window. Once per process.
void onConsoleCloseRequest(std::function<void()> handler);

// Registry values: Smart App Control (-1 unknown), processor name, "product (build n)".
int smartAppControlState();
std::string processorName();
std::string osVersion();

// Unpacking a release archive with the system's own tools: the system folder
// (%SystemRoot%\System32), and the PowerShell command for Expand-Archive with both paths
// single-quoted (a single quote inside doubled).
std::wstring systemFolder();
std::wstring expandArchiveCommand(const std::wstring &archive, const std::wstring &destination);
#endif

// --- keys ------------------------------------------------------------------------------------

// The Windows virtual-key code of a key, as the controls file keeps it, from the data the window
// system's key message carries (what Qt keeps as a key event's native virtual key and scan code):
// Windows: the virtual key, and the scan code with the extended-key flag in bit 8, which tell the
// left and right Shift and Ctrl apart; X11 and Wayland (xkb): the keysym, which tells the left and
// right modifier keys and the keypad keys apart (no scan code needed). 0 when the data does not
// tell (none, or a keysym this mapping leaves to the toolkit's key).
int virtualKeyFromMessage(std::uint32_t nativeKey, std::uint32_t scanCode);

// --- windows and displays --------------------------------------------------------------------

struct Size {
    int width = -1;
    int height = -1;
    bool valid() const { return width > 0 && height > 0; }
    bool operator==(const Size &) const = default;
};

// The contract of platform::displayModes applied to the sizes a system lists: at least 640x480,
// each size once, largest area first, equal areas wider first.
std::vector<Size> pickDisplayModes(const std::vector<Size> &listed);

#ifdef _WIN32
using WindowHandle = std::uintptr_t;

// Visible, unowned top-level windows of the given processes, largest area first.
std::vector<WindowHandle> windowsOf(const std::vector<std::int64_t> &pids);
// The contract of platform::forceForeground (the caller passes the background flag).
bool forceForeground(WindowHandle window, bool backgroundMode);
// Whether the desktop's foreground window belongs to another process than this one.
bool foregroundBelongsToOtherProcess();
// The primary monitor's device name, configured size and listed modes (contracts of platform.h).
std::string primaryMonitorDevice();
Size desktopSize();
std::vector<Size> displayModes();
void useDarkTitleBar(WindowHandle window);
// Plays a wave file from memory, asynchronously; the bytes must stay alive while it plays.
bool playWave(std::string_view bytes);

// The character the keyboard layout gives a virtual-key code, and the system's name of the key.
std::string keyLayoutText(int virtualKey);
std::string keySystemName(int virtualKey);
#endif

} // namespace platform::native
