// The stand-in game itself: what later tests rely on it to do. Its exchange with GameProcess is
// covered by test_game; here the parts the launcher does not exercise yet.

#include "matchplay.h"
#include "menu.h"
#include "script.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>

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
    void drawAndSparring();
    void charactersOfASeries_data();
    void charactersOfASeries();
    void picksSpreadOverTheRoster();
    void scriptErrors_data();
    void scriptErrors();
    void exitsWithTheChosenCode();
    void badOptionsEndAtOnce_data();
    void badOptionsEndAtOnce();
    void prepareRun();
    void preparedMark();
    void askRequestsWaitUntilTaken();
    void waitStepsOrderTheScript();
    void menuPaths_data();
    void menuPaths();
    void menuFollowsTheDocument();
    void waitGivesUp();

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

void TestTestGame::drawAndSparring()
{
    MatchSetup setup;
    setup.take(parseCommandLine(QStringLiteral("start mode=versus seed=4 rounds=5 match=a p1=x p2=y")));
    // A draw: nobody won, both sides took as many rounds.
    QCOMPARE(resultStatus(setup, true), QStringLiteral("result winner=0 p1_rounds=2 p2_rounds=2 p1_char=x "
                                                       "p2_char=y match=a"));
    QCOMPARE(fightResultStatus(setup, 7, true),
             QStringLiteral("result winner=0 p1_rounds=1 p2_rounds=1 p1_char=x p2_char=y match=a"));
    QCOMPARE(fightResultStatus(setup, 7, false),
             QStringLiteral("result winner=1 p1_rounds=3 p2_rounds=1 p1_char=x p2_char=y match=a"));
    // Sparring has no winner; a rematch keeps the mode of the start line.
    setup.take(parseCommandLine(QStringLiteral("start mode=sparring seed=5 match=b p1=x p2=y")));
    QCOMPARE(resultStatus(setup), QStringLiteral("sparring_over match=b"));
    QCOMPARE(fightResultStatus(setup, 3, true), QStringLiteral("sparring_over match=b"));
    setup.take(parseCommandLine(QStringLiteral("rematch match=c seed=6 p1=x p2=y")));
    QCOMPARE(resultStatus(setup), QStringLiteral("sparring_over match=c"));
}

void TestTestGame::charactersOfASeries_data()
{
    // Lines given to one game in turn; after each, "p1 p2 stage" with "picked(SIDE)" for the
    // game's pick from that line's seed and "kept" for the last match's character or stage.
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("choices"); // made at each result screen ("" for none)
    QTest::addColumn<QStringList>("expect");
    const QString series = " series=set set=1 set_p1=0 set_p2=0";
    QTest::newRow("a lone match leaves a pick unnamed")
        << QStringList{"start seed=4 p1=- p2=ryo match=a", "rematch seed=5 p1=- p2=- match=b"}
        << QStringList{"rematch", ""} << QStringList{"- ryo picked", "- - picked"};
    QTest::newRow("choose=1 names the picks") << QStringList{"start seed=4 p1=- p2=ryo match=a choose=1"}
                                              << QStringList{""} << QStringList{"picked(1) ryo picked"};
    QTest::newRow("series keys name the picks")
        << QStringList{"start seed=9 p1=- p2=- match=a" + series} << QStringList{""}
        << QStringList{"picked(1) picked(2) picked"};
    QTest::newRow("REMATCH keeps both characters, a new stage")
        << QStringList{"start seed=4 p1=- p2=- match=a choose=1",
                       "rematch seed=21 p1=- p2=- match=b choose=1"}
        << QStringList{"rematch", ""} << QStringList{"picked(1) picked(2) picked", "kept kept picked"};
    QTest::newRow("CHARACTER SELECT picks both again")
        << QStringList{"start seed=4 p1=- p2=- match=a choose=1",
                       "rematch seed=21 p1=- p2=- match=b choose=1"}
        << QStringList{"select", ""}
        << QStringList{"picked(1) picked(2) picked", "picked(1) picked(2) picked"};
    QTest::newRow("keep=1: side 1 keeps, side 2 picks again")
        << QStringList{"start seed=4 p1=- p2=- match=a choose=1",
                       "rematch seed=21 p1=- p2=- match=b choose=1 keep=1" + series}
        << QStringList{"select", ""} << QStringList{"picked(1) picked(2) picked", "kept picked(2) picked"};
    QTest::newRow("keep=2 over a given character; side 1 given")
        << QStringList{"start seed=4 p1=kael p2=- match=a" + series,
                       "rematch seed=21 p1=mira p2=lin match=b keep=2" + series}
        << QStringList{"", ""} << QStringList{"kael picked(2) picked", "mira kept picked"};
    QTest::newRow("stage=keep keeps the stage")
        << QStringList{"start seed=4 p1=kael p2=ryo match=a choose=1",
                       "rematch seed=21 p1=kael p2=ryo match=b stage=keep choose=1",
                       "rematch seed=30 p1=dax p2=ryo match=c choose=1"}
        << QStringList{"rematch", "", ""}
        << QStringList{"kael ryo picked", "kael ryo kept", "dax ryo picked"};
    QTest::newRow("nothing to keep in the first match")
        << QStringList{"start seed=4 p1=- p2=- match=a keep=1 stage=keep"} << QStringList{""}
        << QStringList{"picked(1) picked(2) picked"};
}

void TestTestGame::charactersOfASeries()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, choices);
    QFETCH(QStringList, expect);
    MatchSetup setup;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString before[3] = {setup.char1, setup.char2, setup.stage};
        setup.take(parseCommandLine(lines.at(i)));
        const QString got[3] = {setup.char1, setup.char2, setup.stage};
        const QStringList want = expect.at(i).split(' ');
        for (int k = 0; k < 3; ++k) {
            QString expected = want.at(k);
            if (expected == "kept")
                expected = before[k];
            else if (expected.startsWith("picked"))
                expected = k == 2 ? pickStage(setup.seed) : pickCharacter(setup.seed, k + 1);
            QVERIFY2(!expected.isEmpty(), qPrintable(lines.at(i)));
            QVERIFY2(got[k] == expected, qPrintable(QStringLiteral("%1: item %2 is %3, not %4")
                                                        .arg(lines.at(i))
                                                        .arg(k + 1)
                                                        .arg(got[k], expected)));
        }
        // Named in the result whenever both are known.
        const QString result = resultStatus(setup);
        QCOMPARE(result.contains(QStringLiteral(" p1_char=%1 p2_char=%2 ").arg(got[0], got[1])),
                 got[0] != "-" && got[1] != "-");
        QVERIFY(setup.describe().startsWith(QStringLiteral("p1 %1 (").arg(got[0])));
        setup.choice = choices.at(i);
    }
}

void TestTestGame::picksSpreadOverTheRoster()
{
    QSet<QString> characters, stages;
    int differentSides = 0;
    for (quint64 seed = 0; seed < 64; ++seed) {
        characters << pickCharacter(seed, 1) << pickCharacter(seed, 2);
        stages << pickStage(seed);
        differentSides += pickCharacter(seed, 1) != pickCharacter(seed, 2);
        QCOMPARE(pickCharacter(seed, 1), pickCharacter(seed, 1));
    }
    QCOMPARE(characters.size(), 8);
    QCOMPARE(stages.size(), 6);
    QVERIFY(differentSides > 32);
}

void TestTestGame::scriptErrors_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("error"); // empty: parses
    QTest::newRow("good") << "# comment\n\nat 100 ask queue kind=ranked\nprint hi there\nat 5 exit 3\ncrash\n"
                          << "";
    QTest::newRow("damaged feed on demand") << "outcome feed-corrupt 5"
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
           "again, feed-corrupt, then a frame";
    QTest::newRow("outcome at no frame")
        << "outcome desync soon"
        << "s:1: \"outcome\" needs one of none, desync, disconnected, error, away, "
           "again, feed-corrupt, then a frame";
    QTest::newRow("exit without a code") << "exit soon"
                                         << "s:1: \"exit\" needs an exit code";
    QTest::newRow("result screen steps")
        << "draw on\nchoice select\nmenu 250\nmenu\nignore-park\nhonour-park\nchoice none\ndraw off\n"
        << "";
    QTest::newRow("unknown choice") << "choice fight"
                                    << "s:1: \"choice\" needs one of rematch, select, leave, none";
    QTest::newRow("choice missing") << "choice"
                                    << "s:1: \"choice\" needs a text";
    QTest::newRow("draw of neither") << "draw maybe"
                                     << "s:1: \"draw\" needs one of on, off";
    QTest::newRow("menu at no time") << "menu soon"
                                     << "s:1: \"menu\" takes a time in milliseconds";
    QTest::newRow("wait without a path") << "wait"
                                         << "s:1: \"wait\" needs a text";
    QTest::newRow("wait at no time") << "wait queue.state=found soon"
                                     << "s:1: \"wait\" needs PATH[=VALUE] and then a time in milliseconds";
    QTest::newRow("wait with a word too many")
        << "wait queue.state=found 100 200"
        << "s:1: \"wait\" needs PATH[=VALUE] and then a time in milliseconds";
    QTest::newRow("wait for a value without a path")
        << "wait =found"
        << "s:1: \"wait\" needs PATH[=VALUE] and then a time in milliseconds";
}

void TestTestGame::scriptErrors()
{
    QFETCH(QString, script);
    QFETCH(QString, error);
    QList<ScriptStep> steps;
    QString actual;
    QCOMPARE(parseScript(script, QStringLiteral("s"), steps, actual), error.isEmpty());
    QCOMPARE(actual, error);
    if (QTest::currentDataTag() == QLatin1String("result screen steps")) {
        QCOMPARE(steps.size(), 8);
        const QList<ScriptStep::Action> actions{
            ScriptStep::Draw,       ScriptStep::Choice,     ScriptStep::Menu,   ScriptStep::Menu,
            ScriptStep::IgnorePark, ScriptStep::HonourPark, ScriptStep::Choice, ScriptStep::Draw};
        for (qsizetype i = 0; i < steps.size(); ++i)
            QCOMPARE(steps.at(i).action, actions.at(i));
        QCOMPARE(steps.at(2).text, QStringLiteral("250"));
        QCOMPARE(steps.at(3).text, QString());
    } else if (QTest::currentDataTag() == QLatin1String("damaged feed on demand")) {
        QCOMPARE(steps.size(), 1);
        QCOMPARE(steps.at(0).action, ScriptStep::Outcome);
        QCOMPARE(steps.at(0).text, QStringLiteral("feed-corrupt 5"));
    } else if (error.isEmpty()) {
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
    QTest::newRow("unknown choice") << QStringList{"--choice", "fight"}
                                    << "orx-testgame: --choice needs one of rematch, select, leave";
    QTest::newRow("a list with an unknown choice")
        << QStringList{"--choice", "rematch,fight"}
        << "orx-testgame: --choice needs one of rematch, select, leave";
    QTest::newRow("a list with an empty entry")
        << QStringList{"--choice", "rematch,"}
        << "orx-testgame: --choice needs one of rematch, select, leave";
    QTest::newRow("menu time out of range")
        << QStringList{"--menu-after", "-5"} << "orx-testgame: --menu-after needs a number from 0 to 600000";
    QTest::newRow("negative choice time")
        << QStringList{"--choice-ms", "-1"} << "orx-testgame: --choice-ms needs a number of 0 or more";
    QTest::newRow("unknown outcome")
        << QStringList{"--outcome", "dance"}
        << "orx-testgame: --outcome needs one of desync, disconnected, error, away, again, feed-corrupt";
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

// "--prepare" beside a copy of the game: built.txt names the executable's size and its file time in
// 100 ns steps since 1601; a failed or cut-short preparation leaves none.
void TestTestGame::preparedMark()
{
    const QDir dir(m_dir->path());
    QVERIFY(dir.mkpath("game"));
    const QString exe = dir.filePath("game/orx.exe");
    QVERIFY(QFile::copy(testGame(), exe));
    const QString built = dir.filePath("game/compiler/work/orx/built.txt");
    auto run = [&](const QStringList &args, bool closeEarly) {
        QProcess game;
        setUpSession(game, false);
        game.setProgram(exe);
        game.setArguments(QStringList{"--prepare"} + args);
        game.start();
        if (closeEarly) {
            QDeadlineTimer deadline(30000);
            QByteArray out;
            while (!out.contains("prepare: 0%") && !deadline.hasExpired() && game.waitForReadyRead(1000))
                out += game.readAllStandardOutput();
            game.terminate();
        }
        return game.waitForFinished(30000) ? game.exitCode() : -100;
    };
    QCOMPARE(run({"--prepare-ms", "100"}, false), 0);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(exe).constData(), &st), 0);
    const quint64 fileTime =
        (quint64(st.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL + quint64(st.st_mtim.tv_nsec) / 100;
    QCOMPARE(readFile(built), QStringLiteral("%1 %2\n").arg(st.st_size).arg(fileTime).toUtf8());

    QVERIFY(QFile::remove(built));
    QCOMPARE(run({"--prepare-ms", "100", "--prepare-fail", "4"}, false), 4);
    QVERIFY(!QFile::exists(built));
    QCOMPARE(run({"--prepare-ms", "60000"}, true), 1);
    QVERIFY(!QFile::exists(built));
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

void TestTestGame::waitStepsOrderTheScript()
{
    QList<ScriptStep> steps;
    QString error;
    QVERIFY(parseScript("at 300 log b\nat 100 log a\nwait lobbies.list.0.code\nat 50 log d\nlog c\n"
                        "wait queue.state=found 2500\nat 10 log e\n",
                        "s", steps, error));
    orderSteps(steps);
    QStringList order;
    for (const ScriptStep &step : steps)
        order << (step.action == ScriptStep::Wait ? "wait " + step.text : step.text);
    QCOMPARE(order, QStringList({"a", "b", "wait lobbies.list.0.code", "c", "d",
                                 "wait queue.state=found 2500", "e"}));
    QCOMPARE(waitSpec(steps.at(2)).condition, QStringLiteral("lobbies.list.0.code"));
    QCOMPARE(waitSpec(steps.at(2)).ms, 60000);
    QCOMPARE(waitSpec(steps.at(5)).condition, QStringLiteral("queue.state=found"));
    QCOMPARE(waitSpec(steps.at(5)).ms, 2500);
}

void TestTestGame::menuPaths_data()
{
    QTest::addColumn<QString>("condition");
    QTest::addColumn<bool>("holds");
    QTest::newRow("a text") << "queue.state=found" << true;
    QTest::newRow("another text") << "queue.state=idle" << false;
    QTest::newRow("a number") << "message.id=3" << true;
    QTest::newRow("a boolean") << "lobbies.list.0.koth=true" << true;
    QTest::newRow("null") << "lobby=null" << true;
    QTest::newRow("present") << "lobbies.list.0.code" << true;
    QTest::newRow("past the end of a list") << "lobbies.list.1.code" << false;
    QTest::newRow("not an index") << "lobbies.list.x.code" << false;
    QTest::newRow("an empty text is not there") << "queue.text" << false;
    QTest::newRow("false is not there") << "lobbies.list.0.locked" << false;
    QTest::newRow("null is not there") << "lobby" << false;
    QTest::newRow("zero is there") << "queue.secs" << true;
    QTest::newRow("empty text by value") << "queue.text=" << true;
    QTest::newRow("missing key") << "queue.nothing=" << false;
}

void TestTestGame::menuPaths()
{
    QFETCH(QString, condition);
    QFETCH(bool, holds);
    const QJsonObject doc =
        QJsonDocument::fromJson(
            R"j({"queue":{"state":"found","secs":0,"text":""},"message":{"id":3},"lobby":null,)j"
            R"j("lobbies":{"list":[{"code":"ABCDE","koth":true,"locked":false}]}})j")
            .object();
    QCOMPARE(waitHolds(doc, condition), holds);
}

void TestTestGame::menuFollowsTheDocument()
{
    const QDir dir(m_dir->path());
    writeFile(dir.filePath("other-launcher.txt"), "QX7K2\nsecond line\n");
    // The request fields come from the document and from a file; the at after a wait counts from
    // the moment it held.
    writeFile(dir.filePath("script.txt"),
              QString("wait lobbies.list.0.code 20000\nat 10 ask lobby_join code={lobbies.list.0.code} "
                      "mine={@%1} n={message.id} missing={queue.nothing}\n"
                      "wait message.id=2 20000\nlog all seen\n")
                  .arg(dir.filePath("other-launcher.txt"))
                  .toUtf8());
    const auto ui = [&](const QByteArray &json) {
        writeFile(dir.filePath("ui.tmp"), json + "\n");
        // Replaced in one step, as the launcher does.
        QCOMPARE(std::rename(qPrintable(dir.filePath("ui.tmp")), qPrintable(dir.filePath("ui.json"))), 0);
    };
    QProcess game;
    setUpSession(game, true);
    QProcessEnvironment env = game.processEnvironment();
    env.insert("ORX_TESTGAME_SCRIPT", dir.filePath("script.txt"));
    game.setProcessEnvironment(env);
    game.start();
    QVERIFY(game.waitForStarted(30000));
    QByteArray out;
    const auto printed = [&game, &out](const QByteArray &text) {
        out += game.readAllStandardOutput();
        return out.contains(text);
    };
    ui(R"j({"t":1,"message":{"id":1,"kind":"info","text":"Hello."},"lobbies":{"list":[]}})j");
    QTRY_VERIFY_WITH_TIMEOUT(printed("menu: message 1 info Hello."), 20000);
    // Only "t" changed: shown once, recorded once.
    ui(R"j({"t":2,"message":{"id":1,"kind":"info","text":"Hello."},"lobbies":{"list":[]}})j");
    ui("{not json");
    QTRY_VERIFY_WITH_TIMEOUT(printed("menu: ui.json does not parse"), 20000);
    QVERIFY(!QFile::exists(dir.filePath("ask.txt")));
    ui(R"j({"t":3,"message":{"id":1,"kind":"info","text":"Hello."},"lobbies":{"list":[{"code":"ABCDE"}]}})j");
    QTRY_COMPARE_WITH_TIMEOUT(readFile(dir.filePath("ask.txt")),
                              QByteArray("lobby_join code=ABCDE mine=QX7K2 n=1 missing=\n"), 20000);
    ui(R"j({"t":4,"message":{"id":0,"kind":"info","text":""},"lobbies":{"list":[]}})j");
    QTRY_VERIFY_WITH_TIMEOUT(printed("menu: message id went back from 1 to 0"), 20000);
    ui(R"j({"t":5,"message":{"id":2,"kind":"error","text":"No such lobby."},"lobbies":{"list":[]}})j");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(dir.filePath("game.log")).contains("all seen"), 20000);
    const QByteArray log = readFile(dir.filePath("game.log"));
    QCOMPARE(log.count("menu: message 1 info Hello."), 1);
    QVERIFY(log.contains("menu: message 2 error No such lobby."));
    QVERIFY(log.contains("menu: lobbies.list.0.code holds"));
    const QList<QByteArray> recorded = readFile(dir.filePath("testgame-ui.jsonl")).split('\n');
    QCOMPARE(recorded.size(), 5); // t 1, 3, 4, 5 and the end of the last line
    QCOMPARE(QJsonDocument::fromJson(recorded.at(1)).object().value("t").toInt(), 3);
    writeFile(dir.filePath("cmd.txt"), "quit\n");
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitCode(), 0);
}

void TestTestGame::waitGivesUp()
{
    const QDir dir(m_dir->path());
    writeFile(dir.filePath("script.txt"), "wait queue.state=found 300\nlog never\n");
    QProcess game;
    setUpSession(game, true);
    QProcessEnvironment env = game.processEnvironment();
    env.insert("ORX_TESTGAME_SCRIPT", dir.filePath("script.txt"));
    game.setProcessEnvironment(env);
    game.start();
    QVERIFY(game.waitForFinished(30000));
    QCOMPARE(game.exitCode(), 3);
    QVERIFY(
        game.readAllStandardOutput().contains("menu: gave up waiting for queue.state=found after 300 ms"));
    const QByteArray log = readFile(dir.filePath("game.log"));
    QVERIFY(log.contains("menu: gave up waiting for queue.state=found after 300 ms"));
    QVERIFY(!log.contains("never"));
}

QTEST_GUILESS_MAIN(TestTestGame)
#include "test_testgame.moc"
