// The Play page, the sign-in dialog and the Support page as widgets: the dialog against a real
// orx-server, the Support buttons through a URL handler instead of a browser.
#include "core/cfg.h"
#include "gamedata/registry.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "ui/logindialog.h"
#include "ui/mainwindow.h"
#include "ui/playpage.h"
#include "ui/supportpage.h"
#include "ui/theme.h"
#include "ui/updatedialog.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
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

    // The visible buttons, fields and labels given less height than they need: their size hint,
    // or for a word-wrapped label its height for its width.
    static QStringList clipped(QWidget *root)
    {
        QStringList out;
        for (QWidget *w : root->findChildren<QWidget *>()) {
            if (!w->isVisible() || qobject_cast<QAbstractSpinBox *>(w->parentWidget()) ||
                qobject_cast<QComboBox *>(w->parentWidget()))
                continue; // the parts of a spin box or combo box are sized by it
            int need = -1;
            QString text;
            if (auto *label = qobject_cast<QLabel *>(w)) {
                if (label->text().isEmpty())
                    continue;
                need = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
                text = label->text();
            } else if (auto *button = qobject_cast<QAbstractButton *>(w)) {
                need = button->sizeHint().height();
                text = button->text();
            } else if (qobject_cast<QLineEdit *>(w) || qobject_cast<QComboBox *>(w) ||
                       qobject_cast<QAbstractSpinBox *>(w)) {
                need = w->sizeHint().height();
                text = w->objectName();
            } else {
                continue;
            }
            need = qMin(need, w->maximumHeight()); // a height fixed on purpose
            if (w->height() < need)
                out << QStringLiteral("%1 \"%2\" %3 high, needs %4")
                           .arg(QString::fromLatin1(w->metaObject()->className()), text.left(40))
                           .arg(w->height())
                           .arg(need);
        }
        return out;
    }

    static void checkDialog(QDialog *dialog, const QString &name)
    {
        // Not activated, so no field has the focus: the focus rules draw a thicker border, and a
        // layout does not follow a size hint that changes with the focus.
        dialog->setAttribute(Qt::WA_ShowWithoutActivating);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        dialog->adjustSize();
        QTRY_VERIFY2(clipped(dialog).isEmpty(), qPrintable(name + ": " + clipped(dialog).join("; ")));
        dialog->resize(dialog->minimumSize());
        QTRY_VERIFY2(clipped(dialog).isEmpty(),
                     qPrintable(name + " at its smallest: " + clipped(dialog).join("; ")));
        dialog->hide();
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

    // Every page at the window's first and smallest size, and every dialog at its opening and
    // smallest size: no visible button, field or label is given less height than it needs.
    void nothingClipped()
    {
        // The window cleans its application folder's "update" at start: a folder of its own.
        QTemporaryDir app;
        QVERIFY(app.isValid());
        cfg::setAppDirForTesting(app.path());
        const auto restore = qScopeGuard([] { cfg::setAppDirForTesting(QString()); });
        cfg::set(QStringLiteral("server/auto_connect"), false);
        cfg::set(QStringLiteral("online/upnp"), false);
        // The shipped game definition: the Build game page shows the game and its step 2.
        QString error;
        QVERIFY2(GameRegistry::load(&error), qPrintable(error));
        LaunchOptions options;
        options.page = QStringLiteral("play");
        MainWindow window(options);
        // The Play page with everything it can show.
        window.playPage()->setBuildNotice(
            QStringLiteral(
                "The title update on this PC is title update 1. Orvex Rovivi plays with title update "
                "3 only: the game's code is built for it.\n\nOpen Build game, choose title update 3 "
                "in step 2, then press CHECK AND BUILD."),
            true);
        window.playPage()->setUpdate(
            QStringLiteral("UPDATE TO 0.1.9"),
            QStringLiteral("Orvex Rovivi 0.1.9 is out. Players on another version cannot "
                           "play you. It is installed once the game is closed."));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        for (const QSize size : {QSize(1180, 820), window.minimumSize()}) {
            window.resize(size);
            for (int page = 0; page < MainWindow::pageNames().size(); ++page) {
                window.showPage(page);
                const QString where = QStringLiteral("%1 at %2x%3")
                                          .arg(MainWindow::pageNames().at(page))
                                          .arg(size.width())
                                          .arg(size.height());
                QTRY_VERIFY2(clipped(&window).isEmpty(),
                             qPrintable(where + ": " + clipped(&window).join("; ")));
            }
        }

        LoginDialog signIn(nullptr, QStringLiteral("Ann"));
        checkDialog(&signIn, QStringLiteral("sign in"));
        signIn.setCreateMode(true);
        checkDialog(&signIn, QStringLiteral("create account"));
        signIn.showWelcome();
        checkDialog(&signIn, QStringLiteral("welcome"));
        if (QTest::currentTestFailed())
            return;
        const QJsonObject offer{{"version", "0.1.9"},
                                {"notes", "Faster matchmaking.\nA fix for the lobby list that lost a page."},
                                {"page", "https://example.org/orx/0.1.9"}};
        UpdateDialog update(offer, true, QString());
        checkDialog(&update, QStringLiteral("update"));
        UpdateDialog cannot(
            offer, false,
            QStringLiteral("This copy of Orvex Rovivi is in a folder it cannot write to: download "
                           "the new release from its page."));
        checkDialog(&cannot, QStringLiteral("update, not possible here"));
    }
};

QTEST_MAIN(TestPages)
#include "test_pages.moc"
