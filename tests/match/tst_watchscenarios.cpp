// Spectating between three launchers' match controllers (each in its own driver process), three
// stand-in games and the development server: two play a lobby match, the third watches it from
// the feed the players' game writes.

#include "matchscenariokit.h"
#include "tst_match.h"

#include <QtTest>

using namespace scenario;

namespace {

bool raw(DriverProcess &d, const QString &json, const QString &answer)
{
    const int before = d.messages(answer).size();
    d.send("raw " + json);
    return orxtest::waitUntil([&] { return d.messages(answer).size() > before; });
}

// Cid joins the lobby `code` to watch.
bool cidWatches(Match &m, const QString &code)
{
    return raw(*m.c, QString(R"({"type":"lobby_join","lobby":"%1","spectate":true})").arg(code), "lobby");
}

// Ann hosts a versus lobby and Bob plays in it (Cid watches from the start unless told not to);
// Ann and Bob say ready. Returns the lobby's code.
QString lobbyWithAWatcher(Match &m, bool watcherFirst = true)
{
    if (!raw(*m.a, R"({"type":"lobby_create","name":"Watched","mode":"versus"})", "lobby"))
        return {};
    const QString code = m.a->messages("lobby").last().value("lobby").toObject().value("id").toString();
    if (!raw(*m.b, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby") ||
        (watcherFirst && !cidWatches(m, code)))
        return {};
    m.a->send(R"(raw {"type":"lobby_ready","ready":true})");
    m.b->send(R"(raw {"type":"lobby_ready","ready":true})");
    return code;
}

// Ann, Bob and Cid signed in with their games, Ann and Bob playing with these game options.
bool threeLaunchers(Match &m, const QStringList &players, const Options &cid = opts("cid"))
{
    return m.start({"--lobby-countdown", "0"}, opts("ann", players), opts("bob", players)) &&
           m.startThird(cid) && m.a->signInAndPlay() && m.b->signInAndPlay() && m.c->signInAndPlay();
}

// The result line a game reported, without its leading "game ".
QString resultLine(const DriverProcess &d)
{
    const qsizetype i = d.find("game result ");
    return i < 0 ? QString() : d.lines.at(i).mid(5);
}

} // namespace

void TestWatchScenarios::spectatorWatchesALobbyMatch()
{
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0"}, opts("ann", {"--match-ms", "3000"}),
                    opts("bob", {"--match-ms", "3000"})));
    QVERIFY(m.startThird(opts("cid")));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay() && m.c->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("log Lobby match ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("phase 10 Watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    // The watcher's game got its result only from the relayed feed: the same line as the players'.
    QVERIFY2(m.c->waitFor("log Done watching ", 40000), qPrintable(m.dump()));
    const QString players = resultLine(*m.a);
    QVERIFY(!players.isEmpty());
    QCOMPARE(resultLine(*m.c), players);
    QVERIFY(m.c->has("game in_match match="));
    QVERIFY2(m.c->waitFor("phase 0 Done watching"), qPrintable(m.dump()));
    // Side 1's game sent the feed; its link is handed over once the match is over for good.
    const bool annFeeds = m.a->messages("match_go").value(0).value("feed").toBool();
    QCOMPARE(m.b->messages("match_go").value(0).value("feed").toBool(), !annFeeds);
    DriverProcess &feeder = annFeeds ? *m.a : *m.b;
    QVERIFY(!feeder.has("log Spectator feed: "));
    const QString id = m.a->json("found ").value("match").toString();
    QVERIFY(loserChooses(m, id, "leave"));
    QVERIFY2(feeder.waitFor("log Spectator feed: ", 20000), qPrintable(m.dump()));
    const QString passed = feeder.lines.at(feeder.find("log Spectator feed: "));
    QVERIFY2(passed.endsWith(" KB passed on") && !passed.contains(": 0 KB"), qPrintable(passed));
}

void TestWatchScenarios::watcherJoinsMidMatch()
{
    // Cid joins while the match runs: the offer comes with the feed so far, and his game catches up.
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "4000"}), qPrintable(m.dump()));
    const QString code = lobbyWithAWatcher(m, false);
    QVERIFY2(!code.isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    QVERIFY(cidWatches(m, code));
    QVERIFY2(m.c->waitFor("phase 10 Watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QCOMPARE(resultLine(*m.c), resultLine(*m.a));
}

void TestWatchScenarios::corruptFeedGoesOutOfStep()
{
    // One record of the feed is damaged: the players agree, the watcher's game does not.
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "2000", "--outcome", "feed-corrupt", "--outcome-frame", "20"}),
             qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(m.a->json("finished ").value("status").toString(), QString("agreed"));
    QVERIFY2(
        m.c->waitFor("phase 0 The watched match went out of step with the players' games; stopped watching",
                     40000),
        qPrintable(m.dump()));
    QVERIFY(m.c->has("game desync frame=20 "));
    QVERIFY(!m.c->has("game result "));
}

void TestWatchScenarios::nextMatchInPlaceWatchedToo()
{
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "1500"}), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 11 ", 40000) && m.b->waitFor("phase 11 ", 40000), qPrintable(m.dump()));
    const QString id = m.a->json("found ").value("match").toString();
    QVERIFY(loserChooses(m, id, "rematch"));
    // The same feed link carries the next match; Cid watches it from his menu again.
    QVERIFY2(orxtest::waitUntil([&] { return m.c->count("phase 0 Done watching ") == 2; }, 40000),
             qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == 2; }, 40000), qPrintable(m.dump()));
    QStringList results;
    for (const QString &l : m.c->lines)
        if (l.startsWith("game result "))
            results << l.mid(5);
    QStringList played;
    for (const QString &l : m.a->lines)
        if (l.startsWith("game result "))
            played << l.mid(5);
    QCOMPARE(results, played);
}

void TestWatchScenarios::watcherGameTakesItsLineLate()
{
    // Cid's game is slow to take the watch line: it connects to the feed late and gets it all.
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "1500"}, opts("cid", {"--take-after", "2500"})),
             qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("finished ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QCOMPARE(resultLine(*m.c), resultLine(*m.a));
}

void TestWatchScenarios::watchEndsEarly_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("text");
    QTest::newRow("a player leaves mid-match") << "leave"
                                               << "The watched match ended before its end (a player left)";
    QTest::newRow("the watcher's game closes") << "close"
                                               << "The game closed while watching";
    QTest::newRow("the match ends before the watch got going")
        << "never"
        << "The watched match ended before it got going";
}

void TestWatchScenarios::watchEndsEarly()
{
    QFETCH(QString, how);
    QFETCH(QString, text);
    Match m;
    // In the last row Cid's game never takes the watch line.
    Options cid = how == "never" ? opts("cid", {"--take-after", "600000"}, {"ending=1500", "watchearly=1500"})
                                 : opts("cid");
    QVERIFY2(threeLaunchers(m, {"--match-ms", "60000", "--peer-timeout", "1000"}, cid), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    if (how == "close") {
        QVERIFY2(m.c->waitFor("game in_match ", 40000), qPrintable(m.dump()));
        m.c->send("gamecmd quit");
    } else {
        QVERIFY2(m.c->waitFor("phase 10 Watching ", 40000), qPrintable(m.dump()));
        if (how == "leave")
            QVERIFY2(m.c->waitFor("game in_match ", 40000), qPrintable(m.dump()));
        QVERIFY(raw(*m.b, R"({"type":"lobby_leave"})", "lobby_left"));
        m.b->send("leavelobby");
    }
    QVERIFY2(m.c->waitFor("phase 0 " + text, 40000), qPrintable(m.dump()));
    QVERIFY(!m.c->has("game result "));
    if (how == "never")
        QVERIFY(m.c->has("log The players finished the match being watched (abandoned)"));
}

void TestWatchScenarios::kingOfTheHillWatchedInTurn()
{
    // Three on a King of the Hill: whoever waits in the line watches the match on the hill, and
    // after each match the loser goes to the line and watches the next one.
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "1500"}), qPrintable(m.dump()));
    QVERIFY(raw(*m.a, R"({"type":"lobby_create","name":"Hill","mode":"versus","koth":true})", "lobby"));
    const QString code = m.a->messages("lobby").last().value("lobby").toObject().value("id").toString();
    QVERIFY(raw(*m.b, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby"));
    QVERIFY(raw(*m.c, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby"));
    m.a->send(R"(raw {"type":"lobby_ready","ready":true})");
    m.b->send(R"(raw {"type":"lobby_ready","ready":true})");
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(resultLine(*m.c), resultLine(*m.a));
    QVERIFY(!m.a->has("phase 11 ") && !m.b->has("phase 11 ")); // nobody chooses on the hill

    // The loser goes to the line; Cid comes in and plays the king.
    const bool annWon = m.a->json("finished ").value("you_won").toBool();
    DriverProcess &king = annWon ? *m.a : *m.b;
    DriverProcess &loser = annWon ? *m.b : *m.a;
    auto cidOnTheHill = [&] {
        const QList<QJsonObject> lobbies = m.c->messages("lobby");
        if (lobbies.isEmpty())
            return false;
        for (const QJsonValue &v : lobbies.last().value("lobby").toObject().value("members").toArray())
            if (v.toObject().value("name").toString() == "cid")
                return !v.toObject().value("spectator").toBool();
        return false;
    };
    QVERIFY2(orxtest::waitUntil(cidOnTheHill), qPrintable(m.dump()));
    king.send(R"(raw {"type":"lobby_ready","ready":true})");
    m.c->send(R"(raw {"type":"lobby_ready","ready":true})");
    QVERIFY2(loser.waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(resultLine(loser).isEmpty(), false);
    QStringList played;
    for (const QString &l : m.c->lines)
        if (l.startsWith("game result "))
            played << l.mid(5);
    QCOMPARE(played.size(), 2); // Cid's game: the watched result, then its own match's
    QStringList watched;
    for (const QString &l : loser.lines)
        if (l.startsWith("game result "))
            watched << l.mid(5);
    QCOMPARE(watched.size(), 2); // the loser's own match, then the watched one
    QCOMPARE(watched.last(), played.last());
}

namespace {

// The frames of `match` noted in a game's feed trace with the mark ('w' written, 'r' read).
QStringList tracedFrames(const QString &path, char mark, const QString &match)
{
    QFile f(path);
    QStringList frames;
    if (!f.open(QIODevice::ReadOnly))
        return frames;
    const QString prefix = QString("%1 %2 ").arg(QChar(mark), match);
    for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts))
        if (line.startsWith(prefix))
            frames << line.section(' ', 2, 2);
    return frames;
}

} // namespace

void TestWatchScenarios::watcherLinkDropsAndComesBack()
{
    // Cid's link drops while he watches and comes back signed in: the server offers the match again.
    // His game must read each record of the feed once, as the feeder wrote it, and finish the watch.
    QTemporaryDir traces;
    const QString annTrace = traces.filePath("ann.txt"), bobTrace = traces.filePath("bob.txt"),
                  cidTrace = traces.filePath("cid.txt");
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0"}, opts("ann", {"--match-ms", "6000", "--feed-trace", annTrace}),
                    opts("bob", {"--match-ms", "6000", "--feed-trace", bobTrace})));
    QVERIFY(m.startThird(opts("cid", {"--feed-trace", cidTrace})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay() && m.c->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("game in_match ", 40000), qPrintable(m.dump()));
    const int logins = m.c->count("loggedin");
    m.c->send("drop");
    QVERIFY(m.c->waitFor("state 0"));
    QVERIFY2(orxtest::waitUntil([&] { return m.c->count("loggedin") > logins; }, 30000),
             qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 40000), qPrintable(m.dump()));
    QVERIFY2(!m.c->lines.join('\n').contains("went out of step"), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(resultLine(*m.c), resultLine(*m.a));
    const QString id = m.a->json("found ").value("match").toString();
    const bool annFeeds = m.a->messages("match_go").value(0).value("feed").toBool();
    const QStringList written = tracedFrames(annFeeds ? annTrace : bobTrace, 'w', id);
    QVERIFY(!written.isEmpty());
    QCOMPARE(tracedFrames(cidTrace, 'r', id), written);
}

void TestWatchScenarios::watchLeftInTheGamesMenu_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("the game goes back to its hold point") << "ready";
    QTest::newRow("the game leaves its online menu") << "away";
}

void TestWatchScenarios::watchLeftInTheGamesMenu()
{
    // Cid leaves the watch in his game's menu while the players play on: the watch is over for him.
    QFETCH(QString, how);
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "60000"}), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("game in_match ", 40000), qPrintable(m.dump()));
    if (how == "ready")
        m.c->send("gamecmd park"); // the game itself goes back to "ready"
    else
        QVERIFY(m.c->setGameStatus("away"));
    QVERIFY2(m.c->waitFor("phase 0 Done watching ", 20000), qPrintable(m.dump()));
    QVERIFY(!m.a->has("finished "));
    // Free again: the players' match no longer holds the menu back.
    m.c->send("queue versus casual");
    QVERIFY2(m.c->waitFor("queue ok"), qPrintable(m.dump()));
}

void TestWatchScenarios::spectatorLeavesTheLobbyWhileWatching()
{
    // Cid leaves the lobby in the middle of the watched match, as the menu does: watching stops,
    // and his game goes back to its menu instead of closing.
    Match m;
    QVERIFY2(threeLaunchers(m, {"--match-ms", "60000"}), qPrintable(m.dump()));
    QVERIFY2(!lobbyWithAWatcher(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("game in_match ", 40000), qPrintable(m.dump()));
    QVERIFY(raw(*m.c, R"({"type":"lobby_leave"})", "lobby_left"));
    m.c->send("stopwatching");
    m.c->send("leavelobby");
    QVERIFY2(m.c->waitFor("phase 0 Stopped watching", 30000), qPrintable(m.dump()));
    QVERIFY2(m.c->gameCommands().contains("park"), qPrintable(m.c->gameCommands().join('\n')));
    QVERIFY2(!m.c->gameCommands().contains("quit"), qPrintable(m.c->gameCommands().join('\n')));
    QVERIFY(!m.c->has("log Left the lobby: its match ends and its game closes"));
    QVERIFY(!m.c->has("playergame 0"));
    m.c->send("ask");
    QVERIFY2(m.c->waitFor("answer phase=0 "), qPrintable(m.dump()));
    QVERIFY2(!m.c->lines.filter(QRegularExpression("^answer ")).last().endsWith("status=not running"),
             qPrintable(m.dump()));
}
