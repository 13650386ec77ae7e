// The Play page, the sign-in dialog and the Support page as widgets: the dialog against a real
// orx-server, the Support buttons through a URL handler instead of a browser.
#include "core/cfg.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "ui/logindialog.h"
#include "ui/playpage.h"
#include "ui/supportpage.h"
#include "ui/theme.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class TestPages : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    orxtest::ServerProcess serverProcess;

    static QPushButton *button(QWidget *w, const QString &text)
    {
        for (QPushButton *b : w->findChildren<QPushButton *>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        applyTheme(*qApp);
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        QString error;
        QVERIFY2(serverProcess.start(dir.filePath(QStringLiteral("server")), {}, &error), qPrintable(error));
    }

    void playPageAppliesItsView()
    {
        PlayPage page(nullptr, nullptr);
        QJsonObject state{
            {"account", QJsonObject{{"state", "signed_in"}, {"name", "Ann"}}},
            {"queue", QJsonObject{{"state", "searching"}, {"text", "Searching for a casual match: 0:05."}}}};
        QJsonObject stats{{"ranked", QJsonObject{{"title", "Gold"}, {"elo", 1600}}}};
        page.setStateSource([&] { return state; }, [&] { return stats; });
        page.show();
        QCOMPARE(page.findChild<QLabel *>(QStringLiteral("Huge"))->text(), QStringLiteral("Ann"));
        QVERIFY(button(&page, "Sign out")->isVisible());
        QVERIFY(!button(&page, "SIGN IN")->isVisible());
        const QPixmap avatar = page.findChild<QLabel *>(QStringLiteral("Avatar"))->pixmap();
        QCOMPARE(avatar.height(), qRound(72 * avatar.devicePixelRatio()));
        QCOMPARE(page.playButton()->accessibleName(), QStringLiteral("Play: start the game"));
        QCOMPARE(page.playButton()->minimumHeight(), 110);
        bool matchLineShown = false;
        for (QLabel *l : page.findChildren<QLabel *>(QStringLiteral("Status")))
            matchLineShown |=
                l->isVisible() && l->text() == QStringLiteral("Searching for a casual match: 0:05.");
        QVERIFY(matchLineShown);

        // A title without a picture falls back to the default picture, at 64.
        stats = QJsonObject{{"ranked", QJsonObject{{"title", "Unobtainium"}}}};
        page.refresh();
        QCOMPARE(page.findChild<QLabel *>(QStringLiteral("Avatar"))->pixmap().height(),
                 qRound(64 * avatar.devicePixelRatio()));

        // The notice, its button, the update card; PLAY's signal and the animated click.
        auto *alert = page.findChild<QLabel *>(QStringLiteral("Alert"));
        QVERIFY(!alert->isVisible());
        page.setBuildNotice(QStringLiteral("Build it."), true);
        QVERIFY(alert->isVisible());
        QVERIFY(button(&page, "OPEN BUILD GAME")->isVisible());
        page.setBuildNotice(QStringLiteral("Build it."), false);
        QVERIFY(!button(&page, "OPEN BUILD GAME")->isVisible());
        page.setBuildNotice(QString(), true);
        QVERIFY(!alert->isVisible());
        QVERIFY(!button(&page, "OPEN BUILD GAME")->isVisible());
        page.setUpdate(QStringLiteral("UPDATE TO 0.1.9"), QStringLiteral("Orvex Rovivi 0.1.9 is out."));
        QPushButton *update = button(&page, "UPDATE TO 0.1.9");
        QVERIFY(update && update->isVisible());
        page.setUpdate(QString(), QString());
        QVERIFY(!update->isVisible());
        QSignalSpy played(&page, &PlayPage::playClicked);
        page.clickPlay();
        QTRY_COMPARE(played.count(), 1);
        page.playButton()->setEnabled(false);
        page.clickPlay();
        QTest::qWait(300); // an animated click takes 100 ms; none may come
        QCOMPARE(played.count(), 1);
    }

    // Create an account, refuse bad fields locally, show the server's words for a wrong password,
    // and log out before signing in as another account.
    void signInDialogAgainstTheServer()
    {
        ServerClient client;
        client.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(serverProcess.tcpPort), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), ServerClient::Rovivi, orxtest::scaled(20000));

        LoginDialog create(&client, QString());
        create.showWelcome();
        QVERIFY(create.isCreateMode());
        auto *name = create.findChild<QLineEdit *>(QStringLiteral("NameField"));
        auto *password = create.findChild<QLineEdit *>(QStringLiteral("PasswordField"));
        auto *repeat = create.findChild<QLineEdit *>(QStringLiteral("RepeatField"));
        auto *warning = create.findChild<QLabel *>(QStringLiteral("Warning"));
        auto *action = create.findChild<QPushButton *>(QStringLiteral("ActionButton"));
        QCOMPARE(name->maxLength(), 16);
        QTest::keyClicks(name, QStringLiteral(" Ann "));
        QTest::keyClicks(password, QStringLiteral("secret1"));
        QTest::keyClicks(repeat, QStringLiteral("secret2"));
        action->click();
        QCOMPARE(warning->text(), QStringLiteral("The two passwords differ."));
        QCOMPARE(create.pendingRequest(), -1);
        repeat->clear();
        QTest::keyClicks(repeat, QStringLiteral("secret1"));
        action->click();
        QVERIFY(!action->isEnabled());
        QCOMPARE(warning->text(), QStringLiteral("Contacting the server..."));
        QTRY_COMPARE_WITH_TIMEOUT(create.result(), int(QDialog::Accepted), orxtest::scaled(20000));
        QCOMPARE(create.name(), QStringLiteral("Ann"));
        QVERIFY(password->text().isEmpty());
        QCOMPARE(client.state(), ServerClient::LoggedIn);

        // Signed in as Ann: signing in as Bob (wrong password) logs Ann out first.
        LoginDialog wrong(&client, QStringLiteral("Bob"));
        QVERIFY(!wrong.isCreateMode());
        QVERIFY(!wrong.findChild<QLineEdit *>(QStringLiteral("RepeatField"))->isVisibleTo(&wrong));
        auto *wrongPassword = wrong.findChild<QLineEdit *>(QStringLiteral("PasswordField"));
        QTest::keyClicks(wrongPassword, QStringLiteral("not-his"));
        auto *wrongAction = wrong.findChild<QPushButton *>(QStringLiteral("ActionButton"));
        wrongAction->click();
        QTRY_VERIFY_WITH_TIMEOUT(wrongAction->isEnabled(), orxtest::scaled(20000));
        const QString words = wrong.findChild<QLabel *>(QStringLiteral("Warning"))->text();
        QVERIFY(!words.isEmpty());
        QVERIFY(words != QStringLiteral("Contacting the server..."));
        QVERIFY(!words.startsWith(QStringLiteral("Names are")));
        QCOMPARE(wrongPassword->text(), QStringLiteral("not-his"));
        QVERIFY(client.state() != ServerClient::LoggedIn);
        QCOMPARE(wrong.result(), int(QDialog::Rejected));

        // The mode button switches and clears the warning.
        auto *mode = wrong.findChild<QPushButton *>(QStringLiteral("ModeButton"));
        mode->click();
        QVERIFY(wrong.isCreateMode());
        QVERIFY(wrong.findChild<QLabel *>(QStringLiteral("Warning"))->text().isEmpty());
        QCOMPARE(wrongAction->text(), QStringLiteral("Create account"));
        client.disconnectFromServer();
    }

    void supportButtonsOpenTheirTooltip()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        SupportPage page;
        const QList<QPushButton *> buttons = page.findChildren<QPushButton *>(QStringLiteral("Primary"));
        QCOMPARE(buttons.size(), 2);
        QCOMPARE(buttons.at(0)->text(), QStringLiteral("OPEN YOUTUBE"));
        QCOMPARE(buttons.at(1)->text(), QStringLiteral("OPEN TWITCH"));
        for (QPushButton *b : buttons) {
            catcher.opened.clear();
            b->click();
            QCOMPARE(catcher.opened.size(), 1);
            QCOMPARE(catcher.opened.first().toString(), b->toolTip());
            QVERIFY(b->toolTip().startsWith(QLatin1String("https://")));
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

    void supportCardsNeedHttps_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("services");
        QTest::addColumn<QStringList>("problems");
        const QByteArray yt = "{\"service\":\"YouTube\",\"short\":\"yt/x\",\"url\":\"https://yt.example/x\"}";
        QTest::newRow("both")
            << QByteArray("{\"person\":\"P\",\"channels\":[" + yt +
                          ",{\"service\":\"Twitch\",\"short\":\"tw/x\",\"url\":\"https://tw.example/x\"}]}")
            << QStringList{"YouTube", "Twitch"} << QStringList();
        QTest::newRow("plain http")
            << QByteArray("{\"channels\":[" + yt +
                          ",{\"service\":\"Twitch\",\"short\":\"tw/x\",\"url\":\"http://tw.example/x\"}]}")
            << QStringList{"YouTube"} << QStringList{"Twitch"};
        QTest::newRow("missing") << QByteArray("{\"channels\":[" + yt + "]}") << QStringList{"YouTube"}
                                 << QStringList{"Twitch"};
        QTest::newRow("no short address")
            << QByteArray("{\"channels\":[{\"service\":\"YouTube\",\"url\":\"https://a.b/c\"}]}")
            << QStringList() << QStringList{"YouTube", "Twitch"};
        QTest::newRow("not JSON") << QByteArray("nonsense") << QStringList()
                                  << QStringList{"YouTube", "Twitch"};
    }
    void supportCardsNeedHttps()
    {
        QFETCH(QByteArray, json);
        QStringList problems;
        const SupportContent content = readSupportContent(json, &problems);
        QStringList services;
        for (const SupportChannel &c : content.channels)
            services << c.service;
        QTEST(services, "services");
        QTEST(problems, "problems");
        SupportPage page(nullptr, json);
        QCOMPARE(page.findChildren<QPushButton *>(QStringLiteral("Primary")).size(), services.size());
    }
};

QTEST_MAIN(TestPages)
#include "test_pages.moc"
