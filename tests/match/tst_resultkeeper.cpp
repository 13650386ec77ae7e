// The result kept until the server acknowledges it, against a real server: which answers end it,
// and its sending again after a sign-in.

#include "match/resultkeeper.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "tst_match.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject result(const QString &match)
{
    return {{"type", "result"}, {"match", match}, {"winner", 1}, {"p1_rounds", 2}, {"p2_rounds", 0}};
}

// The server's answers of a type, out of the messages seen.
QList<QJsonObject> answers(const QSignalSpy &spy, const QString &type)
{
    QList<QJsonObject> out;
    for (const QList<QVariant> &args : spy) {
        const QJsonObject msg = args.first().toJsonObject();
        if (msg.value("type").toString() == type)
            out << msg;
    }
    return out;
}

} // namespace

void TestResultKeeper::acknowledgedOnce()
{
    ServerClient offline;
    ResultKeeper keeper(&offline, nullptr);
    QSignalSpy lines(&keeper, &ResultKeeper::logLine);
    QVERIFY(!keeper.onAck({{"type", "result_ack"}, {"match", "m1"}})); // nothing kept
    keeper.keep(result("m1"));
    QVERIFY(keeper.holds()); // offline: kept, to be sent after the next sign-in
    QVERIFY(!keeper.onAck({{"type", "result_ack"}, {"match", "m2"}}));
    QVERIFY(keeper.holds());
    QVERIFY(keeper.onAck({{"type", "result_ack"}, {"match", "m1"}}));
    QVERIFY(!keeper.holds());
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0).first().toString(), QString("Result of m1 acknowledged by the server"));
    QVERIFY(!keeper.onAck({{"type", "result_ack"}, {"match", "m1"}})); // said again: only the first counts

    keeper.keep(result("m3"));
    keeper.decided("m4");
    QVERIFY(keeper.holds());
    keeper.decided("m3");
    QVERIFY(!keeper.holds());
    QVERIFY(!keeper.sendAgain());
}

void TestResultKeeper::unknownToTheServer()
{
    QTemporaryDir dir;
    orxtest::ServerProcess server;
    QString error;
    QVERIFY2(server.start(dir.path(), {}, &error), qPrintable(error));
    ServerClient client;
    QSignalSpy messages(&client, &ServerClient::message);
    client.connectTo(QString("tcp://127.0.0.1:%1").arg(server.tcpPort), QString());
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == ServerClient::Rovivi, orxtest::scaled(20000));
    client.registerAccount("keeper", "a long enough password 7");
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == ServerClient::LoggedIn, orxtest::scaled(20000));

    ResultKeeper keeper(&client, nullptr);
    QSignalSpy lines(&keeper, &ResultKeeper::logLine);
    keeper.keep(result("m-never"));
    QTRY_VERIFY_WITH_TIMEOUT(!answers(messages, "error").isEmpty(), orxtest::scaled(10000));
    const QJsonObject answer = answers(messages, "error").first();
    QCOMPARE(answer.value("code").toString(), QString("no_such_match"));

    // The same answer to another request is not about the kept result.
    QJsonObject other = answer;
    other.insert("id", answer.value("id").toInt() + 1000);
    QCOMPARE(keeper.unknownToServer(other), QString());
    QVERIFY(keeper.holds());

    // Sent again after a sign-in: the answer to the first sending no longer counts.
    QVERIFY(keeper.sendAgain());
    QCOMPARE(lines.last().first().toString(), QString("Sent the stored result of match m-never"));
    QCOMPARE(keeper.unknownToServer(answer), QString());
    QTRY_VERIFY_WITH_TIMEOUT(answers(messages, "error").size() == 2, orxtest::scaled(10000));
    QCOMPARE(keeper.unknownToServer(answers(messages, "error").at(1)), QString("m-never"));
    QVERIFY(!keeper.holds());
    QCOMPARE(lines.last().first().toString(),
             QString("The server no longer knows match m-never; its result was not recorded"));
}
