#pragma once
// Drives the launcher's own window with a game controller: the d-pad or left stick moves the focus,
// A clicks, B closes a dialog, Start and the shoulders reach the main window through its hooks.
// Acts only while the launcher's window is in front (unless ORX_PAD_ANY_WINDOW is set).

#include "controls/padsource.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <array>
#include <functional>

class QWidget;

class GamepadNav : public QObject {
    Q_OBJECT
public:
    enum Action : quint32 {
        Up = 0x1,
        Down = 0x2,
        Left = 0x4,
        Right = 0x8,
        Accept = 0x10,
        Back = 0x20,
        Start = 0x40,
        PreviousPage = 0x80,
        NextPage = 0x100,
    };
    static constexpr int ActionCount = 9;
    static constexpr int PollMs = 16;
    static constexpr int StickPress = 20000;
    static constexpr int StickHold = 12000;
    static constexpr int ArmingMs = 250;
    static constexpr int RepeatDelayMs = 380;
    static constexpr int RepeatEveryMs = 110;
    static constexpr int RescanMs = 1000;

    // Starts the pads' subsystem through `source` (the SDL one when null) and, when it starts, the
    // poll timer. When it does not start the object stays idle.
    explicit GamepadNav(QObject *parent = nullptr, std::unique_ptr<PadSource> source = nullptr);
    ~GamepadNav() override;

    std::function<void(int)> onPageStep;
    std::function<void()> onStart;
    std::function<bool()> isPaused;

    bool started() const { return m_started; }
    int padCount() const { return int(m_pads.size()); }
    // The last raw action mask, all pads together.
    quint32 rawMask() const { return m_raw; }

    // One poll at the given monotonic time in ms; the timer calls it with the real clock. Tests
    // call it directly (with the timer stopped) so arming and repeats are exact.
    void pollAt(qint64 nowMs);
    void stopTimer() { m_timer.stop(); }

    // The widget the focus moves to from the window's focus widget by (dx, dy); null for none.
    // Exposed for the tests of the geometry rule.
    static QWidget *focusTarget(QWidget *window, int dx, int dy);
    static bool isNavigable(const QWidget *widget);

private:
    void rescan();
    quint32 readMask();
    void perform(quint32 action);
    void moveFocus(int dx, int dy);

    struct OpenPad {
        qint32 id;
        PadSource::Pad pad;
    };

    std::unique_ptr<PadSource> m_source;
    QList<OpenPad> m_pads;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_started = false;
    bool m_anyWindow = false;
    qint64 m_lastRescan = 0;
    qint64 m_armedAt = 0;
    bool m_armed = false;
    quint32 m_raw = 0;
    quint32 m_held = 0;
    quint32 m_pressed = 0;
    std::array<qint64, ActionCount> m_pressedAt{};
    std::array<int, ActionCount> m_repeats{};
};
