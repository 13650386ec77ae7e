// Signing in from the command line against the real server: a registration that turns into one
// login when the name is taken, refusals that are only logged, and no password at all.
#include "e2ekit.h"

using namespace e2e;

class TestE2eSignIn : public QObject {
    Q_OBJECT
    DemoGame demo;

private slots:
    void initTestCase()
    {
        const QString error = demo.build();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("existingPassword"); // the account made beforehand; empty: none
        QTest::addColumn<bool>("registerAccount");
        QTest::addColumn<QString>("password");  // the variable's value; empty: not set
        QTest::addColumn<QStringList>("steps"); // every "cli: " line, in order
        QTest::addColumn<bool>("signedIn");

        const QString asP1 = QStringLiteral("signing in as player1");
        const QString taken = QStringLiteral("login failed: name_taken");
        const QString wrong = QStringLiteral("login failed: wrong_password");
        QTest::newRow("a new name registers")
            << QString() << true << "secret-pw" << QStringList{asP1} << true;
        QTest::newRow("a taken name turns into one login")
            << "secret-pw" << true << "secret-pw" << QStringList{asP1, taken} << true;
        QTest::newRow("a taken name with another password: both refusals logged, no more")
            << "secret-pw" << true << "other-pw" << QStringList{asP1, taken, wrong} << false;
        QTest::newRow("a wrong password is only logged")
            << "secret-pw" << false << "other-pw" << QStringList{asP1, wrong} << false;
        QTest::newRow("an unknown name is only logged")
            << QString() << false << "secret-pw" << QStringList{asP1, wrong} << false;
        QTest::newRow("no password variable")
            << QString() << true << QString()
            << QStringList{QStringLiteral("ORX_DEV_PASSWORD is not set; not signing in")} << false;
    }
    void signIn()
    {
        QFETCH(QString, existingPassword);
        QFETCH(bool, registerAccount);
        QFETCH(QString, password);
        QFETCH(QStringList, steps);
        QFETCH(bool, signedIn);

        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({}, &error), qPrintable(error));
        if (!existingPassword.isEmpty()) {
            orxtest::ScriptedClient maker;
            QVERIFY(maker.connectPlain(c.server.tcpPort));
            QVERIFY(!maker.hello().isEmpty());
            QCOMPARE(maker.signUp(QStringLiteral("player1"), existingPassword).value("type").toString(),
                     QStringLiteral("account"));
        }
        QStringList args{QStringLiteral("--server"), QStringLiteral("tcp://") + c.server.address(),
                         QStringLiteral("--user"), QStringLiteral("player1")};
        if (registerAccount)
            args << QStringLiteral("--register");
        Launcher &l = c.launch(QStringLiteral("player1"), args, quickGame(), password, {}, false);

        // The last step of the row comes, and with it the outcome of the sign-in.
        QVERIFY(l.waitCli(steps.last()));
        if (signedIn) {
            QVERIFY(l.process.waitForLog(QStringLiteral("server: logged in as player1")));
        } else {
            // The server's answer to every attempt is on the log as an error (or nothing was sent).
            const int errors = int(steps.filter(QStringLiteral("login failed")).size());
            QVERIFY(testutil::waitFor(
                [&] { return l.log().filter(QStringLiteral("server: error ")).size() >= errors; }));
        }
        QCOMPARE(l.process.terminate(), 0);
        QCOMPARE(l.cli(), steps);
        QCOMPARE(l.log().contains(QStringLiteral("server: logged in as player1")), signedIn);
        QVERIFY(c.server.stop());
    }
};

QTEST_GUILESS_MAIN(TestE2eSignIn)
#include "test_e2e_signin.moc"
