// Windows implementation of the platform contracts (Win32).

#include "platform.h"
#include "rangecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>
#include <tlhelp32.h>

namespace platform {

namespace {

std::wstring wide(const QString &s)
{
    return QDir::toNativeSeparators(s).toStdWString();
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error, int budgetMs)
{
    const QString tmp = path + QStringLiteral(".tmp");
    const std::wstring tmpW = wide(tmp);
    const std::wstring targetW = wide(path);

    HANDLE h =
        CreateFileW(tmpW.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = QStringLiteral("cannot create %1 (error %2)")
                         .arg(QDir::toNativeSeparators(tmp))
                         .arg(GetLastError());
        return false;
    }
    bool ok = true;
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (ok && left > 0) {
        const DWORD chunk = DWORD(qMin<qsizetype>(left, 1 << 30));
        DWORD written = 0;
        ok = WriteFile(h, p, chunk, &written, nullptr) && written == chunk;
        p += written;
        left -= written;
    }
    ok = FlushFileBuffers(h) && ok;
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(tmpW.c_str());
        if (error)
            *error = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(tmp));
        return false;
    }

    QElapsedTimer clock;
    clock.start();
    DWORD lastError = 0;
    for (;;) {
        if (MoveFileExW(tmpW.c_str(), targetW.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        lastError = GetLastError();
        // A reader holding the target without delete sharing: wait for it within the budget.
        if ((lastError != ERROR_ACCESS_DENIED && lastError != ERROR_SHARING_VIOLATION) ||
            clock.elapsed() > budgetMs)
            break;
        Sleep(5);
    }
    DeleteFileW(tmpW.c_str());
    if (error)
        *error =
            QStringLiteral("cannot replace %1 (error %2)").arg(QDir::toNativeSeparators(path)).arg(lastError);
    return false;
}

QByteArray readFileShared(const QString &path, bool *opened)
{
    HANDLE h =
        CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened)
        *opened = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return QByteArray();
    QByteArray out;
    char piece[4096];
    while (out.size() <= 1048575) {
        DWORD got = 0;
        if (!ReadFile(h, piece, sizeof piece, &got, nullptr) || got == 0)
            break;
        out.append(piece, qsizetype(got));
    }
    CloseHandle(h);
    return out;
}

// --- copying a range between files ----------------------------------------------------------
// Windows has no general file-to-file copy of a byte range (block cloning works on ReFS alone), so
// the bytes go through one buffer: positioned reads of the source, writes at the target's position.

RangeCopy copyFileRange(QFileDevice &source, qint64 sourceOffset, QFileDevice &target, qint64 length)
{
    RangeCopy result = rangecopy::checkArguments(source, sourceOffset, target, length);
    if (result.fault != CopyFault::None)
        return result;
    result.method = CopyMethod::Buffered;
    if (!target.flush()) {
        result.fault = CopyFault::Write;
        result.error = target.errorString();
        return result;
    }
    if (length == 0)
        return result;
    // QFileDevice::handle() is a C runtime descriptor over the file's own handle.
    const HANDLE in = HANDLE(_get_osfhandle(source.handle()));
    const HANDLE out = HANDLE(_get_osfhandle(target.handle()));
    const qint64 size = qMin(length, rangecopy::bufferSize);
    const std::unique_ptr<char[]> buffer(new char[size_t(size)]);
    while (result.copied < length) {
        const qint64 at = sourceOffset + result.copied;
        OVERLAPPED where{};
        where.Offset = DWORD(quint64(at) & 0xFFFFFFFFu);
        where.OffsetHigh = DWORD(quint64(at) >> 32);
        const DWORD want = DWORD(qMin(length - result.copied, size));
        DWORD got = 0;
        if (!ReadFile(in, buffer.get(), want, &got, &where)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF)
                return result; // the source ended
            result.fault = CopyFault::Read;
            result.error = qt_error_string(int(code));
            return result;
        }
        if (got == 0)
            return result;
        DWORD done = 0;
        while (done < got) {
            DWORD put = 0;
            const BOOL ok = WriteFile(out, buffer.get() + done, got - done, &put, nullptr);
            if (!ok || put == 0) {
                result.fault = CopyFault::Write;
                result.error = qt_error_string(int(ok ? ERROR_DISK_FULL : GetLastError()));
                return result;
            }
            done += put;
            result.copied += put;
        }
    }
    return result;
}

// --- the job ---------------------------------------------------------------------------------

struct Job {
    HANDLE handle = nullptr;
};

Job *launcherJob()
{
    // The handle stays open until the process ends; the system then closes it and the job's
    // kill-on-close limit ends every game, however the launcher ended.
    static Job *job = [] {
        auto *j = new Job;
        j->handle = CreateJobObjectW(nullptr, nullptr);
        if (j->handle) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
            info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(j->handle, JobObjectExtendedLimitInformation, &info, sizeof info);
        }
        return j;
    }();
    return job;
}

void prepareJobChild(QProcess &process)
{
    // The process is assigned to the job right after it starts (addToJob).
    Q_UNUSED(process);
}

bool addToJob(Job *job, qint64 pid)
{
    if (!job || !job->handle || pid <= 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_SET_QUOTA, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool ok = AssignProcessToJobObject(job->handle, process);
    CloseHandle(process);
    return ok;
}

void killJob(Job *job)
{
    if (job && job->handle)
        TerminateJobObject(job->handle, 1);
}

QList<qint64> processTree(qint64 pid)
{
    QList<qint64> out;
    if (pid <= 0)
        return out;
    out << pid;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return out;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (Process32FirstW(snap, &entry)) {
        do {
            if (qint64(entry.th32ParentProcessID) == pid && qint64(entry.th32ProcessID) != pid)
                out << qint64(entry.th32ProcessID);
        } while (Process32NextW(snap, &entry));
    }
    CloseHandle(snap);
    return out;
}

int smartAppControlState()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS rc =
        RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy",
                     L"VerifiedAndReputablePolicyState", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return rc == ERROR_SUCCESS ? int(value) : -1;
}

void setBackgroundThreadMode(bool on)
{
    SetThreadPriority(GetCurrentThread(), on ? THREAD_MODE_BACKGROUND_BEGIN : THREAD_MODE_BACKGROUND_END);
}

namespace {
std::function<void()> *terminationHandler = nullptr;

BOOL WINAPI consoleHandler(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (terminationHandler && QCoreApplication::instance())
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { (*terminationHandler)(); }, Qt::QueuedConnection);
    return TRUE;
}
} // namespace

void onTerminationRequest(std::function<void()> handler)
{
    if (terminationHandler)
        return;
    terminationHandler = new std::function<void()>(std::move(handler));
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

QString keyLayoutText(int virtualKey)
{
    const UINT ch = MapVirtualKeyW(UINT(virtualKey), MAPVK_VK_TO_CHAR) & 0x7FFFFFFF;
    return ch > 32 ? QString(QChar(char16_t(ch))) : QString();
}

QString keySystemName(int virtualKey)
{
    const UINT scan = MapVirtualKeyW(UINT(virtualKey), MAPVK_VK_TO_VSC);
    if (scan == 0)
        return QString();
    wchar_t name[64] = {};
    const int n = GetKeyNameTextW(LONG(scan << 16), name, 64);
    return n > 0 ? QString::fromWCharArray(name, n) : QString();
}

void setGameStartOptions(QProcess &process, bool noConsoleWindow, bool minimizedNotActivated)
{
    process.setCreateProcessArgumentsModifier(
        [noConsoleWindow, minimizedNotActivated](QProcess::CreateProcessArguments *a) {
            if (noConsoleWindow)
                a->flags |= CREATE_NO_WINDOW;
            if (minimizedNotActivated) {
                a->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
                a->startupInfo->wShowWindow = SW_SHOWMINNOACTIVE;
            }
        });
}

QString osName()
{
    return QStringLiteral("windows");
}

QString processorName()
{
    wchar_t name[256] = {};
    DWORD size = sizeof name;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                     L"ProcessorNameString", RRF_RT_REG_SZ, nullptr, name, &size) != ERROR_SUCCESS)
        return QString();
    return QString::fromWCharArray(name).trimmed();
}

QString osVersion()
{
    wchar_t product[256] = {}, build[64] = {};
    DWORD size = sizeof product;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName",
                 RRF_RT_REG_SZ, nullptr, product, &size);
    size = sizeof build;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                 L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, build, &size);
    return QStringLiteral("%1 (build %2)")
        .arg(QString::fromWCharArray(product), QString::fromWCharArray(build));
}

int gameExitCode(int exitCode, bool crashed, bool stopping)
{
    // The exit code already says it all: a crash is a negative NTSTATUS, the launcher's kill 0xF291.
    Q_UNUSED(crashed);
    Q_UNUSED(stopping);
    return exitCode;
}

bool fileWriteTime(const QString &path, quint64 *fileTime, qint64 *size)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()),
                              GetFileExInfoStandard, &data))
        return false;
    if (fileTime)
        *fileTime = (quint64(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    if (size)
        *size = qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return true;
}

} // namespace platform
