// The window and display contracts, key codes and names, and the start options of a game's first
// window.

#include "suite.h"

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

// --- key codes from key messages -------------------------------------------------------------

CASE(virtualKeyFromMessageTellsSidesAndKeypadKeys)
{
    struct Row {
        const char *what;
        std::uint32_t nativeKey;
        std::uint32_t scanCode;
        int expected;
    };
#ifdef _WIN32
    // A Windows key message: the virtual key, the scan code with the extended-key flag (0x100).
    const Row rows[] = {
        {"left Shift", VK_SHIFT, 0x2a, 160},
        {"right Shift (a scan code of its own)", VK_SHIFT, 0x36, 161},
        {"left Ctrl", VK_CONTROL, 0x1d, 162},
        {"right Ctrl (extended)", VK_CONTROL, 0x11d, 163},
        {"already sided: right Shift", VK_RSHIFT, 0x36, 161},
        {"keypad 7", VK_NUMPAD7, 0x47, 103},
        {"keypad 0", VK_NUMPAD0, 0x52, 96},
        {"keypad *", VK_MULTIPLY, 0x37, 106},
        {"keypad / (extended)", VK_DIVIDE, 0x135, 111},
        {"keypad Enter (extended Return)", VK_RETURN, 0x11c, 13},
        {"Return", VK_RETURN, 0x1c, 13},
        {"right arrow (extended)", VK_RIGHT, 0x14d, 39},
        {"Insert (extended)", VK_INSERT, 0x152, 45},
        {"Alt", VK_MENU, 0x38, 18},
        {"A", 'A', 0x1e, 65},
        {"F5", VK_F5, 0x3f, 116},
        {"no key data", 0, 0, 0},
    };
#else
    // An X11 or Wayland key message: the keysym.
    const Row rows[] = {
        {"left Shift", 0xffe1, 50, 160},
        {"right Shift", 0xffe2, 62, 161},
        {"left Ctrl", 0xffe3, 37, 162},
        {"right Ctrl", 0xffe4, 105, 163},
        {"left Alt", 0xffe9, 64, 164},
        {"AltGr", 0xfe03, 108, 165},
        {"right Super", 0xffec, 134, 92},
        {"keypad 7", 0xffb7, 79, 103},
        {"keypad 0", 0xffb0, 90, 96},
        {"keypad *", 0xffaa, 63, 106},
        {"keypad /", 0xffaf, 106, 111},
        {"keypad Enter", 0xff8d, 104, 13},
        {"keypad decimal", 0xffae, 91, 110},
        {"a: the toolkit's key decides", 0x61, 38, 0},
        {"right arrow: the toolkit's key decides", 0xff53, 114, 0},
        {"no key data", 0, 0, 0},
    };
#endif
    for (const Row &row : rows) {
        std::cout << "  row: " << row.what << std::endl;
        CHECK_EQ(native::virtualKeyFromMessage(row.nativeKey, row.scanCode), row.expected);
    }
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

CASE(foregroundBelongsToOtherProcessFollowsTheWindowInFront)
{
    if (!haveDesktop())
        SKIP("no display: run under Xvfb");
    TempDir dir("front");
    support::Child child = support::spawnSelf({"windows", (dir.path / "hwnds").string()});
    REQUIRE(child.pid > 0);
    std::vector<std::uintptr_t> w;
    support::waitUntil([&] { return (w = readNumbers(dir.path / "hwnds")).size() == 4; }, 20000);
    REQUIRE(w.size() == 4);
    HWND own = CreateWindowExW(0, L"STATIC", L"own", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 300, 200,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(own);
    // Back and forth: the child's big window, ours, the child's small one, ours again.
    struct Step {
        const char *what;
        native::WindowHandle window;
        bool other;
    };
    const Step steps[] = {
        {"the child's big window", w[0], true},
        {"this process's window", native::WindowHandle(own), false},
        {"the child's small window", w[1], true},
        {"this process's window again", native::WindowHandle(own), false},
    };
    std::string wineGap;
    for (const Step &step : steps) {
        std::cout << "  step: " << step.what << std::endl;
        if (!native::forceForeground(step.window, false) && support::underWine() &&
            GetForegroundWindow() == nullptr) {
            // Wine moves the foreground to this thread's window while the input is attached, and
            // loses it again when the input is detached.
            wineGap = "Wine leaves no window in front once forceForeground detaches the input from the "
                      "other process's thread; this process's window was brought forward without it";
            SetForegroundWindow(HWND(step.window));
        }
        REQUIRE(GetForegroundWindow() == HWND(step.window));
        CHECK_EQ(native::foregroundBelongsToOtherProcess(), step.other);
    }
    if (!wineGap.empty())
        std::cout << "  note: " << wineGap << std::endl;
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

CASE(virtualKeyFromMessageOfRealKeyMessages)
{
    if (!haveDesktop())
        SKIP("no display: run under Xvfb");
    HWND own = CreateWindowExW(0, L"STATIC", L"keys", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 300, 200,
                               nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(own);
    REQUIRE(native::forceForeground(native::WindowHandle(own), false));
    SetFocus(own);
    struct Row {
        const char *what;
        WORD vk; // as typed: the sided keys, which the message then carries as the generic one
        WORD scan;
        bool extended;
        int expected;
    };
    const Row rows[] = {
        {"left Shift", VK_LSHIFT, 0x2a, false, 160},  {"right Shift", VK_RSHIFT, 0x36, false, 161},
        {"left Ctrl", VK_LCONTROL, 0x1d, false, 162}, {"right Ctrl", VK_RCONTROL, 0x1d, true, 163},
        {"keypad 7", VK_NUMPAD7, 0x47, false, 103},   {"keypad Enter", VK_RETURN, 0x1c, true, 13},
        {"Insert", VK_INSERT, 0x52, true, 45},        {"A", 'A', 0x1e, false, 65},
    };
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    std::string seen;
    bool arrived = true;
    for (const Row &row : rows) {
        std::cout << "  row: " << row.what << std::endl;
        INPUT in[2]{};
        in[0].type = INPUT_KEYBOARD;
        in[0].ki.wVk = row.vk;
        in[0].ki.wScan = row.scan;
        in[0].ki.dwFlags = row.extended ? KEYEVENTF_EXTENDEDKEY : 0;
        in[1] = in[0];
        in[1].ki.dwFlags |= KEYEVENTF_KEYUP;
        REQUIRE(SendInput(2, in, sizeof(INPUT)) == 2);
        // What Qt keeps of the message: the virtual key, and the scan code with the extended flag.
        std::uint32_t vk = 0, scan = 0;
        bool down = false, up = false;
        support::waitUntil(
            [&] {
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && !down) {
                        down = true;
                        vk = std::uint32_t(msg.wParam);
                        scan = std::uint32_t(msg.lParam >> 16) & 0x1ff;
                    } else if (msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP) {
                        up = true;
                    }
                    DispatchMessageW(&msg);
                }
                return down && up;
            },
            5000);
        if (!down) {
            arrived = false;
            break;
        }
        char data[32];
        std::snprintf(data, sizeof data, " %s=%02x/%03x", row.what, unsigned(vk), unsigned(scan));
        seen += data;
        CHECK_EQ(native::virtualKeyFromMessage(vk, scan), row.expected);
    }
    std::cout << "  messages:" << seen << std::endl;
    DestroyWindow(own);
    if (!arrived && support::underWine())
        SKIP("Wine delivered no key message for SendInput to the window in front");
    CHECK(arrived);
}

#endif
