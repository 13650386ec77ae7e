// orx-snapshots --out DIR: puts the real main window and its dialogs into each state a player can
// meet and saves a picture of each (MainWindow::saveSnapshot, the "snap:" log lines). It runs its
// own orx-server and uses orx-testgame as the game. scripts/screenshots.sh runs it under Xvfb for
// people to look at; CTest runs it offscreen so it keeps working.
#include "build/buildpipeline.h"
#include "controls/keydialog.h"
#include "core/cfg.h"
#include "core/log.h"
#include "core/version.h"
#include "gamedata/registry.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "ui/buildpage.h"
#include "ui/logindialog.h"
#include "ui/mainwindow.h"
#include "ui/playpage.h"
#include "ui/theme.h"
#include "ui/updatedialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

int g_failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "orx-snapshots: %s did not happen\n", what);
        ++g_failures;
    }
}

void settle()
{
    QTest::qWait(150); // lets layouts and style polish finish before a grab
}

// The state document the in-game menu bridge gives the Play page, reduced to what the link knows:
// the account with its own statistics.
QJsonObject linkState(ServerClient *server)
{
    static const char *const names[] = {"offline", "connecting", "signed_out", "signed_in"};
    QJsonObject account{
        {"state", QString::fromLatin1(names[int(server->state())])},
        {"name", server->state() == ServerClient::LoggedIn ? server->accountName() : QString()}};
    return QJsonObject{{"account", account}, {"server", QJsonObject{{"online", 1}, {"in_matches", 0}}}};
}

QJsonObject ownStats(ServerClient *server)
{
    return server->account()
        .value("profile")
        .toObject()
        .value("stats")
        .toObject()
        .value("orx")
        .toObject()
        .value("versus")
        .toObject();
}

// Saves the next modal box as `name`, then answers it with `button`.
void snapNextBox(MainWindow *w, const QString &name, QMessageBox::StandardButton button, bool *seen)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll->stop();
        QTimer::singleShot(200, box, [=] {
            w->saveSnapshot(name, box);
            *seen = true;
            if (QAbstractButton *b = box->button(button))
                b->click();
            else
                box->reject();
            poll->deleteLater();
        });
    });
    poll->start(20);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QString::fromLatin1(kLauncherVersion));
    QCommandLineParser parser;
    parser.addOption({"out", "Folder for the pictures.", "dir"});
    parser.process(app);
    const QString out = parser.value("out");
    if (out.isEmpty()) {
        std::fprintf(stderr, "usage: orx-snapshots --out DIR\n");
        return 2;
    }
    QTemporaryDir data;
    cfg::init(data.filePath("orx-launcher.ini"));
    cfg::set("online/upnp", false);
    cfg::set("account/name", "Snap"); // the first-run prompt is pictured on its own below
    cfg::set("games/orx/exe", data.filePath("games/orx/orx.exe"));
    applyTheme(app);

    QString error;
    // The shipped game definition, as the launcher loads it at start: the Build game page shows it.
    if (!GameRegistry::load(&error)) {
        std::fprintf(stderr, "orx-snapshots: no game definition: %s\n", qPrintable(error));
        return 1;
    }
    orxtest::ServerProcess server;
    if (!server.start(data.filePath("server"), {}, &error)) {
        std::fprintf(stderr, "orx-snapshots: orx-server did not start: %s\n", qPrintable(error));
        return 1;
    }
    const QString address = QStringLiteral("tcp://127.0.0.1:%1").arg(server.tcpPort);

    qputenv("ORX_SMART_APP_CONTROL", "1");
    LaunchOptions options;
    options.server = QStringLiteral("tcp://127.0.0.1:1"); // nothing listens: offline first
    options.snapDir = out;
    options.page = QStringLiteral("play");
    bool sacSeen = false;
    MainWindow w(options);
    ServerClient *link = w.serverClient();
    PlayPage *play = w.playPage();
    play->setStateSource([link] { return linkState(link); }, [link] { return ownStats(link); });
    snapNextBox(&w, "box-smart-app-control", QMessageBox::Ok, &sacSeen);
    w.show();
    check(orxtest::waitUntil([&] { return sacSeen; }, 10000), "the Smart App Control box");
    qunsetenv("ORX_SMART_APP_CONTROL");

    auto *footer = w.findChild<QLabel *>("StatusText");
    check(orxtest::waitUntil([&] { return footer->text().startsWith("Offline: "); }, 10000), "offline");
    settle();
    w.saveSnapshot("play-offline-build-notice");

    cfg::set("server/address", address);
    w.connectToServer();
    check(orxtest::waitUntil([&] { return link->state() == ServerClient::Rovivi; }, 20000),
          "reaching the server");
    cfg::set("games/orx/exe", qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame");
    w.refreshBuildNotice();
    play->refresh();
    settle();
    w.saveSnapshot("play-signed-out");

    // The sign-in dialog in its modes, with a warning, and while it waits for the server.
    LoginDialog dialog(link, QString(), &w);
    dialog.show();
    settle();
    w.saveSnapshot("dialog-sign-in", &dialog);
    dialog.showWelcome();
    settle();
    w.saveSnapshot("dialog-create-welcome", &dialog);
    dialog.findChild<QLineEdit *>("NameField")->setText("a.b");
    dialog.findChild<QPushButton *>("ActionButton")->click();
    settle();
    w.saveSnapshot("dialog-create-warning", &dialog);
    dialog.findChild<QLineEdit *>("NameField")->setText("Snap");
    dialog.findChild<QLineEdit *>("PasswordField")->setText("snapshot1");
    dialog.findChild<QLineEdit *>("RepeatField")->setText("snapshot1");
    dialog.findChild<QPushButton *>("ActionButton")->click();
    w.saveSnapshot("dialog-create-waiting", &dialog);
    check(orxtest::waitUntil([&] { return link->state() == ServerClient::LoggedIn; }, 20000), "signing in");
    dialog.hide();
    play->refresh();
    settle();
    w.saveSnapshot("play-signed-in");

    // Ranked: the operator gives the account an Elo; the next sign-in brings the title.
    server.command("elo Snap 1800");
    check(orxtest::waitUntil([&] { return server.output().contains("orx-server: elo Snap"); }, 10000),
          "the elo command");
    link->logout();
    check(orxtest::waitUntil([&] { return link->state() == ServerClient::Rovivi; }, 10000), "signing out");
    link->login("Snap", "snapshot1");
    check(orxtest::waitUntil([&] { return link->state() == ServerClient::LoggedIn; }, 10000),
          "signing in again");
    play->refresh();
    settle();
    w.saveSnapshot("play-ranked");

    w.showNotice(QStringLiteral("Season 3 starts Friday: ranked sets count double this weekend."), false);
    settle();
    w.saveSnapshot("banner-info");
    w.showNotice(QStringLiteral("Your opponent's game closed during the match."), true);
    settle();
    w.saveSnapshot("banner-error");
    w.findChild<QLabel *>("Banner")->hide(); // it would stay 20 s on the pictures that follow

    play->playButton()->click();
    check(orxtest::waitUntil([&] { return play->view().playText == "SHOW THE GAME"; }, 15000),
          "the game starting");
    check(orxtest::waitUntil([&] { return play->view().gameLine.contains("Everything online"); }, 15000),
          "the game in its menus");
    settle();
    w.saveSnapshot("play-game-running");

    MatchController::SearchRequest search;
    search.game = "orx";
    search.mode = "versus";
    search.region = cfg::region();
    search.ranked = true;
    QString reason;
    if (!w.matchController()->queue(search, &reason))
        std::fprintf(stderr, "orx-snapshots: no search: %s\n", qPrintable(reason));
    check(
        orxtest::waitUntil([&] { return w.matchController()->phase() == MatchController::Searching; }, 10000),
        "searching");
    play->refresh();
    settle();
    w.saveSnapshot("play-searching");
    w.matchController()->cancel();

    for (int page = 1; page < MainWindow::pageNames().size(); ++page) {
        w.showPage(page);
        settle();
        w.saveSnapshot("page-" + MainWindow::pageNames().at(page));
    }
    // Every page again at the smallest window size: they scroll, nothing is squeezed.
    {
        const QSize first = w.size();
        w.resize(w.minimumSize());
        for (int page = 0; page < MainWindow::pageNames().size(); ++page) {
            w.showPage(page);
            settle();
            w.saveSnapshot("page-" + MainWindow::pageNames().at(page) + "-smallest");
        }
        w.resize(first);
        settle();
    }
    // The Build game page's prompt for the title update, as a build that found none shows it.
    {
        w.showPage(1);
        settle();
        auto *buildPage = w.findChild<BuildPage *>();
        bool promptSeen = false;
        if (buildPage && buildPage->pipeline()) {
            snapNextBox(&w, "box-title-update", QMessageBox::Cancel, &promptSeen);
            emit buildPage->pipeline()->titleUpdateNeeded(
                QStringLiteral("Ironmere IV needs its title update 3 (TU_ORX_0003O2) to be built: choose the "
                               "file you saved from your console."));
        }
        check(promptSeen, "the title update prompt");
    }

    // The key dialog of the Settings page's keyboard editor, asking for the key of A.
    {
        w.showPage(2);
        KeyDialog key(QStringLiteral("A"), 0x20, &w);
        key.show();
        settle();
        w.saveSnapshot("dialog-key", &key);
        key.reject();
    }
    w.showPage(0);

    // The update dialog in each of its states. A packaged folder of build T1 makes the test build's
    // explanation possible.
    {
        const QString app = data.filePath("app");
        QDir().mkpath(app + "/games");
        QFile version(app + "/VERSION.txt");
        check(version.open(QIODevice::WriteOnly) && version.write("ORX-Rovivi 0.1.8, packaged T1\n") > 0,
              "the packaged folder");
        version.close();
        cfg::setAppDirForTesting(app);
        const QJsonObject offer{{"version", "0.1.9"},
                                {"build", "R2"},
                                {"size", 48234496},
                                {"sha256", QString(64, 'a')},
                                {"url", "https://example.org/ORX-Rovivi-0.1.9.zip"},
                                {"notes",
                                 "Faster rollback on slow links, the lobby list sorted by ping, and two "
                                 "desync fixes in King of the Hill."},
                                {"page", "https://example.org/orx/0.1.9"}};
        const auto snap = [&](UpdateDialog &d, const char *name) {
            d.show();
            settle();
            check(w.saveSnapshot(QStringLiteral("dialog-update-") + name, &d), name);
        };
        {
            UpdateDialog d(offer, false, QString(), &w);
            snap(d, "available");
            d.primaryButton()->click();
            d.showProgress("Downloading 0.1.9...", 0);
            d.showProgress("Downloading 0.1.9: 17 of 46 MB", 37);
            snap(d, "downloading");
            d.showProgress("Unpacking 0.1.9...", -1);
            snap(d, "unpacking");
            d.showWaiting("Downloaded. It goes in once you close the game.");
            snap(d, "waiting");
            d.secondButton()->click();
            snap(d, "cancelled");
            d.primaryButton()->click();
            d.showFailure("The download failed: Connection refused");
            snap(d, "failed");
        }
        {
            UpdateDialog d(offer, true, QString(), &w);
            snap(d, "required");
        }
        {
            QJsonObject same = offer;
            same.insert("version", "0.1.8");
            same.remove("notes");
            UpdateDialog d(same, false, QString(), &w);
            snap(d, "test-build");
        }
        {
            UpdateDialog d(offer, false, QStringLiteral("A source build updates with git, not here."), &w);
            snap(d, "source-build");
        }
        cfg::setAppDirForTesting(QString());
    }

    // The trust question: a server with TLS whose certificate nobody pinned yet.
    {
        orxtest::ServerProcess tlsServer;
        bool trustSeen = false;
        if (tlsServer.start(data.filePath("tls-server"), {"--tls"}, &error)) {
            cfg::set("server/fingerprint", QString());
            cfg::set("server/address", QStringLiteral("127.0.0.1:%1").arg(tlsServer.tcpPort));
            snapNextBox(&w, "box-trust", QMessageBox::No, &trustSeen);
            w.connectToServer();
            orxtest::waitUntil([&] { return trustSeen; }, 20000);
        }
        check(trustSeen, "the trust question");
    }

    bool closeSeen = false;
    snapNextBox(&w, "box-close", QMessageBox::No, &closeSeen);
    w.close();
    check(closeSeen, "the closing question");
    w.closeForTermination();
    std::printf("orx-snapshots: %s (%d missing)\n", g_failures ? "incomplete" : "done", g_failures);
    return g_failures ? 1 : 0;
}
