// The stand-in game's spectator feed: a player's game sends its matches to the feed endpoint of its
// start line (header, confirmed frames, end) on one TCP connection across rematch lines, and a game
// given a watch line replays such a feed, recorded here from a real match between two games, and
// reports the players' own ending, or desync, or disconnected when the feed stalls or never comes.

#include "feed.h"
#include "gamerun.h"
#include "netframe.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr int waitMs = 30000;

QString loopback(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

QString startLine(int side, quint16 localPort, quint16 remotePort, quint64 seed, const QString &match,
                  const QString &mode, const QString &tail)
{
    return QStringLiteral("start game=orx mode=%1 side=%2 local_port=%3 remote=%4 delay=1 seed=%5 p1=kael "
                          "p2=- rounds=3 ranked=0 match=%6 p1_name=ann p2_name=bob p1_rank=- p2_rank=-%7")
        .arg(mode)
        .arg(side)
        .arg(localPort)
        .arg(loopback(remotePort))
        .arg(seed)
        .arg(match, tail);
}

QString watchLine(const QString &feed, quint64 seed, const QString &match, const QString &mode = "versus")
{
    return QStringLiteral("start game=orx mode=%1 watch=1 feed=%2 seed=%3 p1=kael p2=- rounds=3 ranked=0 "
                          "match=%4 p1_name=ann p2_name=bob p1_rank=- p2_rank=-")
        .arg(mode, feed)
        .arg(seed)
        .arg(match);
}

// A free TCP port on loopback (taken and given back at once).
quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// The feed endpoint a player's game connects to, as the launcher's outgoing link: it keeps every
// byte of every connection.
struct FeedSink {
    QTcpServer server;
    QList<QPointer<QTcpSocket>> sockets;
    QByteArray bytes;

    bool listen(quint16 port = 0)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                sockets << s;
                QObject::connect(s, &QTcpSocket::readyRead, [this, s] { bytes += s->readAll(); });
            }
        });
        return server.listen(QHostAddress::LocalHost, port);
    }
    QString endpoint() const { return loopback(server.serverPort()); }
};

// The feed a watching game connects to, as the launcher's incoming link: every connection gets all
// the bytes served so far, then what comes later.
struct FeedSource {
    QTcpServer server;
    QList<QPointer<QTcpSocket>> sockets;
    QByteArray backlog;
    int connections = 0;

    bool listen(quint16 port = 0)
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                ++connections;
                sockets << s;
                s->write(backlog);
            }
        });
        return server.listen(QHostAddress::LocalHost, port);
    }
    void serve(const QByteArray &bytes)
    {
        backlog += bytes;
        for (const auto &s : sockets)
            if (s && s->state() == QAbstractSocket::ConnectedState)
                s->write(bytes);
    }
    QString endpoint() const { return loopback(server.serverPort()); }
};

QList<FeedRecord> parseFeed(QByteArray bytes, bool *whole = nullptr)
{
    QList<FeedRecord> records;
    QByteArray raw;
    while (takeRecord(bytes, raw)) {
        FeedRecord r;
        if (!decodeRecord(raw, r))
            r.kind = FeedRecord::Bad;
        records << r;
    }
    if (whole)
        *whole = bytes.isEmpty();
    return records;
}

bool hasEnd(const QByteArray &bytes, int ends)
{
    int seen = 0;
    for (const FeedRecord &r : parseFeed(bytes))
        seen += r.kind == FeedRecord::End;
    return seen >= ends;
}

QString syncState(const QString &log, const QString &who)
{
    static const QRegularExpression re(
        QStringLiteral("orx (versus|watch): in sync, seed \\d+, \\d+ frames, state (\\w+)"));
    QRegularExpressionMatchIterator it = re.globalMatch(log);
    QString last;
    while (it.hasNext()) {
        const auto m = it.next();
        if (m.captured(1) == who)
            last = m.captured(2);
    }
    return last;
}

// One match of the feed checked on its own terms: the header, the frames in order with states that
// follow from the seed and both inputs, and the end naming them. Returns the index after its end.
qsizetype checkMatch(const QList<FeedRecord> &records, qsizetype at, const QString &match, quint64 seed,
                     const QString &mode, const QString &endLine, const QString &char1)
{
    const auto fail = [](const QString &what) {
        QTest::qFail(qPrintable(what), __FILE__, __LINE__);
        return qsizetype(-1);
    };
    if (at >= records.size() || records.at(at).kind != FeedRecord::Header)
        return fail(QStringLiteral("no header at record %1").arg(at));
    const FeedRecord &h = records.at(at);
    if (h.match != match || h.seed != seed || h.side != 1 || h.rounds != 3 || h.mode != mode ||
        h.char1 != char1 || h.char2.isEmpty())
        return fail(QStringLiteral("header %1 %2 %3 %4 %5 %6 %7")
                        .arg(h.match)
                        .arg(h.seed)
                        .arg(h.side)
                        .arg(h.rounds)
                        .arg(h.mode, h.char1, h.char2));
    quint32 state = initialState(seed);
    quint32 frames = 0;
    for (++at; at < records.size() && records.at(at).kind == FeedRecord::Frame; ++at, ++frames) {
        const FeedRecord &f = records.at(at);
        state = nextState(state, f.p1, f.p2);
        if (f.frame != frames || f.sum != state)
            return fail(
                QStringLiteral("frame record %1 (frame %2) does not follow").arg(frames).arg(f.frame));
    }
    if (frames < 10)
        return fail(QStringLiteral("only %1 frames").arg(frames));
    if (at >= records.size() || records.at(at).kind != FeedRecord::End)
        return fail(QStringLiteral("no end after %1 frames").arg(frames));
    const FeedRecord &e = records.at(at);
    if (e.frames != frames || e.finalState != state || e.line != endLine)
        return fail(QStringLiteral("end %1 %2 \"%3\"").arg(e.frames).arg(e.finalState).arg(e.line));
    return at + 1;
}

// A real match between two games whose side 1 sends its feed to a sink: the feed and both endings.
struct Recording {
    QByteArray feed;
    QString resultA, resultB, stateA;
};

Recording recordMatch(quint64 seed, const QString &match, const QString &mode, const QStringList &aArgs)
{
    Recording rec;
    FeedSink sink;
    if (!sink.listen())
        return rec;
    PortHolder holdA, holdB;
    if (!holdA.hold() || !holdB.hold())
        return rec;
    const quint16 portA = holdA.port(), portB = holdB.port();
    holdA.release();
    holdB.release();
    GameRun a, b;
    const QStringList common{"--match-ms", "600"};
    if (!a.start(common + aArgs) || !b.start(common))
        return rec;
    if (!QTest::qWaitFor([&] { return a.status() == "ready" && b.status() == "ready"; }, waitMs))
        return rec;
    a.command(startLine(1, portA, portB, seed, match, mode, " feed=" + sink.endpoint()));
    b.command(startLine(2, portB, portA, seed, match, mode, QString()));
    const auto ended = [](GameRun &g) {
        const QString w = g.statusWord();
        return w != "ready" && w != "in_match" && !w.isEmpty();
    };
    if (!QTest::qWaitFor([&] { return ended(a) && ended(b) && hasEnd(sink.bytes, 1); }, waitMs))
        return rec;
    rec.feed = sink.bytes;
    rec.resultA = a.status();
    rec.resultB = b.status();
    rec.stateA = syncState(a.log(), "versus");
    return rec;
}

// The bytes of the records [from, to) of a feed.
QByteArray records(const QByteArray &feed, qsizetype from, qsizetype to)
{
    QByteArray rest = feed, raw, out;
    for (qsizetype i = 0; i < to && takeRecord(rest, raw); ++i)
        if (i >= from)
            out += framedRecord(raw);
    return out;
}

} // namespace

class TestTestGameFeed : public QObject {
    Q_OBJECT

private slots:
    void recordRoundTrip();
    void damagedRecords_data();
    void damagedRecords();
    void playerFeedOutlivesRematch();
    void watchingARecordedMatch_data();
    void watchingARecordedMatch();
};

void TestTestGameFeed::recordRoundTrip()
{
    FeedRecord h;
    h.kind = FeedRecord::Header;
    h.match = "m-1";
    h.mode = "versus";
    h.seed = 9007199254740993ULL;
    h.side = 2;
    h.rounds = 5;
    h.char1 = "kael";
    h.char2 = "-";
    FeedRecord f;
    f.kind = FeedRecord::Frame;
    f.frame = 70000;
    f.p1 = 0xff;
    f.p2 = 3;
    f.sum = 0xdeadbeef;
    FeedRecord e;
    e.kind = FeedRecord::End;
    e.frames = 37;
    e.finalState = 0x01020304;
    e.line = "result winner=1 p1_rounds=2 p2_rounds=0 match=m-1";
    QByteArray stream =
        framedRecord(encodeRecord(h)) + framedRecord(encodeRecord(f)) + framedRecord(encodeRecord(e));
    // The length prefix is 16-bit little-endian.
    QCOMPARE(qFromLittleEndian<quint16>(stream.constData()), quint16(encodeRecord(h).size()));
    QByteArray half = stream.left(stream.size() - 3), raw;
    QList<FeedRecord> got;
    while (takeRecord(half, raw)) {
        FeedRecord r;
        QVERIFY(decodeRecord(raw, r));
        got << r;
    }
    QCOMPARE(got.size(), 2); // the cut end record stays in the buffer
    QCOMPARE(half.size(), framedRecord(encodeRecord(e)).size() - 3);
    bool whole = false;
    got = parseFeed(stream, &whole);
    QVERIFY(whole);
    QCOMPARE(got.size(), 3);
    QCOMPARE(got[0].kind, FeedRecord::Header);
    QCOMPARE(got[0].match, h.match);
    QCOMPARE(got[0].mode, h.mode);
    QCOMPARE(got[0].seed, h.seed);
    QCOMPARE(got[0].side, h.side);
    QCOMPARE(got[0].rounds, h.rounds);
    QCOMPARE(got[0].char1, h.char1);
    QCOMPARE(got[0].char2, h.char2);
    QCOMPARE(got[1].kind, FeedRecord::Frame);
    QCOMPARE(got[1].frame, f.frame);
    QCOMPARE(got[1].p1, f.p1);
    QCOMPARE(got[1].p2, f.p2);
    QCOMPARE(got[1].sum, f.sum);
    QCOMPARE(got[2].kind, FeedRecord::End);
    QCOMPARE(got[2].frames, e.frames);
    QCOMPARE(got[2].finalState, e.finalState);
    QCOMPARE(got[2].line, e.line);
}

void TestTestGameFeed::damagedRecords_data()
{
    FeedRecord h;
    h.kind = FeedRecord::Header;
    h.match = "m1";
    h.side = 1;
    const QByteArray header = encodeRecord(h);
    FeedRecord f;
    f.kind = FeedRecord::Frame;
    const QByteArray frame = encodeRecord(f);
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("unknown kind") << QByteArray("\x09\x00\x00\x00", 4);
    QTest::newRow("frame cut short") << frame.left(frame.size() - 1);
    QTest::newRow("frame too long") << frame + 'x';
    QTest::newRow("header cut in a name") << header.left(header.size() - 3);
    QTest::newRow("header with trailing bytes") << header + "zz";
    QByteArray noSide = header;
    noSide[1] = 0;
    QTest::newRow("header without a side") << noSide;
    QTest::newRow("end without a line") << QByteArray("\x03\x00\x00\x00\x00\x00\x00\x00\x00", 9);
}

void TestTestGameFeed::damagedRecords()
{
    QFETCH(QByteArray, bytes);
    FeedRecord r;
    QString why;
    QVERIFY(!decodeRecord(bytes, r, &why));
    QVERIFY(!why.isEmpty());
}

void TestTestGameFeed::playerFeedOutlivesRematch()
{
    FeedSink sink;
    const quint16 feedPort = freeTcpPort();
    QVERIFY(feedPort != 0);
    PortHolder holdA, holdB;
    QVERIFY(holdA.hold() && holdB.hold());
    const quint16 portA = holdA.port(), portB = holdB.port();
    holdA.release();
    holdB.release();
    GameRun a, b;
    QVERIFY(a.start({"--match-ms", "600"}) && b.start({"--match-ms", "600"}));
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), QString("ready"), waitMs);

    a.command(startLine(1, portA, portB, 6, "m1", "versus", " choose=1 feed=" + loopback(feedPort)));
    b.command(startLine(2, portB, portA, 6, "m1", "versus", " choose=1"));
    // The feed endpoint accepts only after a refusal: the game tries again and sends it all.
    QTRY_VERIFY_WITH_TIMEOUT(a.log().contains("orx feed: no feed at " + loopback(feedPort) + " yet"), waitMs);
    QVERIFY(sink.listen(feedPort));
    QTRY_COMPARE_WITH_TIMEOUT(a.statusWord(), QString("result"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), a.status(), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(hasEnd(sink.bytes, 1), waitMs);
    const QString first = a.status();

    // A rematch line from the result screen: a new header on the same connection.
    a.command("rematch match=m2 seed=11 p1=- p2=- choose=1");
    b.command("rematch match=m2 seed=11 p1=- p2=- choose=1");
    QTRY_VERIFY_WITH_TIMEOUT(a.status().startsWith("result ") && a.status().endsWith(" match=m2"), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(b.status(), a.status(), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(hasEnd(sink.bytes, 2), waitMs);
    QCOMPARE(sink.sockets.size(), 1);
    QVERIFY(sink.sockets.first());
    QCOMPARE(sink.sockets.first()->state(), QAbstractSocket::ConnectedState);

    bool whole = false;
    const QList<FeedRecord> recs = parseFeed(sink.bytes, &whole);
    QVERIFY(whole);
    const qsizetype second = checkMatch(recs, 0, "m1", 6, "versus", first, "kael");
    QVERIFY(second > 0);
    // The characters as played: picked in the game on a line with a choice, named in the result.
    QVERIFY2(first.contains(" p1_char=kael p2_char=" + recs.first().char2 + " "), qPrintable(first));
    const qsizetype end = checkMatch(recs, second, "m2", 11, "versus", a.status(), recs.at(second).char1);
    QCOMPARE(end, recs.size());
    QVERIFY2(a.status().contains(
                 QStringLiteral(" p1_char=%1 p2_char=%2 ").arg(recs.at(second).char1, recs.at(second).char2)),
             qPrintable(a.status()));
    // The last state in the feed is the state the players agreed on.
    QCOMPARE(QString::number(recs.at(end - 1).finalState, 16).rightJustified(8, '0'),
             syncState(a.log(), "versus"));

    // Back at the hold point the feed is closed.
    a.command("park");
    QTRY_COMPARE_WITH_TIMEOUT(a.status(), QString("ready"), waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        !sink.sockets.first() || sink.sockets.first()->state() != QAbstractSocket::ConnectedState, waitMs);
}

void TestTestGameFeed::watchingARecordedMatch_data()
{
    // How the recorded feed reaches the watching game.
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("playerArgs");
    QTest::addColumn<QString>("serve");    // all, late, stall, none, cut, damaged
    QTest::addColumn<QString>("expected"); // result (the players' own), or the line expected
    QTest::newRow("the whole feed") << "versus" << QStringList() << "all"
                                    << "result";
    QTest::newRow("sparring") << "sparring" << QStringList() << "all"
                              << "result";
    QTest::newRow("feed endpoint accepts late") << "versus" << QStringList() << "late"
                                                << "result";
    QTest::newRow("the feed link drops and comes back") << "versus" << QStringList() << "reconnect"
                                                        << "result";
    QTest::newRow("filler records after each frame") << "versus" << QStringList{"--feed-pad", "300"} << "all"
                                                     << "result";
    QTest::newRow("a damaged record on demand")
        << "versus" << QStringList{"--outcome", "feed-corrupt", "--outcome-frame", "5"} << "all"
        << "desync frame=5 match=w1";
    QTest::newRow("a malformed record") << "versus" << QStringList() << "damaged"
                                        << "desync frame=3 match=w1";
    QTest::newRow("the last frame missing before the end") << "versus" << QStringList() << "cut"
                                                           << "desync frame=LAST match=w1";
    QTest::newRow("a stalled feed") << "versus" << QStringList() << "stall"
                                    << "disconnected match=w1";
    QTest::newRow("no feed endpoint") << "versus" << QStringList() << "none"
                                      << "disconnected match=w1";
}

void TestTestGameFeed::watchingARecordedMatch()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, playerArgs);
    QFETCH(QString, serve);
    QFETCH(QString, expected);
    const quint64 seed = 21;
    const Recording rec = recordMatch(seed, "w1", mode, playerArgs);
    QVERIFY2(!rec.feed.isEmpty(), "the match was not recorded");
    // On demand only the feed is damaged: the players' own match is not.
    QCOMPARE(rec.resultA, rec.resultB);
    QVERIFY2(rec.resultA.startsWith(mode == "sparring" ? "sparring_over match=w1" : "result "),
             qPrintable(rec.resultA));
    const QList<FeedRecord> recs = parseFeed(rec.feed);
    QCOMPARE(recs.last().kind, FeedRecord::End);
    qsizetype frames = recs.size() - 2;
    if (playerArgs.contains("--feed-pad")) {
        // A filler of the asked size after every frame record, which the watcher has to skip.
        qsizetype pads = 0;
        for (qsizetype i = 1; i + 1 < recs.size(); ++i) {
            if (recs[i].kind == FeedRecord::Pad) {
                QCOMPARE(recs[i - 1].kind, FeedRecord::Frame);
                QCOMPARE(recs[i].padBytes, 300);
                ++pads;
            }
        }
        QVERIFY(pads > 0);
        frames -= pads;
        QCOMPARE(pads, frames);
    }
    if (expected == "result")
        expected = rec.resultA;
    expected.replace("LAST", QString::number(frames - 1));

    GameRun w;
    QVERIFY(w.start({"--peer-timeout", "1500", "--meet-ms", "4000"}));
    QTRY_COMPARE_WITH_TIMEOUT(w.status(), QString("ready"), waitMs);
    FeedSource source;
    QString endpoint;
    if (serve == "late") {
        const quint16 port = freeTcpPort();
        QVERIFY(port != 0);
        endpoint = loopback(port);
        w.command(watchLine(endpoint, seed, "w1", mode));
        QTRY_COMPARE_WITH_TIMEOUT(w.status(), QString("watching match=w1"), waitMs);
        // Refused at first: the game keeps trying until the endpoint accepts.
        QTRY_VERIFY_WITH_TIMEOUT(w.log().contains("orx watch: no feed at " + endpoint + " yet"), waitMs);
        QVERIFY(source.listen(port));
        source.serve(rec.feed);
    } else if (serve == "none") {
        w.command(watchLine(QString(), seed, "w1", mode));
    } else {
        QVERIFY(source.listen());
        w.command(watchLine(source.endpoint(), seed, "w1", mode));
        if (serve == "all") {
            // Partly before the game connects, the rest in pieces that split records.
            source.serve(rec.feed.left(40));
            QTRY_VERIFY_WITH_TIMEOUT(source.connections > 0, waitMs);
            for (qsizetype at = 40; at < rec.feed.size(); at += 7)
                source.serve(rec.feed.mid(at, 7));
        } else if (serve == "reconnect") {
            // The link drops in the match; a new connection is served the whole feed again.
            source.serve(records(rec.feed, 0, 12));
            QTRY_COMPARE_WITH_TIMEOUT(w.status(), QString("in_match match=w1"), waitMs);
            for (const auto &s : source.sockets)
                if (s)
                    s->abort();
            source.serve(records(rec.feed, 12, recs.size()));
            QTRY_COMPARE_WITH_TIMEOUT(source.connections, 2, waitMs);
        } else if (serve == "stall") {
            source.serve(records(rec.feed, 0, 11)); // the header and ten frames, then nothing
        } else if (serve == "cut") {
            source.serve(records(rec.feed, 0, frames) + records(rec.feed, frames + 1, frames + 2));
        } else if (serve == "damaged") {
            QByteArray bad = encodeRecord(recs.at(4));
            bad.chop(1);
            source.serve(records(rec.feed, 0, 4) + framedRecord(bad) + records(rec.feed, 5, recs.size()));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(w.status(), expected, waitMs);
    // Also printed, a moment after status.txt.
    const auto watched = [&w] {
        const QStringList seen = w.statuses();
        const qsizetype from = seen.lastIndexOf("watching match=w1");
        return from < 0 ? QStringList() : seen.mid(from);
    };
    // Without a feed nothing ever flowed: no match is reported.
    const QStringList steps = serve == "none"
                                  ? QStringList{"watching match=w1", expected}
                                  : QStringList{"watching match=w1", "in_match match=w1", expected};
    QTRY_COMPARE_WITH_TIMEOUT(watched(), steps, waitMs);
    if (expected == rec.resultA) {
        // The watcher replayed the same fight: the same final state as the players.
        QVERIFY(!rec.stateA.isEmpty());
        QCOMPARE(syncState(w.log(), "watch"), rec.stateA);
    }
    // "park" brings it back to its hold point.
    w.command("park");
    QTRY_COMPARE_WITH_TIMEOUT(w.status(), QString("ready"), waitMs);
    w.command("quit");
    QVERIFY(w.process().waitForFinished(waitMs));
    QCOMPARE(w.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestTestGameFeed)
#include "test_testgame_feed.moc"
