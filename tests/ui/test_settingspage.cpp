// The Settings page in-process on the offscreen platform: every control changed as a player would
// and the file read back, odd stored values shown by their rules and never written back, the
// wheel guard, the server box against a real orx-server, the hide-IP text against a scripted
// server, the router line against a scripted router, and failed writes.
#include "controls/keyboardbox.h"
#include "core/cfg.h"
#include "gamedata/registry.h"
#include "net/fingerprint.h"
#include "net/serverclient.h"
#include "net/upnpmapper.h"
#include "platform/platform.h"
#include "scriptedpeer.h"
#include "scriptedrouter.h"
#include "testutil.h"
#include "ui/settingspage.h"
#include "widgetfind.h"
#include "xvfb.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

using namespace testutil;

namespace {

QVariant stored(const QString &key)
{
    QSettings file(cfg::settingsPath(), QSettings::IniFormat);
    return file.value(key);
}

QString serverBinary()
{
    return binary(QStringLiteral("orx-server"));
}

QByteArray description()
{
    return "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device><deviceType>"
           "urn:schemas-upnp-org:device:InternetGatewayDevice:1</"
           "deviceType><serviceList><service><serviceType>"
           "urn:schemas-upnp-org:service:WANIPConnection:1</serviceType><controlURL>/ctl</controlURL></"
           "service>"
           "</serviceList></device></root>";
}

} // namespace

class TestSettingsPage : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;

    // A fresh store; `ini` is written into the settings file before it opens.
    void openStore(const QByteArray &ini = QByteArray())
    {
        dir = std::make_unique<QTemporaryDir>();
        cfg::resetForTesting();
        cfg::setAppDirForTesting(dir->filePath(QStringLiteral("app")));
        const QString path = dir->filePath(QStringLiteral("data/orx-launcher.ini"));
        if (!ini.isEmpty())
            QVERIFY(writeAll(path, ini));
        cfg::init(path);
        QVERIFY(cfg::isOpen());
    }
    template <typename T> static T *control(QWidget *page, const QString &key)
    {
        T *c = page->findChild<T *>(key);
        if (!c)
            qWarning("no control for %s", qPrintable(key));
        return c;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(GameRegistry::load(&error), qPrintable(error));
    }
    void cleanupTestCase() { cfg::resetForTesting(); }

    void everyControlStoresItsSetting_data()
    {
        QTest::addColumn<QString>("control"); // the control's key
        QTest::addColumn<QString>("action");  // "index:N", "click", "type:TEXT", "stepUp"
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QVariantList>("values");
        QTest::addColumn<QString>("displayLine"); // a line display.txt must hold afterwards
        const auto row = [](const char *name, const QString &c, const QString &a, const QStringList &k,
                            const QVariantList &v, const QString &display = QString()) {
            QTest::newRow(name) << c << a << k << v << display;
        };
        row("auto connect", "server/auto_connect", "click", {"server/auto_connect"}, {false});
        row("region", "online/region", "index:next", {"online/region"}, {}); // the code of the entry picked
        row("max ping any", "online/max_ping", "index:4", {"online/max_ping"}, {0});
        row("max ping 60", "online/max_ping", "index:0", {"online/max_ping"}, {60});
        row("delay 1 frame", "online/input_delay", "index:2", {"online/input_delay"}, {"1"});
        row("delay 0 frames", "online/input_delay", "index:1", {"online/input_delay"}, {"0"});
        row("game port typed", "online/game_port", "type:12345", {"online/game_port"}, {12345});
        row("game port stepped", "online/game_port", "stepUp", {"online/game_port"}, {7002});
        row("strict", "online/strict", "click", {"online/strict"}, {true});
        row("upnp off", "online/upnp", "click", {"online/upnp"}, {false});
        row("hide ip", "online/hide_ip", "click", {"online/hide_ip"}, {true});
        row("match sound off", "online/match_sound", "click", {"online/match_sound"}, {false});
        row("windowed", "display/mode", "index:0", {"display/mode"}, {"windowed"}, "mode=windowed");
        row("fullscreen", "display/mode", "index:2", {"display/mode"}, {"fullscreen"}, "mode=fullscreen");
        row("render scale 3x", "display/render_scale", "index:2", {"display/render_scale"}, {3},
            "render_scale=3");
        row("fxaa stronger", "display/anti_aliasing", "index:2", {"display/anti_aliasing"}, {"fxaa_extreme"},
            "anti_aliasing=fxaa_extreme");
        row("anisotropic 8x", "display/anisotropic", "index:3", {"display/anisotropic"}, {8},
            "anisotropic=8");
        row("v-sync adaptive", "display/vsync", "index:1", {"display/vsync", "display/adaptive_sync"},
            {true, true}, "adaptive_sync=1");
        row("v-sync off", "display/vsync", "index:2", {"display/vsync", "display/adaptive_sync"},
            {false, false}, "vsync=0");
        row("brightness step", "display/brightness", "stepUp", {"display/brightness"}, {105},
            "brightness=105");
        row("brightness typed", "display/brightness", "type:85", {"display/brightness"}, {85},
            "brightness=85");
        row("frame data off", "display/frame_data", "click", {"display/frame_data"}, {false}, "frame_data=0");
        row("python", "tools/python", "type:/usr/bin/python3", {"tools/python"}, {"/usr/bin/python3"});
        row("repository", "tools/repo_root", "type:/src/orx", {"tools/repo_root"}, {"/src/orx"});
        row("local port 1", "dev/local_port1", "type:9001", {"dev/local_port1"}, {9001});
        row("local port 2", "dev/local_port2", "stepUp", {"dev/local_port2"}, {7003});
        row("game folder", "games/orx/folder", "type:/games/orx", {"games/orx/folder"}, {"/games/orx"});
        row("game exe", "games/orx/exe", "type:/games/orx/orx.exe", {"games/orx/exe"},
            {"/games/orx/orx.exe"});
        row("build script", "games/orx/build_script", "type:/games/orx/b.sh", {"games/orx/build_script"},
            {"/games/orx/b.sh"});
    }
    void everyControlStoresItsSetting()
    {
        QFETCH(QString, control);
        QFETCH(QString, action);
        QFETCH(QStringList, keys);
        QFETCH(QVariantList, values);
        QFETCH(QString, displayLine);
        openStore();
        SettingsPage page(nullptr);
        page.setGame(QStringLiteral("orx"));
        page.resize(1000, 800);
        page.show();
        QWidget *w = page.findChild<QWidget *>(control);
        QVERIFY2(w, qPrintable(control));
        // Nothing is written by showing the page.
        for (const QString &key : keys)
            QVERIFY(!stored(key).isValid());

        if (action.startsWith(QLatin1String("index:"))) {
            auto *combo = qobject_cast<QComboBox *>(w);
            const int index = action == QLatin1String("index:next")
                                  ? (combo->currentIndex() + 1) % combo->count()
                                  : action.mid(6).toInt();
            QVERIFY(combo->currentIndex() != index);
            combo->setCurrentIndex(index);
            if (control == QLatin1String("online/region"))
                values = {combo->itemData(index)};
        } else if (action == QLatin1String("click")) {
            qobject_cast<QAbstractButton *>(w)->click();
        } else if (action == QLatin1String("stepUp")) {
            qobject_cast<QAbstractSpinBox *>(w)->stepUp();
        } else {
            const QString text = action.mid(5);
            w->setFocus();
            if (auto *spin = qobject_cast<QSpinBox *>(w)) {
                spin->selectAll();
                const QVariant before = stored(keys.first());
                QTest::keyClicks(spin, text);
                // Typing alone stores nothing where the value is stored once editing finishes.
                if (!spin->keyboardTracking())
                    QCOMPARE(stored(keys.first()), before);
                QTest::keyClick(spin, Qt::Key_Return);
            } else {
                auto *edit = qobject_cast<QLineEdit *>(w);
                edit->selectAll();
                QTest::keyClicks(edit, text);
                QTest::keyClick(edit, Qt::Key_Return);
            }
        }
        for (int i = 0; i < keys.size(); ++i) {
            const QVariant v = stored(keys.at(i));
            QVERIFY2(v.isValid(), qPrintable(keys.at(i)));
            QCOMPARE(v.toString(), values.at(i).toString());
        }
        if (!displayLine.isEmpty())
            QVERIFY(readAll(cfg::displayFilePath()).split('\n').contains(displayLine.toLatin1()));
        QCOMPARE(labelNamed(&page, QStringLiteral("SavedLine"))->text(),
                 QStringLiteral("Saved to %1").arg(QDir::toNativeSeparators(cfg::settingsPath())));
    }

    void oddStoredValuesShownAndKept_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("max ping 120") << "online/max_ping"
                                      << "120"
                                      << "150 ms";
        QTest::newRow("unknown region") << "online/region"
                                        << "xx"
                                        << "";
        QTest::newRow("unknown resolution") << "display/resolution"
                                            << "1234x567"
                                            << "1234x567";
        QTest::newRow("brightness 180") << "display/brightness"
                                        << "180"
                                        << "160 %";
        QTest::newRow("delay not a number") << "online/input_delay"
                                            << "soon"
                                            << "Auto (from the ping)";
        QTest::newRow("delay 9") << "online/input_delay"
                                 << "9"
                                 << "4 frames";
        QTest::newRow("anisotropic 3") << "display/anisotropic"
                                       << "3"
                                       << "As the game sets it";
        QTest::newRow("render scale 7") << "display/render_scale"
                                        << "7"
                                        << "5120x2880 (4x)";
        QTest::newRow("anti-aliasing odd") << "display/anti_aliasing"
                                           << "msaa"
                                           << "Off";
    }
    void oddStoredValuesShownAndKept()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        openStore(
            QStringLiteral("[%1]\n%2=%3\n").arg(key.section('/', 0, 0), key.section('/', 1), value).toUtf8());
        const QByteArray before = readAll(cfg::settingsPath());
        SettingsPage page(nullptr);
        page.setGame(QStringLiteral("orx"));
        page.show();
        QWidget *w = page.findChild<QWidget *>(key);
        QVERIFY(w);
        QString text;
        if (auto *combo = qobject_cast<QComboBox *>(w)) {
            text = combo->currentText();
            if (key == QLatin1String("online/region")) {
                QCOMPARE(combo->currentIndex(), 0);
                shown = combo->itemText(0);
            }
        } else if (auto *spin = qobject_cast<QSpinBox *>(w)) {
            text = spin->text();
        }
        QCOMPARE(text, shown);
        QCOMPARE(readAll(cfg::settingsPath()), before);
        QCOMPARE(stored(key).toString(), value);
    }

    void resolutionOfTheMonitorShowsFirst()
    {
        openStore();
        const QSize desktop = platform::desktopSize();
        if (!desktop.isValid())
            QSKIP("no monitor size on this platform");
        cfg::set(QStringLiteral("display/resolution"),
                 QStringLiteral("%1x%2").arg(desktop.width()).arg(desktop.height()));
        SettingsPage page(nullptr);
        auto *combo = page.findChild<QComboBox *>(QStringLiteral("display/resolution"));
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(combo->itemData(0).toString(), QStringLiteral("desktop"));
        QCOMPARE(combo->itemText(0),
                 QStringLiteral("%1x%2 (your monitor)").arg(desktop.width()).arg(desktop.height()));
    }

    // Under an X server of its own (the run with ORX_TEST_XVFB=1): the monitor's modes.
    void resolutionListOfTheMonitor()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server: the run with ORX_TEST_XVFB=1 has one");
        openStore();
        const QList<QSize> modes = platform::displayModes();
        QCOMPARE(platform::desktopSize(), QSize(1280, 1024));
        QVERIFY(modes.contains(QSize(1280, 1024)));
        SettingsPage page(nullptr);
        auto *combo = page.findChild<QComboBox *>(QStringLiteral("display/resolution"));
        QStringList expected{QStringLiteral("1280x1024 (your monitor)")};
        for (const QSize &m : modes)
            if (m != QSize(1280, 1024))
                expected << QStringLiteral("%1x%2").arg(m.width()).arg(m.height());
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        QCOMPARE(shown, expected);
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(combo->currentData().toString(), QStringLiteral("desktop"));
        if (expected.size() > 1) { // Xvfb lists its screen size alone unless given more modes
            combo->setCurrentIndex(1);
            QCOMPARE(stored(QStringLiteral("display/resolution")).toString(), expected.at(1));
            QVERIFY(readAll(cfg::displayFilePath()).contains("resolution=" + expected.at(1).toLatin1()));
        }
    }

    void wheelOverAnUnclickedComboScrollsThePage()
    {
        openStore();
        SettingsPage page(nullptr);
        page.setGame(QStringLiteral("orx"));
        page.resize(900, 300);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        auto *combo = page.findChild<QComboBox *>(QStringLiteral("display/anisotropic"));
        auto *spin = page.findChild<QSpinBox *>(QStringLiteral("display/brightness"));
        QScrollBar *bar = page.scrollArea()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        const auto wheel = [](QWidget *target) {
            QWheelEvent event(QPointF(5, 5), target->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(target, &event);
        };
        for (QWidget *target : {static_cast<QWidget *>(combo), static_cast<QWidget *>(spin)}) {
            QCOMPARE(target->focusPolicy(), Qt::StrongFocus);
            const int scrolled = bar->value();
            wheel(target);
            QVERIFY(bar->value() > scrolled || bar->value() == bar->maximum());
        }
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(spin->value(), 100);
        QVERIFY(!stored(QStringLiteral("display/anisotropic")).isValid());
        // Once clicked (focused), the wheel is the control's.
        combo->setFocus();
        QTRY_VERIFY(combo->hasFocus());
        wheel(combo);
        QCOMPARE(combo->currentIndex(), 1);
        QCOMPARE(stored(QStringLiteral("display/anisotropic")).toInt(), 2);
    }

    void packagedReleaseHasNoToolsBox()
    {
        openStore();
        QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("app/games"))));
        QVERIFY(cfg::isPackaged());
        SettingsPage packaged(nullptr);
        packaged.show();
        QGroupBox *tools = nullptr;
        for (QGroupBox *b : packaged.findChildren<QGroupBox *>())
            if (b->title() == QLatin1String("TOOLS AND DEVELOPMENT"))
                tools = b;
        QVERIFY(tools);
        QVERIFY(!tools->isVisible());
        QVERIFY(QDir(dir->filePath(QStringLiteral("app/games"))).removeRecursively());
        SettingsPage checkout(nullptr);
        checkout.show();
        for (QGroupBox *b : checkout.findChildren<QGroupBox *>())
            if (b->title() == QLatin1String("TOOLS AND DEVELOPMENT"))
                QVERIFY(b->isVisible());
        // Without a game definition for the id, no game folder box.
        checkout.setGame(QStringLiteral("nosuchgame"));
        QVERIFY(!checkout.findChild<QLineEdit *>(QStringLiteral("games/nosuchgame/folder")));
    }

    void hideIpBoxesAndText()
    {
        openStore();
        ScriptedPeer peer;
        QVERIFY(peer.listen());
        const int directAbove = 150;
        peer.autoWelcome =
            QJsonObject{{"type", "welcome"}, {"server", "scripted"}, {"version", "1"},
                        {"online", 1},       {"udp_port", 7778},     {"direct_above_ms", directAbove}};
        // Pings answered about 40 ms late, so the measured ping is not 0.
        connect(&peer, &ScriptedPeer::lineReceived, &peer, [&peer](const ScriptedPeer::Line &line) {
            if (line.object.value(QStringLiteral("type")).toString() != QLatin1String("ping"))
                return;
            const QJsonValue id = line.object.value(QStringLiteral("id"));
            QTimer::singleShot(40, &peer, [&peer, id] { peer.send({{"type", "pong"}, {"id", id}}); });
        });
        ServerClient server;
        ServerClient::Timing timing = server.timing();
        timing.firstPingMs = 10;
        server.setTiming(timing);
        SettingsPage page(&server);
        page.show();
        auto *hide = page.findChild<QCheckBox *>(QStringLiteral("online/hide_ip"));
        auto *always = page.findChild<QCheckBox *>(QStringLiteral("online/hide_ip_always"));
        QLabel *text = labelNamed(&page, QStringLiteral("HideIpText"));
        QVERIFY(!always->isEnabled());
        hide->click();
        QVERIFY(always->isEnabled());
        QVERIFY(!text->isVisible()); // no ping measured yet
        server.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port()), QString());
        QTRY_VERIFY_WITH_TIMEOUT(server.roundTripMs() > 0, scaled(10000));
        QTRY_VERIFY_WITH_TIMEOUT(text->isVisible(), scaled(5000));
        const int p = server.roundTripMs();
        QVERIFY(p >= 40);
        QCOMPARE(text->text(),
                 QStringLiteral("With this on, a match goes through the server in Virginia: at least "
                                "%1 ms of ping from here (your ping to it is %2 ms). When that is over "
                                "%3 ms, the match tries your opponent directly and plays that way if "
                                "it is faster: they can then see your address.")
                     .arg(2 * p)
                     .arg(p)
                     .arg(directAbove));
        always->click();
        const QString everyMatch =
            QStringLiteral("With this on, every match goes through the server in Virginia: at "
                           "least %1 ms of ping from here (your ping to it is %2 ms), even "
                           "against a player next door.")
                .arg(2 * p)
                .arg(p);
        QCOMPARE(text->text(), everyMatch);
        hide->click();
        QVERIFY(!always->isEnabled());
        QVERIFY(!text->isVisible());
        server.disconnectFromServer();

        // A server that names no direct limit (0): every match goes through it.
        peer.autoWelcome.insert(QStringLiteral("direct_above_ms"), 0);
        hide->click();
        always->click(); // off again
        QVERIFY(!always->isChecked());
        server.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port()), QString());
        QTRY_COMPARE_WITH_TIMEOUT(server.state(), ServerClient::Rovivi, scaled(10000));
        QTRY_VERIFY_WITH_TIMEOUT(text->isVisible() && text->text().contains(QStringLiteral("every match")),
                                 scaled(5000));
        server.disconnectFromServer();
    }

    void serverBoxAgainstTheRealServer()
    {
        openStore();
        QVERIFY2(QFileInfo(serverBinary()).isExecutable(), qPrintable(serverBinary()));
        QProcess process;
        process.setProgram(serverBinary());
        process.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--udp-port"),
                              QStringLiteral("0"), QStringLiteral("--data"),
                              dir->filePath(QStringLiteral("server")), QStringLiteral("--no-throttle")});
        QDir().mkpath(dir->filePath(QStringLiteral("server")));
        process.start();
        QVERIFY(process.waitForStarted());
        static const QRegularExpression listening(
            QStringLiteral("orx-server: listening tcp ([^ ]+):(\\d+) udp"));
        static const QRegularExpression certificate(
            QStringLiteral("orx-server: certificate sha256 ([0-9A-Fa-f:]+)"));
        QByteArray out;
        QRegularExpressionMatch match;
        QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput(),
                                  match = listening.match(QString::fromUtf8(out)), match.hasMatch()),
                                 scaled(30000));
        const QString printed = certificate.match(QString::fromUtf8(out)).captured(1);
        QVERIFY(!printed.isEmpty());
        const QString address = QStringLiteral("127.0.0.1:%1").arg(match.captured(2));

        ServerClient server;
        SettingsPage page(&server);
        page.show();
        QSignalSpy reconnect(&page, &SettingsPage::reconnectRequested);
        // As the main window does: a reconnect request connects with what is stored.
        connect(&page, &SettingsPage::reconnectRequested, &server,
                [&server] { server.connectTo(cfg::serverAddress(), cfg::serverFingerprint()); });
        auto *addressField = page.findChild<QLineEdit *>(QStringLiteral("server/address"));
        auto *fingerprintField = page.findChild<QLineEdit *>(QStringLiteral("server/fingerprint"));
        QLabel *state = labelNamed(&page, QStringLiteral("State"));
        QLabel *presented = labelNamed(&page, QStringLiteral("Presented"));
        QLabel *line = labelNamed(&page, QStringLiteral("ServerLine"));
        QCOMPARE(state->text(), QStringLiteral("Offline"));
        QCOMPARE(presented->text(), QStringLiteral("(none yet)"));
        QCOMPARE(addressField->text(), QStringLiteral("127.0.0.1:7777"));

        // Bad input: a clear line, nothing stored, no reconnect.
        const QList<QPair<QString, QString>> refused{{address, QStringLiteral("AB:CD:EF")},
                                                     {address, QString(63, QLatin1Char('a'))},
                                                     {QStringLiteral("   "), QString()}};
        for (const auto &[a, f] : refused) {
            addressField->setText(a);
            fingerprintField->setText(f);
            buttonNamed(&page, QStringLiteral("Connect"))->click();
            QVERIFY(!line->isHidden());
            QVERIFY(!line->text().isEmpty());
            QVERIFY(!stored(QStringLiteral("server/address")).isValid());
            QVERIFY(!stored(QStringLiteral("server/fingerprint")).isValid());
        }
        QCOMPARE(reconnect.size(), 0);

        // No fingerprint yet: the server's certificate is refused, and presented.
        addressField->setText(QStringLiteral("  ") + address);
        fingerprintField->clear();
        buttonNamed(&page, QStringLiteral("Connect"))->click();
        QVERIFY(line->isHidden());
        QCOMPARE(reconnect.size(), 1);
        QCOMPARE(stored(QStringLiteral("server/address")).toString(), address);
        QTRY_VERIFY_WITH_TIMEOUT(!server.presentedFingerprint().isEmpty(), scaled(15000));
        QTRY_COMPARE_WITH_TIMEOUT(presented->text(), printed.toUpper(), scaled(5000));
        buttonNamed(&page, QStringLiteral("Pin presented certificate"))->click();
        QCOMPARE(fingerprintField->text(), printed.toUpper());
        QVERIFY(stored(QStringLiteral("server/fingerprint")).toString().isEmpty()); // Connect stores it
        buttonNamed(&page, QStringLiteral("Connect"))->click();
        QCOMPARE(stored(QStringLiteral("server/fingerprint")).toString(), normalizeFingerprint(printed));
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Rovivi"), scaled(15000));

        // A field being typed in is not refreshed by a state change.
        fingerprintField->setFocus();
        QTRY_VERIFY(fingerprintField->hasFocus());
        fingerprintField->setText(QStringLiteral("typing"));
        buttonNamed(&page, QStringLiteral("Disconnect"))->click();
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Offline"), scaled(5000));
        QCOMPARE(fingerprintField->text(), QStringLiteral("typing"));
        QCOMPARE(addressField->text(), address);

        process.terminate();
        QVERIFY(process.waitForFinished(10000));
    }

    void routerMapsTheFinalTypedPortOnly()
    {
        openStore();
        ScriptedRouter router;
        router.pages.insert("/desc.xml", {200, description()});
        router.actions.insert(
            "GetExternalIPAddress",
            {{200, ScriptedRouter::soapAnswer("GetExternalIPAddress",
                                              "<NewExternalIPAddress>11.22.33.44</NewExternalIPAddress>")}});
        router.actions.insert("AddPortMapping", {{200, ScriptedRouter::soapAnswer("AddPortMapping", "")}});
        // The main window gives the mapper the address from "dev/upnp_location".
        cfg::set(QStringLiteral("dev/upnp_location"), router.url(QStringLiteral("/desc.xml")));
        UpnpMapper mapper;
        mapper.setDeviceUrl(QUrl(cfg::devUpnpLocation()));
        SettingsPage page(nullptr);
        page.setUpnpMapper(&mapper);
        page.show();
        QLabel *routerLine = labelNamed(&page, QStringLiteral("Router"));
        QCOMPARE(routerLine->text(), QStringLiteral("Router: not asked"));
        auto *port = page.findChild<QSpinBox *>(QStringLiteral("online/game_port"));
        port->setFocus();
        port->selectAll();
        QTest::keyClicks(port, QStringLiteral("12345"));
        QVERIFY(!mapper.busy()); // no mapping per keystroke
        QTest::keyClick(port, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(routerLine->text(),
                                  QStringLiteral("UDP port 12345 open on the router (UPnP)"), scaled(20000));
        const QList<RouterRequest> mappings = router.calls("AddPortMapping");
        QCOMPARE(mappings.size(), 1);
        QVERIFY(mappings.first().body.contains("<NewExternalPort>12345</NewExternalPort>"));
        QCOMPARE(cfg::gamePort(), 12345);

        // UPnP off: a port change maps nothing; turning it on maps the port.
        auto *upnp = page.findChild<QCheckBox *>(QStringLiteral("online/upnp"));
        upnp->click();
        port->stepUp();
        QVERIFY(!mapper.busy());
        upnp->click();
        QTRY_COMPARE_WITH_TIMEOUT(routerLine->text(),
                                  QStringLiteral("UDP port 12346 open on the router (UPnP)"), scaled(20000));
        QCOMPARE(router.calls("AddPortMapping").size(), 2);
    }

    void failedWritesAreShown()
    {
        openStore();
        SettingsPage page(nullptr);
        page.show();
        QLabel *saved = labelNamed(&page, QStringLiteral("SavedLine"));
        // The settings folder replaced by a plain file: nothing can be written (even as root).
        const QString folder = QFileInfo(cfg::settingsPath()).absolutePath();
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(writeAll(folder, "not a folder"));
        page.findChild<QCheckBox *>(QStringLiteral("online/strict"))->click();
        QCOMPARE(saved->objectName(), QStringLiteral("Warning"));
        QCOMPARE(saved->text(), QStringLiteral("Could not save the settings to %1.")
                                    .arg(QDir::toNativeSeparators(cfg::settingsPath())));
        QString error;
        QVERIFY(!cfg::set(QStringLiteral("online/strict"), true, &error));
        QVERIFY(!error.isEmpty());
        // Writable again: the next change is saved and says so.
        QVERIFY(QFile::remove(folder));
        QVERIFY(QDir().mkpath(folder));
        page.findChild<QCheckBox *>(QStringLiteral("online/match_sound"))->click();
        QCOMPARE(saved->objectName(), QStringLiteral("PageSubtitle"));
        QCOMPARE(stored(QStringLiteral("online/match_sound")).toBool(), false);
    }
};

int main(int argc, char **argv)
{
    TestArgs args(argc, argv, "resolutionListOfTheMonitor");
    if (!args.ok())
        return 2;
    QApplication app(args.count, args.argv());
    TestSettingsPage tests;
    return QTest::qExec(&tests, args.count, args.argv());
}
#include "test_settingspage.moc"
