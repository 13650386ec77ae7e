// The keyboard editor with its real key dialog: keys captured from key events, the move rule and
// its status texts, the file written at once (read back with the file parser), and failed saves.
#include "controls/controlsfile.h"
#include "controls/keyboardbox.h"
#include "controls/keydialog.h"
#include "controls/keynames.h"
#include "core/cfg.h"
#include "core/log.h"
#include "platform/platform.h"
#include "testutil.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>

using namespace testutil;

namespace {

Controls fileControls()
{
    return parseControlsFile(readAll(controlsPath()));
}

// Sends a key press as the window system would: Qt key, modifiers and native key data.
void sendPress(QWidget *target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, quint32 scan = 0,
               quint32 nativeKey = 0)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, scan, nativeKey, 0);
    QCoreApplication::sendEvent(target, &press);
}

// Clicks a key button and, once its dialog is up, lets `act` work on it. Returns what the dialog
// showed as its hint after `act`.
QString throughDialog(QPushButton *keyButton, const std::function<void(KeyDialog *)> &act)
{
    QString hint;
    bool acted = false;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<KeyDialog *>(QApplication::activeModalWidget());
        if (!dialog || acted)
            return;
        acted = true;
        QPointer<KeyDialog> guard(dialog);
        act(dialog);
        if (guard) {
            hint = dialog->hint();
            if (dialog->isVisible())
                dialog->reject();
        }
    });
    timer.start();
    keyButton->click(); // runs the dialog
    return hint;
}

const QString RightShiftX11 = QStringLiteral("right shift (X11)");

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        cfg::setAppDirForTesting(m_dir.path());
        cfg::init(m_dir.filePath(QStringLiteral("data/orx-launcher.ini")));
        QVERIFY(cfg::isOpen());
    }
    void cleanupTestCase() { cfg::resetForTesting(); }
    void init()
    {
        QFile::remove(controlsPath());
        QDir(controlsPath()).removeRecursively();
    }

    void keyCodesOfKeyEvents_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<uint>("nativeKey");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("accepted");
        // X11 events carry the keysym; programs' events only the Qt key.
        QTest::newRow("Shift_R keysym")
            << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << 0xffe2u << 161 << 161;
        QTest::newRow("Shift_L keysym")
            << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << 0xffe1u << 160 << 160;
        QTest::newRow("Control_R keysym") << int(Qt::Key_Control) << 0 << 0xffe4u << 163 << 163;
        QTest::newRow("Shift, no native data") << int(Qt::Key_Shift) << 0 << 0u << 160 << 160;
        QTest::newRow("Ctrl, no native data") << int(Qt::Key_Control) << 0 << 0u << 162 << 162;
        QTest::newRow("KP_5 keysym") << int(Qt::Key_5) << int(Qt::KeypadModifier) << 0xffb5u << 101 << 101;
        QTest::newRow("keypad 5, no native data")
            << int(Qt::Key_5) << int(Qt::KeypadModifier) << 0u << 101 << 101;
        QTest::newRow("letter") << int(Qt::Key_J) << 0 << 0x6au << int('J') << int('J');
        QTest::newRow("space") << int(Qt::Key_Space) << 0 << 0x20u << 32 << 32;
        QTest::newRow("F5") << int(Qt::Key_F5) << 0 << 0xffc2u << 116 << 116;
        QTest::newRow("F6 refused") << int(Qt::Key_F6) << 0 << 0xffc3u << 117 << 0;
        QTest::newRow("F12 refused") << int(Qt::Key_F12) << 0 << 0xffc9u << 123 << 0;
        QTest::newRow("F13") << int(Qt::Key_F13) << 0 << 0u << 124 << 124;
        QTest::newRow("Super_L refused") << int(Qt::Key_Super_L) << 0 << 0xffebu << 91 << 0;
        QTest::newRow("Super_R refused") << int(Qt::Key_Super_R) << 0 << 0xffecu << 92 << 0;
        QTest::newRow("Menu refused") << int(Qt::Key_Menu) << 0 << 0xff67u << 93 << 0;
        QTest::newRow("no code") << int(Qt::Key_VolumeUp) << 0 << 0u << 0 << 0;
    }
    void keyCodesOfKeyEvents()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(uint, nativeKey);
        QFETCH(int, code);
        QFETCH(int, accepted);
#ifdef _WIN32
        if (nativeKey != 0)
            QSKIP("X11's native data (a keysym); the Win32 platform suite checks real Windows key messages");
#endif
        const QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), 0, nativeKey, 0);
        QCOMPARE(platform::virtualKeyCode(event), code);
        QCOMPARE(KeyDialog::acceptedCode(code), accepted);
    }

    void editingKeys_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("press"); // a Qt key name, RightShiftX11, "nokey", or "F8"
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<int>("other");
        QTest::addColumn<QList<int>>("otherKeys");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("hint");
        QTest::newRow("Space to x moves it from a")
            << int(XboxX) << 0 << "Space" << QList<int>{32} << int(XboxA) << QList<int>{'K'}
            << "X (Horizontal attack) presses Space now, no longer A (Guard)."
            << "";
        QTest::newRow("the other slot's key") << int(XboxUp) << 0 << "W" << QList<int>{'W'} << int(XboxDown)
                                              << QList<int>{40, 'S'} << "D-pad up (Jump) presses W."
                                              << "";
        QTest::newRow("a second key appended")
            << int(XboxB) << 1 << "Space" << QList<int>{'L', 32} << int(XboxA) << QList<int>{'K'}
            << "B (Kick) presses Space now, no longer A (Guard)."
            << "";
        QTest::newRow("F8 refused, then Esc")
            << int(XboxY) << 0 << "F8" << QList<int>{'I'} << int(XboxA) << QList<int>{'K', 32} << ""
            << "F8 is kept for Windows or the game; press another key. Esc cancels.";
        QTest::newRow("right Shift") << int(XboxB) << 1 << RightShiftX11 << QList<int>{'L', 161} << int(XboxA)
                                     << QList<int>{'K', 32} << "B (Kick) presses Right Shift."
                                     << "";
        QTest::newRow("no key, empty slot") << int(XboxLs) << 0 << "nokey" << QList<int>{} << int(XboxRs)
                                            << QList<int>{} << "Left stick click has one key less."
                                            << "";
        QTest::newRow("no key, first slot") << int(XboxUp) << 0 << "nokey" << QList<int>{'W'} << int(XboxDown)
                                            << QList<int>{40, 'S'} << "D-pad up (Jump) has one key less."
                                            << "";
    }
    void editingKeys()
    {
        QFETCH(int, button);
        QFETCH(int, slot);
        QFETCH(QString, press);
        QFETCH(QList<int>, keys);
        QFETCH(int, other);
        QFETCH(QList<int>, otherKeys);
        QFETCH(QString, status);
        QFETCH(QString, hint);
#ifdef _WIN32
        if (press == RightShiftX11)
            QSKIP("an X11 key event (keysym and keycode); the Win32 platform suite checks real Windows key "
                  "messages");
#endif

        KeyboardBox box;
        box.show();
        const QByteArray before = readAll(controlsPath());
        const QString shownHint = throughDialog(box.keyButton(button, slot), [&](KeyDialog *dialog) {
            if (press == QLatin1String("nokey")) {
                for (QPushButton *b : dialog->findChildren<QPushButton *>())
                    if (b->text() == QLatin1String("No key"))
                        b->click();
            } else if (press == RightShiftX11) {
                // As xcb delivers it: the keysym Shift_R as native key, keycode 62.
                sendPress(dialog, Qt::Key_Shift, Qt::ShiftModifier, 62, 0xffe2);
            } else if (press == QLatin1String("F8")) {
                sendPress(dialog, Qt::Key_F8);
                QVERIFY(dialog->isVisible());
                const QString refused = dialog->hint();
                sendPress(dialog, Qt::Key_Escape);
                QVERIFY(!dialog->isVisible());
                QCOMPARE(dialog->result(), int(KeyDialog::Cancelled));
                QCOMPARE(refused, QStringLiteral(
                                      "F8 is kept for Windows or the game; press another key. Esc cancels."));
            } else {
                sendPress(dialog, QKeySequence::fromString(press)[0].key());
            }
        });
        Q_UNUSED(shownHint);
        const Controls inFile = fileControls();
        QCOMPARE(inFile.keys[button], keys);
        QCOMPARE(inFile.keys[other], otherKeys);
        QCOMPARE(box.controls().keys[button], keys);
        QCOMPARE(box.status()->text(), status);
        if (status.isEmpty())
            QCOMPARE(readAll(controlsPath()), before); // nothing saved
        else
            QVERIFY(QFile::exists(controlsPath()));
        if (!status.isEmpty())
            QCOMPARE(box.status()->objectName(), QStringLiteral("Muted"));
        QCOMPARE(box.keyButton(button, 0)->text(),
                 keys.isEmpty() ? QStringLiteral("\u2014") : keyShownName(keys.at(0)));
        if (!hint.isEmpty())
            QVERIFY(!box.status()->text().contains(hint));
    }

    void dialogHints()
    {
        KeyDialog withKey(QStringLiteral("A (Guard)"), 'K');
        QCOMPARE(withKey.hint(), QStringLiteral("It is K now. Esc cancels."));
        KeyDialog empty(QStringLiteral("Left stick click"), 0);
        QCOMPARE(empty.hint(), QStringLiteral("Esc cancels."));
        // Its buttons never take the keyboard, and shortcuts of the window do not fire.
        for (QPushButton *b : withKey.findChildren<QPushButton *>()) {
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
            QVERIFY(!b->isDefault() && !b->autoDefault());
        }
        QKeyEvent override(QEvent::ShortcutOverride, Qt::Key_Q, Qt::ControlModifier);
        override.ignore();
        QCoreApplication::sendEvent(&withKey, &override);
        QVERIFY(override.isAccepted());
    }

    void defaultKeysAndTheCheckBox()
    {
        KeyboardBox box;
        box.show();
        box.keyboardCheck()->click();
        QCOMPARE(fileControls().keyboard, false);
        throughDialog(box.keyButton(XboxA, 0), [](KeyDialog *d) { sendPress(d, Qt::Key_Q); });
        QCOMPARE(fileControls().keys[XboxA], (QList<int>{'Q', 32}));
        for (QPushButton *b : box.findChildren<QPushButton *>())
            if (b->text() == QLatin1String("Default keys"))
                b->click();
        const Controls c = fileControls();
        QVERIFY(c.keyboard);
        for (int b = 0; b < XboxButtonCount; ++b)
            QCOMPARE(c.keys[b], defaultKeys(b));
        QVERIFY(box.keyboardCheck()->isChecked());
        QCOMPARE(box.status()->text(), QStringLiteral("The keyboard has its default keys again."));
    }

    void fightRolesTakenOutAtCreation()
    {
        Controls old;
        old.fight[XboxA] = FightA | FightG;
        old.keys[XboxRs] = {'M'};
        old.padButtons[0] = XboxB;
        QVERIFY(saveControls(old));
        QVERIFY(fileControls().fight[XboxA] == 9);
        KeyboardBox box;
        const Controls c = fileControls();
        QVERIFY(std::all_of(c.fight.cbegin(), c.fight.cend(), [](int r) { return r == -1; }));
        QCOMPARE(c.keys[XboxRs], QList<int>{'M'});
        QCOMPARE(c.padButtons[0], int(XboxB)); // the controller mapping stays
        QVERIFY(readAll(logFilePath())
                    .contains(QStringLiteral("controls: the IN A FIGHT button combinations taken out of %1 "
                                             "(the game's own Options set "
                                             "the buttons)")
                                  .arg(QDir::toNativeSeparators(controlsPath()))
                                  .toUtf8()));
        QCOMPARE(box.keyButton(XboxRs, 0)->text(), QStringLiteral("M"));
    }

    void fileReadAgainWhenShown()
    {
        KeyboardBox box;
        box.show();
        Controls elsewhere;
        elsewhere.keys[XboxStart] = {'G'};
        elsewhere.fight[XboxX] = FightK; // another writer's role is not taken into the box
        QVERIFY(saveControls(elsewhere));
        QCOMPARE(box.keyButton(XboxStart, 0)->text(), keyShownName(13));
        box.hide();
        box.show();
        QCOMPARE(box.keyButton(XboxStart, 0)->text(), QStringLiteral("G"));
        QCOMPARE(box.controls().fight[XboxX], -1);
    }

    void failedSaveIsAWarningAndTheChangeStays()
    {
        KeyboardBox box;
        box.show();
        // A folder where the file should be: the file cannot be replaced.
        QFile::remove(controlsPath());
        QVERIFY(QDir().mkpath(controlsPath()));
        throughDialog(box.keyButton(XboxRs, 0), [](KeyDialog *d) { sendPress(d, Qt::Key_N); });
        QCOMPARE(box.status()->objectName(), QStringLiteral("Warning"));
        QVERIFY(box.status()->text().startsWith(QStringLiteral("Could not save the controls: ")));
        QCOMPARE(box.controls().keys[XboxRs], QList<int>{'N'});
        QCOMPARE(box.keyButton(XboxRs, 0)->text(), QStringLiteral("N"));
        // Once the file can be written again, the next change saves both.
        QVERIFY(QDir(controlsPath()).removeRecursively());
        throughDialog(box.keyButton(XboxLs, 0), [](KeyDialog *d) { sendPress(d, Qt::Key_B); });
        QCOMPARE(box.status()->objectName(), QStringLiteral("Muted"));
        QCOMPARE(fileControls().keys[XboxRs], QList<int>{'N'});
        QCOMPARE(fileControls().keys[XboxLs], QList<int>{'B'});
    }
};

QTEST_MAIN(TestKeyboard)
#include "test_keyboard.moc"
