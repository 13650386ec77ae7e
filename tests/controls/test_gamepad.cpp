// Gamepad navigation through the real SDL2 adapter, driven by SDL's virtual joysticks. The polls
// are given their time, so arming, repeats and hysteresis are checked to the millisecond.
#include "controls/gamepadnav.h"
#include "platform/platform.h"
#include "testutil.h"
#include "xvfb.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QtTest>
#include <SDL.h>
#include <memory>
#include <unistd.h>

using namespace testutil;

namespace {

// One virtual game controller with every standard button and axis.
class VirtualPad {
public:
    VirtualPad()
    {
        SDL_VirtualJoystickDesc desc{};
        desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        desc.naxes = SDL_CONTROLLER_AXIS_MAX;
        desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        desc.axis_mask = (1u << SDL_CONTROLLER_AXIS_MAX) - 1;
        desc.button_mask = (1u << SDL_CONTROLLER_BUTTON_MAX) - 1;
        desc.name = "orx virtual pad";
        const int index = SDL_JoystickAttachVirtualEx(&desc);
        if (index >= 0)
            m_joystick = SDL_JoystickOpen(index);
    }
    ~VirtualPad() { unplug(); }
    bool ok() const { return m_joystick != nullptr; }
    void set(SDL_GameControllerButton button, bool down)
    {
        SDL_JoystickSetVirtualButton(m_joystick, button, down ? 1 : 0);
    }
    void axis(SDL_GameControllerAxis axis, int value)
    {
        SDL_JoystickSetVirtualAxis(m_joystick, axis, Sint16(value));
    }
    void unplug()
    {
        if (!m_joystick)
            return;
        const SDL_JoystickID id = SDL_JoystickInstanceID(m_joystick);
        SDL_JoystickClose(m_joystick);
        m_joystick = nullptr;
        for (int i = 0; i < SDL_NumJoysticks(); ++i)
            if (SDL_JoystickGetDeviceInstanceID(i) == id)
                SDL_JoystickDetachVirtual(i);
    }

private:
    SDL_Joystick *m_joystick = nullptr;
};

// The real adapter whose start fails, as when the system has no gamepad support.
class FailingSource : public PadSource {
public:
    explicit FailingSource(int *stops) : m_real(makeSdlPadSource()), m_stops(stops) {}
    bool start() override { return false; }
    void stop() override { ++*m_stops; }
    QList<qint32> padIds() override { return m_real->padIds(); }
    Pad open(qint32 id) override { return m_real->open(id); }
    bool connected(Pad pad) override { return m_real->connected(pad); }
    void close(Pad pad) override { m_real->close(pad); }
    void update() override { m_real->update(); }
    bool button(Pad pad, Button b) override { return m_real->button(pad, b); }
    int axis(Pad pad, Axis a) override { return m_real->axis(pad, a); }

private:
    std::unique_ptr<PadSource> m_real;
    int *m_stops;
};

// A window of widgets placed by hand, named by the test.
struct Window {
    QWidget widget;
    QWidget *add(QWidget *w, const QString &name, QRect rect)
    {
        w->setParent(&widget);
        w->setObjectName(name);
        w->setGeometry(rect);
        w->setFocusPolicy(Qt::StrongFocus);
        return w;
    }
    QPushButton *button(const QString &name, QRect rect)
    {
        return static_cast<QPushButton *>(add(new QPushButton(name), name, rect));
    }
};

bool showActive(QWidget *window)
{
    window->show();
    window->activateWindow();
    return waitFor([window] { return QApplication::activeWindow() == window; });
}

QString focusName()
{
    QWidget *f = QApplication::focusWidget();
    return f ? f->objectName() : QString();
}

} // namespace

class TestGamepad : public QObject {
    Q_OBJECT

    std::unique_ptr<GamepadNav> nav;
    qint64 now = 0;

    // A navigation with its timer stopped and its pads found (a rescan is due at once).
    void makeNav()
    {
        nav = std::make_unique<GamepadNav>();
        QVERIFY(nav->started());
        nav->stopTimer();
        now = 100000;
        nav->pollAt(now);
    }
    void poll(qint64 ms = GamepadNav::PollMs)
    {
        now += ms;
        nav->pollAt(now);
    }
    // Navigation comes on at this poll and is past its arming time at the next.
    void arm()
    {
        poll();
        poll(GamepadNav::ArmingMs);
    }
    // Presses and releases one button over two polls.
    void tap(VirtualPad &pad, SDL_GameControllerButton button)
    {
        pad.set(button, true);
        poll();
        pad.set(button, false);
        poll();
    }

private slots:
    void cleanup()
    {
        nav.reset();
        for (QWidget *w : QApplication::topLevelWidgets())
            w->hide();
    }

    void focusMovesByGeometry_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("dx");
        QTest::addColumn<int>("dy");
        QTest::addColumn<QString>("expected");
        // Layout (x, y, w, h): a 10,10,100,30   b 130,14,60,30   c 10,60,40,30   d 80,100,120,30
        //                      e 230,8,40,80 (right of b, overlaps b's row)   f 8,200,300,30
        QTest::newRow("right: nearest on the row") << "a" << 1 << 0 << "b";
        QTest::newRow("right from b") << "b" << 1 << 0 << "e";
        QTest::newRow("left from e") << "e" << -1 << 0 << "b";
        QTest::newRow("down: side gap weighs triple") << "a" << 0 << 1 << "c";
        QTest::newRow("down from b") << "b" << 0 << 1 << "d";
        QTest::newRow("down from d") << "d" << 0 << 1 << "f";
        QTest::newRow("up from f") << "f" << 0 << -1 << "d";
        QTest::newRow("up from c") << "c" << 0 << -1 << "a";
        QTest::newRow("left from a: nothing") << "a" << -1 << 0 << "";
        QTest::newRow("up from a: nothing") << "a" << 0 << -1 << "";
        QTest::newRow("no focus: smallest 4y+x") << "" << 0 << 1 << "a";
    }
    void focusMovesByGeometry()
    {
        QFETCH(QString, start);
        QFETCH(int, dx);
        QFETCH(int, dy);
        QFETCH(QString, expected);
        Window w;
        w.widget.resize(400, 300);
        w.button("a", {10, 10, 100, 30});
        w.button("b", {130, 14, 60, 30});
        w.button("c", {10, 60, 40, 30});
        w.button("d", {80, 100, 120, 30});
        w.button("e", {230, 8, 40, 80});
        w.button("f", {8, 200, 300, 30});
        QVERIFY(showActive(&w.widget));
        if (!start.isEmpty()) {
            w.widget.findChild<QWidget *>(start)->setFocus();
            QTRY_COMPARE(focusName(), start);
        } else if (QApplication::focusWidget()) {
            QApplication::focusWidget()->clearFocus();
            QVERIFY(!w.widget.focusWidget());
        }
        QWidget *target = GamepadNav::focusTarget(&w.widget, dx, dy);
        QCOMPARE(target ? target->objectName() : QString(), expected);
    }

    void candidatesAndTheirRules_data()
    {
        QTest::addColumn<int>("overlap");
        QTest::addColumn<bool>("reached");
        // A second button right of the focus, overlapping it by `overlap` pixels.
        QTest::newRow("touching") << 0 << true;
        QTest::newRow("4 px behind") << 4 << true;
        QTest::newRow("5 px behind") << 5 << false;
    }
    void candidatesAndTheirRules()
    {
        QFETCH(int, overlap);
        QFETCH(bool, reached);
        Window w;
        w.widget.resize(400, 200);
        QPushButton *a = w.button("a", {10, 10, 100, 30});
        w.button("b", {110 - overlap, 50, 100, 30});
        // Never candidates: hidden, disabled, no tab focus, a text editor.
        w.button("hidden", {120, 10, 20, 20})->hide();
        w.button("disabled", {120, 10, 20, 20})->setEnabled(false);
        w.button("nofocus", {120, 10, 20, 20})->setFocusPolicy(Qt::ClickFocus);
        w.add(new QPlainTextEdit, "editor", {120, 10, 20, 20});
        QVERIFY(showActive(&w.widget));
        a->setFocus();
        QTRY_VERIFY(a->hasFocus());
        QWidget *target = GamepadNav::focusTarget(&w.widget, 1, 0);
        QCOMPARE(target ? target->objectName() : QString(), reached ? QStringLiteral("b") : QString());
    }

    void defaultButtonWithoutFocus()
    {
        Window w;
        w.widget.resize(300, 200);
        w.button("first", {10, 10, 50, 30});
        w.button("ok", {200, 150, 50, 30})->setDefault(true);
        QVERIFY(showActive(&w.widget));
        QCOMPARE(GamepadNav::focusTarget(&w.widget, 0, 1)->objectName(), QStringLiteral("ok"));
    }

    void padMovesFocusRepeatsAndScrollsIntoView()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        QScrollArea area;
        auto *content = new QWidget;
        auto *column = new QVBoxLayout(content);
        QList<QPushButton *> buttons;
        for (int i = 0; i < 30; ++i) {
            buttons << new QPushButton(QString::number(i));
            buttons.last()->setObjectName(QString::number(i));
            buttons.last()->setFixedHeight(40);
            column->addWidget(buttons.last());
        }
        area.setWidget(content);
        area.setWidgetResizable(true);
        area.resize(300, 200);
        QVERIFY(showActive(&area));
        buttons.first()->setFocus();
        QTRY_VERIFY(buttons.first()->hasFocus());
        makeNav();
        QCOMPARE(nav->padCount(), 1);
        arm();

        // Held down: once at the press, again at 380 ms, then every 110 ms.
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_DOWN, true);
        const qint64 pressed = now + GamepadNav::PollMs;
        poll();
        QCOMPARE(focusName(), QStringLiteral("1"));
        const QList<QPair<qint64, QString>> steps{{379, "1"}, {380, "2"},  {489, "2"},  {490, "3"},
                                                  {599, "3"}, {600, "4"},  {710, "5"},  {820, "6"},
                                                  {930, "7"}, {1040, "8"}, {1149, "8"}, {1150, "9"}};
        for (const auto &[at, expected] : steps) {
            now = pressed + at - 1;
            poll(1);
            QCOMPARE(focusName(), expected);
        }
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_DOWN, false);
        poll();
        QCOMPARE(focusName(), QStringLiteral("9"));
        // The focus was scrolled into view, 24 px clear of the edge.
        QWidget *focus = QApplication::focusWidget();
        const QRect inViewport(focus->mapTo(area.viewport(), QPoint(0, 0)), focus->size());
        QVERIFY(area.verticalScrollBar()->value() > 0);
        QVERIFY(inViewport.bottom() < area.viewport()->height());
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_UP);
        QCOMPARE(focusName(), QStringLiteral("8"));

        // A late poll performs a repeat once, not every one it missed.
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_UP, true);
        poll();
        QCOMPARE(focusName(), QStringLiteral("7"));
        poll(2000);
        QCOMPARE(focusName(), QStringLiteral("6"));
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_UP, false);
        poll();
    }

    void heldAtArmingWaitsForRelease()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        Window w;
        w.widget.resize(200, 100);
        QPushButton *b = w.button("b", {10, 10, 100, 30});
        int clicks = 0;
        connect(b, &QPushButton::clicked, [&] { ++clicks; });
        makeNav();
        // A is held while no launcher window is active.
        pad.set(SDL_CONTROLLER_BUTTON_A, true);
        poll();
        QVERIFY(showActive(&w.widget));
        b->setFocus();
        for (int i = 0; i < 40; ++i)
            poll();
        QTest::qWait(200); // an animated click would land within 100 ms
        QCOMPARE(clicks, 0);
        pad.set(SDL_CONTROLLER_BUTTON_A, false);
        poll();
        // A press in the first 250 ms after arming is held too; one after them clicks.
        pad.set(SDL_CONTROLLER_BUTTON_A, true);
        poll();
        pad.set(SDL_CONTROLLER_BUTTON_A, false);
        poll();
        QTRY_COMPARE(clicks, 1);

        bool paused = true;
        nav->isPaused = [&] { return paused; };
        poll(); // off
        paused = false;
        poll(); // armed now
        now += GamepadNav::ArmingMs - GamepadNav::PollMs - 1;
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTest::qWait(200);
        QCOMPARE(clicks, 1);
        poll(GamepadNav::ArmingMs);
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_COMPARE(clicks, 2);
    }

    void stickHysteresis_data()
    {
        QTest::addColumn<QList<int>>("ys");
        QTest::addColumn<QList<bool>>("down");
        QTest::newRow("15000 from rest") << QList<int>{15000} << QList<bool>{false};
        QTest::newRow("15000 after 25000") << QList<int>{25000, 15000} << QList<bool>{true, true};
        QTest::newRow("11999 after 25000") << QList<int>{25000, 11999} << QList<bool>{true, false};
        QTest::newRow("12000 is not above") << QList<int>{25000, 12000} << QList<bool>{true, false};
        QTest::newRow("20000 is not above") << QList<int>{20000, 20001} << QList<bool>{false, true};
        QTest::newRow("up side") << QList<int>{-25000, -15000, -11000} << QList<bool>{false, false, false};
    }
    void stickHysteresis()
    {
        QFETCH(QList<int>, ys);
        QFETCH(QList<bool>, down);
        VirtualPad pad;
        QVERIFY(pad.ok());
        makeNav();
        for (int i = 0; i < ys.size(); ++i) {
            pad.axis(SDL_CONTROLLER_AXIS_LEFTY, ys.at(i));
            poll();
            QCOMPARE(bool(nav->rawMask() & GamepadNav::Down), down.at(i));
            if (ys.at(i) < 0)
                QCOMPARE(bool(nav->rawMask() & GamepadNav::Up), i < 2);
        }
        pad.axis(SDL_CONTROLLER_AXIS_LEFTX, 30000);
        poll();
        QCOMPARE(nav->rawMask() & (GamepadNav::Left | GamepadNav::Right), quint32(GamepadNav::Right));
        pad.axis(SDL_CONTROLLER_AXIS_LEFTX, -30000);
        poll();
        QCOMPARE(nav->rawMask() & (GamepadNav::Left | GamepadNav::Right), quint32(GamepadNav::Left));
    }

    void backClosesDialogsUnlessKept_data()
    {
        QTest::addColumn<QVariant>("keep");
        QTest::addColumn<bool>("closed");
        QTest::newRow("plain dialog") << QVariant() << true;
        QTest::newRow("kept false") << QVariant(false) << true;
        QTest::newRow("kept") << QVariant(true) << false;
    }
    void backClosesDialogsUnlessKept()
    {
        QFETCH(QVariant, keep);
        QFETCH(bool, closed);
        VirtualPad pad;
        QVERIFY(pad.ok());
        QWidget main;
        main.resize(300, 200);
        QVERIFY(showActive(&main));
        QDialog dialog(&main);
        if (keep.isValid())
            dialog.setProperty("padKeepsFromBack", keep);
        auto *ok = new QPushButton(QStringLiteral("OK"), &dialog);
        ok->setFocusPolicy(Qt::StrongFocus);
        int starts = 0;
        QList<int> steps;
        makeNav();
        nav->onStart = [&] { ++starts; };
        nav->onPageStep = [&](int d) { steps << d; };
        QVERIFY(showActive(&dialog));
        arm();
        // Start and the shoulders do nothing in a dialog.
        tap(pad, SDL_CONTROLLER_BUTTON_START);
        tap(pad, SDL_CONTROLLER_BUTTON_LEFTSHOULDER);
        QCOMPARE(starts, 0);
        QVERIFY(steps.isEmpty());
        tap(pad, SDL_CONTROLLER_BUTTON_B);
        QCOMPARE(dialog.isVisible(), !closed);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void startAndShouldersReachTheHooks()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        QWidget main;
        main.resize(300, 200);
        int starts = 0;
        QList<int> steps;
        bool paused = false;
        makeNav();
        nav->onStart = [&] { ++starts; };
        nav->onPageStep = [&](int d) { steps << d; };
        nav->isPaused = [&] { return paused; };
        QVERIFY(showActive(&main));
        arm();
        tap(pad, SDL_CONTROLLER_BUTTON_START);
        tap(pad, SDL_CONTROLLER_BUTTON_RIGHTSHOULDER);
        tap(pad, SDL_CONTROLLER_BUTTON_LEFTSHOULDER);
        // Held shoulders and Start do not repeat.
        pad.set(SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, true);
        poll();
        poll(1000);
        pad.set(SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, false);
        poll();
        QCOMPARE(starts, 1);
        QCOMPARE(steps, (QList<int>{1, -1, 1}));
        // Paused: nothing, and arming starts again afterwards.
        paused = true;
        tap(pad, SDL_CONTROLLER_BUTTON_START);
        paused = false;
        tap(pad, SDL_CONTROLLER_BUTTON_START);
        QCOMPARE(starts, 1);
        poll(GamepadNav::ArmingMs);
        tap(pad, SDL_CONTROLLER_BUTTON_START);
        QCOMPARE(starts, 2);
    }

    void comboListAndItemView()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        Window w;
        w.widget.resize(400, 300);
        auto *combo = static_cast<QComboBox *>(w.add(new QComboBox, "combo", {10, 10, 150, 30}));
        combo->addItems({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")});
        auto *list = static_cast<QListWidget *>(w.add(new QListWidget, "list", {10, 60, 150, 100}));
        list->addItems({QStringLiteral("a"), QStringLiteral("b")});
        w.button("below", {10, 200, 150, 30});
        QVERIFY(showActive(&w.widget));
        combo->setFocus();
        QTRY_VERIFY(combo->hasFocus());
        makeNav();
        arm();

        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_VERIFY(QApplication::activePopupWidget());
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_UP);
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QCOMPARE(combo->currentIndex(), 1);
        // B closes an open list without choosing.
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_VERIFY(QApplication::activePopupWidget());
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        tap(pad, SDL_CONTROLLER_BUTTON_B);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        QCOMPARE(combo->currentIndex(), 1);

        // Into the list: down moves inside it while its current item changes, then out of it.
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        QCOMPARE(focusName(), QStringLiteral("list"));
        list->setCurrentRow(0);
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        QCOMPARE(focusName(), QStringLiteral("list"));
        QCOMPARE(list->currentRow(), 1);
        tap(pad, SDL_CONTROLLER_BUTTON_DPAD_DOWN);
        QCOMPARE(focusName(), QStringLiteral("below"));
    }

    void twoPadsUnplugAndPlug()
    {
        auto first = std::make_unique<VirtualPad>();
        VirtualPad second;
        QVERIFY(first->ok() && second.ok());
        makeNav();
        QCOMPARE(nav->padCount(), 2);
        first->set(SDL_CONTROLLER_BUTTON_A, true);
        second.set(SDL_CONTROLLER_BUTTON_DPAD_LEFT, true);
        poll();
        QCOMPARE(nav->rawMask(), quint32(GamepadNav::Accept | GamepadNav::Left));
        first->unplug();
        poll();
        QCOMPARE(nav->rawMask(), quint32(GamepadNav::Left));
        poll(GamepadNav::RescanMs);
        QCOMPARE(nav->padCount(), 1);
        VirtualPad third;
        QVERIFY(third.ok());
        third.set(SDL_CONTROLLER_BUTTON_B, true);
        poll();
        QCOMPARE(nav->padCount(), 1); // not before the next rescan
        poll(GamepadNav::RescanMs);
        QCOMPARE(nav->padCount(), 2);
        QCOMPARE(nav->rawMask(), quint32(GamepadNav::Back | GamepadNav::Left));
    }

    void subsystemThatDoesNotStart()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        int stops = 0;
        {
            GamepadNav idle(nullptr, std::make_unique<FailingSource>(&stops));
            QVERIFY(!idle.started());
            idle.pollAt(5000);
            QCOMPARE(idle.padCount(), 0);
            QCOMPARE(idle.rawMask(), 0u);
        }
        QCOMPARE(stops, 0);
    }

    // Run under an X server of its own (no window manager): another process's window in front
    // turns navigation off, and ours back in front arms it again.
    void otherProcessInFront()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server: the run with ORX_TEST_XVFB=1 has one");
        VirtualPad pad;
        QVERIFY(pad.ok());
        Window w;
        w.widget.resize(300, 200);
        QPushButton *b = w.button("b", {10, 10, 100, 30});
        int clicks = 0;
        connect(b, &QPushButton::clicked, [&] { ++clicks; });
        QVERIFY(platform::showAndActivate(&w.widget));
        QVERIFY(waitFor([&] { return QApplication::activeWindow() == &w.widget; }));
        b->setFocus();
        makeNav();
        arm();
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_COMPARE(clicks, 1);

        QProcess other;
        other.start(QCoreApplication::applicationDirPath() + QStringLiteral("/window-probe"),
                    {QStringLiteral("320x240")});
        QVERIFY(other.waitForStarted());
        quint64 id = 0;
        QVERIFY(waitFor(
            [&] {
                while (other.canReadLine()) {
                    const QList<QByteArray> parts = other.readLine().split(' ');
                    if (parts.size() == 3 && parts.first() == "window")
                        id = parts.at(1).toULongLong();
                }
                return id != 0;
            },
            30000));
        QVERIFY(platform::forceForeground(id));
        QVERIFY(waitFor([] { return platform::foregroundIsOtherProcess(); }));
        poll(); // off
        poll(GamepadNav::ArmingMs);
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTest::qWait(200); // an animated click would land within 100 ms
        QCOMPARE(clicks, 1);

        QVERIFY(platform::forceForeground(w.widget.winId()));
        QVERIFY(
            waitFor([&] { return !platform::foregroundIsOtherProcess() && QApplication::activeWindow(); }));
        arm();
        tap(pad, SDL_CONTROLLER_BUTTON_A);
        QTRY_COMPARE(clicks, 2);
        other.kill();
        other.waitForFinished();
    }

    void realTimer()
    {
        VirtualPad pad;
        QVERIFY(pad.ok());
        Window w;
        w.widget.resize(300, 200);
        w.button("top", {10, 10, 100, 30})->setFocus();
        w.button("bottom", {10, 100, 100, 30});
        QVERIFY(showActive(&w.widget));
        nav = std::make_unique<GamepadNav>();
        QTest::qWait(GamepadNav::ArmingMs + 50);
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_DOWN, true);
        QTRY_COMPARE(focusName(), QStringLiteral("bottom"));
        pad.set(SDL_CONTROLLER_BUTTON_DPAD_DOWN, false);
    }
};

// With ORX_TEST_XVFB=1: an X server of its own, and only the cases that need one.
int main(int argc, char **argv)
{
    TestArgs args(argc, argv, "otherProcessInFront");
    if (!args.ok())
        return 2;
    QApplication app(args.count, args.argv());
    // The adapter's subsystem comes and goes with each navigation; the virtual pads need the
    // joystick subsystem the whole time.
    if (SDL_Init(SDL_INIT_GAMECONTROLLER) != 0) {
        std::fprintf(stderr, "SDL: %s\n", SDL_GetError());
        return 2;
    }
    TestGamepad tests;
    const int code = QTest::qExec(&tests, args.count, args.argv());
    SDL_Quit();
    return code;
}

#include "test_gamepad.moc"
