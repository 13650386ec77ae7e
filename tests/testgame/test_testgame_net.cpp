// The stand-in game's matches over UDP: two real orx-testgame processes on loopback play each other
// from their game ports, agree on the result, and end with desync, disconnected, error or away when
// asked to or when the path fails. Also the frame codec against damaged datagrams.

#include "gamerun.h"
#include "netframe.h"
#include "scriptedclient.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr int waitMs = 30000;

QString startLine(int side, quint16 localPort, const QString &remote, quint64 seed, const QString &match,
                  int rounds = 3, const QString &p1 = "-", const QString &p2 = "-")
{
    return QStringLiteral("start game=orx mode=versus side=%1 local_port=%2 remote=%3 delay=1 seed=%4 p1=%5 "
                          "p2=%6 rounds=%7 ranked=0 match=%8 p1_name=ann p2_name=bob p1_rank=- p2_rank=-")
        .arg(side)
        .arg(localPort)
        .arg(remote)
        .arg(seed)
        .arg(p1, p2)
        .arg(rounds)
        .arg(match);
}

QString loopback(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

// The "in sync" line a game logs at the end of a match it played through.
QString syncLine(const QString &log)
{
    static const QRegularExpression re(QStringLiteral("orx versus: in sync, seed [^\\n]*"));
    return re.match(log).captured(0);
}

NetFrame sampleFrame()
{
    NetFrame f;
    f.kind = NetFrame::Bye;
    f.side = 2;
    f.reason = NetFrame::Desync;
    f.match = matchHash(QStringLiteral("m1"));
    f.plan = 100;
    f.ack = 40;
    f.inputFrom = 38;
    f.inputs = QByteArray("\x01\x02\xff", 3);
    f.sumFrom = 30;
    f.sums = {1u, 0xdeadbeefu};
    f.desyncFrame = 31;
    return f;
}

} // namespace

class TestTestGameNet : public QObject {
    Q_OBJECT

private slots:
    void frameRoundTrip();
    void damagedFrames_data();
    void damagedFrames();
    void twoGamesPlayTheSameMatch_data();
    void twoGamesPlayTheSameMatch();
    void outcomesOnDemand_data();
    void outcomesOnDemand();
    void outcomeOnceWhenThePlanGrows();
    void brokenPaths_data();
    void brokenPaths();
    void matchThroughTheServersRelay();
};

void TestTestGameNet::frameRoundTrip()
{
    const NetFrame f = sampleFrame();
    NetFrame back;
    QString why;
    QVERIFY2(decodeFrame(encodeFrame(f), back, &why), qPrintable(why));
    QCOMPARE(back.kind, f.kind);
    QCOMPARE(back.side, f.side);
    QCOMPARE(back.reason, f.reason);
    QCOMPARE(back.match, f.match);
    QCOMPARE(back.plan, f.plan);
    QCOMPARE(back.ack, f.ack);
    QCOMPARE(back.inputFrom, f.inputFrom);
    QCOMPARE(back.inputs, f.inputs);
    QCOMPARE(back.sumFrom, f.sumFrom);
    QCOMPARE(back.sums, f.sums);
    QCOMPARE(back.desyncFrame, f.desyncFrame);
    QVERIFY(matchHash(QStringLiteral("m1")) != matchHash(QStringLiteral("m2")));
    QVERIFY(nextState(initialState(4), 1, 2) != nextState(initialState(4), 2, 1));
}

void TestTestGameNet::damagedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");
    const QByteArray good = encodeFrame(sampleFrame());
    QTest::newRow("empty") << QByteArray() << "not a game frame";
    QTest::newRow("a launcher's punch")
        << QByteArray(R"({"type":"punch","match":"m1","key":"k"})") << "not a game frame";
    QTest::newRow("cut short") << good.left(good.size() - 1) << "wrong length";
    QTest::newRow("trailing byte") << good + 'x' << "wrong length";
    QByteArray kind = good;
    kind[4] = 9;
    QTest::newRow("unknown kind") << kind << "unknown frame kind";
    QByteArray many = good;
    many[24] = char(0xff);
    many[25] = char(0xff);
    QTest::newRow("too many inputs") << many << "too many entries";
    NetFrame ahead = sampleFrame();
    ahead.ack = 101;
    QTest::newRow("ack beyond the plan") << encodeFrame(ahead) << "frame numbers out of range";
    NetFrame wrap = sampleFrame();
    wrap.plan = 0xffffffffu;
    wrap.inputFrom = 0xfffffffeu;
    QTest::newRow("frames that would wrap") << encodeFrame(wrap) << "frame numbers out of range";
}

void TestTestGameNet::damagedFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    NetFrame f;
    QString actual;
    QVERIFY(!decodeFrame(bytes, f, &actual));
    QCOMPARE(actual, why);
}

void TestTestGameNet::twoGamesPlayTheSameMatch_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<int>("rounds");
    QTest::addColumn<QString>("p1");
    QTest::addColumn<QString>("p2");
    QTest::newRow("even seed, best of three") << quint64(4) << 3 << "-"
                                              << "-";
    QTest::newRow("odd 53-bit seed, best of five, named characters")
        << quint64(9007199254740991ULL) << 5 << "kael"
        << "ryo";
}

void TestTestGameNet::twoGamesPlayTheSameMatch()
{
    QFETCH(quint64, seed);
    QFETCH(int, rounds);
    QFETCH(QString, p1);
    QFETCH(QString, p2);
    PortHolder portA, portB;
    QVERIFY(portA.hold() && portB.hold());
    GameRun a, b;
    QVERIFY(a.start({"--bind-wait", "20000"}) && b.start({"--bind-wait", "20000"}));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QString("ready"), waitMs);

    // The start lines may come while the launcher still holds the game ports: the games wait.
    a.command(startLine(1, portA.port(), loopback(portB.port()), seed, "m1", rounds, p1, p2));
    b.command(startLine(2, portB.port(), loopback(portA.port()), seed, "m1", rounds, p1, p2));
    QTRY_VERIFY_WITH_TIMEOUT(a.commandTaken() && b.commandTaken(), waitMs);
    portA.release();
    portB.release();
    // Strangers on the game port change nothing.
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
    NetFrame forged = sampleFrame();
    forged.kind = NetFrame::Bye;
    forged.reason = NetFrame::Error;
    forged.match = matchHash("m1");
    stranger.writeDatagram(encodeFrame(forged), QHostAddress::LocalHost, portA.port());
    stranger.writeDatagram("\x4f\x58\x47\x31 garbage", QHostAddress::LocalHost, portA.port());

    QTRY_COMPARE_WITH_TIMEOUT(a.statusWord(), QString("result"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.statusWord(), QString("result"), waitMs);
    QCOMPARE(a.status(), b.status());
    const int winner = int(seed % 2) + 1;
    const int need = rounds / 2 + 1;
    const QString chars = p1 == "-" ? QString() : QStringLiteral(" p1_char=%1 p2_char=%2").arg(p1, p2);
    const QRegularExpression expected(
        QStringLiteral("^result winner=%1 p1_rounds=(\\d) p2_rounds=(\\d)%2 match=m1$")
            .arg(winner)
            .arg(chars));
    const QRegularExpressionMatch m = expected.match(a.status());
    QVERIFY2(m.hasMatch(), qPrintable(a.status()));
    QCOMPARE(m.captured(winner).toInt(), need);
    QVERIFY(m.captured(3 - winner).toInt() < need);
    // Also printed, a moment after status.txt.
    const auto afterReady = [&a] {
        const QStringList seen = a.statuses();
        return seen.mid(seen.indexOf("ready") + 1);
    };
    QTRY_COMPARE_WITH_TIMEOUT(afterReady(), (QStringList{"in_match match=m1", a.status()}), waitMs);
    // Both played the same fight: the same inputs, the same final state.
    QVERIFY(!syncLine(a.log()).isEmpty());
    QCOMPARE(syncLine(a.log()), syncLine(b.log()));
    QVERIFY(a.log().contains("orx net: player 2 joined after "));
    QVERIFY(b.log().contains("orx net: player 1 joined after "));
    QVERIFY(a.log().contains("orx versus: " + a.status()));

    // A rematch plays again on the same ports.
    a.command("rematch match=m2 seed=7 p1=- p2=-");
    b.command("rematch match=m2 seed=7 p1=- p2=-");
    QTRY_VERIFY_WITH_TIMEOUT(a.status().startsWith("result winner=2 ") && a.status().endsWith(" match=m2"),
                             waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), a.status(), waitMs);

    // Back at the hold point the game port is free again for the launcher.
    a.command("park");
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QUdpSocket again;
    QVERIFY2(again.bind(QHostAddress::AnyIPv4, portA.port()), qPrintable(again.errorString()));
    a.command("quit");
    b.command("quit");
    QVERIFY(a.process().waitForFinished(waitMs) && b.process().waitForFinished(waitMs));
    QCOMPARE(a.process().exitCode(), 0);
}

void TestTestGameNet::outcomesOnDemand_data()
{
    QTest::addColumn<QStringList>("aArgs");
    QTest::addColumn<QStringList>("bArgs");
    QTest::addColumn<int>("bSide");
    QTest::addColumn<quint64>("bSeed");
    QTest::addColumn<QString>("expectA"); // a pattern for the whole status line
    QTest::addColumn<QString>("expectB");
    QTest::addColumn<QString>("logA"); // a text in A's game.log
    const QStringList patient{"--peer-timeout", "60000"};
    const QStringList quick{"--peer-timeout", "1000"};
    const QString result = "result winner=2 p1_rounds=[01] p2_rounds=2 match=m1";
    QTest::newRow("desync") << patient
                            << (patient + QStringList{"--outcome", "desync", "--outcome-frame", "7"}) << 2
                            << quint64(5) << "desync frame=7 match=m1"
                            << "desync frame=7 match=m1"
                            << "DESYNC at frame 7";
    QTest::newRow("desync from a script")
        << patient << (patient + QStringList{"--script", "@outcome desync 7"}) << 2 << quint64(5)
        << "desync frame=7 match=m1"
        << "desync frame=7 match=m1"
        << "DESYNC at frame 7";
    QTest::newRow("path breaks") << quick
                                 << (quick + QStringList{"--outcome", "disconnected", "--outcome-frame", "5"})
                                 << 2 << quint64(5) << "disconnected match=m1"
                                 << "disconnected match=m1"
                                 << "orx net: the opponent was silent for 1000 ms";
    QTest::newRow("error") << patient << (patient + QStringList{"--outcome", "error", "--outcome-frame", "5"})
                           << 2 << quint64(5) << "disconnected match=m1"
                           << "error match=m1"
                           << "orx net: the opponent left the match";
    QTest::newRow("away") << patient << (patient + QStringList{"--outcome", "away"}) << 2 << quint64(5)
                          << "disconnected match=m1"
                          << "away"
                          << "orx net: the opponent left the match";
    QTest::newRow("round played again")
        << patient << (patient + QStringList{"--outcome", "again", "--outcome-frame", "7"}) << 2 << quint64(5)
        << result << result << "orx versus: in sync, seed 5";
    QTest::newRow("both on side 1") << patient << patient << 1 << quint64(5) << "error match=m1"
                                    << "error match=m1"
                                    << "error: the opponent plays side 1 too";
    QTest::newRow("seeds differ") << patient << patient << 2 << quint64(6) << "desync frame=0 match=m1"
                                  << "desync frame=0 match=m1"
                                  << "DESYNC at frame 0";
}

void TestTestGameNet::outcomesOnDemand()
{
    QFETCH(QStringList, aArgs);
    QFETCH(QStringList, bArgs);
    QFETCH(int, bSide);
    QFETCH(quint64, bSeed);
    QFETCH(QString, expectA);
    QFETCH(QString, expectB);
    QFETCH(QString, logA);
    // "@TEXT" stands for a script file with that text.
    QTemporaryDir scripts;
    for (QString &arg : bArgs) {
        if (arg.startsWith('@')) {
            QFile file(scripts.filePath("script.txt"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(arg.mid(1).toUtf8() + '\n');
            arg = file.fileName();
        }
    }
    PortHolder portA, portB;
    QVERIFY(portA.hold() && portB.hold());
    GameRun a, b;
    // The rows' own options come last and win.
    const QStringList length{"--match-ms", "600"};
    QVERIFY(a.start(length + aArgs) && b.start(length + bArgs));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QString("ready"), waitMs);
    portA.release();
    portB.release();
    a.command(startLine(1, portA.port(), loopback(portB.port()), 5, "m1"));
    b.command(startLine(bSide, portB.port(), loopback(portA.port()), bSeed, "m1"));

    const QRegularExpression patternA("^" + expectA + "$"), patternB("^" + expectB + "$");
    QTRY_VERIFY2_WITH_TIMEOUT(patternA.match(a.status()).hasMatch(), qPrintable(a.status() + "\n" + a.log()),
                              waitMs);
    QTRY_VERIFY2_WITH_TIMEOUT(patternB.match(b.status()).hasMatch(), qPrintable(b.status() + "\n" + b.log()),
                              waitMs);
    QVERIFY2(a.log().contains(logA), qPrintable(a.log()));
    QCOMPARE(a.statuses().filter("in_match").first(), QString("in_match match=m1"));
    if (bArgs.contains("again")) {
        QCOMPARE(a.status(), b.status());
        QCOMPARE(b.statuses().filter("in_match again=").size(), 1);
        QCOMPARE(b.log().count("DESYNC at frame "), 1);
    }
    if (QTest::currentDataTag() == QLatin1String("round played again"))
        QVERIFY(b.statuses().contains("in_match again=1 again_frame=7 match=m1"));
    if (expectA.startsWith("desync"))
        QVERIFY(b.log().contains("DESYNC at frame " + expectB.section('=', 1, 1).section(' ', 0, 0)));
}

void TestTestGameNet::outcomeOnceWhenThePlanGrows()
{
    PortHolder portA, portB;
    QVERIFY(portA.hold() && portB.hold());
    GameRun a, b;
    QVERIFY(a.start({"--match-ms", "600"}));
    // Its own plan of two frames puts the outcome at frame 1.
    QVERIFY(b.start({"--match-ms", "32", "--outcome", "again"}));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QString("ready"), waitMs);
    portB.release();
    b.command(startLine(2, portB.port(), loopback(portA.port()), 5, "m1"));
    // B has played both of its frames before it learns A's longer plan.
    bool sent = false; // sticky: the check is evaluated once more after it held
    const auto twoFramesSent = [&portA, &sent] {
        while (!sent && portA.socket()->hasPendingDatagrams()) {
            NetFrame f;
            sent = decodeFrame(portA.socket()->receiveDatagram(4096).data(), f) && f.inputs.size() >= 2;
        }
        return sent;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(twoFramesSent(), qPrintable(b.status() + "\n" + b.log()), waitMs);
    portA.release();
    a.command(startLine(1, portA.port(), loopback(portB.port()), 5, "m1"));
    QTRY_COMPARE_WITH_TIMEOUT(a.statusWord(), QString("result"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), a.status(), waitMs);
    QVERIFY(b.log().contains("orx versus: in sync, seed 5, 37 frames"));
    QCOMPARE(b.statuses().filter("in_match again=").size(), 1);
    QVERIFY(b.statuses().contains("in_match again=1 again_frame=1 match=m1"));
}

void TestTestGameNet::brokenPaths_data()
{
    QTest::addColumn<QString>("remote"); // "held": a port that swallows everything
    QTest::addColumn<int>("side");
    QTest::addColumn<bool>("portStaysHeld");
    QTest::addColumn<QString>("expect");
    QTest::addColumn<QString>("logText");
    QTest::newRow("nobody answers") << "held" << 1 << false << "disconnected match=m1"
                                    << "orx net: no frame from the opponent within 700 ms";
    QTest::newRow("not an endpoint") << "nowhere" << 1 << false << "error match=m1"
                                     << "error: the remote endpoint \"nowhere\" is not an address and a port";
    QTest::newRow("port zero") << "127.0.0.1:0" << 1 << false << "error match=m1"
                               << "is not an address and a port";
    QTest::newRow("no side") << "held" << 0 << false << "error match=m1"
                             << "error: the start line names no side (side=0)";
    QTest::newRow("game port stays held") << "held" << 1 << true << "error match=m1"
                                          << "error: cannot use UDP port ";
}

void TestTestGameNet::brokenPaths()
{
    QFETCH(QString, remote);
    QFETCH(int, side);
    QFETCH(bool, portStaysHeld);
    QFETCH(QString, expect);
    QFETCH(QString, logText);
    PortHolder gamePort, sink;
    QVERIFY(gamePort.hold() && sink.hold());
    if (!portStaysHeld)
        gamePort.release();
    GameRun a;
    QVERIFY(a.start({"--meet-ms", "700", "--bind-wait", "300"}));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    a.command(startLine(side, gamePort.port(), remote == "held" ? loopback(sink.port()) : remote, 5, "m1"));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), expect, waitMs);
    QVERIFY2(a.log().contains(logText), qPrintable(a.log()));
    if (QTest::currentDataTag() == QLatin1String("nobody answers")) {
        // It did try: frames of this match went out from its own game port.
        QVERIFY(sink.socket()->hasPendingDatagrams());
        const QNetworkDatagram d = sink.socket()->receiveDatagram(4096);
        NetFrame f;
        QVERIFY(decodeFrame(d.data(), f));
        QCOMPARE(f.match, matchHash("m1"));
        QCOMPARE(f.side, quint8(1));
        QCOMPARE(d.senderPort(), int(gamePort.port()));
    }
    // The game is still there for the next match.
    QVERIFY(a.process().state() == QProcess::Running);
}

namespace {

// The launcher's hello from the game port, until the server answers it.
bool udpHello(QUdpSocket &gamePort, quint16 serverPort, const QString &token, const QString &match)
{
    const QByteArray hello = QJsonDocument(QJsonObject{{"type", "hello"},
                                                       {"token", token},
                                                       {"match", match},
                                                       {"lan", loopback(gamePort.localPort())},
                                                       {"t", 1}})
                                 .toJson(QJsonDocument::Compact);
    return orxtest::waitUntil([&] {
        gamePort.writeDatagram(hello, QHostAddress::LocalHost, serverPort);
        QTest::qWait(50);
        while (gamePort.hasPendingDatagrams()) {
            const QJsonObject o = QJsonDocument::fromJson(gamePort.receiveDatagram(4096).data()).object();
            if (o.value("type").toString() == "hello_ack")
                return true;
        }
        return false;
    });
}

} // namespace

void TestTestGameNet::matchThroughTheServersRelay()
{
    QTemporaryDir data;
    orxtest::ServerProcess server;
    QString error;
    QVERIFY2(server.start(data.path(), {}, &error), qPrintable(error));
    GameRun games[2];
    PortHolder ports[2];
    orxtest::ScriptedClient clients[2];
    const char *names[2] = {"ann", "bob"};
    for (int i = 0; i < 2; ++i) {
        QVERIFY(games[i].start({}));
        QVERIFY(ports[i].hold());
        QVERIFY(clients[i].connectPlain(server.tcpPort));
        QCOMPARE(clients[i].hello().value("type").toString(), QString("welcome"));
        QCOMPARE(clients[i].signUp(names[i]).value("type").toString(), QString("account"));
        QVERIFY(udpHello(*ports[i].socket(), server.udpPort, clients[i].udpToken, QString()));
    }
    // Ann hides her address: the server sends both through its relay.
    for (int i = 0; i < 2; ++i) {
        const int id = clients[i].send({{"type", "queue_join"},
                                        {"game", "orx"},
                                        {"mode", "versus"},
                                        {"ranked", false},
                                        {"region", "eu"},
                                        {"max_ping", 0},
                                        {"strict", false},
                                        {"character", "-"},
                                        {"relay", i == 0},
                                        {"hide_always", false},
                                        {"link", "ethernet"},
                                        {"server_rtt", 5},
                                        {"delay", 1},
                                        {"delay_auto", true}});
        QCOMPARE(clients[i].waitReply(id).value("type").toString(), QString("queued"));
    }
    const QString match = clients[0].waitFor("match_found", 20000).value("match").toString();
    QVERIFY(!match.isEmpty());
    QCOMPARE(clients[1].waitFor("match_found", 20000).value("match").toString(), match);
    for (int i = 0; i < 2; ++i) {
        clients[i].send({{"type", "match_accept"}, {"match", match}});
        QVERIFY(udpHello(*ports[i].socket(), server.udpPort, clients[i].udpToken, match));
    }
    const QString relay = loopback(server.udpPort);
    for (orxtest::ScriptedClient &c : clients) {
        QVERIFY(c.waitFor("match_peer", 20000).value("relay").toBool());
        // The launcher's own punch through the relay is not what this test is about.
        c.send({{"type", "ping_report"},
                {"match", match},
                {"ok", true},
                {"rtt_ms", 5},
                {"remote", relay},
                {"via", "relay"}});
    }
    QJsonObject go[2];
    for (int i = 0; i < 2; ++i) {
        go[i] = clients[i].waitFor("match_go", 20000);
        QCOMPARE(go[i].value("path").toString(), QString("relay"));
        QCOMPARE(go[i].value("remote").toString(), relay);
        QTRY_COMPARE_WITH_TIMEOUT(games[i].status(), QString("ready"), waitMs);
    }
    // The launchers let go of the game ports and write the start lines.
    for (int i = 0; i < 2; ++i) {
        ports[i].release();
        games[i].command(startLine(go[i].value("side").toInt(), ports[i].port(), relay,
                                   quint64(go[i].value("seed").toInteger()), match));
    }
    QTRY_COMPARE_WITH_TIMEOUT(games[0].statusWord(), QString("result"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(games[1].status(), games[0].status(), waitMs);
    QCOMPARE(syncLine(games[0].log()), syncLine(games[1].log()));

    // The agreed result goes to the server like the launcher sends it.
    const QStringList words = games[0].status().split(' ');
    const auto value = [&words](const QString &key) {
        return words.filter(QRegularExpression("^" + key + "=")).value(0).section('=', 1).toInt();
    };
    for (orxtest::ScriptedClient &c : clients) {
        c.send({{"type", "result"},
                {"match", match},
                {"winner", value("winner")},
                {"p1_rounds", value("p1_rounds")},
                {"p2_rounds", value("p2_rounds")}});
        QCOMPARE(c.waitFor("result_ack", 20000).value("match").toString(), match);
    }
    const QJsonObject outcome = clients[0].waitFor("match_result", 20000);
    QCOMPARE(outcome.value("status").toString(), QString("agreed"));
    QCOMPARE(outcome.value("winner").toInt(), value("winner"));
}

QTEST_GUILESS_MAIN(TestTestGameNet)
#include "test_testgame_net.moc"
