// The connection: framing, states, ids, pings, back-off and closing.
#include "tst_serverclient.h"

#include "core/log.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

namespace {
// One JSON object line of exactly `size` bytes, line feed not included.
QByteArray objectLine(const char *type, qsizetype size)
{
    QByteArray head = QByteArrayLiteral("{\"type\":\"") + type + QByteArrayLiteral("\",\"pad\":\"");
    const QByteArray tail = QByteArrayLiteral("\"}");
    return head + QByteArray(size - head.size() - tail.size(), 'x') + tail;
}

QList<QByteArray> inPieces(const QByteArray &bytes, qsizetype piece)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < bytes.size(); i += piece)
        out.append(bytes.mid(i, piece));
    return out;
}

QString stateName(ServerClient::State state)
{
    return QString::fromLatin1(QMetaEnum::fromType<ServerClient::State>().valueToKey(state));
}
} // namespace

void TestServerClient::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QStringList>("handled");
    QTest::addColumn<bool>("dropped");

    QTest::newRow("two objects in one read")
        << QList<QByteArray>{"{\"type\":\"a\"}\n{\"type\":\"b\"}\n"} << QStringList{"a", "b"} << false;
    QTest::newRow("lines are trimmed") << QList<QByteArray>{"  {\"type\":\"a\"} \r\n\t{\"type\":\"b\"}\t\n"}
                                       << QStringList{"a", "b"} << false;
    QTest::newRow("bad lines are ignored")
        << QList<QByteArray>{"\n   \nnot "
                             "json\n[1,2]\n42\n\"text\"\n{\"type\":\"a\"\n\xff\xfe\n{\"type\":\"c\"}\n"}
        << QStringList{"c"} << false;
    QTest::newRow("object split over reads")
        << QList<QByteArray>{"{\"type\":", "\"split\"", "}", "\n"} << QStringList{"split"} << false;
    QTest::newRow("line of exactly 65536 bytes")
        << inPieces(objectLine("max", 65536) + '\n', 8192) << QStringList{"max"} << false;
    QTest::newRow("70000 bytes without a line feed")
        << inPieces(objectLine("big", 70000), 10000) << QStringList{} << true;
    QTest::newRow("the same bytes with a line feed in time")
        << inPieces(objectLine("part1", 40000) + '\n' + objectLine("part2", 29999) + '\n', 10000)
        << QStringList{"part1", "part2"} << false;
    QTest::newRow("nesting too deep to parse is ignored")
        << QList<QByteArray>{QByteArray(60000, '[') + '\n' + QByteArray(20000, '{') + "\n{\"type\":\"c\"}\n"}
        << QStringList{"c"} << false;
    QTest::newRow("deep but parsable nesting is passed on")
        << QList<QByteArray>{"{\"type\":\"deep\",\"x\":" + QByteArray(500, '[') + QByteArray(500, ']') +
                             "}\n"}
        << QStringList{"deep"} << false;
    QTest::newRow("ten megabytes without a line feed in one write")
        << QList<QByteArray>{"{\"type\":\"a\"}\n" + QByteArray(10 * 1024 * 1024, 'x')} << QStringList{"a"}
        << true;
    QTest::newRow("ten megabytes of short lines, then one too long")
        << QList<QByteArray>{QByteArray("{\"type\":\"a\"}\n") + QByteArray(10 * 1024 * 1024, '\n') +
                             objectLine("big", 70000) + '\n'}
        << QStringList{"a"} << true;
    QTest::newRow("whole line over the limit in one write")
        << QList<QByteArray>{"{\"type\":\"a\"}\n" + objectLine("big", 65537) + '\n'} << QStringList{"a"}
        << true;
}

void TestServerClient::framing()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QStringList, handled);
    QFETCH(bool, dropped);

    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(600000); // a drop must leave the client visibly offline
    QStringList seen;
    connect(client.get(), &ServerClient::message, this, [&seen](const QJsonObject &msg) {
        const QString type = msg.value(QStringLiteral("type")).toString();
        if (type != QLatin1String("sync_marker"))
            seen.append(type);
    });
    connectPlain(*client, peer);
    if (QTest::currentTestFailed())
        return;
    for (const QByteArray &bytes : writes)
        peer.sendRaw(bytes);

    if (dropped) {
        QTRY_COMPARE_WITH_TIMEOUT(client->state(), ServerClient::Offline, kWaitMs);
        QVERIFY(logText().contains(QStringLiteral("server: line too long, dropping connection")));
        QVERIFY(logText().contains(QStringLiteral("server: disconnected")));
        QVERIFY(client->isReconnectScheduled()); // a broken line is a network fault: it comes back
        QTRY_COMPARE_WITH_TIMEOUT(peer.closedConnections(), 1, kWaitMs);
    } else {
        sync(*client, peer);
        QCOMPARE(client->state(), ServerClient::Connecting);
        QVERIFY(peer.clientConnected());
        QVERIFY(!logText().contains(QStringLiteral("line too long")));
    }
    QCOMPARE(seen, handled);
}

void TestServerClient::statesAndSignalsInOrder()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(600000);
    ServerClient *c = client.get();
    QStringList events;
    QJsonObject accountWhenOffline;
    connect(c, &ServerClient::stateChanged, this, [&](ServerClient::State s) {
        events << QStringLiteral("state ") + stateName(s);
        if (s == ServerClient::Offline)
            accountWhenOffline = c->account();
    });
    connect(c, &ServerClient::message, this, [&](const QJsonObject &m) {
        events << QStringLiteral("message ") + m.value(QStringLiteral("type")).toString();
    });
    connect(c, &ServerClient::loggedIn, this,
            [&](const QJsonObject &) { events << QStringLiteral("loggedIn"); });
    connect(c, &ServerClient::loggedOut, this, [&] { events << QStringLiteral("loggedOut"); });

    connectPlain(*c, peer);
    greet(*c, peer);
    signIn(*c, peer);
    peer.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("logged_out")}});
    QTRY_COMPARE_WITH_TIMEOUT(c->state(), ServerClient::Rovivi, kWaitMs);
    QCOMPARE(c->account(), QJsonObject());
    signIn(*c, peer, QStringLiteral("tok-2"));
    peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(c->state(), ServerClient::Offline, kWaitMs);

    const QStringList expected{
        "state Connecting", "state Rovivi",    "message welcome", "state LoggedIn",     "loggedIn",
        "message account",  "state Rovivi",    "loggedOut",       "message logged_out", "state LoggedIn",
        "loggedIn",         "message account", "state Offline",   "loggedOut",
    };
    QCOMPARE(events, expected);
    // A disconnection forgets the greeting but keeps the account and the token for the resume.
    QCOMPARE(c->welcome(), QJsonObject());
    QCOMPARE(accountWhenOffline.value(QStringLiteral("token")).toString(), QStringLiteral("tok-2"));
    QCOMPARE(c->token(), QStringLiteral("tok-2"));
    QVERIFY(logText().contains(QStringLiteral("server: disconnected")));
    QVERIFY(c->isReconnectScheduled());
}

void TestServerClient::idsCountAcrossReconnections()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    connectPlain(*client, peer);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(client->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("x")}}), 2);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("x")), 1, kWaitMs);

    client->dropForTest();
    QVERIFY(logText().contains(QStringLiteral("server: dropping the connection, as a network would (test)")));
    QCOMPARE(client->state(), ServerClient::Offline);
    QCOMPARE(client->lastReconnectDelayMs(), 20);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 2, kWaitMs);
    QCOMPARE(client->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("y")}}), 4);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("y")), 1, kWaitMs);

    peer.closeClient(); // the server side ends it this time
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 3, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(peer.lines().size(), 5, kWaitMs);

    QList<QPair<int, int>> ids; // (connection, id)
    for (const ScriptedPeer::Line &line : peer.lines())
        ids.append({line.connection, line.object.value(QStringLiteral("id")).toInt(-1)});
    const QList<QPair<int, int>> expected{{1, 1}, {1, 2}, {2, 3}, {2, 4}, {3, 5}};
    QCOMPARE(ids, expected);
    QCOMPARE(peer.types(), (QStringList{"hello", "x", "hello", "y", "hello"}));
}

void TestServerClient::pongWithAnotherId()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient();
    ServerClient::Timing timing = client->timing();
    timing.firstPingMs = 10;
    client->setTiming(timing);
    connectPlain(*client, peer);
    greet(*client, peer);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("ping")), 1, kWaitMs);
    const int pingId = peer.last(QStringLiteral("ping")).value(QStringLiteral("id")).toInt();
    QCOMPARE(client->roundTripMs(), -1);

    const auto pong = [](QJsonValue id) {
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("pong")}, {QStringLiteral("id"), id}};
    };
    peer.send(pong(pingId + 1));
    peer.send(pong(QStringLiteral("%1").arg(pingId))); // the right number, but as text
    peer.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("pong")}});
    sync(*client, peer);
    QCOMPARE(client->roundTripMs(), -1);

    peer.send(pong(pingId));
    sync(*client, peer);
    QVERIFY(client->roundTripMs() >= 0);

    // A second welcome starts the pings again; a missing pong changes nothing but the ping id.
    greet(*client, peer);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("ping")), 2, kWaitMs);
    QVERIFY(peer.last(QStringLiteral("ping")).value(QStringLiteral("id")).toInt() > pingId);
    QCOMPARE(client->state(), ServerClient::Rovivi);
}

void TestServerClient::backOffSequenceAndReset()
{
    // A port held but not listened on: every attempt is refused until the peer comes up on it.
    QTcpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
    const quint16 port = holder.localPort();
    ScriptedPeer peer;

    auto client = makeClient(40); // 40, 80, 160, 320, 400: the real 3, 6, 12, 24, 30 s scaled
    ServerClient *c = client.get();
    struct Attempt {
        int delay;
        int peerConnections;
    };
    QList<Attempt> attempts;
    connect(c, &ServerClient::stateChanged, this, [&](ServerClient::State s) {
        if (s == ServerClient::Connecting)
            attempts.append({c->lastReconnectDelayMs(), peer.connections()});
    });
    QSignalSpy errors(c, &ServerClient::connectionError);
    c->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(port), QString());
    QTRY_VERIFY_WITH_TIMEOUT(attempts.size() >= 7, kWaitMs);

    QVERIFY(errors.size() >= 6);
    const QString text = errors.at(0).at(0).toString();
    QVERIFY(!text.isEmpty());
    QVERIFY2(logText().contains(QStringLiteral("server: socket error %1: %2")
                                    .arg(int(QAbstractSocket::ConnectionRefusedError))
                                    .arg(text)),
             qPrintable(logText()));

    peer.closeAfterHello = true;
    holder.abort();
    QVERIFY(peer.listen(QHostAddress::LocalHost, port));
    QTRY_VERIFY_WITH_TIMEOUT(peer.connections() >= 2, kWaitMs);
    c->disconnectFromServer();

    const QList<int> first{-1, 40, 80, 160, 320, 400, 400};
    for (int i = 0; i < first.size(); ++i)
        QCOMPARE(attempts.at(i).delay, first.at(i));
    bool sawReset = false;
    for (qsizetype i = first.size(); i < attempts.size(); ++i) {
        // Still refused: the cap holds. After a connection that said hello: back to the start.
        QCOMPARE(attempts.at(i).delay, attempts.at(i).peerConnections == 0 ? 400 : 40);
        sawReset = sawReset || attempts.at(i).peerConnections > 0;
    }
    QVERIFY(sawReset);
    QVERIFY(!c->isReconnectScheduled());
}

void TestServerClient::backOffDefaultsToThreeSeconds()
{
    QTcpSocket holder; // holds the port without listening: connections are refused
    QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
    const quint16 port = holder.localPort();

    ServerClient client;
    QCOMPARE(client.timing().reconnectFirstMs, 3000);
    QCOMPARE(client.timing().reconnectMaxMs, 30000);
    QCOMPARE(client.timing().pingIntervalMs, 30000);
    QCOMPARE(client.timing().firstPingMs, 2000);
    QVERIFY(client.reconnectSuppressed()); // nothing reconnects before the first connectTo
    client.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(port), QString());
    QVERIFY(!client.reconnectSuppressed());
    QTRY_VERIFY_WITH_TIMEOUT(client.isReconnectScheduled(), kWaitMs);
    QCOMPARE(client.state(), ServerClient::Offline);
    QCOMPARE(client.lastReconnectDelayMs(), 3000);
    client.disconnectFromServer();
    QVERIFY(!client.isReconnectScheduled());
}

void TestServerClient::gracefulClose_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("tls") << true;
}

void TestServerClient::gracefulClose()
{
    QFETCH(bool, tls);
    ScriptedPeer peer;
    if (tls)
        peer.useTls(m_certificate, m_key);
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    QSignalSpy states(client.get(), &ServerClient::stateChanged);
    const QString scheme = tls ? QStringLiteral("tls://") : QStringLiteral("tcp://");
    client->connectTo(scheme + QStringLiteral("127.0.0.1:%1").arg(peer.port()), m_opensslFingerprint);
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 1, kWaitMs);

    // Written just before the close: all of it must still reach the server.
    const QString password(50000, QLatin1Char('p'));
    const int id = client->login(QStringLiteral("alice"), password);
    QVERIFY(id > 0);
    client->disconnectFromServer();
    QCOMPARE(client->state(), ServerClient::Offline);
    QVERIFY(client->reconnectSuppressed());
    QVERIFY(!client->isReconnectScheduled());

    QTRY_COMPARE_WITH_TIMEOUT(peer.closedConnections(), 1, kWaitMs);
    QCOMPARE(peer.count(QStringLiteral("login")), 1);
    QCOMPARE(peer.last(QStringLiteral("login")).value(QStringLiteral("password")).toString(), password);
    QCOMPARE(states.size(), 2); // Connecting, Offline
    QCOMPARE(states.at(1).at(0).value<ServerClient::State>(), ServerClient::Offline);
    QCOMPARE(client->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("x")}}), -1);
    QCOMPARE(peer.connections(), 1);
}

void TestServerClient::nothingSentWhileOffline()
{
    ServerClient client;
    QCOMPARE(client.state(), ServerClient::Offline);
    QCOMPARE(client.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("x")}}), -1);
    QCOMPARE(client.login(QStringLiteral("a"), QStringLiteral("b")), -1);
    QCOMPARE(client.registerAccount(QStringLiteral("a"), QStringLiteral("b")), -1);
    client.sendTunnel(QByteArrayLiteral("abc"));
    client.logout();
    client.dropForTest(); // nothing to drop: stays offline, schedules nothing
    QCOMPARE(client.state(), ServerClient::Offline);
    QVERIFY(!client.isReconnectScheduled());
    QCOMPARE(client.roundTripMs(), -1);
    QCOMPARE(client.udpPort(), quint16(7778));
    QVERIFY(client.linkType().isEmpty());
}

void TestServerClient::listenerEndsConnectionMidRead_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("connections"); // the peer's connections in the end
    QTest::newRow("disconnectFromServer") << "disconnect" << 1;
    QTest::newRow("connectTo again") << "connect" << 2;
    QTest::newRow("dropForTest") << "drop" << 2;
}

void TestServerClient::listenerEndsConnectionMidRead()
{
    QFETCH(QString, action);
    QFETCH(int, connections);
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    ServerClient *c = client.get();
    QStringList seen;
    connect(c, &ServerClient::message, this, [&](const QJsonObject &msg) {
        const QString type = msg.value(QStringLiteral("type")).toString();
        seen.append(type);
        if (type != QLatin1String("a"))
            return;
        if (action == QLatin1String("disconnect"))
            c->disconnectFromServer();
        else if (action == QLatin1String("connect"))
            c->connectTo(plainAddress(peer), QString());
        else
            c->dropForTest();
    });
    connectPlain(*c, peer);
    if (QTest::currentTestFailed())
        return;
    // Both lines arrive in one read; the second belongs to a connection that no longer exists.
    peer.sendRaw("{\"type\":\"a\"}\n{\"type\":\"b\"}\n");
    QTRY_COMPARE_WITH_TIMEOUT(peer.connections(), connections, kWaitMs);
    if (connections > 1)
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 2, kWaitMs);
    else
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), ServerClient::Offline, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(peer.closedConnections(), 1, kWaitMs);
    QCOMPARE(seen, QStringList{QStringLiteral("a")});
    QCOMPARE(c->state(), connections > 1 ? ServerClient::Connecting : ServerClient::Offline);
}

void TestServerClient::nothingSentBeforeTheCertificateCheck()
{
    ScriptedPeer peer;
    peer.useTls(m_certificate, m_key);
    QVERIFY(peer.listen());
    auto client = makeClient();
    client->connectTo(QStringLiteral("tls://127.0.0.1:%1").arg(peer.port()), m_opensslFingerprint);
    // The TCP link is up but the server has not shown its certificate yet: nothing may leave.
    auto *socket = client->findChild<QSslSocket *>();
    QVERIFY(socket);
    int early = 0;
    connect(socket, &QSslSocket::connected, this,
            [&] { early = client->login(QStringLiteral("alice"), QStringLiteral("secret")); });
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 1, kWaitMs);
    QCOMPARE(early, -1);
    greet(*client, peer);
    sync(*client, peer);
    QCOMPARE(peer.types(), QStringList{QStringLiteral("hello")});
}

void TestServerClient::serverClosesBeforeWelcome()
{
    ScriptedPeer peer;
    peer.closeAfterHello = true;
    QVERIFY(peer.listen());
    auto client = makeClient(600000);
    QSignalSpy errors(client.get(), &ServerClient::connectionError);
    client->connectTo(plainAddress(peer), QString());
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), ServerClient::Offline, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, kWaitMs);
    const QString text = errors.at(0).at(0).toString();
    QVERIFY(!text.isEmpty());
    QVERIFY2(logText().contains(QStringLiteral("server: socket error %1: %2")
                                    .arg(int(QAbstractSocket::RemoteHostClosedError))
                                    .arg(text)),
             qPrintable(logText()));
    QVERIFY(client->isReconnectScheduled());
    QCOMPARE(client->lastReconnectDelayMs(), 600000);
}
