// The suite's support on Windows (built with MinGW-w64, run on Windows or under Wine).

#include "support.h"

#include "platform/win32/text.h"

#include <atomic>
#include <fstream>
#include <thread>

namespace support {

using platform::native::win32::utf8;
using platform::native::win32::wide;

TempDir::TempDir(const std::string &name)
{
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static std::atomic<int> counter{0};
    path = Path(base) / wide("orx-native-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(counter++) + "-" + name);
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

TempDir::~TempDir()
{
    std::error_code ignored;
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
    if (handle) {
        TerminateProcess(HANDLE(handle), 9);
        WaitForSingleObject(HANDLE(handle), 5000);
        CloseHandle(HANDLE(handle));
    }
    if (thread)
        CloseHandle(HANDLE(thread));
}

Child spawnSelf(const std::vector<std::string> &role, const SpawnOptions &options)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --child";
    for (const std::string &arg : role)
        line += L" \"" + wide(arg) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = options.startupFlags;
    startup.wShowWindow = options.showWindow;
    PROCESS_INFORMATION info{};
    const DWORD flags = options.creationFlags | (options.suspended ? CREATE_SUSPENDED : 0);
    Child child;
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &info))
        return child;
    child.pid = info.dwProcessId;
    child.handle = info.hProcess;
    if (options.suspended)
        child.thread = info.hThread;
    else
        CloseHandle(info.hThread);
    return child;
}

void resume(Child &child)
{
    if (child.thread) {
        ResumeThread(HANDLE(child.thread));
        CloseHandle(HANDLE(child.thread));
        child.thread = nullptr;
    }
}

bool alive(std::int64_t pid)
{
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!h)
        return false;
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

int waitExit(Child &child, int ms)
{
    if (!child.handle)
        return -1;
    int code = -1;
    waitUntil([&] { return WaitForSingleObject(HANDLE(child.handle), 0) == WAIT_OBJECT_0; }, ms);
    DWORD exit = 0;
    if (WaitForSingleObject(HANDLE(child.handle), 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(HANDLE(child.handle), &exit))
        code = int(exit);
    return code;
}

void kill(Child &child)
{
    if (child.handle)
        TerminateProcess(HANDLE(child.handle), 9);
}

void killPid(std::int64_t pid)
{
    platform::native::terminateProcessTree(pid);
}

std::int64_t ownPid()
{
    return GetCurrentProcessId();
}

bool waitUntilInJob()
{
    return waitUntil(
        [] {
            BOOL in = FALSE;
            return IsProcessInJob(GetCurrentProcess(), nullptr, &in) && in;
        },
        20000);
}

bool underWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

namespace {

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM w, LPARAM l)
{
    return DefWindowProcW(hwnd, message, w, l);
}

HWND makeWindow(const wchar_t *title, int x, int y, int width, int height, HWND owner)
{
    static const wchar_t *className = [] {
        WNDCLASSW c{};
        c.lpfnWndProc = windowProc;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"OrxSuiteWindow";
        c.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
        RegisterClassW(&c);
        return L"OrxSuiteWindow";
    }();
    return CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, x, y, width, height, owner, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// Handles window messages until killed (bounded like the sleeping children).
void pumpMessages()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < end) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void publish(const Path &path, const std::string &text)
{
    Path tmp = path;
    tmp += ".part";
    writeAll(tmp, text);
    MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string number(HWND hwnd)
{
    return std::to_string(std::uintptr_t(hwnd));
}

} // namespace

int childMain(const std::vector<std::string> &role)
{
    const std::string &name = role.at(0);
    if (name == "windows" && role.size() >= 2) {
        // Two visible unowned windows (big, small), a larger hidden one and a larger visible one
        // owned by the small one: only big and small count, big first.
        HWND big = makeWindow(L"big", 10, 10, 420, 320, nullptr);
        HWND small = makeWindow(L"small", 460, 10, 220, 120, nullptr);
        HWND hidden = makeWindow(L"hidden", 20, 20, 640, 480, nullptr);
        HWND owned = makeWindow(L"owned", 30, 30, 500, 400, small);
        ShowWindow(big, SW_SHOWNOACTIVATE);
        ShowWindow(small, SW_SHOWNOACTIVATE);
        ShowWindow(owned, SW_SHOWNOACTIVATE);
        publish(Path(role[1]),
                number(big) + " " + number(small) + " " + number(hidden) + " " + number(owned));
        pumpMessages();
        return 0;
    }
    if (name == "show" && role.size() >= 2) {
        // A first window shown the way the start options ask.
        HWND window = makeWindow(L"show", 40, 40, 300, 200, nullptr);
        ShowWindow(window, SW_SHOWDEFAULT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        STARTUPINFOW startup{};
        GetStartupInfoW(&startup);
        publish(Path(role[1]), std::string(IsIconic(window) ? "minimized" : "normal") + " " +
                                   (GetForegroundWindow() == window ? "active" : "inactive") + " " +
                                   std::to_string(startup.dwFlags) + " " +
                                   std::to_string(startup.wShowWindow));
        pumpMessages();
        return 0;
    }
    if (name == "console" && role.size() >= 2) {
        publish(Path(role[1]), GetConsoleWindow() ? "console" : "none");
        return 0;
    }
    return commonChildMain(role);
}

} // namespace support
