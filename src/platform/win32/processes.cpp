// Processes on Win32: the job, the process tree, start options, the build script, the console's
// close request, background threads and the registry values the launcher reports.

#include "platform/native.h"
#include "platform/win32/text.h"

#include <algorithm>
#include <tlhelp32.h>

namespace platform::native {

using win32::HandleCloser;
using win32::utf8;

struct Job {
    HANDLE handle = nullptr;
};

Job *createJob()
{
    HANDLE handle = CreateJobObjectW(nullptr, nullptr);
    if (!handle)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &info, sizeof info);
    return new Job{handle};
}

bool addToJob(Job *job, std::int64_t pid)
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

void closeJob(Job *job)
{
    if (!job)
        return;
    if (job->handle)
        CloseHandle(job->handle);
    delete job;
}

std::vector<std::int64_t> processTree(std::int64_t pid)
{
    std::vector<std::int64_t> out;
    if (pid <= 0)
        return out;
    out.push_back(pid);
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return out;
    HandleCloser closer(snap);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (Process32FirstW(snap, &entry)) {
        do {
            if (std::int64_t(entry.th32ParentProcessID) == pid && std::int64_t(entry.th32ProcessID) != pid)
                out.push_back(std::int64_t(entry.th32ProcessID));
        } while (Process32NextW(snap, &entry));
    }
    return out;
}

bool setBackgroundThreadMode(bool on)
{
    return SetThreadPriority(GetCurrentThread(),
                             on ? THREAD_MODE_BACKGROUND_BEGIN : THREAD_MODE_BACKGROUND_END);
}

StartOptions gameStartOptions(bool noConsoleWindow, bool minimizedNotActivated)
{
    StartOptions options;
    if (noConsoleWindow)
        options.creationFlags |= CREATE_NO_WINDOW;
    if (minimizedNotActivated) {
        options.startupFlags |= STARTF_USESHOWWINDOW;
        options.showWindow = SW_SHOWMINNOACTIVE;
    }
    return options;
}

std::wstring buildScriptArguments(const std::wstring &nativeScriptPath, const std::wstring &arguments)
{
    // /s: cmd strips the outer pair of quotes only, so the script's own quotes survive.
    return L"/d /s /c \"\"" + nativeScriptPath + L"\" " + arguments + L"\"";
}

StartOptions buildScriptStartOptions()
{
    return gameStartOptions(true, false);
}

namespace {

// When the process started, or 0 when it cannot be asked.
std::uint64_t creationTime(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    return ok ? (std::uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

} // namespace

void terminateProcessTree(std::int64_t pid)
{
    if (pid <= 0)
        return;
    // Every descendant, from one snapshot: a parent id names the parent only when the child started
    // after it (ids are handed out again once a process has ended).
    std::vector<std::pair<DWORD, DWORD>> links; // process, parent
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
        HandleCloser closer(snap);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        if (Process32FirstW(snap, &entry)) {
            do {
                if (entry.th32ProcessID != entry.th32ParentProcessID)
                    links.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
            } while (Process32NextW(snap, &entry));
        }
    }
    std::vector<std::pair<DWORD, std::uint64_t>> tree{{DWORD(pid), creationTime(DWORD(pid))}};
    for (size_t at = 0; at < tree.size(); ++at) {
        const auto [parent, parentStart] = tree[at];
        for (const auto &[process, itsParent] : links) {
            if (itsParent != parent)
                continue;
            const std::uint64_t start = creationTime(process);
            const bool listed =
                std::any_of(tree.begin(), tree.end(), [&](const auto &t) { return t.first == process; });
            if (!listed && start != 0 && (parentStart == 0 || start >= parentStart))
                tree.emplace_back(process, start);
        }
    }
    // The process first: it starts no new children once stopped; then what it and they had started.
    for (const auto &[id, start] : tree) {
        HANDLE handle = OpenProcess(PROCESS_TERMINATE, FALSE, id);
        if (handle) {
            TerminateProcess(handle, 1);
            CloseHandle(handle);
        }
    }
}

namespace {
std::function<void()> *consoleHandlerFunction = nullptr;

BOOL WINAPI consoleHandler(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    if (consoleHandlerFunction)
        (*consoleHandlerFunction)();
    return TRUE;
}
} // namespace

void onConsoleCloseRequest(std::function<void()> handler)
{
    if (consoleHandlerFunction)
        return;
    consoleHandlerFunction = new std::function<void()>(std::move(handler));
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

namespace {
std::wstring registryText(const wchar_t *key, const wchar_t *value)
{
    wchar_t text[256] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return {};
    return text;
}

std::wstring trimmed(std::wstring s)
{
    const auto first = s.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return {};
    return s.substr(first, s.find_last_not_of(L" \t\r\n") - first + 1);
}
} // namespace

int smartAppControlState()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS rc =
        RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy",
                     L"VerifiedAndReputablePolicyState", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return rc == ERROR_SUCCESS ? int(value) : -1;
}

std::string processorName()
{
    return utf8(
        trimmed(registryText(L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString")));
}

std::string osVersion()
{
    const wchar_t *key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    return utf8(registryText(key, L"ProductName") + L" (build " + registryText(key, L"CurrentBuildNumber") +
                L")");
}

std::wstring systemFolder()
{
    wchar_t root[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    const std::wstring base = n > 0 && n < MAX_PATH ? std::wstring(root, n) : std::wstring(L"C:\\Windows");
    return base + L"\\System32";
}

namespace {
std::wstring singleQuoted(const std::wstring &text)
{
    std::wstring out = L"'";
    for (wchar_t c : text) {
        out += c;
        // PowerShell takes the typographic single quotes for quotes too.
        if (c == L'\'' || (c >= 0x2018 && c <= 0x201B))
            out += c;
    }
    return out + L"'";
}
} // namespace

std::wstring expandArchiveCommand(const std::wstring &archive, const std::wstring &destination)
{
    return L"Expand-Archive -LiteralPath " + singleQuoted(archive) + L" -DestinationPath " +
           singleQuoted(destination) + L" -Force";
}

} // namespace platform::native
