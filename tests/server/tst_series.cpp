// Ranked sets and casual series: between two matches, in-place next matches, choices, Elo.
#include "tst_server.h"

#include <QTest>

Q_DECLARE_METATYPE(TestServer::Path)

namespace {

// The series message of that state, after that many matches when played is given.
QJsonObject waitSeries(ScriptedClient &c, const QString &state, int played = -1)
{
    return c.waitFor("series", 10000, [state, played](const QJsonObject &o) {
        return o.value("state") == state && (played < 0 || o.value("played").toInt() == played);
    });
}

void ready(ScriptedClient &c, const QString &series, const QString &choice, bool inPlace)
{
    c.send({{"type", "series_ready"},
            {"series", series},
            {"ready", true},
            {"choice", choice},
            {"in_place", inPlace}});
}

} // namespace

void TestServer::rankedSetToItsEnd_data()
{
    QTest::addColumn<Path>("path");
    QTest::newRow("direct") << Path::Direct;
    QTest::newRow("relay") << Path::Relay;
    QTest::newRow("tunnel") << Path::Tunnel;
}

void TestServer::rankedSetToItsEnd()
{
    QFETCH(Path, path);
    QVERIFY(startServer({"--set-wins", "2"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "ace"));
    QVERIFY(join(b, "bea"));
    QString match = pairAndAccept(a, b, true, path);
    Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("series_kind").toString(), QString("ranked"));
    QCOMPARE(go.go[0].value("set").toInt(), 1);
    const QString series = go.go[0].value("series").toString();
    QVERIFY(!series.isEmpty());
    const int sa = go.go[0].value("side").toInt();
    QCOMPARE(playResult(a, b, go, 0).value("status").toString(), QString("agreed"));

    // Between the two matches: a leads 1-0 and keeps their character.
    QJsonObject sA = waitSeries(a, "between"), sB = waitSeries(b, "between");
    QCOMPARE(sA.value("series").toString(), series);
    QCOMPARE(sA.value("you").toInt(), 1);
    QCOMPARE(sA.value("them").toInt(), 0);
    QCOMPARE(sB.value("you").toInt(), 0);
    QCOMPARE(sA.value("need").toInt(), 2);
    QCOMPARE(sA.value("keeps").toString(), QString("ace"));
    QCOMPARE(sA.value("opponent").toString(), QString("bea"));
    QCOMPARE(sA.value("ranked").toBool(), true);
    ready(b, series, "select", true);
    sA = waitSeries(a, "between");
    QCOMPARE(sA.value("them_ready").toBool(), true);
    QCOMPARE(sA.value("you_ready").toBool(), false);
    ready(a, series, "select", true);

    // Both stayed at the result screen: the next match starts in place, without a new path.
    const QJsonObject fa = a.waitFor("match_found"), fb = b.waitFor("match_found");
    QCOMPARE(fa.value("in_place").toBool(), true);
    QCOMPARE(fa.value("series").toString(), series);
    QCOMPARE(fa.value("accept_required").toBool(true), false);
    match = fa.value("match").toString();
    QCOMPARE(fb.value("match").toString(), match);
    Go go2;
    go2.go[0] = a.waitFor("match_go");
    go2.go[1] = b.waitFor("match_go");
    QVERIFY(!a.has("match_peer"));
    QCOMPARE(go2.go[0].value("match").toString(), match);
    QCOMPARE(go2.go[0].value("side").toInt(), sa);
    QCOMPARE(go2.go[0].value("remote"), go.go[0].value("remote"));
    QCOMPARE(go2.go[1].value("remote"), go.go[1].value("remote"));
    QCOMPARE(go2.go[0].value("set").toInt(), 2);
    QCOMPARE(go2.go[0].value(sa == 1 ? "set_p1" : "set_p2").toInt(), 1);
    QCOMPARE(go2.go[0].value("keep").toInt(), sa);
    // The winner keeps the character they played; the loser picks again.
    QCOMPARE(go2.go[0].value(sa == 1 ? "p1" : "p2").toString(), QString(sa == 1 ? "Kaede" : "Brom"));
    QCOMPARE(go2.go[0].value(sa == 1 ? "p2" : "p1").toString(), QString("-"));
    QVERIFY(go2.go[0].value("seed") != go.go[0].value("seed"));

    // a takes the set; the Elo changes add up to nothing.
    a.gamePackets().clear();
    b.sendGame("still-connected", go2.go[1].value("remote").toString(), false);
    QTRY_VERIFY_WITH_TIMEOUT(a.gamePackets().contains("still-connected"), orxtest::scaled(5000));
    QCOMPARE(playResult(a, b, go2, 0).value("status").toString(), QString("agreed"));
    const QJsonObject overA = waitSeries(a, "over"), overB = waitSeries(b, "over");
    QCOMPARE(overA.value("outcome").toString(), QString("won"));
    QCOMPARE(overA.value("winner").toString(), QString("ace"));
    QCOMPARE(overA.value("you").toInt(), 2);
    QCOMPARE(overB.value("them").toInt(), 2);
    const QJsonObject ea = overA.value("elo").toObject().value("ace").toObject();
    const QJsonObject eb = overA.value("elo").toObject().value("bea").toObject();
    QCOMPARE(ea.value("before").toInt(), 1500);
    QCOMPARE(eb.value("before").toInt(), 1500);
    QVERIFY(ea.value("delta").toInt() > 0);
    QCOMPARE(ea.value("delta").toInt() + eb.value("delta").toInt(), 0);
    QCOMPARE(ea.value("after").toInt(), 1500 + ea.value("delta").toInt());
    QCOMPARE(eb.value("after").toInt(), 1500 + eb.value("delta").toInt());
    QVERIFY(!ea.value("title_after").toString().isEmpty());
    QCOMPARE(overB.value("elo"), overA.value("elo"));
    // The series is gone: a late readiness is refused.
    const QJsonObject late =
        a.waitReply(a.send({{"type", "series_ready"}, {"series", series}, {"ready", true}}));
    QCOMPARE(late.value("code").toString(), QString("no_such_series"));

    // The outcome is kept across a restart.
    QVERIFY(server->stop());
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    const QJsonArray rows =
        c.waitReply(c.send({{"type", "leaderboard"}, {"game", "orx"}, {"mode", "versus"}, {"by", "elo"}}))
            .value("rows")
            .toArray();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].toObject().value("name").toString(), QString("ace"));
    QCOMPARE(rows[0].toObject().value("rank").toInt(), 1);
    QCOMPARE(rows[0].toObject().value("elo").toInt(), ea.value("after").toInt());
    QCOMPARE(rows[0].toObject().value("wins").toInt(), 1);
    QCOMPARE(rows[1].toObject().value("losses").toInt(), 1);
    QCOMPARE(c.login("ace")
                 .value("profile")
                 .toObject()["stats"]
                 .toObject()["orx"]
                 .toObject()["versus"]
                 .toObject()["ranked"]
                 .toObject()["title"]
                 .toString(),
             ea.value("title_after").toString());
}

void TestServer::casualSeriesRematchSelectLeave_data()
{
    rankedSetToItsEnd_data();
}

void TestServer::casualSeriesRematchSelectLeave()
{
    QFETCH(Path, path);
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "cas1"));
    QVERIFY(join(b, "cas2"));
    QString match = pairAndAccept(a, b, false, path);
    Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const QString series = go.go[0].value("series").toString();
    QCOMPARE(go.go[0].value("series_kind").toString(), QString("casual"));
    const int sa = go.go[0].value("side").toInt();
    playResult(a, b, go, 0); // a wins
    QJsonObject sB = waitSeries(b, "between");
    QVERIFY(sB.value("seconds_left").toInt() > 0);
    QCOMPARE(sB.value("ranked").toBool(true), false);
    waitSeries(a, "between");

    // A readiness the server cannot read is refused and counts for nothing.
    const QList<std::pair<QJsonObject, QString>> refused = {
        {{{"choice", "leave"}}, "bad_choice"},   {{{"choice", ""}}, "bad_choice"},
        {{{"choice", "REMATCH"}}, "bad_choice"}, {{{"choice", 1}}, "bad_request"},
        {{{"ready", "true"}}, "bad_request"},    {{{"in_place", 1}}, "bad_request"},
        {{{"series", 5}}, "bad_request"},
    };
    for (const auto &[change, code] : refused) {
        QJsonObject msg{{"type", "series_ready"},
                        {"series", series},
                        {"ready", true},
                        {"choice", "rematch"},
                        {"in_place", true}};
        for (auto it = change.begin(); it != change.end(); ++it)
            msg.insert(it.key(), it.value());
        const QJsonObject answer = b.waitReply(b.send(msg));
        QCOMPARE(answer.value("code").toString(), code);
        QCOMPARE(answer.value("re").toString(), QString("series_ready"));
        QVERIFY(!answer.value("message").toString().isEmpty());
    }
    ready(a, series, "select", true);
    const QJsonObject afterA = a.waitFor("series", 10000, [](const QJsonObject &o) {
        return o.value("state") == "between" && o.value("you_ready") == true;
    });
    QCOMPARE(afterA.value("them_ready").toBool(true), false);

    // The loser (b) chooses rematch: both keep their characters, from the result screen.
    ready(b, series, "rematch", true);
    QJsonObject fa = a.waitFor("match_found");
    QCOMPARE(fa.value("in_place").toBool(), true);
    b.waitFor("match_found");
    go.go[0] = a.waitFor("match_go");
    go.go[1] = b.waitFor("match_go");
    QCOMPARE(go.go[0].value("p1").toString(), QString("Kaede"));
    QCOMPARE(go.go[0].value("p2").toString(), QString("Brom"));
    QCOMPARE(go.go[0].value("side").toInt(), sa);
    playResult(a, b, go, 1); // b wins
    QJsonObject sA = waitSeries(a, "between", 2);
    QCOMPARE(sA.value("you").toInt(), 1);
    QCOMPARE(sA.value("them").toInt(), 1);
    waitSeries(b, "between", 2);

    // The loser (a) chooses character select, and the games left their result screens: a new path.
    ready(b, series, "select", false);
    ready(a, series, "select", false);
    fa = a.waitFor("match_found");
    QCOMPARE(fa.value("in_place").toBool(true), false);
    QCOMPARE(fa.value("series").toString(), series);
    match = fa.value("match").toString();
    b.waitFor("match_found");
    // The launchers greet the UDP port again for the new match (or ask for the tunnel again).
    if (path == Path::Tunnel)
        a.send({{"type", "udp_tunnel"}, {"match", match}});
    else
        a.udpHello(server->udpPort, match);
    b.udpHello(server->udpPort, match);
    go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("p1").toString(), QString("-"));
    QCOMPARE(go.go[0].value("p2").toString(), QString("-"));
    QCOMPARE(go.go[0].value("set").toInt(), 3);
    QCOMPARE(go.go[0].value("path").toString(), QString(path == Path::Direct  ? "direct"
                                                        : path == Path::Relay ? "relay"
                                                                              : "tunnel"));
    // The new path carries the games' packets.
    b.sendGame("third-match", go.go[1].value("remote").toString(), false);
    QTRY_VERIFY_WITH_TIMEOUT(a.gamePackets().contains("third-match"), orxtest::scaled(5000));
    playResult(a, b, go, 0);
    QCOMPARE(waitSeries(a, "between", 3).value("you").toInt(), 2);
    waitSeries(b, "between", 3);

    // b leaves.
    b.send({{"type", "series_ready"}, {"series", series}, {"ready", false}});
    const QJsonObject overA = waitSeries(a, "over"), overB = waitSeries(b, "over");
    QCOMPARE(overA.value("outcome").toString(), QString("left"));
    QCOMPARE(overA.value("left").toString(), QString("cas2"));
    QCOMPARE(overB.value("left").toString(), QString("cas2"));
    QCOMPARE(overA.value("you").toInt(), 2);
    QCOMPARE(overA.value("them").toInt(), 1);
    QVERIFY(!overA.contains("elo"));
    // Casual matches count in the profile.
    const QJsonObject casual = a.waitReply(a.send({{"type", "profile"}}))
                                   .value("stats")
                                   .toObject()["orx"]
                                   .toObject()["versus"]
                                   .toObject()["casual"]
                                   .toObject();
    QCOMPARE(casual.value("wins").toInt(), 2);
    QCOMPARE(casual.value("losses").toInt(), 1);
}

void TestServer::seriesTimesOutWithoutReady()
{
    QVERIFY(startServer({"--series-wait", "4"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "idle1"));
    QVERIFY(join(b, "idle2"));
    // A ranked set where only one player gets ready: the other forfeits it.
    QString match = pairAndAccept(a, b, true, Path::Direct);
    Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const QString series = go.go[0].value("series").toString();
    playResult(a, b, go, 1);
    waitSeries(a, "between");
    ready(a, series, "select", true);
    QJsonObject over = waitSeries(a, "over");
    QCOMPARE(over.value("outcome").toString(), QString("forfeit"));
    QCOMPARE(over.value("left").toString(), QString("idle2"));
    QCOMPARE(over.value("winner").toString(), QString("idle1"));
    QVERIFY(over.value("elo").toObject().value("idle1").toObject().value("delta").toInt() > 0);

    // A casual series where nobody gets ready ends without a rematch.
    waitSeries(b, "over");
    match = pairAndAccept(a, b, false, Path::Direct);
    go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    playResult(a, b, go, 0);
    over = waitSeries(b, "over");
    QCOMPARE(over.value("outcome").toString(), QString("timeout"));
}

void TestServer::strictRankedKeepsElosClose()
{
    QVERIFY(startServer({"--set-wins", "1", "--strict-elo-gap", "20"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "strong"));
    QVERIFY(join(b, "weak"));
    const QString match = pairAndAccept(a, b, true, Path::Direct);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    playResult(a, b, go, 0);
    const QJsonObject over = waitSeries(a, "over");
    QCOMPARE(over.value("outcome").toString(), QString("won"));
    // 1516 against 1484 now: too far apart for a strict ranked search...
    QCOMPARE(queueJoin(a, true, false, "-", {{"strict", true}}).value("type").toString(), QString("queued"));
    QCOMPARE(queueJoin(b, true).value("type").toString(), QString("queued"));
    QCOMPARE(b.waitReply(b.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QVERIFY(!b.has("match_found"));
    // ...but not for an ordinary one, and the opponent's rank shows in the offer.
    QCOMPARE(queueJoin(a, true).value("type").toString(), QString("queued"));
    const QJsonObject found = b.waitFor("match_found");
    QCOMPARE(found.value("opponent").toObject().value("elo").toInt(), 1516);
    QVERIFY(!found.value("opponent").toObject().value("title").toString().isEmpty());
    QCOMPARE(found.value("connection").toObject().value("measured").toBool(), true);
}

void TestServer::seriesReadinessNeedsBothOnline()
{
    QVERIFY(startServer({"--drop-grace", "20000"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "stay1"));
    QVERIFY(join(b, "stay2"));
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const QString series = go.go[0].value("series").toString();
    playResult(a, b, go, 0);
    waitSeries(a, "between");
    waitSeries(b, "between");

    // a is ready at the result screen, then loses the link for a moment: the readiness goes with it.
    ready(a, series, "select", true);
    QVERIFY(!b.waitFor("series", 10000, [](const QJsonObject &o) {
                  return o.value("state") == "between" && o.value("them_ready").toBool();
              }).isEmpty());
    a.close();
    QJsonObject sB = b.waitFor("series", 10000, [](const QJsonObject &o) {
        return o.value("state") == "between" && !o.value("them_ready").toBool(true);
    });
    QVERIFY2(!sB.isEmpty(), "the other player still sees the dropped player ready");

    // b gets ready while a is away: nothing starts without a.
    ready(b, series, "rematch", true);
    sB = b.waitFor("series", 10000, [](const QJsonObject &o) { return o.value("you_ready").toBool(); });
    QCOMPARE(sB.value("them_ready").toBool(true), false);
    QCOMPARE(b.waitReply(b.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QVERIFY(!b.has("match_found"));

    // Back inside the grace: a is told it is not ready, says so again, and the series goes on in place.
    a.inbox().clear();
    QVERIFY(a.connectPlain(server->tcpPort));
    QCOMPARE(a.hello().value("type").toString(), QString("welcome"));
    QCOMPARE(a.auth(a.token).value("type").toString(), QString("account"));
    const QJsonObject sA = waitSeries(a, "between");
    QCOMPARE(sA.value("series").toString(), series);
    QCOMPARE(sA.value("you_ready").toBool(true), false);
    QCOMPARE(sA.value("them_ready").toBool(), true);
    ready(a, series, "select", true);
    const QJsonObject fa = a.waitFor("match_found"), fb = b.waitFor("match_found");
    QCOMPARE(fa.value("in_place").toBool(), true);
    QCOMPARE(fb.value("in_place").toBool(), true);
    Go go2;
    go2.go[0] = a.waitFor("match_go");
    go2.go[1] = b.waitFor("match_go");
    QCOMPARE(go2.go[0].value("remote"), go.go[0].value("remote"));
    QCOMPARE(go2.go[0].value("set").toInt(), 2);
    QCOMPARE(playResult(a, b, go2, 1).value("status").toString(), QString("agreed"));
    QCOMPARE(waitSeries(a, "between", 2).value("them").toInt(), 1);
    QVERIFY(!a.has("match_cancelled") && !b.has("match_cancelled"));
}
