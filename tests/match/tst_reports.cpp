// The rules of the reports, preparation and local test, on fixtures built here: the crash decision,
// the desync excerpt and its cuts, the game files cache, and when an executable needs preparing.

#include "match/codeprep.h"
#include "match/gamefiles.h"
#include "match/gamelogreading.h"
#include "match/localtest.h"
#include "match/reportrules.h"
#include "platform/platform.h"
#include "tst_match.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList kHead{"[t] [info] OS: Linux 6.1 at 10.0.0.7", "[t] [info] CPU: x86_64", "[t] other line",
                        "[t] [info] Game: orx-testgame, game orx, instance 1"};
const QStringList kHeader{"[t] [info] OS: Linux 6.1 at x.x.x.x", "[t] [info] CPU: x86_64",
                          "[t] [info] Game: orx-testgame, game orx, instance 1"};

qsizetype costOf(const QStringList &lines)
{
    qsizetype cost = 0;
    for (const QString &l : lines)
        cost += l.size() + l.count('"') + l.count('\\') + 4;
    return cost;
}

bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &mtime = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    return !mtime.isValid() ||
           (f.open(QIODevice::ReadOnly) && f.setFileTime(mtime, QFileDevice::FileModificationTime));
}

} // namespace

void TestReportRules::crashDecision_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("report");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("where");

    const QString hangWhere = "hang: the game window stopped answering";
    QTest::newRow("exit 0, nothing logged") << 0 << false << false << QStringList{} << false << ""
                                            << "";
    QTest::newRow("exit -1, nothing logged") << -1 << false << false << QStringList{} << false << ""
                                             << "";
    QTest::newRow("exit 0 is not read for crash lines")
        << 0 << false << false << QStringList{"crash: boom at a.cpp"} << false << ""
        << "";
    QTest::newRow("exit 2, an ordinary log")
        << 2 << false << false << QStringList{"fine", "Exit (quit)"} << false << ""
        << "";
    QTest::newRow("access violation without a crash line")
        << int(0xC0000005) << false << false << QStringList{"fine"} << true << "C0000005"
        << "";
    QTest::newRow("crash line with a source position")
        << 3 << false << false
        << QStringList{"[t] crash: access violation reading 0x10 at src/fight/hitbox.cpp:120",
                       "Exit (code 3)"}
        << true << "3"
        << "src/fight/hitbox.cpp:120";
    QTest::newRow("crash text without a place")
        << 3 << false << false << QStringList{"crash:   the engine gave up  "} << true << "3"
        << "the engine gave up";
    QTest::newRow("the last crash line counts")
        << 3 << false << false << QStringList{"crash: first at a.cpp", "crash: second at b.cpp"} << true
        << "3"
        << "b.cpp";
    QTest::newRow("the place goes through the anonymiser")
        << 5 << false << false
        << QStringList{QString::fromUtf8(
               "crash: read failed at C:\\Users\\Ann Lee\\orx\\x.cpp via 10.1.2.3 \u00e9")}
        << true << "5"
        << "C:\\Users\\*\\orx\\x.cpp via x.x.x.x ?";
    QTest::newRow("place cut to 150")
        << 5 << false << false << QStringList{"crash: x at " + QString(300, 'p')} << true << "5"
        << QString(150, 'p');
    QTest::newRow("a hang alone") << 1 << false << false << QStringList{"hang: no answer for 5 s", "Exit (x)"}
                                  << true << "1" << hangWhere;
    QTest::newRow("launcher kill code ignores a crash line")
        << 0xF291 << false << false << QStringList{"crash: on the way out at a.cpp"} << false << ""
        << "";
    QTest::newRow("launcher kill code with a hang line")
        << 0xF291 << false << false << QStringList{"hang: no answer"} << true << "F291" << hangWhere;
    QTest::newRow("signal death without lines") << 11 << true << false << QStringList{} << true << "8000000B"
                                                << "";
    QTest::newRow("signal death with its crash line")
        << 6 << true << false << QStringList{"crash: boom at testgame.cpp (runStep)"} << true << "80000006"
        << "testgame.cpp (runStep)";
    QTest::newRow("the launcher's SIGKILL")
        << 9 << true << true << QStringList{"crash: late at a.cpp"} << false << ""
        << "";
    QTest::newRow("the launcher's SIGKILL of a hung game")
        << 9 << true << true << QStringList{"hang: no answer"} << true << "F291" << hangWhere;
    QTest::newRow("a clean quit while stopping")
        << 0 << false << true << QStringList{"Exit (quit)"} << false << ""
        << "";
}

void TestReportRules::crashDecision()
{
    QFETCH(int, code);
    QFETCH(bool, crashed);
    QFETCH(bool, stopping);
    QFETCH(QStringList, log);
    QFETCH(bool, report);
    QFETCH(QString, hex);
    QFETCH(QString, where);
    const reports::Crash c = reports::crashOf(code, crashed, stopping, log);
    QCOMPARE(c.report, report);
    if (report) {
        QCOMPARE(c.code, hex);
        QCOMPARE(c.where, where);
    }
}

void TestReportRules::excerpt_data()
{
    QTest::addColumn<QStringList>("body");
    QTest::addColumn<QStringList>("expected");

    const QStringList match{"orx net: meeting for match m2",
                            "noise",
                            "[warning] late frame",
                            "netplay: frame 12: rollbacks (3)",
                            "DESYNC at frame 40",
                            "orx desync: p1 state 1",
                            "noise",
                            "[error] after it",
                            "orx desync: p2 state 2"};
    const QStringList kept{"orx net: meeting for match m2",
                           "[warning] late frame",
                           "netplay: frame 12: rollbacks (3)",
                           "DESYNC at frame 40",
                           "orx desync: p1 state 1",
                           "[error] after it",
                           "orx desync: p2 state 2"};
    for (const QString &marker :
         {QString("link: start match=m2"), QString("link: rematch match=m2"),
          QString("link: command start game=orx"), QString("link: command rematch x")}) {
        QTest::newRow(qPrintable("starts at " + marker))
            << QStringList{"orx net: the last match", "[error] old"} + QStringList{marker} + match
            << QStringList{marker} + kept;
    }
    QTest::newRow("the command line before the start")
        << QStringList{"orx net: old", "link: command start x", "link: start match=m2", "DESYNC at frame 3"}
        << QStringList{"link: command start x", "link: start match=m2", "DESYNC at frame 3"};
    QTest::newRow("no start: from the first line") << QStringList{"orx net: a", "noise", "DESYNC at frame 3"}
                                                   << QStringList{"orx net: a", "DESYNC at frame 3"};
    QTest::newRow("no desync line: up to the end")
        << QStringList{"link: start m", "orx versus: result", "noise"}
        << QStringList{"link: start m", "orx versus: result"};
    QTest::newRow("gpu warnings are not of interest")
        << QStringList{"link: start m", "[warning] [gpu] slow shader", "[warning] net late",
                       "DESYNC at frame 1"}
        << QStringList{"link: start m", "[warning] net late", "DESYNC at frame 1"};
    QTest::newRow("the last rollback line of each kind")
        << QStringList{"link: start m",     "netplay: frame 1: a",   "keeping a frame top 3",
                       "rollbacks (5)",     "keeping a frame top 9", "netplay: frame 2: b",
                       "DESYNC at frame 2", "rollbacks (9)"}
        << QStringList{"link: start m", "keeping a frame top 9", "netplay: frame 2: b", "DESYNC at frame 2"};
    QStringList many{"link: start m"}, manyKept{"link: start m"};
    for (int i = 0; i < 35; ++i) {
        many << QString("[warning] w%1").arg(i);
        if (i >= 5)
            manyKept << QString("[warning] w%1").arg(i);
    }
    many << "DESYNC at frame 9";
    manyKept << "DESYNC at frame 9";
    for (int i = 0; i < 12; ++i) {
        many << QString("[warning] a%1").arg(i) << QString("orx desync: d%1").arg(i);
        if (i < 10)
            manyKept << QString("[warning] a%1").arg(i);
        manyKept << QString("orx desync: d%1").arg(i);
    }
    QTest::newRow("30 lines of interest before, 10 after") << many << manyKept;
    // "link: start" is the first milestone; after 40, only those of interest are kept.
    QStringList milestones{"link: start m"}, milestonesKept{"link: start m"};
    for (int i = 1; i < 45; ++i) {
        milestones << QString("picked character c%1").arg(i) << QString("stage select took %1 ms").arg(i);
        milestonesKept << QString("picked character c%1").arg(i);
        if (i < 20)
            milestonesKept << QString("stage select took %1 ms").arg(i);
    }
    QTest::newRow("40 milestones, then those of interest") << milestones << milestonesKept;
}

void TestReportRules::excerpt()
{
    QFETCH(QStringList, body);
    QFETCH(QStringList, expected);
    QCOMPARE(gamelog::excerptOf(kHead, body), kHeader + expected);
}

void TestReportRules::excerptLimits()
{
    // Too many lines: interest lines go first, then the oldest lines after the desync.
    QStringList body{"link: start m"};
    for (int i = 1; i < 40; ++i)
        body << QString("orx versus: milestone %1").arg(i);
    body << "rollbacks (1)"
         << "keeping a frame top 2";
    for (int i = 0; i < 30; ++i)
        body << QString("[warning] w%1").arg(i);
    for (int i = 0; i < 150; ++i)
        body << QString("orx desync: before %1").arg(i);
    body << "DESYNC at frame 77";
    for (int i = 0; i < 10; ++i)
        body << QString("[warning] after %1").arg(i);
    QStringList out = gamelog::excerptOf(kHead, body);
    QCOMPARE(out.size(), 198);
    QCOMPARE(out.filter(QRegularExpression("^\\[warning\\] w")).size(), 0);
    QCOMPARE(out.filter("[warning] after").size(), 2);
    QVERIFY(out.contains("[warning] after 9") && out.contains("[warning] after 8"));
    QCOMPARE(out.filter("orx desync: before").size(), 150);
    QVERIFY(out.contains("DESYNC at frame 77") && out.contains("keeping a frame top 2"));

    // Too costly: desync detail lines go from the newest; quotes and backslashes cost double.
    const QString heavy = QString(100, '"') + QString(90, '\\');
    body = QStringList{"link: start m"};
    for (int i = 0; i < 40; ++i)
        body << QString("orx versus: %1 %2").arg(i).arg(heavy);
    body << "DESYNC at frame 5";
    for (int i = 0; i < 150; ++i)
        body << QString("orx desync: %1 %2").arg(i, 3, 10, QChar('0')).arg(heavy);
    out = gamelog::excerptOf(kHead, body);
    QVERIFY(costOf(out) <= 56000);
    const QStringList details = out.filter("orx desync:");
    QVERIFY(details.size() > 0 && details.size() < 150);
    QVERIFY(details.first().startsWith("orx desync: 000"));
    QVERIFY(details.last().startsWith(QString("orx desync: %1").arg(details.size() - 1, 3, 10, QChar('0'))));
    const QString next =
        gamelog::anonymiseLine(body.at(body.indexOf("DESYNC at frame 5") + details.size() + 1));
    QVERIFY(costOf(out) + costOf({next}) > 56000);
    // "link: start" is the first of the 40 milestones kept; the last "orx versus:" line was only of
    // interest and went first.
    QCOMPARE(out.filter("orx versus:").size(), 39);

    // A header longer than the limit: nothing more can go, and the cut ends.
    QStringList head;
    for (int i = 0; i < 250; ++i)
        head << QString("[t] [info] OS: line %1").arg(i);
    out = gamelog::excerptOf(head, {"link: start m", "[warning] x", "DESYNC at frame 1", "orx desync: a"});
    QCOMPARE(out.size(), 252);
    QCOMPARE(out.mid(250), (QStringList{"link: start m", "DESYNC at frame 1"}));

    // From the files: no log, no excerpt; the header is read from the start of a long log.
    QTemporaryDir dir;
    QVERIFY(gamelog::matchLogExcerpt(dir.path()).isEmpty());
    QByteArray log = kHead.join('\n').toUtf8() + '\n';
    for (int i = 0; i < 20000; ++i)
        log += "[t] filler line that tells nothing\n";
    log += "[t] link: start match=9\n[t] orx net: player 2 joined\n[t] DESYNC at frame 3\n";
    QVERIFY(writeFile(dir.filePath("game.log"), log));
    QCOMPARE(gamelog::matchLogExcerpt(dir.path()),
             kHeader + (QStringList{"[t] link: start match=9", "[t] orx net: player 2 joined",
                                    "[t] DESYNC at frame 3"}));
}

void TestReportRules::shorten_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("desyncAt"); // -1: none
    QTest::addColumn<QList<int>>("kept");
    auto range = [](int from, int to) {
        QList<int> r;
        for (int i = from; i <= to; ++i)
            r << i;
        return r;
    };
    QTest::newRow("36 lines stay") << 36 << 10 << range(0, 35);
    QTest::newRow("40 lines, desync at 10") << 40 << 10 << range(0, 7) + range(10, 37);
    QTest::newRow("37 lines, no desync") << 37 << -1 << range(0, 21) + range(23, 36);
    QTest::newRow("50 lines, desync near the end") << 50 << 45 << range(0, 21) + range(36, 49);
    QTest::newRow("40 lines, desync first") << 40 << 0 << range(0, 27);
}

void TestReportRules::shorten()
{
    QFETCH(int, count);
    QFETCH(int, desyncAt);
    QFETCH(QList<int>, kept);
    QStringList lines, expected;
    for (int i = 0; i < count; ++i)
        lines << (i == desyncAt ? QString("DESYNC at frame %1").arg(i) : QString("line %1").arg(i));
    for (int i : kept)
        expected << lines.at(i);
    QCOMPARE(reports::shortenExcerpt(lines), expected);
}

void TestReportRules::cacheLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("ok");
    const QString sha = QString(40, 'a');
    QTest::newRow("good") << "media/a.bin|12|1700000000000|" + sha << true;
    QTest::newRow("three fields") << "media/a.bin|12|" + sha << false;
    QTest::newRow("five fields") << "media/a.bin|12|1|2|" + sha << false;
    QTest::newRow("size not a number") << "a|x12|1|" + sha << false;
    QTest::newRow("negative size") << "a|-1|1|" + sha << false;
    QTest::newRow("time not a number") << "a|12|soon|" + sha << false;
    QTest::newRow("hash of 39 digits") << "a|12|1|" + QString(39, 'a') << false;
    QTest::newRow("hash not hexadecimal") << "a|12|1|" + QString(40, 'g') << false;
    QTest::newRow("no path") << "|12|1|" + sha << false;
}

void TestReportRules::cacheLines()
{
    QFETCH(QString, line);
    QFETCH(bool, ok);
    QString path;
    gamefiles::CacheEntry e;
    QCOMPARE(gamefiles::parseCacheLine(line, &path, &e), ok);
    if (ok) {
        QCOMPARE(path, QString("media/a.bin"));
        QCOMPARE(e.size, 12);
        QCOMPARE(e.mtimeMs, 1700000000000);
    }
    // In a file, a damaged line costs only its own file.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("c.txt"), (line + "\nother.bin|3|4|" + QString(40, 'b') + "\n").toUtf8()));
    const auto cache = gamefiles::readCache(dir.filePath("c.txt"));
    QCOMPARE(cache.size(), ok ? 2 : 1);
    QVERIFY(cache.contains("other.bin"));
}

void TestReportRules::codePrepNeeded_data()
{
    QTest::addColumn<QString>("exe");
    QTest::addColumn<bool>("dll");
    QTest::addColumn<int>("dllAge");    // seconds the .dll is older than the executable (negative: newer)
    QTest::addColumn<QString>("built"); // "" none; SIZE and TIME stand for the executable's own
    QTest::addColumn<bool>("needed");
    QTest::newRow("not an .exe") << "orx" << true << 10 << "" << false;
    QTest::newRow("no .dll beside it") << "orx.exe" << false << 10 << "" << false;
    QTest::newRow("built.txt matches") << "orx.exe" << true << 10 << "SIZE TIME" << false;
    QTest::newRow("built.txt matches, upper-case suffix")
        << "ORX.EXE" << true << 10 << "SIZE TIME more" << false;
    QTest::newRow("built.txt of another size") << "orx.exe" << true << 10 << "1 TIME" << true;
    QTest::newRow("built.txt of another time") << "orx.exe" << true << 10 << "SIZE 5" << true;
    QTest::newRow("built.txt with one word") << "orx.exe" << true << 10 << "SIZE" << true;
    QTest::newRow("no built.txt, .dll older") << "orx.exe" << true << 10 << "" << true;
    QTest::newRow("no built.txt, .dll as old") << "orx.exe" << true << 0 << "" << true;
    QTest::newRow("no built.txt, .dll newer") << "orx.exe" << true << -10 << "" << false;
}

void TestReportRules::codePrepNeeded()
{
    QFETCH(QString, exe);
    QFETCH(bool, dll);
    QFETCH(int, dllAge);
    QFETCH(QString, built);
    QFETCH(bool, needed);
    QTemporaryDir dir;
    const QDateTime when = QDateTime::currentDateTime().addDays(-1);
    const QString exePath = dir.filePath(exe);
    QVERIFY(writeFile(exePath, QByteArray(1234, 'x'), when));
    const QString base = QFileInfo(exe).completeBaseName();
    if (dll)
        QVERIFY(writeFile(dir.filePath(base + ".dll"), "dll", when.addSecs(-dllAge)));
    if (!built.isEmpty()) {
        quint64 fileTime = 0;
        QVERIFY(platform::fileWriteTime(exePath, &fileTime));
        QCOMPARE(fileTime, platform::fileTimeFromUnix(when.toSecsSinceEpoch(),
                                                      (when.toMSecsSinceEpoch() % 1000) * 1000000));
        built.replace("SIZE", "1234").replace("TIME", QString::number(fileTime));
        QVERIFY(writeFile(dir.filePath("compiler/work/" + base + "/built.txt"), built.toUtf8() + "\n"));
    }
    QCOMPARE(codeprep::codePrepNeeded(exePath), needed);
}

void TestReportRules::prepRefusal()
{
    auto name = [](const QString &id) { return id == "orx" ? QString("Ironmere IV") : id.toUpper(); };
    QVERIFY(codeprep::refusal({}, "orx", name).isEmpty());
    QVERIFY(codeprep::refusal({"abc"}, "orx", name).isEmpty());
    QCOMPARE(
        codeprep::refusal({"orx", "abc"}, "orx", name),
        QString("Ironmere IV is being prepared for this version (its window shows how far it is): it can be "
                "played once that is done."));
    QCOMPARE(
        codeprep::refusal({"orx", "abc"}, "abc", name),
        QString("ABC is prepared for this version next, after Ironmere IV: it can be played once that is "
                "done."));
}

void TestReportRules::localTestLines()
{
    QCOMPARE(localtest::startLine("orx", "versus", 1, 7001, 7002, 1, 4000000000u, "-", "-", "local-101112"),
             QString("start game=orx mode=versus side=1 local_port=7001 remote=127.0.0.1:7002 delay=1 "
                     "seed=4000000000 p1=- p2=- rounds=5 ranked=0 match=local-101112"));
    QCOMPARE(localtest::startLine("orx", "versus", 2, 7001, 7002, 3, 7u, "kael", "ryo", "local-000001"),
             QString("start game=orx mode=versus side=2 local_port=7002 remote=127.0.0.1:7001 delay=3 "
                     "seed=7 p1=kael p2=ryo rounds=5 ranked=0 match=local-000001"));
    QCOMPARE(localtest::resultPart("result winner=1 p1_rounds=3 p2_rounds=1 match=local-1"),
             localtest::resultPart("result winner=1 p1_rounds=3 p2_rounds=1 match=local-2 extra"));
    QVERIFY(localtest::resultPart("result winner=1 p1_rounds=3 p2_rounds=1 match=x") !=
            localtest::resultPart("result winner=2 p1_rounds=3 p2_rounds=1 match=x"));
}
