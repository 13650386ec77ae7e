// One launcher's controller against the development server with messages of matches the server
// does not know: the port wait, the tunnel request, the keep-alive, the path sentences.

#include "matchscenariokit.h"
#include "tst_match.h"

#include <QUdpSocket>
#include <QtTest>

using namespace scenario;

void TestMatchScenarios::portWaitGivesUp()
{
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    // Something else holds the game port: the match found cannot be taken.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, m.a->gamePort, QUdpSocket::DontShareAddress));
    m.a->send(injectFound("portWait0001"));
    QVERIFY2(m.a->waitFor("phase 0 Match declined"), qPrintable(m.dump()));
    const qsizetype why = m.a->find(QString("log Cannot use UDP port %1").arg(m.a->gamePort));
    QVERIFY(why >= 0 && why < m.a->find("phase 0 Match declined"));
    QVERIFY(!m.a->has("found "));
    QVERIFY(!m.a->has("phase 2 "));
    // Freed again, the next match found is taken.
    holder.close();
    m.a->send(injectFound("portWait0002"));
    QVERIFY2(m.a->waitFor("phase 2 Match found"), qPrintable(m.dump()));
    QCOMPARE(m.a->json("found ").value("match").toString(), QString("portWait0002"));
}

void TestMatchScenarios::oneTunnelRequestPerMatch()
{
    Match m;
    Options oa = opts("ann");
    oa.udpBlocked = true;
    QVERIFY(m.start({}, oa, opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY2(m.a->waitFor("log The server did not answer on UDP (is UDP port "), qPrintable(m.dump()));
    m.a->send("cancel");
    QVERIFY(m.a->waitFor("phase 0 Search cancelled"));
    QCOMPARE(m.a->count("log The server did not answer on UDP"), 1);
    // The server knows none of these matches, so each tunnel request it gets is answered with an error.
    m.a->send(injectFound("tunnelOnce01"));
    QVERIFY(m.a->waitFor("phase 2 Match found"));
    m.a->send(injectFound("tunnelOnce01"));
    m.a->send(injectFound("tunnelOnce02"));
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("found "), 3, orxtest::scaled(10000));
    m.a->send("decline"); // its error arrives after every earlier answer
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "match_decline") == 1; }));
    QCOMPARE(errorsFor(*m.a, "udp_tunnel"), 2);

    // UDP gets through again: the next search's hello is answered and matches go the usual way.
    m.a->send("set dev/udp_blocked false");
    m.a->send("queue versus");
    QVERIFY2(m.a->waitFor("log The server answers on UDP again: matches go the usual way"),
             qPrintable(m.dump()));
    m.a->send(injectFound("tunnelOnce03"));
    QTRY_COMPARE_WITH_TIMEOUT(m.a->count("found "), 4, orxtest::scaled(10000));
    m.a->send("decline");
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "match_decline") == 2; }));
    QCOMPARE(errorsFor(*m.a, "udp_tunnel"), 2);
}

void TestMatchScenarios::searchEndsWithTheConnection()
{
    Match m;
    Options oa = opts("ann");
    oa.reconnectMs = 60000;
    QVERIFY(m.start({}, oa, opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("phase 1 "));
    m.a->send("drop");
    QVERIFY2(m.a->waitFor("phase 0 Lost the server connection"), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("queue fail Sign in first."));
}

void TestMatchScenarios::keepAliveWhileSearching()
{
    Match m;
    QVERIFY(m.start({}, opts("ann", {}, {"keepalive=200"}), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    m.a->send("queue versus");
    QVERIFY(m.a->waitFor("helloack 127.0.0.1:" + QString::number(m.a->gamePort)));
    // The search keeps greeting the server from the game port, which keeps its NAT mapping open.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("helloack ") >= 4; }), qPrintable(m.dump()));
    QVERIFY(m.a->find("phase 0 ") < 0);
}

void TestMatchScenarios::peerPathSentences_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("expected");
    const QString base = R"("type":"match_peer","match":"pathWords001","key":"k","side":1,"punch_timeout":1)";
    QTest::newRow("back to the relay")
        << base + R"(,"relay":true,"back":true)"
        << QStringList{
               "log Directly was no faster than through the server, or did not get through: back through "
               "the server.",
               "phase 3 Connecting to zed through the server..."};
    QTest::newRow("the opponent hides")
        << base + R"(,"relay":true,"relay_why":"hidden","relay_mine":false)"
        << QStringList{
               "log Through the server in Virginia, USA: zed hides their IP address. Two players far from "
               "it get much more ping this way than directly."};
    QTest::newRow("relay too slow, mine")
        << base +
               R"(,"direct_why":"relay_ping","relay_rtt":180,"relay_mine":true,"peer":{"public":"127.0.0.1:9","lan":"127.0.0.1:9"})"
        << QStringList{
               "log 180 ms through the server, too much to play well: trying zed directly, which shows them "
               "your IP address. To keep it hidden however high the ping, tick \"Even when the ping through "
               "the server is high\" in Settings, Rovivi.",
               "phase 3 Connecting to zed..."};
    QTest::newRow("relay too slow, theirs")
        << base + R"(,"direct_why":"relay_ping","relay_rtt":180,"peer":{"public":"127.0.0.1:9"})"
        << QStringList{"log 180 ms through the server, too much to play well: trying zed directly."};
    QTest::newRow("the opponent's rank")
        << base + R"(,"relay":true,"opponent":{"name":"zed","title":"Gold","elo":1620})"
        << QStringList{"log Your opponent: zed, Gold (1620 Elo)"};
}

void TestMatchScenarios::peerPathSentences()
{
    QFETCH(QString, peer);
    QFETCH(QStringList, expected);
    Match m;
    QVERIFY(m.start({}, opts("ann"), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QString found = injectFound("pathWords001");
    if (peer.contains("\"title\""))
        found.remove(R"(,"opponent":{"name":"zed"})");
    m.a->send(found);
    QVERIFY(m.a->waitFor("phase 2 Match found"));
    m.a->send("inject {" + peer + "}");
    // The server knows no such match, so nobody answers: the try fails and is reported.
    QVERIFY2(m.a->waitFor("log Could not reach zed this way"), qPrintable(m.dump()));
    for (const QString &line : expected)
        QVERIFY2(m.a->has(line), qPrintable(line));
    QCOMPARE(m.a->count("log Could not reach zed this way"), 1);
    QVERIFY(orxtest::waitUntil([&] { return errorsFor(*m.a, "ping_report") == 1; }));
}
