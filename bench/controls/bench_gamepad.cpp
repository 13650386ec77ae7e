// bench_gamepad: the cost of one GamepadNav poll (the launcher's window active, nothing pressed:
// the common case) with 1 and 4 virtual pads, and the heap allocations it makes, beside the
// reference of SDL's own state update for the same pads (the least any poll must do). Figures are
// per poll and as a share of the 16 ms period. Runs on the offscreen platform.

#include "controls/gamepadnav.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Every heap allocation of the process, Qt's containers (which use malloc) included.
namespace {
std::atomic<long> g_allocations{0};
}

// AddressSanitizer (the test preset) brings its own allocator: no counting there.
#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *p, std::size_t size);

void *malloc(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void *realloc(void *p, std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

namespace {

SDL_Joystick *attachPad()
{
    SDL_VirtualJoystickDesc desc{};
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    desc.naxes = SDL_CONTROLLER_AXIS_MAX;
    desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    desc.axis_mask = (1u << SDL_CONTROLLER_AXIS_MAX) - 1;
    desc.button_mask = (1u << SDL_CONTROLLER_BUTTON_MAX) - 1;
    const int index = SDL_JoystickAttachVirtualEx(&desc);
    return index >= 0 ? SDL_JoystickOpen(index) : nullptr;
}

struct Figures {
    double nsPerPoll;
    double allocationsPerPoll;
};

template <typename Step> Figures measure(int polls, Step step)
{
    for (int i = 0; i < 1000; ++i) // warm up
        step(i);
    const long before = g_allocations.load();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < polls; ++i)
        step(i);
    const qint64 ns = timer.nsecsElapsed();
    return {double(ns) / polls, double(g_allocations.load() - before) / polls};
}

void print(const char *what, int pads, Figures f)
{
    std::printf("%-36s %d pad(s): %8.2f us per poll, %6.4f %% of 16 ms, %.4f allocations per poll\n", what,
                pads, f.nsPerPoll / 1000.0, f.nsPerPoll / 160000.0, f.allocationsPerPoll);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (SDL_Init(SDL_INIT_GAMECONTROLLER) != 0) {
        std::fprintf(stderr, "SDL: %s\n", SDL_GetError());
        return 1;
    }
    QWidget window;
    window.resize(400, 300);
    window.show();
    window.activateWindow();
    QElapsedTimer wait;
    wait.start();
    while (QApplication::activeWindow() != &window && wait.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (QApplication::activeWindow() != &window) {
        std::fprintf(stderr, "the window did not become active\n");
        return 1;
    }
    const int polls = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::vector<SDL_Joystick *> joysticks;
    for (int pads : {1, 4}) {
        while (int(joysticks.size()) < pads)
            joysticks.push_back(attachPad());
        GamepadNav nav;
        nav.stopTimer();
        qint64 now = 100000;
        nav.pollAt(now); // finds the pads
        if (nav.padCount() != pads) {
            std::fprintf(stderr, "expected %d pads, found %d\n", pads, nav.padCount());
            return 1;
        }
        // Each poll 16 ms after the last, as the timer runs: a rescan once a second.
        const Figures poll = measure(polls, [&](int) { nav.pollAt(now += GamepadNav::PollMs); });
        const Figures reference = measure(polls, [](int) { SDL_GameControllerUpdate(); });
        // Between rescans (the clock held still, so none falls due): the common case.
        const Figures between = measure(polls, [&](int) { nav.pollAt(now); });
        print("GamepadNav::pollAt", pads, poll);
        print("GamepadNav::pollAt, no rescan due", pads, between);
        print("reference: SDL_GameControllerUpdate", pads, reference);
    }
    for (SDL_Joystick *j : joysticks)
        SDL_JoystickClose(j);
    SDL_Quit();
    return 0;
}
