// Watching lobby matches: the offer, the feed relayed to the watchers, watchers that lag, the
// linger after the result, hostile feeds, joining mid-match and the end of a watch.
#include "tst_server.h"

#include <QJsonArray>
#include <QTest>

namespace {

QByteArray record(int len, quint32 seed)
{
    QByteArray r;
    r.append(char(len & 0xff));
    r.append(char((len >> 8) & 0xff));
    for (int i = 0; i < len; ++i) {
        seed = seed * 1103515245u + 12345u;
        r.append(char(seed >> 24));
    }
    return r;
}

// Feed bytes: records of the given lengths with content that differs from call to call.
QByteArray records(const QList<int> &lens, quint32 seed)
{
    QByteArray out;
    for (int len : lens)
        out += record(len, seed++);
    return out;
}

void sendFeed(ScriptedClient &c, const QString &match, const QByteArray &bytes)
{
    c.send({{"type", "feed"}, {"match", match}, {"data", QString::fromLatin1(bytes.toBase64())}});
}

// Moves the watcher's "spectate_feed" messages of that match out of the inbox into into; false when
// one of them was not whole records.
bool drainFeed(ScriptedClient &w, const QString &match, QByteArray &into)
{
    bool whole = true;
    QList<QJsonObject> &in = w.inbox();
    for (qsizetype i = 0; i < in.size();) {
        if (in[i].value("type") == "spectate_feed" && in[i].value("match") == match) {
            const QByteArray chunk = QByteArray::fromBase64(in[i].value("data").toString().toLatin1());
            qsizetype pos = 0;
            while (pos + 2 <= chunk.size())
                pos += 2 + (quint8(chunk[pos]) | (quint8(chunk[pos + 1]) << 8));
            whole = whole && !chunk.isEmpty() && pos == chunk.size();
            into += chunk;
            in.removeAt(i);
        } else {
            ++i;
        }
    }
    return whole;
}

bool waitFeed(ScriptedClient &w, const QString &match, QByteArray &into, qsizetype size, int ms = 10000)
{
    bool whole = true;
    orxtest::waitUntil(
        [&] {
            whole = drainFeed(w, match, into) && whole;
            return into.size() >= size;
        },
        ms);
    return whole && into.size() == size;
}

// The server's feed counts, from its console.
QJsonObject feedStats(ServerProcess &s)
{
    const qsizetype before = s.output().count("orx-server: feeds ");
    s.command("feeds");
    orxtest::waitUntil([&] { return s.output().count("orx-server: feeds ") > before; });
    const QString out = s.output();
    const qsizetype at = out.lastIndexOf("orx-server: feeds ");
    const QString line = out.mid(at + 18).section('\n', 0, 0);
    return QJsonDocument::fromJson(line.toUtf8()).object();
}

// A round trip on the connection: everything the server wrote to it before is in the inbox.
bool settle(ScriptedClient &c)
{
    return c.waitReply(c.send({{"type", "ping"}})).value("type") == "pong";
}

QJsonObject request(ScriptedClient &c, const QJsonObject &msg)
{
    return c.waitReply(c.send(msg));
}

QJsonObject createLobby(ScriptedClient &c, bool koth = false)
{
    return request(c, {{"type", "lobby_create"},
                       {"name", "Watch me"},
                       {"game", "orx"},
                       {"mode", "versus"},
                       {"rounds", 3},
                       {"character", "Kaede"},
                       {"koth", koth}});
}

QJsonObject joinLobby(ScriptedClient &c, const QString &code, bool spectate)
{
    return request(c,
                   {{"type", "lobby_join"}, {"lobby", code}, {"character", "Brom"}, {"spectate", spectate}});
}

QJsonObject ready(ScriptedClient &c)
{
    return request(c, {{"type", "lobby_ready"}, {"ready", true}, {"link", "ethernet"}, {"delay_auto", true}});
}

// A lobby match between a and b that went; feeder/other are the clients on side 1 and side 2.
struct LobbyMatch {
    QString code, match;
    TestServer::Go go;
    ScriptedClient *feeder = nullptr, *other = nullptr;
    QJsonObject feederGo;
};

bool startLobbyMatch(TestServer &t, ScriptedClient &a, ScriptedClient &b, LobbyMatch &lm)
{
    ready(a);
    ready(b);
    lm.match = a.waitFor("match_found").value("match").toString();
    if (lm.match.isEmpty() || b.waitFor("match_found").value("match").toString() != lm.match)
        return false;
    a.udpHello(t.server->udpPort, lm.match);
    b.udpHello(t.server->udpPort, lm.match);
    lm.go = t.connectMatch(a, b, lm.match);
    if (!lm.go.ok)
        return false;
    const bool aFeeds = lm.go.go[0].value("side").toInt() == 1;
    lm.feeder = aFeeds ? &a : &b;
    lm.other = aFeeds ? &b : &a;
    lm.feederGo = lm.go.go[aFeeds ? 0 : 1];
    return true;
}

// a hosts, b plays, the watchers join to watch; then the match goes.
bool setUp(TestServer &t, ScriptedClient &a, ScriptedClient &b, const QList<ScriptedClient *> &watchers,
           LobbyMatch &lm)
{
    static int n = 0;
    ++n;
    if (!t.join(a, QStringLiteral("pa%1").arg(n)) || !t.join(b, QStringLiteral("pb%1").arg(n)))
        return false;
    lm.code = createLobby(a).value("lobby").toObject().value("id").toString();
    if (joinLobby(b, lm.code, false).value("type") != "lobby")
        return false;
    int i = 0;
    for (ScriptedClient *w : watchers) {
        if (!t.join(*w, QStringLiteral("w%1x%2").arg(n).arg(i++)) ||
            joinLobby(*w, lm.code, true).value("type") != "lobby")
            return false;
    }
    return startLobbyMatch(t, a, b, lm);
}

} // namespace

void TestServer::spectateOfferAndRelay()
{
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient a, b, w1, w2;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {&w1, &w2}, lm));
    // Side 1 feeds, side 2 does not.
    QCOMPARE(lm.feederGo.value("feed").toBool(), true);
    QCOMPARE(lm.feederGo.value("side").toInt(), 1);
    for (const QJsonObject &g : lm.go.go) {
        if (g.value("side").toInt() == 2)
            QCOMPARE(g.value("feed").toBool(true), false);
    }
    // Both watchers are offered the match as it went.
    for (ScriptedClient *w : {&w1, &w2}) {
        const QJsonObject offer = w->waitFor("spectate");
        QCOMPARE(offer.value("match").toString(), lm.match);
        QCOMPARE(offer.value("lobby").toString(), lm.code);
        for (const char *k :
             {"game", "mode", "seed", "p1", "p2", "rounds", "p1_name", "p2_name", "p1_title", "p2_title"}) {
            QVERIFY2(offer.contains(k), k);
            QCOMPARE(offer.value(k), lm.feederGo.value(k));
        }
        QCOMPARE(offer.value("seed").toInteger(), lm.feederGo.value("seed").toInteger());
    }
    QVERIFY(!a.has("spectate") && !b.has("spectate"));

    // The feed in launcher-sized chunks, a record bigger than a chunk, and records near the relay
    // limit that must be relayed in lines under 65536 bytes.
    QByteArray sent;
    const QList<QList<int>> chunks{{900, 900, 900, 900, 900, 900, 900, 900, 900, 900},
                                   {5000},
                                   {10000},
                                   {0, 1, 2},
                                   {30000},
                                   {47000},
                                   {20000, 20000}};
    quint32 seed = 7;
    for (const QList<int> &lens : chunks) {
        const QByteArray bytes = records(lens, seed += 100);
        sendFeed(*lm.feeder, lm.match, bytes);
        sent += bytes;
    }
    QByteArray got1, got2;
    QVERIFY(waitFeed(w1, lm.match, got1, sent.size()));
    QVERIFY(waitFeed(w2, lm.match, got2, sent.size()));
    QCOMPARE(got1, sent);
    QCOMPARE(got2, sent);
    QVERIFY2(w1.longestLine <= 65536, qPrintable(QString::number(w1.longestLine)));
    QVERIFY(!lm.other->has("spectate_feed") && !lm.feeder->has("spectate_feed"));

    // The result ends the watch for both watchers, with the result's status and winner.
    Go byFeeder;
    byFeeder.go[0] = lm.feederGo;
    QCOMPARE(playResult(*lm.feeder, *lm.other, byFeeder, 0).value("status").toString(), QString("agreed"));
    for (ScriptedClient *w : {&w1, &w2}) {
        const QJsonObject end = w->waitFor("spectate_end");
        QCOMPARE(end.value("match").toString(), lm.match);
        QCOMPARE(end.value("status").toString(), QString("agreed"));
        QCOMPARE(end.value("winner").toInt(), 1);
    }
    const QJsonObject stats = feedStats(*server);
    QCOMPARE(stats.value("accepted").toInt(), chunks.size());
    QCOMPARE(stats.value("bytes").toInteger(), sent.size());
    QCOMPARE(stats.value("refused").toInt(), 0);

    // A match from a search is watched by nobody: no feed asked.
    ScriptedClient c, d;
    QVERIFY(join(c, "searcher1"));
    QVERIFY(join(d, "searcher2"));
    const QString sm = pairAndAccept(c, d, false, Path::Direct);
    QVERIFY(!sm.isEmpty());
    const Go sgo = connectMatch(c, d, sm);
    QVERIFY(sgo.ok);
    QCOMPARE(sgo.go[0].value("feed").toBool(true), false);
    QCOMPARE(sgo.go[1].value("feed").toBool(true), false);
}

void TestServer::spectateHostileFeed_data()
{
    QTest::addColumn<QString>("sender");  // "feeder" or "other"
    QTest::addColumn<QByteArray>("line"); // MATCH stands for the match id
    QTest::addColumn<bool>("dropped");    // the sender's connection is dropped (else: refused, counted)
    auto feedLine = [](const QString &match, const QByteArray &data) {
        return QByteArray("{\"type\":\"feed\",\"match\":\"") + match.toLatin1() + "\",\"data\":\"" + data +
               "\"}\n";
    };
    const QByteArray good = records({10, 20}, 1).toBase64();
    QTest::newRow("not the asked player") << "other" << feedLine("MATCH", good) << false;
    QTest::newRow("another match") << "feeder" << feedLine("m0000000000a", good) << false;
    QTest::newRow("no match") << "feeder" << QByteArray("{\"type\":\"feed\",\"data\":\"" + good + "\"}\n")
                              << false;
    QTest::newRow("bad Base64") << "feeder" << feedLine("MATCH", "AQ*D") << false;
    QTest::newRow("Base64 without padding")
        << "feeder" << feedLine("MATCH", good.left(good.indexOf('='))) << false;
    QTest::newRow("data as a number")
        << "feeder" << QByteArray("{\"type\":\"feed\",\"match\":\"MATCH\",\"data\":12}\n") << false;
    QTest::newRow("empty data") << "feeder" << feedLine("MATCH", "") << false;
    QTest::newRow("half a record") << "feeder"
                                   << feedLine("MATCH", records({10, 20}, 1).chopped(3).toBase64()) << false;
    QTest::newRow("a lone length byte")
        << "feeder" << feedLine("MATCH", (records({10}, 1) + QByteArray(1, '\x01')).toBase64()) << false;
    QTest::newRow("a record too long to relay")
        << "feeder" << feedLine("MATCH", records({48001}, 1).toBase64()) << false;
    QTest::newRow("a line over 65536 bytes")
        << "feeder" << feedLine("MATCH", records({60000}, 1).toBase64()) << true;
}

void TestServer::spectateHostileFeed()
{
    QFETCH(QString, sender);
    QFETCH(QByteArray, line);
    QFETCH(bool, dropped);
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient a, b, w;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {&w}, lm));
    QVERIFY(!w.waitFor("spectate").isEmpty());
    ScriptedClient &from = sender == "feeder" ? *lm.feeder : *lm.other;
    from.sendRaw(line.replace("MATCH", lm.match.toLatin1()));
    if (dropped) {
        QVERIFY(from.waitDisconnected());
    } else {
        // Refused without an answer, and counted.
        QVERIFY(settle(from));
        QVERIFY(!from.has("error"));
        QCOMPARE(feedStats(*server).value("refused").toInt(), 1);
    }
    // The feed goes on: the watcher gets the good chunk after it and nothing else.
    const QByteArray after = records({33, 44}, 99);
    if (!dropped) {
        sendFeed(*lm.feeder, lm.match, after);
        QByteArray got;
        QVERIFY(waitFeed(w, lm.match, got, after.size()));
        QCOMPARE(got, after);
    }
    QVERIFY(settle(w));
    QByteArray more;
    drainFeed(w, lm.match, more);
    QVERIFY(more.isEmpty());
    QCOMPARE(feedStats(*server).value("accepted").toInt(), dropped ? 0 : 1);
}

void TestServer::spectateLaggingWatcherIsCut()
{
    QVERIFY(startServer({"--lobby-countdown", "0", "--watcher-lag", "65536"}));
    ScriptedClient a, b, good, stalled;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {&good, &stalled}, lm));
    QVERIFY(!good.waitFor("spectate").isEmpty());
    QVERIFY(!stalled.waitFor("spectate").isEmpty());
    stalled.pauseReading();
    // Chunk after chunk while the good watcher keeps up, until the stalled one is cut off (the
    // kernel's socket buffers take a few megabytes first).
    QByteArray sent, got;
    quint32 seed = 1;
    bool cut = false;
    while (!cut && sent.size() < 15 * 1024 * 1024) {
        const QByteArray chunk = records({40000}, seed++);
        sendFeed(*lm.feeder, lm.match, chunk);
        sent += chunk;
        QVERIFY(waitFeed(good, lm.match, got, sent.size()));
        cut = server->errors().contains("does not keep up with the feed");
    }
    QVERIFY2(cut, qPrintable(server->errors().right(2000)));
    QCOMPARE(got, sent);
    // The players and the good watcher go on.
    for (int i = 0; i < 5; ++i) {
        const QByteArray chunk = records({9000}, seed++);
        sendFeed(*lm.feeder, lm.match, chunk);
        sent += chunk;
    }
    QVERIFY(waitFeed(good, lm.match, got, sent.size()));
    QCOMPARE(got, sent);
    QVERIFY(settle(*lm.feeder) && settle(*lm.other));
    Go byFeeder;
    byFeeder.go[0] = lm.feederGo;
    QCOMPARE(playResult(*lm.feeder, *lm.other, byFeeder, 0).value("status").toString(), QString("agreed"));
    QCOMPARE(good.waitFor("spectate_end").value("status").toString(), QString("agreed"));

    // The stalled watcher was cut, not dropped: it reads its backlog, ends with "lagged" and stays.
    stalled.resumeReading();
    const QJsonObject end = stalled.waitFor("spectate_end", 20000);
    QCOMPARE(end.value("match").toString(), lm.match);
    QCOMPARE(end.value("status").toString(), QString("lagged"));
    QVERIFY(stalled.connected());
    QVERIFY(settle(stalled));
    QByteArray part;
    QVERIFY(drainFeed(stalled, lm.match, part));
    QVERIFY(part.size() < sent.size());
    QCOMPARE(part, sent.left(part.size()));
    QVERIFY(!stalled.has("spectate_end")); // no second end after the result
    QVERIFY(!server->errors().contains("does not read what it is sent"));
    QCOMPARE(feedStats(*server).value("lagged").toInt(), 1);
}

void TestServer::spectateMidMatchAndLinger()
{
    QVERIFY(startServer({"--lobby-countdown", "0", "--feed-linger", "2"}));
    ScriptedClient a, b, w1, w2;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {&w1}, lm));
    QVERIFY(!w1.waitFor("spectate").isEmpty());
    const QByteArray first = records({100, 2000, 5}, 10);
    sendFeed(*lm.feeder, lm.match, first);
    QByteArray got1;
    QVERIFY(waitFeed(w1, lm.match, got1, first.size()));

    // A spectator who joins mid-match gets the offer, then the feed so far, then what comes.
    QVERIFY(join(w2, "latecomer"));
    QCOMPARE(joinLobby(w2, lm.code, true).value("type").toString(), QString("lobby"));
    const QJsonObject offer = w2.waitFor("spectate");
    QCOMPARE(offer.value("match").toString(), lm.match);
    QCOMPARE(offer.value("seed"), lm.feederGo.value("seed"));
    const QByteArray second = records({700, 800}, 20);
    sendFeed(*lm.feeder, lm.match, second);
    QByteArray got2;
    QVERIFY(waitFeed(w2, lm.match, got2, first.size() + second.size()));
    QCOMPARE(got2, first + second);

    // A watcher who signs back in mid-match gets the offer and the whole feed again.
    const QString token = w1.token;
    w1.close();
    w1.inbox().clear(); // what the first connection got
    QVERIFY(w1.connectPlain(server->tcpPort));
    QCOMPARE(w1.hello().value("type").toString(), QString("welcome"));
    QCOMPARE(w1.auth(token).value("type").toString(), QString("account"));
    QCOMPARE(w1.waitFor("spectate").value("match").toString(), lm.match);
    QByteArray again;
    QVERIFY(waitFeed(w1, lm.match, again, first.size() + second.size()));
    QCOMPARE(again, first + second);

    // A watcher who leaves the lobby gets no more of it, nor its end.
    QCOMPARE(request(w1, {{"type", "lobby_leave"}}).value("type").toString(), QString("lobby_left"));
    const QByteArray third = records({10}, 25);
    sendFeed(*lm.feeder, lm.match, third);
    QVERIFY(waitFeed(w2, lm.match, got2, first.size() + second.size() + third.size()));

    // The last flush after the result still arrives; after the linger the feed is refused.
    Go byFeeder;
    byFeeder.go[0] = lm.feederGo;
    QCOMPARE(playResult(*lm.feeder, *lm.other, byFeeder, 0).value("status").toString(), QString("agreed"));
    const QByteArray last = records({300}, 30);
    sendFeed(*lm.feeder, lm.match, last);
    QVERIFY(waitFeed(w2, lm.match, got2, first.size() + second.size() + third.size() + last.size()));
    QCOMPARE(got2.right(last.size()), last);
    QCOMPARE(w2.waitFor("spectate_end").value("status").toString(), QString("agreed"));
    QCOMPARE(feedStats(*server).value("refused").toInt(), 0);
    QVERIFY(settle(w1));
    QVERIFY(!w1.has("spectate_end"));
    QByteArray leftOver;
    drainFeed(w1, lm.match, leftOver);
    QVERIFY(leftOver.isEmpty());
    QVERIFY(orxtest::waitUntil(
        [&] { return server->errors().contains(QStringLiteral("match %1: feed freed").arg(lm.match)); },
        10000));
    sendFeed(*lm.feeder, lm.match, records({50}, 40));
    QVERIFY(orxtest::waitUntil([&] { return feedStats(*server).value("refused").toInt() == 1; }));
    QVERIFY(settle(w2));
    QByteArray none;
    drainFeed(w2, lm.match, none);
    QVERIFY(none.isEmpty());
    QCOMPARE(feedStats(*server).value("feeds").toInt(), 0);
}

void TestServer::spectateEndsWithTheMatch()
{
    QVERIFY(startServer({"--lobby-countdown", "0", "--result-wait", "500"}));
    // King of the Hill: the line and the watchers are offered the match on the hill.
    ScriptedClient k, b, c, w;
    QVERIFY(join(k, "hillking"));
    QVERIFY(join(b, "hillb"));
    QVERIFY(join(c, "hillc"));
    QVERIFY(join(w, "hillw"));
    const QString code = createLobby(k, true).value("lobby").toObject().value("id").toString();
    joinLobby(b, code, false);
    joinLobby(c, code, false); // line 1
    joinLobby(w, code, true);
    LobbyMatch lm;
    QVERIFY(startLobbyMatch(*this, k, b, lm));
    QCOMPARE(lm.feeder, &k); // the king is side 1
    for (ScriptedClient *x : {&c, &w})
        QCOMPARE(x->waitFor("spectate").value("match").toString(), lm.match);
    const QByteArray bytes = records({64, 64}, 5);
    sendFeed(k, lm.match, bytes);
    QByteArray gotC;
    QVERIFY(waitFeed(c, lm.match, gotC, bytes.size()));

    // The challenger leaves the lobby mid-match: the match ends abandoned, and so does the watch.
    QCOMPARE(request(b, {{"type", "lobby_leave"}}).value("type").toString(), QString("lobby_left"));
    b.send({{"type", "result"}, {"match", lm.match}, {"outcome", "left"}});
    k.send({{"type", "result"}, {"match", lm.match}, {"winner", 1}, {"p1_rounds", 2}, {"p2_rounds", 0}});
    QCOMPARE(k.waitFor("match_result").value("status").toString(), QString("abandoned"));
    for (ScriptedClient *x : {&c, &w}) {
        const QJsonObject end = x->waitFor("spectate_end");
        QCOMPARE(end.value("match").toString(), lm.match);
        QCOMPARE(end.value("status").toString(), QString("abandoned"));
        QCOMPARE(end.value("winner").toInt(), 1);
    }
    QVERIFY(!k.has("spectate_end") && !b.has("spectate_end"));

    // The next match (king against c from the line) is called off before it goes: nothing was
    // offered, so there is nothing to end.
    ready(k);
    ready(c);
    const QString next = k.waitFor("match_found").value("match").toString();
    QVERIFY(!next.isEmpty());
    QCOMPARE(request(c, {{"type", "lobby_leave"}}).value("type").toString(), QString("lobby_left"));
    QCOMPARE(k.waitFor("match_cancelled").value("match").toString(), next);
    QVERIFY(settle(w));
    QVERIFY(!w.has("spectate"));
    QVERIFY(!w.has("spectate_end"));
}

void TestServer::spectateFeedKeptUpTo16MiB()
{
    QVERIFY(startServer({"--lobby-countdown", "0"}));
    ScriptedClient a, b, w;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {}, lm));
    // 349 records of 48000 bytes fit in 16 MiB; the 350th does not, nor does anything after it,
    // however small.
    const int fit = int((16 * 1024 * 1024) / 48002);
    QByteArray sent;
    for (int i = 0; i < fit + 3; ++i) {
        const QByteArray chunk = records({i < fit + 2 ? 48000 : 10}, quint32(i));
        sendFeed(*lm.feeder, lm.match, chunk);
        if (i < fit)
            sent += chunk;
    }
    QVERIFY(settle(*lm.feeder));
    QJsonObject stats = feedStats(*server);
    QCOMPARE(stats.value("accepted").toInt(), fit);
    QCOMPARE(stats.value("dropped").toInt(), 3);
    QCOMPARE(stats.value("kept").toInteger(), sent.size());
    QCOMPARE(server->errors().count(QStringLiteral("match %1: the feed passed 16 MB").arg(lm.match)), 1);
    // A spectator who comes now gets all of it, paced by what its connection takes, without the
    // write-backlog guard ever dropping it.
    QVERIFY(join(w, "bigwatcher"));
    QCOMPARE(joinLobby(w, lm.code, true).value("type").toString(), QString("lobby"));
    QCOMPARE(w.waitFor("spectate").value("match").toString(), lm.match);
    QByteArray got;
    QVERIFY(waitFeed(w, lm.match, got, sent.size(), 30000));
    QVERIFY(got == sent);
    QVERIFY(!server->errors().contains("does not read what it is sent"));
}

void TestServer::spectateFeedsShareOneBudget()
{
    QVERIFY(startServer({"--lobby-countdown", "0", "--feed-budget", "1"}));
    ScriptedClient a, b, c, d;
    LobbyMatch first, second;
    QVERIFY(setUp(*this, a, b, {}, first));
    QVERIFY(setUp(*this, c, d, {}, second));
    const int recordBytes = 48002;
    // The first match's feed holds 15 records, about 0.7 of the 1 MB all feeds may hold together.
    for (int i = 0; i < 15; ++i)
        sendFeed(*first.feeder, first.match, records({48000}, quint32(i)));
    QVERIFY(settle(*first.feeder));
    // The second match's feed would pass the budget part-way: it keeps what fits and loses the
    // rest, even a record small enough to fit, so that no watcher gets a feed with a gap.
    const int fitting = (1024 * 1024 - 15 * recordBytes) / recordBytes;
    for (int i = 0; i < 10; ++i)
        sendFeed(*second.feeder, second.match, records({i < 9 ? 48000 : 10}, quint32(100 + i)));
    QVERIFY(settle(*second.feeder));
    const QJsonObject stats = feedStats(*server);
    QCOMPARE(stats.value("accepted").toInt(), 15 + fitting);
    QCOMPARE(stats.value("dropped").toInt(), 10 - fitting);
    QCOMPARE(stats.value("kept").toInteger(), qint64(15 + fitting) * recordBytes);
    QCOMPARE(
        server->errors().count(
            QStringLiteral("match %1: the feeds held passed 1 MB in all, the rest of this feed is dropped")
                .arg(second.match)),
        1);
    // Nobody is thrown off for it: both matches' players are served as before.
    for (ScriptedClient *p : {first.feeder, first.other, second.feeder, second.other})
        QVERIFY(settle(*p));
}

void TestServer::spectateOfferSaysWhereTheRelayStarts()
{
    // The watcher's connection drops in the middle of the feed and signs in again within the grace:
    // the match is offered again with the whole feed, and the offer says where the relay starts, so
    // the launcher can tell the bytes it had from the new ones.
    QVERIFY(startServer({"--lobby-countdown", "0", "--drop-grace", "20000"}));
    ScriptedClient a, b, w;
    LobbyMatch lm;
    QVERIFY(setUp(*this, a, b, {&w}, lm));
    const QJsonObject first = w.waitFor("spectate");
    QCOMPARE(first.value("from").toInteger(-1), 0);
    const QByteArray one = records({900, 900, 5000}, 11);
    sendFeed(*lm.feeder, lm.match, one);
    QByteArray got;
    QVERIFY(waitFeed(w, lm.match, got, one.size()));

    w.close();
    QVERIFY(orxtest::waitUntil([&] { return feedStats(*server).value("watchers").toInt() == 0; }));
    const QByteArray two = records({700, 30}, 40);
    sendFeed(*lm.feeder, lm.match, two);
    QVERIFY(settle(*lm.feeder));
    ScriptedClient w2;
    QVERIFY(w2.connectPlain(server->tcpPort));
    w2.hello();
    QCOMPARE(w2.auth(w.token).value("type").toString(), QString("account"));
    const QJsonObject offer = w2.waitFor("spectate");
    QCOMPARE(offer.value("match").toString(), lm.match);
    QCOMPARE(offer.value("from").toInteger(-1), 0);
    QByteArray all;
    QVERIFY(waitFeed(w2, lm.match, all, one.size() + two.size()));
    QCOMPARE(all, one + two);
}
