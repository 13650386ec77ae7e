#pragma once
// Operating-system services the application framework does not give. Each operation states its
// contract here; platform_posix.cpp and platform_win.cpp meet it with their own system calls.
// Nothing outside src/platform may depend on how.

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QtGlobal>
#include <functional>

class QFileDevice;
class QKeyEvent;
class QProcess;
class QWidget;

namespace platform {

// Replaces `path` whole: writes `path` + ".tmp", flushes it to disk, then moves it over `path`.
// A concurrent reader sees the old or the new file, never a part of either. When the target is
// held by another program, the move is retried every 5 ms until `budgetMs` has passed.
// Errors (only filled when `error` is given):
//   "cannot create %1 (error %2)"  temporary path, system error number
//   "cannot write %1"              temporary path
//   "cannot replace %1 (error %2)" target path, last system error number
// No ".tmp" file is left behind on failure.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                         int budgetMs = 1000);

// Reads a file another program may be rewriting or deleting at any moment, without holding it:
// opens with full sharing, reads 4096-byte pieces and stops once more than 1048575 bytes were read
// (the piece that crossed the limit is kept). A missing file gives empty bytes and opened = false;
// an existing empty file gives empty bytes and opened = true.
QByteArray readFileShared(const QString &path, bool *opened = nullptr);

// Moves `from` to `to` in one step, replacing a file already at `to` (a reader of `to` sees the
// old file or the moved one, never none). False when `from` is missing or still held by another
// program, or the move fails otherwise; `error` then gets "cannot rename %1 (error %2)" with the
// source path and the system error number.
bool renameReplacing(const QString &from, const QString &to, QString *error = nullptr);

// The same move for putting files in place and back (an update's install): replaces a file at
// `to` and has the move on disk before it returns (the folder entry flushed; Windows:
// MOVEFILE_WRITE_THROUGH). False with the system's error number in `systemError` otherwise.
bool moveReplacing(const QString &from, const QString &to, int *systemError = nullptr);

// The system's own words for an error number (errno here, GetLastError on Windows), trimmed, or
// "error %1" with the number when the system has none.
QString systemErrorText(int code);

// How copyFileRange moved the bytes: by the system, file to file (sharing the blocks where the
// file system can), or through a buffer of this process.
enum class CopyMethod { System, Buffered };
// Which side of a copy failed.
enum class CopyFault { None, Read, Write };

struct RangeCopy {
    qint64 copied = 0; // bytes that reached the target
    CopyFault fault = CopyFault::None;
    QString error; // what failed: the system's own words, or what was wrong with the arguments
    CopyMethod method = CopyMethod::System;
};

// Copies `length` bytes of `source`, starting at `sourceOffset`, to `target` at its current
// position, which moves past them. The source's own position is not used and may move. Both must
// be open, the source for reading and the target for writing. Fewer bytes than asked with no fault
// means the source ended first; a zero length copies nothing. The bytes go file to file where the
// system can do it (method System), otherwise through a buffer (method Buffered).
RangeCopy copyFileRange(QFileDevice &source, qint64 sourceOffset, QFileDevice &target, qint64 length);

// The process-wide job that ties games to the launcher: every process added to it ends when the
// launcher ends, however it ends (normal exit, crash, kill). Created once, on first use.
struct Job;
Job *launcherJob();

// Must be called on a QProcess before it starts a process that will be added to the job; some
// platforms tie the child to the launcher as it starts (a no-op where the tie is made afterwards).
void prepareJobChild(QProcess &process);

// Adds a started process to the job. False for no job, a pid of 0 or less, or a failed assignment.
bool addToJob(Job *job, qint64 pid);

// Ends every process of the job now (used at normal exit; the job also does it on its own when
// the launcher dies).
void killJob(Job *job);

// The process itself first, then its direct children (one level only).
QList<qint64> processTree(qint64 pid);

// Opaque top-level window handle of the window system.
using WindowHandle = quintptr;

// Visible, unowned top-level windows of the given processes, largest area first.
QList<WindowHandle> windowsOf(const QList<qint64> &pids);

// Brings the largest window of the process or its direct children to the front.
bool bringGameToFront(qint64 pid);

// Shows the widget; unless background mode is on, raises and activates it. True when it ends up
// as the foreground window.
bool showAndActivate(QWidget *widget);

// True when the desktop's foreground window belongs to another process than this one; false when
// it is this process's, when there is none, or when the window system does not tell.
bool foregroundIsOtherProcess();

// Forces a window to the foreground. Always false while background mode is on.
bool forceForeground(WindowHandle window);

// Background mode (the "dev/background" setting, read once at start): windows are shown but
// never raised or brought to the front.
void setBackgroundMode(bool on);
bool backgroundMode();

// Smart App Control: 0 off, 1 on, 2 evaluation, -1 unknown or not present on this system.
int smartAppControlState();

// Name of the monitor device that holds the screen origin, or empty.
QString primaryMonitorDevice();

// The primary monitor's configured desktop size, or an invalid size.
QSize desktopSize();

// Every mode of the primary monitor at least 640x480, each size once, largest area first (equal
// areas: wider first).
QList<QSize> displayModes();

// Dark title bar for the widget's window where the window system has one; nothing otherwise.
void useDarkTitleBar(QWidget *widget);

// Puts the calling thread into (or out of) the background mode: lowest disk and CPU priority.
void setBackgroundThreadMode(bool on);

// Plays a wave file (a resource path of the launcher) asynchronously. The bytes are read once per
// path and kept. False when the file cannot be read, is empty or no sound device can play it.
bool playSound(const QString &path);

// Calls `handler` on the main thread when the system asks the process to end politely (SIGTERM
// or SIGINT here, a console close or Ctrl+C on Windows), so the launcher can close as if its
// window were closed. Call once, from the main thread, after the application object exists.
void onTerminationRequest(std::function<void()> handler);

// The character the current keyboard layout gives a key (Windows virtual-key code), or empty
// where the system offers no layout to ask; callers then fall back to their own table.
QString keyLayoutText(int virtualKey);
// The system's own name for a key ("Caps Lock", "Num Enter", ...), or empty where there is none.
QString keySystemName(int virtualKey);

// The Windows virtual-key code of a key event, as the controls file keeps it: the generic Shift
// and Ctrl taken as their left or right key (160/161, 162/163), keypad keys as keypad codes. Where
// the event carries the window system's own key data that decides; an event without it (made by
// a program) is mapped from its Qt key and modifiers. 0 when the key has no code.
int virtualKeyCode(const QKeyEvent &event);

// Start options for a game process, set before it starts: no console window (a script run by an
// interpreter), and a first window shown minimized and not activated (background mode).
// Platforms without these notions ignore them.
void setGameStartOptions(QProcess &process, bool noConsoleWindow, bool minimizedNotActivated);

// The name of the operating system as sent to the server: "windows", "linux", ...
QString osName();

// Processor name and operating system version for reports.
QString processorName();
QString osVersion();

// The exit of a game as the launcher judges it, in the system's own terms: what a Windows game's
// exit code says (a crash is a negative NTSTATUS, a kill by the launcher's TerminateProcess is
// 0xF291). A process ended by a signal counts as a crash code (below -1): here the top bit set with
// the signal number in the low bits, e.g. 0x8000000B for SIGSEGV; one ended by a signal while the
// launcher was stopping it counts as the launcher's own kill, 0xF291.
constexpr int launcherKillCode = 0xF291;
int gameExitCode(int exitCode, bool crashed, bool stopping);

// A file's last-write time as Windows counts it (FILETIME): 100-nanosecond intervals since
// 1601-01-01 UTC. Where the system counts from 1970 (st_mtim), this is the one conversion.
constexpr quint64 fileTimeFromUnix(qint64 seconds, qint64 nanoseconds)
{
    return quint64(seconds + 11644473600LL) * 10000000ULL + quint64(nanoseconds / 100);
}
// False when the file's attributes cannot be read. The size in bytes comes with it when asked for.
bool fileWriteTime(const QString &path, quint64 *fileTime, qint64 *size = nullptr);
// Every file under `root` and the folders below it (hidden and system ones too; links to folders
// are not entered), with one look at each: `visit` gets the path relative to the root in UTF-8 with
// '/' between folders (valid only during the call), the size and the last-write time (FILETIME
// units), and returns false to stop. False when the root cannot be listed or the walk was stopped.
using WalkVisit = std::function<bool(QByteArrayView relative, qint64 size, quint64 fileTime)>;
bool walkFiles(const QString &root, const WalkVisit &visit);

} // namespace platform
