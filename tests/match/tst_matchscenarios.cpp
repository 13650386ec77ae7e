// Two launchers' match controllers (each in its own driver process with its own settings and game
// port), two stand-in games and the development server play real matches.

#include "match/matchrules.h"
#include "matchscenariokit.h"
#include "tst_match.h"

#include <QtTest>

using namespace scenario;

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
    // Each player's score puts their own rounds first.
    const QString r1 = QString::number(fa.value("p1_rounds").toInt());
    const QString r2 = QString::number(fa.value("p2_rounds").toInt());
    QVERIFY(r1 != r2);
    const bool annIsP1 = fa.value("side").toInt() == 1;
    QCOMPARE(fb.value("side").toInt(), annIsP1 ? 2 : 1);
    QCOMPARE(fa.value("score").toString(), annIsP1 ? r1 + "-" + r2 : r2 + "-" + r1);
    QCOMPARE(fb.value("score").toString(), annIsP1 ? r2 + "-" + r1 : r1 + "-" + r2);
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
    // A match of a series found by a search: both games wait at their result screen, where the
    // loser chooses; LEAVE ends the series for both.
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText) && m.b->waitFor("phase 11 " + kChooseText),
             qPrintable(m.dump()));
    DriverProcess *loser = loserChooses(m, id, "leave");
    QVERIFY2(loser, qPrintable(m.dump()));
    DriverProcess *winner = loser == m.a.get() ? m.b.get() : m.a.get();
    QVERIFY2(loser->waitFor("log You chose LEAVE on the result screen"), qPrintable(m.dump()));
    QVERIFY2(winner->waitFor(
                 QString("log %1 chose LEAVE on the result screen").arg(loser == m.a.get() ? "ann" : "bob")),
             qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] {
                 return !m.a->messages("series").isEmpty() &&
                        m.a->messages("series").last().value("state").toString() == "over";
             }),
             qPrintable(m.dump()));
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
    // The server's answer may arrive after the phase change: wait for it.
    QVERIFY2(orxtest::waitUntil([&] { return !m.a->messages("queue_left").isEmpty(); }, 20000),
             qPrintable(m.dump()));
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
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay("secret-pass", "away"), qPrintable(m.dump()));
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

void TestMatchScenarios::startTimeouts_data()
{
    // Every wait differs, so a swapped choice shows: before the hold point the hold wait comes on
    // top of the start timeout, which is the longer one when a player picks in the game.
    QTest::addColumn<QString>("character");
    QTest::addColumn<bool>("atHoldPoint");
    QTest::addColumn<int>("seconds");
    QTest::newRow("picks in the game, never at the hold point") << "" << false << 5;
    QTest::newRow("characters given, never at the hold point") << "Ryo" << false << 3;
    QTest::newRow("picks in the game, start line never taken") << "" << true << 4;
    QTest::newRow("characters given, start line never taken") << "Ryo" << true << 2;
}

void TestMatchScenarios::startTimeouts()
{
    QFETCH(QString, character);
    QFETCH(bool, atHoldPoint);
    QFETCH(int, seconds);
    QTemporaryDir dir;
    const QString script = writeScript(dir, "busy.txt", "at 400 status busy loading\n");
    // Bob's game either never gets to its hold point or never takes the start line written there.
    const QStringList bobGame =
        atHoldPoint ? QStringList{"--take-after", "600000"} : QStringList{"--script", script};
    Match m;
    // Ann's game waits a little for Bob's, which never comes; Bob's launcher waits for the verdict.
    QVERIFY(
        m.start({"--result-wait", "20000"}, opts("ann", {"--match-ms", "500", "--meet-ms", "3000"}),
                opts("bob", bobGame, {"ending=1500", "hold=1000", "fixed=2000", "pick=4000", "ack=30000"})));
    QVERIFY2(m.a->signInAndPlay() &&
                 m.b->signInAndPlay("secret-pass", atHoldPoint ? "ready" : "busy loading"),
             qPrintable(m.dump()));
    QVERIFY(!findAndAccept(m, false, character, character.isEmpty() ? QString() : "Kai").isEmpty());
    QVERIFY2(m.b->waitFor("started ", 40000), qPrintable(m.dump()));
    const QJsonObject go = m.b->json("started ");
    QCOMPARE(matchrules::picksInGame(go), character.isEmpty());
    if (!atHoldPoint)
        QVERIFY2(m.b->waitFor("log Waiting for the game to reach its hold point (status: busy loading)"),
                 qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("log The game did not start the match within "), qPrintable(m.dump()));
    QVERIFY2(m.b->has(QString("log The game did not start the match within %1 s.").arg(seconds)),
             qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("phase 6 Reporting the result (error)..."));
    QVERIFY2(m.a->waitFor("phase 6 Reporting the result (disconnected)...", 30000), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("finished ", 30000) && m.a->waitFor("finished ", 30000), qPrintable(m.dump()));
    QCOMPARE(m.b->json("finished ").value("status").toString(), QString("error"));
    QCOMPARE(m.a->json("finished ").value("status").toString(), QString("error"));
    QVERIFY(!m.b->has("game in_match"));
}

void TestMatchScenarios::startLineFromMatchGo()
{
    // Ann sets one frame of input delay, Bob four: the server takes the larger, and Ann's game must
    // get that, not her own setting.
    Match m;
    Options oa = opts("ann", {"--match-ms", "1500"});
    oa.inputDelay = 1;
    Options ob = opts("bob", {"--match-ms", "1500"});
    ob.inputDelay = 4;
    QVERIFY(m.start({}, oa, ob));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m, false, "Ryo", "Kai");
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("finished ", 40000), qPrintable(m.dump()));
    const QJsonObject go = m.a->messages("match_go").value(0);
    QCOMPARE(go.value("delay").toInt(), 4);
    QVERIFY(m.a->has("phase 4 Starting the match against bob (ping "));
    QVERIFY2(m.a->lines.at(m.a->find("phase 4 ")).endsWith(": bob's setting)..."), qPrintable(m.dump()));

    QStringList starts;
    for (const QString &c : m.a->gameCommands())
        if (c.startsWith("start "))
            starts << c;
    QCOMPARE(starts.size(), 1);
    const QString side = QString::number(go.value("side").toInt());
    const QString p1 = go.value("p1_name").toString(), p2 = go.value("p2_name").toString();
    const QString expected =
        QString("start game=orx mode=versus side=%1 local_port=%2 remote=%3 delay=4 seed=%4 p1=%5 p2=%6 "
                "rounds=%7 ranked=0 match=%8 p1_name=%9 p2_name=%10 p1_rank=")
            .arg(side)
            .arg(m.a->gamePort)
            .arg(go.value("remote").toString())
            .arg(go.value("seed").toInteger())
            .arg(go.value("p1").toString(), go.value("p2").toString())
            .arg(go.value("rounds").toInt())
            .arg(id, p1, p2);
    QVERIFY2(starts.first().startsWith(expected), qPrintable(starts.first() + "\n" + expected));
    QVERIFY(go.value("p1").toString() == "Ryo" || go.value("p1").toString() == "Kai");
    QVERIFY(p1 == "ann" || p2 == "ann");
}

void TestMatchScenarios::matchEndsInStarting_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancelled before the start was taken") << "cancel";
    QTest::newRow("another match found before the start was taken") << "found";
    QTest::newRow("cancelled while the game plays it") << "cancel in match";
}

void TestMatchScenarios::matchEndsInStarting()
{
    QFETCH(QString, how);
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"}, opts("ann", {"--match-ms", "60000", "--park-ms", "1500"}),
                    opts("bob", {"--match-ms", "60000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const bool inMatch = how == "cancel in match";
    if (!inMatch)
        QVERIFY(m.a->setGameStatus("busy loading")); // the start line waits for the hold point
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    const QString cancel =
        QString(R"(inject {"type":"match_cancelled","match":"%1","reason":"peer_left","requeued":false})")
            .arg(id);

    if (inMatch) {
        QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
        m.a->send(cancel);
        QVERIFY2(m.a->waitFor("log Match " + id +
                              " was called off while the game holds it: the game is told to leave it"),
                 qPrintable(m.dump()));
        QVERIFY(m.a->waitFor("cancelled peer_left 0"));
        // The game plays its ending, then the phase says why the match ended.
        QVERIFY(m.a->waitFor("phase 7 Match over: the game plays its ending"));
        QVERIFY2(m.a->waitFor("phase 0 Match cancelled: the opponent left"), qPrintable(m.dump()));
        QVERIFY(m.a->find("phase 0 Match cancelled") > m.a->find("game ready", m.a->find("phase 7 ")));
        QCOMPARE(m.a->gameCommands().filter(QRegularExpression("^park$")).size(), 1);
        QVERIFY(!m.a->has("phase 6 "));
        return;
    }
    QVERIFY2(m.a->waitFor("log Waiting for the game to reach its hold point (status: busy loading)", 40000),
             qPrintable(m.dump()));
    if (how == "cancel") {
        m.a->send(cancel);
        QVERIFY2(m.a->waitFor("phase 0 Match cancelled: the opponent left"), qPrintable(m.dump()));
        QVERIFY(
            m.a->has("log Match " + id +
                     " ends before the game took its start (called off by the server: the opponent left): "
                     "the start is dropped"));
    } else {
        m.a->send(injectFound("nextMatch001"));
        QVERIFY2(orxtest::waitUntil([&] { return m.a->count("phase 2 Match found") == 2; }),
                 qPrintable(m.dump()));
        QVERIFY(m.a->has("log Match " + id +
                         " ends before the game took its start (another match came): the "
                         "start is dropped"));
        QCOMPARE(m.a->count("found "), 2);
    }
    // The game reaches its hold point now: the dropped start line must not reach it. A marker
    // command sent after the status was read shows that everything before it was taken.
    QVERIFY(m.a->setGameStatus("ready"));
    m.a->send("gamecmd marker");
    QVERIFY2(orxtest::waitUntil([&] { return m.a->gameCommands().contains("marker"); }),
             qPrintable(m.dump()));
    QCOMPARE(m.a->gameCommands(), QStringList{"marker"});
    QVERIFY(!m.a->has("game in_match"));
    m.a->send("ask");
    QVERIFY(m.a->waitFor("answer "));
    QVERIFY2(m.a->has(how == "cancel" ? "answer phase=0 " : "answer phase=2 "), qPrintable(m.dump()));
}

void TestMatchScenarios::gameClosesBeforeTheStart()
{
    // Bob's game quits while the start line waits for its hold point: the result says how it ended,
    // with its exit code and the end of its log, and the server keeps it.
    QTemporaryDir dir;
    const QString script = writeScript(dir, "busy.txt", "at 400 status busy loading\n");
    Match m;
    QVERIFY(m.start({"--result-wait", "20000"}, opts("ann", {"--match-ms", "500", "--meet-ms", "3000"}),
                    opts("bob", {"--script", script, "--quit-code", "3"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay("secret-pass", "busy loading"), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.b->waitFor("log Waiting for the game to reach its hold point (status: busy loading)", 40000),
             qPrintable(m.dump()));
    m.b->send("gamecmd quit");
    QVERIFY2(m.b->waitFor("log Your game ended during the match (window closed, exit code 3)"),
             qPrintable(m.dump()));
    QVERIFY(m.b->waitFor("phase 6 Reporting the result (left)..."));
    QVERIFY2(m.a->waitFor("finished ", 30000), qPrintable(m.dump()));
    QJsonObject record;
    QVERIFY(orxtest::waitUntil([&] { return !(record = recordedMatch(m.server, id)).isEmpty(); }));
    const QJsonObject bob = reportOf(record, "bob");
    QCOMPARE(bob.value("outcome").toString(), QString("left"));
    QCOMPARE(bob.value("exit").toString(), QString("window closed"));
    QCOMPARE(bob.value("exit_code").toInt(), 3);
    const QJsonArray lines = bob.value("lines").toArray();
    QVERIFY2(!lines.isEmpty() && lines.size() <= 20, qPrintable(QJsonDocument(bob).toJson()));
    QVERIFY2(lines.last().toString().contains("Exit (quit)"), qPrintable(QJsonDocument(bob).toJson()));
    QVERIFY(lines.at(0).toString().size() > 0);
}

void TestMatchScenarios::crashDuringTheMatch()
{
    QTemporaryDir dir;
    const QString script = writeScript(dir, "crash.txt", "at 9000 crash the fight engine lost its footing\n");
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"},
                    opts("ann", {"--match-ms", "60000", "--park-ms", "60000"}, {"ending=60000"}),
                    opts("bob", {"--match-ms", "60000", "--script", script})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
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
    // What Bob's launcher sent: how the game ended and its exit code, no log lines once it played.
    QJsonObject record;
    QVERIFY(orxtest::waitUntil([&] { return !(record = recordedMatch(m.server, id)).isEmpty(); }));
    const QJsonObject bob = reportOf(record, "bob");
    QCOMPARE(bob.value("outcome").toString(), QString("left"));
    QCOMPARE(bob.value("exit").toString(), QString("crash"));
    QVERIFY2(bob.value("exit_code").isDouble(), qPrintable(QJsonDocument(bob).toJson()));
    QVERIFY(!bob.contains("lines"));
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
