// One controller in the test process with real stand-in games and real files: the local test, the
// controller's shutdown, code preparation and the hashing of the game files.

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "match/codeprep.h"
#include "match/gamefiles.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "tst_match.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

quint16 freePort()
{
    QUdpSocket s;
    s.bind(QHostAddress::LocalHost, 0);
    return s.localPort();
}

// A controller with its own settings; `extra` adds settings.
struct Runner {
    QTemporaryDir dir;
    std::unique_ptr<ServerClient> server;
    std::unique_ptr<MatchController> match;
    QStringList phases;
    QStringList logs;

    explicit Runner(const QString &exe, const QMap<QString, QVariant> &extra = {})
    {
        const QString config = dir.filePath("data/orx-launcher.ini");
        {
            QSettings s(config, QSettings::IniFormat);
            s.setValue("online/game_port", freePort());
            s.setValue("online/input_delay", "auto");
            s.setValue("dev/udp_loopback", true);
            s.setValue("dev/local_port1", freePort());
            s.setValue("dev/local_port2", freePort());
            s.setValue("games/orx/exe", exe);
            s.setValue("games/orx/folder", dir.filePath("game"));
            for (auto it = extra.begin(); it != extra.end(); ++it)
                s.setValue(it.key(), it.value());
        }
        cfg::resetForTesting();
        cfg::init(config);
        gamefiles::resetForTest();
        server = std::make_unique<ServerClient>();
        match = std::make_unique<MatchController>(server.get());
        QObject::connect(match.get(), &MatchController::phaseChanged,
                         [this](MatchController::Phase, const QString &text) { phases << text; });
        QObject::connect(match.get(), &MatchController::logLine, [this](const QString &t) { logs << t; });
    }
    ~Runner()
    {
        match->shutdown();
        match.reset();
        server.reset();
        gamefiles::resetForTest();
        cfg::resetForTesting();
    }
    bool phaseSeen(const QString &prefix) const
    {
        for (const QString &p : phases)
            if (p.startsWith(prefix))
                return true;
        return false;
    }
};

QString testGame()
{
    return qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame";
}

// Per-instance options of the stand-in for one case.
struct InstanceArgs {
    InstanceArgs(const QByteArray &one, const QByteArray &two)
    {
        qputenv("ORX_TESTGAME_ARGS_1", one);
        qputenv("ORX_TESTGAME_ARGS_2", two);
    }
    ~InstanceArgs()
    {
        qunsetenv("ORX_TESTGAME_ARGS_1");
        qunsetenv("ORX_TESTGAME_ARGS_2");
    }
};

// Variables of one case, gone with it even when the case fails midway.
struct EnvGuard {
    QList<QByteArray> names;
    void set(const QByteArray &name, const QByteArray &value)
    {
        names << name;
        qputenv(name.constData(), value);
    }
    ~EnvGuard()
    {
        for (const QByteArray &n : std::as_const(names))
            qunsetenv(n.constData());
    }
};

QStringList commandsOf(GameProcess *game)
{
    QFile f(game->sessionDir() + "/testgame-commands.txt");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                       : QStringList{};
}

bool alive(qint64 pid)
{
    // A zombie no longer runs anything; the launcher reaps it soon after.
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) != "Z";
}

QByteArray testutilRead(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool setMtime(const QString &path, const QDateTime &when)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.setFileTime(when, QFileDevice::FileModificationTime);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

void TestLocalRuns::localTestAgrees()
{
    InstanceArgs args("--match-ms 800", "--match-ms 800 --boot-ms 2500");
    Runner r(testGame());
    QString why;
    QVERIFY2(r.match->startLocalTest("orx", "versus", "-", "-", &why), qPrintable(why));
    QCOMPARE(r.match->phase(), MatchController::LocalTest);
    QCOMPARE(r.match->phaseText(),
             QString("Local test: two instances on ports %1/%2, waiting for both to be ready")
                 .arg(cfg::localPort(1))
                 .arg(cfg::localPort(2)));
    GameProcess *one = r.match->localTestInstance(1);
    GameProcess *two = r.match->localTestInstance(2);
    QVERIFY(one && two && one != two);
    QVERIFY(!r.match->startLocalTest("orx", "versus", "-", "-", &why));
    QVERIFY2(why.startsWith("Busy: Local test: two instances"), qPrintable(why));

    // Instance 1 ready alone: no line goes out.
    QTRY_COMPARE_WITH_TIMEOUT(one->statusWord(), QString("ready"), orxtest::scaled(20000));
    if (two->statusWord() != "ready") {
        QVERIFY(r.match->gameStatusText().startsWith("local test: 1 ready / 2 "));
        QVERIFY(commandsOf(one).isEmpty());
    }
    QTRY_VERIFY_WITH_TIMEOUT(r.phaseSeen("Local test: both instances agree: result winner="),
                             orxtest::scaled(30000));
    QVERIFY(r.phaseSeen("Local test: start lines written, both instances starting"));
    const QStringList c1 = commandsOf(one), c2 = commandsOf(two);
    QVERIFY(!c1.isEmpty() && !c2.isEmpty());
    const QString seed = c1.first().section(" seed=", 1).section(' ', 0, 0);
    QCOMPARE(c1.first(),
             QString("start game=orx mode=versus side=1 local_port=%1 remote=127.0.0.1:%2 delay=1 seed=%3 "
                     "p1=- p2=- rounds=5 ranked=0 match=%4")
                 .arg(cfg::localPort(1))
                 .arg(cfg::localPort(2))
                 .arg(seed, c1.first().section(" match=", 1)));
    QVERIFY(c1.first().section(" match=", 1).startsWith("local-"));
    QCOMPARE(c2.first().section(" side=", 1).section(' ', 0, 0), QString("2"));
    QCOMPARE(c2.first().section(" seed=", 1), c1.first().section(" seed=", 1));
    QTRY_VERIFY_WITH_TIMEOUT(commandsOf(one).contains("park") && commandsOf(two).contains("park"),
                             orxtest::scaled(10000));
    QCOMPARE(r.phases.filter("Local test: both instances agree").size(), 1); // compared once

    r.match->stopLocalTest();
    QCOMPARE(r.match->phase(), MatchController::Idle);
    QCOMPARE(r.match->phaseText(), QString("Local test stopped"));
    QVERIFY(!r.match->localTestInstance(1) && !r.match->localTestInstance(2));
}

void TestLocalRuns::localTestResultsDiffer()
{
    InstanceArgs args("--match-ms 800", "--match-ms 800 --wrong-result");
    Runner r(testGame());
    QString why;
    QVERIFY2(r.match->startLocalTest("orx", "versus", "kael", "ryo", &why), qPrintable(why));
    QTRY_VERIFY_WITH_TIMEOUT(r.phaseSeen("Local test: results differ: "), orxtest::scaled(30000));
    const QString text = r.phases.filter("Local test: results differ: ").first();
    const QString first = text.mid(QString("Local test: results differ: ").size()).section(" / ", 0, 0);
    const QString second = text.section(" / ", 1);
    QVERIFY2(first.startsWith("result winner=") && second.startsWith("result winner="), qPrintable(text));
    QVERIFY(!first.contains(" match=") && !second.contains(" match="));
    QVERIFY(first != second);
}

void TestLocalRuns::localTestOneInstanceCrashes()
{
    InstanceArgs args("--match-ms 60000 --peer-timeout 1000", "--match-ms 60000 --crash-after 1500");
    Runner r(testGame());
    QString why;
    QVERIFY2(r.match->startLocalTest("orx", "versus", "-", "-", &why), qPrintable(why));
    GameProcess *one = r.match->localTestInstance(1);
    GameProcess *two = r.match->localTestInstance(2);
    QTRY_VERIFY_WITH_TIMEOUT(!two->isRunning(), orxtest::scaled(30000));
    QTRY_VERIFY_WITH_TIMEOUT(r.logs.filter("The game crashed (80000006 at testgame.cpp (runStep))").size() ==
                                 1,
                             orxtest::scaled(5000));
    // The other instance still runs: the test waits for it.
    QCOMPARE(r.match->phase(), MatchController::LocalTest);
    QVERIFY(one->isRunning());
    QVERIFY(r.match->gameStatusText().endsWith(" / 2 error exited"));
    QSignalSpy destroyed(one, &QObject::destroyed);
    one->quit();
    QTRY_COMPARE_WITH_TIMEOUT(r.match->phase(), MatchController::Idle, orxtest::scaled(20000));
    QCOMPARE(r.match->phaseText(), QString("Local test finished"));
    QVERIFY(r.logs.contains("Local test: both instances exited"));
    QVERIFY(!r.match->localTestInstance(1));
    QTRY_COMPARE_WITH_TIMEOUT(destroyed.size(), 1, orxtest::scaled(5000)); // deleted after its signal
}

void TestLocalRuns::shutdownLeavesNoGame()
{
    InstanceArgs args("--match-ms 60000", "--match-ms 60000 --ignore-quit");
    Runner r(testGame());
    QString why;
    QVERIFY2(r.match->startLocalTest("orx", "versus", "-", "-", &why), qPrintable(why));
    GameProcess *one = r.match->localTestInstance(1);
    GameProcess *two = r.match->localTestInstance(2);
    QTRY_VERIFY_WITH_TIMEOUT(r.phaseSeen("Local test: start lines written"), orxtest::scaled(30000));
    const QList<qint64> pids{one->processId(), two->processId()};
    QVERIFY(alive(pids.at(0)) && alive(pids.at(1)));
    r.match->shutdown();
    QCOMPARE(r.match->phase(), MatchController::Idle);
    QTRY_VERIFY_WITH_TIMEOUT(!alive(pids.at(0)) && !alive(pids.at(1)), orxtest::scaled(5000));
}

void TestLocalRuns::preparation()
{
    QTemporaryDir dir;
    const QString exe = dir.filePath("game/orx.exe");
    QVERIFY(writeBytes(dir.filePath("game/orx.dll"), "library"));
    QVERIFY(setMtime(dir.filePath("game/orx.dll"), QDateTime::currentDateTime().addDays(-1)));
    QVERIFY(QFile::copy(testGame(), exe));
    QVERIFY(codeprep::codePrepNeeded(exe));
    // The shipped definition, without the title update's identity (no real update here).
    QString definition =
        QString::fromUtf8(testutilRead(qEnvironmentVariable("ORX_SOURCE_DIR") + "/resources/data/orx.json"));
    QVERIFY(!definition.isEmpty());
    definition.replace(QRegularExpression("\"xexp_sha1\": \"[0-9a-f]+\""), "\"xexp_sha1\": \"\"");
    QVERIFY(writeBytes(dir.filePath("orx.json"), definition.toUtf8()));
    EnvGuard env;
    env.set("ORX_GAME_DEFINITION", dir.filePath("orx.json").toUtf8());
    QString error;
    QVERIFY2(GameRegistry::load(&error), qPrintable(error));
    env.set("ORX_TESTGAME_ARGS", "--prepare-ms 1500");
    Runner r(exe);
    QVERIFY(writeBytes(r.dir.filePath("game/disc/default.xex"), "xex"));
    QVERIFY(writeBytes(r.dir.filePath("game/disc/default.xexp"), "xexp"));
    QSignalSpy prep(r.match.get(), &MatchController::codePrepChanged);
    QVERIFY(r.match->rebuildCode());
    QVERIFY(r.logs.contains("New executables: building the code again for orx"));
    QCOMPARE(prep.size(), 1);
    QCOMPARE(
        prep.first().at(0).toString(),
        QString("Preparing Orvex for this version (1 of 1), its window shows how far it is: it can be played "
                "once that is done."));
    QCOMPARE(prep.first().at(1).toBool(), false);
    // Mid-round: nothing new is queued, and the game waits.
    QVERIFY(r.match->rebuildCode());
    QCOMPARE(r.logs.filter("New executables").size(), 1);
    QString why;
    QVERIFY(!r.match->startPlayerGame(&why));
    QCOMPARE(why,
             QString("Orvex is being prepared for this version (its window shows how far it is): it can be "
                     "played once that is done."));
    QVERIFY(!r.match->startLocalTest("orx", "versus", "-", "-", &why));
    QVERIFY(why.startsWith("Orvex is being prepared"));
    QTRY_COMPARE_WITH_TIMEOUT(prep.size(), 2, orxtest::scaled(30000));
    QCOMPARE(prep.last().at(0).toString(), QString("The games are ready for this version."));
    QCOMPARE(prep.last().at(1).toBool(), true);
    QVERIFY(r.logs.contains("Orvex is ready for this version"));
    QVERIFY(QFile::exists(dir.filePath("game/compiler/work/orx/built.txt")));
    QVERIFY(!codeprep::codePrepNeeded(exe));
    QVERIFY(!r.match->rebuildCode());
    QVERIFY(r.match->prepCheck("orx"));

    // A failing preparation: said so, and it blocks nothing.
    QVERIFY(QFile::remove(dir.filePath("game/compiler/work/orx/built.txt")));
    env.set("ORX_TESTGAME_ARGS", "--prepare-ms 200 --prepare-fail 4");
    QVERIFY(r.match->rebuildCode());
    QTRY_COMPARE_WITH_TIMEOUT(prep.size(), 4, orxtest::scaled(30000));
    QCOMPARE(prep.last().at(0).toString(),
             QString("Preparing Orvex did not finish: it is done on its next start."));
    QVERIFY(r.logs.contains("Preparing Orvex did not finish (exit code 4): its next start does it"));
    QVERIFY(r.match->prepCheck("orx"));
    QVERIFY(!QFile::exists(dir.filePath("game/compiler/work/orx/built.txt")));
}

void TestLocalRuns::hashing()
{
    Runner r(testGame());
    const QString disc = r.dir.filePath("game/disc");
    QVERIFY(writeBytes(disc + "/default.xex", QByteArray(3000000, 'x')));
    QVERIFY(writeBytes(disc + "/Media/Stage01.BIN", "stage"));
    QVERIFY(writeBytes(disc + "/.hidden", "hidden"));
    QVERIFY(writeBytes(disc + "/empty", ""));
    QVERIFY(r.match->gameStatusText() == "not running");
    QCOMPARE(gamefiles::gameFilesLine("orx").section(", ", -1), QString("contents not hashed yet"));
    gamefiles::resetForTest(); // the controller looked before the files were there
    gamefiles::startHashingGameFiles("orx");
    QTRY_VERIFY_WITH_TIMEOUT(!gamefiles::contentsDigest("orx").isEmpty(), orxtest::scaled(20000));
    QCOMPARE(gamefiles::filesHashedForTest(), 4);
    auto sha = [](const QByteArray &b) {
        return QCryptographicHash::hash(b, QCryptographicHash::Sha1).toHex();
    };
    const QByteArray sums = ".hidden|" + sha("hidden") + "\ndefault.xex|" + sha(QByteArray(3000000, 'x')) +
                            "\nempty|" + sha("") + "\nmedia/stage01.bin|" + sha("stage");
    QCOMPARE(gamefiles::contentsDigest("orx"), QString::fromLatin1(sha(sums).left(16)));
    const QString cacheFile = gamefiles::cacheFilePath("orx");
    QFile cache(cacheFile);
    QVERIFY(cache.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(cache.readAll()).split('\n');
    cache.close();
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines.last().isEmpty()); // a final line feed
    QVERIFY(lines.at(1).startsWith("default.xex|3000000|"));
    QVERIFY(lines.at(3).startsWith("media/stage01.bin|5|"));
    QCOMPARE(gamefiles::gameFilesLine("orx").section(", ", -1),
             "contents " + gamefiles::contentsDigest("orx"));
    QVERIFY(
        gamefiles::gameFilesLine("orx").startsWith("Game files: 4 files, 3000011 bytes, names and sizes "));

    // A touched file is hashed again, the rest reused; a damaged cache line costs its file only.
    QVERIFY(setMtime(disc + "/Media/Stage01.BIN", QDateTime::currentDateTime().addSecs(-100)));
    QString text = QString::fromUtf8(testutilRead(cacheFile));
    text.replace(QRegularExpression("(\\.hidden\\|6\\|)\\d+"), "\\1soon");
    QVERIFY(writeBytes(cacheFile, text.toUtf8()));
    const QString before = gamefiles::contentsDigest("orx");
    gamefiles::resetForTest();
    gamefiles::startHashingGameFiles("orx");
    QTRY_VERIFY_WITH_TIMEOUT(!gamefiles::contentsDigest("orx").isEmpty(), orxtest::scaled(20000));
    QCOMPARE(gamefiles::filesHashedForTest(), 2);
    QCOMPARE(gamefiles::contentsDigest("orx"), before);
}

void TestLocalRuns::hashingStopped()
{
    Runner r(testGame());
    const QString disc = r.dir.filePath("game/disc");
    QVERIFY(writeBytes(disc + "/small", "small"));
    QFile big(disc + "/big.bin");
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(4) << 30)); // sparse: costs no disk
    big.close();
    gamefiles::resetForTest();
    gamefiles::startHashingGameFiles("orx");
    // Shut down mid-hash: the thread ends at its next piece, and no cache is written.
    r.match->shutdown();
    QVERIFY(gamefiles::stopHashing(0));
    QVERIFY(gamefiles::contentsDigest("orx").isEmpty());
    QVERIFY(!QFile::exists(gamefiles::cacheFilePath("orx")));
    // Once started in a run, not again.
    gamefiles::startHashingGameFiles("orx");
    QVERIFY(gamefiles::stopHashing(0));
    QVERIFY(!QFile::exists(gamefiles::cacheFilePath("orx")));

    // The walk itself: a set flag stops it before any file and nothing counts as done.
    std::atomic_bool stop{true};
    const gamefiles::TreeHash tree = gamefiles::hashTree(disc, {}, stop);
    QVERIFY(!tree.complete);
    QCOMPARE(tree.hashed, 0);
}
