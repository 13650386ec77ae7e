// What is read back from a game's log: anonymised lines, the exit classification, the tail.

#include "match/gamelogreading.h"
#include "tst_match.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

static void writeLog(const QString &dir, const QByteArray &text)
{
    QFile f(dir + "/game.log");
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

void TestGameLogReading::anonymise_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("result");
    QTest::newRow("address") << "  peer 192.168.1.20:7001 gone "
                             << "peer x.x.x.x:7001 gone";
    QTest::newRow("user folder") << "C:\\Users\\Ann Lee\\Documents\\x"
                                 << "C:\\Users\\*\\Documents\\x";
    QTest::newRow("unprintable") << QString::fromUtf8("caf\u00e9\tbar") << "caf??bar";
    QTest::newRow("cut at 200") << QString(300, 'a') << QString(200, 'a');
    QTest::newRow("a second path on the line") << "moved C:\\Users\\ann to C:\\Users\\bob\\x"
                                               << "moved C:\\Users\\* C:\\Users\\*\\x";
    QTest::newRow("lower case") << "c:\\users\\ann\\x"
                                << "c:\\users\\*\\x";
    QTest::newRow("forward slashes") << "C:/Users/Ann/x"
                                     << "C:/Users/*/x";
    QTest::newRow("home folder") << "/home/ann/.cache/x"
                                 << "/home/*/.cache/x";
    QTest::newRow("a name with letters past ASCII")
        << QString::fromUtf8("C:\\Users\\J\u00e9r\u00f4me\\x") << "C:\\Users\\*\\x";
    QTest::newRow("not addresses") << "1234.5.6.7 v1.2.3.4"
                                   << "1234.5.6.7 v1.2.3.4";
}

void TestGameLogReading::anonymise()
{
    QFETCH(QString, line);
    QFETCH(QString, result);
    QCOMPARE(gamelog::anonymiseLine(line), result);
}

void TestGameLogReading::exitClassification_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("result");
    QTest::newRow("crash before exit") << QByteArray("a\ncrash: boom at x\nExit (code 6)\n") << "crash";
    QTest::newRow("asked to leave") << QByteArray("asked to leave (HalReturnToFirmware 3)\nExit (x)\n")
                                    << "asked to leave 3";
    QTest::newRow("shut down") << QByteArray("asked to shut down\nExit (x)\n") << "shut down";
    QTest::newRow("relaunched") << QByteArray("relaunching into 2\nExit (x)\n") << "relaunched";
    QTest::newRow("plain exit") << QByteArray("fine\nExit (quit)\n") << "window closed";
    QTest::newRow("no exit line") << QByteArray("fine\n") << "ended from outside";
    QByteArray far = "crash: old\n";
    for (int i = 0; i < 90; ++i)
        far += "filler\n";
    far += "Exit (quit)\n";
    QTest::newRow("crash more than 80 lines back") << far << "window closed";
    QTest::newRow("crash after the exit line is not it")
        << QByteArray("Exit (quit)\ncrash: later\n") << "window closed";
}

void TestGameLogReading::exitClassification()
{
    QFETCH(QByteArray, log);
    QFETCH(QString, result);
    QTemporaryDir dir;
    writeLog(dir.path(), log);
    QCOMPARE(gamelog::exitClassification(dir.path()), result);
}

void TestGameLogReading::tail()
{
    QTemporaryDir dir;
    QCOMPARE(gamelog::exitClassification(dir.path()), QString("ended from outside"));
    QVERIFY(gamelog::logTail(dir.path(), 20).isEmpty());
    QByteArray log;
    for (int i = 0; i < 30; ++i)
        log += "line " + QByteArray::number(i) + " from 10.1.2.3\r\n\n";
    writeLog(dir.path(), log);
    const QStringList tail = gamelog::logTail(dir.path(), 20);
    QCOMPARE(tail.size(), 20);
    QCOMPARE(tail.first(), QString("line 10 from x.x.x.x"));
    QCOMPARE(tail.last(), QString("line 29 from x.x.x.x"));
}
