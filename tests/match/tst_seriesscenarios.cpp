// Series, rematches and lobby matches between two launchers' match controllers (each in its own
// driver process), two stand-in games and the development server: the result screen, the choices
// made there, readiness for the next match, parking, dropped links and leaving a lobby.

#include "matchscenariokit.h"
#include "tst_match.h"

#include <QtTest>

using namespace scenario;

namespace {

// Both play one match of a casual series found by a search and wait at the result screen.
QString firstMatchToResultScreen(Match &m, const QString &chooseText = kChooseText)
{
    const QString id = findAndAccept(m);
    if (id.isEmpty() || !m.a->waitFor("phase 11 " + chooseText, 40000) ||
        !m.b->waitFor("phase 11 " + chooseText, 40000))
        return {};
    return id;
}

// The last "series" message a launcher got.
QJsonObject lastSeries(const DriverProcess &d)
{
    return d.messages("series").value(d.messages("series").size() - 1);
}

// Sends a message to the server as the menu would and waits for the server's answer of that type.
bool raw(DriverProcess &d, const QString &json, const QString &answer)
{
    const int before = d.messages(answer).size();
    d.send("raw " + json);
    return orxtest::waitUntil([&] { return d.messages(answer).size() > before; });
}

// Ann creates a versus lobby, Bob joins it by its code, and both say ready from their menu, as the
// bridge does; returns the lobby's code.
QString bothReadyInALobby(Match &m)
{
    if (!raw(*m.a, R"({"type":"lobby_create","name":"Test","mode":"versus","rounds":3})", "lobby"))
        return {};
    const QString code = m.a->messages("lobby").last().value("lobby").toObject().value("id").toString();
    if (code.isEmpty() || !raw(*m.b, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby"))
        return {};
    m.a->send(R"(raw {"type":"lobby_ready","ready":true})");
    m.b->send(R"(raw {"type":"lobby_ready","ready":true})");
    return code;
}

// The launcher's server link drops as a network would and comes back by itself, signed in again.
bool dropAndComeBack(DriverProcess &d)
{
    const int logins = d.count("loggedin");
    d.send("drop");
    return d.waitFor("state 0") && orxtest::waitUntil([&] { return d.count("loggedin") > logins; }, 30000);
}

} // namespace

void TestSeriesScenarios::seriesRematchInPlace()
{
    Match m;
    QVERIFY(m.start({}, opts("ann", {"--match-ms", "1500"}), opts("bob", {"--match-ms", "1500"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText, 40000) && m.b->waitFor("phase 11 " + kChooseText, 40000),
             qPrintable(m.dump()));
    QVERIFY2(m.a->gameCommands().value(0).contains(" choose=1 series=casual set=1 set_p1=0 set_p2=0"),
             qPrintable(m.a->gameCommands().value(0)));

    // REMATCH: both say ready from the result screen and the next match starts there, on the path
    // the games hold.
    QVERIFY(loserChooses(m, id, "rematch"));
    const QString rematch = "phase 11 Rematch chosen: the next match starts from the result screen";
    QVERIFY2(m.a->waitFor(rematch) && m.b->waitFor(rematch), qPrintable(m.dump()));
    QVERIFY2(
        orxtest::waitUntil([&] { return m.a->count("found ") == 2 && m.b->count("found ") == 2; }, 30000),
        qPrintable(m.dump()));
    const QJsonObject second = m.a->json("found ", 1);
    QCOMPARE(second.value("in_place").toBool(), true);
    const QString id2 = second.value("match").toString();
    QVERIFY(id2 != id);
    QVERIFY(m.a->has("phase 4 Next match against bob, from the result screen..."));
    QVERIFY2(m.a->waitFor("phase 4 Starting the next match against bob from the result screen..."),
             qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == 2 && m.b->count("finished ") == 2; },
                                40000),
             qPrintable(m.dump()));
    QCOMPARE(m.a->json("finished ", 1).value("match").toString(), id2);
    QCOMPARE(m.a->json("finished ", 1).value("status").toString(), QString("agreed"));
    // No new path: no match_peer for the second match, and the game got a rematch line.
    for (const QJsonObject &peer : m.a->messages("match_peer"))
        QCOMPARE(peer.value("match").toString(), id);
    const QStringList commands = m.a->gameCommands();
    QCOMPARE(commands.filter(QRegularExpression("^start ")).size(), 1);
    const QStringList rematches = commands.filter(QRegularExpression("^rematch "));
    QCOMPARE(rematches.size(), 1);
    QVERIFY2(rematches.first().startsWith("rematch match=" + id2 + " seed="), qPrintable(rematches.first()));
    QVERIFY2(rematches.first().contains(" choose=1 series=casual set=2 "), qPrintable(rematches.first()));

    // After the second, the games name the wrong chooser: the server's result decides who chose.
    // CHARACTER SELECT starts the third match in place too.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("phase 11 " + kChooseText) == 2; }),
             qPrintable(m.dump()));
    const QJsonObject f2 = m.a->json("finished ", 1);
    const int loserSide = f2.value("winner").toInt() == 1 ? 2 : 1;
    QVERIFY(loserChooses(m, id2, "select", true));
    const QString taken =
        QString("log The game says player %1 chose, the result says player %2: the result's is taken")
            .arg(3 - loserSide)
            .arg(loserSide);
    QVERIFY2(m.a->waitFor(taken) && m.b->waitFor(taken), qPrintable(m.dump()));
    const QString select = "phase 11 Character Select chosen: the next match starts from the result screen";
    QVERIFY2(m.a->waitFor(select) && m.b->waitFor(select), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == 3 && m.b->count("finished ") == 3; },
                                40000),
             qPrintable(m.dump()));
    const QString id3 = m.a->json("found ", 2).value("match").toString();
    QCOMPARE(m.a->json("found ", 2).value("in_place").toBool(), true);
    QCOMPARE(m.a->gameCommands().filter(QRegularExpression("^rematch match=" + id3 + " ")).size(), 1);

    // After the third, the loser leaves: the game goes back to its online menu.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("phase 11 " + kChooseText) == 3; }),
             qPrintable(m.dump()));
    QVERIFY(loserChooses(m, id3, "leave"));
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QCOMPARE(m.a->gameCommands().filter(QRegularExpression("^park$")).size(), 1);
    // The server keeps the series: three played, ended by the LEAVE.
    const QString seriesId = m.a->json("found ", 1).value("series").toString();
    QJsonObject record;
    QVERIFY(orxtest::waitUntil([&] { return !(record = recorded(m.server, "series", seriesId)).isEmpty(); }));
    QCOMPARE(record.value("played").toInt(), 3);
    QCOMPARE(record.value("outcome").toString(), QString("left"));
}

void TestSeriesScenarios::rankedSetInPlace()
{
    // A ranked set with the characters given: the winner keeps theirs, the loser's REMATCH keeps
    // the other, and every next match starts from the result screen until a player has two wins.
    Match m;
    QVERIFY(m.start({}, opts("ann", {"--match-ms", "1000"}), opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus ranked Ryo");
    QVERIFY(m.a->waitFor("phase 1 Searching for a ranked versus opponent..."));
    m.b->send("queue versus ranked Kai");
    QVERIFY2(m.a->waitFor("phase 2 Match found") && m.b->waitFor("phase 2 Match found"),
             qPrintable(m.dump()));
    m.a->send("accept");
    m.b->send("accept");
    QString id = m.a->json("found ").value("match").toString();
    int played = 0;
    for (; played < 3; ++played) {
        QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == played + 1; }, 40000),
                 qPrintable(m.dump()));
        const QJsonObject f = m.a->json("finished ", played);
        QCOMPARE(f.value("match").toString(), id);
        QCOMPARE(f.value("status").toString(), QString("agreed"));
        // The series message after this match says whether the set goes on.
        QVERIFY2(orxtest::waitUntil([&] {
                     const QList<QJsonObject> series = m.a->messages("series");
                     return !series.isEmpty() && series.last().value("played").toInt() == played + 1 &&
                            series.last().value("state").toString() != "playing";
                 }),
                 qPrintable(m.dump()));
        if (m.a->messages("series").last().value("state").toString() == "over")
            break;
        QVERIFY2(orxtest::waitUntil([&] { return m.a->count("phase 11 " + kChooseText) == played + 1; }),
                 qPrintable(m.dump()));
        QVERIFY(loserChooses(m, id, "rematch"));
        QVERIFY2(orxtest::waitUntil([&] { return m.a->count("found ") == played + 2; }, 30000),
                 qPrintable(m.dump()));
        const QJsonObject next = m.a->json("found ", played + 1);
        QCOMPARE(next.value("in_place").toBool(), true);
        id = next.value("match").toString();
        QVERIFY2(
            orxtest::waitUntil([&] { return m.a->gameCommands().filter("rematch match=" + id).size() == 1; }),
            qPrintable(m.dump()));
        const QString line = m.a->gameCommands().filter("rematch match=" + id).first();
        const int winner = f.value("winner").toInt();
        QVERIFY2(line.contains(" p1=Ryo p2=Kai") || line.contains(" p1=Kai p2=Ryo"), qPrintable(line));
        QVERIFY2(line.contains(QString(" series=ranked set=%1 ").arg(played + 2)), qPrintable(line));
        QVERIFY2(line.endsWith(QString(" keep=%1").arg(winner)), qPrintable(line));
        QVERIFY2(!line.contains("stage=keep"), qPrintable(line));
    }
    QVERIFY(played == 1 || played == 2);
    const QJsonObject over = m.a->messages("series").last();
    QCOMPARE(over.value("outcome").toString().isEmpty(), false);
    QVERIFY2(over.value("elo").toObject().contains("ann"), qPrintable(QJsonDocument(over).toJson()));
    // The set is over: both games leave their result screen, parked.
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY(!m.a->gameCommands().filter(QRegularExpression("^park$")).isEmpty());
}

void TestSeriesScenarios::readyAgainAfterADrop()
{
    Match m;
    QVERIFY(m.start({}, opts("ann", {"--match-ms", "1000"}), opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!firstMatchToResultScreen(m).isEmpty(), qPrintable(m.dump()));
    // Counted from here: on a busy machine a first match may have ended in an error, and the
    // series gone on to a second one before this result screen.
    const int foundsBefore = m.a->count("found ");
    const qsizetype from = m.a->lines.size();
    // Ann says ready from her menu; then her link drops and comes back within the grace, and the
    // server forgot her readiness: she gives it again, the same as before.
    m.a->send("ready rematch");
    QVERIFY2(orxtest::waitUntil([&] { return lastSeries(*m.b).value("them_ready").toBool(); }),
             qPrintable(m.dump()));
    QVERIFY2(dropAndComeBack(*m.a), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("log Ready again for the next match (rematch), as before the connection dropped"),
             qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return lastSeries(*m.b).value("them_ready").toBool(); }),
             qPrintable(m.dump()));
    // Bob says ready too: the next match starts from the result screen, Ann's game never left it.
    m.b->send("ready rematch");
    QVERIFY2(orxtest::waitUntil(
                 [&] {
                     return m.a->count("found ") == foundsBefore + 1 &&
                            m.b->count("found ") == foundsBefore + 1;
                 },
                 30000),
             qPrintable(m.dump()));
    QCOMPARE(m.a->json("found ", foundsBefore).value("in_place").toBool(), true);
    QVERIFY(m.a->waitFor("phase 4 Starting the next match against bob from the result screen..."));
    QVERIFY(!m.a->has("log Back on the server: the series against"));
    QVERIFY(m.a->find("phase 0 ", from) < 0);
}

void TestSeriesScenarios::seriesOverWhileAway()
{
    // Ann's link stays down past the server's grace: the series ends meanwhile, and back on the
    // server her game leaves its result screen.
    Match m;
    Options oa = opts("ann", {"--match-ms", "1000"}, {"ending=1500", "reconnect=1000"});
    oa.reconnectMs = 6000;
    QVERIFY(m.start({"--drop-grace", "1500"}, oa, opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!firstMatchToResultScreen(m).isEmpty(), qPrintable(m.dump()));
    m.a->send("drop");
    QVERIFY(m.a->waitFor("state 0"));
    QVERIFY2(orxtest::waitUntil([&] { return lastSeries(*m.b).value("state").toString() == "over"; }, 30000),
             qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor(
                 "log Back on the server: the series against bob is over, the game leaves its result screen",
                 40000),
             qPrintable(m.dump()));
    QVERIFY(m.a->waitFor(
        "notice Your connection to the server dropped, and the series against bob ended meanwhile. "
        "Your game goes back to its online menu."));
    QVERIFY2(m.a->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY(m.a->gameCommands().contains("park"));
    QVERIFY(m.a->lines.contains("series {}"));
}

void TestSeriesScenarios::noChoiceOnTheRelay()
{
    // Without the server's "relay_choice" the games cannot choose on the relay: the match ends at
    // once, both games go back to their menu, and the series goes on with CHARACTER SELECT on a new
    // path.
    Match m;
    Options oa = opts("ann", {"--match-ms", "1000"});
    oa.hideIp = true;
    QVERIFY(m.start({"--features", "pick_refused,desync_detail"}, oa, opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QCOMPARE(m.a->messages("match_go").value(0).value("path").toString(), QString("relay"));
    QVERIFY(!m.a->gameCommands().value(0).contains(" choose=1"));
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY(!m.a->has("phase 11 ") && !m.b->has("phase 11 "));
    // Both say ready with CHARACTER SELECT by themselves: the next match comes, not in place.
    QVERIFY2(
        orxtest::waitUntil([&] { return m.a->count("found ") == 2 && m.b->count("found ") == 2; }, 30000),
        qPrintable(m.dump()));
    const QJsonObject second = m.a->json("found ", 1);
    QCOMPARE(second.value("in_place").toBool(), false);
    QVERIFY2(orxtest::waitUntil([&] { return m.a->messages("match_go").size() == 2; }, 30000),
             qPrintable(m.dump()));
    const QJsonObject go2 = m.a->messages("match_go").value(1);
    QCOMPARE(go2.value("match").toString(), second.value("match").toString());
    QCOMPARE(go2.value("p1").toString(), QString("-"));
    QCOMPARE(go2.value("p2").toString(), QString("-"));
    QCOMPARE(m.a->gameCommands().filter(QRegularExpression("^park$")).size(), 1);
}

void TestSeriesScenarios::gameLeavesItsResultScreen()
{
    // Ann's game goes back to its menu by itself after the match: she is ready for a match that
    // cannot start in place, so Bob's game is parked and the next match takes a new path.
    QTemporaryDir dir;
    const QString script = writeScript(dir, "menu.txt", "menu\n");
    Match m;
    QVERIFY(m.start({}, opts("ann", {"--match-ms", "1000", "--script", script}),
                    opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.b->waitFor("phase 11 " + kChooseText, 40000), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 0 Match over", 40000), qPrintable(m.dump()));
    m.b->send("ready rematch");
    QVERIFY2(
        orxtest::waitUntil([&] { return m.a->count("found ") == 2 && m.b->count("found ") == 2; }, 30000),
        qPrintable(m.dump()));
    const QJsonObject second = m.b->json("found ", 1);
    QCOMPARE(second.value("in_place").toBool(), false);
    const QString id2 = second.value("match").toString();
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == 2 && m.b->count("finished ") == 2; },
                                40000),
             qPrintable(m.dump()));
    const QStringList bob = m.b->gameCommands();
    QCOMPARE(bob.size() >= 3, true);
    QVERIFY2(bob.at(0).startsWith("start ") && bob.at(1) == "park" && bob.at(2).startsWith("start ") &&
                 bob.at(2).contains(" match=" + id2 + " "),
             qPrintable(bob.join('\n')));
    QVERIFY(m.a->has("phase 3 Next match: connecting to bob..."));
    bool newPath = false;
    for (const QJsonObject &peer : m.b->messages("match_peer"))
        newPath = newPath || peer.value("match").toString() == id2;
    QVERIFY2(newPath, qPrintable(m.dump()));
}

void TestSeriesScenarios::awayHoldsReadiness()
{
    Match m;
    QVERIFY(m.start({}, opts("ann", {"--match-ms", "1000"}), opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!firstMatchToResultScreen(m).isEmpty(), qPrintable(m.dump()));
    // Ann's game leaves its result screen for somewhere else than its online menu: the match ends
    // for her, and her readiness waits until the game is back.
    QVERIFY(m.a->setGameStatus("away"));
    QVERIFY(m.a->waitFor("phase 0 Match over"));
    QVERIFY(raw(*m.a, R"({"type":"ping"})", "pong")); // the server read everything Ann sent before
    m.b->send("ready rematch");
    QVERIFY2(orxtest::waitUntil([&] { return lastSeries(*m.b).value("you_ready").toBool(); }),
             qPrintable(m.dump()));
    QCOMPARE(lastSeries(*m.b).value("them_ready").toBool(), false);
    // Back at its menu: Ann's readiness goes out, so the server starts the next match.
    QVERIFY(m.a->setGameStatus("ready"));
    QVERIFY2(orxtest::waitUntil([&] { return m.b->count("found ") == 2; }, 30000), qPrintable(m.dump()));
    QCOMPARE(m.b->json("found ", 1).value("in_place").toBool(), false);
}

void TestSeriesScenarios::parkIgnored()
{
    // Ann's game ignores "park": the launcher parks it once more when it has not come back, and
    // tells the player.
    Match m;
    QVERIFY(m.start({},
                    opts("ann", {"--match-ms", "1000", "--ignore-park"},
                         {"ending=500", "parkcheck=1000", "parkevery=300", "parkagain=1500"}),
                    opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = firstMatchToResultScreen(m);
    QVERIFY2(!id.isEmpty(), qPrintable(m.dump()));
    QVERIFY(loserChooses(m, id, "leave"));
    QVERIFY2(m.a->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY2(
        m.a->waitFor("log The game did not come back to its online menu 1 s after the park (it says \"chose "
                     "choice=leave "),
        qPrintable(m.dump()));
    QVERIFY(
        m.a->waitFor("notice Your game did not go back to its online menu after the last match. If it stays "
                     "stuck, close the game and press PLAY again."));
    QVERIFY2(orxtest::waitUntil(
                 [&] { return m.a->gameCommands().filter(QRegularExpression("^park$")).size() == 2; }),
             qPrintable(m.dump()));
    QCOMPARE(m.a->count("notice Your game did not go back"), 1);
}

void TestSeriesScenarios::lobbyMatchesInPlace()
{
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0"}, opts("ann", {"--match-ms", "1000"}),
                    opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString code = bothReadyInALobby(m);
    QVERIFY2(!code.isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 3 Lobby match: connecting to bob...", 30000), qPrintable(m.dump()));
    QCOMPARE(m.a->json("found ").value("lobby").toString(), code);
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText, 40000) && m.b->waitFor("phase 11 " + kChooseText, 40000),
             qPrintable(m.dump()));
    const QString id = m.a->json("found ").value("match").toString();

    // REMATCH: both games say so, both launchers say ready in the lobby, and the next match starts
    // from the result screen.
    QVERIFY(loserChooses(m, id, "rematch"));
    const QString rematch = "phase 11 Rematch chosen: the next match starts from the result screen";
    QVERIFY2(m.a->waitFor(rematch) && m.b->waitFor(rematch), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") == 2 && m.b->count("finished ") == 2; },
                                40000),
             qPrintable(m.dump()));
    QCOMPARE(m.a->json("found ", 1).value("in_place").toBool(), true);
    const QString id2 = m.a->json("found ", 1).value("match").toString();
    QCOMPARE(m.a->gameCommands().filter(QRegularExpression("^rematch match=" + id2 + " ")).size(), 1);

    // Bob leaves the lobby while the next match is being chosen.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("phase 11 " + kChooseText) == 2; }),
             qPrintable(m.dump()));
    QVERIFY(raw(*m.b, R"({"type":"lobby_leave"})", "lobby_left"));
    m.b->send("leavelobby");
    QVERIFY2(m.a->waitFor(
                 "log bob left the lobby while the next match was being chosen: the game leaves its result "
                 "screen"),
             qPrintable(m.dump()));
    QVERIFY(m.a->waitFor(
        "notice bob left the lobby, so there is no next match. Your game goes back to the lobby."));
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    // Bob's game plays its ending and closes with the lobby it belonged to.
    QVERIFY2(m.b->waitFor("log Left the lobby: its match ends and its game closes"), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("playergame 0"), qPrintable(m.dump()));
    QCOMPARE(m.b->count("log Left the lobby: its match ends and its game closes"), 1);
}

void TestSeriesScenarios::leaveLobbyMidMatch()
{
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0", "--result-wait", "3000"}, opts("ann", {"--match-ms", "60000"}),
                    opts("bob", {"--match-ms", "60000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!bothReadyInALobby(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 5 In match against bob", 40000), qPrintable(m.dump()));
    const QString id = m.a->json("found ").value("match").toString();
    QVERIFY(raw(*m.a, R"({"type":"lobby_leave"})", "lobby_left"));
    m.a->send("leavelobby");
    QVERIFY2(m.a->waitFor(
                 "log Left the lobby: its match ends for you, and your game goes back to its online menu"),
             qPrintable(m.dump()));
    QVERIFY(m.a->waitFor("phase 6 Reporting the result (left)..."));
    QVERIFY2(m.b->waitFor("finished ", 30000), qPrintable(m.dump()));
    QCOMPARE(m.b->json("finished ").value("status").toString(), QString("abandoned"));
    QCOMPARE(m.b->json("finished ").value("you_won").toBool(), true);
    QJsonObject record;
    QVERIFY(orxtest::waitUntil([&] { return !(record = recordedMatch(m.server, id)).isEmpty(); }));
    QCOMPARE(reportOf(record, "ann").value("exit").toString(), QString("left the lobby"));
    QVERIFY(m.a->gameCommands().contains("park"));
}

void TestSeriesScenarios::choiceFromTheGames()
{
    // The stand-in games choose by themselves: the loser's game sends CHARACTER SELECT to the
    // other over the match's path and both report it; the next match starts in place, both picking
    // again.
    Match m;
    const QStringList game{"--match-ms", "1000", "--choice", "select", "--choice-ms", "300"};
    QVERIFY(m.start({}, opts("ann", game), opts("bob", game)));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    const QString select = "phase 11 Character Select chosen: the next match starts from the result screen";
    QVERIFY2(m.a->waitFor(select, 40000) && m.b->waitFor(select, 40000), qPrintable(m.dump()));
    QVERIFY(m.a->has("game chose choice=select chooser=") && m.b->has("game chose choice=select chooser="));
    QVERIFY2(
        orxtest::waitUntil([&] { return m.a->count("found ") == 2 && m.b->count("found ") == 2; }, 30000),
        qPrintable(m.dump()));
    const QJsonObject second = m.a->json("found ", 1);
    QCOMPARE(second.value("in_place").toBool(), true);
    const QString id2 = second.value("match").toString();
    QVERIFY2(
        orxtest::waitUntil([&] { return !m.a->gameCommands().filter("rematch match=" + id2).isEmpty(); }),
        qPrintable(m.dump()));
    const QString line = m.a->gameCommands().filter("rematch match=" + id2).first();
    QVERIFY2(line.contains(" p1=- p2=-") && line.contains(" choose=1"), qPrintable(line));
    QVERIFY2(m.a->waitFor("game in_match match=" + id2), qPrintable(m.dump()));
}

void TestSeriesScenarios::lobbyLinkDroppedAtTheResultScreen()
{
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0"}, opts("ann", {"--match-ms", "1000"}),
                    opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!bothReadyInALobby(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText, 40000), qPrintable(m.dump()));
    // Ann's link drops and comes back: the lobby's next match is off, her game parks.
    QVERIFY2(dropAndComeBack(*m.a), qPrintable(m.dump()));
    QVERIFY2(
        m.a->waitFor("log Back on the server after a dropped connection: the lobby's next match is off, the "
                     "game parks"),
        qPrintable(m.dump()));
    QVERIFY(
        m.a->waitFor("notice Your connection to the server dropped after the match. Get ready again in the "
                     "lobby for the next one."));
    QVERIFY2(m.a->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY(m.a->gameCommands().contains("park"));
}

void TestSeriesScenarios::seriesOverWhileOffline_data()
{
    QTest::addColumn<QString>("phase");
    QTest::newRow("Idle") << "Idle";
    QTest::newRow("AtResult") << "AtResult";
    QTest::newRow("Finishing") << "Finishing";
}

void TestSeriesScenarios::seriesOverWhileOffline()
{
    // Ann's link stays down past the server's grace and the series ends meanwhile; its "over" never
    // reaches her. Back on the server, nothing says the series goes on: it is gone for her too,
    // whatever she was doing when the link dropped.
    QFETCH(QString, phase);
    const bool finishing = phase == "Finishing";
    Match m;
    Options oa = opts("ann", {"--match-ms", "1000"}, {"ending=1500", "reconnect=1000"});
    oa.reconnectMs = 6000;
    QStringList serverOptions{"--drop-grace", "1500"};
    if (finishing) {
        // On the relay without the games' choice the match ends at once, and Ann's game takes its
        // time over the ending.
        oa.hideIp = true;
        oa.gameArgs << "--park-ms"
                    << "40000";
        oa.timing = QStringList{"ending=60000", "reconnect=1000"};
        serverOptions << "--features"
                      << "pick_refused,desync_detail";
    }
    QVERIFY(m.start(serverOptions, oa, opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    if (finishing) {
        QVERIFY(!findAndAccept(m).isEmpty());
        QVERIFY2(m.a->waitFor("phase 7 Match over: the game plays its ending", 40000), qPrintable(m.dump()));
    } else {
        QVERIFY2(!firstMatchToResultScreen(m).isEmpty(), qPrintable(m.dump()));
        if (phase == "Idle") {
            QVERIFY(m.a->setGameStatus("ready")); // her game leaves its result screen by itself
            QVERIFY2(m.a->waitFor("phase 0 Match over"), qPrintable(m.dump()));
        }
    }
    QCOMPARE(lastSeries(*m.a).value("state").toString(), QString("between"));
    const int logins = m.a->count("loggedin");
    m.a->send("drop");
    QVERIFY(m.a->waitFor("state 0"));
    QVERIFY2(orxtest::waitUntil([&] { return lastSeries(*m.b).value("state").toString() == "over"; }, 30000),
             qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("loggedin") > logins; }, 30000),
             qPrintable(m.dump()));
    const qsizetype back = m.a->lines.lastIndexOf("loggedin");
    QVERIFY2(orxtest::waitUntil([&] { return m.a->find("series {}", back) >= 0; }, 20000),
             qPrintable(m.dump()));
    if (finishing) { // cleared while the game still plays its ending
        const QStringList since = m.a->lines.mid(back, m.a->find("series {}", back) - back);
        QVERIFY2(since.filter(QRegularExpression("^phase 0 ")).isEmpty(), qPrintable(m.dump()));
    }
}

void TestSeriesScenarios::feedHandedOverWhenTheGameLeavesItsResultScreen()
{
    // The feeding player's game leaves the result screen of a lobby match by itself: the feed of
    // that match is handed over then, as at every other end of a match.
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0"}, opts("ann", {"--match-ms", "1000"}),
                    opts("bob", {"--match-ms", "1000"})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(!bothReadyInALobby(m).isEmpty(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText, 40000) && m.b->waitFor("phase 11 " + kChooseText, 40000),
             qPrintable(m.dump()));
    const bool annFeeds = m.a->messages("match_go").value(0).value("feed").toBool();
    DriverProcess &feeder = annFeeds ? *m.a : *m.b;
    QVERIFY(!feeder.has("log Spectator feed: "));
    QVERIFY(feeder.setGameStatus("ready"));
    QVERIFY2(feeder.waitFor("phase 0 Match over"), qPrintable(m.dump()));
    QVERIFY2(feeder.waitFor("log Spectator feed: ", 15000), qPrintable(m.dump()));
}
