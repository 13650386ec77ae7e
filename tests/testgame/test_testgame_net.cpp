// The stand-in game's matches over UDP: two real orx-testgame processes on loopback play each other
// from their game ports, agree on the result, and end with desync, disconnected, error or away when
// asked to or when the path fails; at the result screen the loser's game tells the other its choice,
// and rematch lines keep or pick the characters alike on both. Also the frame codec against damaged
// datagrams.

#include "gamerun.h"
#include "matchplay.h"
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

// "@TEXT" in `args` stands for a script file with that text, written into `dir` as NAME.
QStringList withScripts(const QTemporaryDir &dir, QStringList args, const QString &name)
{
    for (QString &arg : args) {
        if (arg.startsWith('@')) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::WriteOnly))
                file.write(arg.mid(1).toUtf8() + '\n');
            arg = file.fileName();
        }
    }
    return args;
}

// Whether this game holds its game port (a second bind fails).
bool portHeld(quint16 port)
{
    QUdpSocket probe;
    return !probe.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress);
}

// The status lines a game reported from the start of match `match` on.
QStringList sinceMatch(GameRun &game, const QString &match)
{
    const QStringList seen = game.statuses();
    const qsizetype from = seen.lastIndexOf("in_match match=" + match);
    return from < 0 ? QStringList() : seen.mid(from);
}

// Two games on loopback at their hold points, side 1 (a) and side 2 (b), with free game ports.
struct GamePair {
    GameRun a, b;
    quint16 portA = 0, portB = 0;

    void start(const QStringList &aArgs, const QStringList &bArgs)
    {
        PortHolder holdA, holdB;
        QVERIFY(holdA.hold() && holdB.hold());
        portA = holdA.port();
        portB = holdB.port();
        holdA.release();
        holdB.release();
        QVERIFY(a.start(aArgs) && b.start(bArgs));
        QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(b.status(), QString("ready"), waitMs);
    }
    // Start lines for both, with `tail` (" choose=1", series keys) appended.
    void startMatch(quint64 seed, const QString &match, const QString &tail, const QString &mode = "versus")
    {
        const QString versus = QStringLiteral(" mode=versus "), other = QStringLiteral(" mode=%1 ").arg(mode);
        a.command(startLine(1, portA, loopback(portB), seed, match).replace(versus, other) + tail);
        b.command(startLine(2, portB, loopback(portA), seed, match).replace(versus, other) + tail);
    }
    void both(const QString &line)
    {
        a.command(line);
        b.command(line);
    }
};

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
    void choiceAtTheResultScreen_data();
    void choiceAtTheResultScreen();
    void keptCharactersAndStage();
    void sparringHasNoWinner();
    void menuLeavesTheResultScreen();
    void menuAfterEveryResultScreen();
    void parkIgnored_data();
    void parkIgnored();
    void choiceOfAMatchAlone();
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

    // A choice at the result screen, and the draw flag of a match's frames.
    NetFrame choice;
    choice.kind = NetFrame::Choice;
    choice.side = 2;
    choice.choice = NetFrame::Leave;
    choice.match = matchHash(QStringLiteral("m1"));
    QVERIFY2(decodeFrame(encodeFrame(choice), back, &why), qPrintable(why));
    QCOMPARE(back.kind, NetFrame::Choice);
    QCOMPARE(back.side, quint8(2));
    QCOMPARE(back.choice, NetFrame::Leave);
    QCOMPARE(back.reason, NetFrame::Done);
    QCOMPARE(back.match, choice.match);
    QCOMPARE(back.draw, false);
    NetFrame draw = sampleFrame();
    draw.draw = true;
    QVERIFY2(decodeFrame(encodeFrame(draw), back, &why), qPrintable(why));
    QCOMPARE(back.draw, true);
    QCOMPARE(back.reason, NetFrame::Desync);
    QCOMPARE(back.choice, NetFrame::NoChoice);
    for (const char *word : {"rematch", "select", "leave"})
        QCOMPARE(choiceWord(choiceFromWord(QLatin1String(word))), QLatin1String(word));
    QCOMPARE(choiceFromWord(QStringLiteral("fight")), NetFrame::NoChoice);
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
    NetFrame choice;
    choice.kind = NetFrame::Choice;
    choice.choice = NetFrame::Select;
    QByteArray noChoice = encodeFrame(choice);
    noChoice[6] = 0;
    QTest::newRow("a choice of nothing") << noChoice << "unknown choice";
    QByteArray farChoice = encodeFrame(choice);
    farChoice[6] = 4;
    QTest::newRow("a choice beyond LEAVE") << farChoice << "unknown choice";
    QByteArray flags = good;
    flags[7] = char(0x82);
    QTest::newRow("unknown flags") << flags << "unknown flags";
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

void TestTestGameNet::choiceAtTheResultScreen_data()
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<QStringList>("aArgs");
    QTest::addColumn<QStringList>("bArgs");
    QTest::addColumn<int>("winner");
    QTest::addColumn<int>("chooser");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QString>("then"); // the choice at the next match's result screen
    // Each game knows what its player would choose; only the loser's game makes its choice.
    QTest::newRow("side 2 lost: CHARACTER SELECT")
        << quint64(4) << QStringList{"--choice", "leave", "--choice-ms", "0"}
        << QStringList{"--choice", "select"} << 1 << 2 << "select"
        << "select";
    QTest::newRow("side 1 lost: LEAVE")
        << quint64(5) << QStringList{"--choice", "leave"}
        << QStringList{"--choice", "rematch", "--choice-ms", "0"} << 2 << 1 << "leave"
        << "";
    QTest::newRow("a draw: side 1 chooses REMATCH")
        << quint64(5) << QStringList{"--draw", "--choice", "rematch"}
        << QStringList{"--choice", "leave", "--choice-ms", "0"} << 0 << 1 << "rematch"
        << "rematch";
    QTest::newRow("chosen by a script step")
        << quint64(4) << QStringList{} << QStringList{"--script", "@at 1500 choice rematch"} << 1 << 2
        << "rematch"
        << "rematch";
    QTest::newRow("a list: one choice per result screen, in order")
        << quint64(5) << QStringList{"--draw", "--choice", "select,leave"}
        << QStringList{"--choice", "rematch", "--choice-ms", "0"} << 0 << 1 << "select"
        << "leave";
}

void TestTestGameNet::choiceAtTheResultScreen()
{
    QFETCH(quint64, seed);
    QFETCH(QStringList, aArgs);
    QFETCH(QStringList, bArgs);
    QFETCH(int, winner);
    QFETCH(int, chooser);
    QFETCH(QString, choice);
    QFETCH(QString, then);
    QTemporaryDir scripts;
    GamePair g;
    g.start(withScripts(scripts, aArgs, "a.txt"), withScripts(scripts, bArgs, "b.txt"));
    if (QTest::currentTestFailed())
        return;
    g.startMatch(seed, "m1", " choose=1");
    const QString chose = QStringLiteral("chose choice=%1 chooser=%2 match=m1").arg(choice).arg(chooser);
    QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), chose, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), chose, waitMs);

    // Both showed the same result first, with the characters their select screens picked.
    QString chars =
        QStringLiteral(" p1_char=%1 p2_char=%2 ").arg(pickCharacter(seed, 1), pickCharacter(seed, 2));
    const QRegularExpression result(
        QStringLiteral("^result winner=%1 p1_rounds=(\\d) p2_rounds=(\\d)%2match=m1$")
            .arg(winner)
            .arg(chars));
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.a, "m1").size(), 3, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.b, "m1"), sinceMatch(g.a, "m1"), waitMs);
    const QRegularExpressionMatch m = result.match(sinceMatch(g.a, "m1").at(1));
    QVERIFY2(m.hasMatch(), qPrintable(sinceMatch(g.a, "m1").join('\n')));
    if (winner == 0)
        QCOMPARE(m.captured(1), m.captured(2));
    QCOMPARE(sinceMatch(g.a, "m1").at(2), chose);

    // The chooser's game sent it; the other one only answered.
    GameRun &chooserGame = chooser == 1 ? g.a : g.b;
    GameRun &otherGame = chooser == 1 ? g.b : g.a;
    const QString said = QStringLiteral("orx net: player %1 chose %2").arg(chooser).arg(choice);
    QVERIFY2(chooserGame.log().contains(said + "; telling the opponent"), qPrintable(chooserGame.log()));
    QTRY_VERIFY_WITH_TIMEOUT(chooserGame.log().contains("orx net: the opponent has the choice"), waitMs);
    QVERIFY2(otherGame.log().contains(said + "\n"), qPrintable(otherGame.log()));
    QVERIFY(!otherGame.log().contains("telling the opponent"));
    QCOMPARE(chooserGame.log().count(" chose " + choice), 1);
    // Still at their result screens: the game ports stay bound.
    QVERIFY(portHeld(g.portA) && portHeld(g.portB));

    if (choice == "leave") {
        g.both("park");
        QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), QString("ready"), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), QString("ready"), waitMs);
        QVERIFY(!portHeld(g.portA) && !portHeld(g.portB));
        return;
    }
    // The next match starts from the result screen, on the same path; REMATCH keeps both
    // characters, CHARACTER SELECT picks them again. The same loser chooses again.
    const quint64 next = seed + 2;
    g.both(QStringLiteral("rematch match=m2 seed=%1 p1=- p2=- choose=1").arg(next));
    const QString chose2 = QStringLiteral("chose choice=%1 chooser=%2 match=m2").arg(then).arg(chooser);
    QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), chose2, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), chose2, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.a, "m2").size(), 3, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.b, "m2"), sinceMatch(g.a, "m2"), waitMs);
    if (choice == "select")
        chars = QStringLiteral(" p1_char=%1 p2_char=%2 ").arg(pickCharacter(next, 1), pickCharacter(next, 2));
    const QString result2 = sinceMatch(g.a, "m2").at(1);
    QVERIFY2(result2.startsWith(QStringLiteral("result winner=%1 ").arg(winner)) && result2.contains(chars),
             qPrintable(result2 + " lacks" + chars));
    const QString sync2 = QStringLiteral("orx versus: in sync, seed %1, ").arg(next);
    QVERIFY(g.a.log().contains(sync2) && g.b.log().contains(sync2));
}

void TestTestGameNet::keptCharactersAndStage()
{
    // The seeds are chosen so that a kept character or stage differs from a new pick.
    QVERIFY(pickCharacter(9, 1) != pickCharacter(4, 1));
    QVERIFY(pickStage(10) != pickStage(9));
    GamePair g;
    g.start({}, {"--choice", "select", "--choice-ms", "0"});
    if (QTest::currentTestFailed())
        return;
    g.startMatch(4, "m1", " choose=1 series=set set=1 set_p1=0 set_p2=0");
    const QString chose = "chose choice=select chooser=2 match=m1";
    QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), chose, waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), chose, waitMs);

    // Side 1 won the set's first match: it keeps its character, side 2 picks again.
    g.both("rematch match=m2 seed=9 p1=- p2=- choose=1 series=set set=2 set_p1=1 set_p2=0 keep=1");
    QTRY_VERIFY_WITH_TIMEOUT(g.a.status().startsWith("result ") && g.a.status().endsWith(" match=m2"),
                             waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), g.a.status(), waitMs);
    const QString kept =
        QStringLiteral(" p1_char=%1 p2_char=%2 ").arg(pickCharacter(4, 1), pickCharacter(9, 2));
    QVERIFY2(g.a.status().contains(kept), qPrintable(g.a.status() + " lacks" + kept));
    const QString stage = pickStage(9);
    for (GameRun *game : {&g.a, &g.b})
        QVERIFY(
            game->log().contains(QStringLiteral("orx versus: p1 %1 (kept), p2 %2 (picked), stage %3 (picked)")
                                     .arg(pickCharacter(4, 1), pickCharacter(9, 2), stage)));

    // Both characters given again, and the stage kept: " stage=keep".
    g.both("rematch match=m3 seed=10 p1=kael p2=ryo stage=keep choose=1 series=set set=3 set_p1=1 set_p2=1");
    QTRY_VERIFY_WITH_TIMEOUT(g.a.status().startsWith("result ") && g.a.status().endsWith(" match=m3"),
                             waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), g.a.status(), waitMs);
    QVERIFY2(g.a.status().contains(" p1_char=kael p2_char=ryo "), qPrintable(g.a.status()));
    for (GameRun *game : {&g.a, &g.b})
        QVERIFY2(
            game->log().contains(
                QStringLiteral("orx versus: p1 kael (given), p2 ryo (given), stage %1 (kept)").arg(stage)),
            qPrintable(game->log()));
    QCOMPARE(syncLine(g.a.log()), syncLine(g.b.log()));
}

void TestTestGameNet::sparringHasNoWinner()
{
    GamePair g;
    const QStringList chooser{"--choice", "rematch", "--choice-ms", "0"};
    g.start(chooser, chooser);
    if (QTest::currentTestFailed())
        return;
    g.startMatch(5, "m1", " choose=1", "sparring");
    QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), QString("sparring_over match=m1"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), QString("sparring_over match=m1"), waitMs);
    QCOMPARE(syncLine(g.a.log()), syncLine(g.b.log()));
    QVERIFY(portHeld(g.portA));
    g.both("park");
    QTRY_COMPARE_WITH_TIMEOUT(g.a.status(), QString("ready"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), QString("ready"), waitMs);
    // Nobody lost, so nobody chose.
    for (GameRun *game : {&g.a, &g.b}) {
        QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(*game, "m1"),
                                  (QStringList{"in_match match=m1", "sparring_over match=m1", "ready"}),
                                  waitMs);
        QVERIFY(game->log().contains("orx versus: sparring_over match=m1"));
        QVERIFY(!game->log().contains(" chooses REMATCH"));
        QVERIFY(!game->log().contains(" chose "));
    }
}

void TestTestGameNet::menuLeavesTheResultScreen()
{
    QTemporaryDir scripts;
    GamePair g;
    // Given before the match, the step waits for the next result screen.
    g.start(withScripts(scripts, {"--script", "@menu 300"}, "a.txt"), {});
    if (QTest::currentTestFailed())
        return;
    g.startMatch(5, "m1", " choose=1");
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.a, "m1").size(), 3, waitMs);
    const QStringList seen = sinceMatch(g.a, "m1");
    QCOMPARE(g.a.status(), QString("ready"));
    QVERIFY2(seen.at(1).startsWith("result winner=2 ") && seen.at(1).endsWith(" match=m1"),
             qPrintable(seen.at(1)));
    QCOMPARE(seen.at(2), QString("ready"));
    QVERIFY(g.a.log().contains("testgame: left the result screen for the online menu"));
    // Its game port is given back; the other game finished the match and stays at its result screen.
    QVERIFY(!portHeld(g.portA));
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), seen.at(1), waitMs);
    QVERIFY(portHeld(g.portB));
}

void TestTestGameNet::menuAfterEveryResultScreen()
{
    GamePair g;
    g.start({"--menu-after", "300"}, {});
    if (QTest::currentTestFailed())
        return;
    // Unlike the one-off script step, the option leaves every result screen.
    for (const QString match : {QStringLiteral("m1"), QStringLiteral("m2")}) {
        g.startMatch(match == QLatin1String("m1") ? 5 : 7, match, " choose=1");
        QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(g.a, match).size(), 3, waitMs);
        const QStringList seen = sinceMatch(g.a, match);
        QVERIFY2(seen.at(1).startsWith("result winner=2 ") && seen.at(1).endsWith(" match=" + match),
                 qPrintable(seen.at(1)));
        QCOMPARE(seen.at(2), QString("ready"));
        QVERIFY(!portHeld(g.portA));
        QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), seen.at(1), waitMs);
    }
    QCOMPARE(g.a.log().count("testgame: left the result screen for the online menu"), 2);
}

void TestTestGameNet::parkIgnored_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("option") << QStringList{"--ignore-park"};
    QTest::newRow("script step") << QStringList{"--script", "@ignore-park"};
}

void TestTestGameNet::parkIgnored()
{
    QFETCH(QStringList, args);
    QTemporaryDir scripts;
    GamePair g;
    g.start(withScripts(scripts, args, "a.txt"), {});
    if (QTest::currentTestFailed())
        return;
    g.startMatch(4, "m1", QString());
    QTRY_COMPARE_WITH_TIMEOUT(g.a.statusWord(), QString("result"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), g.a.status(), waitMs);
    const QString result = g.a.status();
    // Parked twice, as the launcher does when the game does not come back; it stays where it is.
    for (int park = 1; park <= 2; ++park) {
        g.a.command("park");
        QTRY_COMPARE_WITH_TIMEOUT(g.a.log().count("testgame: ignoring park"), park, waitMs);
        QCOMPARE(g.a.status(), result);
        QVERIFY(portHeld(g.portA));
    }
    // The other game parks.
    g.b.command("park");
    QTRY_COMPARE_WITH_TIMEOUT(g.b.status(), QString("ready"), waitMs);
    QVERIFY(!portHeld(g.portB));
    g.a.command("quit");
    QVERIFY(g.a.process().waitForFinished(waitMs));
    QCOMPARE(g.a.process().exitCode(), 0);
}

void TestTestGameNet::choiceOfAMatchAlone()
{
    // Without a remote there is nobody to tell: the loser's game reports its own choice.
    GameRun a;
    QVERIFY(a.start({"--choice", "select", "--choice-ms", "0"}));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    a.command("start side=2 seed=4 p1=- p2=- match=m1 choose=1");
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("chose choice=select chooser=2 match=m1"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(sinceMatch(a, "m1").size(), 3, waitMs);
    QCOMPARE(sinceMatch(a, "m1").at(1), QStringLiteral("result winner=1 p1_rounds=2 p2_rounds=0 p1_char=%1 "
                                                       "p2_char=%2 match=m1")
                                            .arg(pickCharacter(4, 1), pickCharacter(4, 2)));
    // Each result screen has its own choice.
    a.command("rematch seed=6 p1=- p2=- match=m2 choose=1");
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("chose choice=select chooser=2 match=m2"), waitMs);
    // On the winning side it does not choose.
    a.command("start side=1 seed=8 p1=- p2=- match=m3 choose=1");
    QTRY_VERIFY_WITH_TIMEOUT(a.status().startsWith("result winner=1 ") && a.status().endsWith(" match=m3"),
                             waitMs);
    a.command("park");
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QVERIFY(!a.statuses().contains("chose choice=select chooser=2 match=m3"));
    QCOMPARE(a.statuses().filter("chose ").size(), 2);
}

QTEST_GUILESS_MAIN(TestTestGameNet)
#include "test_testgame_net.moc"
