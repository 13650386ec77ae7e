// Two launchers' match controllers (each in its own driver process with its own settings and game
// port), two stand-in games and the development server play real matches.

#include "matchdriverprocess.h"
#include "tst_match.h"

#include <QFile>
#include <QtTest>
#include <memory>

namespace {

using Options = DriverProcess::Options;

struct Match {
    orxtest::ServerProcess server;
    QTemporaryDir data;
    std::unique_ptr<DriverProcess> a, b;

    bool start(const QStringList &serverOptions, Options oa, Options ob)
    {
        QString error;
        if (!server.start(data.path(), serverOptions, &error)) {
            qWarning("server: %s", qPrintable(error));
            return false;
        }
        a = std::make_unique<DriverProcess>();
        b = std::make_unique<DriverProcess>();
        return a->start(oa, server.tcpPort) && b->start(ob, server.tcpPort);
    }
    QString dump() const { return (a ? a->dump() : QString()) + "\n" + (b ? b->dump() : QString()); }
};

// Short waits everywhere so the cases stay quick; the ending wait must end a match without a park.
const QStringList kTiming{"ending=1500"};

Options opts(const QString &name, QStringList gameArgs = {}, QStringList timing = kTiming)
{
    Options o;
    o.name = name;
    o.gameArgs = gameArgs;
    o.timing = timing;
    return o;
}

QString writeScript(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(text);
    return path;
}

// Both search the same casual mode and accept the match found; returns the match id.
QString findAndAccept(Match &m, bool waitForUdpFallback = false)
{
    m.a->send("queue versus");
    if (!m.a->waitFor("phase 1 Searching for a casual versus opponent..."))
        return {};
    if (waitForUdpFallback && !m.a->waitFor("log The server did not answer on UDP (is UDP port "))
        return {};
    m.b->send("queue versus");
    if (!m.a->waitFor("found ") || !m.b->waitFor("found "))
        return {};
    m.a->send("accept");
    m.b->send("accept");
    return m.a->json("found ").value("match").toString();
}

} // namespace

namespace {

QString injectFound(const QString &id)
{
    return QStringLiteral(R"(inject {"type":"match_found","match":"%1","game":"orx","mode":"versus",)"
                          R"("accept_required":true,"opponent":{"name":"zed"}})")
        .arg(id);
}

int errorsFor(const DriverProcess &d, const QString &re)
{
    int n = 0;
    for (const QJsonObject &e : d.messages("error"))
        n += e.value("re").toString() == re ? 1 : 0;
    return n;
}

} // namespace

void TestMatchScenarios::initTestCase()
{
    QVERIFY2(QFile::exists(qEnvironmentVariable("ORX_BIN_DIR") + "/orx-server"), "orx-server is not built");
    QVERIFY2(QFile::exists(qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame"),
             "orx-testgame is not built");
    QVERIFY2(QFile::exists(qEnvironmentVariable("ORX_BIN_DIR") + "/orx-match-driver"),
             "orx-match-driver is not built");
}

void TestMatchScenarios::casualMatch_data()
{
    QTest::addColumn<bool>("hideIp");
    QTest::addColumn<bool>("udpBlocked");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("connected");
    QTest::addColumn<QString>("connecting");
    QTest::newRow("direct") << false << false << "direct"
                            << "directly"
                            << "Connecting to bob...";
    QTest::newRow("relay") << true << false << "relay"
                           << "through the server"
                           << "Connecting to bob through the server...";
    QTest::newRow("tunnel") << false << true << "tunnel"
                            << "through the server's connection"
                            << "Connecting to bob through the server's connection...";
}

void TestMatchScenarios::casualMatch()
{
    QFETCH(bool, hideIp);
    QFETCH(bool, udpBlocked);
    QFETCH(QString, path);
    QFETCH(QString, connected);
    QFETCH(QString, connecting);
    Match m;
    Options oa = opts("ann", {"--match-ms", "1500"});
    oa.hideIp = hideIp;
    oa.udpBlocked = udpBlocked;
    QVERIFY(m.start({"--udp-wait", "2500", "--punch-timeout", "5"}, oa, opts("bob", {"--match-ms", "1500"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m, udpBlocked);
    QVERIFY2(!id.isEmpty(), qPrintable(m.dump()));

    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    // Messages of another match never touch the one in hand.
    m.a->send(R"(inject {"type":"match_result","match":"otherMatch00","status":"agreed","winner":1})");
    m.a->send(R"(inject {"type":"match_go","match":"otherMatch00","side":1})");
    QVERIFY2(m.a->waitFor("finished ", 30000) && m.b->waitFor("finished ", 30000), qPrintable(m.dump()));
    const QJsonObject fa = m.a->json("finished "), fb = m.b->json("finished ");
    QCOMPARE(fa.value("match").toString(), id);
    QCOMPARE(fa.value("status").toString(), QString("agreed"));
    QCOMPARE(fb.value("status").toString(), QString("agreed"));
    QCOMPARE(fa.value("winner").toInt(), fb.value("winner").toInt());
    QVERIFY(fa.value("you_won").toBool() != fb.value("you_won").toBool());
    QCOMPARE(fa.value("opponent").toString(), QString("bob"));
    QCOMPARE(m.a->count("finished "), 1);
    QCOMPARE(m.a->count("started "), 1);

    // The path the server named, the one the launcher took and the start line the game got.
    const QList<QJsonObject> goes = m.a->messages("match_go");
    QVERIFY(!goes.isEmpty());
    QCOMPARE(goes.first().value("path").toString(), path);
    QVERIFY2(m.a->has("log Connected to bob " + connected + ", "), qPrintable(m.dump()));
    QVERIFY(m.a->has("phase 3 " + connecting));
    QVERIFY(m.a->has("log Result of " + id + " acknowledged by the server"));
    QVERIFY(m.b->has("log Result of " + id + " acknowledged by the server"));
    QVERIFY(m.a->has("phase 4 Starting the match against bob (ping "));
    QVERIFY(m.a->has("phase 6 Reporting the result (player "));
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    if (path == "tunnel") {
        QVERIFY(m.a->has("log The server did not answer on UDP (is UDP port "));
        QCOMPARE(m.a->messages("match_peer").last().value("tunnel").toBool(), true);
        // The games' frames really went through the bridge, both ways.
        const qsizetype i = m.a->find("log Through the server's connection: ");
        QVERIFY(i >= 0);
        static const QRegularExpression counts("(\\d+) packets out, (\\d+) in");
        const QRegularExpressionMatch c = counts.match(m.a->lines.at(i));
        QVERIFY2(c.hasMatch() && c.captured(1).toInt() > 10 && c.captured(2).toInt() > 10,
                 qPrintable(m.a->lines.at(i)));
    }
    if (path == "relay")
        QVERIFY(m.a->has("log Through the server in Virginia, USA: you hide your IP address"));
    QVERIFY(m.a->has("game in_match match=" + id));
}

void TestMatchScenarios::declinedMatchRequeues()
{
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.b->send("queue versus");
    QVERIFY2(m.a->waitFor("phase 2 Match found") && m.b->waitFor("phase 2 Match found"),
             qPrintable(m.dump()));
    QVERIFY(m.a->has("log Opponent's connection: "));
    m.b->send("decline");
    QVERIFY2(m.b->waitFor("phase 0 Match declined"), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("cancelled declined 1"), qPrintable(m.dump()));
    QVERIFY(m.a->waitFor("phase 1 Back in the queue: a player declined"));
    // Still searching: a cancel leaves the queue.
    m.a->send("cancel");
    QVERIFY(m.a->waitFor("phase 0 Search cancelled"));
    QVERIFY(!m.a->messages("queue_left").isEmpty() || m.a->waitFor("msg {\"reason\":\"left\""));
}

void TestMatchScenarios::acceptTimeout()
{
    Match m;
    QVERIFY(m.start({"--accept-timeout", "2"}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.b->send("queue versus");
    QVERIFY(m.a->waitFor("phase 2 Match found") && m.b->waitFor("phase 2 Match found"));
    m.a->send("accept");
    QVERIFY(m.a->waitFor("phase 3 Accepted; waiting for the opponent..."));
    QVERIFY2(m.a->waitFor("cancelled accept_timeout 1") && m.b->waitFor("cancelled accept_timeout 0"),
             qPrintable(m.dump()));
    QVERIFY(m.a->waitFor("phase 1 Back in the queue: not accepted in time"));
    QVERIFY(m.b->waitFor("phase 0 Match cancelled: not accepted in time"));
}

void TestMatchScenarios::gameAwayWhenAMatchComes()
{
    QTemporaryDir dir;
    const QString script = writeScript(dir, "away.txt", "at 400 status away\n");
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob", {"--script", script})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("game away"));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.b->send("queue versus");
    QVERIFY2(
        m.b->waitFor("notice A match came while you were away from the online menu, so it was called off."),
        qPrintable(m.dump()));
    const qsizetype logged =
        m.b->find("log A match came while the game is away from its online menu: declined");
    const qsizetype declined = m.b->find("phase 0 Match declined");
    QVERIFY(logged >= 0 && declined > logged);
    QVERIFY(m.b->find("notice ") > declined);
    QVERIFY(!m.b->has("phase 2 "));
    QVERIFY2(m.a->waitFor("cancelled declined 1"), qPrintable(m.dump()));
}

void TestMatchScenarios::connectionDroppedMidMatch()
{
    Match m;
    // The games' result comes well after the drop, and the link stays down past the ack wait.
    Options oa = opts("ann", {"--match-ms", "6000"}, {"ending=1500", "ack=2000"});
    oa.reconnectMs = 12000;
    QVERIFY(m.start({}, oa, opts("bob", {"--match-ms", "6000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    m.a->send("drop");
    QVERIFY(m.a->waitFor("state 0"));
    // The result comes while the link is down: kept, and the match ends here after the ack wait.
    QVERIFY2(m.a->waitFor("phase 6 Reporting the result"), qPrintable(m.dump()));
    QVERIFY(!m.a->has("log Sent the stored result"));
    // The acknowledgement wait ended the match here before the link came back.
    QVERIFY2(m.a->waitFor("phase 7 Match over: the game plays its ending"), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("log Sent the stored result of match " + id, 30000), qPrintable(m.dump()));
    QVERIFY(m.a->find("log Sent the stored result") > m.a->find("phase 7 "));
    QVERIFY(m.a->find("log Sent the stored result") > m.a->find("state 0"));
    QVERIFY2(m.a->waitFor("log Result of " + id + " acknowledged by the server"), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(m.b->json("finished ").value("status").toString(), QString("agreed"));
    QCOMPARE(m.a->count("log Sent the stored result"), 1);
}

void TestMatchScenarios::gameNeverReachesItsHoldPoint()
{
    QTemporaryDir dir;
    const QString script = writeScript(dir, "busy.txt", "at 400 status busy loading\n");
    Match m;
    // Ann's game waits a little for Bob's, which never comes; Bob's launcher waits for the verdict.
    QVERIFY(m.start({"--result-wait", "20000"}, opts("ann", {"--match-ms", "500", "--meet-ms", "3000"}),
                    opts("bob", {"--script", script},
                         {"ending=1500", "hold=1000", "fixed=1000", "pick=1000", "ack=30000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("game busy loading"));
    QVERIFY(!findAndAccept(m).isEmpty());
    QVERIFY2(m.b->waitFor("log Waiting for the game to reach its hold point (status: busy loading)", 40000),
             qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("log The game did not start the match within 2 s."), qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("phase 6 Reporting the result (error)..."));
    QVERIFY2(m.a->waitFor("phase 6 Reporting the result (disconnected)...", 30000), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("finished ", 30000) && m.a->waitFor("finished ", 30000), qPrintable(m.dump()));
    QCOMPARE(m.b->json("finished ").value("status").toString(), QString("error"));
    QCOMPARE(m.a->json("finished ").value("status").toString(), QString("error"));
    QVERIFY(!m.b->has("game in_match"));
}

void TestMatchScenarios::crashDuringTheMatch()
{
    QTemporaryDir dir;
    const QString script = writeScript(dir, "crash.txt", "at 9000 crash the fight engine lost its footing\n");
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"}, opts("ann", {"--match-ms", "60000"}, {"ending=60000"}),
                    opts("bob", {"--match-ms", "60000", "--script", script})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY(!findAndAccept(m).isEmpty());
    // A cancel during the match does nothing to it.
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    m.a->send("cancel");
    m.a->send("ask");
    QVERIFY(m.a->waitFor("answer "));
    QVERIFY(m.a->has("answer phase=5 "));
    QVERIFY2(m.b->waitFor("playergame 0", 40000), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("log Your game ended during the match (crash, exit code "), qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("phase 6 Reporting the result (left)..."));
    QVERIFY2(m.a->waitFor("finished ", 30000), qPrintable(m.dump()));
    const QJsonObject fa = m.a->json("finished ");
    QCOMPARE(fa.value("status").toString(), QString("abandoned"));
    QCOMPARE(fa.value("you_won").toBool(), true);
    QCOMPARE(m.b->count("log Your game ended during the match"), 1);
    QCOMPARE(m.b->count("phase 6 "), 1);
    // Ann's game still plays: no search until its ending is over.
    QVERIFY(m.a->waitFor("phase 7 Match over: the game plays its ending"));
    m.a->send("queue versus");
    QVERIFY2(m.a->waitFor("queue fail Busy: Match over: the game plays its ending"), qPrintable(m.dump()));
    m.a->send(injectFound("endingMatch1"));
    QVERIFY2(
        m.a->waitFor("notice A match came, but it could not be played: Your game is still playing the last "
                     "match's ending: a moment."),
        qPrintable(m.dump()));
    QVERIFY(m.a->waitFor("phase 0 Match declined"));
}

void TestMatchScenarios::refusals()
{
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("queue fail Sign in first."));
    m.a->send("connect");
    QVERIFY(m.a->waitFor("state 2"));
    m.a->send("register ann secret-pass");
    QVERIFY(m.a->waitFor("loggedin"));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("queue fail Your game is not running: press PLAY in Orvex Rovivi to start it."));
    m.a->send("play");
    QVERIFY(m.a->waitFor("play ok") && m.a->waitFor("game ready"));
    m.a->send("play");
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("play ok"), 2, orxtest::scaled(10000));
    QCOMPARE(m.a->count("playergame 1"), 1); // the second PLAY started nothing
    QVERIFY(m.a->has("log Your game is starting (session "));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("queue ok"));
    m.a->send("queue versus"); // searching again updates the search
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("queue ok"), 2, orxtest::scaled(10000));
    QVERIFY(orxtest::waitUntil([&] { return !m.a->messages("queued").isEmpty(); }));
    QCOMPARE(m.a->messages("queued").last().value("ping_widen").toObject().value("cap").toInt(), 250);
    // The game quitting ends the search.
    m.a->send("gamecmd quit");
    QVERIFY2(m.a->waitFor("log The game closed; leaving the queue."), qPrintable(m.dump()));
    QVERIFY(m.a->waitFor("phase 0 Search cancelled"));
    m.a->send("ask");
    QVERIFY(m.a->waitFor("answer phase=0"));
}

void TestMatchScenarios::portWaitGivesUp()
{
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    // Something else holds the game port: the match found cannot be taken.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, m.a->gamePort, QUdpSocket::DontShareAddress));
    m.a->send(injectFound("portWait0001"));
    QVERIFY2(m.a->waitFor("phase 0 Match declined"), qPrintable(m.dump()));
    const qsizetype why = m.a->find(QString("log Cannot use UDP port %1").arg(m.a->gamePort));
    QVERIFY(why >= 0 && why < m.a->find("phase 0 Match declined"));
    QVERIFY(!m.a->has("found "));
    QVERIFY(!m.a->has("phase 2 "));
    // Freed again, the next match found is taken.
    holder.close();
    m.a->send(injectFound("portWait0002"));
    QVERIFY2(m.a->waitFor("phase 2 Match found"), qPrintable(m.dump()));
    QCOMPARE(m.a->json("found ").value("match").toString(), QString("portWait0002"));
}

void TestMatchScenarios::oneTunnelRequestPerMatch()
{
    Match m;
    Options oa = opts("ann");
    oa.udpBlocked = true;
    QVERIFY(m.start({}, oa, opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY2(m.a->waitFor("log The server did not answer on UDP (is UDP port "), qPrintable(m.dump()));
    m.a->send("cancel");
    QVERIFY(m.a->waitFor("phase 0 Search cancelled"));
    QCOMPARE(m.a->count("log The server did not answer on UDP"), 1);
    // The server knows none of these matches, so each tunnel request it gets is answered with an error.
    m.a->send(injectFound("tunnelOnce01"));
    QVERIFY(m.a->waitFor("phase 2 Match found"));
    m.a->send(injectFound("tunnelOnce01"));
    m.a->send(injectFound("tunnelOnce02"));
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("found "), 3, orxtest::scaled(10000));
    m.a->send("decline"); // its error arrives after every earlier answer
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "match_decline") == 1; }));
    QCOMPARE(errorsFor(*m.a, "udp_tunnel"), 2);

    // UDP gets through again: the next search's hello is answered and matches go the usual way.
    m.a->send("set dev/udp_blocked false");
    m.a->send("queue versus");
    QVERIFY2(m.a->waitFor("log The server answers on UDP again: matches go the usual way"),
             qPrintable(m.dump()));
    m.a->send(injectFound("tunnelOnce03"));
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("found "), 4, orxtest::scaled(10000));
    m.a->send("decline");
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "match_decline") == 2; }));
    QCOMPARE(errorsFor(*m.a, "udp_tunnel"), 2);
}

void TestMatchScenarios::searchEndsWithTheConnection()
{
    Match m;
    Options oa = opts("ann");
    oa.reconnectMs = 60000;
    QVERIFY(m.start({}, oa, opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.a->send("drop");
    QVERIFY2(m.a->waitFor("phase 0 Lost the server connection"), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("queue fail Sign in first."));
}

void TestMatchScenarios::statusWordsDuringAMatch()
{
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"}, opts("ann", {"--match-ms", "60000"}),
                    opts("bob", {"--match-ms", "60000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));

    // Another match's result is not this one's.
    QVERIFY(m.a->setGameStatus("result winner=1 p1_rounds=2 p2_rounds=0 match=otherMatch00"));
    QVERIFY(m.a->setGameStatus("in_match match=" + id + " again=1 again_frame=50"));
    QVERIFY(m.a->waitFor("log The two games went out of step and played the round again"));
    QVERIFY(m.a->setGameStatus("in_match match=" + id + " again=1 again_frame=50 x=1"));
    QVERIFY(m.a->setGameStatus("in_match match=" + id + " refused=1 refused_why=slot 3 from 10.0.0.5 held"));
    QVERIFY(
        m.a->waitFor("log A created character was held back at the select screen: slot 3 from x.x.x.x held"));
    QVERIFY(m.a->setGameStatus("in_match match=" + id + " refused=1 refused_why=slot 3 again"));
    QVERIFY(!m.a->has("phase 6 "));
    QVERIFY(
        m.a->setGameStatus("result winner=2 p1_rounds=1 p2_rounds=2 p1_char=Ryo p2_char=Kai match=" + id));
    QVERIFY(m.a->waitFor("phase 6 Reporting the result (player 2 won 1-2)..."));
    // Reported once: later result words change nothing.
    QVERIFY(m.a->setGameStatus("result winner=1 p1_rounds=2 p2_rounds=0 match=" + id));
    QVERIFY(m.a->setGameStatus("disconnected match=" + id));
    QVERIFY2(m.a->waitFor("finished ", 30000), qPrintable(m.dump()));
    const QJsonObject fa = m.a->json("finished ");
    QCOMPARE(fa.value("match").toString(), id);
    QCOMPARE(fa.value("p1_char").toString(), QString("Ryo"));
    QCOMPARE(fa.value("p2_char").toString(), QString("Kai"));
    QCOMPARE(m.a->count("phase 6 "), 1);
    QCOMPARE(m.a->count("log The two games went out of step"), 1);
    QCOMPARE(m.a->count("log A created character was held back"), 1);
    QVERIFY(m.a->has("log Result of " + id + " acknowledged by the server"));
}

void TestMatchScenarios::gameLeavesItsOnlineMenu_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("searching") << "searching";
    QTest::newRow("match found") << "found";
    QTest::newRow("before the start") << "starting";
    QTest::newRow("in the match") << "playing";
}

void TestMatchScenarios::gameLeavesItsOnlineMenu()
{
    QFETCH(QString, when);
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"}, opts("ann", {"--match-ms", "60000"}),
                    opts("bob", {"--match-ms", "60000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    if (when == "searching") {
        m.a->send("queue versus");
        QVERIFY(m.a->waitFor("phase 1 "));
        QVERIFY(m.a->setGameStatus("away"));
        QVERIFY(m.a->waitFor("notice You left the online menu, so the search stopped."));
        QVERIFY(m.a->find("log The game left its online menu: the search stops") <
                m.a->find("phase 0 Search cancelled"));
        return;
    }
    if (when == "starting")
        QVERIFY(m.a->setGameStatus("busy loading")); // the start line waits for the hold point
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.b->send("queue versus");
    QVERIFY(m.a->waitFor("phase 2 Match found"));
    if (when == "found") {
        QVERIFY(m.a->setGameStatus("away"));
        QVERIFY(m.a->waitFor("notice You left the online menu, so the match was called off."));
        QVERIFY(m.a->find("log The game left its online menu: the match found is declined") <
                m.a->find("phase 0 Match declined"));
        QVERIFY2(m.b->waitFor("cancelled declined 1"), qPrintable(m.dump()));
        return;
    }
    m.a->send("accept");
    m.b->send("accept");
    if (when == "starting") {
        QVERIFY2(
            m.a->waitFor("log Waiting for the game to reach its hold point (status: busy loading)", 40000),
            qPrintable(m.dump()));
        QVERIFY(m.a->setGameStatus("away"));
        QVERIFY(
            m.a->waitFor("notice You left the online menu before the match started, so it was called off."));
        QVERIFY(m.a->has(
            "log The game left its online menu before it took the match's start: the match is left"));
        QVERIFY(m.a->has("phase 0 Match left: the game was away from its online menu"));
        // The opponent's match ends as left by this side.
        QVERIFY2(m.b->waitFor("finished ", 30000), qPrintable(m.dump()));
        QCOMPARE(m.b->json("finished ").value("status").toString(), QString("abandoned"));
        QCOMPARE(m.b->json("finished ").value("you_won").toBool(), true);
        return;
    }
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    QVERIFY(m.a->setGameStatus("away"));
    m.a->send("ask");
    QVERIFY(m.a->waitFor("answer "));
    QVERIFY(m.a->has("answer phase=5 "));
    QVERIFY(!m.a->has("notice "));
}

void TestMatchScenarios::keepAliveWhileSearching()
{
    Match m;
    QVERIFY(m.start({}, opts("ann", {}, {"keepalive=200"}), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("helloack 127.0.0.1:" + QString::number(m.a->gamePort)));
    // The search keeps greeting the server from the game port, which keeps its NAT mapping open.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("helloack ") >= 4; }), qPrintable(m.dump()));
    QVERIFY(m.a->find("phase 0 ") < 0);
}

void TestMatchScenarios::peerPathSentences_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("expected");
    const QString base = R"("type":"match_peer","match":"pathWords001","key":"k","side":1,"punch_timeout":1)";
    QTest::newRow("back to the relay")
        << base + R"(,"relay":true,"back":true)"
        << QStringList{
               "log Directly was no faster than through the server, or did not get through: back through "
               "the server.",
               "phase 3 Connecting to zed through the server..."};
    QTest::newRow("the opponent hides")
        << base + R"(,"relay":true,"relay_why":"hidden","relay_mine":false)"
        << QStringList{
               "log Through the server in Virginia, USA: zed hides their IP address. Two players far from "
               "it get much more ping this way than directly."};
    QTest::newRow("relay too slow, mine")
        << base +
               R"(,"direct_why":"relay_ping","relay_rtt":180,"relay_mine":true,"peer":{"public":"127.0.0.1:9","lan":"127.0.0.1:9"})"
        << QStringList{
               "log 180 ms through the server, too much to play well: trying zed directly, which shows them "
               "your IP address. To keep it hidden however high the ping, tick \"Even when the ping through "
               "the server is high\" in Settings, Rovivi.",
               "phase 3 Connecting to zed..."};
    QTest::newRow("relay too slow, theirs")
        << base + R"(,"direct_why":"relay_ping","relay_rtt":180,"peer":{"public":"127.0.0.1:9"})"
        << QStringList{"log 180 ms through the server, too much to play well: trying zed directly."};
    QTest::newRow("the opponent's rank")
        << base + R"(,"relay":true,"opponent":{"name":"zed","title":"Gold","elo":1620})"
        << QStringList{"log Your opponent: zed, Gold (1620 Elo)"};
}

void TestMatchScenarios::peerPathSentences()
{
    QFETCH(QString, peer);
    QFETCH(QStringList, expected);
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QString found = injectFound("pathWords001");
    if (peer.contains("\"title\""))
        found.remove(R"(,"opponent":{"name":"zed"})");
    m.a->send(found);
    QVERIFY(m.a->waitFor("phase 2 Match found"));
    m.a->send("inject {" + peer + "}");
    // The server knows no such match, so nobody answers: the try fails and is reported.
    QVERIFY2(m.a->waitFor("log Could not reach zed this way"), qPrintable(m.dump()));
    for (const QString &line : expected)
        QVERIFY2(m.a->has(line), qPrintable(line));
    QCOMPARE(m.a->count("log Could not reach zed this way"), 1);
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "ping_report") == 1; }));
}

void TestMatchScenarios::gameOutcomes_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("reported");
    QTest::addColumn<QString>("status");
    QTest::newRow("out of step") << "desync"
                                 << "desync"
                                 << "desync";
    QTest::newRow("round played again") << "again"
                                        << "player "
                                        << "agreed";
    QTest::newRow("game error") << "error"
                                << "error"
                                << "error";
    QTest::newRow("path broken") << "disconnected"
                                 << "disconnected"
                                 << "disconnected";
}

void TestMatchScenarios::gameOutcomes()
{
    QFETCH(QString, outcome);
    QFETCH(QString, reported);
    QFETCH(QString, status);
    Match m;
    const QStringList game{"--match-ms", "1500", "--peer-timeout", "1000"};
    QVERIFY(m.start({}, opts("ann", game + QStringList{"--outcome", outcome}), opts("bob", game)));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.a->has("phase 6 Reporting the result (" + reported), qPrintable(m.dump()));
    QCOMPARE(m.a->json("finished ").value("status").toString(), status);
    QCOMPARE(m.b->json("finished ").value("status").toString(), status);
    QCOMPARE(m.a->count("phase 6 "), 1);
    QCOMPARE(m.a->has("log The two games went out of step and played the round again"), outcome == "again");
}
