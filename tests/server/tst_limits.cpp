// Limits that keep one misbehaving client from costing everybody else: connection caps, the TLS
// handshake deadline and silent connections. Each case shows both sides: the hostile client is
// cut off, a well-behaved one is served meanwhile.
#include "tst_server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <memory>

namespace {

// A ping answered on a connection that is already greeted.
bool pongs(ScriptedClient &c)
{
    return c.waitReply(c.send({{"type", "ping"}})).value("type") == "pong";
}

bool greeted(ScriptedClient &c, quint16 port)
{
    return c.connectPlain(port) && c.hello().value("type") == "welcome";
}

} // namespace

void TestServer::connectionCapsRefuseTheExcess_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("logged");
    QTest::newRow("per address")
        << QStringList{"--max-per-address", "3"}
        << "refused a connection from 127.0.0.1: 3 connections from that address already";
    QTest::newRow("in all")
        << QStringList{"--max-connections", "3"}
        << "refused a connection from 127.0.0.1: 3 connections open, the most there may be";
}

void TestServer::connectionCapsRefuseTheExcess()
{
    QFETCH(QStringList, options);
    QFETCH(QString, logged);
    QVERIFY(startServer(options));
    ScriptedClient a, b, c, extra;
    QVERIFY(greeted(a, server->tcpPort) && greeted(b, server->tcpPort) && greeted(c, server->tcpPort));
    // The fourth is closed at once, without a word; the server says why in its log, once.
    QVERIFY(extra.connectPlain(server->tcpPort) || !extra.connected());
    QVERIFY(extra.waitDisconnected());
    QVERIFY(orxtest::waitUntil([&] { return server->errors().contains(logged); }));
    ScriptedClient again;
    QVERIFY(again.connectPlain(server->tcpPort) || !again.connected());
    QVERIFY(again.waitDisconnected());
    QCOMPARE(server->errors().count(logged), 1);
    // Those in keep being served, and a slot given back is taken again.
    QVERIFY(pongs(a) && pongs(c));
    b.close();
    QVERIFY(orxtest::waitUntil([&] {
        ScriptedClient d;
        return greeted(d, server->tcpPort) && pongs(d);
    }));
}

void TestServer::handshakeDeadlineFreesIdleSockets()
{
    // Forty connections that never start their handshake, from the address a real client also uses.
    QVERIFY(startServer(
        {"--tls", "--handshake-timeout", "1", "--max-per-address", "64", "--conn-burst", "1000"}));
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < 40; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, server->tcpPort);
        QVERIFY(s->waitForConnected(orxtest::scaled(5000)));
        idle.push_back(std::move(s));
    }
    // A real client gets through while they hang, and is answered.
    ScriptedClient real;
    QByteArray digest;
    QVERIFY2(real.connectTls(server->tcpPort, &digest), qPrintable(server->errors().right(2000)));
    QCOMPARE(real.hello().value("type").toString(), QString("welcome"));
    QVERIFY(pongs(real));
    // Each idle one is dropped once its handshake time is up.
    QVERIFY(orxtest::waitUntil(
        [&] {
            return std::all_of(idle.begin(), idle.end(), [](const auto &s) {
                s->waitForReadyRead(0);
                return s->state() == QAbstractSocket::UnconnectedState;
            });
        },
        20000));
    QVERIFY(server->errors().contains("127.0.0.1: no TLS handshake in time, dropping the connection"));
    QVERIFY(pongs(real));
}

void TestServer::silentConnectionIsClosed()
{
    QVERIFY(startServer({"--idle-timeout", "5"}));
    ScriptedClient silent, talking;
    QVERIFY(greeted(silent, server->tcpPort) && greeted(talking, server->tcpPort));
    // One pings every second (a launcher does every 30 s); the other says nothing more.
    QElapsedTimer sincePing;
    sincePing.start();
    QVERIFY(orxtest::waitUntil(
        [&] {
            if (sincePing.elapsed() >= 1000) {
                sincePing.restart();
                talking.send({{"type", "ping"}});
            }
            return !silent.connected();
        },
        30000));
    QVERIFY(talking.connected());
    QVERIFY(pongs(talking));
    QVERIFY(server->errors().contains("127.0.0.1: silent for 5 s, closing the connection"));
}

namespace {

// Runs `sql` on the server's database while it is stopped; the rows of a SELECT, one text each.
QStringList onDatabase(ServerProcess &s, const QString &sql)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "limits-check");
        db.setDatabaseName(s.databaseFile());
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql)) {
                while (q.next())
                    rows << q.value(0).toString();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("limits-check");
    return rows;
}

QJsonObject login(ScriptedClient &c, const QString &name, const QString &password)
{
    return c.waitReply(c.send({{"type", "login"}, {"name", name}, {"password", password}}), 60000);
}

} // namespace

void TestServer::passwordHashingLeavesOthersServed()
{
    // Hashes slow enough to be under way while everything else happens.
    QVERIFY(startServer({"--kdf-iterations", "400000"}));
    ScriptedClient other, s[6];
    QVERIFY(greeted(other, server->tcpPort));
    for (ScriptedClient &c : s)
        QVERIFY(greeted(c, server->tcpPort));
    // Six sign-ins from one address at once: four are hashed, the others are asked to slow down.
    int ids[6];
    for (int i = 0; i < 6; ++i)
        ids[i] =
            s[i].send({{"type", "login"}, {"name", QString("nobody%1").arg(i)}, {"password", "secret1"}});
    // Meanwhile another client is answered at once, before any of the hashes is done.
    QCOMPARE(other.waitReply(other.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QStringList codes;
    int answeredBeforePong = 0;
    for (int i = 0; i < 6; ++i)
        answeredBeforePong += s[i].inbox().isEmpty() ? 0 : 1;
    for (int i = 0; i < 6; ++i)
        codes << s[i].waitReply(ids[i], 60000).value("code").toString();
    codes.sort();
    QCOMPARE(codes, (QStringList{"slow_down", "slow_down", "wrong_password", "wrong_password",
                                 "wrong_password", "wrong_password"}));
    QVERIFY2(answeredBeforePong <= 2, "the ping waited for the password hashes");
    QVERIFY(server->errors().contains("127.0.0.1: too many sign-ins at once, asked to slow down"));

    // One client's requests are answered in the order it sent them, the sign-in's first.
    const int first = s[0].send({{"type", "login"}, {"name", "nobody"}, {"password", "secret1"}});
    const int second = s[0].send({{"type", "ping"}});
    QVERIFY(orxtest::waitUntil([&] { return s[0].inbox().size() >= 2; }, 60000));
    QCOMPARE(s[0].inbox().at(0).value("id").toInt(), first);
    QCOMPARE(s[0].inbox().at(1).value("id").toInt(), second);
}

void TestServer::sessionTokensAreHashedAndExpire()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(greeted(c, server->tcpPort));
    QCOMPARE(c.signUp("keeper", "keeperpass").value("type").toString(), QString("account"));
    const QString token = c.token;
    QVERIFY(!token.isEmpty());
    c.close();
    QVERIFY(server->stop());
    // Only a hash of the token is kept.
    const QStringList stored = onDatabase(*server, "SELECT token FROM sessions");
    QCOMPARE(stored.size(), 1);
    QVERIFY(stored.first().startsWith("h:"));
    QVERIFY(!stored.first().contains(token));
    // A row written before tokens were hashed still signs in, and is kept hashed from then on.
    const QString old = QString(64, 'a');
    onDatabase(*server, QString("INSERT INTO sessions (token, account_id, created) SELECT '%1', id, "
                                "strftime('%s','now') FROM accounts")
                            .arg(old));
    QVERIFY(startServer());
    ScriptedClient d;
    QVERIFY(greeted(d, server->tcpPort));
    QCOMPARE(d.auth(old).value("type").toString(), QString("account"));
    QCOMPARE(d.auth(token).value("type").toString(), QString("account"));
    d.close();
    QVERIFY(server->stop());
    QVERIFY(!onDatabase(*server, "SELECT token FROM sessions").contains(old));
    // Unused for longer than the term: ended, and pruned at the next start.
    onDatabase(*server, "UPDATE sessions SET created = created - 31 * 86400");
    QVERIFY(startServer());
    QVERIFY(
        orxtest::waitUntil([&] { return server->errors().contains("2 sessions unused for 30 days ended"); }));
    ScriptedClient e;
    QVERIFY(greeted(e, server->tcpPort));
    QCOMPARE(e.auth(token).value("code").toString(), QString("bad_token"));
}

void TestServer::tokenSignInsKeepTheDatabaseLogSmall()
{
    // Every sign-in by token writes (the session lasts another term). Those writes must let the
    // database fold its write-ahead log back in as any other write does, or a server whose
    // launchers mostly reconnect grows the log without end.
    QVERIFY(startServer({"--no-rate-limit"}));
    ScriptedClient c;
    QVERIFY(greeted(c, server->tcpPort));
    QCOMPARE(c.signUp("regular", "regularpass").value("type").toString(), QString("account"));
    const QString token = c.token;
    const QString log = server->databaseFile() + "-wal";
    qint64 largest = 0;
    for (int batch = 0; batch < 30; ++batch) {
        QList<int> ids;
        for (int i = 0; i < 100; ++i)
            ids << c.send({{"type", "auth"}, {"token", token}});
        for (const int id : ids)
            QCOMPARE(c.waitReply(id).value("type").toString(), QString("account"));
        largest = std::max(largest, QFileInfo(log).size());
    }
    // About one 4 KiB page a sign-in: 12 MB of log when it is never folded back; SQLite folds it
    // back at 1000 pages.
    QVERIFY2(largest < 6 * 1024 * 1024, qPrintable(QString("the log grew to %1 bytes").arg(largest)));
    // And the folded-back database holds what was written.
    c.close();
    QVERIFY(server->stop());
    QCOMPARE(onDatabase(*server, "SELECT COUNT(*) FROM sessions"), QStringList{"1"});
}

void TestServer::successfulSignInsAreThrottled()
{
    QVERIFY(startServer({"--throttle", "--max-per-address", "64", "--conn-burst", "1000"}));
    ScriptedClient c;
    QVERIFY(greeted(c, server->tcpPort));
    QCOMPARE(c.signUp("often", "oftenpass").value("type").toString(), QString("account"));
    // Each from a new connection, so no connection's own request rate is what stops them.
    for (int i = 0; i < 30; ++i) {
        ScriptedClient x;
        QVERIFY(greeted(x, server->tcpPort));
        QCOMPARE(login(x, "often", "oftenpass").value("type").toString(), QString("account"));
    }
    // (Each sign-in closed the one before it: one session per account.)
    ScriptedClient y;
    QVERIFY(greeted(y, server->tcpPort));
    const QJsonObject r = login(y, "often", "oftenpass");
    QCOMPARE(r.value("code").toString(), QString("too_many_tries"));
    QCOMPARE(r.value("message").toString(),
             QString("Too many sign-ins from your address. Try again in a few minutes."));
    // A token resume costs no hash and still works.
    QCOMPARE(y.auth(c.token).value("type").toString(), QString("account"));
}

void TestServer::floodingClientIsSlowedDown()
{
    QVERIFY(startServer());
    ScriptedClient flood, other;
    QVERIFY(greeted(flood, server->tcpPort) && greeted(other, server->tcpPort));
    QCOMPARE(flood.signUp("flooder").value("type").toString(), QString("account"));
    // A hundred profile requests at once: the first ones are answered, the rest asked to wait.
    QList<int> ids;
    for (int i = 0; i < 100; ++i)
        ids << flood.send({{"type", "profile"}, {"name", "flooder"}});
    int answered = 0, slowed = 0;
    for (int id : ids) {
        const QJsonObject r = flood.waitReply(id);
        answered += r.value("type") == "profile" ? 1 : 0;
        slowed += r.value("code") == "slow_down" ? 1 : 0;
    }
    QCOMPARE(answered + slowed, 100);
    QVERIFY2(answered >= 20 && answered < 40, qPrintable(QString::number(answered)));
    QVERIFY(pongs(other));
    QCOMPARE(server->errors().count("127.0.0.1: too many look-ups at once, asked to slow down"), 1);
    // Once it paces itself it is answered again.
    QVERIFY(orxtest::waitUntil([&] {
        return flood.waitReply(flood.send({{"type", "profile"}, {"name", "flooder"}})).value("type") ==
               "profile";
    }));
}

void TestServer::floodThroughTheTunnelDropsPacketsNotThePlayer()
{
    // Alice plays through the tunnel and has stopped reading for a while (a slow link); Bob floods
    // her through the relay with far more than any game sends.
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "alice") && join(b, "bob"));
    const QString match = pairAndAccept(a, b, false, Path::Tunnel);
    QVERIFY(!match.isEmpty());
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("path").toString(), QString("tunnel"));
    a.pauseReading();
    const QByteArray packet(1200, 'x');
    for (int i = 0; i < 20000; ++i) {
        b.sendGame(packet, go.go[1].value("remote").toString(), false);
        if (i % 500 == 0)
            QTest::qWait(1); // the datagrams go out rather than fill the socket's own buffer
    }
    QVERIFY(pongs(b));
    QVERIFY(orxtest::waitUntil([&] { return server->errors().contains(" a player sends more than "); }));
    // Alice is still in: once she reads again her connection works, with a bounded part of the flood.
    a.resumeReading();
    QVERIFY(pongs(a));
    QVERIFY(a.connected());
    QVERIFY(!server->errors().contains("does not read what it is sent"));
    const qsizetype got = a.gamePackets().count(packet);
    QVERIFY2(got > 0 && got < 5000, qPrintable(QString::number(got)));
    // The match goes on to its result.
    a.send({{"type", "match_state"}, {"match", match}, {"state", "in_match"}});
    QCOMPARE(playResult(a, b, go, 0).value("status").toString(), QString("agreed"));
}

void TestServer::relayKeepsPacketsThroughAFloodBurst()
{
    // The one serving thread is busy for a moment (here: stopped) while a stranger floods the UDP
    // port; the relay packet a player sends right after must still be waiting when it reads again.
    QFile rmemMax("/proc/sys/net/core/rmem_max");
    if (!rmemMax.open(QIODevice::ReadOnly) || rmemMax.readAll().trimmed().toLongLong() < 4 * 1024 * 1024)
        QSKIP("this system caps UDP receive buffers below 4 MiB (net.core.rmem_max)");
    QVERIFY(startServer());
    ScriptedClient a, b;
    QVERIFY(join(a, "alice") && join(b, "bob"));
    const QString match = pairAndAccept(a, b, false, Path::Relay);
    QVERIFY(!match.isEmpty());
    const Go go = connectMatch(a, b, match);
    QVERIFY(go.ok);
    QCOMPARE(go.go[0].value("path").toString(), QString("relay"));

    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
    const pid_t pid = pid_t(server->pid());
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    // Whatever fails below, the server must not be left stopped for the cleanup.
    const auto resume = qScopeGuard([pid] { ::kill(pid, SIGCONT); });
    // About 1.5 MB of datagrams: several times what a socket holds by default.
    const QByteArray junk(1000, 'j');
    for (int i = 0; i < 1500; ++i) {
        stranger.writeDatagram(junk, QHostAddress::LocalHost, server->udpPort);
        if (i % 200 == 0)
            QTest::qWait(1);
    }
    // As large as the junk, so it needs as much room in the buffer.
    const QByteArray honest = QByteArray("after-the-burst").leftJustified(junk.size(), '.');
    a.sendGame(honest, go.go[0].value("remote").toString(), false);
    QCOMPARE(::kill(pid, SIGCONT), 0);
    QTRY_VERIFY_WITH_TIMEOUT(b.gamePackets().contains(honest), orxtest::scaled(5000));
    QVERIFY(!b.gamePackets().contains(junk));
    QVERIFY(pongs(a) && pongs(b));
    QVERIFY(server->errors().contains("UDP receive buffer 8192 KB"));
}

void TestServer::newConnectionsPerAddressAreRated()
{
    QVERIFY(startServer({"--conn-burst", "5", "--conn-rate", "0.2"}));
    // One address opening and closing connections in a row: each is closed before the next, so
    // the cap of open ones never bites; the rate does.
    const QHostAddress cycler("127.0.0.3");
    int welcomed = 0, refused = 0;
    for (int i = 0; i < 10; ++i) {
        ScriptedClient c;
        QVERIFY(c.connectPlain(server->tcpPort, cycler));
        if (c.hello().value("type") == "welcome")
            ++welcomed;
        else
            ++refused;
    }
    QCOMPARE(welcomed, 5);
    QCOMPARE(refused, 5);
    QVERIFY(server->errors().contains("refused a connection from 127.0.0.3: more than 5 new connections"));
    // Another address is not held up by it.
    ScriptedClient other;
    QVERIFY(other.connectPlain(server->tcpPort, QHostAddress("127.0.0.4")));
    QCOMPARE(other.hello().value("type").toString(), QString("welcome"));
}

void TestServer::badLinesCountAgainstTheRate()
{
    QVERIFY(startServer());
    ScriptedClient junk;
    QVERIFY(greeted(junk, server->tcpPort));
    // Lines that are no request cost the server an answer each, like requests: the same rate.
    for (int i = 0; i < 50; ++i)
        junk.sendRaw(i % 2 ? "not json\n" : "{\"no\":\"type\"}\n");
    QVERIFY(orxtest::waitUntil([&] { return junk.inbox().size() >= 50; }));
    int bad = 0, slowed = 0;
    for (const QJsonObject &o : junk.inbox()) {
        bad += o.value("code") == "bad_json" || o.value("code") == "bad_request" ? 1 : 0;
        slowed += o.value("code") == "slow_down" ? 1 : 0;
    }
    QVERIFY2(bad >= 25 && bad < 40, qPrintable(QString::number(bad))); // the hello took one
    QCOMPARE(bad + slowed, 50);
    // And they use up what real requests may send.
    QCOMPARE(junk.waitReply(junk.send({{"type", "queue_leave"}})).value("code").toString(),
             QString("slow_down"));
}

void TestServer::emptyLinesDoNotKeepAConnection()
{
    QVERIFY(startServer({"--idle-timeout", "5"}));
    ScriptedClient blank;
    QVERIFY(greeted(blank, server->tcpPort));
    // A line feed every half second is not the client speaking: the idle limit still ends it.
    QElapsedTimer since;
    since.start();
    QVERIFY(orxtest::waitUntil(
        [&] {
            if (since.elapsed() >= 500) {
                since.restart();
                blank.sendRaw("\n \r\n");
            }
            return !blank.connected();
        },
        30000));
    QVERIFY(server->errors().contains("127.0.0.1: silent for 5 s, closing the connection"));
}

void TestServer::writeBacklogOfAllConnectionsIsBounded()
{
    QVERIFY(startServer({"--backlog-total", "1", "--no-rate-limit"}));
    ScriptedClient reader, stalled;
    QVERIFY(greeted(reader, server->tcpPort) && greeted(stalled, server->tcpPort));
    // One client asks for far more than it reads; the server holds at most the total for all.
    stalled.pauseReading();
    const QByteArray ask = QByteArray("{\"type\":\"online\"}\n").repeated(2000);
    QVERIFY(orxtest::waitUntil(
        [&] {
            stalled.sendRaw(ask);
            return server->errors().contains("the write backlog of all connections is full");
        },
        60000));
    QVERIFY(!server->errors().contains("does not read what it is sent"));
    // Everybody else is served on.
    QVERIFY(pongs(reader));
}
