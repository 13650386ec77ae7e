// The pure rules of match control: rank keys, start and rematch lines, the input delay and its
// reason, the endpoint rewrite, the connection text and the ping widening.

#include "match/matchrules.h"
#include "tst_match.h"

#include <QJsonDocument>
#include <QtTest>

using namespace matchrules;

void TestMatchRules::rankKey_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("key");
    QTest::newRow("two words, two blanks") << "Iron  Fist"
                                           << "iron-fist";
    QTest::newRow("trimmed and lowered") << "  Grand Master "
                                         << "grand-master";
    QTest::newRow("hyphen and blank together") << "Top - Tier"
                                               << "top-tier";
    QTest::newRow("leading hyphen dropped") << "-Rookie"
                                            << "rookie";
    QTest::newRow("trailing hyphens removed") << "Rookie --"
                                              << "rookie";
    QTest::newRow("other characters dropped") << "Gold!! #3"
                                              << "gold-3";
    QTest::newRow("accents dropped") << QString::fromUtf8("Élite") << "lite";
    QTest::newRow("only punctuation") << "!!!"
                                      << "-";
    QTest::newRow("empty") << ""
                           << "-";
}

void TestMatchRules::rankKey()
{
    QFETCH(QString, title);
    QFETCH(QString, key);
    QCOMPARE(matchrules::rankKey(title), key);
}

void TestMatchRules::startLine_data()
{
    QTest::addColumn<QByteArray>("go");
    QTest::addColumn<bool>("choose");
    QTest::addColumn<QString>("feed");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("picks");
    QTest::newRow("characters given")
        << QByteArray(R"({"match":"m1","game":"orx","mode":"versus","side":2,
        "remote":"10.0.0.2:7001","seed":9007199254740991,"p1":"Ryo","p2":"Kai","rounds":5,"ranked":true,
        "p1_name":"ann","p2_name":"bob","p1_title":"Iron  Fist","p2_title":""})")
        << false << QString()
        << "start game=orx mode=versus side=2 local_port=7005 remote=10.0.0.2:7001 delay=3 "
           "seed=9007199254740991 "
           "p1=Ryo p2=Kai rounds=5 ranked=1 match=m1 p1_name=ann p2_name=bob p1_rank=iron-fist p2_rank=-"
        << false;
    QTest::newRow("defaults, picks in game, choose and feed")
        << QByteArray(R"({"match":"m2","game":"orx","mode":"versus","p1":"-"})") << true
        << QString("127.0.0.1:4000")
        << "start game=orx mode=versus side=0 local_port=7005 remote= delay=3 seed=0 p1=- p2=- rounds=3 "
           "ranked=0 "
           "match=m2 p1_name= p2_name= p1_rank=- p2_rank=- choose=1 feed=127.0.0.1:4000"
        << true;
}

void TestMatchRules::startLine()
{
    QFETCH(QByteArray, go);
    QFETCH(bool, choose);
    QFETCH(QString, feed);
    QFETCH(QString, line);
    QFETCH(bool, picks);
    const QJsonObject msg = QJsonDocument::fromJson(go).object();
    QVERIFY(!msg.isEmpty());
    StartExtras extras;
    extras.gamePort = 7005;
    extras.delay = 3;
    extras.choose = choose;
    extras.feedEndpoint = feed;
    QCOMPARE(matchrules::startLine(msg, extras), line);
    QCOMPARE(matchrules::startLine(msg, extras).split(' ').mid(0, 17).size(), 17);
    QCOMPARE(matchrules::picksInGame(msg), picks);
}

void TestMatchRules::rematchLine_data()
{
    QTest::addColumn<QByteArray>("go");
    QTest::addColumn<bool>("choose");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("line");
    QTest::newRow("both given, keep 0")
        << QByteArray(R"({"match":"m3","seed":7,"p1":"Ryo","p2":"Kai","keep":0})") << false << QString()
        << "rematch match=m3 seed=7 p1=Ryo p2=Kai stage=keep";
    QTest::newRow("both given, keep 2")
        << QByteArray(R"({"match":"m3","seed":7,"p1":"Ryo","p2":"Kai","keep":2})") << false
        << QString(" keep=2") << "rematch match=m3 seed=7 p1=Ryo p2=Kai keep=2";
    QTest::newRow("one picks, choose") << QByteArray(R"({"match":"m4","seed":8,"p1":"","p2":"Kai"})") << true
                                       << QString() << "rematch match=m4 seed=8 p1=- p2=Kai choose=1";
}

void TestMatchRules::rematchLine()
{
    QFETCH(QByteArray, go);
    QFETCH(bool, choose);
    QFETCH(QString, keys);
    QFETCH(QString, line);
    QCOMPARE(matchrules::rematchLine(QJsonDocument::fromJson(go).object(), choose, keys), line);
}

void TestMatchRules::autoDelay_data()
{
    QTest::addColumn<int>("rtt");
    QTest::addColumn<int>("frames");
    const int table[][2] = {{-5, 1},  {0, 1},   {66, 1},  {67, 2},  {100, 2}, {101, 3},  {133, 3},
                            {134, 4}, {166, 4}, {167, 5}, {200, 5}, {201, 6}, {5000, 6}, {2147483647, 6}};
    for (const auto &row : table)
        QTest::addRow("%d ms", row[0]) << row[0] << row[1];
}

void TestMatchRules::autoDelay()
{
    QFETCH(int, rtt);
    QFETCH(int, frames);
    QCOMPARE(autoDelayFrames(rtt), frames);
}

void TestMatchRules::delayAndReason_data()
{
    QTest::addColumn<QByteArray>("go");
    QTest::addColumn<int>("setting");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("reason");
    QTest::newRow("old server, automatic player")
        << QByteArray(R"({"delay":1,"rtt_ms":150})") << -1 << 4 << "Auto for that ping";
    QTest::newRow("old server, player 2")
        << QByteArray(R"({"delay":1,"rtt_ms":150})") << 2 << 1 << "bob's setting";
    QTest::newRow("own setting used")
        << QByteArray(R"({"delay":3,"rtt_ms":20,"delay_auto":false})") << 3 << 3 << "your setting";
    QTest::newRow("server decided automatic")
        << QByteArray(R"({"delay":2,"rtt_ms":80,"delay_auto":true})") << 1 << 2 << "Auto for that ping";
    QTest::newRow("server's delay kept even when automatic")
        << QByteArray(R"({"delay":4,"rtt_ms":20,"delay_auto":false})") << -1 << 4 << "bob's setting";
    QTest::newRow("no ping, automatic") << QByteArray(R"({"delay":1})") << -1 << 1 << "Auto for that ping";
}

void TestMatchRules::delayAndReason()
{
    QFETCH(QByteArray, go);
    QFETCH(int, setting);
    QFETCH(int, frames);
    QFETCH(QString, reason);
    const Delay d = matchDelay(QJsonDocument::fromJson(go).object(), setting, QStringLiteral("bob"));
    QCOMPARE(d.frames, frames);
    QCOMPARE(d.reason, reason);
}

void TestMatchRules::endpointRewrite_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("changed");
    QTest::newRow("private beside a public server") << "192.168.1.5:7001"
                                                    << "203.0.113.9"
                                                    << "203.0.113.9:7001" << true;
    QTest::newRow("link-local beside a public server") << "169.254.3.4:7002"
                                                       << "203.0.113.9"
                                                       << "203.0.113.9:7002" << true;
    QTest::newRow("private server keeps it") << "192.168.1.5:7001"
                                             << "10.0.0.1"
                                             << "192.168.1.5:7001" << false;
    QTest::newRow("loopback peer, private server") << "127.0.0.1:7001"
                                                   << "10.0.0.1"
                                                   << "10.0.0.1:7001" << true;
    QTest::newRow("loopback server keeps it") << "127.0.0.1:7001"
                                              << "127.0.0.1"
                                              << "127.0.0.1:7001" << false;
    QTest::newRow("public peer stays") << "198.51.100.7:7001"
                                       << "203.0.113.9"
                                       << "198.51.100.7:7001" << false;
    QTest::newRow("no colon") << "192.168.1.5"
                              << "203.0.113.9"
                              << "192.168.1.5" << false;
    QTest::newRow("colon first") << ":7001"
                                 << "203.0.113.9"
                                 << ":7001" << false;
    QTest::newRow("not an address") << "host.example:7001"
                                    << "203.0.113.9"
                                    << "host.example:7001" << false;
    QTest::newRow("172.16/12 is private") << "172.31.0.2:9"
                                          << "203.0.113.9"
                                          << "203.0.113.9:9" << true;
    QTest::newRow("172.32 is not") << "172.32.0.2:9"
                                   << "203.0.113.9"
                                   << "172.32.0.2:9" << false;
}

void TestMatchRules::endpointRewrite()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, server);
    QFETCH(QString, result);
    QFETCH(bool, changed);
    bool was = !changed;
    QCOMPARE(rewritePublicEndpoint(endpoint, QHostAddress(server), &was), result);
    QCOMPARE(was, changed);
}

void TestMatchRules::connectionText_data()
{
    QTest::addColumn<QByteArray>("found");
    QTest::addColumn<QString>("text");
    const QString dot = QString::fromUtf8("  \u00B7  ");
    QTest::newRow("wired, measured")
        << QByteArray(R"({"connection":{"link":"ethernet","estimate":42,"measured":true,"ping":9}})")
        << "Ethernet (wired)" + dot + "ping 42 ms between you (measured last time)";
    QTest::newRow("wifi, estimate") << QByteArray(R"({"connection":{"link":"wifi","estimate":0}})")
                                    << "Wi-Fi" + dot + "ping about 0 ms between you";
    QTest::newRow("other, server ping") << QByteArray(R"({"connection":{"link":"other","ping":31}})")
                                        << "other connection" + dot + "their ping to the server 31 ms";
    QTest::newRow("unknown, nothing")
        << QByteArray(R"({"connection":{"link":"carrier pigeon"}})") << "connection type unknown";
    QTest::newRow("no object") << QByteArray(R"({})") << "connection type unknown";
}

void TestMatchRules::connectionText()
{
    QFETCH(QByteArray, found);
    QFETCH(QString, text);
    QCOMPARE(matchrules::connectionText(QJsonDocument::fromJson(found).object()), text);
}

void TestMatchRules::pingWidening_data()
{
    QTest::addColumn<QByteArray>("widen");
    QTest::addColumn<int>("maxPing");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("limit");
    const QByteArray std = R"({"after":30,"every":15,"step":25,"cap":250})";
    QTest::newRow("before after") << std << 100 << 29.9 << 0;
    QTest::newRow("at after") << std << 100 << 30.0 << 125;
    QTest::newRow("one step later") << std << 100 << 45.0 << 150;
    QTest::newRow("capped") << std << 100 << 600.0 << 250;
    QTest::newRow("cap below the limit") << std << 300 << 600.0 << 0;
    QTest::newRow("no limit") << std << 0 << 600.0 << 0;
    QTest::newRow("defaults") << QByteArray("{}") << 100 << 46.0 << 150;
    QTest::newRow("every below one counts as one")
        << QByteArray(R"({"after":0,"every":0,"step":10,"cap":1000})") << 100 << 4.5 << 150;
    QTest::newRow("hostile step") << QByteArray(R"({"after":0,"every":1,"step":2147483647,"cap":2147483647})")
                                  << 100 << 10.0 << 2147483647;
}

void TestMatchRules::pingWidening()
{
    QFETCH(QByteArray, widen);
    QFETCH(int, maxPing);
    QFETCH(double, seconds);
    QFETCH(int, limit);
    QCOMPARE(widenedPingLimit(QJsonDocument::fromJson(widen).object(), maxPing, seconds), limit);
}

void TestMatchRules::cancelReasons()
{
    QCOMPARE(cancelReasonText("declined"), QString("a player declined"));
    QCOMPARE(cancelReasonText("no_udp"), QString("no UDP contact with the server, check the game port"));
    QCOMPARE(cancelReasonText("series_over"), QString("the series is over"));
    QCOMPARE(cancelReasonText("server_on_fire"), QString("server_on_fire"));
}

void TestMatchRules::statusLines()
{
    const StatusLine s = parseStatus("result winner=2 p1_rounds=1 p2_rounds=2  match=abc junk =x");
    QCOMPARE(s.word, QString("result"));
    QCOMPARE(s.values.value("winner"), QString("2"));
    QCOMPARE(s.values.value("match"), QString("abc"));
    QVERIFY(!s.values.contains(""));
    QCOMPARE(parseStatus("").word, QString());
}

void TestMatchRules::resultSummary_data()
{
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<QString>("summary");
    QTest::newRow("side 2 won") << QByteArray(R"({"winner":2,"p1_rounds":1,"p2_rounds":2})")
                                << "player 2 won 1-2";
    QTest::newRow("a draw") << QByteArray(R"({"winner":0,"p1_rounds":2,"p2_rounds":2})") << "a draw 2-2";
    QTest::newRow("outcome") << QByteArray(R"({"outcome":"left","exit":"crash"})") << "left";
}

void TestMatchRules::resultSummary()
{
    QFETCH(QByteArray, result);
    QFETCH(QString, summary);
    QCOMPARE(matchrules::resultSummary(QJsonDocument::fromJson(result).object()), summary);
}

void TestMatchRules::resultPayload_data()
{
    // One server verdict seen from each side: the score puts the player's own rounds first.
    QTest::addColumn<QByteArray>("verdict");
    QTest::addColumn<int>("side");
    QTest::addColumn<QStringList>("characters");
    QTest::addColumn<QByteArray>("payload");
    const QByteArray won = R"({"match":"m1","status":"agreed","winner":1,"p1_rounds":2,"p2_rounds":1})";
    QTest::newRow("winner, side 1") << won << 1 << QStringList{"Ryo", "Kai"}
                                    << QByteArray(R"({"match":"m1","status":"agreed","winner":1,"p1_rounds":2,
        "p2_rounds":1,"side":1,"opponent":"bob","score":"2-1","you_won":true,"p1_char":"Ryo","p2_char":"Kai"})");
    QTest::newRow("loser, side 2") << won << 2 << QStringList()
                                   << QByteArray(R"({"match":"m1","status":"agreed","winner":1,"p1_rounds":2,
        "p2_rounds":1,"side":2,"opponent":"ann","score":"1-2","you_won":false})");
    const QByteArray draw = R"({"match":"m1","status":"draw","winner":0,"p1_rounds":2,"p2_rounds":1})";
    QTest::newRow("draw, side 2") << draw << 2 << QStringList()
                                  << QByteArray(R"({"match":"m1","status":"draw","winner":0,"p1_rounds":2,
        "p2_rounds":1,"side":2,"opponent":"ann","score":"1-2"})");
    QTest::newRow("no winner, no score")
        << QByteArray(R"({"match":"m1","status":"error","winner":0})") << 1 << QStringList{"Ryo"}
        << QByteArray(R"({"match":"m1","status":"error","winner":0,"side":1,
        "opponent":"bob"})");
}

void TestMatchRules::resultPayload()
{
    QFETCH(QByteArray, verdict);
    QFETCH(int, side);
    QFETCH(QStringList, characters);
    QFETCH(QByteArray, payload);
    const QJsonObject go{{"match", "m1"}, {"side", side}, {"p1_name", "ann"}, {"p2_name", "bob"}};
    const QJsonObject expected = QJsonDocument::fromJson(payload).object();
    QVERIFY(!expected.isEmpty());
    QCOMPARE(matchrules::resultPayload(QJsonDocument::fromJson(verdict).object(), go, characters), expected);
}
