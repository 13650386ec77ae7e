// The stand-in game itself: what later tests rely on it to do. Its exchange with GameProcess is
// covered by test_game; here the parts the launcher does not exercise yet.

#include "matchplay.h"
#include "script.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString testGame()
{
    return QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath(QStringLiteral("orx-testgame"));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

} // namespace

class TestTestGame : public QObject {
    Q_OBJECT

private slots:
    void init();
    void resultFromTheSeed_data();
    void resultFromTheSeed();
    void scriptErrors_data();
    void scriptErrors();
    void exitsWithTheChosenCode();
    void badOptionsEndAtOnce_data();
    void badOptionsEndAtOnce();
    void prepareRun();
    void askRequestsWaitUntilTaken();

private:
    // A process with a session folder in the environment, the way the launcher starts it.
    void setUpSession(QProcess &process, bool online);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestTestGame::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestTestGame::setUpSession(QProcess &process, bool online)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QDir dir(m_dir->path());
    env.insert("ORX_SESSION_DIR", dir.path());
    env.insert("ORX_LOG", dir.filePath("game.log"));
    env.insert("ORX_GAME", "orx");
    env.insert("ORX_INSTANCE", "1");
    if (online) {
        env.insert("ORX_CMD", dir.filePath("cmd.txt"));
        env.insert("ORX_STATUS", dir.filePath("status.txt"));
    }
    process.setProcessEnvironment(env);
    process.setProgram(testGame());
}

void TestTestGame::resultFromTheSeed_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("result");
    QTest::newRow("even seed") << "start seed=4 rounds=3 match=a p1=x p2=y"
                               << "result winner=1 p1_rounds=2 p2_rounds=0 p1_char=x p2_char=y match=a";
    QTest::newRow("odd seed") << "start seed=7 rounds=3 match=b p1=- p2=y"
                              << "result winner=2 p1_rounds=1 p2_rounds=2 match=b";
    QTest::newRow("best of five") << "start seed=13 rounds=5 match=c"
                                  << "result winner=2 p1_rounds=0 p2_rounds=3 match=c";
    QTest::newRow("one round") << "start seed=99 rounds=1 match=d"
                               << "result winner=2 p1_rounds=0 p2_rounds=1 match=d";
    QTest::newRow("64-bit seed") << "start seed=18446744073709551615 match=e"
                                 << "result winner=2 p1_rounds=1 p2_rounds=2 match=e";
}

void TestTestGame::resultFromTheSeed()
{
    QFETCH(QString, line);
    QFETCH(QString, result);
    MatchSetup setup;
    setup.take(parseCommandLine(line));
    QCOMPARE(resultStatus(setup), result);
    // A rematch keeps what it does not name.
    setup.take(parseCommandLine(QStringLiteral("rematch match=z seed=2")));
    QVERIFY(resultStatus(setup).startsWith(QStringLiteral("result winner=1 ")));
    QVERIFY(resultStatus(setup).endsWith(QStringLiteral(" match=z")));
}

void TestTestGame::scriptErrors_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("error"); // empty: parses
    QTest::newRow("good") << "# comment\n\nat 100 ask queue kind=ranked\nprint hi there\nat 5 exit 3\ncrash\n"
                          << "";
    QTest::newRow("unknown action") << "at 5 dance"
                                    << "s:1: unknown action \"dance\"";
    QTest::newRow("bad time") << "\nat soon exit 1"
                              << "s:2: \"at\" needs a time in milliseconds";
    QTest::newRow("negative time") << "at -5 hang"
                                   << "s:1: \"at\" needs a time in milliseconds";
    QTest::newRow("missing text") << "status"
                                  << "s:1: \"status\" needs a text";
    QTest::newRow("unknown outcome")
        << "outcome dance"
        << "s:1: \"outcome\" needs one of none, desync, disconnected, error, away, "
           "again, then a frame";
    QTest::newRow("outcome at no frame")
        << "outcome desync soon"
        << "s:1: \"outcome\" needs one of none, desync, disconnected, error, away, "
           "again, then a frame";
    QTest::newRow("exit without a code") << "exit soon"
                                         << "s:1: \"exit\" needs an exit code";
}

void TestTestGame::scriptErrors()
{
    QFETCH(QString, script);
    QFETCH(QString, error);
    QList<ScriptStep> steps;
    QString actual;
    QCOMPARE(parseScript(script, QStringLiteral("s"), steps, actual), error.isEmpty());
    QCOMPARE(actual, error);
    if (error.isEmpty()) {
        QCOMPARE(steps.size(), 4);
        QCOMPARE(steps.at(0).atMs, 100);
        QCOMPARE(steps.at(0).action, ScriptStep::Ask);
        QCOMPARE(steps.at(0).text, QStringLiteral("queue kind=ranked"));
        QCOMPARE(steps.at(1).text, QStringLiteral("hi there"));
        QCOMPARE(steps.at(3).action, ScriptStep::Crash);
    }
}

void TestTestGame::exitsWithTheChosenCode()
{
    QProcess game;
    setUpSession(game, true);
    QProcessEnvironment env = game.processEnvironment();
    env.insert("ORX_TESTGAME_ARGS", "--boot-ms 10  --exit-after 300 --exit-code 7");
    game.setProcessEnvironment(env);
    game.start();
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitStatus(), QProcess::NormalExit);
    QCOMPARE(game.exitCode(), 7);
    const QString log = QString::fromUtf8(readFile(QDir(m_dir->path()).filePath("game.log")));
    QVERIFY(log.contains("] OS: "));
    QVERIFY(log.contains("] CPU: "));
    QVERIFY(log.contains("] Game: orx-testgame, game orx, instance 1"));
    QVERIFY(log.contains("Exit (code 7)"));
    QCOMPARE(readFile(QDir(m_dir->path()).filePath("status.txt")), QByteArray("ready\n"));
}

void TestTestGame::badOptionsEndAtOnce_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--fly"} << "orx-testgame: unknown option \"--fly\"";
    QTest::newRow("number missing") << QStringList{"--boot-ms"} << "orx-testgame: --boot-ms needs a number";
    QTest::newRow("not a number") << QStringList{"--match-ms", "x"}
                                  << "orx-testgame: --match-ms needs a number, not \"x\"";
    QTest::newRow("unknown outcome")
        << QStringList{"--outcome", "dance"}
        << "orx-testgame: --outcome needs one of desync, disconnected, error, away, again";
    QTest::newRow("negative timeout")
        << QStringList{"--peer-timeout", "-5"} << "orx-testgame: --peer-timeout needs a number of 0 or more";
    QTest::newRow("frame of no time")
        << QStringList{"--frame-ms", "0"} << "orx-testgame: --frame-ms needs at least 1";
    QTest::newRow("missing script") << QStringList{"--script", "/nonexistent/s.txt"}
                                    << "orx-testgame: cannot read the script /nonexistent/s.txt";
}

void TestTestGame::badOptionsEndAtOnce()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess game;
    setUpSession(game, true);
    game.setArguments(args);
    game.start();
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitCode(), 2);
    const QString err = QString::fromUtf8(game.readAllStandardError());
    QVERIFY2(err.startsWith(message), qPrintable(err));
    QVERIFY(!QFile::exists(QDir(m_dir->path()).filePath("status.txt")));
}

void TestTestGame::prepareRun()
{
    QProcess game;
    setUpSession(game, false);
    game.setArguments({"--prepare", "--prepare-ms", "100"});
    game.start();
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitCode(), 0);
    const QString out = QString::fromUtf8(game.readAllStandardOutput());
    QVERIFY(out.contains("prepare: 0%\n"));
    QVERIFY(out.contains("prepare: 100%\n"));
    QVERIFY(!out.contains("status:"));
    QVERIFY(
        QString::fromUtf8(readFile(QDir(m_dir->path()).filePath("game.log"))).contains("Exit (prepared)"));
    QVERIFY(
        QString::fromUtf8(readFile(QDir(m_dir->path()).filePath("testgame-env.json"))).contains("--prepare"));
}

void TestTestGame::askRequestsWaitUntilTaken()
{
    const QDir dir(m_dir->path());
    writeFile(dir.filePath("script.txt"),
              "ask queue kind=ranked\nask accept\nat 100 print-raw no line feed\n");
    QProcess game;
    setUpSession(game, true);
    QProcessEnvironment env = game.processEnvironment();
    env.insert("ORX_TESTGAME_SCRIPT", dir.filePath("script.txt"));
    game.setProcessEnvironment(env);
    game.start();
    QVERIFY(game.waitForStarted(30000));
    const QString ask = dir.filePath("ask.txt");
    QTRY_COMPARE_WITH_TIMEOUT(readFile(ask), QByteArray("queue kind=ranked\n"), 20000);
    // The launcher takes a request by renaming it; only then does the next one come.
    QVERIFY(QFile::rename(ask, ask + ".taken"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(ask), QByteArray("accept\n"), 20000);
    QByteArray out;
    const auto printed = [&game, &out](const QByteArray &text) {
        out += game.readAllStandardOutput();
        return out.contains(text);
    };
    QTRY_VERIFY_WITH_TIMEOUT(printed("no line feed"), 20000);
    writeFile(dir.filePath("cmd.txt"), "quit\n");
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitCode(), 0);
    QVERIFY(!QFile::exists(dir.filePath("cmd.txt")));
    QCOMPARE(readFile(dir.filePath("testgame-commands.txt")), QByteArray("quit\n"));
}

QTEST_GUILESS_MAIN(TestTestGame)
#include "test_testgame.moc"
