// Session messages: hello, resume, sign-in and sign-out, errors that end a session, tunnel.
#include "tst_serverclient.h"

#include "core/cfg.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

namespace {
QJsonObject errorMessage(const QString &code, const QString &re, const QString &text)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                       {QStringLiteral("code"), code},
                       {QStringLiteral("re"), re},
                       {QStringLiteral("message"), text}};
}
} // namespace

void TestServerClient::helloFields_data()
{
    QTest::addColumn<QString>("versionLine"); // VERSION.txt of a packaged launcher; empty: not packaged
    QTest::addColumn<QString>("build");
    QTest::newRow("no build label") << QString() << QString();
    QTest::newRow("packaged build label") << "ORX-Rovivi 0.1.8, packaged 20261210-nightly"
                                          << "20261210-nightly";
}

void TestServerClient::helloFields()
{
    QFETCH(QString, versionLine);
    QFETCH(QString, build);

    // The build label comes from the launcher's own folder, read once by the settings store.
    const QString appDir =
        m_dir.filePath(versionLine.isEmpty() ? QStringLiteral("app") : QStringLiteral("packaged"));
    if (!versionLine.isEmpty()) {
        QVERIFY(QDir().mkpath(QDir(appDir).filePath(QStringLiteral("games"))));
        QFile file(QDir(appDir).filePath(QStringLiteral("VERSION.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(versionLine.toUtf8() + "\n");
    }
    cfg::resetForTesting();
    cfg::setAppDirForTesting(appDir);
    cfg::init(m_configPath);
    QCOMPARE(cfg::buildLabel(), build);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient();
    connectPlain(*client, peer);
    if (QTest::currentTestFailed())
        return;
    const ScriptedPeer::Line &line = peer.lines().first();
    const QJsonObject hello = line.object;
    QCOMPARE(hello.value(QStringLiteral("type")).toString(), QStringLiteral("hello"));
    QCOMPARE(hello.value(QStringLiteral("id")).toInt(), 1);
    QVERIFY(hello.value(QStringLiteral("proto")).isDouble());
    QCOMPARE(hello.value(QStringLiteral("proto")).toInt(), 1);
    QCOMPARE(hello.value(QStringLiteral("client")).toString(), QStringLiteral("orx-launcher"));
    QCOMPARE(hello.value(QStringLiteral("version")).toString(), QStringLiteral("0.1.8"));
    QCOMPARE(hello.value(QStringLiteral("os")).toString(), platform::osName());
#ifdef Q_OS_LINUX
    QCOMPARE(hello.value(QStringLiteral("os")).toString(), QStringLiteral("linux"));
#endif
    QCOMPARE(hello.value(QStringLiteral("features")).toArray(), QJsonArray{QStringLiteral("koth")});
    QCOMPARE(hello.contains(QStringLiteral("build")), !build.isEmpty());
    if (!build.isEmpty())
        QCOMPARE(hello.value(QStringLiteral("build")).toString(), build);
    // Compact: no white space between the tokens, the line feed only at the end.
    QVERIFY2(!line.raw.contains(' ') && !line.raw.contains('\n') && !line.raw.contains('\r'),
             line.raw.constData());
    QCOMPARE(peer.lines().size(), 1);

    cfg::resetForTesting();
    cfg::setAppDirForTesting(m_dir.filePath(QStringLiteral("app")));
    cfg::init(m_configPath);
}

void TestServerClient::resumeWithToken()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    ServerClient::Timing timing = client->timing();
    timing.firstPingMs = 30;
    client->setTiming(timing);
    client->setToken(QStringLiteral("tok-0"));
    QSignalSpy loggedIn(client.get(), &ServerClient::loggedIn);
    QSignalSpy loggedOut(client.get(), &ServerClient::loggedOut);

    connectPlain(*client, peer);
    greet(*client, peer);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("ping")), 1, kWaitMs);
    QCOMPARE(peer.types(1), (QStringList{"hello", "auth", "ping"}));
    QCOMPARE(peer.last(QStringLiteral("auth")).value(QStringLiteral("token")).toString(),
             QStringLiteral("tok-0"));

    signIn(*client, peer, QStringLiteral("tok-1"));
    QCOMPARE(loggedIn.size(), 1);
    QCOMPARE(loggedIn.at(0).at(0).toJsonObject().value(QStringLiteral("name")).toString(),
             QStringLiteral("alice"));
    QCOMPARE(client->token(), QStringLiteral("tok-1"));
    QCOMPARE(client->accountName(), QStringLiteral("alice"));
    QVERIFY(logText().contains(QStringLiteral("server: logged in as alice")));

    // The link drops; the client comes back by itself and resumes with the newest token.
    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(loggedOut.size(), 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 2, kWaitMs);
    greet(*client, peer);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("auth")), 2, kWaitMs);
    QCOMPARE(peer.types(2).mid(0, 2), (QStringList{"hello", "auth"}));
    QCOMPARE(peer.last(QStringLiteral("auth")).value(QStringLiteral("token")).toString(),
             QStringLiteral("tok-1"));
    signIn(*client, peer, QStringLiteral("tok-2"));
    QCOMPARE(loggedIn.size(), 2);
    QCOMPARE(client->token(), QStringLiteral("tok-2"));

    // An account without a token leaves none, so the next connection does not resume.
    peer.send(
        QJsonObject{{QStringLiteral("type"), QStringLiteral("account")}, {QStringLiteral("name"), "alice"}});
    sync(*client, peer);
    QCOMPARE(client->token(), QString());
    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 3, kWaitMs);
    greet(*client, peer);
    sync(*client, peer);
    QCOMPARE(peer.count(QStringLiteral("auth")), 2);
}

void TestServerClient::refusedResume_data()
{
    QTest::addColumn<QString>("code");
    QTest::newRow("bad token") << "bad_token";
    QTest::newRow("logged_in_elsewhere answering auth") << "logged_in_elsewhere";
}

void TestServerClient::refusedResume()
{
    QFETCH(QString, code);
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    client->setToken(QStringLiteral("stale"));
    QSignalSpy resumeFailed(client.get(), &ServerClient::resumeFailed);
    QSignalSpy kicked(client.get(), &ServerClient::kicked);
    QSignalSpy errors(client.get(), &ServerClient::connectionError);
    QSignalSpy messages(client.get(), &ServerClient::message);

    connectPlain(*client, peer);
    greet(*client, peer);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("auth")), 1, kWaitMs);
    peer.send(errorMessage(code, QStringLiteral("auth"), QStringLiteral("Please sign in again.")));
    QTRY_COMPARE_WITH_TIMEOUT(resumeFailed.size(), 1, kWaitMs);
    QCOMPARE(kicked.size(), 0);
    QCOMPARE(errors.size(), 0);
    QCOMPARE(client->token(), QString());
    QCOMPARE(client->state(), ServerClient::Rovivi);
    QVERIFY(logText().contains(QStringLiteral("server: error %1 (auth): Please sign in again.").arg(code)));
    // The error is passed on to the other listeners as well.
    QCOMPARE(messages.last().at(0).toJsonObject().value(QStringLiteral("code")).toString(), code);

    // Not a session-ending error: a drop still reconnects, now without a resume.
    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 2, kWaitMs);
    greet(*client, peer);
    sync(*client, peer);
    QCOMPARE(peer.count(QStringLiteral("auth")), 1);
}

void TestServerClient::sessionEndingErrors_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("re");
    QTest::addColumn<QString>("signal"); // "kicked", "connectionError" or "none"
    QTest::addColumn<bool>("reconnects");
    QTest::addColumn<bool>("signedIn"); // false: the server answers the hello itself
    // clang-format off
    QTest::newRow("logged_in_elsewhere")     << "logged_in_elsewhere" << "session" << "kicked"          << false << true;
    QTest::newRow("proto_mismatch")          << "proto_mismatch"      << "hello"   << "connectionError" << false << false;
    QTest::newRow("client_outdated")         << "client_outdated"     << "hello"   << "connectionError" << false << false;
    QTest::newRow("client_outdated, signed in") << "client_outdated"  << ""        << "connectionError" << false << true;
    QTest::newRow("refused login only")      << "bad_password"        << "login"   << "none"            << true  << true;
    // clang-format on
}

void TestServerClient::sessionEndingErrors()
{
    QFETCH(QString, code);
    QFETCH(QString, re);
    QFETCH(QString, signal);
    QFETCH(bool, reconnects);
    QFETCH(bool, signedIn);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    QSignalSpy kicked(client.get(), &ServerClient::kicked);
    QSignalSpy errors(client.get(), &ServerClient::connectionError);
    QSignalSpy resumeFailed(client.get(), &ServerClient::resumeFailed);
    connectPlain(*client, peer);
    if (signedIn) {
        greet(*client, peer);
        signIn(*client, peer);
    }

    const QString text = QStringLiteral("Said by the server.");
    peer.send(errorMessage(code, re, text));
    sync(*client, peer);
    QVERIFY(logText().contains(QStringLiteral("server: error %1 (%2): %3").arg(code, re, text)));
    QCOMPARE(resumeFailed.size(), 0);
    QCOMPARE(kicked.size(), signal == QLatin1String("kicked") ? 1 : 0);
    QCOMPARE(errors.size(), signal == QLatin1String("connectionError") ? 1 : 0);
    if (!kicked.isEmpty())
        QCOMPARE(kicked.at(0).at(0).toString(), text);
    if (!errors.isEmpty())
        QCOMPARE(errors.at(0).at(0).toString(), text);
    if (signal == QLatin1String("kicked")) {
        QCOMPARE(client->account(), QJsonObject());
        QCOMPARE(client->token(), QString());
    } else if (signedIn) {
        QCOMPARE(client->token(), QStringLiteral("tok-1"));
    }

    // The server ends the connection; only a harmless error lets it come back by itself.
    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(client->state() == ServerClient::Offline || peer.connections() > 1, true,
                              kWaitMs);
    // Its closing is no second error: the player keeps the server's own words.
    QCOMPARE(errors.size(), signal == QLatin1String("connectionError") ? 1 : 0);
    if (reconnects) {
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 2, kWaitMs);
    } else {
        QCOMPARE(client->state(), ServerClient::Offline);
        QVERIFY(client->reconnectSuppressed());
        QVERIFY(!client->isReconnectScheduled());
        QCOMPARE(peer.connections(), 1);
    }
}

void TestServerClient::loginRegisterLogout()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient();
    QSignalSpy loggedOut(client.get(), &ServerClient::loggedOut);
    connectPlain(*client, peer);
    greet(*client, peer);

    const int loginId = client->login(QStringLiteral("bob"), QStringLiteral(" pass word "));
    const int registerId = client->registerAccount(QStringLiteral("carol"), QStringLiteral("s3cret"));
    QCOMPARE(registerId, loginId + 1);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("register")), 1, kWaitMs);
    const QJsonObject login = peer.last(QStringLiteral("login"));
    QCOMPARE(login.value(QStringLiteral("id")).toInt(), loginId);
    QCOMPARE(login.value(QStringLiteral("name")).toString(), QStringLiteral("bob"));
    QCOMPARE(login.value(QStringLiteral("password")).toString(), QStringLiteral(" pass word ")); // as typed
    const QJsonObject reg = peer.last(QStringLiteral("register"));
    QCOMPARE(reg.value(QStringLiteral("id")).toInt(), registerId);
    QCOMPARE(reg.value(QStringLiteral("name")).toString(), QStringLiteral("carol"));
    QCOMPARE(reg.value(QStringLiteral("password")).toString(), QStringLiteral("s3cret"));

    signIn(*client, peer, QStringLiteral("tok-9"));
    client->logout();
    QCOMPARE(client->token(), QString()); // forgotten before the server answers
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("logout")), 1, kWaitMs);
    QCOMPARE(client->state(), ServerClient::LoggedIn);
    peer.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("logged_out")}});
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), ServerClient::Rovivi, kWaitMs);
    QCOMPARE(loggedOut.size(), 1);
    QCOMPARE(client->account(), QJsonObject());
    QCOMPARE(client->accountName(), QString());
}

void TestServerClient::tunnelPackets()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient();
    QSignalSpy packets(client.get(), &ServerClient::tunnelData);
    QSignalSpy messages(client.get(), &ServerClient::message);
    const QByteArray packet = QByteArray("\x00\x01"
                                         "abc",
                                         5);

    connectPlain(*client, peer);
    client->sendTunnel(packet); // only connecting: dropped
    greet(*client, peer);
    client->sendTunnel(packet); // greeted but not signed in: dropped
    const int before = client->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("marker")}});
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("marker")), 1, kWaitMs);
    QCOMPARE(peer.types(), (QStringList{"hello", "marker"}));

    signIn(*client, peer);
    client->sendTunnel(packet);
    QTRY_COMPARE_WITH_TIMEOUT(peer.lines().size(), 3, kWaitMs);
    QCOMPARE(peer.lines().last().raw, QByteArray(R"({"type":"tunnel","data":"AAFhYmM="})"));
    // The tunnel line takes no id: the next message continues the count.
    QCOMPARE(client->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("marker")}}), before + 1);

    // Received packets come out decoded and are not passed on as messages; bad ones are dropped.
    const QByteArray big(3000, '\x7f');
    peer.sendRaw(R"({"type":"tunnel","data":"AAFhYmM="})"
                 "\n");
    peer.sendRaw(R"({"type":"tunnel","data":"!!not base64"})"
                 "\n");
    peer.sendRaw(R"({"type":"tunnel","data":5})"
                 "\n");
    peer.sendRaw(R"({"type":"tunnel","data":")" + big.toBase64() + "\"}\n");
    sync(*client, peer);
    QCOMPARE(packets.size(), 2);
    QCOMPARE(packets.at(0).at(0).toByteArray(), packet);
    QCOMPARE(packets.at(1).at(0).toByteArray(), big);
    for (const QList<QVariant> &args : messages)
        QVERIFY(args.at(0).toJsonObject().value(QStringLiteral("type")).toString() !=
                QLatin1String("tunnel"));

    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), ServerClient::Offline, kWaitMs);
    client->sendTunnel(packet); // offline: dropped, nothing breaks
}

void TestServerClient::welcomeAndAccountAccessors()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient();
    connectPlain(*client, peer);
    greet(*client, peer,
          QJsonObject{{QStringLiteral("type"), QStringLiteral("welcome")},
                      {QStringLiteral("server"), QStringLiteral("orx-dev")},
                      {QStringLiteral("version"), QStringLiteral("2.4")},
                      {QStringLiteral("online"), 42},
                      {QStringLiteral("features"), QJsonArray{QStringLiteral("relay_choice"), 7}},
                      {QStringLiteral("udp_port"), 9100}});
    QVERIFY(logText().contains(QStringLiteral("server: welcome from orx-dev 2.4, 42 online")));
    QVERIFY(client->hasFeature(QStringLiteral("relay_choice")));
    QVERIFY(!client->hasFeature(QStringLiteral("koth")));
    QCOMPARE(client->udpPort(), quint16(9100));
    QCOMPARE(client->welcome().value(QStringLiteral("online")).toInt(), 42);

    greet(*client, peer); // a welcome without "udp_port" or "features"
    sync(*client, peer);
    QCOMPARE(client->udpPort(), quint16(7778));
    QVERIFY(!client->hasFeature(QStringLiteral("relay_choice")));

    signIn(*client, peer);
    QCOMPARE(client->udpToken(), QStringLiteral("udp-7"));
    QCOMPARE(client->accountName(), QStringLiteral("alice"));
}
