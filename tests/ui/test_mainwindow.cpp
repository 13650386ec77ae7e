// The main window's side of the server link, against a scripted server on loopback: connecting at
// start, the footer status, notices, the trust question and remembering the account.
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "net/upnpmapper.h"
#include "report/reportsender.h"
#include "scriptedpeer.h"
#include "scriptedrouter.h"
#include "testutil.h"
#include "ui/buildpage.h"
#include "ui/elidedlabel.h"
#include "ui/logindialog.h"
#include "ui/mainwindow.h"
#include "ui/playpage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

using namespace testutil;

namespace {

QJsonObject welcome(const QString &motd = QString())
{
    QJsonObject w{
        {"type", "welcome"}, {"server", "scripted"}, {"version", "1"}, {"online", 3}, {"udp_port", 7778}};
    if (!motd.isEmpty())
        w.insert(QStringLiteral("motd"), motd);
    return w;
}

// Answers the question box that is up with `button`, once it appears.
void answerBoxWith(QMessageBox::StandardButton button, QString *textSeen)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, textSeen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *textSeen = box->windowTitle() + QLatin1Char('|') + box->text();
        box->button(button)->click();
        poll->deleteLater();
    });
    poll->start(10);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ScriptedPeer> peer;

    std::unique_ptr<MainWindow> window(const QString &serverOption,
                                       const QString &fingerprintOption = QString())
    {
        LaunchOptions o;
        o.server = serverOption;
        o.fingerprint = fingerprintOption;
        // A start on a named page is a scripted one: no first-run account prompt in these tests
        // of the link.
        o.page = QStringLiteral("play");
        return std::make_unique<MainWindow>(o);
    }
    static QString status(MainWindow &w)
    {
        return w.findChild<QLabel *>(QStringLiteral("StatusText"))->text();
    }
    static QString log()
    {
        QFile f(logFilePath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    static QLabel *banner(MainWindow &w) { return w.findChild<QLabel *>(QStringLiteral("Banner")); }
    // Plain TCP; an address without a scheme means TLS.
    QString address() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(peer->port()); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        cfg::resetForTesting();
        // The window cleans the application folder's "update" at its start: a folder of its own,
        // not the test program's.
        QDir().mkpath(dir->filePath(QStringLiteral("app")));
        cfg::setAppDirForTesting(dir->filePath(QStringLiteral("app")));
        cfg::init(dir->filePath(QStringLiteral("orx-launcher.ini")));
        cfg::set(QStringLiteral("online/upnp"), false);
        peer = std::make_unique<ScriptedPeer>();
    }
    void cleanup()
    {
        peer.reset();
        cfg::resetForTesting();
    }

    // --local-test: two stand-in games agree, and closing the window leaves no game behind.
    void localTestFromTheCommandLine()
    {
        auto freePort = [] {
            QUdpSocket s;
            s.bind(QHostAddress::LocalHost, 0);
            return int(s.localPort());
        };
        cfg::set(QStringLiteral("server/auto_connect"), false);
        cfg::set(QStringLiteral("games/orx/exe"), binary(QStringLiteral("orx-testgame")));
        cfg::set(QStringLiteral("dev/local_port1"), freePort());
        cfg::set(QStringLiteral("dev/local_port2"), freePort());
        cfg::set(QStringLiteral("dev/udp_loopback"), true);
        qputenv("ORX_TESTGAME_ARGS", "--match-ms 500");
        LaunchOptions o;
        o.localTest = true;
        auto w = std::make_unique<MainWindow>(o);
        MatchController *match = w->matchController();
        const bool agreed = waitFor(
            [&] {
                return match->phaseText().startsWith(QLatin1String("Local test: both instances agree: "));
            },
            30000);
        qunsetenv("ORX_TESTGAME_ARGS");
        QVERIFY2(agreed, qPrintable(match->phaseText()));
        const QList<qint64> pids{match->localTestInstance(1)->processId(),
                                 match->localTestInstance(2)->processId()};
        w->close();
        QCOMPARE(match->phase(), MatchController::Idle);
        QVERIFY(!match->localTestInstance(1) && !match->localTestInstance(2));
        QVERIFY(waitFor([&] {
            for (qint64 pid : pids) {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                if (stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z "))
                    return false;
            }
            return true;
        }));
    }

    void connectsAtStartAndShowsTheLink()
    {
        peer->autoWelcome = welcome(QStringLiteral("Season 3 starts Friday."));
        QVERIFY(peer->listen());
        auto w = window(address());
        QCOMPARE(cfg::serverAddress(), address());
        QVERIFY2(waitFor([&] {
                     return status(*w) == QStringLiteral("Connected to %1 (not signed in)").arg(address());
                 }),
                 qPrintable(status(*w)));
        QVERIFY(waitFor([&] { return peer->count(QStringLiteral("online")) == 1; }));
        QCOMPARE(banner(*w)->text(), QStringLiteral("Season 3 starts Friday."));
        QVERIFY(!banner(*w)->isHidden());

        // A notice from the server; "warn" is shown as an error.
        peer->send({{"type", "notice"}, {"text", "Maintenance in 10 minutes."}, {"level", "warn"}});
        QVERIFY(waitFor([&] { return banner(*w)->text() == QLatin1String("Maintenance in 10 minutes."); }));
        QVERIFY(banner(*w)->styleSheet().contains(QLatin1String("#6B3A0A")));

        // Signing in is remembered: token and name go to the settings.
        peer->send({{"type", "account"}, {"token", "tok-123"}, {"name", "Ann"}, {"udp_token", "u"}});
        QVERIFY(
            waitFor([&] { return status(*w) == QStringLiteral("Connected to %1 as Ann").arg(address()); }));
        QCOMPARE(cfg::accountToken(), QStringLiteral("tok-123"));
        QCOMPARE(cfg::accountName(), QStringLiteral("Ann"));

        // Kicked by a sign-in elsewhere: the notice says what to do.
        peer->send(
            {{"type", "error"}, {"code", "logged_in_elsewhere"}, {"message", "Signed in on another PC."}});
        QVERIFY(waitFor([&] {
            return banner(*w)->text() == QLatin1String("Signed in on another PC. Press CONNECT AGAIN on the "
                                                       "Play page to sign in here again.");
        }));
    }

    void storedTokenResumesOrIsForgotten()
    {
        cfg::set(QStringLiteral("account/token"), QStringLiteral("old-token"));
        peer->autoWelcome = welcome();
        QVERIFY(peer->listen());
        auto w = window(address());
        QVERIFY(waitFor([&] { return peer->count(QStringLiteral("auth")) == 1; }));
        QCOMPARE(peer->last(QStringLiteral("auth")).value(QStringLiteral("token")).toString(),
                 QStringLiteral("old-token"));
        peer->send({{"type", "error"}, {"code", "bad_token"}, {"re", "auth"}, {"message", "Expired."}});
        QVERIFY(waitFor([&] { return cfg::accountToken().isEmpty(); }));
        QCOMPARE(banner(*w)->text(),
                 QStringLiteral("Your saved sign-in expired: sign in again on the Play page."));
    }

    void offlineShowsTheErrorAndNoAutoConnectStaysOffline()
    {
        // Nothing listens on this port: the footer names the error, no notice for it.
        QVERIFY(peer->listen());
        const QString closed = address();
        peer->stopListening();
        auto w = window(closed);
        QVERIFY(waitFor([&] { return status(*w).startsWith(QLatin1String("Offline: ")); }));
        QVERIFY(banner(*w)->isHidden());
        w.reset();

        cfg::set(QStringLiteral("server/auto_connect"), false);
        auto quiet = window(QString());
        QTest::qWait(50); // the next turns of the loop: nothing may start a connection
        QCOMPARE(quiet->serverClient()->state(), ServerClient::Offline);
        QCOMPARE(status(*quiet), QStringLiteral("Offline"));
    }

    void fingerprintOptionIsStoredNormalised()
    {
        cfg::set(QStringLiteral("server/auto_connect"), false);
        auto w = window(QStringLiteral("tls://127.0.0.1:1"), QStringLiteral("AB:CD:EF:01"));
        QCOMPARE(cfg::serverFingerprint(), QStringLiteral("abcdef01"));
        QCOMPARE(cfg::serverAddress(), QStringLiteral("tls://127.0.0.1:1"));
    }

    void portMapperStartsAsConfigured_data()
    {
        QTest::addColumn<bool>("upnp");
        QTest::addColumn<bool>("loopback");
        QTest::addColumn<bool>("probe");
        QTest::addColumn<QString>("status");
        QTest::newRow("mapping") << true << false << false << "UDP port 7123 open on the router (UPnP)";
        QTest::newRow("off") << false << false << false << "";
        QTest::newRow("loopback only") << true << true << false << "";
        QTest::newRow("probe although off")
            << false << false << true << "router found (UPnP) with a public address; nothing changed";
    }
    void portMapperStartsAsConfigured()
    {
        QFETCH(bool, upnp);
        QFETCH(bool, loopback);
        QFETCH(bool, probe);
        QFETCH(QString, status);
        // A router on loopback named by "dev/upnp_location": nothing is searched on the network.
        ScriptedRouter router;
        router.pages.insert("/desc.xml",
                            {200, "<root><device><serviceList><service><serviceType>"
                                  "urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
                                  "<controlURL>/ctl</controlURL></service></serviceList></device></root>"});
        router.actions.insert(
            "GetExternalIPAddress",
            {{200, ScriptedRouter::soapAnswer("GetExternalIPAddress",
                                              "<NewExternalIPAddress>11.22.33.44</NewExternalIPAddress>")}});
        router.actions.insert("AddPortMapping", {{200, ScriptedRouter::soapAnswer("AddPortMapping", "")}});
        cfg::set(QStringLiteral("server/auto_connect"), false);
        cfg::set(QStringLiteral("online/upnp"), upnp);
        cfg::set(QStringLiteral("dev/udp_loopback"), loopback);
        cfg::set(QStringLiteral("online/game_port"), 7123);
        cfg::set(QStringLiteral("dev/upnp_location"), router.url(QStringLiteral("/desc.xml")));
        LaunchOptions o;
        o.upnpProbe = probe;
        MainWindow w(o);
        if (status.isEmpty()) {
            QTest::qWait(100);
            QVERIFY(router.requests.isEmpty());
            QCOMPARE(w.portMapper()->status(), QString());
        } else {
            QVERIFY(waitFor([&] { return w.portMapper()->status() == status; }));
            QCOMPARE(router.calls("AddPortMapping").size(), probe ? 0 : 1);
        }
    }

    // Dialogs are saved like the window, with the same log line.
    void snapshotsOfWindowAndDialog()
    {
        LaunchOptions o;
        o.snapDir = dir->filePath(QStringLiteral("snaps"));
        MainWindow w(o);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QDialog dialog(&w);
        dialog.resize(420, 300);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(w.saveSnapshot(QStringLiteral("page-play")));
        QVERIFY(w.saveSnapshot(QStringLiteral("dialog-empty"), &dialog));
        const QImage page(QDir(o.snapDir).filePath(QStringLiteral("page-play.png")));
        const QImage box(QDir(o.snapDir).filePath(QStringLiteral("dialog-empty.png")));
        QCOMPARE(page.size(), w.size() * page.devicePixelRatio());
        QCOMPARE(box.size(), dialog.size() * box.devicePixelRatio());
        // The window is not blank: the header's gold line and the navy background both show.
        QSet<QRgb> colours;
        for (int y = 0; y < page.height(); y += 7)
            for (int x = 0; x < page.width(); x += 7)
                colours.insert(page.pixel(x, y));
        QVERIFY(colours.size() > 20);
    }

    void trustQuestionForAnUnpinnedCertificate()
    {
        // A certificate made for this run by the openssl command.
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=orx-test",
                       "-keyout", dir->filePath("key.pem"), "-out", dir->filePath("cert.pem")});
        QVERIFY(openssl.waitForFinished(60000) && openssl.exitCode() == 0);
        const QSslCertificate cert(readAll(dir->filePath(QStringLiteral("cert.pem"))), QSsl::Pem);
        const QSslKey key(readAll(dir->filePath(QStringLiteral("key.pem"))), QSsl::Rsa, QSsl::Pem);
        peer->useTls(cert, key);
        peer->autoWelcome = welcome();
        QVERIFY(peer->listen());
        const QString tls = QStringLiteral("127.0.0.1:%1").arg(peer->port());
        const QString digest = QString::fromLatin1(cert.digest(QCryptographicHash::Sha256).toHex());

        // A wrong pin: an error notice naming the fingerprint, and offline.
        cfg::set(QStringLiteral("server/fingerprint"), QString(64, QLatin1Char('0')));
        auto pinned = window(tls);
        QVERIFY(waitFor([&] { return !banner(*pinned)->isHidden(); }));
        QVERIFY(banner(*pinned)->text().contains(QLatin1String("fingerprint")));
        QVERIFY(status(*pinned).startsWith(QLatin1String("Offline: ")));
        pinned.reset();

        // No pin: the question shows the fingerprint; Yes pins it and connects.
        cfg::set(QStringLiteral("server/fingerprint"), QString());
        QString seen;
        answerBoxWith(QMessageBox::Yes, &seen);
        auto w = window(tls);
        QVERIFY2(
            waitFor([&] { return status(*w) == QStringLiteral("Connected to %1 (not signed in)").arg(tls); },
                    30000),
            qPrintable(status(*w)));
        QCOMPARE(cfg::serverFingerprint(), digest);
        QVERIFY2(
            seen.startsWith(
                QStringLiteral("Trust this server?|The server at %1 presented a certificate with SHA-256 "
                               "fingerprint\n\n")
                    .arg(tls)),
            qPrintable(seen));
        QVERIFY(seen.contains(digest.toUpper().left(2) + QLatin1Char(':') + digest.toUpper().mid(2, 2)));
    }

    // A packaged launcher whose game another release built, or whose title update is not this
    // release's: the Build game page, the notice, and the game compiled again.
    void releaseCheckAtStart_data()
    {
        QTest::addColumn<QByteArray>("xexp"); // "disc/default.xexp", none when empty
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("reason");  // the release check's log line
        QTest::addColumn<QString>("compile"); // the compile step's log line
        QTest::newRow("built by another release")
            << QByteArray()
            << "This update changed the game itself: it is being put together again on Build game (once, a "
               "few "
               "minutes at most)."
            << false << "build orx: built from another release than this one's: building again"
            << "build orx: running ";
        QTest::newRow("wrong title update")
            << QByteArray("not the update")
            << "Orvex Rovivi now needs title update 3. Choose it on Build game, step 2: the game is then "
               "built "
               "again."
            << true << "build orx: the title update in place is not this release's: asking for it"
            << "build orx: not compiled: The title update on this PC is ";
    }
    void releaseCheckAtStart()
    {
        QFETCH(QByteArray, xexp);
        QFETCH(QString, reason);
        QFETCH(QString, compile);
        QString definitionError;
        QVERIFY2(GameRegistry::load(&definitionError), qPrintable(definitionError)); // the shipped one
        cfg::set(QStringLiteral("server/auto_connect"), false);
        const QString folder = dir->filePath(QStringLiteral("app/games/orx"));
        const auto put = [&](const QString &name, const QByteArray &bytes) {
            QVERIFY(testutil::writeAll(folder + QLatin1Char('/') + name, bytes));
        };
        put(QStringLiteral("project/VERSION"), "2\n");
        put(QStringLiteral("built.txt"), "1\n");
        put(QStringLiteral("orx.exe"), "MZ");
        put(QStringLiteral("build-game.sh"), "echo compiled\n");
        if (!xexp.isEmpty())
            put(QStringLiteral("disc/default.xexp"), xexp);
        cfg::set(QStringLiteral("games/orx/exe"), folder + QStringLiteral("/orx.exe"));
        QVERIFY(cfg::isPackaged());

        // The Build game page asks for the title update in a dialog of its own: closed once seen.
        QString asked;
        QTimer closer;
        connect(&closer, &QTimer::timeout, &closer, [&] {
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
                asked = dialog->windowTitle();
                dialog->reject();
            }
        });
        closer.start(10);
        auto w = window(QString());
        QCOMPARE(w->currentPage(), 0);
        QVERIFY2(waitFor([&] { return log().contains(reason + QLatin1Char('\n')); }, 30000),
                 qPrintable(log()));
        QCOMPARE(w->currentPage(), 1);
        QTEST(banner(*w)->text(), "notice");
        QVERIFY(!banner(*w)->isHidden());
        QFETCH(bool, error);
        QVERIFY(
            banner(*w)->styleSheet().contains(error ? QLatin1String("#6B3A0A") : QLatin1String("#101829")));
        QVERIFY2(waitFor([&] { return log().contains(compile); }, 30000), qPrintable(log()));
        QVERIFY(waitFor([&] { return !w->findChild<BuildPage *>()->isBusy(); }, 30000));
        QCOMPARE(!asked.isEmpty(), error); // asked for the update only when it is the wrong one
    }

    // What became of an F3 report: the log, the banner and the game's menu all say it.
    void reportOutcomeReachesThePlayer_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("start") << "F3 report from orx: sending 4 files (120 KB) to the server";
        QTest::newRow("sent") << "F3 report sent: 4 files, thank you";
        QTest::newRow("dropped") << "F3 report not sent: the connection to the server dropped";
        QTest::newRow("refused") << "F3 report not sent: reports are full";
    }
    void reportOutcomeReachesThePlayer()
    {
        QFETCH(QString, text);
        cfg::set(QStringLiteral("server/auto_connect"), false);
        auto w = window(QString());
        emit w->reportSender()->logLine(text);
        QVERIFY(log().contains(QStringLiteral("report: ") + text + QLatin1Char('\n')));
        QCOMPARE(banner(*w)->text(), text);
        QVERIFY(!banner(*w)->isHidden());
        QVERIFY(banner(*w)->styleSheet().contains(QLatin1String("#101829")));
        const QJsonObject message =
            w->menuBridge()->composeState().value(QStringLiteral("message")).toObject();
        QCOMPARE(message.value(QStringLiteral("text")).toString(), text);
        QCOMPARE(message.value(QStringLiteral("kind")).toString(), QStringLiteral("info"));
    }

    // "Still working" and a failed start's reason go once the Build game page is idle again.
    void playNoticeClearedWhenTheBuildEnds()
    {
        cfg::set(QStringLiteral("server/auto_connect"), false);
        cfg::set(QStringLiteral("games/orx/exe"), dir->filePath(QStringLiteral("nowhere/orx-testgame")));
        auto w = window(QString());
        struct Work : BuildWork {
            bool busy = true;
            bool isBusy() const override { return busy; }
            void compileAgain() override {}
        } work;
        w->setBuildWork(&work);
        auto *buildPage = w->findChild<BuildPage *>();
        emit w->playPage()->playClicked();
        QCOMPARE(w->playNotice(), QStringLiteral("Build game is still working: press PLAY once it is done."));
        work.busy = false;
        emit buildPage->busyChanged(false);
        QCOMPARE(w->playNotice(), QString());

        // A start that failed: its reason stays until the next build ends.
        emit w->playPage()->playClicked();
        QVERIFY(!w->playNotice().isEmpty());
        emit buildPage->busyChanged(true);
        QVERIFY(!w->playNotice().isEmpty());
        emit buildPage->busyChanged(false);
        QCOMPARE(w->playNotice(), QString());
    }

    // A long status line is cut at the window's edge and read whole in its tool tip; the version
    // shows whole.
    void footerStatusElided()
    {
        cfg::set(QStringLiteral("server/auto_connect"), false);
        auto w = window(QString());
        w->resize(w->minimumSize());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const QString digest = QString(64, QLatin1Char('a'));
        const QString error =
            QStringLiteral(
                "The server's certificate has the SHA-256 fingerprint %1, not the pinned %2. Check the "
                "fingerprint the server's operator published, and enter it in Settings.")
                .arg(digest, QString(64, QLatin1Char('b')));
        emit w->serverClient()->connectionError(error);
        auto *statusLabel = w->findChild<ElidedLabel *>(QStringLiteral("StatusText"));
        auto *version = w->findChild<QLabel *>(QStringLiteral("VersionText"));
        QVERIFY(statusLabel && version);
        QCOMPARE(statusLabel->text(), QStringLiteral("Offline: ") + error);
        QCOMPARE(statusLabel->toolTip(), QStringLiteral("Offline: ") + error);
        QCOMPARE(w->width(), w->minimumWidth());
        QTRY_VERIFY(statusLabel->shownText().endsWith(QChar(0x2026)));
        QVERIFY(statusLabel->fontMetrics().horizontalAdvance(statusLabel->shownText()) <=
                statusLabel->contentsRect().width());
        QVERIFY(version->width() >= version->sizeHint().width());
        QVERIFY(version->geometry().right() < version->parentWidget()->width());
        QVERIFY(statusLabel->geometry().right() < version->geometry().left());
    }

    // The link drops while the dialog waits: the player may try again, with the reason.
    void signInDialogWhenTheLinkDrops()
    {
        peer->autoWelcome = welcome();
        QVERIFY(peer->listen());
        ServerClient client;
        client.connectTo(address(), QString());
        QVERIFY(waitFor([&] { return client.state() == ServerClient::Rovivi; }));
        LoginDialog dialog(&client, QStringLiteral("Ann"));
        auto *password = dialog.findChild<QLineEdit *>(QStringLiteral("PasswordField"));
        auto *action = dialog.findChild<QPushButton *>(QStringLiteral("ActionButton"));
        auto *mode = dialog.findChild<QPushButton *>(QStringLiteral("ModeButton"));
        auto *warning = dialog.findChild<QLabel *>(QStringLiteral("Warning"));
        QTest::keyClicks(password, QStringLiteral("secret1"));
        action->click();
        QVERIFY(waitFor([&] { return peer->count(QStringLiteral("login")) == 1; }));
        const int id = dialog.pendingRequest();
        QVERIFY(id >= 0);

        // An answer to another request is not this one's.
        QSignalSpy messages(&client, &ServerClient::message);
        peer->send({{"type", "profile"}, {"id", id + 1}, {"message", "Not yours."}});
        peer->send({{"type", "profile"}, {"message", "No id."}});
        QVERIFY(waitFor([&] { return messages.size() == 2; }));
        QVERIFY(!action->isEnabled());
        QCOMPARE(warning->text(), QStringLiteral("Contacting the server..."));

        // Switching the mode gives the button back.
        mode->click();
        QVERIFY(action->isEnabled());
        QCOMPARE(dialog.pendingRequest(), -1);
        mode->click();
        QVERIFY(!dialog.isCreateMode());

        action->click();
        QVERIFY(waitFor([&] { return peer->count(QStringLiteral("login")) == 2; }));
        QVERIFY(!action->isEnabled());
        peer->closeClient();
        QVERIFY(waitFor([&] { return action->isEnabled(); }));
        QCOMPARE(warning->text(),
                 QStringLiteral("Not connected to the server. Check the address in Settings."));
        QCOMPARE(dialog.pendingRequest(), -1);
        client.disconnectFromServer();
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
