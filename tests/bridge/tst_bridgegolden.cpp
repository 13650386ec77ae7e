// Golden documents: each row reaches a state in a few steps (the scripted server feeding a real
// ServerClient and MatchController, orx-testgame as the game) and compares an excerpt with the
// "ui.json" the bridge wrote to the game's session folder: objects key by key, values exactly.

#include "bridgerig.h"
#include "tst_bridge.h"

#include <QJsonArray>
#include <QtTest>

namespace {

QJsonObject json(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(text, &error).object();
    if (error.error != QJsonParseError::NoError)
        qFatal("bad fixture %s: %s", text.constData(), qPrintable(error.errorString()));
    return o;
}

using Steps = std::function<bool(BridgeRig &)>;

struct Row {
    const char *name;
    Steps steps;
    QByteArray excerpt;
    MenuBridge::Timing timing = BridgeRig::fastTiming();
};

// The scripted server says something and the launcher has taken it in.
bool say(BridgeRig &r, const QByteArray &message)
{
    const QJsonObject msg = json(message);
    bool seen = false;
    const auto c = QObject::connect(r.server.get(), &ServerClient::message,
                                    [&](const QJsonObject &m) { seen = seen || m == msg; });
    r.peer.send(msg);
    const bool ok = orxtest::waitUntil([&] { return seen; });
    QObject::disconnect(c);
    return ok;
}

bool lobby(BridgeRig &r, const QByteArray &lobbyJson)
{
    return say(r, R"j({"type":"lobby","lobby":)j" + lobbyJson + "}");
}

bool signedInAndPlaying(BridgeRig &r, const QJsonObject &stats = {})
{
    return r.connectAndSignIn("ann", stats) && r.play();
}

bool search(BridgeRig &r, bool ranked, int maxPing = 0)
{
    MatchController::SearchRequest s;
    s.game = "orx";
    s.mode = "versus";
    s.ranked = ranked;
    s.maxPing = maxPing;
    QString why;
    if (!r.match->queue(s, &why)) {
        qWarning("queue: %s", qPrintable(why));
        return false;
    }
    return true;
}

bool foundMatch(BridgeRig &r, const QByteArray &extra = {})
{
    QByteArray msg =
        R"j({"type":"match_found","match":"m1","game":"orx","mode":"versus","accept_required":true,)j"
        R"j("opponent":{"name":"bob","title":"Silver"},"connection":{"estimate":42,"ping":60})j";
    msg += extra + "}";
    r.peer.send(json(msg));
    return orxtest::waitUntil([&] { return r.match->phase() == MatchController::Found; });
}

QByteArray series(const QByteArray &fields)
{
    return R"j({"type":"series","opponent":"bob",)j" + fields + "}";
}

const QByteArray kTwoPlayers = R"j({"id":"ABCDE","name":"Evening","host":"bob","mode":"versus",)j"
                               R"j("members":[{"name":"ann"},{"name":"bob","wins":1}]})j";

QByteArray versionLobby(const char *version, const char *build = "")
{
    return QByteArray(R"j({"id":"VVVVV","name":"V","host":"bob","mode":"versus","members":[{"name":"ann",)j"
                      R"j("version":"0.1.8"},{"name":"bob","version":")j") +
           version + R"(","build":")" + build + R"("}]})";
}

QString mustUpdate(const char *version)
{
    return QStringLiteral(
               "bob has Orvex Rovivi %1 and you have 0.1.8: your games cannot play each other. bob must "
               "update.")
        .arg(QLatin1String(version));
}

QList<Row> rows()
{
    MenuBridge::Timing shortWindow = BridgeRig::fastTiming();
    shortWindow.finishedSeriesMs = 1500;
    const QString readyTail = " bob is here: get ready, and the match starts once you both are.";
    return {
        {"offline with error and notice",
         [](BridgeRig &r) {
             return r.connect() && r.play() &&
                    say(r, R"j({"type":"notice","text":"Maintenance at six.","level":"info"})j") &&
                    say(r,
                        R"j({"type":"error","code":"client_outdated","re":"hello","message":"Update to play online."})j") &&
                    (r.peer.closeClient(),
                     orxtest::waitUntil([&] { return r.server->state() == ServerClient::Offline; }));
         },
         R"j({"v":1,"account":{"state":"offline","name":"","rank":"","elo":0,"wins":0,"losses":0,"error":"Update to play online."},)j"
         R"j("server":{"online":0,"in_matches":0,"notice":"Maintenance at six."},"side":"off",)j"
         R"j("message":{"id":1,"kind":"info","text":"Maintenance at six."},"lobby":null,)j"
         R"j("series":{"kind":"","opponent":"","mine":0,"theirs":0,"to":0,"state":"","text":""}})j"},
        {"signed out, online 12, a motd",
         [](BridgeRig &r) {
             return r.connect(json(R"j({"online":12,"motd":"Ranked season 3 is on."})j")) && r.play();
         },
         R"j({"account":{"state":"signed_out","name":"","error":""},"server":{"online":12,"in_matches":0,)j"
         R"j("notice":"Ranked season 3 is on."},"message":{"id":0,"kind":"info","text":""}})j"},
        {"signed in with stats",
         [](BridgeRig &r) {
             return signedInAndPlaying(
                        r,
                        json(
                            R"j({"orx":{"versus":{"ranked":{"title":"Gold","elo":1612,"wins":20,"losses":7}}}})j")) &&
                    say(r, R"j({"type":"online","count":40,"playing":9,"games":{"orx":{"matches":6}}})j") &&
                    // Another player's profile is not the player's statistics.
                    say(r,
                        R"j({"type":"profile","name":"bob","stats":{"orx":{"versus":{"ranked":{"title":"Iron","elo":900}}}}})j");
         },
         R"j({"account":{"state":"signed_in","name":"ann","rank":"Gold","elo":1612,"wins":20,"losses":7,"error":""},)j"
         R"j("server":{"online":40,"in_matches":6},"queue":{"state":"idle","kind":"","secs":0,"accept_left":0,)j"
         R"j("opponent":"","opponent_rank":"","ping":0,"text":""}})j"},
        {"signed in, the count of players in matches from playing",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && say(r, R"j({"type":"online","count":7,"playing":2})j") &&
                    say(r,
                        R"j({"type":"profile","name":"ann","stats":{"orx":{"versus":{"ranked":{"title":"Bronze","elo":1400}}}}})j");
         },
         R"j({"account":{"rank":"Bronze","elo":1400,"wins":0},"server":{"online":7,"in_matches":2}})j"},
        {"searching with a raised limit",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && search(r, true, 100) &&
                    say(r, R"j({"type":"queued","ping_widen":{"after":0,"every":15,"step":25,"cap":250}})j");
         },
         R"j({"queue":{"state":"searching","kind":"ranked","secs":0,"accept_left":0,"opponent":"","ping":0,)j"
         R"j("text":"Searching for a ranked match: 0:00. The ping limit is raised to 125 ms to find you someone."}})j"},
        {"found, accept_left at 0 once time is up",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && search(r, false) && foundMatch(r, R"j(,"accept_timeout":1)j");
         },
         R"j({"queue":{"state":"found","kind":"casual","secs":0,"accept_left":0,"opponent":"bob","opponent_rank":"Silver",)j"
         R"j("ping":42,"text":"Match found against bob: accept within 0 seconds."}})j"},
        {"accepted",
         [](BridgeRig &r) {
             if (!(signedInAndPlaying(r) && search(r, false) && foundMatch(r, R"j(,"ranked":true)j")))
                 return false;
             r.match->accept();
             return r.match->phase() == MatchController::Connecting;
         },
         R"j({"queue":{"state":"accepted","kind":"ranked","accept_left":0,"opponent":"bob","ping":42,)j"
         R"j("text":"Accepted. Waiting for your opponent."}})j"},
        {"connecting",
         [](BridgeRig &r) {
             if (!(signedInAndPlaying(r) && search(r, false) && foundMatch(r)))
                 return false;
             r.match->accept();
             return say(
                 r,
                 R"j({"type":"match_peer","match":"m1","key":"k","side":1,"peer":{"public":"127.0.0.1:9"}})j");
         },
         R"j({"queue":{"state":"connecting","kind":"casual","opponent":"bob","ping":42,"text":"Connecting to bob..."}})j"},
        {"a lobby match in Found",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && lobby(r, kTwoPlayers) && foundMatch(r, R"j(,"lobby":"ABCDE")j");
         },
         R"j({"queue":{"state":"idle","kind":"","opponent":"","ping":0,"text":""},"lobby":{"code":"ABCDE","state":"waiting"}})j"},
        {"ranked set between, I keep",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(
                            R"j("ranked":true,"state":"between","you":1,"them":0,"need":2,"keeps":"ann")j"));
         },
         R"j({"series":{"kind":"ranked","opponent":"bob","mine":1,"theirs":0,"to":2,"state":"choosing",)j"
         R"j("text":"You 1, bob 0. You keep your character, bob picks again. The next match of the set starts once both )j"
         R"j(games are ready. Leaving the set now counts as losing it."}})j"},
        {"ranked set between, they keep",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(
                            R"j("ranked":true,"state":"between","you":0,"them":1,"need":2,"keeps":"bob","you_ready":true)j"));
         },
         R"j({"series":{"kind":"ranked","state":"waiting","text":"You 0, bob 1. bob keeps their character, you pick yours )j"
         R"j(again. The next match of the set starts once both games are ready. Leaving the set now counts as losing it."}})j"},
        {"ranked set between, nobody keeps",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r, series(R"j("ranked":true,"state":"between","you":1,"them":1,"need":2)j"));
         },
         R"j({"series":{"state":"choosing","text":"You 1, bob 1. The next match of the set starts once both games are )j"
         R"j(ready. Leaving the set now counts as losing it."}})j"},
        {"casual between, I am ready",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(R"j("state":"between","you":1,"them":0,"you_ready":true,"seconds_left":25)j"));
         },
         R"j({"series":{"kind":"casual","to":0,"state":"waiting","text":"You 1, bob 0. Waiting for bob (25 seconds)."}})j"},
        {"casual between, they are ready",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(
                            R"j("state":"between","you":1,"them":0,"them_ready":true,"seconds_left":12)j"));
         },
         R"j({"series":{"state":"choosing","text":"You 1, bob 0. bob wants to play again (12 seconds)."}})j"},
        {"casual between, nobody ready",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r, series(R"j("state":"between","you":0,"them":2,"seconds_left":30)j"));
         },
         R"j({"series":{"state":"choosing","text":"You 0, bob 2. Rematch, character select, or leave? (30 seconds)"}})j"},
        {"set over, Elo +16",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(
                            R"j("ranked":true,"state":"over","you":2,"them":1,"need":2,"outcome":"won","winner":"ann",)j"
                            R"j("elo":{"ann":{"before":1500,"after":1516,"delta":16,"title_before":"Silver","title_after":"Silver"}})j"));
         },
         R"j({"series":{"kind":"ranked","mine":2,"theirs":1,"to":2,"state":"over","text":"You won the set against bob, 2-1! Elo 1500 to 1516 (+16)."},)j"
         R"j("message":{"id":1,"kind":"info","text":"You won the set against bob, 2-1! Elo 1500 to 1516 (+16)."}})j"},
        {"set over, Elo -10 and a new rank",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        series(
                            R"j("ranked":true,"state":"over","you":0,"them":2,"need":2,"outcome":"won","winner":"bob",)j"
                            R"j("elo":{"ann":{"before":1500,"after":1490,"delta":-10,"title_before":"Silver","title_after":"Bronze"}})j"));
         },
         R"j({"series":{"state":"over","text":"bob won the set, 0-2. Elo 1500 to 1490 (-10). Ranked down to Bronze."}})j"},
        {"a finished series just inside its window",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && lobby(r, kTwoPlayers) &&
                    say(r, series(R"j("state":"over","you":2,"them":1,"outcome":"left","left":"bob")j"));
         },
         R"j({"series":{"kind":"casual","state":"over","text":"bob left the series (2-1)."}})j", shortWindow},
        {"a finished series past its window: the lobby tally",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) && lobby(r, kTwoPlayers) &&
                    say(r, series(R"j("state":"over","you":2,"them":1,"outcome":"left","left":"bob")j")) &&
                    r.waitDoc([](const QJsonObject &d) { return d["series"]["state"] == "over"; }) &&
                    r.waitDoc([](const QJsonObject &d) { return d["series"]["kind"] == "lobby"; });
         },
         R"j({"series":{"kind":"lobby","opponent":"bob","mine":0,"theirs":1,"to":0,"state":"","text":"You 0, bob 1."}})j",
         shortWindow},
        {"a finished series past its window without a lobby",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r, series(R"j("state":"over","you":2,"them":1,"outcome":"disconnected")j")) &&
                    r.waitDoc([](const QJsonObject &d) { return d["series"]["state"] == "over"; });
         },
         R"j({"series":{"kind":"","opponent":"","mine":0,"theirs":0,"to":0,"state":"","text":""}})j",
         shortWindow},
        {"a private lobby's host alone",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(
                        r,
                        R"j({"id":"QX7K2","name":"Friends","host":"ann","mode":"versus","locked":true,"password":"pw-9",)j"
                        R"j("members":[{"name":"ann","ready":false}]})j");
         },
         R"j({"lobby":{"code":"QX7K2","name":"Friends","host":"ann","mode":"versus","koth":false,"locked":true,"password":"pw-9",)j"
         R"j("ready":false,"state":"waiting","text":"Private lobby: your friend joins with the code QX7K2 and the password )j"
         R"j(pw-9. Waiting for an opponent: share the code QX7K2.","members":[{"name":"ann","ready":false,"role":"player","wins":0}]},)j"
         R"j("series":{"kind":""}})j"},
        {"the password kept for the lobby held",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(r,
                          R"j({"id":"QX7K2","host":"ann","password":"pw-9","members":[{"name":"ann"}]})j") &&
                    lobby(r, R"j({"id":"QX7K2","host":"ann","members":[{"name":"ann"},{"name":"bob"}]})j");
         },
         R"j({"lobby":{"password":"pw-9","text":"Private lobby: your friend joins with the code QX7K2 and the password )j"
         R"j(pw-9. bob is here: get ready, and the match starts once you both are."}})j"},
        {"starts_in 2.5",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(
                        r,
                        R"j({"id":"ABCDE","host":"bob","starts_in":2.5,"members":[{"name":"ann","ready":true},{"name":"bob","ready":true}]})j");
         },
         R"j({"lobby":{"ready":true,"password":"","text":"Both players are ready: the match starts in 3 seconds.",)j"
         R"j("members":[{"name":"ann","ready":true,"role":"player","wins":0},{"name":"bob","ready":true,"role":"player","wins":0}]},)j"
         R"j("series":{"kind":"lobby","opponent":"bob","text":"You 0, bob 0."}})j"},
        {"spectator, line 1",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(
                        r,
                        R"j({"id":"KKKKK","koth":true,"king":"bob","members":[{"name":"bob"},{"name":"cid"},)j"
                        R"j({"name":"ann","spectator":true,"line":1}]})j");
         },
         R"j({"lobby":{"koth":true,"text":"You are next in line.","members":[{"name":"bob","role":"player"},{"name":"cid",)j"
         R"j("role":"player"},{"name":"ann","role":"spectator","ready":false,"wins":0}]},"series":{"kind":""}})j"},
        {"spectator, line 2",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(
                        r,
                        R"j({"id":"KKKKK","koth":true,"members":[{"name":"bob"},{"name":"ann","spectator":true,"line":2}]})j");
         },
         R"j({"lobby":{"text":"You are number 2 in line."}})j"},
        {"spectator, not in line",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(r,
                          R"j({"id":"KKKKK","members":[{"name":"bob"},{"name":"ann","spectator":true}]})j");
         },
         R"j({"lobby":{"text":"You are watching: each match plays in your game."}})j"},
        {"the king",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    lobby(
                        r,
                        R"j({"id":"KKKKK","koth":true,"king":"ann","members":[{"name":"ann","wins":3},{"name":"bob"}]})j");
         },
         R"j({"lobby":{"text":"You are the king: get ready to face bob.","members":[{"name":"ann","wins":3},{"name":"bob","wins":0}]},)j"
         R"j("series":{"kind":"lobby","mine":3,"theirs":0,"text":"You 3, bob 0."}})j"},
        {"version 0.1.10",
         [](BridgeRig &r) { return signedInAndPlaying(r) && lobby(r, versionLobby("0.1.10")); },
         R"j({"lobby":{"text":"bob has Orvex Rovivi 0.1.10 and you have 0.1.8: your games cannot play each other. Update )j"
         R"j(Orvex Rovivi (close the game, then update on its Play page). bob is here: get ready, and the match starts )j"
         R"j(once you both are."}})j"},
        {"version 0.1.7",
         [](BridgeRig &r) { return signedInAndPlaying(r) && lobby(r, versionLobby("0.1.7")); },
         QByteArray(R"({"lobby":{"text":")") + (mustUpdate("0.1.7") + readyTail).toUtf8() + R"("}})"},
        {"version 0.1.8.0",
         [](BridgeRig &r) { return signedInAndPlaying(r) && lobby(r, versionLobby("0.1.8.0")); },
         QByteArray(R"({"lobby":{"text":")") + (mustUpdate("0.1.8.0") + readyTail).toUtf8() + R"("}})"},
        {"another build",
         [](BridgeRig &r) {
             if (!signedInAndPlaying(r))
                 return false;
             // A packaged launcher knows its build label (from VERSION.txt beside it).
             const QString app = r.dir.filePath("app");
             QDir().mkpath(app + "/games");
             QFile v(app + "/VERSION.txt");
             if (!v.open(QIODevice::WriteOnly))
                 return false;
             v.write("ORX-Rovivi 0.1.8, packaged build-a\n");
             v.close();
             cfg::setAppDirForTesting(app);
             return cfg::buildLabel() == "build-a" && lobby(r, versionLobby("0.1.8", "build-b"));
         },
         R"j({"lobby":{"text":"bob has another build of Orvex Rovivi 0.1.8 than yours: your matches may go out of step. )j"
         R"j(bob is here: get ready, and the match starts once you both are."}})j"},
        {"a lobby entry without max_players",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        R"j({"type":"lobbies","lobbies":[{"id":"AAAAA","name":"Two","host":"bob","players":1,"mode":"versus",)j"
                        R"j("region":"eu"},{"id":"BBBBB","name":"Hill","host":"cid","players":3,"max_players":8,"mode":"versus",)j"
                        R"j("koth":true,"locked":true,"region":"na"}]})j");
         },
         R"j({"lobbies":{"list":[{"code":"AAAAA","name":"Two","host":"bob","players":1,"max":2,"mode":"versus","koth":false,)j"
         R"j("locked":false,"region":"eu"},{"code":"BBBBB","name":"Hill","host":"cid","players":3,"max":8,"mode":"versus",)j"
         R"j("koth":true,"locked":true,"region":"na"}]}})j"},
        {"leaderboard rows",
         [](BridgeRig &r) {
             return signedInAndPlaying(r) &&
                    say(r,
                        R"j({"type":"leaderboard","by":"elo","rows":[{"rank":1,"name":"cid","title":"Gold","elo":1700,)j"
                        R"j("wins":30,"losses":4},{"rank":2,"name":"bob"}]})j") &&
                    // Another ordering leaves the rows as they are.
                    say(r, R"j({"type":"leaderboard","by":"wins","rows":[{"rank":1,"name":"zed"}]})j");
         },
         R"j({"leaderboard":{"rows":[{"place":1,"name":"cid","rank":"Gold","elo":1700,"wins":30,"losses":4},)j"
         R"j({"place":2,"name":"bob","rank":"","elo":0,"wins":0,"losses":0}]}})j"},
        {"an update offer",
         [](BridgeRig &r) {
             if (!signedInAndPlaying(r))
                 return false;
             r.bridge->setUpdateOffer("0.1.9", "Orvex Rovivi 0.1.9 is out: close the game to update.");
             return true;
         },
         R"j({"update":{"version":"0.1.9","text":"Orvex Rovivi 0.1.9 is out: close the game to update."}})j"},
    };
}

} // namespace

void TestBridgeGolden::documents()
{
    for (const Row &row : rows()) {
        BridgeRig rig(row.timing);
        QVERIFY2(row.steps(rig), row.name);
        const QStringList diffs = rig.waitExcerpt(json(row.excerpt));
        QVERIFY2(diffs.isEmpty(), qPrintable(QString("%1: %2").arg(row.name, diffs.join("; "))));
        // "t" moves with every write, at least once a second.
        const qint64 t = rig.doc().value("t").toInteger();
        QVERIFY2(rig.waitDoc([t](const QJsonObject &d) { return d.value("t").toInteger() > t; }, 3000),
                 row.name);
    }
}

void TestBridgeGolden::acceptLeftNeverNegative()
{
    BridgeRig rig;
    QVERIFY(signedInAndPlaying(rig) && search(rig, false) && foundMatch(rig, R"j(,"accept_timeout":2)j"));
    // Counted down whole seconds, then held at 0.
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["queue"]["accept_left"] == 2; }));
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["queue"]["accept_left"] == 1; }));
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["queue"]["accept_left"] == 0; }));
    const qint64 t = rig.doc().value("t").toInteger();
    QVERIFY(rig.waitDoc([t](const QJsonObject &d) { return d.value("t").toInteger() > t + 1000; }));
    QCOMPARE(rig.doc()["queue"]["accept_left"].toInt(), 0);
}
