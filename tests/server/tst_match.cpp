// Search, accept, path (direct, relay, tunnel), start, game packets and results.
#include "tst_server.h"

#include <QRandomGenerator>
#include <QTest>

Q_DECLARE_METATYPE(TestServer::Path)

namespace {
QString pathName(TestServer::Path p)
{
    return p == TestServer::Path::Direct ? "direct" : p == TestServer::Path::Relay ? "relay" : "tunnel";
}
} // namespace

void TestServer::matchThroughEachPath_data()
{
    QTest::addColumn<Path>("path");
    QTest::newRow("direct") << Path::Direct;
    QTest::newRow("relay") << Path::Relay;
    QTest::newRow("tunnel") << Path::Tunnel;
}

void TestServer::matchThroughEachPath()
{
    QFETCH(Path, path);
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "alice"));
    QVERIFY(join(b, "bob"));
    const QString match = pairAndAccept(a, b, false, path);
    QVERIFY(!match.isEmpty());
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    // Consistent sides, names and seed.
    const int sa = go.go[0].value("side").toInt(), sb = go.go[1].value("side").toInt();
    QCOMPARE(sa + sb, 3);
    QCOMPARE(go.go[0].value("seed").toInteger(), go.go[1].value("seed").toInteger());
    QVERIFY(go.go[0].value("seed").toInteger() != 0);
    QCOMPARE(go.go[0].value(sa == 1 ? "p1_name" : "p2_name").toString(), QString("alice"));
    QCOMPARE(go.go[1].value(sb == 1 ? "p1_name" : "p2_name").toString(), QString("bob"));
    for (const char *k :
         {"p1_name", "p2_name", "delay", "rtt_ms", "rounds", "ranked", "game", "mode", "series"})
        QCOMPARE(go.go[0].value(k), go.go[1].value(k));
    // Each remote is the endpoint that player reached in its own ping report.
    QCOMPARE(go.go[0].value("remote").toString(), a.punchRemote);
    QCOMPARE(go.go[1].value("remote").toString(), b.punchRemote);
    const QString expectA = path == Path::Tunnel ? "tunnel" : pathName(path);
    const QString expectB = path == Path::Tunnel ? "relay" : pathName(path);
    QCOMPARE(go.go[0].value("path").toString(), expectA);
    QCOMPARE(go.go[1].value("path").toString(), expectB);
    if (path == Path::Relay)
        QCOMPARE(go.go[0].value("remote").toString(), QStringLiteral("127.0.0.1:%1").arg(server->udpPort));

    // The games' packets pass both ways.
    a.sendGame("game-from-alice", go.go[0].value("remote").toString(), path == Path::Tunnel);
    QTRY_VERIFY_WITH_TIMEOUT(b.gamePackets().contains("game-from-alice"), orxtest::scaled(5000));
    b.sendGame("game-from-bob", go.go[1].value("remote").toString(), false);
    QTRY_VERIFY_WITH_TIMEOUT(a.gamePackets().contains("game-from-bob"), orxtest::scaled(5000));
    if (path == Path::Relay) {
        // A stranger cannot get packets into the match through the relay.
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        stranger.writeDatagram("intruder", QHostAddress::LocalHost, server->udpPort);
        a.sendGame("after-stranger", go.go[0].value("remote").toString(), false);
        QTRY_VERIFY_WITH_TIMEOUT(b.gamePackets().contains("after-stranger"), orxtest::scaled(5000));
        QVERIFY(!b.gamePackets().contains("intruder"));
        QVERIFY(!a.gamePackets().contains("intruder"));
    }

    a.send({{"type", "match_state"}, {"match", match}, {"state", "in_match"}});
    const QJsonObject res = playResult(a, b, go, 0);
    QCOMPARE(res.value("match").toString(), match);
    QCOMPARE(res.value("status").toString(), QString("agreed"));
    QCOMPARE(res.value("winner").toInt(), sa);
    QCOMPARE(res.value(sa == 1 ? "p1_rounds" : "p2_rounds").toInt(), 2);
}

void TestServer::directFailureFallsBackToRelay()
{
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "dora"));
    QVERIFY(join(b, "eddy"));
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    QVERIFY(!match.isEmpty());
    const Go go = connectMatch(a, b, match, true);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("path").toString(), QString("relay"));
    QCOMPARE(go.go[1].value("path").toString(), QString("relay"));
}

void TestServer::pathDecisions_data()
{
    QTest::addColumn<QStringList>("extra");  // server options
    QTest::addColumn<QJsonObject>("search"); // search fields for both players
    QTest::addColumn<bool>("hide");          // whether the first player hides their address
    QTest::addColumn<QStringList>("rounds"); // "expected match_peer|report of both" per round
    QTest::addColumn<QString>("end");        // "go:<path>" or "cancel:<reason>"
    const QStringList fast{"--direct-above", "50"};
    QTest::newRow("slow relay, direct no faster")
        << fast << QJsonObject() << true
        << QStringList{"relay:hidden|ok:200", "direct:relay_ping|ok:250", "relay:back|ok:200"} << "go:relay";
    QTest::newRow("slow relay, direct faster")
        << fast << QJsonObject() << true << QStringList{"relay:hidden|ok:200", "direct:relay_ping|ok:40"}
        << "go:direct";
    QTest::newRow("slow relay, direct fails")
        << fast << QJsonObject() << true
        << QStringList{"relay:hidden|ok:200", "direct:relay_ping|fail", "relay:back|ok:200"} << "go:relay";
    QTest::newRow("hidden always") << fast << QJsonObject{{"hide_always", true}} << true
                                   << QStringList{"relay:hidden|ok:200"} << "go:relay";
    QTest::newRow("fast relay stays")
        << fast << QJsonObject() << true << QStringList{"relay:hidden|ok:30"} << "go:relay";
    QTest::newRow("ping above the limit") << QStringList() << QJsonObject{{"max_ping", 100}} << false
                                          << QStringList{"direct|ok:300"} << "cancel:ping_too_high";
    QTest::newRow("nothing gets through")
        << QStringList() << QJsonObject() << false
        << QStringList{"direct|fail", "relay:direct_failed|fail", "tunnel|fail"} << "cancel:punch_failed";
    QTest::newRow("success without its endpoint")
        << QStringList() << QJsonObject() << false
        << QStringList{"direct|okbare:20", "relay:direct_failed|ok:30"} << "go:relay";
    QTest::newRow("no ping reports") << QStringList{"--punch-timeout", "1", "--path-slack", "0"}
                                     << QJsonObject() << false << QStringList{"direct|none"}
                                     << "cancel:ping_timeout";
}

void TestServer::pathDecisions()
{
    QFETCH(QStringList, extra);
    QFETCH(QJsonObject, search);
    QFETCH(bool, hide);
    QFETCH(QStringList, rounds);
    QFETCH(QString, end);
    QVERIFY(startServer(extra));
    ScriptedClient a, b;
    QVERIFY(join(a, "hider"));
    QVERIFY(join(b, "other"));
    QCOMPARE(queueJoin(a, false, hide, "-", search).value("type").toString(), QString("queued"));
    QCOMPARE(queueJoin(b, false, false, "-", search).value("type").toString(), QString("queued"));
    const QString match = a.waitFor("match_found").value("match").toString();
    QCOMPARE(b.waitFor("match_found").value("match").toString(), match);
    ScriptedClient *cs[2] = {&a, &b};
    for (ScriptedClient *c : cs) {
        c->send({{"type", "match_accept"}, {"match", match}});
        c->udpHello(server->udpPort, match);
    }
    int relayRtt = -1;
    for (const QString &round : rounds) {
        const QString expect = round.section('|', 0, 0), report = round.section('|', 1, 1);
        const QString kind = expect.section(':', 0, 0), why = expect.section(':', 1, 1);
        for (int i = 0; i < 2; ++i) {
            const QJsonObject p = cs[i]->waitFor("match_peer");
            QVERIFY2(!p.isEmpty(), qPrintable(round));
            QCOMPARE(p.value("match").toString(), match);
            QVERIFY(!p.value("key").toString().isEmpty());
            if (kind == "relay") {
                QVERIFY(p.value("relay").toBool());
                QCOMPARE(p.value("back").toBool(), why == "back");
                if (why == "hidden") {
                    QCOMPARE(p.value("relay_why").toString(), QString("hidden"));
                    QCOMPARE(p.value("relay_mine").toBool(), i == 0);
                } else if (why == "direct_failed") {
                    QCOMPARE(p.value("relay_why").toString(), why);
                }
            } else if (kind == "direct") {
                QVERIFY(!p.contains("relay") && !p.contains("tunnel"));
                const QString pub = p.value("peer").toObject().value("public").toString();
                QCOMPARE(pub, QStringLiteral("127.0.0.1:%1").arg(cs[1 - i]->gamePort()));
                QCOMPARE(p.value("peer").toObject().value("lan").toString(), cs[1 - i]->lanEndpoint());
                if (why == "relay_ping") {
                    QCOMPARE(p.value("direct_why").toString(), why);
                    QCOMPARE(p.value("relay_rtt").toInt(), relayRtt);
                    QCOMPARE(p.value("relay_mine").toBool(), i == 0);
                }
            } else {
                QVERIFY(p.value("tunnel").toBool());
            }
        }
        if (report == "none")
            continue;
        const bool ok = report.startsWith("ok");
        const int rtt = ok ? report.section(':', 1).toInt() : 0;
        if (kind == "relay" && why == "hidden")
            relayRtt = rtt;
        for (int i = 0; i < 2; ++i) {
            QJsonObject r{{"type", "ping_report"}, {"match", match}, {"ok", ok}, {"rtt_ms", rtt - i}};
            if (ok && !report.startsWith("okbare")) {
                r.insert("remote", QStringLiteral("127.0.0.1:%1").arg(40000 + i));
                r.insert("via", kind == "direct" ? "public" : kind);
            }
            cs[i]->send(r);
        }
    }
    const QString outcome = end.section(':', 0, 0), detail = end.section(':', 1);
    for (int i = 0; i < 2; ++i) {
        if (outcome == "go") {
            const QJsonObject go = cs[i]->waitFor("match_go");
            QCOMPARE(go.value("path").toString(), detail);
            // The higher of the two reports is the match's ping; the remote is the player's own.
            QCOMPARE(go.value("rtt_ms").toInt(), rounds.last().section(':', -1).toInt());
            QCOMPARE(go.value("remote").toString(), QStringLiteral("127.0.0.1:%1").arg(40000 + i));
        } else {
            const QJsonObject c = cs[i]->waitFor("match_cancelled");
            QCOMPARE(c.value("reason").toString(), detail);
            QCOMPARE(c.value("requeued").toBool(), true);
        }
        QVERIFY(!cs[i]->has("match_peer"));
    }
    if (detail == "punch_failed" || detail == "ping_timeout") {
        // Both are searching again, but not against each other: a newcomer gets one of them.
        ScriptedClient c;
        QVERIFY(join(c, "newcomer"));
        QCOMPARE(queueJoin(c, false, false, "-", search).value("type").toString(), QString("queued"));
        const QJsonObject found = c.waitFor("match_found");
        QVERIFY(!found.isEmpty());
        QVERIFY(!(a.has("match_found") && b.has("match_found")));
    }
}

void TestServer::pairingRules_data()
{
    QTest::addColumn<QJsonObject>("first");
    QTest::addColumn<QJsonObject>("second");
    QTest::addColumn<bool>("paired");
    QTest::newRow("same search") << QJsonObject() << QJsonObject() << true;
    QTest::newRow("other game") << QJsonObject() << QJsonObject{{"game", "other"}} << false;
    QTest::newRow("other mode") << QJsonObject() << QJsonObject{{"mode", "sparring"}} << false;
    QTest::newRow("ranked and casual") << QJsonObject() << QJsonObject{{"ranked", true}} << false;
    QTest::newRow("other region") << QJsonObject() << QJsonObject{{"region", "na"}} << true;
    QTest::newRow("other region, strict")
        << QJsonObject{{"strict", true}} << QJsonObject{{"region", "na"}} << false;
    QTest::newRow("ping estimate above a limit")
        << QJsonObject{{"max_ping", 60}} << QJsonObject{{"server_rtt", 60}} << false; // 5 + 60 ms
    QTest::newRow("ping estimate within the limits")
        << QJsonObject{{"max_ping", 60}} << QJsonObject{{"server_rtt", 40}, {"max_ping", 100}} << true;
    QTest::newRow("unknown ping") << QJsonObject{{"max_ping", 60}}
                                  << QJsonObject{{"server_rtt", QJsonValue()}} << true;
}

void TestServer::pairingRules()
{
    QFETCH(QJsonObject, first);
    QFETCH(QJsonObject, second);
    QFETCH(bool, paired);
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "first"));
    QVERIFY(join(b, "second"));
    QCOMPARE(queueJoin(a, false, false, "-", first).value("type").toString(), QString("queued"));
    QCOMPARE(queueJoin(b, false, false, "-", second).value("type").toString(), QString("queued"));
    // Pairing runs as the search arrives, so a match found would come before the answer to the
    // next request.
    QCOMPARE(b.waitReply(b.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QCOMPARE(b.has("match_found"), paired);
    const QJsonObject online = a.waitReply(a.send({{"type", "online"}}));
    QCOMPARE(online.value("searching").toInt(), paired ? 0 : 2);
}

void TestServer::pingLimitWidensWhileWaiting()
{
    QVERIFY(startServer({"--ping-widen", "3,1,50,250"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "patient"));
    QVERIFY(join(b, "faraway"));
    const QJsonObject queued = queueJoin(a, false, false, "-", {{"max_ping", 60}});
    QCOMPARE(queued.value("ping_widen").toObject(),
             QJsonObject({{"after", 3}, {"every", 1}, {"step", 50}, {"cap", 250}}));
    // 5 + 60 ms is above a's 60 ms at first...
    queueJoin(b, false, false, "-", {{"server_rtt", 60}});
    QCOMPARE(b.waitReply(b.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QVERIFY(!b.has("match_found"));
    // ...and within it once the limit has widened.
    const QJsonObject found = a.waitFor("match_found");
    QCOMPARE(found.value("opponent").toObject().value("name").toString(), QString("faraway"));
    QCOMPARE(found.value("connection").toObject().value("estimate").toInt(), 65);
    QCOMPARE(found.value("connection").toObject().value("measured").toBool(true), false);
}

void TestServer::declineRequeuesTheOther()
{
    QVERIFY(startServer());
    ScriptedClient a, b, c;
    QVERIFY(join(a, "decliner"));
    QVERIFY(join(b, "waiter"));
    QVERIFY(join(c, "latecomer"));
    QCOMPARE(queueJoin(a, true).value("type").toString(), QString("queued"));
    QCOMPARE(queueJoin(b, true).value("type").toString(), QString("queued"));
    const QString match = a.waitFor("match_found").value("match").toString();
    QCOMPARE(b.waitFor("match_found").value("match").toString(), match);
    b.send({{"type", "match_accept"}, {"match", match}});
    a.send({{"type", "match_decline"}, {"match", match}});
    const QJsonObject ca = a.waitFor("match_cancelled"), cb = b.waitFor("match_cancelled");
    QCOMPARE(ca.value("reason").toString(), QString("declined"));
    QCOMPARE(ca.value("requeued").toBool(true), false);
    QCOMPARE(cb.value("reason").toString(), QString("declined"));
    QCOMPARE(cb.value("requeued").toBool(), true);
    // The one who was put back is found by the next searcher; the decliner is not searching.
    QCOMPARE(queueJoin(c, true).value("type").toString(), QString("queued"));
    const QJsonObject fc = c.waitFor("match_found");
    QCOMPARE(fc.value("opponent").toObject().value("name").toString(), QString("waiter"));
    QVERIFY(!a.has("match_found"));
}

void TestServer::acceptTimeoutRequeuesWhoAccepted()
{
    QVERIFY(startServer({"--accept-timeout", "3"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "prompt"));
    QVERIFY(join(b, "sleepy"));
    queueJoin(a, false);
    queueJoin(b, false);
    const QJsonObject fa = a.waitFor("match_found");
    QCOMPARE(fa.value("accept_required").toBool(), true);
    QCOMPARE(fa.value("accept_timeout").toInt(), 3);
    QCOMPARE(fa.value("opponent").toObject().value("name").toString(), QString("sleepy"));
    QCOMPARE(fa.value("connection").toObject().value("link").toString(), QString("ethernet"));
    a.send({{"type", "match_accept"}, {"match", fa.value("match")}});
    const QJsonObject ca = a.waitFor("match_cancelled"), cb = b.waitFor("match_cancelled");
    QCOMPARE(ca.value("reason").toString(), QString("accept_timeout"));
    QCOMPARE(ca.value("requeued").toBool(), true);
    QCOMPARE(cb.value("reason").toString(), QString("accept_timeout"));
    QCOMPARE(cb.value("requeued").toBool(true), false);
    const QJsonObject online = a.waitReply(a.send({{"type", "online"}}));
    QCOMPARE(online.value("searching").toInt(), 1);
}

void TestServer::dropMidMatch_data()
{
    QTest::addColumn<bool>("comesBack");
    QTest::newRow("stays away") << false;
    QTest::newRow("comes back with its token") << true;
}

void TestServer::dropMidMatch()
{
    QFETCH(bool, comesBack);
    QVERIFY(startServer({"--drop-grace", comesBack ? "20000" : "500"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "dropper"));
    QVERIFY(join(b, "stayer"));
    const QString match = pairAndAccept(a, b, false, Path::Relay);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const int sa = go.go[0].value("side").toInt(), sb = go.go[1].value("side").toInt();
    if (comesBack) {
        a.close();
        // The connection comes back, signs in with its token and sends the result it kept.
        ScriptedClient a2;
        QVERIFY(a2.connectPlain(server->tcpPort));
        a2.hello();
        QCOMPARE(a2.auth(a.token).value("type").toString(), QString("account"));
        QCOMPARE(a2.waitFor("series").value("state").toString(), QString("playing"));
        for (ScriptedClient *c : {&a2, &b})
            c->send({{"type", "result"},
                     {"match", match},
                     {"winner", sb},
                     {"p1_rounds", sb == 1 ? 2 : 1},
                     {"p2_rounds", sb == 2 ? 2 : 1}});
        QCOMPARE(a2.waitFor("match_result").value("status").toString(), QString("agreed"));
        QCOMPARE(b.waitFor("match_result").value("winner").toInt(), sb);
        return;
    }
    // b's game lost a and reports it; a's connection is gone for good.
    b.send({{"type", "result"}, {"match", match}, {"outcome", "disconnected"}});
    QCOMPARE(b.waitFor("result_ack").value("match").toString(), match);
    a.close();
    const QJsonObject res = b.waitFor("match_result");
    QCOMPARE(res.value("status").toString(), QString("abandoned"));
    QCOMPARE(res.value("left_side").toInt(), sa);
    QCOMPARE(res.value("winner").toInt(), sb);
    const QJsonObject s =
        b.waitFor("series", 10000, [](const QJsonObject &o) { return o.value("state") == "over"; });
    QCOMPARE(s.value("outcome").toString(), QString("left"));
    QCOMPARE(s.value("left").toString(), QString("dropper"));
}

void TestServer::matchWithoutResultIsClosed()
{
    QVERIFY(startServer({"--match-limit", "1"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "silent1"));
    QVERIFY(join(b, "silent2"));
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    QVERIFY(connectMatch(a, b, match).ok);
    // Neither game reports: the match is closed, and both can search again.
    QCOMPARE(a.waitFor("match_result").value("status").toString(), QString("unconfirmed"));
    QCOMPARE(b.waitFor("match_result").value("match").toString(), match);
    b.send({{"type", "series_ready"},
            {"series",
             a.waitFor("series", 10000, [](const QJsonObject &o) { return o.value("state") == "between"; })
                 .value("series")},
            {"ready", false}});
    QCOMPARE(queueJoin(a, false).value("type").toString(), QString("queued"));
}

void TestServer::disputedAndLeftResults_data()
{
    QTest::addColumn<QJsonObject>("fromA"); // "winner" in a's own terms: 1 = a's side, 2 = b's side
    QTest::addColumn<QJsonObject>("fromB");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("leftClient"); // -1: none
    const QJsonObject aWins{{"winner", 1}}, bWins{{"winner", 2}}, draw{{"winner", 0}};
    QTest::newRow("disputed") << aWins << bWins << "disputed" << -1;
    QTest::newRow("draw") << draw << draw << "draw" << -1;
    QTest::newRow("a left") << QJsonObject{{"outcome", "left"}, {"exit", "window closed"}}
                            << QJsonObject{{"outcome", "disconnected"}} << "abandoned" << 0;
    QTest::newRow("desync") << QJsonObject{{"outcome", "desync"}, {"frame", 300}} << aWins << "desync" << -1;
    QTest::newRow("both disconnected") << QJsonObject{{"outcome", "disconnected"}}
                                       << QJsonObject{{"outcome", "disconnected"}} << "disconnected" << -1;
}

void TestServer::disputedAndLeftResults()
{
    QFETCH(QJsonObject, fromA);
    QFETCH(QJsonObject, fromB);
    QFETCH(QString, status);
    QFETCH(int, leftClient);
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "reporta"));
    QVERIFY(join(b, "reportb"));
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const int side[2] = {go.go[0].value("side").toInt(), go.go[1].value("side").toInt()};
    ScriptedClient *cs[2] = {&a, &b};
    const QJsonObject reports[2] = {fromA, fromB};
    for (int i = 0; i < 2; ++i) {
        QJsonObject r = reports[i];
        if (r.contains("winner")) {
            // Turn "my side / their side" into the real sides.
            const int w = r.value("winner").toInt();
            r.insert("winner", w == 0 ? 0 : w == 1 ? side[0] : side[1]);
            r.insert("p1_rounds", 2);
            r.insert("p2_rounds", w == 0 ? 2 : 1);
        }
        r.insert("type", "result");
        r.insert("match", match);
        cs[i]->send(r);
    }
    const QJsonObject ra = a.waitFor("match_result"), rb = b.waitFor("match_result");
    QCOMPARE(ra.value("status").toString(), status);
    QCOMPARE(rb.value("status").toString(), status);
    if (leftClient >= 0)
        QCOMPARE(ra.value("left_side").toInt(), side[leftClient]);
    else
        QVERIFY(!ra.contains("left_side"));
}

void TestServer::profileLeaderboardAndOnline()
{
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "winner"));
    QVERIFY(join(b, "loser"));
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    const QJsonObject online = a.waitReply(a.send({{"type", "online"}}));
    QCOMPARE(online.value("count").toInt(), 2);
    QCOMPARE(online.value("playing").toInt(), 2);
    QCOMPARE(online.value("games").toObject().value("orx").toObject().value("matches").toInt(), 1);
    QCOMPARE(playResult(a, b, go, 0).value("status").toString(), QString("agreed"));
    QJsonObject p = a.waitReply(a.send({{"type", "profile"}}));
    QCOMPARE(p.value("type").toString(), QString("profile"));
    QCOMPARE(p.value("name").toString(), QString("winner"));
    QJsonObject casual =
        p.value("stats").toObject()["orx"].toObject()["versus"].toObject()["casual"].toObject();
    QCOMPARE(casual.value("wins").toInt(), 1);
    QCOMPARE(casual.value("losses").toInt(), 0);
    // Another player's profile by name.
    p = a.waitReply(a.send({{"type", "profile"}, {"name", "loser"}}));
    casual = p.value("stats").toObject()["orx"].toObject()["versus"].toObject()["casual"].toObject();
    QCOMPARE(casual.value("losses").toInt(), 1);
    QCOMPARE(a.waitReply(a.send({{"type", "profile"}, {"name", "ghost"}})).value("code").toString(),
             QString("no_such_player"));
    // Casual matches give no rank: the leaderboard stays empty.
    const QJsonObject lb = a.waitReply(a.send(
        {{"type", "leaderboard"}, {"game", "orx"}, {"mode", "versus"}, {"limit", 100}, {"by", "elo"}}));
    QCOMPARE(lb.value("by").toString(), QString("elo"));
    QCOMPARE(lb.value("rows").toArray().size(), 0);
}

void TestServer::randomSessionsNeverCrash()
{
    // Players who search, accept, decline, report, leave, drop and come back at random, with short
    // timeouts so every timer fires too. The server must stay up and stop cleanly (cleanup checks).
    QVERIFY(startServer({"--accept-timeout", "1", "--udp-wait", "300", "--punch-timeout", "1", "--path-slack",
                         "200", "--result-wait", "300", "--drop-grace", "300", "--series-wait", "1",
                         "--match-limit", "3", "--pair-interval", "50"}));
    QRandomGenerator rng(20261210);
    std::vector<std::unique_ptr<ScriptedClient>> cs;
    QStringList tokens;
    for (int i = 0; i < 4; ++i) {
        cs.push_back(std::make_unique<ScriptedClient>());
        QVERIFY(join(*cs.back(), QStringLiteral("rnd%1").arg(i)));
        tokens << cs.back()->token;
    }
    auto react = [&](ScriptedClient &c) {
        // Answer what the server asked for, most of the time.
        for (qsizetype i = 0; i < c.inbox().size(); ++i) {
            const QJsonObject o = c.inbox().takeAt(i--);
            const QString type = o.value("type").toString();
            const QJsonValue match = o.value("match");
            if (type == "match_found" && rng.bounded(10) < 8) {
                c.send({{"type", "match_accept"}, {"match", match}});
                if (rng.bounded(5) == 0)
                    c.send({{"type", "udp_tunnel"}, {"match", match}});
                else
                    c.udpHello(server->udpPort, match.toString(), 300);
            } else if (type == "match_peer" && rng.bounded(10) < 9) {
                c.send({{"type", "ping_report"},
                        {"match", match},
                        {"ok", rng.bounded(10) < 8},
                        {"rtt_ms", int(rng.bounded(300))},
                        {"remote", c.lanEndpoint()},
                        {"via", "relay"}});
            } else if (type == "match_go") {
                c.sendGame("packet", QStringLiteral("127.0.0.1:%1").arg(server->udpPort),
                           rng.bounded(2) == 0);
                if (rng.bounded(10) < 8)
                    c.send({{"type", "result"},
                            {"match", match},
                            {"winner", int(rng.bounded(3))},
                            {"p1_rounds", 2},
                            {"p2_rounds", 1}});
            } else if (type == "series" && o.value("state") == "between" && rng.bounded(10) < 8) {
                c.send({{"type", "series_ready"},
                        {"series", o.value("series")},
                        {"ready", rng.bounded(10) < 9},
                        {"choice", rng.bounded(2) ? "rematch" : "select"},
                        {"in_place", rng.bounded(2) == 0}});
            }
        }
    };
    for (int step = 0; step < 600; ++step) {
        const int i = int(rng.bounded(int(cs.size())));
        ScriptedClient &c = *cs[i];
        if (!c.connected()) {
            // Back with the token, as a dropped launcher would.
            cs[i] = std::make_unique<ScriptedClient>();
            QVERIFY(cs[i]->connectPlain(server->tcpPort));
            cs[i]->hello();
            cs[i]->auth(tokens[i]);
            QVERIFY(cs[i]->bindUdp());
            continue;
        }
        react(c);
        switch (rng.bounded(12)) {
        case 0:
        case 1:
            c.send({{"type", "queue_join"},
                    {"game", "orx"},
                    {"mode", "versus"},
                    {"ranked", rng.bounded(2) == 0},
                    {"relay", rng.bounded(2) == 0},
                    {"max_ping", 0},
                    {"delay", 1},
                    {"delay_auto", true}});
            break;
        case 2:
            if (rng.bounded(8) == 0)
                c.close();
            break;
        case 3:
            if (rng.bounded(8) == 0)
                c.send({{"type", "queue_leave"}});
            break;
        default:
            break;
        }
        QTest::qWait(int(rng.bounded(15)));
    }
    for (auto &c : cs) {
        if (c->connected())
            QCOMPARE(c->waitReply(c->send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    }
    QVERIFY(server->running());
    qInfo("%lld matches started, %lld results", server->errors().count("goes:"),
          server->errors().count("result:"));
}
