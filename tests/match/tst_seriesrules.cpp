// The pure rules of series, rematches and lobby matches.

#include "match/seriesrules.h"
#include "tst_match.h"

#include <QJsonDocument>
#include <QtTest>

using namespace seriesrules;

namespace {
QJsonObject json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

void TestSeriesRules::seriesKeys_data()
{
    QTest::addColumn<QByteArray>("go");
    QTest::addColumn<QString>("keys");
    QTest::newRow("no series") << QByteArray(R"({"match":"m1"})") << "";
    QTest::newRow("casual series") << QByteArray(R"({"series_kind":"casual","keep":0})") << " series=casual";
    QTest::newRow("ranked set, keep 2")
        << QByteArray(R"({"series_kind":"ranked","set":3,"set_p1":1,"set_p2":1,"keep":2})")
        << " series=ranked set=3 set_p1=1 set_p2=1 keep=2";
    QTest::newRow("set counts without a kind")
        << QByteArray(R"({"set":1,"set_p1":0,"set_p2":0,"keep":1})") << " set=1 set_p1=0 set_p2=0 keep=1";
    QTest::newRow("keep outside 1 and 2")
        << QByteArray(R"({"series_kind":"casual","keep":3})") << " series=casual";
}

void TestSeriesRules::seriesKeys()
{
    QFETCH(QByteArray, go);
    QFETCH(QString, keys);
    QCOMPARE(seriesrules::seriesKeys(json(go)), keys);
}

void TestSeriesRules::chooser_data()
{
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<int>("chooser");
    QTest::newRow("a draw: side 1") << QByteArray(R"({"status":"draw","winner":0})") << 1;
    QTest::newRow("side 1 won: side 2") << QByteArray(R"({"status":"agreed","winner":1})") << 2;
    QTest::newRow("side 2 won: side 1") << QByteArray(R"({"status":"agreed","winner":2})") << 1;
    QTest::newRow("no winner") << QByteArray(R"({"status":"error","winner":0})") << 0;
}

void TestSeriesRules::chooser()
{
    QFETCH(QByteArray, result);
    QFETCH(int, chooser);
    QCOMPARE(chooserOf(json(result)), chooser);
}

void TestSeriesRules::pathChoice_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("bridge");
    QTest::addColumn<bool>("feature");
    QTest::addColumn<bool>("allows");
    QTest::newRow("lan") << "lan" << false << false << true;
    QTest::newRow("public") << "public" << false << false << true;
    QTest::newRow("public through a bridge") << "public" << true << true << false;
    QTest::newRow("relay with the feature") << "relay" << false << true << true;
    QTest::newRow("relay without it") << "relay" << false << false << false;
    QTest::newRow("tunnel with the feature") << "tunnel" << true << true << true;
    QTest::newRow("tunnel without it") << "tunnel" << true << false << false;
    QTest::newRow("no path") << "" << false << true << false;
}

void TestSeriesRules::pathChoice()
{
    QFETCH(QString, path);
    QFETCH(bool, bridge);
    QFETCH(bool, feature);
    QFETCH(bool, allows);
    QCOMPARE(pathAllowsChoice(path, bridge, feature), allows);
}

void TestSeriesRules::resultScreen_data()
{
    // Each row changes one fact of a match that waits at its result screen.
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("enters");
    QTest::newRow("all hold") << "" << true;
    QTest::newRow("a draw") << "draw" << true;
    QTest::newRow("disputed") << "disputed" << false;
    QTest::newRow("abandoned") << "abandoned" << false;
    QTest::newRow("lobby, players choose") << "lobby" << true;
    QTest::newRow("lobby, nobody chooses") << "lobby no choice" << false;
    QTest::newRow("path allows no choice") << "path" << false;
    QTest::newRow("game not running") << "not running" << false;
    QTest::newRow("game back at its menu") << "ready" << false;
    QTest::newRow("game away") << "away" << false;
    QTest::newRow("watching a lobby match") << "watching" << false;
}

void TestSeriesRules::resultScreen()
{
    QFETCH(QString, change);
    QFETCH(bool, enters);
    ResultScreenFacts f;
    f.status = "agreed";
    f.playersChoose = true;
    f.pathAllows = true;
    f.gameRunning = true;
    f.gameWord = "result";
    if (change == "draw" || change == "disputed" || change == "abandoned")
        f.status = change;
    else if (change == "lobby")
        f.lobby = true;
    else if (change == "lobby no choice")
        f.lobby = true, f.playersChoose = false;
    else if (change == "path")
        f.pathAllows = false;
    else if (change == "not running")
        f.gameRunning = false;
    else if (change == "ready" || change == "away")
        f.gameWord = change;
    else if (change == "watching")
        f.watching = true;
    QCOMPARE(entersResultScreen(f), enters);
}

void TestSeriesRules::lobbyLeft_data()
{
    QTest::addColumn<QByteArray>("lobby");
    QTest::addColumn<QString>("opponent");
    QTest::addColumn<bool>("left");
    const QString bob = "bob";
    QTest::newRow("still playing") << QByteArray(R"({"lobby":{"id":"L1","members":[{"name":"ann"},
        {"name":"bob","spectator":false}]}})")
                                   << bob << false;
    QTest::newRow("turned spectator") << QByteArray(R"({"lobby":{"id":"L1","members":[{"name":"ann"},
        {"name":"bob","spectator":true}]}})")
                                      << bob << true;
    QTest::newRow("gone") << QByteArray(R"({"lobby":{"id":"L1","members":[{"name":"ann"}]}})") << bob << true;
    QTest::newRow("another lobby") << QByteArray(R"({"lobby":{"id":"L2","members":[]}})") << bob << false;
    QTest::newRow("opponent unnamed")
        << QByteArray(R"({"lobby":{"id":"L1","members":[]}})") << QString() << false;
}

void TestSeriesRules::lobbyLeft()
{
    QFETCH(QByteArray, lobby);
    QFETCH(QString, opponent);
    QFETCH(bool, left);
    const QJsonObject found{{"match", "m1"}, {"lobby", "L1"}};
    QCOMPARE(opponentLeftLobby(json(lobby), found, opponent), left);
}

void TestSeriesRules::restore_data()
{
    QTest::addColumn<QByteArray>("series");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<bool>("restore");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("again");
    // The last ready sent was "rematch" for s1 at played 2.
    QTest::newRow("same series and count: again")
        << QByteArray(R"({"series":"s1","state":"between","you_ready":false,"played":2})") << false << false
        << true << "rematch" << true;
    QTest::newRow("another count: select")
        << QByteArray(R"({"series":"s1","state":"between","you_ready":false,"played":3})") << false << false
        << true << "select" << false;
    QTest::newRow("another count, a choice still expected")
        << QByteArray(R"({"series":"s1","state":"between","you_ready":false,"played":3})") << false << true
        << false << "" << false;
    QTest::newRow("already ready") << QByteArray(
                                          R"({"series":"s1","state":"between","you_ready":true,"played":2})")
                                   << false << false << false << "" << false;
    QTest::newRow("a ready pending")
        << QByteArray(R"({"series":"s1","state":"between","you_ready":false,"played":2})") << true << false
        << false << "" << false;
    QTest::newRow("playing") << QByteArray(
                                    R"({"series":"s1","state":"playing","you_ready":false,"played":2})")
                             << false << false << false << "" << false;
}

void TestSeriesRules::restore()
{
    QFETCH(QByteArray, series);
    QFETCH(bool, pending);
    QFETCH(bool, expected);
    QFETCH(bool, restore);
    QFETCH(QString, choice);
    QFETCH(bool, again);
    const Restore r = restoreReady(json(series), pending, LastReady{"rematch", "s1", 2}, expected);
    QCOMPARE(r.pending, restore);
    QCOMPARE(r.choice, choice);
    QCOMPARE(r.again, again);
}
