#pragma once
// What the main window needs from the parts that join it later (the Build game page's work, the
// gamepad navigation, the F3 report sender, the test driver). Each is small so the window's flows
// can be written and tested now; the parts implement them when they land.

#include <QList>
#include <functional>

class GameProcess;

// The Build game page's side of the PLAY flow, the build notice and the release check.
class BuildWork {
public:
    virtual ~BuildWork() = default;
    virtual bool isBusy() const = 0;
    // Builds the game again from what is in place (after an update changed the game).
    virtual void compileAgain() = 0;
};

// The hooks the gamepad navigation calls.
struct GamepadHooks {
    std::function<void(int delta)> stepPage;
    std::function<void()> activate;
    std::function<bool()> busy;
};

// The games an F3 report may come from: the player's game and the two local test instances.
using ReportGames = std::function<QList<GameProcess *>()>;
