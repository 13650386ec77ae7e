// The main window's flows against a real orx-server and orx-testgame as the game: the first-run
// account prompt, PLAY and its notice, signing out, and closing with the game running.
#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "matchdriverprocess.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/playpage.h"
#include "ui/theme.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using testutil::scaled;

namespace {

QString testGame()
{
    return qEnvironmentVariable("ORX_BIN_DIR") + QStringLiteral("/orx-testgame");
}

// Fills the sign-in dialog once it is up and presses its action button.
void answerLoginWith(const QString &name, const QString &password, bool remember, QString *modeSeen)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        QWidget *modal = QApplication::activeModalWidget();
        auto *field = modal ? modal->findChild<QLineEdit *>(QStringLiteral("NameField")) : nullptr;
        if (!field)
            return;
        *modeSeen = modal->findChild<QPushButton *>(QStringLiteral("ActionButton"))->text();
        if (modal->findChild<QLabel *>(QStringLiteral("Welcome"))->isVisible())
            *modeSeen += QStringLiteral(" + welcome");
        field->setText(name);
        modal->findChild<QLineEdit *>(QStringLiteral("PasswordField"))->setText(password);
        modal->findChild<QLineEdit *>(QStringLiteral("RepeatField"))->setText(password);
        modal->findChild<QCheckBox *>()->setChecked(remember);
        modal->findChild<QPushButton *>(QStringLiteral("ActionButton"))->click();
        poll->deleteLater();
    });
    poll->start(10);
}

// Answers the next question box with `button`; delete the returned poll to stop waiting for one.
QPointer<QTimer> answerBoxWith(QMessageBox::StandardButton button, QString *textSeen)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button, textSeen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *textSeen = box->windowTitle();
        box->button(button)->click();
        poll->deleteLater();
    });
    poll->start(10);
    return poll;
}

// Clicks the button with that text in the next modal box.
QPointer<QTimer> clickInNextBox(const QString &buttonText)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, buttonText] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (QAbstractButton *b : box->buttons()) {
            if (b->text() == buttonText) {
                b->click();
                poll->deleteLater();
                return;
            }
        }
    });
    poll->start(10);
    return poll;
}

// Takes the addresses the launcher asks the system to open, so no program starts.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

QString logText()
{
    return QString::fromUtf8(testutil::readAll(logFilePath()));
}

} // namespace

class TestMainFlows : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    orxtest::ServerProcess serverProcess;
    QTemporaryDir serverDir;

    std::unique_ptr<MainWindow> window(const QString &user = QString())
    {
        LaunchOptions o;
        o.server = QStringLiteral("tcp://127.0.0.1:%1").arg(serverProcess.tcpPort);
        o.user = user;
        return std::make_unique<MainWindow>(o);
    }

private slots:
    void initTestCase()
    {
        applyTheme(*qApp);
        QString error;
        QVERIFY2(serverProcess.start(serverDir.path(), {}, &error), qPrintable(error));
    }
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
    }
    void cleanup() { cfg::resetForTesting(); }

    // A PC without an account is asked for one, in create mode, once the server is reached; what
    // the player chose is stored and the Play page shows the account. "Remember me" off keeps no
    // token; Sign out signs out.
    void firstRunCreatesAnAccount_data()
    {
        QTest::addColumn<bool>("remember");
        QTest::newRow("remembered") << true;
        QTest::newRow("not remembered") << false;
    }
    void firstRunCreatesAnAccount()
    {
        QFETCH(bool, remember);
        const QString name = remember ? QStringLiteral("First1") : QStringLiteral("First2");
        QString mode;
        answerLoginWith(name, QStringLiteral("secret1"), remember, &mode);
        auto w = window();
        w->show();
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::LoggedIn, scaled(30000));
        QCOMPARE(mode, QStringLiteral("Create account + welcome"));
        QTRY_COMPARE_WITH_TIMEOUT(cfg::accountName(), name, scaled(10000));
        QCOMPARE(cfg::accountToken().isEmpty(), !remember);
        QVERIFY(logText().contains(QStringLiteral("account: none on this PC yet, asking for one")));
        w->playPage()->refresh();
        QCOMPARE(w->playPage()->view().accountState, QStringLiteral("signed_in"));
        QCOMPARE(w->playPage()->view().name, name);

        for (QPushButton *b : w->playPage()->findChildren<QPushButton *>()) {
            if (b->text() == QStringLiteral("Sign out"))
                b->click();
        }
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::Rovivi, scaled(10000));
        QVERIFY(cfg::accountToken().isEmpty());
        QCOMPARE(w->playPage()->view().accountState, QStringLiteral("signed_out"));
    }

    // The server's notices replace each other (warn in the error style); a sign-in elsewhere puts
    // this launcher offline with the advice, and CONNECT AGAIN brings it back.
    void noticesKickedAndConnectAgain()
    {
        QString mode;
        answerLoginWith(QStringLiteral("Kicked1"), QStringLiteral("secret1"), true, &mode);
        auto w = window();
        w->show();
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::LoggedIn, scaled(30000));
        auto *banner = w->findChild<QLabel *>(QStringLiteral("Banner"));
        serverProcess.command(QStringLiteral("notice Ranked sets count double this weekend."));
        QTRY_COMPARE_WITH_TIMEOUT(banner->text(), QStringLiteral("Ranked sets count double this weekend."),
                                  scaled(10000));
        QVERIFY(banner->isVisible());
        QVERIFY(!banner->styleSheet().contains(QStringLiteral("#6B3A0A")));
        serverProcess.command(QStringLiteral("warn The server restarts in 5 minutes."));
        QTRY_COMPARE_WITH_TIMEOUT(banner->text(), QStringLiteral("The server restarts in 5 minutes."),
                                  scaled(10000));
        QVERIFY(banner->styleSheet().contains(QStringLiteral("background:#6B3A0A")));

        orxtest::ScriptedClient other;
        QVERIFY(other.connectPlain(serverProcess.tcpPort));
        other.hello();
        QCOMPARE(other.login(QStringLiteral("Kicked1"), QStringLiteral("secret1")).value("type").toString(),
                 QStringLiteral("account"));
        QTRY_VERIFY_WITH_TIMEOUT(banner->text().endsWith(QStringLiteral(
                                     " Press CONNECT AGAIN on the Play page to sign in here again.")),
                                 scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::Offline, scaled(10000));
        PlayPage *page = w->playPage();
        page->refresh();
        QPushButton *again = nullptr;
        for (QPushButton *b : page->findChildren<QPushButton *>()) {
            if (b->text() == QStringLiteral("CONNECT AGAIN"))
                again = b;
        }
        QVERIFY(again && again->isVisible());
        again->click();
        QTRY_VERIFY_WITH_TIMEOUT(w->serverClient()->state() == ServerClient::Rovivi ||
                                     w->serverClient()->state() == ServerClient::LoggedIn,
                                 scaled(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!again->isVisible(), scaled(5000));
    }

    // PLAY starts the player's game, then brings it forward; a missing game sets the notice.
    void playStartsTheGameOrSaysWhy()
    {
        cfg::set(QStringLiteral("account/name"), QStringLiteral("Someone")); // no first-run prompt
        cfg::set(QStringLiteral("games/orx/exe"), dir->filePath(QStringLiteral("missing-game")));
        auto w = window();
        w->show();
        PlayPage *page = w->playPage();
        page->playButton()->click();
        QVERIFY(!w->playNotice().isEmpty());
        auto *alert = page->findChild<QLabel *>(QStringLiteral("Alert"));
        QCOMPARE(alert->text(), w->playNotice());
        QVERIFY(alert->isVisible());
        QVERIFY(logText().contains(QStringLiteral("play: ") + w->playNotice()));

        cfg::set(QStringLiteral("games/orx/exe"), testGame());
        page->playButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(page->playButton()->text(), QStringLiteral("SHOW THE GAME"), scaled(10000));
        QVERIFY(w->playNotice().isEmpty());
        QVERIFY(!alert->isVisible());
        QCOMPARE(page->playButton()->accessibleName(),
                 QStringLiteral("Show the game: bring its window to the front"));
        page->playButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("popup: the game ")), scaled(5000));

        // Closing with the game running asks; No keeps both, Yes ends the game and the link.
        QPointer<GameProcess> game = w->matchController()->matchGame();
        QVERIFY(game && game->isRunning());
        QString asked;
        answerBoxWith(QMessageBox::No, &asked);
        QVERIFY(!w->close());
        QCOMPARE(asked, QStringLiteral("Close Orvex Rovivi?"));
        QVERIFY(w->isVisible());
        QVERIFY(game && game->isRunning());
        answerBoxWith(QMessageBox::Yes, &asked);
        QVERIFY(w->close());
        QTRY_VERIFY_WITH_TIMEOUT(!game || !game->isRunning(), scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::Offline, scaled(10000));
    }

    // A search against another launcher (a match driver with its own stand-in game): the chime
    // when the match is found, the match line, and no signing out while the match is on.
    void searchAgainstAnotherLauncher()
    {
        qputenv("SDL_AUDIODRIVER", "dummy");
        QString mode;
        answerLoginWith(QStringLiteral("Seeker1"), QStringLiteral("secret1"), true, &mode);
        cfg::set(QStringLiteral("games/orx/exe"), testGame());
        auto w = window();
        w->show();
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::LoggedIn, scaled(30000));
        PlayPage *page = w->playPage();
        page->playButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(page->playButton()->text(), QStringLiteral("SHOW THE GAME"), scaled(10000));
        QTRY_COMPARE_WITH_TIMEOUT(w->matchController()->matchGame()->statusWord(), QStringLiteral("ready"),
                                  scaled(20000));

        MatchController::SearchRequest search;
        search.game = QStringLiteral("orx");
        search.mode = QStringLiteral("versus");
        search.region = cfg::region();
        QString reason;
        QVERIFY2(w->matchController()->queue(search, &reason), qPrintable(reason));
        QTRY_COMPARE_WITH_TIMEOUT(w->matchController()->phase(), MatchController::Searching, scaled(10000));
        page->refresh();
        QVERIFY(!page->view().matchLine.isEmpty());

        DriverProcess other;
        DriverProcess::Options o;
        o.name = QStringLiteral("opponent");
        QVERIFY(other.start(o, serverProcess.tcpPort) && other.signInAndPlay());
        other.send(QStringLiteral("queue versus casual"));
        QTRY_COMPARE_WITH_TIMEOUT(w->matchController()->phase(), MatchController::Found, scaled(30000));
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QStringLiteral("sound: match found chime")),
                                 scaled(5000));
        w->matchController()->accept();
        other.send(QStringLiteral("accept"));
        QTRY_VERIFY_WITH_TIMEOUT(w->matchController()->phase() == MatchController::Playing, scaled(60000));
        page->refresh();
        QVERIFY(!page->view().signOutEnabled);
        QVERIFY(!page->view().matchLine.isEmpty());
        QVERIFY2(other.waitFor(QStringLiteral("finished "), 60000), qPrintable(other.dump()));
        QTRY_VERIFY_WITH_TIMEOUT(!inMatchPhase(w->matchController()->phase()), scaled(60000));
        page->refresh();
        QVERIFY(page->view().signOutEnabled);
        w->closeForTermination();
    }

    // Smart App Control on: the box says so, and its button opens Windows Security's page.
    void smartAppControlBoxOpensWindowsSecurity()
    {
        cfg::set(QStringLiteral("account/name"), QStringLiteral("Someone"));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("ms-settings"), &catcher, "open");
        qputenv("ORX_SMART_APP_CONTROL", "1");
        clickInNextBox(QStringLiteral("Open Windows Security"));
        auto w = window();
        w->show();
        QTRY_COMPARE_WITH_TIMEOUT(catcher.opened.size(), 1, scaled(10000));
        QCOMPARE(catcher.opened.first(), QUrl(QStringLiteral("ms-settings:windowsdefender")));
        qunsetenv("ORX_SMART_APP_CONTROL");
        QDesktopServices::unsetUrlHandler(QStringLiteral("ms-settings"));
        QVERIFY(logText().contains(QStringLiteral("Smart App Control: 1")));
        w->closeForTermination();
    }

    // No server at the address yet: offline with the reason; CONNECT AGAIN once one listens there.
    void offlineThenConnectAgainOnceTheServerListens()
    {
        cfg::set(QStringLiteral("account/name"), QStringLiteral("Someone"));
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        LaunchOptions o;
        o.server = QStringLiteral("tcp://127.0.0.1:%1").arg(port);
        auto w = std::make_unique<MainWindow>(o);
        w->show();
        QTRY_COMPARE_WITH_TIMEOUT(w->serverClient()->state(), ServerClient::Offline, scaled(10000));
        PlayPage *page = w->playPage();
        page->refresh();
        QCOMPARE(page->view().accountState, QStringLiteral("offline"));
        QPushButton *again = nullptr;
        for (QPushButton *b : page->findChildren<QPushButton *>()) {
            if (b->text() == QStringLiteral("CONNECT AGAIN"))
                again = b;
        }
        QVERIFY(again && again->isVisible());
        orxtest::ServerProcess late;
        QTemporaryDir lateDir;
        QString error;
        QVERIFY2(late.start(lateDir.path(), {QStringLiteral("--port"), QString::number(port)}, &error),
                 qPrintable(error));
        again->click();
        QTRY_VERIFY_WITH_TIMEOUT(w->serverClient()->state() == ServerClient::Rovivi ||
                                     w->serverClient()->state() == ServerClient::LoggedIn,
                                 scaled(20000));
        w->closeForTermination();
    }

    // A scripted run (--user) and an end request from the system close without the question.
    void closingWithoutTheQuestion_data()
    {
        QTest::addColumn<bool>("byUser");
        QTest::newRow("--user") << true;
        QTest::newRow("end request") << false;
    }
    void closingWithoutTheQuestion()
    {
        QFETCH(bool, byUser);
        cfg::set(QStringLiteral("account/name"), QStringLiteral("Someone"));
        cfg::set(QStringLiteral("games/orx/exe"), testGame());
        auto w = window(byUser ? QStringLiteral("Scripted") : QString());
        w->show();
        w->playPage()->playButton()->click();
        QPointer<GameProcess> game = w->matchController()->matchGame();
        QTRY_VERIFY_WITH_TIMEOUT(game && game->isRunning(), scaled(10000));
        QString asked;
        QPointer<QTimer> poll = answerBoxWith(QMessageBox::No, &asked); // a box would keep the window open
        if (byUser)
            QVERIFY(w->close());
        else
            w->closeForTermination();
        QVERIFY(!w->isVisible());
        QCOMPARE(asked, QString());
        QTRY_VERIFY_WITH_TIMEOUT(!game || !game->isRunning(), scaled(10000));
        QVERIFY(poll); // no box came up to answer
        delete poll;
    }
};

QTEST_MAIN(TestMainFlows)
#include "test_mainflows.moc"
