// The game's requests and the server's refusals of them, against the scripted server with a real
// orx-testgame where a check needs the player's game: each row a state, one request line, and
// either the refusal (message and log line) or the exact message the server got.

#include "bridge/bridgerules.h"
#include "bridgerig.h"
#include "core/version.h"
#include "gamedata/registry.h"
#include "tst_bridge.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

enum class Setup {
    Offline,    // no server link
    Connected,  // greeted, not signed in
    SignedIn,   // signed in as "ann", no game
    Playing,    // signed in, the player's game in its online menu
    InLobby,    // playing, a player in lobby AB1CD with "bob"
    NewerGuest, // as InLobby, but "bob" has a newer launcher
};

struct Row {
    const char *name;
    Setup setup;
    QList<QPair<QString, QString>> settings;
    QString line;
    QString refusal;  // the error message; empty when the request is sent
    QJsonObject sent; // the message the server gets ("link" filled in); "server_rtt" is checked apart
};

QJsonObject lobbyOf(const QString &guestVersion)
{
    const QJsonArray members{
        QJsonObject{{"name", "ann"}, {"ready", false}, {"spectator", false}, {"version", kLauncherVersion}},
        QJsonObject{{"name", "bob"}, {"ready", false}, {"spectator", false}, {"version", guestVersion}}};
    return {{"id", "AB1CD"},    {"host", "bob"},      {"game", "orx"},
            {"mode", "versus"}, {"state", "waiting"}, {"members", members}};
}

bool setUp(BridgeRig &r, Setup setup)
{
    switch (setup) {
    case Setup::Offline:
        return true;
    case Setup::Connected:
        return r.connect();
    case Setup::SignedIn:
        return r.connectAndSignIn("ann");
    case Setup::Playing:
        return r.connectAndSignIn("ann") && r.play();
    case Setup::InLobby:
    case Setup::NewerGuest:
        if (!r.connectAndSignIn("ann") || !r.play())
            return false;
        r.peer.send(
            {{"type", "lobby"}, {"lobby", lobbyOf(setup == Setup::InLobby ? kLauncherVersion : "0.1.10")}});
        return orxtest::waitUntil([&] { return r.bridge->composeState()["lobby"].isObject(); });
    }
    return false;
}

int sentCount(const BridgeRig &r)
{
    return int(r.peer.lines().size());
}

// A message as sent, without the request number the server link puts on every message.
QJsonObject unnumbered(QJsonObject msg)
{
    msg.remove("id");
    return msg;
}

// The messages of one type that reached the scripted server after `from`.
QList<QJsonObject> sentSince(const BridgeRig &r, int from, const QString &type)
{
    QList<QJsonObject> out;
    for (qsizetype i = from; i < r.peer.lines().size(); ++i)
        if (r.peer.lines().at(i).object.value("type").toString() == type)
            out << unnumbered(r.peer.lines().at(i).object);
    return out;
}

QString message(const BridgeRig &r)
{
    return static_cast<const QJsonObject>(r.bridge->composeState())["message"]["text"].toString();
}

const QString kSignIn = "Sign in first, on Orvex Rovivi's Play page.";

} // namespace

void TestBridgeRequests::initTestCase()
{
    QString error;
    QVERIFY2(GameRegistry::load(&error), qPrintable(error));
}

void TestBridgeRequests::requests()
{
    const QJsonObject rankedJoin{{"type", "queue_join"}, {"game", "orx"},   {"mode", "versus"},
                                 {"ranked", true},       {"region", "eu"},  {"max_ping", 150},
                                 {"strict", false},      {"character", ""}, {"relay", false},
                                 {"hide_always", false}};
    auto join = [&](bool ranked, int delay, bool automatic) {
        QJsonObject j = rankedJoin;
        j["ranked"] = ranked;
        j["delay"] = delay;
        if (automatic)
            j["delay_auto"] = true;
        return j;
    };
    auto lobbyCreate = [](const QString &name, const QString &mode, int rounds, const QString &password) {
        return QJsonObject{{"type", "lobby_create"}, {"name", name},     {"game", "orx"},  {"mode", mode},
                           {"password", password},   {"rounds", rounds}, {"region", "eu"}, {"character", ""}};
    };
    auto lobbyJoin = [](const QString &code) {
        return QJsonObject{{"type", "lobby_join"},
                           {"lobby", code},
                           {"password", ""},
                           {"character", ""},
                           {"spectate", false}};
    };
    const QString longName = QString(40, 'n');
    const QString newer =
        "bob has Orvex Rovivi 0.1.10 and you have 0.1.8: your games cannot play each other. "
        "Update Orvex Rovivi (close the game, then update on its Play page).";
    const QString verb50 = QString(50, 'v');

    const QList<Row> rows = {
        {"kind Ranked", Setup::Playing, {}, "queue kind=Ranked", "A search is ranked or casual.", {}},
        {"queue signed out", Setup::Connected, {}, "queue kind=ranked", kSignIn, {}},
        {"ranked delay 0",
         Setup::Playing,
         {{"online/input_delay", "0"}},
         "queue kind=ranked",
         {},
         join(true, 1, false)},
        {"casual delay 0",
         Setup::Playing,
         {{"online/input_delay", "0"}},
         "queue kind=casual",
         {},
         join(false, 0, false)},
        {"ranked auto",
         Setup::Playing,
         {{"online/input_delay", "auto"}},
         "queue kind=ranked",
         {},
         join(true, 1, true)},
        {"casual auto",
         Setup::Playing,
         {{"online/input_delay", "auto"}},
         "queue kind=casual",
         {},
         join(false, 1, true)},
        {"casual 3",
         Setup::Playing,
         {{"online/input_delay", "3"}},
         "queue kind=casual",
         {},
         join(false, 3, false)},
        {"strict only ranked",
         Setup::Playing,
         {{"online/input_delay", "3"}, {"online/strict", "true"}},
         "queue kind=casual",
         {},
         join(false, 3, false)},
        {"queue in a lobby",
         Setup::InLobby,
         {},
         "queue kind=casual",
         "You are in a lobby: leave it first.",
         {}},
        {"queue without the game",
         Setup::SignedIn,
         {},
         "queue kind=casual",
         "Your game is not running: press PLAY in Orvex Rovivi to start it.",
         {}},
        {"cancel idle", Setup::Playing, {}, "cancel", "You are not searching.", {}},
        {"accept idle", Setup::Playing, {}, "accept", "No match is waiting for an answer.", {}},
        {"decline idle", Setup::Playing, {}, "decline", "No match is waiting for an answer.", {}},
        {"leave no series", Setup::Playing, {}, "leave", "You are not in a set or a series.", {}},
        {"rematch no series",
         Setup::Playing,
         {},
         "rematch value=rematch",
         "No next match is being chosen.",
         {}},
        {"side up", Setup::Offline, {}, "side value=up", "The preferred side is off, left or right.", {}},
        {"side Left", Setup::Offline, {}, "side value=Left", "The preferred side is off, left or right.", {}},
        {"lobbies signed out", Setup::Connected, {}, "lobbies", kSignIn, {}},
        {"lobbies", Setup::SignedIn, {}, "lobbies", {}, {{"type", "lobby_list"}, {"game", "orx"}}},
        {"create signed out", Setup::Connected, {}, "lobby_create", kSignIn, {}},
        {"rounds 2",
         Setup::SignedIn,
         {},
         "lobby_create rounds=2 name=x",
         {},
         lobbyCreate("x", "versus", 5, "")},
        {"rounds x",
         Setup::SignedIn,
         {},
         "lobby_create rounds=x name=x",
         {},
         lobbyCreate("x", "versus", 5, "")},
        {"rounds 3",
         Setup::SignedIn,
         {},
         "lobby_create rounds=3 name=x mode=sparring",
         {},
         lobbyCreate("x", "sparring", 3, "")},
        {"mode practice",
         Setup::SignedIn,
         {},
         "lobby_create mode=practice",
         "A lobby is versus or Rovivi Practice (sparring).",
         {}},
        {"mode unknown",
         Setup::SignedIn,
         {},
         "lobby_create mode=golf",
         "A lobby is versus or Rovivi Practice (sparring).",
         {}},
        {"koth without the feature",
         Setup::SignedIn,
         {},
         "lobby_create koth=1",
         "This server has no King of the Hill lobbies.",
         {}},
        {"koth=yes is no koth",
         Setup::SignedIn,
         {},
         "lobby_create koth=yes name=x",
         {},
         lobbyCreate("x", "versus", 5, "")},
        {"private=yes",
         Setup::SignedIn,
         {},
         "lobby_create private=yes name=x",
         {},
         lobbyCreate("x", "versus", 5, "")},
        {"password kept",
         Setup::SignedIn,
         {},
         "lobby_create private=1 password=a%20b name=x",
         {},
         lobbyCreate("x", "versus", 5, "a b")},
        {"password cut",
         Setup::SignedIn,
         {},
         "lobby_create name=x password=" + QString(70, 'p'),
         {},
         lobbyCreate("x", "versus", 5, QString(64, 'p'))},
        {"40-character name",
         Setup::SignedIn,
         {},
         "lobby_create name=" + longName,
         {},
         lobbyCreate(QString(32, 'n'), "versus", 5, "")},
        {"all-space name",
         Setup::SignedIn,
         {},
         "lobby_create name=%20%20%20",
         {},
         lobbyCreate("ann's lobby", "versus", 5, "")},
        {"name simplified",
         Setup::SignedIn,
         {},
         "lobby_create name=%20Caf%C3%A9%20%20night%09",
         {},
         lobbyCreate(QString::fromUtf8("Caf\xC3\xA9 night"), "versus", 5, "")},
        {"join signed out", Setup::Connected, {}, "lobby_join code=AB1CD", kSignIn, {}},
        {"code %20ab1cd", Setup::SignedIn, {}, "lobby_join code=%20ab1cd", {}, lobbyJoin("AB1CD")},
        {"four characters",
         Setup::SignedIn,
         {},
         "lobby_join code=ab1c",
         "Lobby codes have 5 characters.",
         {}},
        {"code= x", Setup::SignedIn, {}, "lobby_join code= x", "Lobby codes have 5 characters.", {}},
        {"watch=true",
         Setup::SignedIn,
         {},
         "lobby_join code=zz9zz watch=true password=pw",
         {},
         QJsonObject{{"type", "lobby_join"},
                     {"lobby", "ZZ9ZZ"},
                     {"password", "pw"},
                     {"character", ""},
                     {"spectate", true}}},
        {"same lobby", Setup::InLobby, {}, "lobby_join code=ab1cd", "You are in lobby AB1CD already.", {}},
        {"ready outside a lobby", Setup::Playing, {}, "lobby_ready value=1", "You are not in a lobby.", {}},
        {"leave outside a lobby", Setup::Playing, {}, "lobby_leave", "You are not in a lobby.", {}},
        {"ready with a newer guest", Setup::NewerGuest, {}, "lobby_ready value=true", newer, {}},
        {"not ready with a newer guest",
         Setup::NewerGuest,
         {},
         "lobby_ready value=0",
         {},
         QJsonObject{{"type", "lobby_ready"},
                     {"ready", false},
                     {"relay", false},
                     {"hide_always", false},
                     {"delay", 1},
                     {"delay_auto", true}}},
        {"ready",
         Setup::InLobby,
         {{"online/input_delay", "2"}, {"online/hide_ip", "true"}},
         "lobby_ready value=1",
         {},
         QJsonObject{{"type", "lobby_ready"},
                     {"ready", true},
                     {"relay", true},
                     {"hide_always", false},
                     {"delay", 2}}},
        {"lobby_leave", Setup::InLobby, {}, "lobby_leave", {}, QJsonObject{{"type", "lobby_leave"}}},
        {"leaderboard offline", Setup::Offline, {}, "leaderboard", "Not connected to the server.", {}},
        {"leaderboard connected",
         Setup::Connected,
         {},
         "leaderboard",
         {},
         QJsonObject{
             {"type", "leaderboard"}, {"game", "orx"}, {"mode", "versus"}, {"limit", 100}, {"by", "elo"}}},
        {"50-character verb",
         Setup::Offline,
         {},
         verb50,
         "The launcher does not know what \"" + verb50.left(30) + "\" asks for: update Orvex Rovivi.",
         {}},
        {"verbs are case-sensitive",
         Setup::SignedIn,
         {},
         "Lobbies",
         "The launcher does not know what \"Lobbies\" asks for: update Orvex Rovivi.",
         {}},
    };

    for (const Row &row : rows) {
        BridgeRig rig;
        for (const auto &[key, value] : row.settings)
            cfg::set(key, value);
        QVERIFY2(setUp(rig, row.setup), row.name);
        const QString verb = bridgerules::parseRequest(row.line).verb;
        const int from = sentCount(rig);
        const QString before = message(rig);
        rig.bridge->handleRequest(row.line);
        if (!row.refusal.isEmpty()) {
            QVERIFY2(message(rig) == row.refusal, qPrintable(QString("%1: %2").arg(row.name, message(rig))));
            QVERIFY2(rig.log().contains(QString("bridge: %1 not done: %2\n").arg(verb, row.refusal)),
                     row.name);
            QCOMPARE(static_cast<const QJsonObject>(rig.bridge->composeState())["message"]["kind"].toString(),
                     QString("error"));
            // Nothing reached the server for a refused request.
            QTest::qWait(50);
            for (qsizetype i = from; i < rig.peer.lines().size(); ++i) {
                const QString type = rig.peer.lines().at(i).object.value("type").toString();
                QVERIFY2(type == "ping" || type == "hello",
                         qPrintable(QString("%1 sent %2").arg(row.name, type)));
            }
            continue;
        }
        const QString type = row.sent.value("type").toString();
        QVERIFY2(orxtest::waitUntil([&] { return !sentSince(rig, from, type).isEmpty(); }), row.name);
        QJsonObject got = sentSince(rig, from, type).constFirst();
        QJsonObject want = row.sent;
        if (type != "lobby_list" && type != "leaderboard" && type != "lobby_leave")
            want["link"] = rig.server->linkType();
        if (got.contains("server_rtt")) {
            QVERIFY2(got.value("server_rtt").isDouble() && got.value("server_rtt").toInt() >= 0, row.name);
            got.remove("server_rtt");
        }
        QVERIFY2(got == want, qPrintable(QString("%1: got %2 want %3")
                                             .arg(row.name, QJsonDocument(got).toJson(QJsonDocument::Compact),
                                                  QJsonDocument(want).toJson(QJsonDocument::Compact))));
        QVERIFY2(message(rig) == before, row.name); // a request carried out has no message of its own
    }
}

void TestBridgeRequests::privateLobby()
{
    BridgeRig rig;
    QVERIFY(rig.connectAndSignIn("ann"));
    rig.bridge->handleRequest("lobby_create private=1 name=Caf%C3%A9");
    QVERIFY(orxtest::waitUntil([&] { return rig.peer.count("lobby_create") == 1; }));
    const QString password = rig.peer.last("lobby_create").value("password").toString();
    QVERIFY2(QRegularExpression("^[1-9][0-9]{3}$").match(password).hasMatch(), qPrintable(password));
    // The host sees the password the server does not send back.
    QJsonObject lobby = lobbyOf(kLauncherVersion);
    lobby["host"] = "ann";
    lobby["members"] = QJsonArray{QJsonObject{{"name", "ann"}, {"ready", false}, {"spectator", false}}};
    rig.peer.send({{"type", "lobby"}, {"lobby", lobby}});
    QVERIFY(orxtest::waitUntil([&] { return rig.bridge->composeState()["lobby"].isObject(); }));
    const QJsonObject shown = rig.bridge->composeState()["lobby"].toObject();
    QCOMPARE(shown["password"].toString(), password);
    QVERIFY2(shown["text"].toString().contains("the password " + password),
             qPrintable(shown["text"].toString()));
}

void TestBridgeRequests::lobbyListRefresh()
{
    MenuBridge::Timing timing = BridgeRig::fastTiming();
    timing.lobbyListMs = 100;
    timing.lobbyListFreshMs = 700;
    BridgeRig rig(timing);
    QVERIFY(rig.connectAndSignIn("ann"));
    rig.bridge->handleRequest("lobbies");
    // Asked again on the timer while the ask is fresh, then no more.
    QVERIFY(orxtest::waitUntil([&] { return rig.peer.count("lobby_list") >= 4; }));
    QVERIFY(unnumbered(rig.peer.last("lobby_list")) ==
            (QJsonObject{{"type", "lobby_list"}, {"game", "orx"}}));
    int settled = -1;
    QVERIFY(orxtest::waitUntil(
        [&] {
            const int now = rig.peer.count("lobby_list");
            const bool same = now == settled;
            settled = now;
            return same;
        },
        10000));
    QVERIFY(settled <= 2 + 700 / 100 + 1);
}

void TestBridgeRequests::errors()
{
    struct ErrorRow {
        const char *name;
        bool inLobby;
        QString re;
        QString code;
        QString message; // the message the game gets; empty: none
        QString logLine;
    };
    const QList<ErrorRow> rows = {
        {"too many tries",
         false,
         "lobby_join",
         "too_many_tries",
         "Too many wrong passwords. Try again in a few minutes.",
         {}},
        {"series after its end",
         false,
         "series_ready",
         "no_such_series",
         {},
         "bridge: series_ready came after the series' end"},
        {"no such series elsewhere", false, "queue_join", "no_such_series", "server says", {}},
        {"create refused", false, "lobby_create", "bad_name", "The lobby could not be made: server says", {}},
        {"join refused", false, "lobby_join", "bad_password", "Could not join the lobby: server says", {}},
        {"busy outside a lobby", false, "lobby_join", "busy", "Could not join the lobby: server says", {}},
        {"slow down", false, "lobby_list", "slow_down", "server says", {}},
        {"queue", false, "queue_join", "no_game", "server says", {}},
        {"series", false, "series_ready", "bad_choice", "server says", {}},
        {"match", false, "match_result", "late", "server says", {}},
        {"leaderboard", false, "leaderboard", "slow_down", "server says", {}},
        {"other requests", false, "profile", "nope", {}, {}},
        {"queued is no lobby_", false, "lobbyx", "nope", {}, {}},
        {"not in lobby", true, "lobby_ready", "not_in_lobby", {}, {}},
    };
    for (const ErrorRow &row : rows) {
        BridgeRig rig;
        QVERIFY2(setUp(rig, row.inLobby ? Setup::InLobby : Setup::SignedIn), row.name);
        const QJsonObject before = rig.bridge->composeState()["message"].toObject();
        rig.peer.send({{"type", "error"}, {"re", row.re}, {"code", row.code}, {"message", "server says"}});
        if (!row.message.isEmpty()) {
            QVERIFY2(orxtest::waitUntil([&] { return message(rig) == row.message; }),
                     qPrintable(message(rig)));
            QCOMPARE(static_cast<const QJsonObject>(rig.bridge->composeState())["message"]["kind"].toString(),
                     QString("error"));
        } else {
            // A ping's answer after the error shows the error was read.
            const int pongs = rig.peer.count("leaderboard");
            rig.bridge->handleRequest("leaderboard");
            QVERIFY(orxtest::waitUntil([&] { return rig.peer.count("leaderboard") > pongs; }));
            QTest::qWait(100);
            QVERIFY2(rig.bridge->composeState()["message"].toObject() == before, row.name);
        }
        if (!row.logLine.isEmpty())
            QVERIFY2(orxtest::waitUntil([&] { return rig.log().contains(row.logLine); }), row.name);
        if (row.inLobby)
            QVERIFY2(orxtest::waitUntil([&] { return rig.bridge->composeState()["lobby"].isNull(); }),
                     row.name);
    }
}

void TestBridgeRequests::busyRetriedOnce()
{
    BridgeRig rig;
    QVERIFY(setUp(rig, Setup::InLobby));
    rig.bridge->handleRequest("lobby_join code=zz9zz");
    QVERIFY(orxtest::waitUntil([&] { return rig.peer.count("lobby_join") == 1; }));
    const QJsonObject first = unnumbered(rig.peer.last("lobby_join"));
    const QJsonObject busy{
        {"type", "error"}, {"re", "lobby_join"}, {"code", "busy"}, {"message", "in a lobby"}};
    rig.peer.send(busy);
    QVERIFY(orxtest::waitUntil([&] { return rig.peer.count("lobby_join") == 2; }));
    QCOMPARE(rig.peer.count("lobby_leave"), 1);
    QCOMPARE(unnumbered(rig.peer.last("lobby_join")), first);
    // The leave comes before the resend.
    const QStringList types = rig.peer.types();
    QVERIFY(types.lastIndexOf("lobby_leave") < types.lastIndexOf("lobby_join"));
    QCOMPARE(message(rig), QString());
    rig.peer.send(busy);
    QVERIFY(orxtest::waitUntil([&] { return message(rig) == "Could not join the lobby: in a lobby"; }));
    QCOMPARE(rig.peer.count("lobby_leave"), 1);
    QCOMPARE(rig.peer.count("lobby_join"), 2);
}

void TestBridgeRequests::awayFromTheMenu()
{
    // The game leaves its online menu once the menu shows the player ready, and comes back.
    QTemporaryDir scripts;
    const QString script = scripts.filePath("away.txt");
    {
        QFile f(script);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("wait lobby.ready=true 30000\n"
                "status away\n"
                "at 300 status away\n"
                "at 600 status ready\n");
    }
    BridgeRig rig(BridgeRig::fastTiming(), {"--script", script});
    QVERIFY(setUp(rig, Setup::InLobby));
    QJsonObject lobby = lobbyOf(kLauncherVersion);
    QJsonArray members = lobby["members"].toArray();
    QJsonObject ann = members.at(0).toObject();
    ann["ready"] = true;
    members.replace(0, ann);
    lobby["members"] = members;
    QStringList statuses;
    QObject::connect(rig.match.get(), &MatchController::gameStatusChanged,
                     [&](const QString &line) { statuses << line.section(' ', 0, 0); });
    const int from = int(rig.peer.lines().size());
    rig.peer.send({{"type", "lobby"}, {"lobby", lobby}});
    QVERIFY2(orxtest::waitUntil([&] { return !sentSince(rig, from, "lobby_ready").isEmpty(); }),
             qPrintable(rig.gameLog()));
    QCOMPARE(sentSince(rig, from, "lobby_ready").constFirst(),
             (QJsonObject{{"type", "lobby_ready"}, {"ready", false}}));
    QCOMPARE(message(rig), QString("You left the online menu, so you are no longer ready in the lobby."));
    QCOMPARE(static_cast<const QJsonObject>(rig.bridge->composeState())["message"]["kind"].toString(),
             QString("info"));
    QVERIFY(rig.log().contains("bridge: the game left its online menu: no longer ready in the lobby"));
    // Still away a moment later, then back: one "not ready" only.
    QVERIFY2(orxtest::waitUntil([&] {
                 const qsizetype away = statuses.indexOf("away");
                 return away >= 0 && statuses.indexOf("ready", away) > away;
             }),
             qPrintable(statuses.join(' ')));
    QCOMPARE(sentSince(rig, from, "lobby_ready").size(), 1);
}

void TestBridgeRequests::gameClosed()
{
    BridgeRig rig;
    QVERIFY(setUp(rig, Setup::InLobby));
    const int from = int(rig.peer.lines().size());
    rig.match->matchGame()->stop();
    QVERIFY(orxtest::waitUntil([&] { return !sentSince(rig, from, "lobby_leave").isEmpty(); }));
    QVERIFY(rig.log().contains("bridge: the game closed: leaving the lobby"));
    QVERIFY(!rig.log().contains("bridge: the game closed: leaving the set or series"));
}

void TestBridgeRequests::cancelWhileConnecting()
{
    struct CancelRow {
        const char *name;
        QJsonObject found;      // the server's "match_found" after a casual search
        bool acceptThroughMenu; // the game's own "accept"; else the controller accepts
        bool cancels;
    };
    QJsonObject asked{{"type", "match_found"},   {"match", "m1"},
                      {"game", "orx"},           {"mode", "versus"},
                      {"accept_required", true}, {"opponent", QJsonObject{{"name", "bob"}}}};
    QJsonObject noAnswer = asked;
    noAnswer["accept_required"] = false;
    noAnswer["series"] = QJsonObject{{"id", "s1"}};
    QJsonObject lobbyMatch = asked;
    lobbyMatch["accept_required"] = false;
    lobbyMatch["lobby"] = "AB1CD";
    const QList<CancelRow> rows = {
        {"accepted elsewhere", asked, false, true},
        {"accepted by the game", asked, true, false},
        {"no acceptance needed", noAnswer, false, false},
        {"lobby match", lobbyMatch, false, false},
    };
    for (const CancelRow &row : rows) {
        BridgeRig rig;
        QVERIFY2(setUp(rig, Setup::Playing), row.name);
        rig.bridge->handleRequest("queue kind=casual");
        QVERIFY2(orxtest::waitUntil([&] { return rig.match->phase() == MatchController::Searching; }),
                 row.name);
        rig.peer.send(row.found);
        QVERIFY2(orxtest::waitUntil([&] {
                     const MatchController::Phase p = rig.match->phase();
                     return p == MatchController::Found || p == MatchController::Connecting;
                 }),
                 row.name);
        if (rig.match->phase() == MatchController::Found) {
            if (row.acceptThroughMenu)
                rig.bridge->handleRequest("accept");
            else
                rig.match->accept();
        }
        QVERIFY2(rig.match->phase() == MatchController::Connecting, row.name);
        const int from = sentCount(rig);
        rig.bridge->handleRequest("cancel");
        if (row.cancels) {
            QVERIFY2(orxtest::waitUntil([&] { return !sentSince(rig, from, "match_decline").isEmpty(); }),
                     row.name);
            QVERIFY2(message(rig).isEmpty(), qPrintable(message(rig)));
        } else {
            QVERIFY2(message(rig) == "The match is already being set up.", qPrintable(message(rig)));
            QVERIFY2(rig.log().contains("bridge: cancel not done: The match is already being set up."),
                     row.name);
            QTest::qWait(50);
            QVERIFY2(sentSince(rig, from, "match_decline").isEmpty(), row.name);
        }
    }
}
