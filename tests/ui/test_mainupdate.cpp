// The main window's update flow against a real orx-server (--update-file, --min-client-version),
// a release host on loopback serving real zip archives made with bsdtar, and orx-testgame as the
// player's game. The launcher's folder is a packaged folder laid out by the test; the release's
// launcher is a stand-in script that records how it was started.
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/playpage.h"
#include "ui/theme.h"
#include "ui/updatedialog.h"
#include "update/updater.h"
#include "widgetfind.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

using testutil::scaled;

namespace {

const QString kVersion = QStringLiteral("0.1.9");

// A release host: serves one archive at /release.zip, answers 404, or sends the headers and a
// first piece and then nothing more (a transfer in progress that tests cancel or close on).
class ReleaseHost : public QObject {
    Q_OBJECT
public:
    enum Mode { Serve, NotFound, Stall };
    Mode mode = Serve;
    QByteArray body;
    int requests = 0;

    bool listen()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                s->setParent(this);
                connect(s, &QTcpSocket::readyRead, s, [this, s] { answer(s); });
            }
        });
        return m_server.listen(QHostAddress::LocalHost);
    }
    QString url() const
    {
        return QStringLiteral("http://127.0.0.1:%1/release.zip").arg(m_server.serverPort());
    }

private:
    void answer(QTcpSocket *s)
    {
        m_requestText[s] += s->readAll();
        if (!m_requestText[s].contains("\r\n\r\n"))
            return;
        ++requests;
        if (mode == NotFound) {
            s->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            s->disconnectFromHost();
            return;
        }
        s->write("HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nConnection: close\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n");
        if (mode == Stall) {
            s->write(body.left(body.size() / 2));
            return;
        }
        s->write(body);
        s->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requestText;
};

// A release as the host serves it: "ORX-Rovivi" with VERSION.txt, a "games" folder and a stand-in
// launcher that writes its working folder and arguments to `record`.
QByteArray makeRelease(const QString &work, const QString &version, const QString &build,
                       const QString &record)
{
    QDir(work).removeRecursively();
    const QString root = work + QStringLiteral("/ORX-Rovivi");
    testutil::writeAll(root + QStringLiteral("/VERSION.txt"),
                       QStringLiteral("ORX-Rovivi %1, packaged %2\n").arg(version, build).toUtf8());
    testutil::writeAll(root + QStringLiteral("/games/README.txt"), "games go here\n");
    testutil::writeScript(
        root + QStringLiteral("/orx-launcher"),
        QStringLiteral("#!/bin/sh\npwd > '%1'\necho \"$@\" >> '%1'\n").arg(record).toUtf8());
    const QString zip = work + QStringLiteral("/release.zip");
    QProcess tar;
    tar.start(QStringLiteral("bsdtar"), {QStringLiteral("-a"), QStringLiteral("-cf"), zip,
                                         QStringLiteral("-C"), work, QStringLiteral("ORX-Rovivi")});
    if (!tar.waitForFinished(scaled(30000)) || tar.exitCode() != 0)
        return QByteArray();
    return testutil::readAll(zip);
}

QString logText()
{
    return QString::fromUtf8(testutil::readAll(logFilePath()));
}

// Takes the addresses the launcher asks the system to open, so no program starts.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

QString testGame()
{
    return qEnvironmentVariable("ORX_BIN_DIR") + QStringLiteral("/orx-testgame");
}

} // namespace

class TestMainUpdate : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<orxtest::ServerProcess> server;
    ReleaseHost *host = nullptr;
    QByteArray release;
    QString record;

    QString appDir() const { return dir->filePath(QStringLiteral("app")); }
    QString offerFile() const { return dir->filePath(QStringLiteral("offer.json")); }

    QJsonObject offerFor(const QByteArray &archive, const QString &version = kVersion,
                         const QString &build = QStringLiteral("R2"))
    {
        return QJsonObject{
            {"version", version},
            {"build", build},
            {"size", archive.size()},
            {"sha256",
             QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex())},
            {"url", host->url()}};
    }
    void writeOffer(const QJsonObject &offer)
    {
        QVERIFY(testutil::writeAll(offerFile(), QJsonDocument(offer).toJson(QJsonDocument::Compact)));
    }
    void startServer(const QStringList &extra = {})
    {
        server = std::make_unique<orxtest::ServerProcess>();
        QString error;
        QVERIFY2(server->start(dir->filePath(QStringLiteral("server")),
                               QStringList{QStringLiteral("--update-file"), offerFile()} + extra, &error),
                 qPrintable(error));
    }
    std::unique_ptr<MainWindow> window(bool autoUpdate = false)
    {
        LaunchOptions o;
        o.server = QStringLiteral("tcp://127.0.0.1:%1").arg(server->tcpPort);
        o.autoUpdate = autoUpdate;
        auto w = std::make_unique<MainWindow>(o);
        w->show();
        return w;
    }
    static UpdateDialog *dialogOf(MainWindow *w) { return w->currentUpdateDialog(); }
    static bool dialogOpen(MainWindow *w) { return dialogOf(w) && dialogOf(w)->isVisible(); }
    static QString labelText(QWidget *dialog, const char *name)
    {
        auto *l = dialog->findChild<QLabel *>(QLatin1String(name));
        return l ? l->text() : QStringLiteral("<none>");
    }
    // The game a window started, asked to end as the system would end it.
    static void endGame(MainWindow *w)
    {
        GameProcess *game = w->matchController()->matchGame();
        QVERIFY(game && game->isRunning());
        ::kill(pid_t(game->processId()), SIGTERM);
    }
    static void startGame(MainWindow *w)
    {
        QString reason;
        QVERIFY2(w->matchController()->startPlayerGame(&reason), qPrintable(reason));
        QTRY_VERIFY_WITH_TIMEOUT(w->matchController()->matchGame() &&
                                     w->matchController()->matchGame()->isRunning(),
                                 scaled(10000));
    }

private slots:
    void initTestCase() { applyTheme(*qApp); }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QDir().mkpath(appDir() + QStringLiteral("/games"));
        testutil::writeAll(appDir() + QStringLiteral("/VERSION.txt"), "ORX-Rovivi 0.1.8, packaged T1\n");
        cfg::resetForTesting();
        cfg::setAppDirForTesting(appDir());
        cfg::init(dir->filePath(QStringLiteral("data/orx-launcher.ini")));
        cfg::set(QStringLiteral("online/upnp"), false);
        cfg::set(QStringLiteral("account/name"), QStringLiteral("Someone")); // no first-run prompt
        cfg::set(QStringLiteral("games/orx/exe"), testGame());
        host = new ReleaseHost;
        QVERIFY(host->listen());
        record = dir->filePath(QStringLiteral("started.txt"));
        release =
            makeRelease(dir->filePath(QStringLiteral("release")), kVersion, QStringLiteral("R2"), record);
        QVERIFY(!release.isEmpty());
        host->body = release;
    }
    void cleanup()
    {
        server.reset();
        delete host;
        host = nullptr;
        cfg::resetForTesting();
        cfg::setAppDirForTesting(QString());
    }

    // What an update set aside goes at start; after a restart by an update the clean-up runs
    // again a few seconds later, and the player is told which version this is now.
    void cleanUpAtStartAndAfterRestart_data()
    {
        QTest::addColumn<QString>("updatedFrom");
        QTest::newRow("a plain start") << QString();
        QTest::newRow("started by an update") << QStringLiteral("0.1.7");
    }
    void cleanUpAtStartAndAfterRestart()
    {
        QFETCH(QString, updatedFrom);
        const QString first = appDir() + QStringLiteral("/orx-launcher.orx-old");
        const QString later = appDir() + QStringLiteral("/VERSION.txt.orx-old");
        QVERIFY(testutil::writeAll(first, "old"));
        QVERIFY(testutil::writeAll(appDir() + QStringLiteral("/update/old-files.txt"), first.toUtf8()));
        LaunchOptions o;
        o.updatedFrom = updatedFrom;
        auto w = std::make_unique<MainWindow>(o);
        w->show();
        QVERIFY(!QFile::exists(first));
        QVERIFY(!QFile::exists(appDir() + QStringLiteral("/update")));
        QVERIFY(logText().contains(QStringLiteral("update: 1 old file(s) deleted\n")));
        auto *banner = w->findChild<QLabel *>(QStringLiteral("Banner"));
        if (updatedFrom.isEmpty()) {
            QVERIFY(!logText().contains(QStringLiteral("update: now ")));
            QVERIFY(!banner->isVisible());
        } else {
            QVERIFY(logText().contains(QStringLiteral("update: now 0.1.8, from 0.1.7\n")));
            QCOMPARE(banner->text(),
                     QStringLiteral("Orvex Rovivi is now 0.1.8 (it was 0.1.7). The game prepares its "
                                    "code for it next: a minute or two."));
        }

        // A file still held by the old launcher at start, listed again: the later runs take it.
        QVERIFY(testutil::writeAll(later, "old"));
        QVERIFY(testutil::writeAll(appDir() + QStringLiteral("/update/old-files.txt"), later.toUtf8()));
        if (updatedFrom.isEmpty()) {
            QTest::qWait(scaled(3000)); // longer than the first later run: none comes
            QVERIFY(QFile::exists(later));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(later), scaled(15000));
        }
    }

    // A newer release: log line, card, the game menu's line and the dialog; LATER keeps the same
    // offer from opening again, the card's button opens it anyway.
    void offerAvailableThenLater()
    {
        writeOffer(offerFor(release));
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        QVERIFY(!d->isModal());
        QCOMPARE(d->windowTitle(), QStringLiteral("Orvex Rovivi 0.1.9"));
        QCOMPARE(labelText(d, "CardTitle"), QStringLiteral("UPDATE AVAILABLE"));
        QCOMPARE(labelText(d, "Big"), QStringLiteral("Orvex Rovivi 0.1.9"));
        QVERIFY(
            labelText(d, "Rank").startsWith(QStringLiteral("You have 0.1.8. Players on another version")));
        QCOMPARE(d->primaryButton()->text(), QStringLiteral("UPDATE NOW"));
        QVERIFY(logText().contains(QStringLiteral("update: 0.1.9 offered\n")));
        QVERIFY(logText().contains(QStringLiteral("popup: Orvex Rovivi 0.1.9 ")));
        const QString sentence =
            QStringLiteral("Orvex Rovivi 0.1.9 is out. Players on another version cannot play you.");
        QPushButton *card = testutil::buttonNamed(w->playPage(), QStringLiteral("UPDATE TO 0.1.9"));
        QVERIFY(card && card->isVisible());
        const QJsonObject menu = w->menuBridge()->composeState().value("update").toObject();
        QCOMPARE(menu.value("version").toString(), kVersion);
        QCOMPARE(menu.value("text").toString(),
                 sentence + " Close the game and update on Orvex Rovivi's Play page.");

        d->secondButton()->click(); // LATER
        QTRY_VERIFY_WITH_TIMEOUT(!dialogOf(w.get()), scaled(5000));
        QVERIFY(!w->selfUpdater()->isActive());

        // The same version again, as a broadcast (another address) and after a new connection.
        QJsonObject again = offerFor(release);
        again.insert("url", host->url() + QStringLiteral("?again"));
        writeOffer(again);
        QTRY_VERIFY_WITH_TIMEOUT(logText().count(QStringLiteral("update: 0.1.9 offered\n")) == 2,
                                 scaled(20000));
        w->connectToServer();
        QTRY_VERIFY_WITH_TIMEOUT(logText().count(QStringLiteral("update: 0.1.9 offered\n")) == 3,
                                 scaled(20000));
        QTest::qWait(200);
        QVERIFY(!dialogOf(w.get()));

        card->click();
        QVERIFY(dialogOpen(w.get()));
        QCOMPARE(labelText(dialogOf(w.get()), "CardTitle"), QStringLiteral("UPDATE AVAILABLE"));
        // A second press brings the same dialog forward.
        QPointer<UpdateDialog> first = dialogOf(w.get());
        card->click();
        QCOMPARE(dialogOf(w.get()), first.data());
    }

    // A server that refuses this version: the dialog says the update is needed, and a dismissed
    // version still opens when it is required.
    void requiredOffer()
    {
        writeOffer(offerFor(release));
        startServer({QStringLiteral("--min-client-version"), kVersion});
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        QCOMPARE(labelText(d, "CardTitle"), QStringLiteral("UPDATE NEEDED"));
        QCOMPARE(labelText(d, "Rank"),
                 QStringLiteral("You have 0.1.8. The server needs this version to play online."));
        QCOMPARE(d->secondButton()->text(), QStringLiteral("LATER"));
        QVERIFY(logText().contains(QStringLiteral("update: 0.1.9 offered, needed to play online\n")));
        QVERIFY(testutil::buttonNamed(w->playPage(), QStringLiteral("UPDATE TO 0.1.9")));
        d->close(); // the window's close button: dismissed
        QTRY_VERIFY_WITH_TIMEOUT(!dialogOf(w.get()), scaled(5000));
        w->connectToServer();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        QCOMPARE(labelText(dialogOf(w.get()), "CardTitle"), QStringLiteral("UPDATE NEEDED"));
    }

    // This very version with another build: a test build is told to get the release.
    void testBuildGetsTheRelease()
    {
        const QByteArray same = makeRelease(dir->filePath(QStringLiteral("same")), QStringLiteral("0.1.8"),
                                            QStringLiteral("R2"), record);
        writeOffer(offerFor(same, QStringLiteral("0.1.8"), QStringLiteral("R2")));
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        QVERIFY(logText().contains(
            QStringLiteral("update: 0.1.8 offered (the release's build R2; this one is T1)\n")));
        QVERIFY(testutil::buttonNamed(w->playPage(), QStringLiteral("GET THE RELEASE")));
        QVERIFY(labelText(dialogOf(w.get()), "Rank")
                    .startsWith(QStringLiteral(
                        "You have a test build of 0.1.8 (packaged T1). Everyone else plays the "
                        "release of 0.1.8 (packaged R2)")));
        // The release itself is not offered to the release.
        writeOffer(offerFor(same, QStringLiteral("0.1.8"), QStringLiteral("T1")));
        QTRY_VERIFY_WITH_TIMEOUT(server->errors().count(QStringLiteral("update offer 0.1.8")) >= 2,
                                 scaled(20000));
        QTest::qWait(300);
        QCOMPARE(logText().count(QStringLiteral("update: 0.1.8 offered")), 1);
    }

    // A required offer while the game runs waits; it opens once the game has closed.
    void requiredOfferWaitsForTheGame()
    {
        writeOffer(offerFor(release));
        startServer({QStringLiteral("--min-client-version"), kVersion});
        // Offline first, so the game runs before the server refuses this version.
        cfg::set(QStringLiteral("server/auto_connect"), false);
        cfg::set(QStringLiteral("server/address"), QStringLiteral("tcp://127.0.0.1:%1").arg(server->tcpPort));
        auto w = std::make_unique<MainWindow>(LaunchOptions());
        w->show();
        startGame(w.get());
        w->connectToServer();
        QTRY_VERIFY_WITH_TIMEOUT(
            logText().contains(QStringLiteral("update: 0.1.9 offered, needed to play online\n")),
            scaled(20000));
        QTest::qWait(300);
        QVERIFY(!dialogOf(w.get()));
        endGame(w.get());
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        QCOMPARE(labelText(dialogOf(w.get()), "CardTitle"), QStringLiteral("UPDATE NEEDED"));
    }

    // UPDATE NOW while the game runs: the download finishes and waits; closing the game installs,
    // starts the new launcher and closes the window.
    void downloadWaitsForTheGameThenInstalls()
    {
        startServer();
        auto w = window();
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::Rovivi, scaled(20000));
        startGame(w.get());
        writeOffer(offerFor(release));
        QPushButton *card = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (card = testutil::buttonNamed(w->playPage(), QStringLiteral("UPDATE TO 0.1.9"))), scaled(20000));
        card->click();
        QVERIFY(dialogOpen(w.get()));
        UpdateDialog *d = dialogOf(w.get());
        d->primaryButton()->click();
        QVERIFY(!d->primaryButton()->isEnabled());
        QCOMPARE(d->secondButton()->text(), QStringLiteral("CANCEL"));
        QTRY_COMPARE_WITH_TIMEOUT(labelText(d, "Muted"),
                                  QStringLiteral("Downloaded. It goes in once you close the game."),
                                  scaled(30000));
        auto *bar = d->findChild<QProgressBar *>();
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 100);
        QVERIFY(!QFile::exists(record));

        QPointer<MainWindow> alive(w.get());
        endGame(w.get());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record) && testutil::readAll(record).count('\n') == 2,
                                 scaled(30000));
        const QStringList started = QString::fromUtf8(testutil::readAll(record)).split('\n');
        QCOMPARE(QDir(started.at(0)).canonicalPath(), QDir(appDir()).canonicalPath());
        QCOMPARE(started.at(1), QStringLiteral("--updated 0.1.8 --config ") + cfg::settingsPath());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), scaled(10000));
        QVERIFY(logText().contains(QStringLiteral("update: 0.1.9 installed (")));
        QCOMPARE(testutil::readAll(appDir() + "/VERSION.txt"), QByteArray("ORX-Rovivi 0.1.9, packaged R2\n"));
    }

    // CANCEL while downloading: back to UPDATE NOW, nothing installed.
    void cancelWhileDownloading()
    {
        host->mode = ReleaseHost::Stall;
        writeOffer(offerFor(release));
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        d->primaryButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(labelText(d, "Muted").startsWith(QStringLiteral("Downloading 0.1.9")),
                                 scaled(20000));
        QVERIFY(w->selfUpdater()->isActive());
        d->secondButton()->click(); // CANCEL
        QCOMPARE(labelText(d, "Muted"), QStringLiteral("Cancelled: nothing was changed."));
        QCOMPARE(d->primaryButton()->text(), QStringLiteral("UPDATE NOW"));
        QVERIFY(d->primaryButton()->isEnabled());
        QCOMPARE(d->secondButton()->text(), QStringLiteral("LATER"));
        QVERIFY(!d->findChild<QProgressBar *>()->isVisible());
        QVERIFY(!w->selfUpdater()->isActive());
        QVERIFY(logText().contains(QStringLiteral("update: 0.1.9 cancelled")));
        QVERIFY(dialogOpen(w.get()));
        QCOMPARE(testutil::readAll(appDir() + "/VERSION.txt"), QByteArray("ORX-Rovivi 0.1.8, packaged T1\n"));
    }

    // A failed download shows the reason and TRY AGAIN, which starts it once more; closing the
    // dialog while that runs cancels it.
    void failureThenTryAgainThenClose()
    {
        host->mode = ReleaseHost::NotFound;
        writeOffer(offerFor(release));
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        d->primaryButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(d->primaryButton()->text(), QStringLiteral("TRY AGAIN"), scaled(20000));
        QVERIFY(labelText(d, "Muted").startsWith(QStringLiteral("The download failed: ")));
        QVERIFY(d->primaryButton()->isEnabled());
        QCOMPARE(d->secondButton()->text(), QStringLiteral("LATER"));
        QVERIFY(!d->findChild<QProgressBar *>()->isVisible());
        QCOMPARE(host->requests, 1);

        host->mode = ReleaseHost::Stall;
        d->primaryButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(labelText(d, "Muted").startsWith(QStringLiteral("Downloading 0.1.9")),
                                 scaled(20000));
        QTRY_COMPARE_WITH_TIMEOUT(host->requests, 2, scaled(10000));
        QCOMPARE(d->secondButton()->text(), QStringLiteral("CANCEL"));
        d->close();
        QTRY_VERIFY_WITH_TIMEOUT(!dialogOf(w.get()), scaled(5000));
        QVERIFY(!w->selfUpdater()->isActive());
        QVERIFY(logText().contains(QStringLiteral("update: 0.1.9 cancelled")));
    }

    // A source build cannot update itself: the dialog says so and opens the download page, and
    // only a web page.
    void sourceBuildOpensThePage()
    {
        QDir(appDir() + QStringLiteral("/games")).removeRecursively();
        cfg::resetForTesting();
        cfg::setAppDirForTesting(appDir());
        cfg::init(dir->filePath(QStringLiteral("data/orx-launcher.ini")));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        const auto unset = qScopeGuard([] {
            QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
            QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        });
        QJsonObject offer = offerFor(release);
        offer.insert("page", "https://example.org/orx/0.1.9");
        writeOffer(offer);
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        QCOMPARE(labelText(d, "Muted"), QStringLiteral("A source build updates with git, not here."));
        QCOMPARE(d->primaryButton()->text(), QStringLiteral("OPEN THE DOWNLOAD PAGE"));
        d->primaryButton()->click();
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/orx/0.1.9"))});
        QVERIFY(!w->selfUpdater()->isActive());
        QCOMPARE(host->requests, 0);
        d->secondButton()->click();

        // A page on the disk is never handed to the desktop.
        offer.insert("version", "0.1.10");
        offer.insert("page", "file:///bin/sh");
        writeOffer(offer);
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        dialogOf(w.get())->primaryButton()->click();
        QCOMPARE(catcher.opened.size(), 1);
        QVERIFY(logText().contains(
            QStringLiteral("update: the download page file:///bin/sh is not a web address")));
    }

    // The server's notes as plain text, and its page as an escaped link.
    void notesAndLink()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); });
        QJsonObject offer = offerFor(release);
        offer.insert("notes", "<b>Faster</b> netplay & fewer desyncs.");
        offer.insert("page", "https://example.org/n?a=1&b=\"2\"");
        writeOffer(offer);
        startServer();
        auto w = window();
        QTRY_VERIFY_WITH_TIMEOUT(dialogOpen(w.get()), scaled(20000));
        UpdateDialog *d = dialogOf(w.get());
        auto *notes = d->findChild<QLabel *>(QStringLiteral("UpdateNotes"));
        QVERIFY(notes);
        QCOMPARE(notes->textFormat(), Qt::PlainText);
        QCOMPARE(notes->text(), QStringLiteral("<b>Faster</b> netplay & fewer desyncs."));
        auto *link = d->findChild<QLabel *>(QStringLiteral("UpdateLink"));
        QVERIFY(link);
        QCOMPARE(link->text(), QStringLiteral("<a href=\"https://example.org/n?a=1&amp;b=&quot;2&quot;\" "
                                              "style=\"color:#F2C14E\">What's new in 0.1.9</a>"));
        emit link->linkActivated(QStringLiteral("https://example.org/n?a=1"));
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/n?a=1"))});
    }
};

QTEST_MAIN(TestMainUpdate)
#include "test_mainupdate.moc"
