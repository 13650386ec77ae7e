#pragma once
// The one way the launcher reaches game controllers: a small interface over the gamepad library,
// so the library (and its version) can be swapped without touching the navigation.

#include <QList>
#include <memory>

class PadSource {
public:
    // The controls the navigation reads, by position (south = A / Cross, east = B / Circle).
    enum Button { South, East, Start, LeftShoulder, RightShoulder, DpadUp, DpadDown, DpadLeft, DpadRight };
    enum Axis { LeftX, LeftY };
    using Pad = void *;

    virtual ~PadSource() = default;
    // Starts the library's gamepad subsystem; false when it cannot start.
    virtual bool start() = 0;
    // Shuts the subsystem down; only after a successful start.
    virtual void stop() = 0;
    // The ids of the gamepads present now (joysticks the library does not know as gamepads are left out).
    virtual QList<qint32> padIds() = 0;
    // Opens a gamepad by id; nullptr when it cannot.
    virtual Pad open(qint32 id) = 0;
    virtual bool connected(Pad pad) = 0;
    virtual void close(Pad pad) = 0;
    // Reads every open pad's current state; the queries below then answer from it.
    virtual void update() = 0;
    virtual bool button(Pad pad, Button button) = 0;
    // -32768 to 32767; Y grows downwards.
    virtual int axis(Pad pad, Axis axis) = 0;
};

// The SDL2 implementation.
std::unique_ptr<PadSource> makeSdlPadSource();
