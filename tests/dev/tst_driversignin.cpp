// The driver's sign-in: registration or login with the password from the environment, the one
// switch from "name_taken" to a login, refusals only logged, and a new sign-in after the link
// dropped while the answer was still owed.

#include "driverrig.h"
#include "scriptedpeer.h"
#include "tst_dev.h"

#include <QtTest>

namespace {

const QString kPassword = QStringLiteral("secret-pass-1");

// Makes an account on the server with a plain server link of its own.
bool makeAccount(quint16 port, const QString &name, const QString &password)
{
    ServerClient client;
    client.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(port), QString());
    if (!orxtest::waitUntil([&] { return client.state() == ServerClient::Rovivi; }))
        return false;
    client.registerAccount(name, password);
    const bool ok = orxtest::waitUntil([&] { return client.state() == ServerClient::LoggedIn; });
    client.disconnectFromServer();
    return ok;
}

} // namespace

void TestDriverSignIn::initTestCase()
{
    QVERIFY(m_data.isValid());
    m_server = new orxtest::ServerProcess;
    QString error;
    QVERIFY2(m_server->start(m_data.path(), {}, &error), qPrintable(error));
    QVERIFY(makeAccount(m_server->tcpPort, QStringLiteral("kept"), kPassword));
}

void TestDriverSignIn::cleanupTestCase()
{
    delete m_server;
    m_server = nullptr;
}

void TestDriverSignIn::signIn_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<bool>("registerAccount");
    QTest::addColumn<QString>("password"); // empty: the variable is not set
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QStringList>("failures"); // the "login failed" codes, in order

    QTest::newRow("login to an account") << "kept" << false << kPassword << true << QStringList{};
    QTest::newRow("registration of a new name") << "fresh" << true << kPassword << true << QStringList{};
    QTest::newRow("registration of a taken name turns into one login")
        << "kept" << true << kPassword << true << QStringList{"name_taken"};
    QTest::newRow("the login after name_taken is refused: only logged")
        << "kept" << true << "not-the-password" << false << QStringList{"name_taken", "wrong_password"};
    QTest::newRow("a wrong password is only logged")
        << "kept" << false << "not-the-password" << false << QStringList{"wrong_password"};
    QTest::newRow("an unknown name is only logged")
        << "nobody" << false << kPassword << false << QStringList{"wrong_password"};
    QTest::newRow("no password variable") << "kept" << false << QString() << false << QStringList{};
}

void TestDriverSignIn::signIn()
{
    QFETCH(QString, user);
    QFETCH(bool, registerAccount);
    QFETCH(QString, password);
    QFETCH(bool, signedIn);
    QFETCH(QStringList, failures);

    if (password.isEmpty())
        qunsetenv(DriverRig::PasswordVariable);
    else
        qputenv(DriverRig::PasswordVariable, password.toUtf8());
    DriverRig rig;
    LaunchOptions options;
    options.user = user;
    options.registerAccount = registerAccount;
    rig.start(options);
    rig.connectTo(m_server->tcpPort);

    if (password.isEmpty()) {
        const QString notSet =
            QStringLiteral("%1 is not set; not signing in").arg(DriverRig::PasswordVariable);
        QVERIFY2(rig.waitForCli(notSet), qPrintable(rig.dump()));
        QCOMPARE(rig.server->state(), ServerClient::Rovivi);
        QCOMPARE(rig.countCli("signing in as " + user), 0);
        QCOMPARE(rig.driver->pendingLoginId(), -1);
        qunsetenv(DriverRig::PasswordVariable);
        return;
    }

    if (signedIn) {
        QVERIFY2(orxtest::waitUntil([&] { return rig.server->state() == ServerClient::LoggedIn; }, 20000),
                 qPrintable(rig.dump()));
        QCOMPARE(rig.server->accountName(), user);
    } else {
        QVERIFY2(rig.waitForCli("login failed: " + failures.last()), qPrintable(rig.dump()));
        // Nothing more was asked: no request is owed an answer, and the link stays signed out.
        QCOMPARE(rig.driver->pendingLoginId(), -1);
        QCOMPARE(rig.server->state(), ServerClient::Rovivi);
    }
    QStringList seen;
    for (const QString &line : rig.cliLines())
        if (line.startsWith("login failed: "))
            seen << line.mid(14);
    QCOMPARE(seen, failures);
    QCOMPARE(rig.countCli("signing in as " + user), 1);
    qunsetenv(DriverRig::PasswordVariable);
}

void TestDriverSignIn::answerLostWithTheLink()
{
    // A scripted server that never answers the first login and then drops the link: the driver
    // must sign in again on the next connection instead of waiting for an answer that cannot come.
    qputenv(DriverRig::PasswordVariable, kPassword.toUtf8());
    ScriptedPeer peer;
    peer.autoWelcome = QJsonObject{{"type", "welcome"}, {"server", "orx-test"}, {"version", "1.0"}};
    QVERIFY(peer.listen());
    DriverRig rig;
    LaunchOptions options;
    options.user = QStringLiteral("ann");
    rig.start(options);
    rig.connectTo(peer.port());

    QVERIFY(orxtest::waitUntil([&] { return peer.count("login") == 1; }));
    const int firstId = int(peer.last("login").value("id").toInteger());
    QCOMPARE(rig.driver->pendingLoginId(), firstId);
    QCOMPARE(peer.last("login").value("name").toString(), QStringLiteral("ann"));
    QCOMPARE(peer.last("login").value("password").toString(), kPassword);

    peer.closeClient();
    QVERIFY2(orxtest::waitUntil([&] { return peer.count("login") == 2; }), qPrintable(rig.dump()));
    QCOMPARE(peer.connections(), 2);
    QCOMPARE(rig.countCli("signing in as ann"), 2);
    const int secondId = int(peer.last("login").value("id").toInteger());
    QCOMPARE(rig.driver->pendingLoginId(), secondId);

    // The answer to the second login is taken, and the link signs in.
    peer.send({{"type", "account"},
               {"id", secondId},
               {"name", "ann"},
               {"token", "token-1"},
               {"udp_token", "udp-1"},
               {"profile", QJsonObject{{"name", "ann"}}}});
    QVERIFY(orxtest::waitUntil([&] { return rig.server->state() == ServerClient::LoggedIn; }));
    QCOMPARE(rig.driver->pendingLoginId(), -1);
    QCOMPARE(peer.count("login"), 2);
    qunsetenv(DriverRig::PasswordVariable);
}
