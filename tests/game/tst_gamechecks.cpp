// The checks before a game starts: the executable, the game files, the title update against the
// game definition, and the rebuild after a new version. The game definition is a test document.

#include "core/cfg.h"
#include "game/gamechecks.h"
#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "gametestkit.h"
#include "x360/writer/xexwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

namespace {

QByteArray titleUpdateXexp(quint32 targetVersion, const QByteArray &body = "delta")
{
    x360::writer::XexSpec spec;
    spec.moduleFlags = 0x10; // a patch
    spec.titleId = 0x5D3A0F21;
    spec.deltaPatch = true;
    spec.patchSourceVersion = 0x2;
    spec.patchTargetVersion = targetVersion;
    spec.patchSourceDigest = QByteArray(20, '\x11');
    spec.body = body;
    return x360::writer::buildXex(spec);
}

QString sha1(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

const QByteArray patchData = "the update's data file";

QJsonObject update(int number, const QByteArray &xexp, const QString &toVersion, const QJsonObject &files)
{
    return {{"number", number},
            {"package", QStringLiteral("TU_ORX_000%1O2").arg(number)},
            {"package_note", "a note"},
            {"xexp_sha1", sha1(xexp)},
            {"from_version", "0.0.0.2"},
            {"to_version", toVersion},
            {"files", files}};
}

} // namespace

class TestGameChecks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void beforeTheStart_data();
    void beforeTheStart();
    void sharedChecks();
    void titleUpdateHashesKept();

private:
    void stage(bool exe, bool discFiles, const QByteArray &xexpKind, const QString &updateFiles,
               const QString &built);

    QTemporaryDir m_definitionDir;
    std::unique_ptr<GameTestEnv> m_env;
    const Game *m_game = nullptr;
};

void TestGameChecks::initTestCase()
{
    QVERIFY(m_definitionDir.isValid());
    const QByteArray tu3 = titleUpdateXexp(0x302);
    const QJsonObject definition{
        {"id", "orx"},
        {"title", "Ironmere IV"},
        {"edition", "Xbox 360, World"},
        {"title_id", "5D3A0F21"},
        {"default_exe", "orx.exe"},
        {"title_update",
         update(3, tu3, "0.0.3.2",
                {{"default.xexp", sha1(tu3)}, {"patch.cpk", sha1(patchData).toUpper()}, {"extra.bin", ""}})},
        {"older_title_updates", QJsonArray{update(1, titleUpdateXexp(0x102), "0.0.1.2", {})}},
    };
    const QString path = m_definitionDir.filePath("orx.json");
    writeFile(path, QJsonDocument(definition).toJson());
    qputenv("ORX_GAME_DEFINITION", QFile::encodeName(path));
    QString error;
    QVERIFY2(GameRegistry::load(&error), qPrintable(error));
    qunsetenv("ORX_GAME_DEFINITION");
    m_game = GameRegistry::instance().find("orx");
    QVERIFY(m_game);
}

void TestGameChecks::init()
{
    m_env = std::make_unique<GameTestEnv>(true);
    QVERIFY(m_env->isValid());
    QVERIFY(cfg::isPackaged());
    QCOMPARE(QDir(cfg::gameFolder("orx")).absolutePath(), QDir(m_env->appDir()).filePath("games/orx"));
}

void TestGameChecks::cleanup()
{
    m_env.reset();
}

void TestGameChecks::cleanupTestCase()
{
    cfg::setDefaultExeLookup(nullptr);
}

void TestGameChecks::stage(bool exe, bool discFiles, const QByteArray &xexpKind, const QString &updateFiles,
                           const QString &built)
{
    const QDir folder(cfg::gameFolder("orx"));
    if (exe)
        writeScript(cfg::gameExe("orx"),
                    "#!/bin/sh\nexec '" + QFile::encodeName(testGamePath()) + "' \"$@\"\n");
    if (discFiles) {
        writeFile(folder.filePath("disc/default.xex"), "xex");
        QByteArray xexp;
        if (xexpKind == "tu3")
            xexp = titleUpdateXexp(0x302);
        else if (xexpKind == "tu1")
            xexp = titleUpdateXexp(0x102);
        else if (xexpKind == "tu5")
            xexp = titleUpdateXexp(0x502);
        else if (xexpKind == "damaged")
            xexp = titleUpdateXexp(0x302, "delta, changed");
        else if (xexpKind == "garbage")
            xexp = "not an executable at all";
        writeFile(folder.filePath("disc/default.xexp"), xexp);
    }
    if (updateFiles != QLatin1String("no-extra"))
        writeFile(folder.filePath("update/extra.bin"), "anything");
    if (updateFiles == QLatin1String("complete"))
        writeFile(folder.filePath("update/patch.cpk"), patchData);
    else if (updateFiles == QLatin1String("bad-cpk"))
        writeFile(folder.filePath("update/patch.cpk"), patchData + "!");
    writeFile(folder.filePath("project/VERSION"), "0.1.8-game-7\n");
    if (built == QLatin1String("same"))
        writeFile(folder.filePath("built.txt"), "  0.1.8-game-7 \r\n");
    else if (built == QLatin1String("older"))
        writeFile(folder.filePath("built.txt"), "0.1.7-game-6\n");
}

void TestGameChecks::beforeTheStart_data()
{
    QTest::addColumn<QString>("gameId");
    QTest::addColumn<bool>("exe");
    QTest::addColumn<bool>("discFiles");
    QTest::addColumn<QByteArray>("xexp");
    QTest::addColumn<QString>("updateFiles");
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expect");
    // clang-format off
    QTest::newRow("everything right") << "orx" << true << true << QByteArray("tu3") << "complete" << "same" << "ok";
    QTest::newRow("no executable, package folder") << "orx" << false << true << QByteArray("tu3") << "complete" << "same" << "missing";
    QTest::newRow("no executable, no package folder") << "abc" << false << false << QByteArray() << "" << "" << "notFound";
    QTest::newRow("empty path") << "orx" << false << true << QByteArray("tu3") << "complete" << "same" << "empty";
    QTest::newRow("disc not extracted") << "orx" << true << false << QByteArray() << "complete" << "same" << "noFiles";
    QTest::newRow("older title update") << "orx" << true << true << QByteArray("tu1") << "complete" << "same" << "tu1";
    QTest::newRow("another title update") << "orx" << true << true << QByteArray("tu5") << "complete" << "same" << "tu5";
    QTest::newRow("changed title update") << "orx" << true << true << QByteArray("damaged") << "complete" << "same" << "changed";
    QTest::newRow("not an executable") << "orx" << true << true << QByteArray("garbage") << "complete" << "same" << "changed";
    QTest::newRow("update data missing") << "orx" << true << true << QByteArray("tu3") << "no-cpk" << "same" << "incomplete:patch.cpk";
    QTest::newRow("update data changed") << "orx" << true << true << QByteArray("tu3") << "bad-cpk" << "same" << "incomplete:patch.cpk";
    QTest::newRow("file that only has to exist") << "orx" << true << true << QByteArray("tu3") << "no-extra" << "same" << "incomplete:extra.bin";
    QTest::newRow("never built") << "orx" << true << true << QByteArray("tu3") << "complete" << "missing" << "rebuild";
    QTest::newRow("built by an older version") << "orx" << true << true << QByteArray("tu3") << "complete" << "older" << "rebuild";
    // clang-format on
}

void TestGameChecks::beforeTheStart()
{
    QFETCH(QString, gameId);
    QFETCH(bool, exe);
    QFETCH(bool, discFiles);
    QFETCH(QByteArray, xexp);
    QFETCH(QString, updateFiles);
    QFETCH(QString, built);
    QFETCH(QString, expect);
    stage(exe, discFiles, xexp, updateFiles, built);

    const QString hint =
        QStringLiteral("\n\nOpen Build game, choose title update 3 in step 2, then press CHECK AND BUILD.");
    const QString needed = QStringLiteral("\n\n") + m_game->updateNeededText();
    const QString subject = QStringLiteral("The title update on this PC is");
    QString executable = gameId == QLatin1String("orx") ? cfg::gameExe("orx")
                                                        : QDir(m_env->root()).filePath("elsewhere/abc.exe");
    QString expected;
    if (expect == QLatin1String("empty")) {
        executable.clear();
        expected =
            QStringLiteral("Game executable not found: . Build the game first or set its path in Settings.");
    } else if (expect == QLatin1String("notFound")) {
        expected =
            QStringLiteral("Game executable not found: %1. Build the game first or set its path in Settings.")
                .arg(QDir::toNativeSeparators(executable));
    } else if (expect == QLatin1String("missing")) {
        expected =
            QStringLiteral("orx.exe is missing. Windows Security (or another antivirus) may have blocked or "
                           "removed orx.exe. That is a false alarm: a new release's files, and the game code "
                           "each PC builds for itself, are new to it. Open Windows Security > Virus & threat "
                           "protection > Protection history, pick the entry for orx.exe and choose Actions > "
                           "Restore (or Allow on device), then try again.");
    } else if (expect == QLatin1String("noFiles")) {
        expected = QStringLiteral(
                       "The game's files are not there yet: open Build game and extract your disc and its "
                       "title update first (%1).")
                       .arg(QDir::toNativeSeparators(cfg::gameDiscDir("orx")));
    } else if (expect == QLatin1String("tu1")) {
        expected = subject + QStringLiteral(" title update 1.") + needed + hint;
    } else if (expect == QLatin1String("tu5")) {
        expected =
            subject +
            QStringLiteral(" another title update of Ironmere IV: it makes the game version 0.0.5.2, and "
                           "title update 3 makes it version 0.0.3.2.") +
            needed + hint;
    } else if (expect == QLatin1String("changed")) {
        expected =
            subject +
            QStringLiteral(" not title update 3: its files are not the ones title update 3 has (a changed or "
                           "damaged copy).") +
            needed + hint;
    } else if (expect.startsWith(QLatin1String("incomplete:"))) {
        expected =
            QStringLiteral("The title update on this PC is not complete: its file %1 is missing or is not "
                           "title update 3's.")
                .arg(expect.section(QLatin1Char(':'), 1)) +
            needed + hint;
    } else if (expect == QLatin1String("rebuild")) {
        expected =
            QStringLiteral("This version of Orvex Rovivi changed the game, so it must be built again before "
                           "it starts. Open Build game and press CHECK AND BUILD (a few minutes at most).");
    }

    GameProcess game(gameId, 1);
    QString error;
    const bool started = game.start(executable, &error, true);
    if (expect == QLatin1String("ok")) {
        QVERIFY2(started, qPrintable(error));
        QVERIFY(titleUpdateProblem("orx").isEmpty());
        QVERIFY(!rebuildNeeded("orx"));
        game.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!game.isRunning(), deadline(10000));
        return;
    }
    QVERIFY(!started);
    QCOMPARE(error, expected);
    QVERIFY(game.sessionDir().isEmpty()); // refused before any folder was made
    QVERIFY(QDir(cfg::sessionsDir()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    // Without an error text wanted the answer is the same.
    QVERIFY(!game.start(executable, nullptr, true));
}

void TestGameChecks::sharedChecks()
{
    // Nothing built: no executable, so nothing to rebuild; no title update to judge.
    QVERIFY(!rebuildNeeded("orx"));
    QVERIFY(titleUpdateProblem("orx").isEmpty());
    QVERIFY(discExecutable("orx").isEmpty());
    QVERIFY(!gameFilesPresent("orx"));
    stage(true, true, "tu1", "complete", "missing");
    QCOMPARE(discExecutable("orx"), QDir(cfg::gameDiscDir("orx")).filePath("default.xex"));
    QVERIFY(gameFilesPresent("orx"));
    QVERIFY(rebuildNeeded("orx"));
    QVERIFY(titleUpdateProblem("orx").startsWith("The title update on this PC is title update 1.\n\n"));
    // Without "project/VERSION" there is nothing to compare with.
    QVERIFY(QFile::remove(QDir(cfg::gameFolder("orx")).filePath("project/VERSION")));
    QVERIFY(!rebuildNeeded("orx"));
    // A game without a definition.
    QVERIFY(titleUpdateProblem("abc").isEmpty());
    QCOMPARE(
        buildHint("abc"),
        QStringLiteral("Open Build game, choose the title update in step 2, then press CHECK AND BUILD."));
    QCOMPARE(buildHint("orx"),
             QStringLiteral("Open Build game, choose title update 3 in step 2, then press CHECK AND BUILD."));
    QVERIFY(smartAppControlText(false).startsWith("Windows' Smart App Control is on, and it will block the "
                                                  "games. It only runs programs signed by a publisher"));
    QVERIFY(smartAppControlText(true).endsWith(
        "(On some versions of Windows 11 it can only be switched back on by "
        "resetting Windows.)"));
    qputenv("ORX_SMART_APP_CONTROL", "2");
    QCOMPARE(smartAppControlState(), 2);
    qunsetenv("ORX_SMART_APP_CONTROL");
}

int runGameCheckTests(int argc, char **argv)
{
    TestGameChecks t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_gamechecks.moc"

// The title update's SHA-1s are kept by path, size and modification time: asked again, nothing is read whole;
// a file that changed (its time did) is hashed again.
void TestGameChecks::titleUpdateHashesKept()
{
    stage(true, true, "tu3", "complete", "same");
    const QStringList files = titleUpdateFiles("orx");
    QCOMPARE(files.size(), 3); // default.xexp, patch.cpk, extra.bin
    QVERIFY(!::titleUpdateHashesKept("orx"));
    hashAhead(files); // as a worker thread does
    QVERIFY(::titleUpdateHashesKept("orx"));
    QVERIFY(titleUpdateProblem("orx").isEmpty());

    // Changed in place with its size and times put back: the kept SHA-1 answers, so the file was
    // not read again.
    const QString cpk = QDir(cfg::gameUpdateDir("orx")).filePath("patch.cpk");
    const QFileInfo before(cpk);
    const QDateTime modified = before.lastModified();
    {
        QFile f(cpk);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.write(QByteArray(1, '!')) == 1);
        f.close();
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
    }
    QCOMPARE(QFileInfo(cpk).size(), before.size());
    QCOMPARE(QFileInfo(cpk).lastModified(), modified);
    QVERIFY(::titleUpdateHashesKept("orx"));
    QVERIFY(titleUpdateProblem("orx").isEmpty());
    // A newer time: hashed again, and the change is found.
    {
        QFile f(cpk);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(modified.addSecs(5), QFileDevice::FileModificationTime));
    }
    QVERIFY(!::titleUpdateHashesKept("orx"));
    QVERIFY(titleUpdateProblem("orx").startsWith("The title update on this PC is not complete: its file "
                                                 "patch.cpk is missing or is not title update 3's."));
    QVERIFY(::titleUpdateHashesKept("orx"));
}
