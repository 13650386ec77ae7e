// Reports through real processes: two launchers' match control (driver processes), orx-server and
// the stand-in games. What reaches the server is read back from its database.

#include "matchscenariokit.h"
#include "tst_match.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace scenario;

namespace {

// The reports of one type the server stored, oldest first.
QList<QJsonObject> storedReports(const orxtest::ServerProcess &server, const QString &type)
{
    QList<QJsonObject> found;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reports");
        db.setDatabaseName(server.databaseFile());
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare("SELECT data FROM reports WHERE type = ? ORDER BY id");
            q.addBindValue(type);
            if (q.exec())
                while (q.next())
                    found << QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object();
        }
    }
    QSqlDatabase::removeDatabase("reports");
    return found;
}

// The server has handled everything this launcher sent so far: it answered a later request.
bool serverCaughtUp(DriverProcess &d)
{
    const qsizetype before = d.messages("online").size();
    d.send(R"(raw {"type":"online"})");
    return orxtest::waitUntil([&] { return d.messages("online").size() > before; });
}

bool fileContains(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.readAll().contains(text);
}

} // namespace

void TestReportScenarios::desyncReports_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QStringList>("serverOptions");
    QTest::addColumn<int>("reports");
    QTest::addColumn<int>("maxLines");
    QTest::newRow("out of step, full detail") << "desync" << QStringList{} << 2 << 400;
    QTest::newRow("out of step, a server without desync_detail")
        << "desync" << QStringList{"--features", "relay_choice,pick_refused,koth"} << 2 << 38;
    QTest::newRow("the round played again") << "again" << QStringList{} << 1 << 400;
}

void TestReportScenarios::desyncReports()
{
    QFETCH(QString, outcome);
    QFETCH(QStringList, serverOptions);
    QFETCH(int, reports);
    QFETCH(int, maxLines);
    Match m;
    const QStringList game{"--match-ms", "1500", "--peer-timeout", "1000"};
    const QStringList timing = kTiming + QStringList{"desyncwait=300"};
    QVERIFY(m.start(serverOptions, opts("ann", game + QStringList{"--outcome", outcome}, timing),
                    opts("bob", game, timing)));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("finished ", 40000) && m.b->waitFor("finished ", 40000), qPrintable(m.dump()));
    QList<QJsonObject> stored;
    QVERIFY2(
        orxtest::waitUntil(
            [&] { return (stored = storedReports(m.server, "desync_report")).size() >= reports; }, 20000),
        qPrintable(m.dump()));
    QVERIFY(serverCaughtUp(*m.a) && serverCaughtUp(*m.b));
    stored = storedReports(m.server, "desync_report");
    QCOMPARE(stored.size(), reports);
    for (const QJsonObject &r : stored) {
        QCOMPARE(r.value("game").toString(), QString("orx"));
        QCOMPARE(r.value("match").toString(), id.left(16));
        QVERIFY(r.value("frame").toInt() > 0);
        QCOMPARE(r.value("again").toBool(), outcome == "again");
        QStringList lines;
        for (const QJsonValue &v : r.value("lines").toArray())
            lines << v.toString();
        const QString all = lines.join('\n');
        QVERIFY2(lines.size() <= maxLines, qPrintable(all));
        QVERIFY2(all.contains("] OS: ") && all.contains("] Game: "), qPrintable(all));
        QVERIFY2(all.contains("DESYNC at frame " + QString::number(r.value("frame").toInt())),
                 qPrintable(all));
        QVERIFY2(all.contains("link: start match " + id), qPrintable(all));
        QVERIFY2(!all.contains("[gpu]"), qPrintable(all));
        QVERIFY2(lines.at(lines.size() - 2).startsWith("Game files: "), qPrintable(all));
        QVERIFY2(lines.last().startsWith("This PC: ") && lines.last().contains(" threads, "),
                 qPrintable(all));
    }
    DriverProcess *reporter = m.a.get();
    QVERIFY(reporter->has(
        QString("log The match went out of step at frame %1: what the game logged of it went to "
                "the server")
            .arg(stored.first().value("frame").toInt())));
}

void TestReportScenarios::crashMidMatch()
{
    QTemporaryDir dir;
    const QString script =
        writeScript(dir, "crash.txt",
                    "at 9000 crash read failed at C:\\Users\\Ann Lee\\orx\\fight.cpp:12 from 192.168.4.20\n");
    Match m;
    QVERIFY(m.start({"--result-wait", "3000"}, opts("ann", {"--match-ms", "60000"}, {"ending=60000"}),
                    opts("bob", {"--match-ms", "60000", "--script", script})));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY(!findAndAccept(m).isEmpty());
    QVERIFY2(m.b->waitFor("phase 5 In match against ann", 40000), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("log The game crashed (80000006 at C:\\Users\\*\\orx\\fight.cpp:12 from x.x.x.x)",
                          40000),
             qPrintable(m.dump()));
    QList<QJsonObject> stored;
    QVERIFY(
        orxtest::waitUntil([&] { return !(stored = storedReports(m.server, "crash_report")).isEmpty(); }));
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().value("code").toString(), QString("80000006"));
    QCOMPARE(stored.first().value("where").toString(),
             QString("C:\\Users\\*\\orx\\fight.cpp:12 from x.x.x.x"));
    QCOMPARE(stored.first().value("during").toString(), QString("Playing"));
    QCOMPARE(stored.first().value("game").toString(), QString("orx"));
}

void TestReportScenarios::gameEndsWithoutAReport_data()
{
    QTest::addColumn<QStringList>("gameArgs");
    QTest::addColumn<bool>("signIn");
    QTest::addColumn<QString>("crashLog"); // what the launcher logs, or "" for nothing
    QTest::addColumn<QString>("code");     // what the server stores, or "" for nothing
    QTest::addColumn<QString>("where");
    QTest::newRow("a noticed hang, then killed")
        << QStringList{"--hang-noticed-after", "800"} << true
        << "log The game crashed (F291 at hang: the game window stopped answering)"
        << "F291"
        << "hang: the game window stopped answering";
    QTest::newRow("killed after an ignored quit") << QStringList{"--ignore-quit"} << true << ""
                                                  << ""
                                                  << "";
    QTest::newRow("a clean quit") << QStringList{} << true << ""
                                  << ""
                                  << "";
    QTest::newRow("a crash while signed out") << QStringList{"--crash-after", "800"} << false
                                              << "log The game crashed (80000006 at testgame.cpp (runStep))"
                                              << ""
                                              << "";
}

// The player's game ends outside a match: only a crash or a hang noticed by the game is reported, and
// only to a server the launcher is signed in to.
void TestReportScenarios::gameEndsWithoutAReport()
{
    QFETCH(QStringList, gameArgs);
    QFETCH(bool, signIn);
    QFETCH(QString, crashLog);
    QFETCH(QString, code);
    QFETCH(QString, where);
    orxtest::ServerProcess server;
    QTemporaryDir data;
    QString error;
    QVERIFY2(server.start(data.path(), {}, &error), qPrintable(error));
    DriverProcess d;
    QVERIFY(d.start(opts("cid", gameArgs), server.tcpPort));
    if (signIn) {
        QVERIFY2(d.signInAndPlay(), qPrintable(d.dump()));
    } else {
        d.send("connect");
        QVERIFY(d.waitFor("state 2"));
        d.send("play");
        QVERIFY(d.waitFor("play ok"));
    }
    if (!gameArgs.contains("--crash-after")) {
        QVERIFY2(d.waitFor("game ready"), qPrintable(d.dump()));
        if (gameArgs.contains("--hang-noticed-after"))
            QVERIFY(orxtest::waitUntil([&] { return fileContains(d.sessionDir() + "/game.log", "hang: "); }));
        d.send("quitgame");
    }
    QVERIFY2(d.waitFor("playergame 0", 30000), qPrintable(d.dump()));
    if (!crashLog.isEmpty())
        QVERIFY2(d.waitFor(crashLog), qPrintable(d.dump()));
    else
        QVERIFY2(!d.has("log The game crashed"), qPrintable(d.dump()));
    if (signIn)
        QVERIFY(serverCaughtUp(d));
    const QList<QJsonObject> stored = storedReports(server, "crash_report");
    QCOMPARE(stored.size(), code.isEmpty() ? 0 : 1);
    if (!code.isEmpty()) {
        QCOMPARE(stored.first().value("code").toString(), code);
        QCOMPARE(stored.first().value("where").toString(), where);
        QCOMPARE(stored.first().value("during").toString(), QString("Idle"));
    }
}
