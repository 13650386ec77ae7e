// Start-up, TLS, the greeting, pings, hostile input, notices, update offers and stored reports.
#include "tst_server.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSslCertificate>
#include <QSslKey>
#include <QTest>

void TestServer::startupPrintsPortsAndTlsFingerprint()
{
    QVERIFY(startServer({"--tls"}));
    QVERIFY(server->tcpPort > 0);
    QVERIFY(server->udpPort > 0);
    QVERIFY2(!server->fingerprint.isEmpty(), qPrintable(server->output()));
    QVERIFY(QFile::exists(dir->filePath("data/server-cert.pem")));
    // The certificate it makes for itself is ECDSA P-256, which costs less per handshake.
    QFile pem(dir->filePath("data/server-cert.pem"));
    QVERIFY(pem.open(QIODevice::ReadOnly));
    const QSslKey made = QSslCertificate(pem.readAll(), QSsl::Pem).publicKey();
    QCOMPARE(made.algorithm(), QSsl::Ec);
    QCOMPARE(made.length(), 256);
    ScriptedClient c;
    QByteArray digest;
    QVERIFY(c.connectTls(server->tcpPort, &digest));
    // The printed fingerprint is the display form of the certificate's SHA-256.
    QCOMPARE(server->fingerprint.remove(':').toLower(), QString::fromLatin1(digest.toHex()));
    QCOMPARE(c.hello().value("type").toString(), QString("welcome"));

    // The certificate made on first start is kept: a restart presents the same one.
    const QString first = server->fingerprint.toLower();
    QVERIFY(server->stop());
    QVERIFY(startServer({"--tls"}));
    QCOMPARE(server->fingerprint.remove(':').toLower(), first);
}

void TestServer::givenCertificateIsUsed()
{
    const QString cert = dir->filePath("given-cert.pem"), key = dir->filePath("given-key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                              "/CN=given", "-keyout", key, "-out", cert});
    QVERIFY(openssl.waitForFinished(60000));
    QCOMPARE(openssl.exitCode(), 0);
    QFile f(cert);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray digest = QSslCertificate(f.readAll()).digest(QCryptographicHash::Sha256);
    QVERIFY(startServer({"--tls", "--cert", cert, "--key", key}));
    QCOMPARE(server->fingerprint.remove(':').toLower(), QString::fromLatin1(digest.toHex()));
    QVERIFY(!QFile::exists(dir->filePath("data/server-cert.pem")));
    ScriptedClient c;
    QByteArray presented;
    QVERIFY(c.connectTls(server->tcpPort, &presented));
    QCOMPARE(presented, digest);
}

void TestServer::startupErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("cert without key")
        << QStringList{"--tls", "--cert", "x.pem"} << "--cert and --key go together";
    QTest::newRow("port out of range") << QStringList{"--udp-port", "70000"} << "--udp-port must be";
    QTest::newRow("not an address") << QStringList{"--address", "nowhere"} << "is not an IP address";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "frobnicate";
    QTest::newRow("bad widening") << QStringList{"--ping-widen", "1,2,3"} << "--ping-widen takes";
    // A watcher's allowance stays far below the 8 MiB write-backlog guard.
    QTest::newRow("watcher lag too big")
        << QStringList{"--watcher-lag", "8388608"} << "--watcher-lag must be";
    QTest::newRow("watcher lag too small") << QStringList{"--watcher-lag", "100"} << "--watcher-lag must be";
    QTest::newRow("feed linger not a number")
        << QStringList{"--feed-linger", "soon"} << "--feed-linger must be";
    QTest::newRow("missing certificate")
        << QStringList{"--tls", "--cert", "/nonexistent/c.pem", "--key", "/nonexistent/k.pem"}
        << "Cannot read /nonexistent/c.pem";
}

void TestServer::startupErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QVERIFY(!startServer(args));
    QVERIFY(!server->running());
    QVERIFY(server->exitCode() != 0);
    QVERIFY2(server->errors().contains(message), qPrintable(server->errors()));
}

void TestServer::welcomeAnnouncesServer()
{
    QVERIFY(startServer({"--motd", "Welcome to the test server", "--features", "relay_choice,koth"}));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    const QJsonObject w = c.hello();
    QCOMPARE(w.value("type").toString(), QString("welcome"));
    QCOMPARE(w.value("server").toString(), QString("orx-server"));
    QVERIFY(!w.value("version").toString().isEmpty());
    QCOMPARE(w.value("online").toInt(-1), 0);
    QCOMPARE(w.value("features").toArray(), QJsonArray({"relay_choice", "koth"}));
    QCOMPARE(w.value("udp_port").toInt(), int(server->udpPort));
    QCOMPARE(w.value("motd").toString(), QString("Welcome to the test server"));
    QVERIFY(!w.contains("update"));
    ScriptedClient d;
    QVERIFY(d.connectPlain(server->tcpPort));
    d.hello();
    QVERIFY(d.signUp("counted").value("type") == "account");
    QCOMPARE(c.hello().value("online").toInt(), 1);
}

void TestServer::helloRefusals_data()
{
    QTest::addColumn<int>("proto");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("code");
    QTest::newRow("other protocol") << 2 << "0.1.8"
                                    << "proto_mismatch";
    QTest::newRow("no protocol") << -1 << "0.1.8"
                                 << "proto_mismatch";
    QTest::newRow("older launcher") << 1 << "0.1.7"
                                    << "client_outdated";
    QTest::newRow("older by number, not text") << 1 << "0.1.9"
                                               << "client_outdated";
}

void TestServer::helloRefusals()
{
    QFETCH(int, proto);
    QFETCH(QString, version);
    QFETCH(QString, code);
    const QString offer = dir->filePath("offer.json");
    QFile f(offer);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(R"({"version":"0.1.10","build":"b1","size":1234,"sha256":")" + QByteArray(64, 'a') +
            R"(","url":"https://example.org/ORX-Rovivi-0.1.10.zip"})");
    f.close();
    QVERIFY(startServer({"--min-client-version", "0.1.10", "--update-file", offer}));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    const QJsonObject e = c.hello(version, proto);
    QCOMPARE(e.value("type").toString(), QString("error"));
    QCOMPARE(e.value("code").toString(), code);
    QCOMPARE(e.value("re").toString(), QString("hello"));
    QVERIFY(!e.value("message").toString().isEmpty());
    if (code == "client_outdated")
        QCOMPARE(e.value("update").toObject().value("version").toString(), QString("0.1.10"));
    QVERIFY(c.waitDisconnected());
    ScriptedClient ok;
    QVERIFY(ok.connectPlain(server->tcpPort));
    QCOMPARE(ok.hello("0.1.10").value("type").toString(), QString("welcome"));
}

void TestServer::pingAnswersWithItsId()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.send({{"type", "ping"}});
    const int id = c.send({{"type", "ping"}});
    const QJsonObject pong = c.waitReply(id);
    QCOMPARE(pong.value("type").toString(), QString("pong"));
    QCOMPARE(pong.value("id").toInt(), id);
}

void TestServer::hostileInput_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("code");
    QTest::newRow("not json") << QByteArray("hello there\n") << false << "bad_json";
    QTest::newRow("array") << QByteArray("[1,2,3]\n") << false << "bad_json";
    QTest::newRow("number") << QByteArray("42\n") << true << "bad_json";
    QTest::newRow("no type") << QByteArray("{\"id\":3}\n") << true << "bad_request";
    QTest::newRow("type not text") << QByteArray("{\"type\":7,\"id\":3}\n") << true << "bad_request";
    QTest::newRow("unknown type") << QByteArray("{\"type\":\"make_me_admin\",\"id\":3}\n") << true
                                  << "unknown_type";
    QTest::newRow("before sign-in") << QByteArray("{\"type\":\"queue_join\",\"id\":3}\n") << false
                                    << "not_signed_in";
    QTest::newRow("bad search") << QByteArray("{\"type\":\"queue_join\",\"game\":[],\"id\":3}\n") << true
                                << "bad_request";
    QTest::newRow("foreign match") << QByteArray("{\"type\":\"match_accept\",\"match\":\"m123\",\"id\":3}\n")
                                   << true << "no_such_match";
    QTest::newRow("foreign series")
        << QByteArray("{\"type\":\"series_ready\",\"series\":\"x\",\"ready\":true,\"id\":3}\n") << true
        << "no_such_series";
    QTest::newRow("login with numbers")
        << QByteArray("{\"type\":\"login\",\"name\":5,\"password\":{},\"id\":3}\n") << false
        << "wrong_password";
    QTest::newRow("report before sign-in")
        << QByteArray("{\"type\":\"crash_report\",\"id\":3}\n") << false << "not_signed_in";
}

void TestServer::hostileInput()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, signedIn);
    QFETCH(QString, code);
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    // Before the greeting every request is refused, whatever it is.
    c.sendRaw("{\"type\":\"register\",\"name\":\"early\",\"password\":\"password1\",\"id\":1}\n");
    QCOMPARE(c.waitReply(1).value("code").toString(), QString("hello_first"));
    c.hello();
    if (signedIn)
        QVERIFY(c.signUp("victim").value("type") == "account");
    c.inbox().clear();
    c.sendRaw(line);
    const QJsonObject e = c.waitFor("error");
    QCOMPARE(e.value("code").toString(), code);
    QVERIFY(e.contains("re"));
    QVERIFY(!e.value("message").toString().isEmpty());
    // The connection and the server carry on.
    const int id = c.send({{"type", "ping"}});
    QCOMPARE(c.waitReply(id).value("type").toString(), QString("pong"));
    QVERIFY(server->running());
}

void TestServer::hugeLineDropsTheConnection()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    // A line of 70000 bytes without its end: the server drops the connection instead of buffering on.
    c.sendRaw("{\"type\":\"ping\",\"pad\":\"" + QByteArray(70000, 'x'));
    QVERIFY(c.waitDisconnected());
    // A long line that still ends within the limit is taken.
    ScriptedClient d;
    QVERIFY(d.connectPlain(server->tcpPort));
    d.hello();
    d.sendRaw("{\"type\":\"ping\",\"id\":9,\"pad\":\"" + QByteArray(60000, 'y') + "\"}\n");
    QCOMPARE(d.waitReply(9).value("type").toString(), QString("pong"));
    // And a finished line above the limit drops too.
    d.sendRaw("{\"type\":\"ping\",\"pad\":\"" + QByteArray(66000, 'z') + "\"}\n");
    QVERIFY(d.waitDisconnected());
    QVERIFY(server->running());
}

void TestServer::hostileFieldsInEveryRequest()
{
    // Every request is to reach its handler: no rates.
    QVERIFY(startServer({"--no-rate-limit"}));
    ScriptedClient a, b;
    QVERIFY(join(a, "fuzz1"));
    QVERIFY(join(b, "fuzz2"));
    // A match in progress, so the match handlers have something to trip over.
    const QString match = pairAndAccept(a, b, true, Path::Relay);
    QVERIFY(connectMatch(a, b, match).ok);
    const QStringList types = {"queue_join",  "queue_leave", "match_accept", "match_decline", "ping_report",
                               "udp_tunnel",  "match_state", "result",       "series_ready",  "profile",
                               "leaderboard", "online",      "crash_report", "desync_report", "pick_refused",
                               "tunnel",      "register",    "login",        "auth",          "ping"};
    const QStringList fields = {
        "game",      "mode",        "ranked",  "region",     "max_ping",  "strict",     "character",
        "relay",     "hide_always", "link",    "server_rtt", "delay",     "delay_auto", "match",
        "ok",        "rtt_ms",      "remote",  "via",        "state",     "winner",     "p1_rounds",
        "p2_rounds", "p1_char",     "outcome", "exit",       "exit_code", "frame",      "lines",
        "series",    "ready",       "choice",  "in_place",   "name",      "by",         "limit",
        "code",      "where",       "during",  "reason",     "data",      "token",      "password",
        "again"};
    const QJsonValue values[] = {QJsonValue(),
                                 QJsonArray{1, "x", QJsonObject{}},
                                 QJsonObject{{"a", 1}},
                                 -1,
                                 1e300,
                                 -9007199254740993.0,
                                 QString(1200, 'x'),
                                 true,
                                 QString(QChar(0)) + "\n"};
    for (const QString &type : types) {
        for (const QJsonValue &v : values) {
            QJsonObject msg{{"type", type}};
            for (const QString &f : fields)
                msg.insert(f, v);
            a.send(msg);
        }
    }
    // Datagrams of every kind at the UDP port.
    QUdpSocket udp;
    QVERIFY(udp.bind(QHostAddress::LocalHost, 0));
    for (const QByteArray &d :
         {QByteArray("{\"type\":\"hello\",\"token\":[1]}"), QByteArray("{\"type\":\"hello\"}"),
          QByteArray("{\"hello\""), QByteArray(3000, '{'), QByteArray()})
        udp.writeDatagram(d, QHostAddress::LocalHost, server->udpPort);
    const int id = a.send({{"type", "ping"}});
    const QJsonObject pong = a.waitReply(id, 30000);
    QCOMPARE(pong.value("type").toString(), QString("pong"));
    QVERIFY(server->running());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    QCOMPARE(c.hello().value("type").toString(), QString("welcome"));
}

void TestServer::noticeFromTheConsole()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    server->command("notice The server restarts at noon.");
    QJsonObject n = c.waitFor("notice");
    QCOMPARE(n.value("text").toString(), QString("The server restarts at noon."));
    QCOMPARE(n.value("level").toString(), QString("info"));
    server->command("warn Maintenance now");
    n = c.waitFor("notice");
    QCOMPARE(n.value("text").toString(), QString("Maintenance now"));
    QCOMPARE(n.value("level").toString(), QString("warn"));
}

// The operator gives an account a ranked Elo: stored, with one more finished set so the title
// shows at the next sign-in; unknown names and bad values are refused.
void TestServer::rankedEloFromTheConsole()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    QCOMPARE(c.signUp("Ranked1").value("type").toString(), QString("account"));

    server->command("elo Nobody 1700");
    QVERIFY(
        orxtest::waitUntil([&] { return server->errors().contains("console: elo: no account \"Nobody\""); }));
    server->command("elo Ranked1 lots");
    QVERIFY(orxtest::waitUntil(
        [&] { return server->errors().contains("console: elo needs a name and a value"); }));
    server->command("elo ranked1 1800");
    QVERIFY(orxtest::waitUntil(
        [&] { return server->output().contains("orx-server: elo Ranked1 1800 Mithril"); }));
    server->command("elo Ranked1 1210");
    QVERIFY(
        orxtest::waitUntil([&] { return server->output().contains("orx-server: elo Ranked1 1210 Bronze"); }));

    ScriptedClient d;
    QVERIFY(d.connectPlain(server->tcpPort));
    d.hello();
    const QJsonObject account = d.login("Ranked1");
    QCOMPARE(account.value("type").toString(), QString("account"));
    const QJsonObject ranked = account.value("profile")
                                   .toObject()
                                   .value("stats")
                                   .toObject()
                                   .value("orx")
                                   .toObject()
                                   .value("versus")
                                   .toObject()
                                   .value("ranked")
                                   .toObject();
    QCOMPARE(ranked.value("elo").toInt(), 1210);
    QCOMPARE(ranked.value("title").toString(), QString("Bronze"));
    QCOMPARE(ranked.value("wins").toInt(), 2);
}

void TestServer::updateOfferFromFile()
{
    const QString offer = dir->filePath("offer.json");
    auto writeOffer = [&](const QByteArray &version) {
        QFile f(offer + ".tmp");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"({"version":")" + version + R"(","build":"","size":99,"sha256":")" + QByteArray(64, 'b') +
                R"(","url":"https://example.org/x.zip"})");
        f.close();
        QFile::remove(offer);
        QVERIFY(QFile::rename(offer + ".tmp", offer));
    };
    writeOffer("0.1.9");
    QVERIFY(startServer({"--update-file", offer}));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    const QJsonObject w = c.hello();
    const QJsonObject u = w.value("update").toObject();
    QCOMPARE(u.value("version").toString(), QString("0.1.9"));
    QCOMPARE(u.value("size").toInt(), 99);
    QCOMPARE(u.value("sha256").toString(), QString(64, 'b'));
    // A new offer in the file goes to everyone connected.
    writeOffer("0.2.0");
    QCOMPARE(c.waitFor("update").value("version").toString(), QString("0.2.0"));
    // A damaged file makes no offer rather than a wrong one.
    QFile f(offer);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("{\"version\":\"oops\"");
    f.close();
    QTRY_VERIFY_WITH_TIMEOUT(server->errors().contains("is not valid"), orxtest::scaled(10000));
    ScriptedClient d;
    QVERIFY(d.connectPlain(server->tcpPort));
    QVERIFY(!d.hello().contains("update"));
}

void TestServer::updateOfferRules_data()
{
    QTest::addColumn<QByteArray>("size");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("refusal"); // empty: offered
    const QString longUrl = "https://example.org/" + QString(480, 'a');
    QTest::newRow("1 GiB over https") << QByteArray("1073741824") << "https://example.org/x.zip"
                                      << "";
    QTest::newRow("loopback address with a port") << QByteArray("5") << "http://127.0.0.1:8080/x.zip"
                                                  << "";
    QTest::newRow("loopback name") << QByteArray("5") << "http://localhost/x.zip"
                                   << "";
    QTest::newRow("500 characters") << QByteArray("5") << longUrl << "";
    QTest::newRow("one byte over 1 GiB") << QByteArray("1073741825") << "https://example.org/x.zip"
                                         << "size must be a whole number";
    QTest::newRow("no bytes") << QByteArray("0") << "https://example.org/x.zip"
                              << "size must be a whole number";
    QTest::newRow("a fraction") << QByteArray("10.5") << "https://example.org/x.zip"
                                << "size must be a whole number";
    QTest::newRow("size as text") << QByteArray("\"10\"") << "https://example.org/x.zip"
                                  << "it needs version";
    QTest::newRow("501 characters") << QByteArray("5") << longUrl + "b"
                                    << "url is longer than 500";
    QTest::newRow("plain http elsewhere") << QByteArray("5") << "http://example.org/x.zip"
                                          << "url must start with https://";
    QTest::newRow("scheme in capitals") << QByteArray("5") << "HTTPS://example.org/x.zip"
                                        << "url must start with https://";
}

void TestServer::updateOfferRules()
{
    QFETCH(QByteArray, size);
    QFETCH(QString, url);
    QFETCH(QString, refusal);
    const QString offer = dir->filePath("offer.json");
    QFile f(offer);
    QVERIFY(f.open(QIODevice::WriteOnly));
    const QByteArray notes = QByteArray("New: ") + QByteArray(5000, 'n');
    f.write(R"({"version":"0.2.0","build":"b7","size":)" + size + R"(,"sha256":")" + QByteArray(64, 'c') +
            R"(","url":")" + url.toUtf8() + R"(","notes":")" + notes + R"(","page":"https://example.org/)" +
            QByteArray(600, 'p') + R"("})");
    f.close();
    QVERIFY(startServer({"--update-file", offer}));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    const QJsonObject w = c.hello();
    if (!refusal.isEmpty()) {
        QVERIFY(!w.contains("update"));
        QTRY_VERIFY_WITH_TIMEOUT(server->errors().contains("is not valid (" + refusal),
                                 orxtest::scaled(10000));
        return;
    }
    const QJsonObject u = w.value("update").toObject();
    QCOMPARE(u.value("url").toString(), url);
    QCOMPARE(u.value("build").toString(), QString("b7"));
    QCOMPARE(u.value("size").toDouble(), size.toDouble());
    // The player's words come along, each cut to what a dialog holds.
    QCOMPARE(u.value("notes").toString(), QString::fromLatin1(notes.left(4000)));
    QCOMPARE(u.value("page").toString().size(), 500);
    QVERIFY(u.value("page").toString().startsWith("https://example.org/ppp"));
}

void TestServer::reportsAreStored()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("reporter");
    c.send({{"type", "crash_report"},
            {"game", "orx"},
            {"code", "C0000005"},
            {"where", "render.cpp:12"},
            {"during", "Playing"}});
    c.send({{"type", "desync_report"},
            {"game", "orx"},
            {"match", "m1"},
            {"frame", 812},
            {"lines", QJsonArray{"a", "b"}},
            {"again", true}});
    c.send({{"type", "pick_refused"}, {"game", "orx"}, {"match", "m1"}, {"reason", "not allowed"}});
    const int id = c.send({{"type", "ping"}});
    QCOMPARE(c.waitReply(id).value("type").toString(), QString("pong"));
    QVERIFY(server->stop());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reports-check");
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT type, game, match, data FROM reports ORDER BY id"));
        QStringList rows;
        while (q.next())
            rows << q.value(0).toString() + "|" + q.value(1).toString() + "|" + q.value(2).toString();
        QCOMPARE(rows, QStringList({"crash_report|orx|", "desync_report|orx|m1", "pick_refused|orx|m1"}));
        QVERIFY(q.exec("SELECT data FROM reports WHERE type = 'desync_report'"));
        QVERIFY(q.next());
        const QJsonObject d = QJsonDocument::fromJson(q.value(0).toByteArray()).object();
        QCOMPARE(d.value("frame").toInt(), 812);
        QCOMPARE(d.value("lines").toArray().size(), 2);
        db.close();
    }
    QSqlDatabase::removeDatabase("reports-check");
}

void TestServer::reportBudgetPerAccount()
{
    QVERIFY(startServer({"--crash-report-budget", "3"}));
    ScriptedClient loop, other;
    QVERIFY(loop.connectPlain(server->tcpPort) && other.connectPlain(server->tcpPort));
    loop.hello();
    loop.signUp("looping");
    other.hello();
    other.signUp("calm");
    for (int i = 0; i < 6; ++i)
        loop.send({{"type", i % 2 ? "crash_report" : "desync_report"},
                   {"game", "orx"},
                   {"match", QString("m%1").arg(i)},
                   {"code", "C0000005"},
                   {"lines", QJsonArray{"x"}}});
    other.send({{"type", "pick_refused"}, {"game", "orx"}, {"match", "p1"}, {"reason", "no"}});
    QCOMPARE(loop.waitReply(loop.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    QCOMPARE(other.waitReply(other.send({{"type", "ping"}})).value("type").toString(), QString("pong"));
    // Said once, not once per dropped report.
    QTRY_VERIFY_WITH_TIMEOUT(
        server->output().contains("reports from looping dropped: more than 3 in 24 hours") ||
            server->errors().contains("reports from looping dropped: more than 3 in 24 hours"),
        orxtest::scaled(5000));
    const QString said = server->output() + server->errors();
    QCOMPARE(said.count("reports from looping dropped"), 1);
    QVERIFY(!said.contains("reports from calm dropped"));
    QVERIFY(server->stop());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "budget-check");
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT match FROM reports ORDER BY id"));
        QStringList matches;
        while (q.next())
            matches << q.value(0).toString();
        QCOMPARE(matches, QStringList({"m0", "m1", "m2", "p1"}));
        db.close();
    }
    QSqlDatabase::removeDatabase("budget-check");
}

namespace {

QJsonObject reportPart(const QString &report, const QString &name, int part, int parts,
                       const QByteArray &bytes, bool zlib = false)
{
    QJsonObject o{{"type", "report_file"},
                  {"report", report},
                  {"game", "orx"},
                  {"name", name},
                  {"part", part},
                  {"parts", parts},
                  {"data", QString::fromLatin1(bytes.toBase64())}};
    if (zlib)
        o.insert("zlib", true);
    return o;
}

} // namespace

void TestServer::f3ReportIsStored()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("capturer");
    const QString id = "0123456789abcdef";
    QByteArray picture(20000, Qt::Uninitialized);
    for (int i = 0; i < picture.size(); ++i)
        picture[i] = char(i * 7);
    const QByteArray info = "launcher 0.1.8\ngame orx\n";
    c.send(reportPart(id, "final.jpg", 0, 2, picture.left(11400)));
    c.send(reportPart(id, "final.jpg", 1, 2, picture.mid(11400)));
    c.send(reportPart(id, "info.txt", 0, 1, qCompress(info), true));
    c.send(reportPart(id, "empty.txt", 0, 1, QByteArray()));
    const int done = c.send({{"type", "report_done"}, {"report", id}});
    const QJsonObject saved = c.waitReply(done);
    QCOMPARE(saved.value("type").toString(), QString("report_saved"));
    QCOMPARE(saved.value("report").toString(), id);
    const QStringList folders =
        QDir(dir->filePath("data/reports")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(folders.size(), 1);
    QVERIFY(folders.first().endsWith("-capturer-" + id));
    const QDir folder(dir->filePath("data/reports/" + folders.first()));
    QFile f(folder.filePath("final.jpg"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), picture);
    QFile g(folder.filePath("info.txt"));
    QVERIFY(g.open(QIODevice::ReadOnly));
    QCOMPARE(g.readAll(), info);
    QVERIFY(QFile::exists(folder.filePath("empty.txt")));
    QCOMPARE(folder.entryList(QDir::Files).size(), 3);
}

void TestServer::f3ReportRefusals_data()
{
    QTest::addColumn<QJsonObject>("bad");
    const QString id = "00000000000000aa";
    QTest::newRow("path as a name") << reportPart(id, "../evil.txt", 0, 1, "x");
    QTest::newRow("hidden name") << reportPart(id, ".profile", 0, 1, "x");
    QTest::newRow("bad report id") << reportPart("XYZ", "a.txt", 0, 1, "x");
    QTest::newRow("part beyond parts") << reportPart(id, "a.txt", 2, 2, "x");
    QTest::newRow("starts at part 1") << reportPart(id, "a.txt", 1, 2, "x");
    QTest::newRow("part too big") << reportPart(id, "a.txt", 0, 1, QByteArray(11401, 'x'));
    QTest::newRow("not zlib") << reportPart(id, "a.txt", 0, 1, "this is not zlib", true);
    QTest::newRow("zlib claiming 2 GB")
        << reportPart(id, "a.txt", 0, 1, QByteArray::fromHex("7fffffff789c0300"), true);
    QByteArray bomb = qCompress(QByteArray(10000000, '\0'));
    bomb.replace(0, 4, QByteArray::fromHex("000003e8")); // claims 1000 bytes, inflates to 10 MB
    QTest::newRow("zlib bomb") << reportPart(id, "a.txt", 0, 1, bomb, true);
    QJsonObject notBase64 = reportPart(id, "a.txt", 0, 1, "x");
    notBase64.insert("data", "**not base64**");
    QTest::newRow("not base64") << notBase64;
}

void TestServer::f3ReportRefusals()
{
    QFETCH(QJsonObject, bad);
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("badreporter");
    const QJsonObject e = c.waitReply(c.send(bad));
    QCOMPARE(e.value("type").toString(), QString("error"));
    QCOMPARE(e.value("re").toString(), QString("report_file"));
    QCOMPARE(e.value("code").toString(), QString("bad_report"));
    // Nothing is kept of a refused report, and its end is refused too.
    const QJsonObject d = c.waitReply(c.send({{"type", "report_done"}, {"report", bad.value("report")}}));
    QCOMPARE(d.value("re").toString(), QString("report_done"));
    QVERIFY(!QFile::exists(dir->filePath("data/reports/evil.txt")));
    QVERIFY(!QFile::exists(dir->filePath("data/evil.txt")));
    QCOMPARE(QDir(dir->filePath("data/reports")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
}
