// UDP rendezvous and tunnel bridge over real sockets on loopback: two rendezvous punching each
// other, scripted peers and servers for the odd answers, and a scripted server connection carrying
// the tunnel.
#include "core/cfg.h"
#include "core/log.h"
#include "net/serverclient.h"
#include "net/tunnelbridge.h"
#include "net/udprendezvous.h"
#include "scriptedpeer.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

using namespace testutil;

namespace {

const QHostAddress kLocal = QHostAddress::LocalHost;

// A UDP socket the test drives by hand: it sees what the launcher sends and answers as scripted.
struct ScriptedUdp {
    QUdpSocket socket;
    ScriptedUdp() { socket.bind(kLocal, 0); }
    quint16 port() const { return socket.localPort(); }
    QString endpoint() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }
    // Every datagram waiting, as (object, sender port).
    QList<QPair<QJsonObject, quint16>> take()
    {
        QList<QPair<QJsonObject, quint16>> out;
        while (socket.hasPendingDatagrams()) {
            QByteArray data(4096, '\0');
            QHostAddress from;
            quint16 port = 0;
            data.truncate(socket.readDatagram(data.data(), data.size(), &from, &port));
            out.append({QJsonDocument::fromJson(data).object(), port});
        }
        return out;
    }
    void send(const QJsonObject &o, quint16 port)
    {
        socket.writeDatagram(QJsonDocument(o).toJson(QJsonDocument::Compact), kLocal, port);
    }
};

quint16 freePort()
{
    QUdpSocket s;
    s.bind(kLocal, 0);
    return s.localPort();
}

QStringList logLines()
{
    QStringList out;
    for (const QByteArray &l : readAll(cfg::dataDir() + QStringLiteral("/orx-launcher.log")).split('\n'))
        if (!l.isEmpty())
            out << QString::fromUtf8(l.mid(24));
    return out;
}

} // namespace

class TestRendezvous : public QObject {
    Q_OBJECT
    QTemporaryDir *dir = nullptr;

private slots:
    void init()
    {
        dir = new QTemporaryDir;
        cfg::resetForTesting();
        cfg::init(dir->filePath(QStringLiteral("orx-launcher.ini")));
    }
    void cleanup()
    {
        cfg::resetForTesting();
        delete dir;
    }

    void endpoints_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("ipv4") << "10.1.2.3:7001" << true;
        QTest::newRow("ipv6") << "::1:7001" << false;
        QTest::newRow("bracketed ipv6") << "[::1]:7001" << false;
        QTest::newRow("port 0") << "1.2.3.4:0" << false;
        QTest::newRow("port too big") << "1.2.3.4:65536" << false;
        QTest::newRow("no colon") << "1.2.3.4" << false;
        QTest::newRow("colon first") << ":7001" << false;
        QTest::newRow("name") << "router.lan:7001" << false;
    }
    void endpoints()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QHostAddress a;
        quint16 p = 0;
        QCOMPARE(UdpRendezvous::parseEndpoint(text, &a, &p), ok);
    }

    void bindKeepsOrReleases()
    {
        UdpRendezvous r;
        const quint16 first = freePort(), second = freePort();
        QString error;
        QVERIFY2(r.bind(first, kLocal, &error), qPrintable(error));
        QVERIFY(r.bind(first, kLocal)); // same port and address: kept, nothing logged
        QVERIFY(r.bind(second, kLocal));
        QCOMPARE(logLines(), (QStringList{QStringLiteral("udp: bound 127.0.0.1:%1").arg(first),
                                          QStringLiteral("udp: released port %1").arg(first),
                                          QStringLiteral("udp: bound 127.0.0.1:%1").arg(second)}));
        UdpRendezvous other;
        QVERIFY(!other.bind(second, kLocal, &error));
        QVERIFY2(error.startsWith(QStringLiteral("Cannot use UDP port %1: ").arg(second)), qPrintable(error));
        QVERIFY(!other.isBound());
    }

    void twoLaunchersPunchEachOther()
    {
        UdpRendezvous a, b;
        const quint16 pa = freePort(), pb = freePort();
        QVERIFY(a.bind(pa, kLocal) && b.bind(pb, kLocal));
        QSignalSpy doneA(&a, &UdpRendezvous::punchDone), doneB(&b, &UdpRendezvous::punchDone);
        const QString ea = QStringLiteral("127.0.0.1:%1").arg(pa),
                      eb = QStringLiteral("127.0.0.1:%1").arg(pb);
        a.punchDirect(QStringLiteral("m1"), QStringLiteral("k"), 1, eb, eb, 10000);
        QCOMPARE(a.candidates().size(), 1); // the same endpoint twice is one candidate
        b.punchDirect(QStringLiteral("m1"), QStringLiteral("k"), 2, QStringLiteral("[::1]:5"), ea, 10000);
        QVERIFY(waitFor([&] { return doneA.size() == 1 && doneB.size() == 1; }));
        QCOMPARE(doneA.at(0).at(0).toBool(), true);
        QCOMPARE(doneA.at(0).at(2).toString(), eb);
        QCOMPARE(doneA.at(0).at(3).toString(), QStringLiteral("lan"));
        QCOMPARE(doneB.at(0).at(0).toBool(), true);
        QCOMPARE(doneB.at(0).at(2).toString(), ea);
        QCOMPARE(doneB.at(0).at(3).toString(), QStringLiteral("public"));
        QVERIFY(doneA.at(0).at(1).toInt() >= 0);
        QVERIFY(logLines().contains(
            QStringLiteral("udp: punch ok, rtt %1 ms via lan").arg(doneA.at(0).at(1).toInt())));
    }

    void peerAnsweringFromAnotherPortBecomesACandidate()
    {
        UdpRendezvous a, b;
        const quint16 pa = freePort(), pb = freePort(), stale = freePort();
        QVERIFY(a.bind(pa, kLocal) && b.bind(pb, kLocal));
        QSignalSpy doneA(&a, &UdpRendezvous::punchDone);
        // A only knows a port the peer no longer uses; the peer's own punches reveal the real one.
        a.punchDirect(QStringLiteral("m"), QStringLiteral("k"), 1, QStringLiteral("127.0.0.1:%1").arg(stale),
                      QString(), 10000);
        b.punchDirect(QStringLiteral("m"), QStringLiteral("k"), 2, QStringLiteral("127.0.0.1:%1").arg(pa),
                      QString(), 10000);
        QVERIFY(waitFor([&] { return doneA.size() == 1; }));
        QCOMPARE(doneA.at(0).at(0).toBool(), true);
        QCOMPARE(doneA.at(0).at(2).toString(), QStringLiteral("127.0.0.1:%1").arg(pb));
        QCOMPARE(doneA.at(0).at(3).toString(), QStringLiteral("public"));
        QVERIFY(logLines().contains(
            QStringLiteral("udp: punch from another port of the peer's, added as a candidate")));
    }

    void measurementNeedsThreePongs_data()
    {
        // How long the peer holds the pong of each ping, by "seq"; the pings beyond go unanswered.
        // The holds lie far apart so that the median stands clear of the mean, the extremes and the
        // first, middle and last pong to arrive, even with a loaded machine's timing jitter.
        QTest::addColumn<QList<int>>("holds");
        QTest::addColumn<bool>("ok");
        QTest::newRow("five") << QList<int>{260, 500, 120, 80, 40} << true;
        QTest::newRow("three then silence") << QList<int>{360, 40, 120} << true;
        QTest::newRow("two") << QList<int>{40, 80} << false;
    }
    void measurementNeedsThreePongs()
    {
        QFETCH(QList<int>, holds);
        QFETCH(bool, ok);
        UdpRendezvous r;
        ScriptedUdp peer;
        QVERIFY(r.bind(freePort(), kLocal));
        QElapsedTimer clock;
        clock.start();
        qint64 doneAt = -1;
        QSignalSpy done(&r, &UdpRendezvous::punchDone);
        connect(&r, &UdpRendezvous::punchDone, this, [&] { doneAt = clock.elapsed(); });

        // The peer answers as it reads, each pong after its hold; it notes when each ping came in
        // and when each pong left.
        QList<qint64> pingIn, pongOut(holds.size(), -1);
        bool acked = false, outOfOrder = false;
        connect(&peer.socket, &QUdpSocket::readyRead, this, [&] {
            for (auto [msg, port] : peer.take()) {
                const QString type = msg.value(QStringLiteral("type")).toString();
                if (type == QLatin1String("punch") && !acked) {
                    msg.insert(QStringLiteral("type"), QStringLiteral("punch_ack"));
                    peer.send(msg, port);
                    acked = true;
                } else if (type == QLatin1String("ping")) {
                    const int seq = msg.value(QStringLiteral("seq")).toInt();
                    if (seq != pingIn.size())
                        outOfOrder = true;
                    pingIn << clock.elapsed();
                    if (seq >= holds.size())
                        continue;
                    QJsonObject pong = msg;
                    pong.insert(QStringLiteral("type"), QStringLiteral("pong"));
                    pong.insert(QStringLiteral("side"), 2);
                    const quint16 to = port;
                    QTimer::singleShot(holds.at(seq), Qt::PreciseTimer, &peer.socket, [&, pong, to, seq] {
                        pongOut[seq] = clock.elapsed();
                        peer.send(pong, to);
                        peer.send(pong, to); // the same seq again changes nothing
                        QJsonObject never = pong;
                        never.insert(QStringLiteral("seq"), 9);
                        peer.send(never, to); // never sent
                    });
                }
            }
        });
        r.punchDirect(QStringLiteral("m"), QStringLiteral("k"), 1, peer.endpoint(), QString(), 10000);
        QVERIFY(waitFor([&] { return done.size() == 1; }, 20000));
        QVERIFY(!outOfOrder);
        QCOMPARE(pingIn.size(), 5);
        QCOMPARE(done.at(0).at(0).toBool(), ok);
        QCOMPARE(done.at(0).at(3).toString(), ok ? QStringLiteral("lan") : QString());
        if (!ok) {
            QCOMPARE(done.at(0).at(2).toString(), QString());
            QVERIFY(logLines().contains(QStringLiteral("udp: punch failed, rtt 0 ms via lan")));
        }

        // Each round trip is the hold as the peer really kept it, plus two hops on loopback inside
        // this process; the reported one must be the median of those, within the hops' jitter and the
        // rounding to whole milliseconds.
        QList<qint64> kept;
        for (qsizetype seq = 0; seq < holds.size(); ++seq) {
            QVERIFY2(pongOut.at(seq) >= 0, "a pong never left");
            kept << pongOut.at(seq) - pingIn.at(seq);
        }
        std::sort(kept.begin(), kept.end());
        const auto keptText = [&] {
            QStringList t;
            for (qint64 k : kept)
                t << QString::number(k);
            return t.join(QLatin1Char(' '));
        };
        const qint64 lastPong = *std::max_element(pongOut.begin(), pongOut.end());
        if (ok) {
            const int rtt = done.at(0).at(1).toInt();
            const qint64 median = kept.at(kept.size() / 2);
            const qint64 hops = scaled(40);
            qInfo("holds kept %s ms; rtt %d ms", qPrintable(keptText()), rtt);
            QVERIFY2(rtt >= median - 2 && rtt <= median + hops,
                     qPrintable(QStringLiteral("rtt %1 ms, the holds kept %2 ms").arg(rtt).arg(keptText())));
            QVERIFY(logLines().contains(QStringLiteral("udp: punch ok, rtt %1 ms via lan").arg(rtt)));
        }
        QVERIFY(doneAt >= lastPong);
        if (holds.size() == 5) {
            // The fifth pong ends the measurement at once: well before the wait for stragglers,
            // which could end no sooner than 500 ms after the fifth ping.
            QVERIFY2(
                doneAt - lastPong < scaled(150),
                qPrintable(QStringLiteral("ended %1 ms after the fifth pong left, %2 ms after the fifth ping")
                               .arg(doneAt - lastPong)
                               .arg(doneAt - pingIn.last())));
        } else {
            // Fewer pongs: the wait after the fifth ping decides.
            QVERIFY2(
                doneAt - pingIn.last() >= 450,
                qPrintable(QStringLiteral("ended %1 ms after the fifth ping").arg(doneAt - pingIn.last())));
        }
    }

    void foreignDatagramsAreIgnoredAndNothingAnswersLate()
    {
        UdpRendezvous r;
        ScriptedUdp peer;
        const quint16 port = freePort();
        QVERIFY(r.bind(port, kLocal));
        QSignalSpy done(&r, &UdpRendezvous::punchDone);
        r.punchDirect(QStringLiteral("m"), QStringLiteral("k"), 1, peer.endpoint(), QString(), 400);
        peer.send({{"type", "punch_ack"}, {"match", "m"}, {"key", "other"}, {"side", 2}}, port);
        peer.send({{"type", "punch_ack"}, {"match", "old"}, {"key", "k"}, {"side", 2}}, port);
        peer.socket.writeDatagram("not json", kLocal, port);
        peer.send({{"type", "ping"}, {"match", "m"}, {"key", "x"}, {"seq", 0}}, port);
        QVERIFY(waitFor([&] { return done.size() == 1; }));
        QCOMPARE(done.at(0).at(0).toBool(), false); // timed out: no foreign answer counted
        for (const auto &[msg, from] : peer.take())
            QCOMPARE(msg.value(QStringLiteral("type")).toString(), QStringLiteral("punch")); // never a pong

        // No candidates at all: fails at once, without a log line.
        r.punchDirect(QStringLiteral("m"), QStringLiteral("k"), 1, QStringLiteral("[::1]:1"),
                      QStringLiteral("x"), 5000);
        QCOMPARE(done.size(), 2);
        QCOMPARE(done.at(1).at(0).toBool(), false);
    }

    void helloAckAndTimeouts()
    {
        UdpRendezvous r;
        ScriptedUdp server;
        QVERIFY(r.bind(freePort(), kLocal));
        QSignalSpy acked(&r, &UdpRendezvous::helloAcked), timedOut(&r, &UdpRendezvous::helloTimedOut);
        r.hello(kLocal, server.port(), QStringLiteral("tok"), QString(), QStringLiteral("192.168.1.5:7001"),
                5000);
        QJsonObject hello;
        quint16 from = 0;
        QVERIFY(waitFor([&] {
            for (const auto &[msg, port] : server.take())
                if (hello.isEmpty()) {
                    hello = msg;
                    from = port;
                }
            return !hello.isEmpty();
        }));
        QCOMPARE(hello.value(QStringLiteral("token")).toString(), QStringLiteral("tok"));
        QCOMPARE(hello.value(QStringLiteral("lan")).toString(), QStringLiteral("192.168.1.5:7001"));
        QVERIFY(!hello.contains(QStringLiteral("rtt")));
        server.send(
            {{"type", "hello_ack"}, {"t", hello.value(QStringLiteral("t"))}, {"public", "5.6.7.8:40000"}},
            from);
        QVERIFY(waitFor([&] { return acked.size() == 1; }));
        QCOMPARE(acked.at(0).at(0).toString(), QStringLiteral("5.6.7.8:40000"));
        QCOMPARE(r.serverRoundTripMs(), acked.at(0).at(1).toInt());
        // A second ack is late: ignored.
        server.send({{"type", "hello_ack"}, {"t", 0}, {"public", "x"}}, from);
        QTest::qWait(100);
        QCOMPARE(acked.size(), 1);

        // The next hello carries the round trip; unanswered, it times out.
        server.take();
        r.hello(kLocal, server.port(), QStringLiteral("tok"), QStringLiteral("m9"), QString(), 600);
        QVERIFY(waitFor([&] { return timedOut.size() == 1; }));
        const auto sent = server.take();
        QVERIFY(sent.size() >= 2); // resent every 250 ms
        QCOMPARE(sent.first().first.value(QStringLiteral("rtt")).toInt(), r.serverRoundTripMs());
        QCOMPARE(sent.first().first.value(QStringLiteral("match")).toString(), QStringLiteral("m9"));
        QVERIFY(
            logLines().contains(QStringLiteral("udp: no hello_ack from 127.0.0.1:%1").arg(server.port())));
    }

    void blockedServerGetsNothing()
    {
        cfg::set(QStringLiteral("dev/udp_blocked"), true);
        UdpRendezvous r;
        ScriptedUdp server;
        QVERIFY(r.bind(freePort(), kLocal));
        QSignalSpy timedOut(&r, &UdpRendezvous::helloTimedOut), done(&r, &UdpRendezvous::punchDone);
        r.hello(kLocal, server.port(), QStringLiteral("tok"), QString(), QString(), 400);
        QVERIFY(waitFor([&] { return timedOut.size() == 1; }));
        r.punchRelay(QStringLiteral("m"), QStringLiteral("k"), 1, 300);
        QVERIFY(waitFor([&] { return done.size() == 1; }));
        QCOMPARE(done.at(0).at(0).toBool(), false);
        QVERIFY(!server.socket.hasPendingDatagrams());
    }

    void tunnelCarriesOnlyTheGamesPackets()
    {
        ScriptedPeer peer;
        peer.autoWelcome =
            QJsonObject{{"type", "welcome"}, {"server", "s"}, {"version", "1"}, {"udp_port", 7778}};
        QVERIFY(peer.listen());
        ServerClient client;
        client.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port()), QString());
        QVERIFY(waitFor([&] { return client.state() == ServerClient::Rovivi; }));
        peer.send({{"type", "account"}, {"token", "t"}, {"name", "Ann"}, {"udp_token", "u"}});
        QVERIFY(waitFor([&] { return client.state() == ServerClient::LoggedIn; }));

        QUdpSocket game, stranger;
        QVERIFY(game.bind(kLocal, 0) && stranger.bind(kLocal, 0));
        TunnelBridge bridge(&client, game.localPort());
        QString error;
        QVERIFY2(bridge.start(&error), qPrintable(error));
        QVERIFY(logLines().contains(
            QStringLiteral("tunnel: port %1 stands in for the server's relay").arg(bridge.localPort())));

        stranger.writeDatagram("intruder", kLocal, bridge.localPort());
        game.writeDatagram(QByteArray("\x00\x01frame", 7), kLocal, bridge.localPort());
        QVERIFY(waitFor([&] { return peer.count(QStringLiteral("tunnel")) == 1; }));
        QCOMPARE(QByteArray::fromBase64(
                     peer.last(QStringLiteral("tunnel")).value(QStringLiteral("data")).toString().toLatin1()),
                 QByteArray("\x00\x01frame", 7));
        QCOMPARE(bridge.packetsSent(), quint64(1));

        peer.send({{"type", "tunnel"}, {"data", QString::fromLatin1(QByteArray("first").toBase64())}});
        peer.send({{"type", "tunnel"}, {"data", QString::fromLatin1(QByteArray("second").toBase64())}});
        QList<QByteArray> got;
        QVERIFY(waitFor([&] {
            while (game.hasPendingDatagrams()) {
                QByteArray d(4096, '\0');
                d.truncate(game.readDatagram(d.data(), d.size()));
                got << d;
            }
            return got.size() == 2;
        }));
        QCOMPARE(got, (QList<QByteArray>{"first", "second"}));
        QCOMPARE(bridge.packetsReceived(), quint64(2));
        QCOMPARE(peer.count(QStringLiteral("tunnel")), 1); // the stranger's datagram never left
    }
};

QTEST_GUILESS_MAIN(TestRendezvous)
#include "test_rendezvous.moc"
