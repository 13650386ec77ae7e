// The spectator feed's framing rules, and both ends of a feed link over real loopback sockets.

#include "match/feedlink.h"
#include "match/feedrules.h"
#include "scriptedclient.h"
#include "tst_match.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

namespace {

// One record: the 16-bit little-endian length and `size` bytes of `fill`.
QByteArray record(int size, char fill = 'x')
{
    QByteArray r;
    r.append(char(size & 0xff));
    r.append(char((size >> 8) & 0xff));
    r.append(QByteArray(size, fill));
    return r;
}

QByteArray records(int count, int size)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += record(size, char('a' + i % 26));
    return out;
}

bool connectTo(QTcpSocket &socket, const FeedLink &link)
{
    const QString endpoint = link.endpoint();
    socket.connectToHost(QHostAddress::LocalHost, quint16(endpoint.section(':', 1).toUInt()));
    return socket.waitForConnected(orxtest::scaled(5000));
}

QList<int> sizes(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &args : spy)
        out << int(args.first().toByteArray().size());
    return out;
}

} // namespace

void TestFeedLink::chunking_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<int>("left"); // bytes of a half record that wait
    QTest::newRow("one record of 10000: a chunk of its own") << record(10000) << QList<int>{10002} << 0;
    QTest::newRow("two of 5000: two chunks") << records(2, 5000) << QList<int>{5002, 5002} << 0;
    QTest::newRow("ten of 900: one chunk") << records(10, 900) << QList<int>{9020} << 0;
    QTest::newRow("a big one between small ones")
        << QByteArray(record(100) + record(9300) + record(100)) << QList<int>{102, 9302, 102} << 0;
    QTest::newRow("a half record waits")
        << QByteArray(records(2, 300) + record(500).left(200)) << QList<int>{604} << 200;
    QTest::newRow("only a length byte") << QByteArray(1, '\x05') << QList<int>{} << 1;
    QTest::newRow("empty records") << records(3, 0) << QList<int>{6} << 0;
}

void TestFeedLink::chunking()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, chunks);
    QFETCH(int, left);
    QCOMPARE(feedrules::completePrefix(bytes), bytes.size() - left);
    QCOMPARE(feedrules::wholeRecords(bytes), left == 0 && !bytes.isEmpty());
    QList<int> got;
    QByteArray joined;
    for (const QByteArray &c : feedrules::chunks(bytes, FeedLink::MaxChunk)) {
        got << int(c.size());
        QVERIFY(feedrules::wholeRecords(c));
        joined += c;
    }
    QCOMPARE(got, chunks);
    QCOMPARE(joined, bytes.left(bytes.size() - left));
}

void TestFeedLink::relayedTwice_data()
{
    // Chunks as the server relays them: {from of the offer before it, or -1, size}; what each passes.
    QTest::addColumn<QList<QList<int>>>("chunks");
    QTest::addColumn<QList<int>>("passed");
    QTest::newRow("a plain feed") << QList<QList<int>>{{-1, 100}, {-1, 50}} << QList<int>{100, 50};
    QTest::newRow("offered again, relayed again from the start")
        << QList<QList<int>>{{-1, 100}, {-1, 50}, {0, 100}, {-1, 50}, {-1, 30}}
        << QList<int>{100, 50, 0, 0, 30};
    QTest::newRow("relayed again from the start in other chunks")
        << QList<QList<int>>{{-1, 100}, {-1, 50}, {0, 120}, {-1, 60}} << QList<int>{100, 50, 0, 30};
    QTest::newRow("offered again where the feed stood")
        << QList<QList<int>>{{-1, 100}, {100, 40}} << QList<int>{100, 40};
    QTest::newRow("offered again from the middle of what was taken")
        << QList<QList<int>>{{-1, 100}, {60, 60}} << QList<int>{100, 20};
    QTest::newRow("offered twice while relaying again")
        << QList<QList<int>>{{-1, 80}, {0, 40}, {0, 40}, {-1, 40}, {-1, 10}} << QList<int>{80, 0, 0, 0, 10};
}

void TestFeedLink::relayedTwice()
{
    QFETCH(QList<QList<int>>, chunks);
    QFETCH(QList<int>, passed);
    feedrules::Place place;
    QList<int> got;
    for (const QList<int> &c : chunks) {
        if (c.at(0) >= 0)
            place.at = c.at(0);
        got << int(c.at(1) - feedrules::takeRelayed(place, c.at(1)));
    }
    QCOMPARE(got, passed);
}

void TestFeedLink::outgoingFromTheGame()
{
    FeedLink link(FeedLink::Outgoing);
    QVERIFY(link.start());
    QVERIFY(link.endpoint().startsWith("127.0.0.1:"));
    QSignalSpy out(&link, &FeedLink::outgoing);
    QTcpSocket game;
    QVERIFY(connectTo(game, link));
    // A record and a half, then the rest: the half waits for its rest.
    const QByteArray second = record(700, 'b');
    game.write(record(400, 'a') + second.left(300));
    QTRY_COMPARE_WITH_TIMEOUT(out.size(), 1, orxtest::scaled(5000));
    QCOMPARE(out.at(0).first().toByteArray(), record(400, 'a'));
    game.write(second.mid(300));
    QTRY_COMPARE_WITH_TIMEOUT(out.size(), 2, orxtest::scaled(5000));
    QCOMPARE(out.at(1).first().toByteArray(), second);
    QCOMPARE(link.bytesPassed(), qint64(402 + 702));

    // A second connection replaces the first: the first is cut, its half record forgotten.
    game.write(record(50).left(20));
    QTRY_VERIFY_WITH_TIMEOUT(game.bytesToWrite() == 0, orxtest::scaled(5000));
    QTcpSocket again;
    QVERIFY(connectTo(again, link));
    QTRY_COMPARE_WITH_TIMEOUT(game.state(), QAbstractSocket::UnconnectedState, orxtest::scaled(5000));
    again.write(records(3, 10));
    QTRY_COMPARE_WITH_TIMEOUT(out.size(), 3, orxtest::scaled(5000));
    QCOMPARE(out.at(2).first().toByteArray(), records(3, 10));
}

void TestFeedLink::outgoingMends()
{
    // A record too large for a "feed" line is dropped with a word in the log; the next goes on.
    FeedLink link(FeedLink::Outgoing, nullptr, 200000);
    QVERIFY(link.start());
    QSignalSpy out(&link, &FeedLink::outgoing);
    QSignalSpy log(&link, &FeedLink::logLine);
    QTcpSocket game;
    QVERIFY(connectTo(game, link));
    game.write(record(FeedLink::MaxSentRecord) + record(100));
    QTRY_COMPARE_WITH_TIMEOUT(out.size(), 1, orxtest::scaled(5000));
    QCOMPARE(out.at(0).first().toByteArray(), record(100));
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.at(0).first().toString().contains("too large to pass on"),
             qPrintable(log.at(0).first().toString()));
    QCOMPARE(link.bytesPassed(), qint64(102));

    // More than the link may hold before a flush: the connection starts again rather than lose
    // bytes in the middle of the stream, and framing starts afresh on the next one.
    FeedLink small(FeedLink::Outgoing, nullptr, 1000);
    QVERIFY(small.start());
    QSignalSpy smallOut(&small, &FeedLink::outgoing);
    QSignalSpy smallLog(&small, &FeedLink::logLine);
    QTcpSocket flood;
    QVERIFY(connectTo(flood, small));
    flood.write(record(5000).left(1500)); // a record that cannot be complete within the limit
    QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QAbstractSocket::UnconnectedState, orxtest::scaled(5000));
    QCOMPARE(smallLog.size(), 1);
    QVERIFY(smallLog.at(0).first().toString().contains("starts again"));
    QTcpSocket fresh;
    QVERIFY(connectTo(fresh, small));
    fresh.write(record(30));
    QTRY_COMPARE_WITH_TIMEOUT(smallOut.size(), 1, orxtest::scaled(5000));
    QCOMPARE(smallOut.at(0).first().toByteArray(), record(30));
}

void TestFeedLink::incomingToTheWatcher()
{
    FeedLink link(FeedLink::Incoming, nullptr, 5000);
    QVERIFY(link.start());
    // Before the game connects: kept as backlog. Malformed and empty deliveries are ignored.
    link.deliver(records(2, 100));
    link.deliver(QByteArray());
    link.deliver(record(100).left(50));
    link.deliver(QByteArray(1, '\x01'));
    QCOMPARE(link.bytesPassed(), qint64(204));
    QTcpSocket game;
    QVERIFY(connectTo(game, link));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += game.readAll()).size() == 204, orxtest::scaled(5000));
    QCOMPARE(got, records(2, 100));
    // While connected: at once.
    link.deliver(record(10, 'z'));
    QTRY_VERIFY_WITH_TIMEOUT((got += game.readAll()).size() == 216, orxtest::scaled(5000));
    // Past the cap: dropped whole.
    link.deliver(record(4900));
    QCOMPARE(link.bytesPassed(), qint64(216));
    link.deliver(record(4700));
    QCOMPARE(link.bytesPassed(), qint64(216 + 4702));
    // A second game connection gets the whole backlog again; the first is cut.
    QTcpSocket late;
    QVERIFY(connectTo(late, link));
    QTRY_COMPARE_WITH_TIMEOUT(game.state(), QAbstractSocket::UnconnectedState, orxtest::scaled(5000));
    QByteArray all;
    QTRY_VERIFY_WITH_TIMEOUT((all += late.readAll()).size() == 216 + 4702, orxtest::scaled(5000));
    QCOMPARE(all, records(2, 100) + record(10, 'z') + record(4700));
}
