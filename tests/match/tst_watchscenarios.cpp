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

// Ann hosts a versus lobby, Bob plays in it and Cid watches; Ann and Bob say ready.
bool lobbyWithAWatcher(Match &m)
{
    if (!raw(*m.a, R"({"type":"lobby_create","name":"Watched","mode":"versus"})", "lobby"))
        return false;
    const QString code = m.a->messages("lobby").last().value("lobby").toObject().value("id").toString();
    if (!raw(*m.b, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby") ||
        !raw(*m.c, QString(R"({"type":"lobby_join","lobby":"%1","spectate":true})").arg(code), "lobby"))
        return false;
    m.a->send(R"(raw {"type":"lobby_ready","ready":true})");
    m.b->send(R"(raw {"type":"lobby_ready","ready":true})");
    return true;
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
    QVERIFY2(lobbyWithAWatcher(m), qPrintable(m.dump()));
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
