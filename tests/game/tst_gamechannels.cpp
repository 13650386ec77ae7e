// The channels of a running game against real processes: command pacing, the status poll, output
// lines, quitting, stopping and how a run ends.

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "gametestkit.h"
#include "platform/platform.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const auto &args : spy)
        out << args.at(0).toString();
    return out;
}

// A game that runs until it is killed and never touches its files.
const QByteArray sleeperGame = "#!/bin/sh\nexec sleep 600\n";

} // namespace

class TestGameChannels : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandBeforeAnySession();
    void threeQuickCommands();
    void startLineReachesTheGameAndTheLogHidesTheRemote();
    void gameThatNeverDeletesTheCommandFile();
    void commandFileThatCannotBeReplaced();
    void statusRules();
    void outputLines();
    void statusWrittenJustBeforeTheEnd();
    void quitHonoured_data();
    void quitHonoured();
    void quitIgnored_data();
    void quitIgnored();
    void crash();
    void stopKillsAtOnce();

private:
    QString script(const QString &name, const QByteArray &body);
    std::unique_ptr<GameTestEnv> m_env;
};

void TestGameChannels::init()
{
    m_env = std::make_unique<GameTestEnv>();
    QVERIFY(m_env->isValid());
}

void TestGameChannels::cleanup()
{
    m_env.reset();
}

QString TestGameChannels::script(const QString &name, const QByteArray &body)
{
    return writeScript(QDir(m_env->root()).filePath(QStringLiteral("scripts/") + name), body);
}

void TestGameChannels::commandBeforeAnySession()
{
    GameProcess game(QStringLiteral("orx"), 1);
    game.sendCommand(QStringLiteral("quit"));
    game.quit();
    game.stop();
    game.pollStatus();
    QVERIFY(!game.isRunning());
    QVERIFY(game.lastStatus().isEmpty());
    QVERIFY(logLines().filter(QStringLiteral("cmd")).isEmpty());
}

void TestGameChannels::threeQuickCommands()
{
    GameProcess game(QStringLiteral("orx"), 1);
    // The stand-in leaves each command 700 ms in the file: the second arrives while the first waits.
    game.setArguments({QStringLiteral("--take-after"), QStringLiteral("700")});
    QString error;
    QVERIFY2(game.start(testGamePath(), &error, true), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    game.sendCommand(QStringLiteral("first"));
    game.sendCommand(QStringLiteral("second"));
    game.sendCommand(QStringLiteral("third"));
    QCOMPARE(readFile(QDir(game.sessionDir()).filePath("cmd.txt")), QByteArray("first\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(game.sessionDir()), QStringList({"first", "third"}),
                              deadline(10000));
    const QStringList sent = logLines().filter(QRegularExpression(QStringLiteral("game orx/1: cmd ")));
    QCOMPARE(sent.size(), 2);
    QVERIFY(sent.at(0).endsWith(QStringLiteral("game orx/1: cmd first")));
    QVERIFY(sent.at(1).endsWith(QStringLiteral("game orx/1: cmd third")));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameChannels::startLineReachesTheGameAndTheLogHidesTheRemote()
{
    // Nobody plays the other side here: the stand-in plays the match alone.
    qputenv("ORX_TESTGAME_ARGS", "--solo");
    const auto restore = qScopeGuard([] { qunsetenv("ORX_TESTGAME_ARGS"); });
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY2(game.start(testGamePath(), &error, true), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    const QString start =
        QStringLiteral("start game=orx mode=versus side=1 local_port=7001 remote=203.0.113.7:7002 "
                       "delay=2 seed=4 p1=kael p2=- rounds=3 ranked=1 match=m42");
    game.sendCommand(start);
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("result"), deadline(10000));
    QCOMPARE(recordedCommands(game.sessionDir()), QStringList({start}));
    // Seed 4: side 1 wins two rounds to none.
    QCOMPARE(game.lastStatus(), QStringLiteral("result winner=1 p1_rounds=2 p2_rounds=0 match=m42"));
    QVERIFY(texts(statuses).contains(QStringLiteral("in_match match=m42")));
    const QStringList log = logLines();
    QCOMPARE(log.filter(QStringLiteral("203.0.113.7")).size(), 0);
    QCOMPARE(
        log.filter(QStringLiteral("game orx/1: cmd start game=orx mode=versus side=1 local_port=7001 "
                                  "remote=(hidden) delay=2 seed=4 p1=kael p2=- rounds=3 ranked=1 match=m42"))
            .size(),
        1);
    QCOMPARE(log.filter(QStringLiteral("game orx/1: status in_match match=m42")).size(), 1);

    game.sendCommand(QStringLiteral("park"));
    QTRY_COMPARE_WITH_TIMEOUT(game.lastStatus(), QStringLiteral("ready"), deadline(10000));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameChannels::gameThatNeverDeletesTheCommandFile()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QString error;
    QVERIFY2(game.start(script("sleeper", sleeperGame), &error, true), qPrintable(error));
    const QString cmd = QDir(game.sessionDir()).filePath("cmd.txt");
    game.sendCommand(QStringLiteral("one"));
    QCOMPARE(readFile(cmd), QByteArray("one\n"));
    game.sendCommand(QStringLiteral("caf\u00e9 two"));
    QCOMPARE(readFile(cmd), QByteArray("one\n")); // kept pending while the game has not taken "one"
    // Not taken within 2000 ms: the pending command is written over it, as Latin-1.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(cmd), QByteArray("caf\xe9 two\n"), deadline(10000));
    QVERIFY(!QFile::exists(cmd + QStringLiteral(".tmp")));
    QCOMPARE(logLines().filter(QStringLiteral("game orx/1: cmd ")).size(), 2);
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameChannels::commandFileThatCannotBeReplaced()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QString error;
    QVERIFY2(game.start(script("sleeper", sleeperGame), &error, true), qPrintable(error));
    const QString cmd = QDir(game.sessionDir()).filePath("cmd.txt");
    // A folder in the file's place: the replacement fails at once and the command is lost.
    QVERIFY(QDir().mkpath(cmd + QStringLiteral("/held")));
    game.sendCommand(QStringLiteral("one"));
    const QStringList failed = logLines().filter(
        QStringLiteral("game orx/1: cannot replace %1 (error ").arg(QDir::toNativeSeparators(cmd)));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(logLines().filter(QStringLiteral("game orx/1: cmd ")).size(), 0);
    QVERIFY(!QFile::exists(cmd + QStringLiteral(".tmp")));
    // Nothing stays pending: once the way is clear the next command goes straight in.
    QVERIFY(QDir(cmd).removeRecursively());
    game.pollStatus();
    QVERIFY(!QFile::exists(cmd));
    game.sendCommand(QStringLiteral("two"));
    QCOMPARE(readFile(cmd), QByteArray("two\n"));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameChannels::statusRules()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY2(game.start(script("sleeper", sleeperGame), &error, true), qPrintable(error));
    const QString status = QDir(game.sessionDir()).filePath("status.txt");
    // No event loop runs between a write and the poll below, so each poll sees exactly that file.
    const auto writeAndPoll = [&](const QByteArray &bytes) {
        QVERIFY(platform::writeFileAtomically(status, bytes));
        game.pollStatus();
    };
    writeAndPoll("ready\n");
    writeAndPoll("ready\n");                         // the same line again: no signal
    writeAndPoll("ready\r\n");                       // Windows line end: still the same
    writeAndPoll("  in_match  match=m1 \r\nnext\n"); // only the first line counts, trimmed
    writeAndPoll("");                                // empty: nothing
    writeAndPoll("\nready\n");                       // an empty first line: nothing
    QVERIFY(QFile::remove(status));
    game.pollStatus();            // missing: nothing
    writeAndPoll("away caf\xe9"); // Latin-1, no line feed at all
    QCOMPARE(texts(statuses),
             QStringList({"starting", "ready", "in_match  match=m1", QStringLiteral("away caf\u00e9")}));
    QCOMPARE(game.statusWord(), QStringLiteral("away"));
    QCOMPARE(logLines().filter(QStringLiteral("game orx/1: status ")).size(), 3);

    // The 100 ms poll picks a change up by itself.
    QVERIFY(platform::writeFileAtomically(status, "ready again\n"));
    QTRY_COMPARE_WITH_TIMEOUT(game.lastStatus(), QStringLiteral("ready again"), deadline(10000));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameChannels::outputLines()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy lines(&game, &GameProcess::outputLine);
    QSignalSpy exited(&game, &GameProcess::exited);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY(game.start(script("printer", "#!/bin/sh\nprintf 'one\\n\\n  two  \\r\\n'\nprintf 'err\\n' >&2\n"
                                         "printf 'abc'\nexit 3\n"),
                       &error, true));
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(10000));
    QCOMPARE(texts(lines), QStringList({"one", "two", "err"})); // "abc" never got its line feed
    QCOMPARE(exited.at(0).at(0).toInt(), 3);
    QCOMPARE(exited.at(0).at(1).toBool(), false);
    QCOMPARE(game.exitCode(), 3);
    QCOMPARE(texts(statuses), QStringList({"starting", "error exited"}));
    QCOMPARE(logLines().filter(QStringLiteral("game orx/1: exited with code 3")).size(), 1);
    QCOMPARE(logLines().filter(QStringLiteral("(crash)")).size(), 0);
}

void TestGameChannels::statusWrittenJustBeforeTheEnd()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QSignalSpy exited(&game, &GameProcess::exited);
    QString error;
    QVERIFY(
        game.start(script("last-words", "#!/bin/sh\nprintf 'result winner=2 p1_rounds=0 p2_rounds=2\\n' > "
                                        "\"$ORX_STATUS\"\nexit 0\n"),
                   &error, true));
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(10000));
    QCOMPARE(texts(statuses),
             QStringList({"starting", "result winner=2 p1_rounds=0 p2_rounds=2", "error exited"}));
}

void TestGameChannels::quitHonoured_data()
{
    QTest::addColumn<bool>("online");
    QTest::newRow("online: the quit command") << true;
    QTest::newRow("offline: a close request") << false;
}

void TestGameChannels::quitHonoured()
{
    QFETCH(bool, online);
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy exited(&game, &GameProcess::exited);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, online));
    // The stand-in records its environment once it is up; wait for that so a close request finds
    // its handler in place.
    QTRY_VERIFY_WITH_TIMEOUT(!envRecord(game.sessionDir()).isEmpty(), deadline(10000));
    if (online)
        QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    game.quit();
    game.quit(); // already stopping: nothing more
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(10000));
    QCOMPARE(exited.at(0).at(0).toInt(), 0);
    QCOMPARE(exited.at(0).at(1).toBool(), false);
    QCOMPARE(game.lastStatus(), QStringLiteral("exited"));
    QCOMPARE(logLines().filter(QStringLiteral("game orx/1: cmd quit")).size(), online ? 1 : 0);
    if (online)
        QCOMPARE(recordedCommands(game.sessionDir()), QStringList({"quit"}));
    const QString gameLog = QString::fromUtf8(readFile(QDir(game.sessionDir()).filePath("game.log")));
    QVERIFY(
        gameLog.contains(online ? QStringLiteral("Exit (quit)") : QStringLiteral("Exit (window closed)")));
}

void TestGameChannels::quitIgnored_data()
{
    QTest::addColumn<bool>("online");
    QTest::newRow("online") << true;
    QTest::newRow("offline") << false;
}

void TestGameChannels::quitIgnored()
{
    QFETCH(bool, online);
    GameProcess game(QStringLiteral("orx"), 1);
    game.setArguments({QStringLiteral("--ignore-quit")});
    QSignalSpy exited(&game, &GameProcess::exited);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, online));
    QTRY_VERIFY_WITH_TIMEOUT(!envRecord(game.sessionDir()).isEmpty(), deadline(10000));
    if (online)
        QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    const qint64 pid = game.processId();
    game.quit();
    if (online)
        QTRY_COMPARE_WITH_TIMEOUT(recordedCommands(game.sessionDir()), QStringList({"quit"}),
                                  deadline(10000));
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(20000));
    QVERIFY(processGone(pid));
    // Killed by the launcher: "exited", not "error exited".
    QCOMPARE(game.lastStatus(), QStringLiteral("exited"));
    QCOMPARE(
        logLines().filter(QRegularExpression(QStringLiteral("game orx/1: exited with code -?\\d+"))).size(),
        1);
    const QString gameLog = QString::fromUtf8(readFile(QDir(game.sessionDir()).filePath("game.log")));
    QVERIFY(gameLog.contains(online ? QStringLiteral("testgame: ignoring quit")
                                    : QStringLiteral("testgame: ignoring a close request")));
}

void TestGameChannels::crash()
{
    GameProcess game(QStringLiteral("orx"), 1);
    game.setArguments({QStringLiteral("--crash-after"), QStringLiteral("300")});
    QSignalSpy exited(&game, &GameProcess::exited);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, true));
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(10000));
    QCOMPARE(exited.at(0).at(1).toBool(), true);
    QCOMPARE(game.lastStatus(), QStringLiteral("error exited"));
    QCOMPARE(texts(statuses).last(), QStringLiteral("error exited"));
    const QStringList ended = logLines().filter(QStringLiteral("game orx/1: exited with code "));
    QCOMPARE(ended.size(), 1);
    QVERIFY2(ended.first().endsWith(QStringLiteral(" (crash)")), qPrintable(ended.first()));
    QVERIFY(QString::fromUtf8(readFile(QDir(game.sessionDir()).filePath("game.log"))).contains("crash: "));
}

void TestGameChannels::stopKillsAtOnce()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy exited(&game, &GameProcess::exited);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, true));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    game.sendCommand(QStringLiteral("left pending? no: written at once"));
    game.stop();
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(10000));
    QCOMPARE(game.lastStatus(), QStringLiteral("exited"));
    QCOMPARE(game.processId(), 0);
    QVERIFY(!game.isRunning());
}

int runGameChannelTests(int argc, char **argv)
{
    TestGameChannels t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_gamechannels.moc"
