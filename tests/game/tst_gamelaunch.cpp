// Game launch against real processes: session folders, the environment, ".py" games, failed
// starts, and the game ending with the launcher.

#include "core/cfg.h"
#include "game/gameenv.h"
#include "game/gameprocess.h"
#include "game/sessionfolders.h"
#include "gametestkit.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <chrono>
#include <filesystem>
#include <memory>

namespace {

QString folderName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Variables the test sets in its own (the launcher's) environment for one case.
class ScopedEnv {
public:
    void set(const char *name, const QByteArray &value)
    {
        m_names << name;
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        for (const char *name : std::as_const(m_names))
            qunsetenv(name);
    }

private:
    QList<const char *> m_names;
};

} // namespace

class TestGameLaunch : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void twoStartsInTheSameSecond();
    void prunesToTheThirtyNewest();
    void environment_data();
    void environment();
    void variablesInOrder();
    void pythonGameRunsThroughPython();
    void startWhileRunningAndAgainAfterTheEnd();
    void failedStart_data();
    void failedStart();
    void offlineGameStatusIsNeverRead();
    void destroyingTheObjectEndsTheGame();
    void launcherKilledTakesTheGameAlong();

private:
    std::unique_ptr<GameTestEnv> m_env;
    QString m_gameFolder;
};

void TestGameLaunch::init()
{
    m_env = std::make_unique<GameTestEnv>();
    QVERIFY(m_env->isValid());
    m_gameFolder = QDir(m_env->root()).filePath(QStringLiteral("gamefolder"));
    cfg::set(cfg::gameKey(cfg::keys::gameFolder, QStringLiteral("orx")), m_gameFolder);
    QVERIFY(QFileInfo(testGamePath()).isExecutable());
}

void TestGameLaunch::cleanup()
{
    setSessionClockForTesting(nullptr);
    m_env.reset();
}

void TestGameLaunch::twoStartsInTheSameSecond()
{
    setSessionClockForTesting([] { return QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)); });
    GameProcess first(QStringLiteral("orx"), 1);
    GameProcess second(QStringLiteral("orx"), 1);
    GameProcess other(QStringLiteral("orx"), 2);
    QString error;
    QVERIFY2(first.start(testGamePath(), &error, true), qPrintable(error));
    QVERIFY2(second.start(testGamePath(), &error, true), qPrintable(error));
    QVERIFY2(other.start(testGamePath(), &error, true), qPrintable(error));
    QCOMPARE(folderName(first.sessionDir()), QStringLiteral("orx-20260102-030405-1"));
    QCOMPARE(folderName(second.sessionDir()), QStringLiteral("orx-20260102-030405-1-2"));
    QCOMPARE(folderName(other.sessionDir()), QStringLiteral("orx-20260102-030405-2"));
    QCOMPARE(QFileInfo(first.sessionDir()).absolutePath(), QDir(cfg::sessionsDir()).absolutePath());
    // Each game got its own folder.
    QTRY_COMPARE_WITH_TIMEOUT(
        envRecord(second.sessionDir()).value("env").toObject().value("ORX_SESSION_DIR").toString(),
        native(second.sessionDir()), deadline(10000));
    first.stop();
    second.stop();
    other.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!first.isRunning() && !second.isRunning() && !other.isRunning(),
                             deadline(10000));

    // A third start in that second takes the next number.
    GameProcess third(QStringLiteral("orx"), 1);
    QVERIFY(third.start(testGamePath(), &error, true));
    QCOMPARE(folderName(third.sessionDir()), QStringLiteral("orx-20260102-030405-1-3"));
    third.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!third.isRunning(), deadline(10000));
}

void TestGameLaunch::prunesToTheThirtyNewest()
{
    const QDir sessions(cfg::sessionsDir());
    const auto now = std::filesystem::file_time_type::clock::now();
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("old-%1").arg(i, 2, 10, QLatin1Char('0'));
        QVERIFY(sessions.mkpath(name + QStringLiteral("/captures")));
        writeFile(sessions.filePath(name + QStringLiteral("/game.log")), "x\n");
        // old-00 is the newest, old-39 the oldest.
        std::filesystem::last_write_time(QFile::encodeName(sessions.filePath(name)).toStdString(),
                                         now - std::chrono::hours(i + 1));
    }
    GameProcess game(QStringLiteral("orx"), 1);
    QString error;
    QVERIFY2(game.start(testGamePath(), &error, false), qPrintable(error));
    QStringList left = sessions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(left.size(), 31);
    QVERIFY(left.removeOne(folderName(game.sessionDir())));
    for (int i = 0; i < 30; ++i)
        QVERIFY2(left.contains(QStringLiteral("old-%1").arg(i, 2, 10, QLatin1Char('0'))),
                 qPrintable(left.join(' ')));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameLaunch::environment_data()
{
    QTest::addColumn<bool>("online");
    QTest::addColumn<bool>("menuGame");
    QTest::addColumn<bool>("launcherHasOwn"); // ORX_NET_LOG, ORX_CREATION_SAVE and ORX_VSYNC set already
    QTest::newRow("online, menu game") << true << true << false;
    QTest::newRow("online, second game") << true << false << false;
    QTest::newRow("online, launcher's own variables") << true << false << true;
    QTest::newRow("offline") << false << false << false;
    QTest::newRow("offline, launcher's own variables") << false << false << true;
}

void TestGameLaunch::environment()
{
    QFETCH(bool, online);
    QFETCH(bool, menuGame);
    QFETCH(bool, launcherHasOwn);

    cfg::set(QStringLiteral("display/mode"), QStringLiteral("windowed"));
    cfg::set(QStringLiteral("display/resolution"), QStringLiteral("1280x720"));
    cfg::set(QStringLiteral("display/render_scale"), 2);
    cfg::set(QStringLiteral("display/anti_aliasing"), QStringLiteral("fxaa"));
    cfg::set(QStringLiteral("display/anisotropic"), 8);
    cfg::set(QStringLiteral("display/vsync"), false);
    cfg::set(QStringLiteral("display/adaptive_sync"), true);
    cfg::set(QStringLiteral("display/brightness"), 120);
    cfg::set(QStringLiteral("display/frame_data"), false);
    cfg::set(QStringLiteral("display/preferred_side"), QStringLiteral("left"));
    const QString save = QDir(cfg::gameUserDir(QStringLiteral("orx")))
                             .filePath(QStringLiteral("E0000ABC/5D3A0F21/00000001/ORXSaveData/savedata.bin"));
    writeFile(save, "save");
    QFile::remove(cfg::displayFilePath());

    ScopedEnv own;
    if (launcherHasOwn) {
        own.set("ORX_NET_LOG", "/somewhere/own-net.log");
        own.set("ORX_CREATION_SAVE", "/somewhere/own.sav");
        own.set("ORX_VSYNC", "7");
    }

    GameProcess game(QStringLiteral("orx"), 2);
    game.setMenuGame(menuGame);
    game.setArguments({QStringLiteral("--boot-ms"), QStringLiteral("50")});
    QString error;
    QVERIFY2(game.start(testGamePath(), &error, online), qPrintable(error));
    QVERIFY(game.isRunning());
    QVERIFY(game.processId() > 0);
    QCOMPARE(game.isMenuGame(), menuGame);
    const QString session = game.sessionDir();
    QTRY_VERIFY_WITH_TIMEOUT(!envRecord(session).isEmpty(), deadline(10000));
    const QJsonObject record = envRecord(session);
    const QJsonObject env = record.value("env").toObject();
    const auto value = [&env](const char *name) { return env.value(QLatin1String(name)).toString(); };
    const auto has = [&env](const char *name) { return env.contains(QLatin1String(name)); };

    QCOMPARE(record.value("args").toArray(), QJsonArray({"--boot-ms", "50"}));
    QCOMPARE(record.value("cwd").toString(), QFileInfo(testGamePath()).absolutePath());
    QCOMPARE(qint64(record.value("pid").toInteger()), game.processId());

    // Online only.
    QCOMPARE(has("ORX_NET"), online);
    QCOMPARE(has("ORX_CMD"), online);
    QCOMPARE(has("ORX_STATUS"), online);
    QCOMPARE(has("ORX_MENUS"), online && menuGame);
    if (online) {
        QCOMPARE(value("ORX_NET"), QStringLiteral("1"));
        QCOMPARE(value("ORX_CMD"), native(QDir(session).filePath("cmd.txt")));
        QCOMPARE(value("ORX_STATUS"), native(QDir(session).filePath("status.txt")));
    }
    if (menuGame)
        QCOMPARE(value("ORX_MENUS"), QStringLiteral("1"));
    // The netplay log and the creation save pass through when the launcher has its own.
    if (launcherHasOwn) {
        QCOMPARE(value("ORX_NET_LOG"), QStringLiteral("/somewhere/own-net.log"));
        QCOMPARE(value("ORX_CREATION_SAVE"), QStringLiteral("/somewhere/own.sav"));
    } else {
        QCOMPARE(has("ORX_NET_LOG"), online);
        if (online)
            QCOMPARE(value("ORX_NET_LOG"), native(QDir(session).filePath("net-{match}.log")));
        QCOMPARE(has("ORX_CREATION_SAVE"), online && !menuGame);
        if (online && !menuGame)
            QCOMPARE(value("ORX_CREATION_SAVE"), native(QFileInfo(save).absoluteFilePath()));
    }

    // Always.
    QCOMPARE(value("ORX_GAME"), QStringLiteral("orx"));
    QCOMPARE(value("ORX_SESSION_DIR"), native(session));
    QCOMPARE(value("ORX_INSTANCE"), QStringLiteral("2"));
    QCOMPARE(value("ORX_LOG"), native(QDir(session).filePath("game.log")));
    QCOMPARE(value("ORX_GAME_DIR"), native(QDir(m_gameFolder).filePath("disc")));
    QCOMPARE(value("ORX_UPDATE_DIR"), native(QDir(m_gameFolder).filePath("update")));
    QCOMPARE(value("ORX_DLC_DIR"), native(QDir(m_gameFolder).filePath("dlc")));
    QCOMPARE(value("ORX_CACHE_DIR"), native(QDir(m_gameFolder).filePath("cache")));
    const QString userDir =
        online && !menuGame ? QDir(session).filePath("user") : QDir(m_gameFolder).filePath("user");
    QCOMPARE(value("ORX_USER_DIR"), native(userDir));
    QVERIFY(QFileInfo(userDir).isDir());
    QCOMPARE(value("ORX_CAPTURE_DIR"), native(QDir(session).filePath("captures")));
    QCOMPARE(value("ORX_DISPLAY"), QStringLiteral("windowed"));
    QCOMPARE(value("ORX_RESOLUTION"), QStringLiteral("1280x720"));
    QCOMPARE(value("ORX_RENDER_SCALE"), QStringLiteral("2"));
    QCOMPARE(value("ORX_ANTI_ALIASING"), QStringLiteral("fxaa"));
    QCOMPARE(value("ORX_ANISOTROPIC"), QString::number(cfg::anisotropic()));
    QCOMPARE(value("ORX_VSYNC"), QStringLiteral("0")); // the setting replaces the launcher's own
    QCOMPARE(value("ORX_ADAPTIVE_SYNC"), QStringLiteral("1"));
    QCOMPARE(value("ORX_BRIGHTNESS"), QStringLiteral("120"));
    QCOMPARE(value("ORX_FRAMEDATA"), QStringLiteral("0"));
    QCOMPARE(value("ORX_PREFERRED_SIDE"), QStringLiteral("left"));
    QCOMPARE(value("ORX_DISPLAY_FILE"), native(cfg::displayFilePath()));
    QCOMPARE(readFile(cfg::displayFilePath()), cfg::displayFileContents()); // written before the start
    QCOMPARE(value("ORX_CONTROLS"), native(QDir(cfg::dataDir()).filePath("controls.toml")));

    // The start line of the log names the command line, the process and the session.
    const QString started = QStringLiteral("game orx/2: started %1 --boot-ms 50 (pid %2), session %3")
                                .arg(native(testGamePath()))
                                .arg(game.processId())
                                .arg(native(session));
    QVERIFY2(logLines().filter(started).size() == 1, qPrintable(started));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameLaunch::variablesInOrder()
{
    const GameRun run{QStringLiteral("orx"), 1, QDir(cfg::sessionsDir()).filePath("s"), true, true};
    QStringList names;
    for (const auto &v : gameVariables(QProcessEnvironment(), run))
        names << v.first;
    const QStringList expected = {"ORX_NET",
                                  "ORX_CMD",
                                  "ORX_STATUS",
                                  "ORX_NET_LOG",
                                  "ORX_MENUS",
                                  "ORX_GAME",
                                  "ORX_SESSION_DIR",
                                  "ORX_INSTANCE",
                                  "ORX_LOG",
                                  "ORX_GAME_DIR",
                                  "ORX_UPDATE_DIR",
                                  "ORX_DLC_DIR",
                                  "ORX_USER_DIR",
                                  "ORX_CACHE_DIR",
                                  "ORX_CAPTURE_DIR",
                                  "ORX_DISPLAY",
                                  "ORX_RESOLUTION",
                                  "ORX_RENDER_SCALE",
                                  "ORX_ANTI_ALIASING",
                                  "ORX_ANISOTROPIC",
                                  "ORX_VSYNC",
                                  "ORX_ADAPTIVE_SYNC",
                                  "ORX_BRIGHTNESS",
                                  "ORX_FRAMEDATA",
                                  "ORX_PREFERRED_SIDE",
                                  "ORX_DISPLAY_FILE",
                                  "ORX_CONTROLS"};
    QCOMPARE(names, expected);
    // The netplay log's name follows the game id.
    const GameRun other{QStringLiteral("abc"), 1, QDir(cfg::sessionsDir()).filePath("t"), true, false};
    bool found = false;
    for (const auto &v : gameVariables(QProcessEnvironment(), other))
        found = found || v.first == QLatin1String("ABC_NET_LOG");
    QVERIFY(found);
}

void TestGameLaunch::pythonGameRunsThroughPython()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        QSKIP("python3 is not installed");
    cfg::set(QStringLiteral("tools/python"), python);
    const QString script =
        writeScript(QDir(m_env->root()).filePath("pygame/game.py"),
                    "import json, os, sys\n"
                    "record = {'argv': sys.argv, 'orig': getattr(sys, 'orig_argv', None),\n"
                    "          'cwd': os.getcwd(), 'game': os.environ.get('ORX_GAME'),\n"
                    "          'net': os.environ.get('ORX_NET'),\n"
                    "          'controls': os.environ.get('ORX_CONTROLS')}\n"
                    "open(os.path.join(os.environ['ORX_SESSION_DIR'], 'py.json'), 'w')"
                    ".write(json.dumps(record))\n"
                    "print('hello from python')\n");
    GameProcess game(QStringLiteral("orx"), 1);
    game.setArguments({QStringLiteral("--not-for-scripts")});
    QSignalSpy lines(&game, &GameProcess::outputLine);
    QSignalSpy exited(&game, &GameProcess::exited);
    QString error;
    QVERIFY2(game.start(script, &error, true), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(exited.size(), 1, deadline(20000));
    QStringList output;
    for (const auto &args : std::as_const(lines))
        output << args.at(0).toString();
    QVERIFY2(exited.at(0).at(0).toInt() == 0, qPrintable(output.join('\n')));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("hello from python"));
    const QJsonObject record =
        QJsonDocument::fromJson(readFile(QDir(game.sessionDir()).filePath("py.json"))).object();
    QCOMPARE(record.value("argv").toArray(), QJsonArray({QFileInfo(script).absoluteFilePath()}));
    // The interpreter's own command line (Python 3.10 and later): unbuffered output, then the script.
    if (record.value("orig").isArray()) {
        const QJsonArray orig = record.value("orig").toArray();
        QCOMPARE(orig.size(), 3);
        QCOMPARE(orig.at(1).toString(), QStringLiteral("-u"));
        QCOMPARE(orig.at(2).toString(), QFileInfo(script).absoluteFilePath());
    }
    QCOMPARE(record.value("cwd").toString(), QFileInfo(script).absolutePath());
    QCOMPARE(record.value("game").toString(), QStringLiteral("orx"));
    QCOMPARE(record.value("net").toString(), QStringLiteral("1"));
    QCOMPARE(record.value("controls").toString(), native(QDir(cfg::dataDir()).filePath("controls.toml")));
    QVERIFY(logLines()
                .filter(QStringLiteral("game orx/1: started %1 -u %2").arg(native(python), script))
                .size() == 1);
}

void TestGameLaunch::startWhileRunningAndAgainAfterTheEnd()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, true));
    const QString firstSession = game.sessionDir();
    const qint64 firstPid = game.processId();
    QCOMPARE(game.lastStatus(), QStringLiteral("starting"));
    // A second call while it runs changes nothing.
    QVERIFY(game.start(testGamePath(), &error, true));
    QCOMPARE(game.sessionDir(), firstSession);
    QCOMPARE(game.processId(), firstPid);
    QCOMPARE(QDir(cfg::sessionsDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    game.stop();
    QTRY_COMPARE_WITH_TIMEOUT(game.lastStatus(), QStringLiteral("exited"), deadline(10000));
    QCOMPARE(game.processId(), 0);

    // After the end it starts again in a fresh folder.
    QVERIFY(game.start(testGamePath(), &error, true));
    QVERIFY(game.sessionDir() != firstSession);
    QCOMPARE(game.lastStatus(), QStringLiteral("starting"));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(10000));
    QStringList seen;
    for (const auto &args : std::as_const(statuses))
        seen << args.at(0).toString();
    QCOMPARE(seen, QStringList({"starting", "booting", "ready", "exited", "starting", "booting", "ready"}));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
}

void TestGameLaunch::failedStart_data()
{
    QTest::addColumn<QByteArray>("smartAppControl");
    QTest::newRow("Smart App Control unknown") << QByteArray();
    QTest::newRow("Smart App Control off") << QByteArray("0");
    QTest::newRow("Smart App Control on") << QByteArray("1");
}

void TestGameLaunch::failedStart()
{
    QFETCH(QByteArray, smartAppControl);
    ScopedEnv env;
    if (!smartAppControl.isEmpty())
        env.set("ORX_SMART_APP_CONTROL", smartAppControl);
    // A file that is there but cannot be run.
    const QString path = QDir(m_env->root()).filePath("notagame");
    writeFile(path, "not a program\n");
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY(!game.start(path, &error, true));
    QVERIFY(!game.isRunning());
    QCOMPARE(game.processId(), 0);
    QCOMPARE(statuses.size(), 0);
    const QString prefix = QStringLiteral("Could not start %1: ").arg(native(path));
    QVERIFY2(error.startsWith(prefix), qPrintable(error));
    const QString sacText =
        QStringLiteral("\nWindows' Smart App Control blocked the game. It only runs programs");
    QCOMPARE(error.contains(sacText), smartAppControl == "1");
    const QString state =
        smartAppControl.isEmpty() ? QStringLiteral("-1") : QString::fromLatin1(smartAppControl);
    const QStringList logged =
        logLines().filter(QStringLiteral("game orx/1: could not start %1: ").arg(native(path)));
    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged.first().endsWith(QStringLiteral(" (Smart App Control %1)").arg(state)),
             qPrintable(logged.first()));
    // Without an error text wanted it still fails and logs.
    QVERIFY(!game.start(path, nullptr, true));
    QCOMPARE(logLines().filter(QStringLiteral("could not start")).size(), 2);
}

void TestGameLaunch::offlineGameStatusIsNeverRead()
{
    GameProcess game(QStringLiteral("orx"), 1);
    QSignalSpy statuses(&game, &GameProcess::statusChanged);
    QString error;
    QVERIFY(game.start(testGamePath(), &error, false));
    QVERIFY(!game.isOnline());
    QTRY_VERIFY_WITH_TIMEOUT(!envRecord(game.sessionDir()).isEmpty(), deadline(10000));
    writeFile(QDir(game.sessionDir()).filePath("status.txt"), "ready\n");
    game.pollStatus();
    QCOMPARE(game.lastStatus(), QStringLiteral("starting"));
    QCOMPARE(statuses.size(), 1);
    game.stop();
    QTRY_COMPARE_WITH_TIMEOUT(game.lastStatus(), QStringLiteral("exited"), deadline(10000));
    QCOMPARE(statuses.size(), 2);
}

void TestGameLaunch::destroyingTheObjectEndsTheGame()
{
    auto game = std::make_unique<GameProcess>(QStringLiteral("orx"), 1);
    QString error;
    QVERIFY(game->start(testGamePath(), &error, true));
    const qint64 pid = game->processId();
    QVERIFY(!processGone(pid));
    game.reset();
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), deadline(10000));
}

void TestGameLaunch::launcherKilledTakesTheGameAlong()
{
    // A game that never writes to its output, so nothing but the tie to the launcher can end it.
    const QString game = writeScript(QDir(m_env->root()).filePath("sleeper"), "#!/bin/sh\nexec sleep 600\n");
    QProcess holder;
    holder.setProgram(binPath(QStringLiteral("orx-game-holder")));
    holder.setArguments({QDir(m_env->root()).filePath("holder/orx-launcher.ini"), game});
    holder.start();
    QVERIFY(holder.waitForStarted(deadline(10000)));
    QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), deadline(20000));
    const QString line = QString::fromUtf8(holder.readLine()).trimmed();
    QVERIFY2(line.startsWith(QStringLiteral("pid ")), qPrintable(line));
    const qint64 pid = line.mid(4).toLongLong();
    QVERIFY(pid > 0);
    QVERIFY(!processGone(pid));
    holder.kill(); // SIGKILL: the launcher gets no chance to clean up
    QVERIFY(holder.waitForFinished(deadline(10000)));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), deadline(10000));
}

int runGameLaunchTests(int argc, char **argv)
{
    TestGameLaunch t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_gamelaunch.moc"
