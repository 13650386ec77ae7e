// Accounts: the name and password rules, sign-in, tokens, one session per account, throttling
// and what the database keeps across a restart.
#include "throttle.h"
#include "tst_server.h"

#include <QElapsedTimer>

#include <QTest>

void TestServer::signUpRules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("code"); // empty: accepted
    QTest::newRow("three letters") << "abc"
                                   << "secret"
                                   << "";
    QTest::newRow("sixteen with _ and -") << "a_b-c0123456789Z"
                                          << "secret"
                                          << "";
    QTest::newRow("two letters") << "ab"
                                 << "secret"
                                 << "bad_name";
    QTest::newRow("seventeen") << "abcdefghijklmnopq"
                               << "secret"
                               << "bad_name";
    QTest::newRow("dot") << "a.bc"
                         << "secret"
                         << "bad_name";
    QTest::newRow("space") << "ab c"
                           << "secret"
                           << "bad_name";
    QTest::newRow("not ascii") << QString::fromUtf8("Jörg") << "secret"
                               << "bad_name";
    QTest::newRow("five characters") << "fiver"
                                     << "12345"
                                     << "bad_password";
    QTest::newRow("six characters") << "sixer"
                                    << "123456"
                                    << "";
    QTest::newRow("128 characters") << "longpw" << QString(128, 'p') << "";
    QTest::newRow("129 characters") << "longerpw" << QString(129, 'p') << "bad_password";
}

void TestServer::signUpRules()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QString, code);
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    const int id = c.send({{"type", "register"}, {"name", name}, {"password", password}});
    const QJsonObject r = c.waitReply(id);
    QCOMPARE(r.value("id").toInt(), id);
    if (code.isEmpty()) {
        QCOMPARE(r.value("type").toString(), QString("account"));
        QCOMPARE(r.value("name").toString(), name);
        QCOMPARE(r.value("token").toString().size(), 64);
        QVERIFY(!r.value("udp_token").toString().isEmpty());
        QVERIFY(r.value("profile").toObject().value("stats").isObject());
    } else {
        QCOMPARE(r.value("type").toString(), QString("error"));
        QCOMPARE(r.value("code").toString(), code);
        QCOMPARE(r.value("re").toString(), QString("register"));
    }
}

void TestServer::nameTakenAndWrongPassword()
{
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(a.connectPlain(server->tcpPort));
    a.hello();
    QCOMPARE(a.signUp("Taken", "rightpass").value("type").toString(), QString("account"));
    QVERIFY(b.connectPlain(server->tcpPort));
    b.hello();
    QJsonObject r = b.signUp("tAKEN", "other1");
    QCOMPARE(r.value("code").toString(), QString("name_taken"));
    r = b.login("Taken", "wrongpass");
    QCOMPARE(r.value("code").toString(), QString("wrong_password"));
    QCOMPARE(r.value("re").toString(), QString("login"));
    r = b.login("nobody", "wrongpass");
    QCOMPARE(r.value("code").toString(), QString("wrong_password"));
    // Names match regardless of case; the account keeps the spelling it was made with.
    r = b.login("taken", "rightpass");
    QCOMPARE(r.value("type").toString(), QString("account"));
    QCOMPARE(r.value("name").toString(), QString("Taken"));
}

void TestServer::tokenResumesAndLogoutEndsIt()
{
    QVERIFY(startServer());
    ScriptedClient a;
    QVERIFY(a.connectPlain(server->tcpPort));
    a.hello();
    a.signUp("resumer");
    const QString token = a.token;
    a.close();
    ScriptedClient b;
    QVERIFY(b.connectPlain(server->tcpPort));
    b.hello();
    QJsonObject r = b.auth(token);
    QCOMPARE(r.value("type").toString(), QString("account"));
    QCOMPARE(r.value("name").toString(), QString("resumer"));
    QCOMPARE(r.value("token").toString(), token);
    const int id = b.send({{"type", "logout"}});
    QCOMPARE(b.waitReply(id).value("type").toString(), QString("logged_out"));
    QCOMPARE(b.waitReply(b.send({{"type", "profile"}})).value("code").toString(), QString("not_signed_in"));
    r = b.auth(token);
    QCOMPARE(r.value("type").toString(), QString("error"));
    QCOMPARE(r.value("re").toString(), QString("auth"));
    QCOMPARE(b.auth("not-a-token").value("re").toString(), QString("auth"));
}

void TestServer::secondLoginKicksTheFirst()
{
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(a.connectPlain(server->tcpPort));
    a.hello();
    a.signUp("twice");
    QVERIFY(b.connectPlain(server->tcpPort));
    b.hello();
    QCOMPARE(b.login("twice").value("type").toString(), QString("account"));
    const QJsonObject e = a.waitFor("error");
    QCOMPARE(e.value("code").toString(), QString("logged_in_elsewhere"));
    QVERIFY(e.value("re").toString() != "auth");
    QVERIFY(a.waitDisconnected());
    // The newer session works, and counts once.
    const QJsonObject online = b.waitReply(b.send({{"type", "online"}}));
    QCOMPARE(online.value("count").toInt(), 1);
}

void TestServer::wrongPasswordsAreThrottled()
{
    QVERIFY(startServer({"--throttle"}));
    auto from = [&](int last) {
        auto c = std::make_unique<ScriptedClient>();
        if (!c->connectPlain(server->tcpPort, QHostAddress(QStringLiteral("127.0.0.%1").arg(last))))
            return std::unique_ptr<ScriptedClient>();
        c->hello();
        return c;
    };
    auto guesser = from(1);
    QVERIFY(guesser);
    QCOMPARE(guesser->signUp("guarded", "rightpass").value("type").toString(), QString("account"));
    guesser->send({{"type", "logout"}});
    for (int i = 0; i < 5; ++i)
        QCOMPARE(guesser->login("guarded", "wrong!!").value("code").toString(), QString("wrong_password"));
    // From that address even the right password waits now...
    QJsonObject r = guesser->login("guarded", "rightpass");
    QCOMPARE(r.value("code").toString(), QString("too_many_tries"));
    QCOMPARE(r.value("re").toString(), QString("login"));
    // ...but the owner elsewhere is not locked out by a stranger's guesses, and the owner's sign-in
    // does not unlock the stranger's address.
    auto owner = from(2);
    QVERIFY(owner);
    QCOMPARE(owner->login("guarded", "rightpass").value("type").toString(), QString("account"));
    QCOMPARE(guesser->login("guarded", "rightpass").value("code").toString(), QString("too_many_tries"));

    // Guesses spread over addresses (six addresses, five each) lock the name nowhere: past ten, its
    // password checks are spaced out, one a second, so they cannot come faster than that.
    QElapsedTimer spread;
    spread.start();
    for (int last = 3; last <= 8; ++last) {
        auto c = from(last);
        QVERIFY(c);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(c->login("guarded", "wrong!!").value("code").toString(), QString("wrong_password"));
    }
    QVERIFY2(spread.elapsed() >= (30 - Throttle::NameSlowAfter - 1) * Throttle::NameCheckEveryMs * 9 / 10,
             qPrintable(QString::number(spread.elapsed())));
    // The owner, from an address of their own, still gets in, in their turn.
    auto late = from(9);
    QVERIFY(late);
    QCOMPARE(late->login("guarded", "rightpass").value("type").toString(), QString("account"));
    // Other names from those addresses are not held up by it.
    QCOMPARE(late->signUp("another", "anotherpass").value("type").toString(), QString("account"));
}

void TestServer::databaseSurvivesRestart()
{
    QVERIFY(startServer());
    QString token;
    {
        ScriptedClient c;
        QVERIFY(c.connectPlain(server->tcpPort));
        c.hello();
        c.signUp("keeper", "keeperpass");
        token = c.token;
    }
    // Ctrl+C stops it cleanly too.
    QVERIFY(server->interrupt());
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    QCOMPARE(c.auth(token).value("name").toString(), QString("keeper"));
    ScriptedClient d;
    QVERIFY(d.connectPlain(server->tcpPort));
    d.hello();
    QCOMPARE(d.login("keeper", "keeperpass").value("type").toString(), QString("account"));
    QCOMPARE(d.signUp("KEEPER").value("code").toString(), QString("name_taken"));
}
