// The compile step with real /bin/sh scripts, and the whole road from the demo release to a game
// that starts: make-demo, check, extract, place, compile with the shipped script, GameProcess.

#include "buildtestkit.h"

#include "build/buildsummary.h"
#include "core/cfg.h"
#include "game/gameprocess.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>

namespace {

const QString orx = QStringLiteral("orx");

// The game folder as a finished build step leaves it: disc and update in place.
void placeFiles(const BuildTestEnv &env)
{
    const BuildFolders folders = env.folders();
    writeFile(QDir(folders.disc).filePath("default.xex"), "xex");
    writeFile(QDir(folders.disc).filePath("default.xexp"), demoXexp());
    writeFile(QDir(folders.update).filePath("patch.cpk"), demoPatch());
}

QString scriptPath(const BuildTestEnv &env)
{
    return QDir(env.gameFolder()).filePath("build-game.sh");
}

bool waitIdle(PipelineRecorder &recorder)
{
    return QTest::qWaitFor([&] { return recorder.idle(); }, deadline(60000));
}

bool processGone(qint64 pid)
{
    if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
        return true;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat.at(close + 2) == 'Z';
}

} // namespace

class TestBuildCompile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { demoGame(); }
    void scriptEnds_data();
    void scriptEnds();
    void outputWaitsForLineFeed();
    void scriptEnvironment();
    void cancelKillsScript();
    void noScript();
    void wrongUpdateIsNotCompiled();
    void scriptNamedInSettings();
    void summaryOfAFolder();
    void demoReleaseToRunningGame();
    void demoGameScript();
};

void TestBuildCompile::scriptEnds_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("built");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("shown"); // script lines, then the verdict

    const QString stopped = QStringLiteral("Compiling stopped (exit code %1): the lines above say why.");
    QTest::newRow("success") << QByteArray("echo compiling 3 units\necho '  linking  '\ncp /bin/true "
                                           "\"$ORX_GAME_EXE\"\n")
                             << true << 0
                             << QStringList{"compiling 3 units", "linking",
                                            "The game is built: Single player, or search for a match."};
    QTest::newRow("fails") << QByteArray("echo 'error: no compiler' >&2\nexit 3\n") << false << 3
                           << QStringList{"error: no compiler", stopped.arg(3)};
    QTest::newRow("exit 0 without executable")
        << QByteArray("echo done\nexit 0\n") << false << 0 << QStringList{"done", stopped.arg(0)};
    QTest::newRow("blank lines and carriage returns")
        << QByteArray("printf 'one\\r\\n\\n   \\ntwo\\n'\ncp /bin/true \"$ORX_GAME_EXE\"\n") << true << 0
        << QStringList{"one", "two", "The game is built: Single player, or search for a match."};
    QTest::newRow("last line without line feed")
        << QByteArray("printf 'first\\nfatal: out of memory'\nexit 1\n") << false << 1
        << QStringList{"first", "fatal: out of memory", stopped.arg(1)};
}

void TestBuildCompile::scriptEnds()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, built);
    QFETCH(int, exitCode);
    QFETCH(QStringList, shown);
    BuildTestEnv env;
    placeFiles(env);
    writeScript(scriptPath(env), body);
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.compileGame());
    QCOMPARE(pipeline.busy(), BuildPipeline::Compiling);
    QVERIFY(waitIdle(recorder));
    QCOMPARE(recorder.compiled, QList<bool>{built});
    QCOMPARE(recorder.lines.first(),
             QStringLiteral("Compiling the game's code: %1").arg(QDir::toNativeSeparators(scriptPath(env))));
    QCOMPARE(recorder.lines.mid(1), shown);
    const QStringList log = launcherLogLines();
    QVERIFY(log.at(log.size() - 2)
                .endsWith(
                    QStringLiteral(" build orx: running %1").arg(QDir::toNativeSeparators(scriptPath(env)))));
    QVERIFY(
        log.last().endsWith(QStringLiteral(" build orx: build script exited with code %1").arg(exitCode)));
    QCOMPARE(recorder.busyChanges, QList<bool>({true, false}));
}

void TestBuildCompile::outputWaitsForLineFeed()
{
    BuildTestEnv env;
    placeFiles(env);
    const QString marker = env.path("marker");
    const QString go = env.path("go");
    writeScript(scriptPath(env), QStringLiteral("printf 'first\\npartial'\ntouch '%1'\n"
                                                "while [ ! -f '%2' ]; do sleep 0.05; done\n"
                                                "printf ' line\\n'\ncp /bin/true \"$ORX_GAME_EXE\"\n")
                                     .arg(marker, go)
                                     .toUtf8());
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.compileGame());
    // "first" and "partial" came in one write: once "first" is shown, "partial" has been read.
    QTRY_VERIFY_WITH_TIMEOUT(recorder.lines.contains("first"), deadline(20000));
    QVERIFY(QFileInfo::exists(marker) ||
            QTest::qWaitFor([&] { return QFileInfo::exists(marker); }, deadline(20000)));
    QCOMPARE(recorder.lines.last(), QStringLiteral("first"));
    writeFile(go, "");
    QVERIFY(waitIdle(recorder));
    QCOMPARE(
        recorder.lines.mid(recorder.lines.indexOf("first")),
        QStringList({"first", "partial line", "The game is built: Single player, or search for a match."}));
}

void TestBuildCompile::scriptEnvironment()
{
    BuildTestEnv env;
    placeFiles(env);
    cfg::set(cfg::gameKey(cfg::keys::gameBuildArgs, orx), "--jobs 2 \"two words\" ;rm");
    writeScript(scriptPath(env),
                "echo \"dir=$PWD\"\necho \"disc=$ORX_GAME_DIR\"\necho \"update=$ORX_UPDATE_DIR\"\n"
                "echo \"exe=$ORX_GAME_EXE\"\nfor a in \"$@\"; do echo \"arg=$a\"; done\n");
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.compileGame());
    QVERIFY(waitIdle(recorder));
    const BuildFolders folders = env.folders();
    const QStringList expected{"dir=" + env.gameFolder(),
                               "disc=" + folders.disc,
                               "update=" + folders.update,
                               "exe=" + QDir(env.gameFolder()).filePath("orx.exe"),
                               "arg=--jobs",
                               "arg=2",
                               "arg=two words",
                               "arg=;rm"};
    QCOMPARE(recorder.lines.mid(1, expected.size()), expected);
}

void TestBuildCompile::cancelKillsScript()
{
    BuildTestEnv env;
    placeFiles(env);
    const QString pidFile = env.path("child.pid");
    // The script starts a child of its own, as a compiler would.
    writeScript(scriptPath(env), QStringLiteral("sleep 300 &\necho $! > '%1'\necho started\nwait\n"
                                                "cp /bin/true \"$ORX_GAME_EXE\"\n")
                                     .arg(pidFile)
                                     .toUtf8());
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.compileGame());
    QTRY_VERIFY_WITH_TIMEOUT(recorder.lines.contains("started"), deadline(20000));
    const qint64 child = readFile(pidFile).trimmed().toLongLong();
    QVERIFY(child > 0);
    pipeline.cancel();
    QVERIFY(waitIdle(recorder));
    QCOMPARE(recorder.lines.last(), QStringLiteral("Cancelled."));
    QCOMPARE(recorder.compiled, QList<bool>{false});
    QTRY_VERIFY_WITH_TIMEOUT(processGone(child), deadline(10000));
    QVERIFY(!QFileInfo::exists(QDir(env.gameFolder()).filePath("orx.exe")));
}

void TestBuildCompile::noScript()
{
    BuildTestEnv env;
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QSignalSpy summary(&pipeline, &BuildPipeline::summaryChanged);
    QVERIFY(!pipeline.compileGame());
    const QString script = QDir::toNativeSeparators(scriptPath(env));
    QCOMPARE(
        recorder.lines,
        QStringList{QStringLiteral("The step that compiles the game's code for this PC is not ready yet (no "
                                   "%1): the disc and the update are in place for it.")
                        .arg(script)});
    QVERIFY(launcherLogLines().last().endsWith(QStringLiteral(" build orx: no build script %1").arg(script)));
    QCOMPARE(summary.size(), 1);

    // With a script but no extracted disc: a warning, and the script still runs.
    writeScript(scriptPath(env), "exit 0\n");
    QVERIFY(pipeline.compileGame());
    QVERIFY(waitIdle(recorder));
    QVERIFY(recorder.lines.contains(
        QStringLiteral("Warning: the disc is not extracted yet (no default.xex in %1).")
            .arg(QDir::toNativeSeparators(env.folders().disc))));
}

void TestBuildCompile::wrongUpdateIsNotCompiled()
{
    BuildTestEnv env;
    placeFiles(env);
    writeFile(QDir(env.folders().disc).filePath("default.xexp"), "not the patch");
    writeScript(scriptPath(env), "cp /bin/true \"$ORX_GAME_EXE\"\n");
    BuildPipeline pipeline(orx);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(!pipeline.compileGame());
    QCOMPARE(recorder.updateNeeded.size(), 1);
    QVERIFY(recorder.updateNeeded.first().startsWith("The title update on this PC is not title update 3"));
    QCOMPARE(BuildPipeline::titleUpdateReason(orx), recorder.updateNeeded.first());
    QCOMPARE(recorder.lines,
             QStringList({recorder.updateNeeded.first(),
                          "Open Build game, choose title update 3 in step 2, then press CHECK AND BUILD."}));
    QVERIFY(launcherLogLines().last().contains(" build orx: not compiled: The title update on this PC is"));
    QVERIFY(!QFileInfo::exists(QDir(env.gameFolder()).filePath("orx.exe")));
}

void TestBuildCompile::scriptNamedInSettings()
{
    BuildTestEnv env;
    placeFiles(env);
    BuildPipeline pipeline(orx);
    QCOMPARE(pipeline.buildScript(), scriptPath(env));
    const QString own =
        writeScript(env.path("tools/my build.sh"), "echo \"in $PWD\"\ncp /bin/true \"$ORX_GAME_EXE\"\n");
    cfg::set(cfg::gameKey(cfg::keys::gameBuildScript, orx), own);
    QCOMPARE(pipeline.buildScript(), own);
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.compileGame());
    QVERIFY(waitIdle(recorder));
    QCOMPARE(recorder.compiled, QList<bool>{true});
    QVERIFY(recorder.lines.contains("in " + env.path("tools")));
}

void TestBuildCompile::summaryOfAFolder()
{
    BuildTestEnv env;
    const QString folder = QDir::toNativeSeparators(env.gameFolder());
    const QString disc = QDir::toNativeSeparators(env.folders().disc);
    const QString exe = QDir::toNativeSeparators(QDir(env.gameFolder()).filePath("orx.exe"));
    BuildSummary summary = buildSummary(orx);
    QCOMPARE(summary.title, QStringLiteral("Ironmere IV"));
    QCOMPARE(summary.gameInfo, "Ironmere IV (Xbox 360, World), title ID 5D3A0F21\nGame folder: " + folder);
    QCOMPARE(summary.disc, "Disc: not extracted yet (" + disc + ")");
    QCOMPARE(summary.titleUpdate, QStringLiteral("Title update: not in place yet (TU_ORX_0003O2)"));
    QVERIFY(summary.alert.isEmpty());
    QCOMPARE(summary.dlc, QStringLiteral("Downloadable content: none"));
    QCOMPARE(summary.game, "Game: " + exe + " (not built yet)");
    QVERIFY(!summary.gameBuilt);

    // A wrong update in place: the alert names it and what to choose.
    placeFiles(env);
    writeFile(QDir(env.folders().disc).filePath("default.xexp"), "not the patch");
    QVERIFY(QDir().mkpath(QDir(env.folders().dlc).filePath("B_pack")));
    QVERIFY(QDir().mkpath(QDir(env.folders().dlc).filePath("a_pack")));
    writeFile(QDir(env.folders().dlc).filePath("a_pack.header"), "h");
    summary = buildSummary(orx);
    QCOMPARE(summary.disc, "Disc: extracted in " + disc);
    QCOMPARE(summary.titleUpdate, QStringLiteral("Title update: not title update 3 (choose it in step 2)"));
    QCOMPARE(summary.alert,
             QStringLiteral("The title update on this PC is not title update 3: its files are not the "
                            "ones title update 3 has (a changed or damaged copy). Orvex Rovivi now "
                            "needs title update 3: in step 2, choose the file TU_ORX_0003O2 (it ends "
                            "in the capital letter O and the number 2), then press CHECK AND BUILD."));
    QCOMPARE(summary.dlc, QStringLiteral("Downloadable content: 2 package(s)"));
    QCOMPARE(summary.dlcFolders, QStringList({"a_pack", "B_pack"}));

    writeFile(QDir(env.folders().disc).filePath("default.xexp"), demoXexp());
    QCOMPARE(buildSummary(orx).titleUpdate, QStringLiteral("Title update: title update 3 in place"));
    QVERIFY(buildSummary(orx).alert.isEmpty());
    QVERIFY(buildSummary("nosuchgame").title.isEmpty());
}

void TestBuildCompile::demoReleaseToRunningGame()
{
    BuildTestEnv env;
    QVERIFY(QDir().mkpath(env.gameFolder()));
    QVERIFY(QFile::copy(
        QDir(qEnvironmentVariable("ORX_SOURCE_DIR")).filePath("resources/demo-game/build-game.sh"),
        scriptPath(env)));
    writeFile(QDir(env.gameFolder()).filePath("project/VERSION"), "demo-7\n");
    BuildPipeline pipeline(orx);
    pipeline.setFreeSpaceQuery([](const QString &) { return qint64(-1); });
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.startBuild({demoImage(), demoUpdate(), {demoDlc()}}));
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.compiled.isEmpty() && recorder.idle(), deadline(120000));
    QVERIFY2(recorder.compiled.first(), qPrintable(recorder.lines.join('\n')));
    QVERIFY(recorder.lines.contains("Disc and title update found; 1 downloadable content package(s)."));
    QCOMPARE(readFile(QDir(env.gameFolder()).filePath("built.txt")), QByteArray("demo-7\n"));
    QVERIFY(!BuildPipeline::builtByAnotherRelease(orx));
    QVERIFY(BuildPipeline::titleUpdateReason(orx).isEmpty());
    const BuildSummary summary = buildSummary(orx);
    QVERIFY(summary.gameBuilt);
    QCOMPARE(summary.dlcFolders, QStringList{"ORX_DLC_0013"});
    QCOMPARE(summary.titleUpdate, QStringLiteral("Title update: title update 3 in place"));

    GameProcess game(orx, 1);
    QString error;
    QVERIFY2(game.start(cfg::gameExe(orx), &error, true), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(20000));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));

    // A newer game project: the game was built by another release.
    writeFile(QDir(env.gameFolder()).filePath("project/VERSION"), "demo-8\n");
    QVERIFY(BuildPipeline::builtByAnotherRelease(orx));
}

void TestBuildCompile::demoGameScript()
{
    // The script run.sh calls: from nothing to a game the launcher starts from its default places.
    BuildTestEnv env;
    const QString folder = env.path("fresh game");
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start("bash", {QDir(qEnvironmentVariable("ORX_SOURCE_DIR")).filePath("scripts/demo-game.sh"),
                          qEnvironmentVariable("ORX_BIN_DIR"), folder});
    QVERIFY(script.waitForFinished(deadline(120000)));
    const QByteArray output = script.readAll();
    QVERIFY2(script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0, output.constData());
    QVERIFY(output.contains("The game is built: Single player, or search for a match."));

    cfg::set(cfg::gameKey(cfg::keys::gameFolder, orx), folder);
    cfg::remove(cfg::gameKey(cfg::keys::gameExe, orx));
    QCOMPARE(cfg::gameExe(orx), QDir(folder).filePath("orx.exe"));
    GameProcess game(orx, 1);
    QString error;
    QVERIFY2(game.start(cfg::gameExe(orx), &error, true), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(game.statusWord(), QStringLiteral("ready"), deadline(20000));
    game.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));

    // A second call finds the game built and does nothing.
    script.start("bash", {QDir(qEnvironmentVariable("ORX_SOURCE_DIR")).filePath("scripts/demo-game.sh"),
                          qEnvironmentVariable("ORX_BIN_DIR"), folder});
    QVERIFY(script.waitForFinished(deadline(60000)));
    QVERIFY(script.readAll().contains("is built already"));
}

int runBuildCompileTests(int argc, char **argv)
{
    TestBuildCompile tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_buildcompile.moc"
