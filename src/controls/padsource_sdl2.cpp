// PadSource on SDL2's game controller API. The only file of the launcher's controls that includes
// SDL: replacing SDL2 with SDL3 is this file alone.

#include "controls/padsource.h"

#include <SDL.h>

namespace {

class SdlPadSource final : public PadSource {
public:
    bool start() override
    {
        // Before initialising: a thread of SDL's own reads the devices (nothing here pumps SDL's
        // event loop), pads are read while another window is in front, XInput but no raw input or
        // DirectInput, so one pad never shows up twice on Windows.
        SDL_SetHint("SDL_JOYSTICK_THREAD", "1");
        SDL_SetHint("SDL_JOYSTICK_ALLOW_BACKGROUND_EVENTS", "1");
        SDL_SetHint("SDL_JOYSTICK_RAWINPUT", "0");
        SDL_SetHint("SDL_XINPUT_ENABLED", "1");
        SDL_SetHint("SDL_DIRECTINPUT_ENABLED", "0");
        if (SDL_Init(SDL_INIT_GAMECONTROLLER) != 0)
            return false;
        // Nothing reads SDL's queue: keep device events from piling up in it.
        SDL_GameControllerEventState(SDL_IGNORE);
        SDL_JoystickEventState(SDL_IGNORE);
        return true;
    }

    void stop() override { SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER); }

    QList<qint32> padIds() override
    {
        QList<qint32> ids;
        const int n = SDL_NumJoysticks();
        for (int i = 0; i < n; ++i)
            if (SDL_IsGameController(i))
                ids << qint32(SDL_JoystickGetDeviceInstanceID(i));
        return ids;
    }

    Pad open(qint32 id) override
    {
        const int n = SDL_NumJoysticks();
        for (int i = 0; i < n; ++i)
            if (SDL_JoystickGetDeviceInstanceID(i) == id && SDL_IsGameController(i))
                return SDL_GameControllerOpen(i);
        return nullptr;
    }

    bool connected(Pad pad) override
    {
        return SDL_GameControllerGetAttached(static_cast<SDL_GameController *>(pad)) == SDL_TRUE;
    }

    void close(Pad pad) override { SDL_GameControllerClose(static_cast<SDL_GameController *>(pad)); }

    void update() override { SDL_GameControllerUpdate(); }

    bool button(Pad pad, Button button) override
    {
        static constexpr SDL_GameControllerButton map[] = {
            SDL_CONTROLLER_BUTTON_A,
            SDL_CONTROLLER_BUTTON_B,
            SDL_CONTROLLER_BUTTON_START,
            SDL_CONTROLLER_BUTTON_LEFTSHOULDER,
            SDL_CONTROLLER_BUTTON_RIGHTSHOULDER,
            SDL_CONTROLLER_BUTTON_DPAD_UP,
            SDL_CONTROLLER_BUTTON_DPAD_DOWN,
            SDL_CONTROLLER_BUTTON_DPAD_LEFT,
            SDL_CONTROLLER_BUTTON_DPAD_RIGHT,
        };
        return SDL_GameControllerGetButton(static_cast<SDL_GameController *>(pad), map[button]) != 0;
    }

    int axis(Pad pad, Axis axis) override
    {
        return SDL_GameControllerGetAxis(static_cast<SDL_GameController *>(pad),
                                         axis == LeftX ? SDL_CONTROLLER_AXIS_LEFTX
                                                       : SDL_CONTROLLER_AXIS_LEFTY);
    }
};

} // namespace

std::unique_ptr<PadSource> makeSdlPadSource()
{
    return std::make_unique<SdlPadSource>();
}
