// F3 reports on the server's side: names a capture may use, what a report may store counted
// unpacked, the account's budget, and files that never take another's place.
#include "tst_server.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace {

QJsonObject part(const QString &report, const QString &name, int index, int parts, const QByteArray &bytes,
                 bool zlib = false)
{
    QJsonObject o{{"type", "report_file"},
                  {"report", report},
                  {"game", "orx"},
                  {"name", name},
                  {"part", index},
                  {"parts", parts},
                  {"data", QString::fromLatin1(bytes.toBase64())}};
    if (zlib)
        o.insert("zlib", true);
    return o;
}

// Sends one-part files, then the report's end; returns the answer to the end (or to the first
// refused file).
QJsonObject sendReport(ScriptedClient &c, const QString &id, const QList<QPair<QString, QByteArray>> &files,
                       bool zlib = false)
{
    for (const auto &[name, bytes] : files) {
        c.send(part(id, name, 0, 1, bytes, zlib));
    }
    const QJsonObject answer = c.waitReply(c.send({{"type", "report_done"}, {"report", id}}));
    // A refusal answers the file first; its end is refused too.
    return answer;
}

QString onlyFolder(const QString &reports)
{
    const QStringList folders = QDir(reports).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return folders.size() == 1 ? QDir(reports).filePath(folders.first()) : QString();
}

} // namespace

void TestServer::f3ReportFileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("taken");
    QTest::newRow("a blank") << "tex_hero skin.png" << true;
    QTest::newRow("letters of other languages") << QString::fromUtf8("tex_\u00e9t\u00e9_\u6728.png") << true;
    QTest::newRow("64 characters") << QString(60, 'a') + ".png" << true;
    QTest::newRow("65 characters") << QString(61, 'a') + ".png" << false;
    QTest::newRow("a slash") << "a/b.png" << false;
    QTest::newRow("a backslash") << "a\\b.png" << false;
    QTest::newRow("a control character") << "a\tb.png" << false;
    QTest::newRow("a leading dot") << ".hidden.png" << false;
    QTest::newRow("a leading colon") << ":5info.txt" << false;
    QTest::newRow("a drive") << "c:info.txt" << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("empty") << "" << false;
}

void TestServer::f3ReportFileNames()
{
    QFETCH(QString, name);
    QFETCH(bool, taken);
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("namer");
    const QString id = "00000000000000ab";
    const QJsonObject answer = sendReport(c, id, {{name, "picture"}});
    QCOMPARE(answer.value("type").toString(), taken ? QString("report_saved") : QString("error"));
    const QString folder = onlyFolder(dir->filePath("data/reports"));
    if (taken)
        QCOMPARE(QFile(QDir(folder).filePath(name)).size(), 7);
    else
        QVERIFY(folder.isEmpty());
}

void TestServer::f3ReportPartNamesNeverCollide()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("collider");
    // "a" is received while "a.part" is complete: neither takes the other's place.
    const QString id = "00000000000000ac";
    c.send(part(id, "a.part", 0, 1, "the sent a.part"));
    c.send(part(id, "a", 0, 2, QByteArray(11400, 'x')));
    c.send(part(id, "a", 1, 2, "end of a"));
    const QJsonObject answer = c.waitReply(c.send({{"type", "report_done"}, {"report", id}}));
    QCOMPARE(answer.value("type").toString(), QString("report_saved"));
    const QString folder = onlyFolder(dir->filePath("data/reports"));
    QVERIFY(!folder.isEmpty());
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), QStringList({"a", "a.part"}));
    QFile a(QDir(folder).filePath("a")), ap(QDir(folder).filePath("a.part"));
    QVERIFY(a.open(QIODevice::ReadOnly) && ap.open(QIODevice::ReadOnly));
    QCOMPARE(a.readAll(), QByteArray(11400, 'x') + "end of a");
    QCOMPARE(ap.readAll(), QByteArray("the sent a.part"));
}

void TestServer::f3ReportLimitsCountWhatIsStored_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("reports"); // reports of 3 files, each 400 KB unpacked
    QTest::addColumn<int>("saved");   // how many are stored
    QTest::addColumn<QString>("refusal");
    QTest::newRow("three small zlib files unpacking past the report's limit")
        << QStringList{"--report-limit", "1"} << 1 << 0
        << "That report is larger than the server takes (1 MB).";
    QTest::newRow("within the limit") << QStringList{"--report-limit", "2"} << 1 << 1 << QString();
    QTest::newRow("the account's budget")
        << QStringList{"--report-limit", "2", "--report-budget", "3"} << 3 << 2
        << "Your reports have used up the space the server keeps for one player (3 MB).";
    QTest::newRow("all reports of the server")
        << QStringList{"--report-limit", "2", "--report-total", "3"} << 3 << 2
        << "The server has no room for more reports right now.";
}

void TestServer::f3ReportLimitsCountWhatIsStored()
{
    QFETCH(QStringList, options);
    QFETCH(int, reports);
    QFETCH(int, saved);
    QFETCH(QString, refusal);
    QVERIFY(startServer(options));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("stuffer");
    // Zeros pack to almost nothing: what counts is what they unpack to.
    const QByteArray packed = qCompress(QByteArray(400 * 1024, '\0'), 9);
    QVERIFY(packed.size() < 2000);
    QStringList messages;
    for (int r = 0; r < reports; ++r) {
        const QString id = QStringLiteral("%1").arg(r + 1, 16, 16, QLatin1Char('0'));
        for (int f = 0; f < 3; ++f) {
            const QJsonObject p = part(id, QStringLiteral("f%1.txt").arg(f), 0, 1, packed, true);
            c.send(p);
        }
        const QJsonObject answer = c.waitReply(c.send({{"type", "report_done"}, {"report", id}}));
        messages << answer.value("type").toString();
    }
    QCOMPARE(messages.count("report_saved"), saved);
    const QStringList stored =
        QDir(dir->filePath("data/reports")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(stored.size(), saved);
    for (const QString &folder : stored)
        QCOMPARE(QFile(dir->filePath("data/reports/" + folder + "/f2.txt")).size(), 400 * 1024);
    if (!refusal.isEmpty()) {
        // The refusal of the file that went past it, with the server's own sentence.
        bool found = false;
        for (const QJsonObject &m : c.inbox())
            found = found ||
                    (m.value("re").toString() == "report_file" && m.value("message").toString() == refusal);
        QVERIFY2(found, qPrintable(refusal));
    }
}

void TestServer::f3ReportEmptyPackedFile()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("emptier");
    // Qt's compressed form of nothing is the size 0 alone.
    QCOMPARE(qCompress(QByteArray(), 9), QByteArray(4, '\0'));
    const QJsonObject answer =
        sendReport(c, "00000000000000ad", {{"frame.txt", qCompress(QByteArray(), 9)}}, true);
    QCOMPARE(answer.value("type").toString(), QString("report_saved"));
    const QString folder = onlyFolder(dir->filePath("data/reports"));
    QVERIFY(QFile::exists(QDir(folder).filePath("frame.txt")));
    QCOMPARE(QFile(QDir(folder).filePath("frame.txt")).size(), 0);
}

void TestServer::f3ReportsCountedFromDiskAndExpired()
{
    // Two reports of 1.2 MB unpacked each under a total of 3 MB; the server restarts in between.
    const QStringList options{"--report-limit", "2", "--report-total", "3", "--report-days", "30"};
    QVERIFY(startServer(options));
    const QByteArray packed = qCompress(QByteArray(400 * 1024, '\0'), 9);
    auto store = [&](ScriptedClient &c, int r) {
        const QString id = QStringLiteral("%1").arg(r, 16, 16, QLatin1Char('0'));
        for (int f = 0; f < 3; ++f)
            c.send(part(id, QStringLiteral("f%1.txt").arg(f), 0, 1, packed, true));
        return c.waitReply(c.send({{"type", "report_done"}, {"report", id}})).value("type").toString();
    };
    {
        ScriptedClient c;
        QVERIFY(c.connectPlain(server->tcpPort));
        c.hello();
        c.signUp("keeper");
        QCOMPARE(store(c, 1), QString("report_saved"));
        QCOMPARE(store(c, 2), QString("report_saved"));
    }
    // A folder no record names (a stop in the middle of an upload) is not kept.
    QVERIFY(QDir().mkpath(dir->filePath("data/reports/20260101-000000-stray-00000000000000ff")));
    QVERIFY(server->stop());
    QVERIFY(startServer(options));
    QVERIFY(!QDir(dir->filePath("data/reports/20260101-000000-stray-00000000000000ff")).exists());
    {
        // After the restart what is on disk still counts, for another account too.
        ScriptedClient c;
        QVERIFY(c.connectPlain(server->tcpPort));
        c.hello();
        c.signUp("latecomer");
        QCOMPARE(store(c, 3), QString("error"));
        QVERIFY(c.inbox().size() > 0);
    }
    // One report grows old: at the next start it is deleted, folder and record, and there is room.
    QVERIFY(server->stop());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "f3-age");
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("UPDATE reports SET at = at - 31 * 86400 WHERE id = (SELECT MIN(id) FROM reports)"));
        QCOMPARE(q.numRowsAffected(), 1);
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("f3-age");
    QVERIFY(startServer(options));
    QCOMPARE(QDir(dir->filePath("data/reports")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    QVERIFY(server->errors().contains("1 F3 reports older than 30 days deleted"));
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.login("latecomer");
    QCOMPARE(store(c, 4), QString("report_saved"));
}

void TestServer::f3ReportNotRecordedIsNotSaved()
{
    QVERIFY(startServer());
    ScriptedClient c;
    QVERIFY(c.connectPlain(server->tcpPort));
    c.hello();
    c.signUp("unlucky");
    const QString id = "00000000000000aa";
    c.send(part(id, "frame.txt", 0, 1, "picture"));
    // Another program holds the database's write lock past the server's wait when the report ends.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "f3-lock");
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery lock(db);
        QVERIFY(lock.exec("BEGIN IMMEDIATE"));
        const QJsonObject answer = c.waitReply(c.send({{"type", "report_done"}, {"report", id}}));
        QCOMPARE(answer.value("code").toString(), QString("server_error"));
        QVERIFY(lock.exec("ROLLBACK"));
        lock.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("f3-lock");
    // Not recorded, so not kept: no folder is left that nothing counts.
    QCOMPARE(QDir(dir->filePath("data/reports")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
    QVERIFY(server->errors().contains("database is locked"));
}
