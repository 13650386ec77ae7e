// Lobbies: refusals, create/join/list/leave, the countdown, lobby matches, King of the Hill.
#include "tst_server.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

namespace {

QJsonObject lobbyOf(const QJsonObject &msg)
{
    return msg.value("lobby").toObject();
}

// The member entry of that name in a "lobby" message ({} when absent).
QJsonObject memberOf(const QJsonObject &lobbyMsg, const QString &name)
{
    for (const QJsonValue &v : lobbyOf(lobbyMsg).value("members").toArray()) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return {};
}

// The next "lobby" message that passes the check.
QJsonObject waitLobby(ScriptedClient &c, const std::function<bool(const QJsonObject &)> &check,
                      int ms = 10000)
{
    return c.waitFor("lobby", ms, [&](const QJsonObject &o) { return check(lobbyOf(o)); });
}

QJsonObject create(ScriptedClient &c, const QJsonObject &overrides = {})
{
    QJsonObject msg{{"type", "lobby_create"}, {"name", "Test lobby"}, {"game", "orx"},
                    {"mode", "versus"},       {"password", ""},       {"rounds", 3},
                    {"region", "eu"},         {"character", "Kaede"}, {"link", "ethernet"},
                    {"server_rtt", 5}};
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        msg.insert(it.key(), it.value());
    return c.waitReply(c.send(msg));
}

QJsonObject joinLobby(ScriptedClient &c, const QString &code, const QJsonObject &overrides = {})
{
    QJsonObject msg{{"type", "lobby_join"}, {"lobby", code},     {"password", ""},
                    {"character", "Brom"},  {"spectate", false}, {"link", "wifi"}};
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        msg.insert(it.key(), it.value());
    return c.waitReply(c.send(msg));
}

QJsonObject readyUp(ScriptedClient &c, bool ready = true, const QJsonObject &extra = {})
{
    QJsonObject msg{{"type", "lobby_ready"}, {"ready", ready},  {"relay", false}, {"hide_always", false},
                    {"link", "ethernet"},    {"server_rtt", 5}, {"delay", 1},     {"delay_auto", true}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        msg.insert(it.key(), it.value());
    return c.waitReply(c.send(msg));
}

QString codeOf(const QJsonObject &lobbyMsg)
{
    return lobbyOf(lobbyMsg).value("id").toString();
}

} // namespace

void TestServer::lobbyRefusals_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QJsonArray>("requests"); // sent in order; the last answer is checked
    QTest::addColumn<QString>("code");
    auto one = [](const QJsonObject &o) { return QJsonArray{o}; };
    const QJsonObject mk{{"type", "lobby_create"}, {"mode", "versus"}, {"rounds", 3}};
    auto with = [](QJsonObject o, const char *k, const QJsonValue &v) {
        o.insert(k, v);
        return o;
    };
    QTest::newRow("unknown mode") << "none" << one(with(mk, "mode", "practice")) << "bad_mode";
    QTest::newRow("koth practice") << "none" << one(with(with(mk, "mode", "sparring"), "koth", true))
                                   << "bad_mode";
    QTest::newRow("rounds 4") << "none" << one(with(mk, "rounds", 4)) << "bad_rounds";
    QTest::newRow("rounds as text") << "none" << one(with(mk, "rounds", "3")) << "bad_request";
    QTest::newRow("name as number") << "none" << one(with(mk, "name", 5)) << "bad_request";
    QTest::newRow("koth as text") << "none" << one(with(mk, "koth", "yes")) << "bad_request";
    QTest::newRow("long password") << "none" << one(with(mk, "password", QString(65, 'x'))) << "bad_password";
    QTest::newRow("koth off on the server") << "kothoff" << one(with(mk, "koth", true)) << "no_koth";
    QTest::newRow("koth not in hello") << "nokoth" << one(with(mk, "koth", true)) << "no_koth";
    QTest::newRow("join koth without it")
        << "kothlobby-nokoth" << one({{"type", "lobby_join"}, {"lobby", "CODE"}}) << "no_koth";
    QTest::newRow("unknown code") << "none" << one({{"type", "lobby_join"}, {"lobby", "ZZZZZ"}})
                                  << "no_such_lobby";
    QTest::newRow("short code") << "none" << one({{"type", "lobby_join"}, {"lobby", "AB"}})
                                << "no_such_lobby";
    QTest::newRow("code as number") << "none" << one({{"type", "lobby_join"}, {"lobby", 12345}})
                                    << "bad_request";
    QTest::newRow("spectate as text")
        << "private" << one({{"type", "lobby_join"}, {"lobby", "CODE"}, {"spectate", "1"}}) << "bad_request";
    QTest::newRow("wrong password") << "private"
                                    << one({{"type", "lobby_join"}, {"lobby", "CODE"}, {"password", "nope"}})
                                    << "wrong_password";
    const QJsonObject wrong{{"type", "lobby_join"}, {"lobby", "CODE"}, {"password", "nope"}};
    QTest::newRow("too many tries, then even the right one")
        << "private"
        << QJsonArray{wrong, wrong,
                      wrong, wrong,
                      wrong, QJsonObject{{"type", "lobby_join"}, {"lobby", "CODE"}, {"password", "secret"}}}
        << "too_many_tries";
    QTest::newRow("control character in the name") << "none"
                                                   << one(with(mk, "name",
                                                               QString("Fri\x07"
                                                                       "day")))
                                                   << "bad_name";
    // Counted per account and lobby even on a server that throttles nothing else.
    QTest::newRow("too many tries without the throttle")
        << "private-open"
        << QJsonArray{wrong, wrong,
                      wrong, wrong,
                      wrong, QJsonObject{{"type", "lobby_join"}, {"lobby", "CODE"}, {"password", "secret"}}}
        << "too_many_tries";
    QTest::newRow("four wrong, then the right one")
        << "private-open"
        << QJsonArray{wrong,
                      wrong,
                      wrong,
                      wrong,
                      QJsonObject{{"type", "lobby_join"}, {"lobby", "CODE"}, {"password", "secret"}},
                      QJsonObject{{"type", "lobby_join"}, {"lobby", "ZZZZZ"}}}
        << "busy";
    QTest::newRow("full") << "full" << one({{"type", "lobby_join"}, {"lobby", "CODE"}}) << "lobby_full";
    QTest::newRow("hill and line full")
        << "kothfull" << one({{"type", "lobby_join"}, {"lobby", "CODE"}}) << "lobby_full";
    QTest::newRow("spectators full") << "watchfull"
                                     << one({{"type", "lobby_join"}, {"lobby", "CODE"}, {"spectate", true}})
                                     << "lobby_full";
    QTest::newRow("create from a lobby") << "member" << one(mk) << "busy";
    QTest::newRow("join from another lobby")
        << "member+other" << one({{"type", "lobby_join"}, {"lobby", "CODE"}}) << "busy";
    QTest::newRow("create in a match") << "inmatch" << one(mk) << "busy";
    QTest::newRow("search from a lobby")
        << "member" << one({{"type", "queue_join"}, {"game", "orx"}, {"mode", "versus"}}) << "busy";
    QTest::newRow("ready outside") << "none" << one({{"type", "lobby_ready"}, {"ready", true}})
                                   << "not_in_lobby";
    QTest::newRow("leave outside") << "none" << one({{"type", "lobby_leave"}}) << "not_in_lobby";
    QTest::newRow("rate outside") << "none" << one({{"type", "lobby_rate"}, {"match", "m1"}, {"score", 5}})
                                  << "not_in_lobby";
    QTest::newRow("spectator ready") << "spectator" << one({{"type", "lobby_ready"}, {"ready", true}})
                                     << "spectator";
    QTest::newRow("ready as text") << "member" << one({{"type", "lobby_ready"}, {"ready", "yes"}})
                                   << "bad_request";
    QTest::newRow("ready missing") << "member" << one({{"type", "lobby_ready"}}) << "bad_request";
    QTest::newRow("rate no such win")
        << "member" << one({{"type", "lobby_rate"}, {"match", "m1"}, {"score", 5}}) << "no_such_match";
}

void TestServer::lobbyRefusals()
{
    QFETCH(QString, setup);
    QFETCH(QJsonArray, requests);
    QFETCH(QString, code);
    // Throttled where passwords are tried (one address signs up at most 10 accounts then).
    QStringList options;
    if (setup == "private")
        options << "--throttle";
    if (setup == "kothoff")
        options << "--features"
                << "relay_choice";
    QVERIFY(startServer(options));
    ScriptedClient host, other, me;
    QString lobbyCode;
    const bool locked = setup.startsWith("private");
    if (locked || setup == "full" || setup == "spectator" || setup == "member+other") {
        QVERIFY(join(host, "host"));
        const QJsonObject l = create(host, {{"password", locked ? "secret" : ""}});
        lobbyCode = codeOf(l);
        QVERIFY2(!lobbyCode.isEmpty(), qPrintable(QJsonDocument(l).toJson()));
    }
    std::vector<std::unique_ptr<ScriptedClient>> crowd;
    if (setup == "kothfull" || setup == "watchfull") {
        QVERIFY(join(host, "host"));
        lobbyCode = codeOf(create(host, {{"koth", setup == "kothfull"}}));
        for (int i = 0; i < (setup == "kothfull" ? 7 : 8); ++i) {
            crowd.push_back(std::make_unique<ScriptedClient>());
            QVERIFY(join(*crowd.back(), QStringLiteral("crowd%1").arg(i)));
            QCOMPARE(joinLobby(*crowd.back(), lobbyCode, {{"spectate", setup == "watchfull"}})
                         .value("type")
                         .toString(),
                     QString("lobby"));
        }
    }
    if (setup == "kothlobby-nokoth") {
        QVERIFY(join(host, "host"));
        lobbyCode = codeOf(create(host, {{"koth", true}}));
        QVERIFY(!lobbyCode.isEmpty());
    }
    if (setup == "full") {
        QVERIFY(join(other, "other"));
        QCOMPARE(joinLobby(other, lobbyCode).value("type").toString(), QString("lobby"));
    }
    if (setup == "nokoth" || setup == "kothlobby-nokoth") {
        // A launcher whose hello names no optional features.
        QVERIFY(me.connectPlain(server->tcpPort));
        const QJsonObject w = me.waitReply(
            me.send({{"type", "hello"}, {"proto", 1}, {"client", "orx-launcher"}, {"version", "0.1.8"}}));
        QCOMPARE(w.value("type").toString(), QString("welcome"));
        QCOMPARE(me.signUp("meme").value("type").toString(), QString("account"));
    } else {
        QVERIFY(join(me, "meme"));
    }
    if (setup == "member" || setup == "member+other")
        QCOMPARE(create(me).value("type").toString(), QString("lobby"));
    if (setup == "spectator")
        QCOMPARE(memberOf(joinLobby(me, lobbyCode, {{"spectate", true}}), "meme").value("spectator").toBool(),
                 true);
    if (setup == "inmatch") {
        QVERIFY(join(other, "other"));
        QCOMPARE(queueJoin(me, false).value("type").toString(), QString("queued"));
        QCOMPARE(queueJoin(other, false).value("type").toString(), QString("queued"));
        QVERIFY(!me.waitFor("match_found").isEmpty());
    }
    QJsonObject answer;
    for (const QJsonValue &r : requests) {
        QJsonObject msg = r.toObject();
        if (msg.value("lobby") == QJsonValue("CODE"))
            msg.insert("lobby", lobbyCode);
        answer = me.waitReply(me.send(msg));
    }
    QCOMPARE(answer.value("type").toString(), QString("error"));
    QCOMPARE(answer.value("code").toString(), code);
    QCOMPARE(answer.value("re").toString(), requests.last().toObject().value("type").toString());
    QVERIFY(!answer.value("message").toString().isEmpty());
}

void TestServer::lobbyCreateJoinListLeave()
{
    QVERIFY(startServer());
    ScriptedClient a, b, c, d;
    QVERIFY(join(a, "hosta"));
    QVERIFY(join(b, "guestb"));
    QVERIFY(join(c, "watchc"));
    QVERIFY(join(d, "privd"));

    // A public versus lobby: its code, its fields, and the host's copy with the (empty) password.
    const QJsonObject made = create(a, {{"name", "  Friday   night  "}});
    const QJsonObject l = lobbyOf(made);
    const QString code = l.value("id").toString();
    QCOMPARE(code.size(), 5);
    for (QChar ch : code)
        QVERIFY2(QString("ABCDEFGHJKMNPQRSTUVWXYZ23456789").contains(ch), qPrintable(code));
    QCOMPARE(l.value("name").toString(), QString("Friday night"));
    QCOMPARE(l.value("host").toString(), QString("hosta"));
    QCOMPARE(l.value("state").toString(), QString("open"));
    QCOMPARE(l.value("koth").toBool(true), false);
    QCOMPARE(l.value("locked").toBool(true), false);
    QCOMPARE(l.value("rounds").toInt(), 3);
    QVERIFY(l.contains("password"));
    QCOMPARE(memberOf(made, "hosta").value("version").toString(), QString("0.1.8"));

    // A private lobby and a practice lobby are found by code only.
    const QString privCode = codeOf(create(d, {{"password", "secret"}}));
    ScriptedClient e;
    QVERIFY(join(e, "prace"));
    const QJsonObject practice = create(e, {{"mode", "sparring"}, {"rounds", 5}});
    QCOMPARE(lobbyOf(practice).value("rounds").toInt(), 1);
    QCOMPARE(lobbyOf(practice).value("kind").toString(), QString("practice"));
    const QJsonObject listed = c.waitReply(c.send({{"type", "lobby_list"}, {"game", "orx"}}));
    QCOMPARE(listed.value("type").toString(), QString("lobbies"));
    const QJsonArray rows = listed.value("lobbies").toArray();
    QCOMPARE(rows.size(), 1);
    const QJsonObject row = rows[0].toObject();
    QCOMPARE(row.value("id").toString(), code);
    QCOMPARE(row.value("players").toInt(), 1);
    QCOMPARE(row.value("max_players").toInt(), 2);
    QCOMPARE(row.value("host").toString(), QString("hosta"));
    QCOMPARE(row.value("state").toString(), QString("open"));
    QCOMPARE(row.value("region").toString(), QString("eu"));

    // Joined in any case and with spaces; the others hear of it; the guest's copy has no password.
    const QJsonObject joined = joinLobby(b, "  " + code.toLower() + " ");
    QCOMPARE(codeOf(joined), code);
    QVERIFY(!lobbyOf(joined).contains("password"));
    QCOMPARE(lobbyOf(joined).value("state").toString(), QString("full"));
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) { return o.value("state") == "full"; }).isEmpty());
    const QJsonObject watched = joinLobby(c, code, {{"spectate", true}});
    QCOMPARE(memberOf(watched, "watchc").value("spectator").toBool(), true);
    QCOMPARE(lobbyOf(watched).value("members").toArray().size(), 3);
    // The private lobby takes the right password.
    ScriptedClient f;
    QVERIFY(join(f, "friendf"));
    QCOMPARE(joinLobby(f, privCode, {{"password", "secret"}}).value("type").toString(), QString("lobby"));
    const QJsonObject hostCopy =
        waitLobby(d, [](const QJsonObject &o) { return o.value("members").toArray().size() == 2; });
    QCOMPARE(lobbyOf(hostCopy).value("password").toString(), QString("secret"));
    QCOMPARE(lobbyOf(hostCopy).value("locked").toBool(), true);

    // The host leaves: the lobby passes to the player left, the spectator stays a spectator.
    a.inbox().clear();
    const QJsonObject left = a.waitReply(a.send({{"type", "lobby_leave"}}));
    QCOMPARE(left.value("type").toString(), QString("lobby_left"));
    QCOMPARE(left.value("lobby").toString(), code);
    const QJsonObject afterB =
        waitLobby(b, [](const QJsonObject &o) { return o.value("members").toArray().size() == 2; });
    QCOMPARE(lobbyOf(afterB).value("host").toString(), QString("guestb"));
    QCOMPARE(lobbyOf(afterB).value("state").toString(), QString("open"));
    QVERIFY(lobbyOf(afterB).contains("password"));
    QCOMPARE(lobbyOf(waitLobby(c, [](const QJsonObject &o) { return o.value("host") == "guestb"; }))
                 .contains("password"),
             false);
    QVERIFY(!a.has("lobby"));
    // Once everybody is gone, so is the lobby.
    QCOMPARE(b.waitReply(b.send({{"type", "lobby_leave"}})).value("type").toString(), QString("lobby_left"));
    QCOMPARE(
        lobbyOf(waitLobby(c, [](const QJsonObject &o) { return o.value("members").toArray().size() == 1; }))
            .value("host")
            .toString(),
        QString("watchc"));
    QCOMPARE(c.waitReply(c.send({{"type", "lobby_leave"}})).value("type").toString(), QString("lobby_left"));
    QCOMPARE(joinLobby(a, code).value("code").toString(), QString("no_such_lobby"));
    QCOMPARE(c.waitReply(c.send({{"type", "lobby_list"}})).value("lobbies").toArray().size(), 0);
}

void TestServer::lobbyCountdownStopsAndStarts()
{
    QVERIFY(startServer({"--lobby-countdown", "2"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "cnt1"));
    QVERIFY(join(b, "cnt2"));
    const QString code = codeOf(create(a));
    joinLobby(b, code);
    readyUp(a);
    QCOMPARE(memberOf(readyUp(b), "cnt2").value("ready").toBool(), true);
    QCOMPARE(lobbyOf(waitLobby(a, [](const QJsonObject &o) { return o.contains("starts_in"); }))
                 .value("starts_in")
                 .toInt(),
             2);

    // An unready stops it; nothing starts.
    const QJsonObject unready = readyUp(b, false);
    QVERIFY(!lobbyOf(unready).contains("starts_in"));
    QVERIFY(a.waitFor("match_found", 3500).isEmpty());
    QVERIFY(!b.has("match_found"));

    // A leave stops it as well.
    readyUp(b);
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) { return o.value("starts_in") == 2; }).isEmpty());
    QCOMPARE(b.waitReply(b.send({{"type", "lobby_leave"}})).value("type").toString(), QString("lobby_left"));
    const QJsonObject alone =
        waitLobby(a, [](const QJsonObject &o) { return o.value("members").toArray().size() == 1; });
    QVERIFY(!lobbyOf(alone).contains("starts_in"));
    QCOMPARE(memberOf(alone, "cnt1").value("ready").toBool(), true);
    QVERIFY(a.waitFor("match_found", 3500).isEmpty());

    // Back and ready: 2, 1, then the match.
    joinLobby(b, code);
    a.inbox().clear();
    readyUp(b);
    QList<int> seen;
    QJsonObject found;
    QVERIFY(orxtest::waitUntil([&] {
        for (qsizetype i = 0; i < a.inbox().size(); ++i) {
            const QJsonObject m = a.inbox()[i];
            if (m.value("type") == "lobby" && lobbyOf(m).contains("starts_in"))
                seen << lobbyOf(m).value("starts_in").toInt();
            if (m.value("type") == "match_found")
                found = m;
        }
        a.inbox().removeIf([](const QJsonObject &m) { return m.value("type") == "lobby"; });
        return !found.isEmpty();
    }));
    QCOMPARE(seen, QList<int>({2, 1}));
}

void TestServer::lobbyMatchesAndInPlaceRematch()
{
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "vsa"));
    QVERIFY(join(b, "vsb"));
    const QString code = codeOf(create(a, {{"rounds", 5}}));
    joinLobby(b, code);
    readyUp(a);
    readyUp(b);
    const QJsonObject fa = a.waitFor("match_found"), fb = b.waitFor("match_found");
    QCOMPARE(fa.value("lobby").toString(), code);
    QCOMPARE(fa.value("accept_required").toBool(true), false);
    QCOMPARE(fa.value("result_choice").toBool(), true);
    QCOMPARE(fa.value("in_place").toBool(true), false);
    QCOMPARE(fa.value("ranked").toBool(true), false);
    const QString match = fa.value("match").toString();
    QCOMPARE(fb.value("match").toString(), match);
    QVERIFY(!waitLobby(b, [](const QJsonObject &o) { return o.value("state") == "in_match"; }).isEmpty());
    // Getting ready during the match is refused.
    QCOMPARE(readyUp(a).value("code").toString(), QString("busy"));
    a.udpHello(server->udpPort, match);
    b.udpHello(server->udpPort, match);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("rounds").toInt(), 5);
    QCOMPARE(go.go[0].value("lobby").toString(), code);
    QVERIFY(!go.go[0].contains("series"));
    QCOMPARE(go.go[0].value("p1").toString() + go.go[0].value("p2").toString(),
             go.go[0].value("side").toInt() == 1 ? QString("KaedeBrom") : QString("BromKaede"));
    b.inbox().removeIf([](const QJsonObject &m) { return m.value("type") == "lobby"; });
    QCOMPARE(playResult(a, b, go, 0).value("status").toString(), QString("agreed"));
    const QJsonObject after = waitLobby(b, [](const QJsonObject &o) { return o.value("state") == "full"; });
    QCOMPARE(memberOf(after, "vsa").value("wins").toInt(), 1);
    QCOMPARE(memberOf(after, "vsb").value("wins").toInt(), 0);

    // Both ready from the result screen, the loser (b) asks for a rematch: in place, same characters.
    readyUp(a, true, {{"in_place", true}, {"choice", "select"}});
    readyUp(b, true, {{"in_place", true}, {"choice", "rematch"}});
    const QJsonObject fa2 = a.waitFor("match_found");
    QCOMPARE(fa2.value("in_place").toBool(), true);
    QCOMPARE(fa2.value("lobby").toString(), code);
    Go go2;
    go2.go[0] = a.waitFor("match_go");
    go2.go[1] = b.waitFor("match_go");
    QCOMPARE(go2.go[0].value("side"), go.go[0].value("side"));
    QCOMPARE(go2.go[0].value("remote"), go.go[0].value("remote"));
    QCOMPARE(go2.go[1].value("remote"), go.go[1].value("remote"));
    QCOMPARE(go2.go[0].value("p1").toString(), QString("Kaede"));
    QCOMPARE(go2.go[0].value("p2").toString(), QString("Brom"));
    QVERIFY(!a.has("match_peer"));
    a.inbox().removeIf([](const QJsonObject &m) { return m.value("type") == "lobby"; });
    QCOMPARE(playResult(a, b, go2, 1).value("status").toString(), QString("agreed"));
    QCOMPARE(memberOf(waitLobby(a, [](const QJsonObject &o) { return o.value("state") == "full"; }), "vsb")
                 .value("wins")
                 .toInt(),
             1);
    // Lobby matches count as casual ones.
    const QJsonObject casual = a.waitReply(a.send({{"type", "profile"}}))
                                   .value("stats")
                                   .toObject()["orx"]
                                   .toObject()["versus"]
                                   .toObject()["casual"]
                                   .toObject();
    QCOMPARE(casual.value("wins").toInt(), 1);
    QCOMPARE(casual.value("losses").toInt(), 1);

    // A practice lobby plays one round and counts nowhere.
    a.waitReply(a.send({{"type", "lobby_leave"}}));
    b.waitReply(b.send({{"type", "lobby_leave"}}));
    const QString pcode = codeOf(create(a, {{"mode", "sparring"}}));
    joinLobby(b, pcode);
    readyUp(a);
    readyUp(b);
    const QString pmatch = a.waitFor("match_found").value("match").toString();
    b.waitFor("match_found");
    a.udpHello(server->udpPort, pmatch);
    b.udpHello(server->udpPort, pmatch);
    const Go go3 = connectMatch(a, b, pmatch);
    QVERIFY(go3.ok);
    QCOMPARE(go3.go[0].value("rounds").toInt(), 1);
    QCOMPARE(go3.go[0].value("mode").toString(), QString("sparring"));
    a.inbox().removeIf([](const QJsonObject &m) { return m.value("type") == "lobby"; });
    QCOMPARE(playResult(a, b, go3, 0, 1).value("status").toString(), QString("agreed"));
    QCOMPARE(memberOf(waitLobby(a, [](const QJsonObject &o) { return o.value("state") == "full"; }), "vsa")
                 .value("wins")
                 .toInt(),
             0);

    // The database keeps both versus matches with their lobby and kind, and not the practice one.
    const QString m1 = match, m2 = fa2.value("match").toString();
    QVERIFY(server->stop());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "lobbycheck");
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT id, data FROM matches"));
        QStringList ids;
        while (q.next()) {
            ids << q.value(0).toString();
            const QJsonObject rec = QJsonDocument::fromJson(q.value(1).toByteArray()).object();
            QCOMPARE(rec.value("lobby").toString(), code);
            QCOMPARE(rec.value("kind").toString(), QString("versus"));
        }
        ids.sort();
        QStringList want{m1, m2};
        want.sort();
        QCOMPARE(ids, want);
        db.close();
    }
    QSqlDatabase::removeDatabase("lobbycheck");
}

namespace {

// Plays the lobby match both players were offered; winner is 0 for the first client, 1 for the second.
TestServer::Go playLobbyMatch(TestServer &t, ScriptedClient &x, ScriptedClient &y, int winner, QString *match,
                              QJsonObject *found = nullptr)
{
    const QJsonObject fx = x.waitFor("match_found"), fy = y.waitFor("match_found");
    if (found)
        *found = fx;
    *match = fx.value("match").toString();
    TestServer::Go go;
    if (match->isEmpty() || fy.value("match").toString() != *match)
        return go;
    x.udpHello(t.server->udpPort, *match);
    y.udpHello(t.server->udpPort, *match);
    go = t.connectMatch(x, y, *match);
    if (go.ok)
        t.playResult(x, y, go, winner);
    return go;
}

// "name:line" of every member, in the lobby's order, players with line 0.
QStringList lines(const QJsonObject &lobbyMsg)
{
    QStringList out;
    for (const QJsonValue &v : lobbyOf(lobbyMsg).value("members").toArray()) {
        const QJsonObject m = v.toObject();
        out << QStringLiteral("%1:%2%3")
                   .arg(m.value("name").toString())
                   .arg(m.value("line").toInt())
                   .arg(m.value("spectator").toBool() ? "s" : "p");
    }
    return out;
}

} // namespace

void TestServer::kingOfTheHillRotation()
{
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient k, b, c, d;
    QVERIFY(join(k, "king"));
    QVERIFY(join(b, "bee"));
    QVERIFY(join(c, "cee"));
    QVERIFY(join(d, "dee"));
    const QJsonObject made = create(k, {{"koth", true}});
    QCOMPARE(lobbyOf(made).value("koth").toBool(), true);
    QCOMPARE(lobbyOf(made).value("king").toString(), QString("king"));
    const QString code = codeOf(made);
    joinLobby(b, code);
    joinLobby(c, code);
    const QJsonObject four = joinLobby(d, code);
    QCOMPARE(lines(four), QStringList({"king:0p", "bee:0p", "cee:1s", "dee:2s"}));
    QCOMPARE(lobbyOf(four).value("state").toString(), QString("open"));
    QCOMPARE(c.waitReply(c.send({{"type", "lobby_list"}}))
                 .value("lobbies")
                 .toArray()[0]
                 .toObject()
                 .value("max_players")
                 .toInt(),
             8);
    // The line waits: its members do not get ready.
    QCOMPARE(readyUp(c).value("code").toString(), QString("spectator"));

    // Match 1: the king beats bee; bee goes to the back, cee comes in.
    readyUp(k);
    readyUp(b);
    QString m1;
    QJsonObject found;
    QVERIFY(playLobbyMatch(*this, k, b, 0, &m1, &found).ok);
    QCOMPARE(found.value("result_choice").toBool(true), false);
    QCOMPARE(found.value("lobby").toString(), code);
    QJsonObject after = waitLobby(
        d, [](const QJsonObject &o) { return o.value("state") != "in_match" && o.contains("rating"); });
    QCOMPARE(lines(after), QStringList({"king:0p", "bee:2s", "cee:0p", "dee:1s"}));
    QCOMPARE(lobbyOf(after).value("king").toString(), QString("king"));
    QCOMPARE(memberOf(after, "king").value("wins").toInt(), 1);
    QJsonObject rating = lobbyOf(after).value("rating").toObject();
    QCOMPARE(rating.value("match").toString(), m1);
    QCOMPARE(rating.value("winner").toString(), QString("king"));
    QCOMPARE(rating.value("raters").toArray(), QJsonArray({"bee", "cee", "dee"}));
    QCOMPARE(rating.value("rated").toArray(), QJsonArray());

    // Ratings: once per rater, 1 to 10, never one's own win.
    auto rateAs = [&](ScriptedClient &x, const QJsonValue &score) {
        return x.waitReply(x.send({{"type", "lobby_rate"}, {"match", m1}, {"score", score}}));
    };
    QCOMPARE(lobbyOf(rateAs(c, 8)).value("rating").toObject().value("rated").toArray(), QJsonArray({"cee"}));
    QCOMPARE(rateAs(c, 9).value("code").toString(), QString("already_rated"));
    QCOMPARE(rateAs(k, 9).value("code").toString(), QString("not_a_rater"));
    QCOMPARE(rateAs(d, 11).value("code").toString(), QString("bad_score"));
    QCOMPARE(rateAs(d, 0).value("code").toString(), QString("bad_score"));
    QCOMPARE(rateAs(d, 2.5).value("code").toString(), QString("bad_score"));
    QCOMPARE(rateAs(d, "9").value("code").toString(), QString("bad_request"));
    QCOMPARE(lobbyOf(rateAs(d, 9)).value("rating").toObject().value("rated").toArray(),
             QJsonArray({"cee", "dee"}));

    // Match 2: cee dethrones the king, who goes to the back; dee comes in.
    readyUp(k);
    readyUp(c);
    QString m2;
    QVERIFY(playLobbyMatch(*this, k, c, 1, &m2).ok);
    after = waitLobby(
        b, [m2](const QJsonObject &o) { return o.value("rating").toObject().value("match") == m2; });
    QCOMPARE(lobbyOf(after).value("king").toString(), QString("cee"));
    QCOMPARE(lines(after), QStringList({"king:2s", "bee:1s", "cee:0p", "dee:0p"}));
    QCOMPARE(memberOf(after, "cee").value("wins").toInt(), 1);
    QCOMPARE(lobbyOf(after).value("rating").toObject().value("raters").toArray(),
             QJsonArray({"king", "bee", "dee"}));

    // The king leaves while waiting in line; the line closes up.
    b.inbox().clear();
    QCOMPARE(k.waitReply(k.send({{"type", "lobby_leave"}})).value("type").toString(), QString("lobby_left"));
    after = waitLobby(b, [](const QJsonObject &o) { return o.value("members").toArray().size() == 3; });
    QCOMPARE(lines(after), QStringList({"bee:1s", "cee:0p", "dee:0p"}));
    QCOMPARE(lobbyOf(after).value("host").toString(), QString("cee"));

    // The ratings outlive the server.
    QVERIFY(server->stop());
    QVERIFY(startServer());
    ScriptedClient again;
    QVERIFY(again.connectPlain(server->tcpPort));
    again.hello();
    const QJsonObject acc = again.login("king");
    QCOMPARE(acc.value("profile").toObject().value("rating").toObject().value("count").toInt(), 2);
    QCOMPARE(acc.value("profile").toObject().value("rating").toObject().value("average").toDouble(), 8.5);
    const QJsonObject cee =
        again.waitReply(again.send({{"type", "profile"}, {"name", "cee"}})).value("rating").toObject();
    QCOMPARE(cee.value("count").toInt(), 0);
}

void TestServer::lobbyDropAndReturn()
{
    QVERIFY(startServer({"--drop-grace", "3000", "--lobby-countdown", "1"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "dropa"));
    QVERIFY(join(b, "dropb"));
    const QString code = codeOf(create(a));
    joinLobby(b, code);
    readyUp(b);

    // b drops: the place is kept, the readiness is not, and a's readiness starts nothing.
    b.close();
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) {
                 return o.value("members").toArray().size() == 2 &&
                        !o.value("members").toArray()[1].toObject().value("ready").toBool(true);
             }).isEmpty());
    readyUp(a);
    QVERIFY(a.waitFor("match_found", 2500).isEmpty());

    // Back in time: b hears the lobby again, gets ready, and the match comes.
    b.inbox().clear();
    QVERIFY(b.connectPlain(server->tcpPort));
    b.hello();
    QCOMPARE(b.auth(b.token).value("type").toString(), QString("account"));
    const QJsonObject back = b.waitFor("lobby");
    QCOMPARE(codeOf(back), code);
    QCOMPARE(memberOf(back, "dropb").value("ready").toBool(true), false);
    QCOMPARE(memberOf(back, "dropa").value("ready").toBool(), true);
    readyUp(b);
    QVERIFY(!a.waitFor("match_found").isEmpty());
    QVERIFY(!b.waitFor("match_found").isEmpty());
    // b drops while the match is set up: it is called off, and past the grace b is out of the lobby.
    b.close();
    QCOMPARE(a.waitFor("match_cancelled").value("reason").toString(), QString("peer_left"));
    const QJsonObject alone =
        waitLobby(a, [](const QJsonObject &o) { return o.value("members").toArray().size() == 1; });
    QCOMPARE(lobbyOf(alone).value("state").toString(), QString("open"));
    QCOMPARE(lobbyOf(alone).value("host").toString(), QString("dropa"));
    // The host drops for good: the empty lobby is gone.
    a.close();
    ScriptedClient c;
    QVERIFY(join(c, "later"));
    QVERIFY(orxtest::waitUntil(
        [&] {
            const QJsonObject r = c.waitReply(c.send({{"type", "lobby_list"}}));
            return r.value("type") == "lobbies" && r.value("lobbies").toArray().isEmpty();
        },
        15000));
    QCOMPARE(joinLobby(c, code).value("code").toString(), QString("no_such_lobby"));
}

void TestServer::lobbyLeavesSearchAndSeries()
{
    QVERIFY(startServer());
    ScriptedClient a, b, c;
    QVERIFY(join(a, "serla"));
    QVERIFY(join(b, "serlb"));
    QVERIFY(join(c, "serlc"));
    // A casual series between a and b, waiting between two matches.
    const QString match = pairAndAccept(a, b, false, Path::Direct);
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    playResult(a, b, go, 0);
    QVERIFY(!b.waitFor("series", 10000, [](const QJsonObject &o) {
                  return o.value("state") == "between";
              }).isEmpty());

    // b creates a lobby from the result screen: the series is over, left by b.
    const QString code = codeOf(create(b));
    QVERIFY(!code.isEmpty());
    const QJsonObject over =
        a.waitFor("series", 10000, [](const QJsonObject &o) { return o.value("state") == "over"; });
    QCOMPARE(over.value("outcome").toString(), QString("left"));
    QCOMPARE(over.value("left").toString(), QString("serlb"));

    // a searches, then joins the lobby: the search is gone, so c's search finds nobody.
    QCOMPARE(queueJoin(a, false).value("type").toString(), QString("queued"));
    QCOMPARE(joinLobby(a, code).value("type").toString(), QString("lobby"));
    QCOMPARE(queueJoin(c, false).value("type").toString(), QString("queued"));
    const QJsonObject online = c.waitReply(c.send({{"type", "online"}}));
    QCOMPARE(online.value("searching").toInt(), 1);
    QVERIFY(c.waitFor("match_found", 2500).isEmpty());
}

void TestServer::lobbyHostileFields()
{
    // Every request is to reach its handler: no rates.
    QVERIFY(startServer({"--lobby-countdown", "0", "--no-rate-limit"}));
    ScriptedClient a, b, c;
    QVERIFY(join(a, "hostl1"));
    QVERIFY(join(b, "hostl2"));
    QVERIFY(join(c, "hostl3"));
    // A King of the Hill lobby with a match on and a line, so the handlers have state to trip over.
    const QString code = codeOf(create(a, {{"koth", true}}));
    joinLobby(b, code);
    joinLobby(c, code);
    readyUp(a);
    readyUp(b);
    QVERIFY(!a.waitFor("match_found").isEmpty());
    const QStringList types = {"lobby_create", "lobby_join", "lobby_list", "lobby_ready", "lobby_rate"};
    const QStringList fields = {
        "name",       "game",  "mode",       "password", "rounds", "region", "character",
        "link",       "koth",  "lobby",      "spectate", "ready",  "relay",  "hide_always",
        "server_rtt", "delay", "delay_auto", "in_place", "choice", "match",  "score"};
    const QJsonValue values[] = {QJsonValue(),
                                 QJsonArray{1, "x", QJsonObject{}},
                                 QJsonObject{{"a", 1}},
                                 -1,
                                 1e300,
                                 -9007199254740993.0,
                                 3.5,
                                 QString(1200, 'x'),
                                 true,
                                 QString(QChar(0)) + "\n"};
    for (ScriptedClient *x : {&a, &c}) {
        for (const QString &type : types) {
            for (const QJsonValue &v : values) {
                QJsonObject msg{{"type", type}};
                for (const QString &f : fields)
                    msg.insert(f, v);
                const QJsonObject answer = x->waitReply(x->send(msg));
                QVERIFY2(!answer.isEmpty(), qPrintable(type));
            }
        }
    }
    // The server still answers, and the lobby is whole.
    const QJsonObject l = c.waitReply(c.send({{"type", "lobby_join"}, {"lobby", code}}));
    QCOMPARE(lobbyOf(l).value("members").toArray().size(), 3);
    QCOMPARE(lobbyOf(l).value("state").toString(), QString("in_match"));
    QCOMPARE(c.waitReply(c.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
}

void TestServer::lobbyInPlaceKeepsTheRelay()
{
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "rela"));
    QVERIFY(join(b, "relb"));
    const QString code = codeOf(create(a));
    joinLobby(b, code);
    // a hides their address: the lobby match goes through the relay.
    readyUp(a, true, {{"relay", true}, {"hide_always", true}});
    readyUp(b);
    QString match;
    const Go go = playLobbyMatch(*this, a, b, 0, &match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("path").toString(), QString("relay"));
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) { return o.value("state") == "full"; }).isEmpty());

    // The next match in place still has the relay between the two games.
    readyUp(a, true, {{"in_place", true}, {"choice", "select"}, {"relay", true}});
    readyUp(b, true, {{"in_place", true}, {"choice", "select"}});
    QCOMPARE(a.waitFor("match_found").value("in_place").toBool(), true);
    const QJsonObject goA = a.waitFor("match_go"), goB = b.waitFor("match_go");
    QCOMPARE(goA.value("path").toString(), QString("relay"));
    QCOMPARE(goA.value("remote"), go.go[0].value("remote"));
    a.gamePackets().clear();
    b.sendGame("through-the-relay-again", goB.value("remote").toString(), false);
    QTRY_VERIFY_WITH_TIMEOUT(a.gamePackets().contains("through-the-relay-again"), orxtest::scaled(5000));

    // Once the pair is broken up, the relay lets nothing through between them any more.
    Go go2;
    go2.go[0] = goA;
    go2.go[1] = goB;
    playResult(a, b, go2, 1);
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) { return o.value("state") == "full"; }).isEmpty());
    QCOMPARE(b.waitReply(b.send({{"type", "lobby_leave"}})).value("type").toString(), QString("lobby_left"));
    QVERIFY(!waitLobby(a, [](const QJsonObject &o) {
                 return o.value("members").toArray().size() == 1;
             }).isEmpty());
    b.sendGame("after-the-lobby", goB.value("remote").toString(), false);
    QVERIFY(!orxtest::waitUntil([&] { return a.gamePackets().contains("after-the-lobby"); }, 1500));
}

void TestServer::lobbyListIsBounded()
{
    // More public lobbies than a list holds, with the longest names and regions: the list stops at
    // its cap, far below the line limit; lobbies of another game and private ones stay out of it.
    // Every host stays connected (a lobby goes with its last member), all from this address.
    QVERIFY(startServer({"--max-per-address", "200", "--conn-burst", "1000"}));
    std::vector<std::unique_ptr<ScriptedClient>> hosts;
    const int cap = 100;
    for (int i = 0; i < cap + 5; ++i) {
        hosts.push_back(std::make_unique<ScriptedClient>());
        ScriptedClient &h = *hosts.back();
        QVERIFY(h.connectPlain(server->tcpPort) && h.hello().value("type") == "welcome");
        QCOMPARE(h.signUp(QStringLiteral("host%1").arg(i)).value("type").toString(), QString("account"));
        const QString name = QStringLiteral("%1").arg(i, 32, 10, QChar(0x00e9));
        QCOMPARE(create(h, {{"name", name}, {"region", QString(16, QChar(0x00e9))}}).value("type").toString(),
                 QString("lobby"));
    }
    ScriptedClient other, locked, c;
    QVERIFY(join(other, "othergame"));
    const QString otherCode = codeOf(create(other, {{"game", "xyz"}}));
    QVERIFY(join(locked, "lockedone"));
    const QString lockedCode = codeOf(create(locked, {{"password", "pw"}, {"game", "xyz"}}));
    QVERIFY(join(c, "looker"));

    const QJsonObject listed = c.waitReply(c.send({{"type", "lobby_list"}, {"game", "orx"}}));
    const QJsonArray rows = listed.value("lobbies").toArray();
    QCOMPARE(rows.size(), cap);
    for (const QJsonValue &row : rows) {
        QVERIFY(row["id"] != otherCode && row["id"] != lockedCode);
        QVERIFY(!row.toObject().contains("password"));
        QCOMPARE(row["name"].toString().size(), 32);
    }
    QVERIFY2(c.longestLine < 65536 / 2, qPrintable(QString::number(c.longestLine)));
    // The other game's list: its public lobby only.
    const QJsonArray xyz =
        c.waitReply(c.send({{"type", "lobby_list"}, {"game", "xyz"}})).value("lobbies").toArray();
    QCOMPARE(xyz.size(), 1);
    QCOMPARE(xyz[0]["id"].toString(), otherCode);
}

void TestServer::lobbyMembersVersionAndBuild()
{
    // Every member's version and build come from its own hello, to every member; the password only
    // to the host.
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(a.connectPlain(server->tcpPort));
    QCOMPARE(a.waitReply(a.send({{"type", "hello"},
                                 {"proto", 1},
                                 {"client", "orx-launcher"},
                                 {"version", "0.1.9"},
                                 {"build", "nightly-42"},
                                 {"features", QJsonArray{"koth"}}}))
                 .value("type")
                 .toString(),
             QString("welcome"));
    QCOMPARE(a.signUp("builder").value("type").toString(), QString("account"));
    QVERIFY(b.connectPlain(server->tcpPort));
    QCOMPARE(b.hello("0.1.10").value("type").toString(), QString("welcome"));
    QCOMPARE(b.signUp("newer").value("type").toString(), QString("account"));
    const QString code = codeOf(create(a, {{"password", "1234"}}));
    const QJsonObject joined = joinLobby(b, code, {{"password", "1234"}});
    QCOMPARE(memberOf(joined, "builder").value("version").toString(), QString("0.1.9"));
    QCOMPARE(memberOf(joined, "builder").value("build").toString(), QString("nightly-42"));
    QCOMPARE(memberOf(joined, "newer").value("version").toString(), QString("0.1.10"));
    QCOMPARE(memberOf(joined, "newer").value("build").toString(), QString(""));
    QVERIFY(!lobbyOf(joined).contains("password"));
    const QJsonObject hostCopy =
        waitLobby(a, [](const QJsonObject &o) { return o.value("members").toArray().size() == 2; });
    QCOMPARE(memberOf(hostCopy, "newer").value("version").toString(), QString("0.1.10"));
    QCOMPARE(lobbyOf(hostCopy).value("password").toString(), QString("1234"));
}
