// The pure rules of the menu bridge: the request grammar, versions, and the sentences of the menu.

#include "bridge/bridgerules.h"
#include "tst_bridge.h"

#include <QJsonDocument>
#include <QtTest>

using namespace bridgerules;

namespace {

QJsonObject json(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(text, &error).object();
    if (error.error != QJsonParseError::NoError)
        qFatal("bad fixture %s: %s", text.constData(), qPrintable(error.errorString()));
    return o;
}

// The arguments as "key=value" items in key order, joined with "|".
QString argsText(const QHash<QString, QString> &args)
{
    QStringList keys = args.keys();
    keys.sort();
    QStringList items;
    for (const QString &k : keys)
        items << k + "=" + args.value(k);
    return items.join('|');
}

} // namespace

void TestBridgeRules::grammar_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QString>("args");
    QTest::newRow("the example") << "ask n=12 lobby_create name=Caf%C3%A9%20night rounds=3 private"
                                 << "lobby_create" << QString::fromUtf8("name=Café night|rounds=3");
    QTest::newRow("without ask and counter") << "queue kind=ranked"
                                             << "queue"
                                             << "kind=ranked";
    QTest::newRow("runs of spaces") << "ask   n=3   accept   x=1  "
                                    << "accept"
                                    << "x=1";
    QTest::newRow("only ask") << "ask"
                              << ""
                              << "";
    QTest::newRow("only a counter") << "n=5"
                                    << ""
                                    << "";
    QTest::newRow("ask and a counter") << "ask n=5"
                                       << ""
                                       << "";
    QTest::newRow("a second counter is the verb") << "ask n=1 n=2"
                                                  << "n=2"
                                                  << "";
    QTest::newRow("verbs are case-sensitive") << "ASK Queue kind=casual"
                                              << "ASK"
                                              << "kind=casual";
    QTest::newRow("percent-encoded space") << "lobby_create name=My%20Lobby"
                                           << "lobby_create"
                                           << "name=My Lobby";
    QTest::newRow("split at the first =") << "x name=a=b"
                                          << "x"
                                          << "name=a=b";
    QTest::newRow("a word starting with = is ignored") << "x =skip y=1"
                                                       << "x"
                                                       << "y=1";
    QTest::newRow("a word without = is ignored") << "x private watch"
                                                 << "x"
                                                 << "";
    QTest::newRow("a key twice keeps the last") << "x a=1 a=2"
                                                << "x"
                                                << "a=2";
    QTest::newRow("empty value") << "x a="
                                 << "x"
                                 << "a=";
    QTest::newRow("raw UTF-8 bytes") << QString::fromLatin1("x name=Caf\xC3\xA9 z=\xE2\x82\xAC") << "x"
                                     << QString::fromUtf8("name=Café|z=€");
    QTest::newRow("raw and encoded mixed")
        << QString::fromLatin1("x name=\xC3%A9") << "x" << QString::fromUtf8("name=é");
    QTest::newRow("a lone percent sign stays") << "x a=100% b=%"
                                               << "x"
                                               << "a=100%|b=%";
    QTest::newRow("percent without two hex digits stays") << "x a=%zz b=%4 c=%4g d=%%41"
                                                          << "x"
                                                          << "a=%zz|b=%4|c=%4g|d=%A";
    QTest::newRow("lower-case hex") << "x a=%c3%a9"
                                    << "x" << QString::fromUtf8("a=é");
    QTest::newRow("bytes that are no UTF-8") << "x a=%FF"
                                             << "x" << QString::fromUtf8("a=\xEF\xBF\xBD");
}

void TestBridgeRules::grammar()
{
    QFETCH(QString, line);
    QFETCH(QString, verb);
    QFETCH(QString, args);
    const Request r = parseRequest(line);
    QCOMPARE(r.verb, verb);
    QCOMPARE(argsText(r.args), args);
}

void TestBridgeRules::requestLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("log");
    QTest::newRow("no ask") << "queue kind=ranked"
                            << "bridge: ask queue kind=ranked";
    QTest::newRow("with ask") << "ask n=1 accept"
                              << "bridge: ask n=1 accept";
    QTest::newRow("ask glued to the verb") << "askfoo"
                                           << "bridge: ask askfoo";
    QTest::newRow("ASK is not ask") << "ASK x"
                                    << "bridge: ask ASK x";
    const QString longLine = "ask " + QString(300, 'a');
    QTest::newRow("cut to 200") << longLine << "bridge: " + longLine.left(200);
    const QString longNoAsk = QString(300, 'b');
    QTest::newRow("cut, then ask in front") << longNoAsk << "bridge: ask " + longNoAsk.left(200);
}

void TestBridgeRules::requestLines()
{
    QFETCH(QString, line);
    QFETCH(QString, log);
    QCOMPARE(requestLogLine(line), log);
}

void TestBridgeRules::unknownVerb()
{
    QCOMPARE(unknownVerbText("dance"), QString("The launcher does not know what \"dance\" asks for: update "
                                               "Orvex Rovivi."));
    QCOMPARE(unknownVerbText(""),
             QString("The launcher does not know what \"\" asks for: update Orvex Rovivi."));
    const QString verb = "abcdefghijklmnopqrstuvwxyz0123456789";
    QCOMPARE(unknownVerbText(verb),
             QString("The launcher does not know what \"abcdefghijklmnopqrstuvwxyz0123\" "
                     "asks for: update Orvex Rovivi."));
}

void TestBridgeRules::versions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("number by number") << "0.1.10"
                                      << "0.1.8" << 1;
    QTest::newRow("lower") << "0.1.7"
                           << "0.1.8" << -1;
    QTest::newRow("a zero piece more is equal") << "0.1.8.0"
                                                << "0.1.8" << 0;
    QTest::newRow("a non-zero piece more is higher") << "0.1.8.1"
                                                     << "0.1.8" << 1;
    QTest::newRow("a piece that is no number counts 0") << "0.1.x"
                                                        << "0.1.0" << 0;
    QTest::newRow("empty pieces count 0") << "0..8"
                                          << "0.0.8" << 0;
    QTest::newRow("major first") << "1.0"
                                 << "0.99.99" << 1;
    QTest::newRow("equal") << "0.1.8"
                           << "0.1.8" << 0;
}

void TestBridgeRules::versions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    const int got = compareVersions(a, b);
    QCOMPARE((got > 0) - (got < 0), order);
    QCOMPARE((compareVersions(b, a) > 0) - (compareVersions(b, a) < 0), -order);
}

void TestBridgeRules::versionCheck_data()
{
    QTest::addColumn<QByteArray>("members");
    QTest::addColumn<QString>("myBuild");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("blocks");
    const QString update =
        "ann has Orvex Rovivi %1 and you have 0.1.8: your games cannot play each other. Update "
        "Orvex Rovivi (close the game, then update on its Play page).";
    const QString must =
        "%2 has Orvex Rovivi %1 and you have 0.1.8: your games cannot play each other. %2 must "
        "update.";
    QTest::newRow("0.1.10 is newer") << QByteArray(R"j([{"name":"me"},{"name":"ann","version":"0.1.10"}])j")
                                     << "" << update.arg("0.1.10") << true;
    QTest::newRow("0.1.7 is older") << QByteArray(R"j([{"name":"me"},{"name":"ann","version":"0.1.7"}])j")
                                    << "" << must.arg("0.1.7", "ann") << true;
    QTest::newRow("0.1.8.0 is equal in numbers") << QByteArray(R"j([{"name":"ann","version":"0.1.8.0"}])j")
                                                 << "" << must.arg("0.1.8.0", "ann") << true;
    QTest::newRow("another build")
        << QByteArray(R"j([{"name":"ann","version":"0.1.8","build":"b2"}])j") << "b1"
        << "ann has another build of Orvex Rovivi 0.1.8 than yours: your matches may go out of step."
        << false;
    QTest::newRow("the same build") << QByteArray(R"j([{"name":"ann","version":"0.1.8","build":"b1"}])j")
                                    << "b1"
                                    << "" << false;
    QTest::newRow("no build of my own")
        << QByteArray(R"j([{"name":"ann","version":"0.1.8","build":"b2"}])j") << ""
        << "" << false;
    QTest::newRow("no version: skipped") << QByteArray(R"j([{"name":"ann","version":""}])j") << ""
                                         << "" << false;
    QTest::newRow("my own entry is skipped") << QByteArray(R"j([{"name":"me","version":"0.2"}])j") << ""
                                             << "" << false;
    QTest::newRow("a spectator out of the line is skipped")
        << QByteArray(R"j([{"name":"me"},{"name":"ann","version":"0.1.7","spectator":true,"line":0}])j") << ""
        << "" << false;
    QTest::newRow("a spectator in the line counts, not blocking")
        << QByteArray(R"j([{"name":"me"},{"name":"ann","version":"0.1.7","spectator":true,"line":1}])j") << ""
        << must.arg("0.1.7", "ann") << false;
    QTest::newRow("as a spectator: other spectators are skipped")
        << QByteArray(
               R"j([{"name":"me","spectator":true},{"name":"ann","version":"0.1.7","spectator":true,"line":2}])j")
        << ""
        << "" << false;
    QTest::newRow("as a spectator: players count, not blocking")
        << QByteArray(R"j([{"name":"me","spectator":true},{"name":"ann","version":"0.1.7"}])j") << ""
        << must.arg("0.1.7", "ann") << false;
    QTest::newRow("two lines joined")
        << QByteArray(R"j([{"name":"ann","version":"0.1.10"},{"name":"bob","version":"0.1.7"}])j") << ""
        << update.arg("0.1.10") + " " + must.arg("0.1.7", "bob") << true;
}

void TestBridgeRules::versionCheck()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, myBuild);
    QFETCH(QString, warning);
    QFETCH(bool, blocks);
    const QJsonObject lobby{{"id", "ABCDE"}, {"members", QJsonDocument::fromJson(members).array()}};
    const VersionCheck check = checkVersions(lobby, "me", "0.1.8", myBuild);
    QCOMPARE(check.warning, warning);
    QCOMPARE(check.blocks, blocks);
}

void TestBridgeRules::finishedTexts_data()
{
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("text");
    QTest::newRow("won") << QByteArray(
                                R"j({"opponent":"bob","status":"agreed","you_won":true,"score":"2-1"})j")
                         << "You beat bob, 2-1.";
    QTest::newRow("lost") << QByteArray(
                                 R"j({"opponent":"bob","status":"agreed","you_won":false,"score":"0-2"})j")
                          << "You lost to bob, 0-2.";
    QTest::newRow("agreed without you_won")
        << QByteArray(R"j({"opponent":"bob","status":"agreed","score":"0-2"})j")
        << "The match against bob does not count (agreed).";
    QTest::newRow("draw") << QByteArray(R"j({"opponent":"bob","status":"draw","score":"1-1"})j")
                          << "A draw with bob, 1-1: no win or loss for either of you.";
    QTest::newRow("disputed") << QByteArray(R"j({"opponent":"bob","status":"disputed"})j")
                              << "Your two games reported different results: the match does not count.";
    QTest::newRow("I abandoned") << QByteArray(
                                        R"j({"opponent":"bob","status":"abandoned","side":2,"left_side":2})j")
                                 << "You left the match against bob.";
    QTest::newRow("they abandoned")
        << QByteArray(R"j({"opponent":"bob","status":"abandoned","side":1,"left_side":2})j")
        << "bob left the match.";
    QTest::newRow("abandoned, sides missing")
        << QByteArray(R"j({"opponent":"bob","status":"abandoned"})j") << "You left the match against bob.";
    QTest::newRow("another status") << QByteArray(R"j({"opponent":"bob","status":"no_contest_now"})j")
                                    << "The match against bob does not count (no contest now).";
}

void TestBridgeRules::finishedTexts()
{
    QFETCH(QByteArray, result);
    QFETCH(QString, text);
    QCOMPARE(matchFinishedText(json(result)), text);
}

void TestBridgeRules::cancelTexts_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("requeued");
    QTest::addColumn<QString>("text");
    const QString off = "The match was called off (%1).";
    const QString again = "The match was called off (%1): you are searching again.";
    QTest::newRow("declined") << "declined" << true << again.arg("the other player declined");
    QTest::newRow("accept_timeout") << "accept_timeout" << false << off.arg("it was not accepted in time");
    QTest::newRow("punch_failed") << "punch_failed" << false << off.arg("the two of you could not connect");
    QTest::newRow("ping_too_high") << "ping_too_high" << true << again.arg("the ping was above the limit");
    QTest::newRow("ping_timeout") << "ping_timeout" << false << off.arg("the connection test took too long");
    QTest::newRow("no_udp") << "no_udp" << false << off.arg("the server got nothing from your game port");
    QTest::newRow("peer_left") << "peer_left" << false << off.arg("the other player left");
    QTest::newRow("unknown code untouched") << "server_on_fire" << false << off.arg("server_on_fire");
}

void TestBridgeRules::cancelTexts()
{
    QFETCH(QString, reason);
    QFETCH(bool, requeued);
    QFETCH(QString, text);
    QCOMPARE(cancelledText(reason, requeued), text);
}

void TestBridgeRules::seriesTexts_data()
{
    QTest::addColumn<QByteArray>("series");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("text");
    const QString setTail =
        " The next match of the set starts once both games are ready. Leaving the set now "
        "counts as losing it.";
    QTest::newRow("ranked between, I keep")
        << QByteArray(
               R"j({"ranked":true,"state":"between","opponent":"bob","you":2,"them":1,"need":3,"keeps":"me"})j")
        << "choosing"
        << "You 2, bob 1. You keep your character, bob picks again." + setTail;
    QTest::newRow("ranked between, they keep")
        << QByteArray(
               R"j({"ranked":true,"state":"between","opponent":"bob","you":1,"them":2,"need":3,"keeps":"bob","you_ready":true})j")
        << "waiting"
        << "You 1, bob 2. bob keeps their character, you pick yours again." + setTail;
    QTest::newRow("ranked between, nobody keeps")
        << QByteArray(R"j({"ranked":true,"state":"between","opponent":"bob","you":1,"them":1,"need":2})j")
        << "choosing"
        << "You 1, bob 1." + setTail;
    QTest::newRow("casual between, I am ready")
        << QByteArray(
               R"j({"state":"between","opponent":"bob","you":1,"them":0,"you_ready":true,"them_ready":true,"seconds_left":20})j")
        << "waiting"
        << "You 1, bob 0. Waiting for bob (20 seconds).";
    QTest::newRow("casual between, they are ready")
        << QByteArray(
               R"j({"state":"between","opponent":"bob","you":1,"them":0,"them_ready":true,"seconds_left":9})j")
        << "choosing"
        << "You 1, bob 0. bob wants to play again (9 seconds).";
    QTest::newRow("casual between, nobody ready")
        << QByteArray(R"j({"state":"between","opponent":"bob","you":0,"them":1,"seconds_left":30})j")
        << "choosing"
        << "You 0, bob 1. Rematch, character select, or leave? (30 seconds)";
    QTest::newRow("ranked running")
        << QByteArray(R"j({"ranked":true,"state":"playing","opponent":"bob","you":0,"them":0,"need":2})j")
        << ""
        << "Ranked set against bob, first to 2. You 0, bob 0.";
    QTest::newRow("casual running") << QByteArray(
                                           R"j({"state":"playing","opponent":"bob","you":3,"them":1})j")
                                    << ""
                                    << "Casual against bob. You 3, bob 1.";
    QTest::newRow("set won with Elo +16")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":2,"them":1,"need":2,"outcome":"won","winner":"me",)j"
               R"j("elo":{"me":{"before":1500,"after":1516,"delta":16,"title_before":"Silver","title_after":"Silver"}}})j")
        << "over"
        << "You won the set against bob, 2-1! Elo 1500 to 1516 (+16).";
    QTest::newRow("set lost with Elo -10 and a new rank")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":1,"them":2,"outcome":"won","winner":"bob",)j"
               R"j("elo":{"me":{"before":1500,"after":1490,"delta":-10,"title_before":"Silver","title_after":"Bronze"}}})j")
        << "over"
        << "bob won the set, 1-2. Elo 1500 to 1490 (-10). Ranked down to Bronze.";
    QTest::newRow("ranked up")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":2,"them":0,"outcome":"won","winner":"me",)j"
               R"j("elo":{"me":{"before":1590,"after":1610,"delta":20,"title_before":"Silver","title_after":"Gold"}}})j")
        << "over"
        << "You won the set against bob, 2-0! Elo 1590 to 1610 (+20). Ranked up to Gold!";
    QTest::newRow("another player's Elo is not mine")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":2,"them":0,"outcome":"won","winner":"me",)j"
               R"j("elo":{"bob":{"before":1500,"after":1480,"delta":-20}}})j")
        << "over"
        << "You won the set against bob, 2-0!";
    QTest::newRow("I forfeit the set")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":1,"them":1,"outcome":"forfeit","left":"me"})j")
        << "over"
        << "You left the set against bob at 1-1: it counts as a loss.";
    QTest::newRow("they forfeit the set")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":1,"them":1,"outcome":"forfeit","left":"bob"})j")
        << "over"
        << "bob left the set at 1-1: you win it.";
    QTest::newRow("set without result")
        << QByteArray(
               R"j({"ranked":true,"state":"over","opponent":"bob","you":0,"them":0,"outcome":"cancelled"})j")
        << "over"
        << "The set against bob ended without a result (0-0): no Elo change.";
    QTest::newRow("I left the series")
        << QByteArray(R"j({"state":"over","opponent":"bob","you":2,"them":1,"outcome":"left","left":"me"})j")
        << "over"
        << "You left the series against bob (2-1).";
    QTest::newRow("they left the series")
        << QByteArray(R"j({"state":"over","opponent":"bob","you":2,"them":1,"outcome":"left","left":"bob"})j")
        << "over"
        << "bob left the series (2-1).";
    QTest::newRow("series disconnected")
        << QByteArray(R"j({"state":"over","opponent":"bob","you":0,"them":1,"outcome":"disconnected"})j")
        << "over"
        << "The connection to bob was lost: the series is over (0-1).";
    QTest::newRow("no rematch")
        << QByteArray(R"j({"state":"over","opponent":"bob","you":1,"them":1,"outcome":"timeout"})j") << "over"
        << "No rematch with bob (1-1).";
}

void TestBridgeRules::seriesTexts()
{
    QFETCH(QByteArray, series);
    QFETCH(QString, state);
    QFETCH(QString, text);
    const QJsonObject s = json(series);
    const QJsonObject section = seriesSection(s, "me");
    QCOMPARE(section.value("state").toString(), state);
    QCOMPARE(section.value("text").toString(), text);
    QCOMPARE(section.value("kind").toString(),
             s.value("ranked").toBool() ? QString("ranked") : QString("casual"));
    QCOMPARE(section.value("to").toInt(), s.value("ranked").toBool() ? s.value("need").toInt() : 0);
    QCOMPARE(section.value("mine").toInt(), s.value("you").toInt());
    QCOMPARE(section.value("theirs").toInt(), s.value("them").toInt());
}

void TestBridgeRules::lobbyTexts_data()
{
    QTest::addColumn<QByteArray>("lobby");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("text");
    QTest::newRow("host alone, private")
        << QByteArray(R"j({"id":"QX7K2","host":"me","members":[{"name":"me"}]})j") << ""
        << "hunter2"
        << "Private lobby: your friend joins with the code QX7K2 and the password hunter2. Waiting for an "
           "opponent: share the code QX7K2.";
    QTest::newRow("a password not mine is not shown")
        << QByteArray(R"j({"id":"QX7K2","host":"ann","members":[{"name":"me"},{"name":"ann"}]})j") << ""
        << "hunter2"
        << "ann is here: get ready, and the match starts once you both are.";
    QTest::newRow("warning first")
        << QByteArray(
               R"j({"id":"QX7K2","host":"ann","members":[{"name":"me","ready":true},{"name":"ann"}]})j")
        << "Old version."
        << ""
        << "Old version. You are ready. Waiting for ann.";
    QTest::newRow("in match, player")
        << QByteArray(
               R"j({"id":"A","state":"in_match","starts_in":1,"members":[{"name":"me"},{"name":"ann"}]})j")
        << ""
        << ""
        << "Match in progress.";
    QTest::newRow("in match, spectator")
        << QByteArray(
               R"j({"id":"A","state":"in_match","members":[{"name":"me","spectator":true,"line":1}]})j")
        << ""
        << ""
        << "A match is on: it plays in your game.";
    QTest::newRow("starts in 2.5")
        << QByteArray(R"j({"id":"A","starts_in":2.5,"members":[{"name":"me"},{"name":"ann"}]})j") << ""
        << ""
        << "Both players are ready: the match starts in 3 seconds.";
    QTest::newRow("starts in 2.1") << QByteArray(R"j({"id":"A","starts_in":2.1,"members":[]})j") << ""
                                   << ""
                                   << "Both players are ready: the match starts in 3 seconds.";
    QTest::newRow("starts in 0") << QByteArray(R"j({"id":"A","starts_in":0,"members":[]})j") << ""
                                 << ""
                                 << "Both players are ready: the match starts in 0 seconds.";
    QTest::newRow("spectator next in line")
        << QByteArray(R"j({"id":"A","members":[{"name":"ann"},{"name":"me","spectator":true,"line":1}]})j")
        << ""
        << ""
        << "You are next in line.";
    QTest::newRow("spectator number 2")
        << QByteArray(R"j({"id":"A","members":[{"name":"ann"},{"name":"me","spectator":true,"line":2}]})j")
        << ""
        << ""
        << "You are number 2 in line.";
    QTest::newRow("spectator not in line")
        << QByteArray(R"j({"id":"A","members":[{"name":"ann"},{"name":"me","spectator":true}]})j") << ""
        << ""
        << "You are watching: each match plays in your game.";
    QTest::newRow("the king")
        << QByteArray(R"j({"id":"A","koth":true,"king":"me","members":[{"name":"me"},{"name":"ann"}]})j")
        << ""
        << ""
        << "You are the king: get ready to face ann.";
    QTest::newRow("king without koth is no king")
        << QByteArray(R"j({"id":"A","king":"me","members":[{"name":"me"},{"name":"ann"}]})j") << ""
        << ""
        << "ann is here: get ready, and the match starts once you both are.";
    QTest::newRow("not in the list: a player")
        << QByteArray(R"j({"id":"A","members":[{"name":"ann"}]})j") << ""
        << ""
        << "ann is here: get ready, and the match starts once you both are.";
}

void TestBridgeRules::lobbyTexts()
{
    QFETCH(QByteArray, lobby);
    QFETCH(QString, warning);
    QFETCH(QString, password);
    QFETCH(QString, text);
    LobbyFacts f;
    f.lobby = json(lobby);
    f.me = "me";
    f.versionWarning = warning;
    f.password = password;
    QCOMPARE(lobbyText(f), text);
}

void TestBridgeRules::queueTexts()
{
    QCOMPARE(searchingText(true, 65, 0), QString("Searching for a ranked match: 1:05."));
    QCOMPARE(searchingText(false, 5, 0), QString("Searching for a casual match: 0:05."));
    QCOMPARE(
        searchingText(false, 600, 150),
        QString(
            "Searching for a casual match: 10:00. The ping limit is raised to 150 ms to find you someone."));
    QCOMPARE(foundText("", 12), QString("Match found: accept within 12 seconds."));
    QCOMPARE(foundText("bob", 3), QString("Match found against bob: accept within 3 seconds."));
    // Whole seconds elapsed, rounded down; never below 0.
    const struct {
        int seconds;
        qint64 ms;
        int left;
    } rows[] = {{15, 0, 15}, {15, 999, 15}, {15, 1000, 14}, {15, 14999, 1}, {15, 15900, 0}, {15, 60000, 0}};
    for (const auto &r : rows)
        QCOMPARE(acceptLeft(r.seconds, r.ms), r.left);
    QCOMPARE(startsInSeconds(2.5), 3);
    QCOMPARE(startsInSeconds(2.0), 2);
    QCOMPARE(startsInSeconds(0.0), 0);
    QCOMPARE(startsInSeconds(0.0005), 0); // 0.9995 truncates to 0
    // A server's figure past any int is cut at a day.
    QCOMPARE(startsInSeconds(1e300), 86400);
}

void TestBridgeRules::rows()
{
    QCOMPARE(
        lobbyRow(json(R"j({"id":"ABCDE","name":"N","host":"ann","mode":"versus","region":"eu"})j")),
        json(R"j({"code":"ABCDE","name":"N","host":"ann","players":0,"max":2,"mode":"versus","koth":false,)j"
             R"j("locked":false,"region":"eu"})j"));
    QCOMPARE(
        lobbyRow(json(R"j({"id":"K","name":"K","host":"h","players":5,"max_players":8,"mode":"versus",)j"
                      R"j("koth":true,"locked":true,"region":"na"})j")),
        json(
            R"j({"code":"K","name":"K","host":"h","players":5,"max":8,"mode":"versus","koth":true,"locked":true,)j"
            R"j("region":"na"})j"));
    QCOMPARE(
        leaderboardRow(json(R"j({"rank":1,"name":"ann","title":"Gold","elo":1700,"wins":30,"losses":4})j")),
        json(R"j({"place":1,"name":"ann","rank":"Gold","elo":1700,"wins":30,"losses":4})j"));
    QCOMPARE(leaderboardRow(json(R"j({"name":"ann"})j")),
             json(R"j({"place":0,"name":"ann","rank":"","elo":0,"wins":0,"losses":0})j"));
    const QJsonObject lobby = json(
        R"j({"members":[{"name":"me","wins":4},{"name":"spec","spectator":true},{"name":"ann"},{"name":"bob"}]})j");
    QCOMPARE(otherPlayer(lobby, "me"), QString("ann"));
    QCOMPARE(ownMember(lobby, "me").value("wins").toInt(), 4);
    QVERIFY(ownMember(lobby, "nobody").isEmpty());
    QVERIFY(ownMember(lobby, "").isEmpty());
    const QHash<QString, int> counted{{"me", 9}, {"ann", 2}};
    QCOMPARE(winsOf(lobby, "me", counted), 4);  // the member's own key wins
    QCOMPARE(winsOf(lobby, "ann", counted), 2); // else the launcher's count
    QCOMPARE(winsOf(lobby, "bob", counted), 0); // else 0
    QCOMPARE(lobbyTally("ann", 2, 1, false).value("text").toString(), QString("You 2, ann 1."));
    QCOMPARE(lobbyTally("ann", 2, 1, true).value("text").toString(),
             QString("You 2, ann 1. The loser of the last match chooses what comes next."));
    QCOMPARE(lobbyTally("ann", 2, 1, true).value("state").toString(), QString("choosing"));
}
