// What the server holds and sends stays bounded however full it gets: every line it writes is a
// JSON object shorter than the launcher's 65536-byte limit, and what gone players leave behind is
// swept away. Each case fills the server the way hostile clients could, and a well-behaved client
// is served meanwhile.
#include "tst_server.h"

#include <QFile>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <memory>

namespace {

constexpr qsizetype kLineLimit = 65536;

// Text that grows most when written as JSON: every character but the leading tag becomes a
// six-byte escape. The tag comes first, so texts stay apart when the server cuts them.
QString escaped(int n, int tag = 0)
{
    const QString t = QString::number(tag);
    return t + QString(n - t.size(), QChar(1));
}

bool pongs(ScriptedClient &c)
{
    return c.waitReply(c.send({{"type", "ping"}})).value("type") == "pong";
}

// Every line the client got was a JSON object below the limit.
#define VERIFY_LINES(c)                                                                                      \
    do {                                                                                                     \
        QVERIFY2((c).longestLine < kLineLimit, qPrintable(QString::number((c).longestLine)));                \
        QCOMPARE((c).badLines, 0);                                                                           \
    } while (0)

QStringList onDatabase(ServerProcess &s, const QStringList &statements)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bounds-check");
        db.setDatabaseName(s.databaseFile());
        if (db.open()) {
            db.transaction();
            for (const QString &sql : statements) {
                QSqlQuery q(db);
                if (!q.exec(sql))
                    rows << "failed: " + q.lastError().text();
                while (q.next())
                    rows << q.value(0).toString();
            }
            db.commit();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("bounds-check");
    return rows;
}

// The console's "online" line: the counts the launchers see plus the records held.
QJsonObject consoleOnline(ServerProcess &s)
{
    const qsizetype before = s.output().count("orx-server: online ");
    s.command("online");
    if (!orxtest::waitUntil([&] { return s.output().count("orx-server: online ") > before; }))
        return {};
    const QString out = s.output();
    const qsizetype at = out.lastIndexOf("orx-server: online ") + 19;
    return QJsonDocument::fromJson(out.mid(at, out.indexOf('\n', at) - at).toUtf8()).object();
}

} // namespace

void TestServer::echoedFieldsAreCut()
{
    // Requests whose type or version fill a whole line: the answers name them, cut.
    QVERIFY(startServer({"--min-client-version", "9.9", "--max-per-address", "64", "--conn-burst", "1000"}));
    const QString longType(65500, 'x');
    ScriptedClient early, outdated, greetedOnly, flood;
    QVERIFY(early.connectPlain(server->tcpPort));
    const QJsonObject first = early.waitReply(early.send({{"type", longType}}));
    QCOMPARE(first.value("code").toString(), QString("hello_first"));
    QCOMPARE(first.value("re").toString(), longType.left(40));
    VERIFY_LINES(early);

    QVERIFY(outdated.connectPlain(server->tcpPort));
    const QJsonObject refused = outdated.hello(QString(65000, '7'));
    QCOMPARE(refused.value("code").toString(), QString("client_outdated"));
    VERIFY_LINES(outdated);

    // Past the version check (a launcher new enough), then unknown, unsigned and too frequent.
    QVERIFY(greetedOnly.connectPlain(server->tcpPort));
    QCOMPARE(greetedOnly.hello("9.9").value("type").toString(), QString("welcome"));
    QCOMPARE(greetedOnly.waitReply(greetedOnly.send({{"type", longType}})).value("code").toString(),
             QString("not_signed_in"));
    QVERIFY(flood.connectPlain(server->tcpPort));
    QCOMPARE(flood.hello("9.9").value("type").toString(), QString("welcome"));
    QCOMPARE(flood.signUp("longtypes").value("type").toString(), QString("account"));
    QStringList codes;
    QList<int> ids;
    for (int i = 0; i < 70; ++i)
        ids << flood.send({{"type", longType}});
    for (int id : ids)
        codes << flood.waitReply(id, 20000).value("code").toString();
    QVERIFY(codes.contains("unknown_type"));
    QVERIFY(codes.contains("slow_down"));
    VERIFY_LINES(greetedOnly);
    VERIFY_LINES(flood);
    QVERIFY(pongs(flood));
    QVERIFY(!server->errors().contains("was not sent (too long)"));
}

void TestServer::lobbyAndOnlineRepliesBoundedWhenFull()
{
    // 136 players: the first holds a King of the Hill lobby that the next 15 fill, 104 hold a lobby
    // each, 16 search each in a game of their own; every name is as long and as costly to write as
    // the server takes.
    QVERIFY(startServer({"--max-per-address", "200", "--conn-burst", "1000"}));
    std::vector<std::unique_ptr<ScriptedClient>> clients;
    QString code;
    QJsonObject full;
    for (int i = 0; i < 136; ++i) {
        auto c = std::make_unique<ScriptedClient>();
        QVERIFY(c->connectPlain(server->tcpPort));
        // The longest version and build a lobby shows for a member.
        const int id = c->send({{"type", "hello"},
                                {"proto", 1},
                                {"version", escaped(200)},
                                {"build", escaped(200)},
                                {"features", QJsonArray{"koth"}}});
        QCOMPARE(c->waitReply(id).value("type").toString(), QString("welcome"));
        QCOMPARE(c->signUp(QStringLiteral("full%1").arg(i)).value("type").toString(), QString("account"));
        if (i > 0 && i < 16) {
            // Seven more players on the hill and in its line, eight who came to watch.
            const QJsonObject r = c->waitReply(c->send({{"type", "lobby_join"},
                                                        {"lobby", code},
                                                        {"character", escaped(100)},
                                                        {"spectate", i >= 8}}),
                                               20000);
            QCOMPARE(r.value("type").toString(), QString("lobby"));
            full = r;
        } else if (i < 120) {
            const QJsonObject r = c->waitReply(c->send({{"type", "lobby_create"},
                                                        // Names refuse control characters: quotes
                                                        // are the longest escapes they may hold.
                                                        {"name", QString::number(i) + QString(100, '"')},
                                                        {"game", escaped(100, i)},
                                                        {"region", escaped(100, i)},
                                                        {"character", escaped(100, i)},
                                                        {"mode", "versus"},
                                                        {"koth", i % 2 == 0}}),
                                               20000);
            QVERIFY2(r.value("type") == "lobby", QJsonDocument(r).toJson(QJsonDocument::Compact).constData());
            if (i == 0)
                code = r.value("lobby").toObject().value("id").toString();
        } else {
            QCOMPARE(queueJoin(*c, false, false, escaped(100, i),
                               {{"game", escaped(100, i)}, {"mode", escaped(100)}})
                         .value("type")
                         .toString(),
                     QString("queued"));
        }
        clients.push_back(std::move(c));
    }
    QCOMPARE(full.value("lobby").toObject().value("members").toArray().size(), 16);

    ScriptedClient well;
    QVERIFY(join(well, "wellbehaved"));
    const QJsonObject list = well.waitReply(well.send({{"type", "lobby_list"}}));
    QCOMPARE(list.value("type").toString(), QString("lobbies"));
    QCOMPARE(list.value("lobbies").toArray().size(), 100);
    const QJsonObject online = well.waitReply(well.send({{"type", "online"}}));
    QCOMPARE(online.value("searching").toInt(), 16);
    QCOMPARE(online.value("count").toInt(), 137);
    QVERIFY(online.value("games").toObject().size() <= 32);
    QVERIFY(pongs(well));
    VERIFY_LINES(well);
    for (const auto &c : clients)
        VERIFY_LINES(*c);
    QVERIFY(!server->errors().contains("was not sent (too long)"));
}

void TestServer::profileAndLeaderboardBoundedWhenFull()
{
    QVERIFY(startServer());
    {
        ScriptedClient c;
        QVERIFY(join(c, "statsfull"));
    }
    QVERIFY(server->stop());
    // Stats in 400 games of one player, and 300 ranked players: written straight into the database.
    QStringList sql;
    for (int i = 0; i < 400; ++i)
        sql << QStringLiteral("INSERT INTO stats (account_id, game, mode, set_wins) SELECT id, '%1', '%2', 1 "
                              "FROM accounts WHERE name = 'statsfull'")
                   .arg(QString(escaped(32, i)), QString(escaped(32)));
    for (int i = 0; i < 300; ++i) {
        sql << QStringLiteral(
                   "INSERT INTO accounts (name, salt, hash, iterations, created) VALUES ('ranked%1', "
                   "x'00', x'00', 1, 0)")
                   .arg(i);
        sql << QStringLiteral("INSERT INTO stats (account_id, game, mode, elo, set_wins) SELECT id, 'orx', "
                              "'versus', %1, 1 FROM accounts WHERE name = 'ranked%2'")
                   .arg(1000 + i)
                   .arg(i);
    }
    const QStringList failed = onDatabase(*server, sql).filter("failed");
    QVERIFY2(failed.isEmpty(), qPrintable(failed.join('\n')));
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(join(c, "reader"));
    const QJsonObject profile = c.waitReply(c.send({{"type", "profile"}, {"name", "statsfull"}}));
    QCOMPARE(profile.value("type").toString(), QString("profile"));
    int rows = 0;
    for (const QJsonValue &g : profile.value("stats").toObject())
        rows += int(g.toObject().size());
    QCOMPARE(rows, 64);
    const QJsonObject board = c.waitReply(c.send({{"type", "leaderboard"}, {"by", "elo"}, {"limit", 1000}}));
    QCOMPARE(board.value("rows").toArray().size(), 100);
    QCOMPARE(board.value("rows").toArray().first().toObject().value("name").toString(), QString("ranked299"));
    // Signing in as that player carries the same profile.
    ScriptedClient again;
    QVERIFY(again.connectPlain(server->tcpPort));
    again.hello();
    QCOMPARE(again.login("statsfull").value("type").toString(), QString("account"));
    QVERIFY(pongs(c));
    VERIFY_LINES(c);
    VERIFY_LINES(again);
}

void TestServer::welcomeNoticeAndOfferBounded()
{
    QTemporaryDir files;
    const QString offerFile = files.filePath("offer.json");
    auto writeOffer = [&](const QString &version) {
        QFile f(offerFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{"version", version},
                                          {"build", escaped(2000)},
                                          {"size", 1000},
                                          {"sha256", QString(64, 'a')},
                                          {"url", "https://example.invalid/" + escaped(470)}})
                    .toJson());
    };
    writeOffer("0.1.9");
    QVERIFY(startServer({"--motd", escaped(60000), "--update-file", offerFile}));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    const QJsonObject welcome = c.hello();
    QCOMPARE(welcome.value("type").toString(), QString("welcome"));
    QCOMPARE(welcome.value("motd").toString().size(), 2000);
    QCOMPARE(welcome.value("update").toObject().value("build").toString().size(), 64);
    // A URL is taken whole up to 500 characters (longer ones make no offer at all).
    QCOMPARE(welcome.value("update").toObject().value("url").toString().size(), 494);
    // A changed offer goes to everybody, cut the same way; a notice as long as the console takes.
    writeOffer("0.2.0");
    QCOMPARE(c.waitFor("update", 20000).value("version").toString(), QString("0.2.0"));
    server->command("notice " + QString(10000, 'n'));
    QVERIFY(c.waitFor("notice").value("text").toString().size() <= 2000);
    QVERIFY(pongs(c));
    VERIFY_LINES(c);
}

void TestServer::gonePlayersRecordsAreDropped()
{
    QVERIFY(startServer({"--sweep-interval", "1", "--drop-grace", "8000", "--max-per-address", "64",
                         "--conn-burst", "1000"}));
    ScriptedClient well, host, member;
    QVERIFY(join(well, "stays"));
    QVERIFY(join(host, "hostgone"));
    QCOMPARE(
        host.waitReply(host.send({{"type", "lobby_create"}, {"mode", "versus"}})).value("type").toString(),
        QString("lobby"));
    QStringList tokens;
    {
        ScriptedClient passers[20];
        for (int i = 0; i < 20; ++i) {
            QVERIFY(join(passers[i], QStringLiteral("passer%1").arg(i)));
            tokens << passers[i].token;
        }
        QCOMPARE(consoleOnline(*server).value("records").toInt(), 22);
    }
    // The twenty left at once; the host drops while their lobby waits for them.
    host.close();
    QVERIFY(orxtest::waitUntil([&] { return consoleOnline(*server).value("records").toInt() == 2; }, 20000));
    QVERIFY(server->errors().contains(" records of players who are gone dropped, 2 kept"));
    QVERIFY(pongs(well));
    // Past the grace the host is out of the lobby, and their record goes as well.
    QVERIFY(orxtest::waitUntil([&] { return consoleOnline(*server).value("records").toInt() == 1; }, 20000));
    // A player whose record went signs in again by token and is served as before.
    QVERIFY(member.connectPlain(server->tcpPort));
    member.hello();
    const QJsonObject back = member.auth(tokens.first());
    QCOMPARE(back.value("type").toString(), QString("account"));
    QCOMPARE(back.value("name").toString(), QString("passer0"));
    QCOMPARE(member.waitReply(member.send({{"type", "lobby_create"}, {"mode", "versus"}}))
                 .value("type")
                 .toString(),
             QString("lobby"));
    QCOMPARE(consoleOnline(*server).value("records").toInt(), 2);
    QVERIFY(pongs(well) && pongs(member));
}

void TestServer::lobbyCapRefusesTheExcess()
{
    QVERIFY(startServer({"--max-lobbies", "3"}));
    ScriptedClient c[4], well;
    for (int i = 0; i < 4; ++i)
        QVERIFY(join(c[i], QStringLiteral("capped%1").arg(i)));
    QVERIFY(join(well, "capwell"));
    auto create = [](ScriptedClient &x) {
        return x.waitReply(x.send({{"type", "lobby_create"}, {"mode", "versus"}}));
    };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(create(c[i]).value("type").toString(), QString("lobby"));
    QCOMPARE(create(c[3]).value("code").toString(), QString("too_many_lobbies"));
    QCOMPARE(create(c[3]).value("code").toString(), QString("too_many_lobbies"));
    QCOMPARE(server->errors().count("lobby refused: 3 lobbies, the most there may be"), 1);
    QVERIFY(pongs(well));
    // One lobby gone, one more may be made.
    QCOMPARE(c[0].waitReply(c[0].send({{"type", "lobby_leave"}})).value("type").toString(),
             QString("lobby_left"));
    QCOMPARE(create(c[3]).value("type").toString(), QString("lobby"));
}
