// Limits that keep one misbehaving client from costing everybody else: connection caps, the TLS
// handshake deadline and silent connections. Each case shows both sides: the hostile client is
// cut off, a well-behaved one is served meanwhile.
#include "tst_server.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {

// A ping answered on a connection that is already greeted.
bool pongs(ScriptedClient &c)
{
    return c.waitReply(c.send({{"type", "ping"}})).value("type") == "pong";
}

bool greeted(ScriptedClient &c, quint16 port)
{
    return c.connectPlain(port) && c.hello().value("type") == "welcome";
}

} // namespace

void TestServer::connectionCapsRefuseTheExcess_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("logged");
    QTest::newRow("per address")
        << QStringList{"--max-per-address", "3"}
        << "refused a connection from 127.0.0.1: 3 connections from that address already";
    QTest::newRow("in all")
        << QStringList{"--max-connections", "3"}
        << "refused a connection from 127.0.0.1: 3 connections open, the most there may be";
}

void TestServer::connectionCapsRefuseTheExcess()
{
    QFETCH(QStringList, options);
    QFETCH(QString, logged);
    QVERIFY(startServer(options));
    ScriptedClient a, b, c, extra;
    QVERIFY(greeted(a, server->tcpPort) && greeted(b, server->tcpPort) && greeted(c, server->tcpPort));
    // The fourth is closed at once, without a word; the server says why in its log, once.
    QVERIFY(extra.connectPlain(server->tcpPort) || !extra.connected());
    QVERIFY(extra.waitDisconnected());
    QVERIFY(orxtest::waitUntil([&] { return server->errors().contains(logged); }));
    ScriptedClient again;
    QVERIFY(again.connectPlain(server->tcpPort) || !again.connected());
    QVERIFY(again.waitDisconnected());
    QCOMPARE(server->errors().count(logged), 1);
    // Those in keep being served, and a slot given back is taken again.
    QVERIFY(pongs(a) && pongs(c));
    b.close();
    QVERIFY(orxtest::waitUntil([&] {
        ScriptedClient d;
        return greeted(d, server->tcpPort) && pongs(d);
    }));
}

void TestServer::handshakeDeadlineFreesIdleSockets()
{
    // Forty connections that never start their handshake, from the address a real client also uses.
    QVERIFY(startServer({"--tls", "--handshake-timeout", "1", "--max-per-address", "64"}));
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 40; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, server->tcpPort);
        QVERIFY(s->waitForConnected(orxtest::scaled(5000)));
        idle.push_back(std::move(s));
    }
    // A real client gets through while they hang, and is answered.
    ScriptedClient real;
    QByteArray digest;
    QVERIFY2(real.connectTls(server->tcpPort, &digest), qPrintable(server->errors().right(2000)));
    QCOMPARE(real.hello().value("type").toString(), QString("welcome"));
    QVERIFY(pongs(real));
    // Each idle one is dropped once its handshake time is up.
    QVERIFY(orxtest::waitUntil(
        [&] {
            return std::all_of(idle.begin(), idle.end(), [](const auto &s) {
                s->waitForReadyRead(0);
                return s->state() == QAbstractSocket::UnconnectedState;
            });
        },
        20000));
    QVERIFY(server->errors().contains("127.0.0.1: no TLS handshake in time, dropping the connection"));
    QVERIFY(pongs(real));
}

void TestServer::silentConnectionIsClosed()
{
    QVERIFY(startServer({"--idle-timeout", "5"}));
    ScriptedClient silent, talking;
    QVERIFY(greeted(silent, server->tcpPort) && greeted(talking, server->tcpPort));
    // One pings every second (a launcher does every 30 s); the other says nothing more.
    QElapsedTimer sincePing;
    sincePing.start();
    QVERIFY(orxtest::waitUntil(
        [&] {
            if (sincePing.elapsed() >= 1000) {
                sincePing.restart();
                talking.send({{"type", "ping"}});
            }
            return !silent.connected();
        },
        30000));
    QVERIFY(talking.connected());
    QVERIFY(pongs(talking));
    QVERIFY(server->errors().contains("127.0.0.1: silent for 5 s, closing the connection"));
}
