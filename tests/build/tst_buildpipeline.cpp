// The pipeline's check and build steps on their worker threads: a full build from the demo
// release, a second run that writes nothing, the free-space demand, cancelling an extraction, and
// the texts of sizes and progress.

#include "buildtestkit.h"

#include "build/sizetext.h"
#include "core/cfg.h"
#include "x360/disc.h"
#include "x360/package.h"
#include "x360/writer/discwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QSignalSpy>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 GiB = 1024LL * 1024 * 1024;

bool runToIdle(PipelineRecorder &recorder, const BuildInputs &inputs)
{
    recorder.busyChanges.clear();
    if (!recorder.pipeline->startBuild(inputs))
        return false;
    return QTest::qWaitFor([&] { return recorder.idle(); }, deadline(60000));
}

// Every file below `folder`, relative, with its size.
QMap<QString, qint64> tree(const QString &folder)
{
    QMap<QString, qint64> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(folder).relativeFilePath(path), it.fileInfo().size());
    }
    return files;
}

} // namespace

class TestBuildPipeline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { demoGame(); }
    void fullBuildThenSecondRun();
    void refusedCheckSignals();
    void missingInputs();
    void unknownFreeSpaceDoesNotStop();
    void cancelDuringExtraction();
    void cancelDuringCheck();
    void putInPlaceFailure();
    void dlcFolderNames_data();
    void dlcFolderNames();
    void sizeTexts_data();
    void sizeTexts();
    void progressTexts();
};

void TestBuildPipeline::fullBuildThenSecondRun()
{
    BuildTestEnv env;
    BuildPipeline pipeline(QStringLiteral("orx"));
    QStringList askedFolders;
    qint64 freeBytes = 100 * GiB;
    pipeline.setFreeSpaceQuery([&](const QString &folder) {
        askedFolders << folder;
        return freeBytes;
    });
    PipelineRecorder recorder(&pipeline);
    QVERIFY(runToIdle(recorder, {demoImage(), demoUpdate(), {demoDlc()}}));
    QCOMPARE(recorder.placed, QList<bool>{true});
    QCOMPARE(askedFolders, QStringList{env.gameFolder()});
    QVERIFY(recorder.cannotBuild.isEmpty());
    QCOMPARE(cfg::gameImage(QStringLiteral("orx")), demoImage());
    QCOMPARE(cfg::gameUpdatePackage(QStringLiteral("orx")), demoUpdate());

    // The disc, less its dashboard update, byte for byte.
    const BuildFolders folders = env.folders();
    x360::Disc disc;
    QString error;
    QVERIFY(disc.open(demoImage(), &error));
    int files = 0;
    for (const x360::DiscEntry &entry : disc.entries()) {
        const QString target = QDir(folders.disc).filePath(entry.path);
        if (x360::isSystemUpdate(entry.path)) {
            QVERIFY2(!QFileInfo::exists(target), qPrintable(target));
            continue;
        }
        if (entry.isFolder)
            continue;
        ++files;
        QByteArray bytes;
        QVERIFY(disc.read(entry, &bytes, &error));
        QCOMPARE(readFile(target), bytes);
    }
    QCOMPARE(pipeline.filesDone(), files);
    QCOMPARE(pipeline.totalFiles(), files);
    QCOMPARE(pipeline.bytesDone(), disc.totalBytes(x360::isSystemUpdate));
    QCOMPARE(pipeline.totalBytes(), disc.totalBytes(x360::isSystemUpdate));

    // The update beside the disc, the DLC in its folder beside its header.
    QCOMPARE(readFile(QDir(folders.disc).filePath("default.xexp")), demoXexp());
    QCOMPARE(readFile(QDir(folders.update).filePath("patch.cpk")), demoPatch());
    x360::Package dlc;
    QVERIFY(dlc.open(demoDlc(), &error));
    QCOMPARE(readFile(QDir(folders.dlc).filePath("ORX_DLC_0013.header")), dlc.header);
    for (const x360::PackageEntry &entry : dlc.entries) {
        if (entry.isFolder)
            continue;
        QByteArray bytes;
        QVERIFY(dlc.read(entry, &bytes, &error));
        QCOMPARE(readFile(QDir(folders.dlc).filePath("ORX_DLC_0013/" + entry.path)), bytes);
    }
    QVERIFY(partFiles(env.gameFolder()).isEmpty());

    const QString nativeDisc = QDir::toNativeSeparators(folders.disc);
    QCOMPARE(recorder.lines.first(), QStringLiteral("Checking your files ..."));
    QVERIFY(recorder.lines.contains(QStringLiteral("Extracting the disc into %1 ...").arg(nativeDisc)));
    QVERIFY(recorder.lines.contains(
        QStringLiteral("The disc, its title update and your downloadable content are in place in %1.")
            .arg(QDir::toNativeSeparators(env.gameFolder()))));
    QVERIFY(recorder.formats.contains(QStringLiteral("Extracted  -  %1 files, 2.7 MB").arg(files)));
    const QStringList log = launcherLogLines();
    const auto logged = [&log](const QString &text) {
        return std::any_of(log.cbegin(), log.cend(),
                           [&](const QString &line) { return line.endsWith(text); });
    };
    QVERIFY(logged(QStringLiteral(" build orx: checking disc %1, update %2, 1 DLC package(s)")
                       .arg(QDir::toNativeSeparators(demoImage()), QDir::toNativeSeparators(demoUpdate()))));
    QVERIFY(logged(QStringLiteral(" build orx: files in place (%1 disc files extracted)").arg(files)));
    // No build script in the game folder yet: the files are in place for it.
    QVERIFY(recorder.lines.last().startsWith(
        "The step that compiles the game's code for this PC is not ready yet"));

    // Second run: nothing to write, so only the margin and the DLC are asked for. One byte short
    // of that is refused; exactly that passes and rewrites nothing.
    const QMap<QString, qint64> before = tree(folders.disc);
    const QFileInfo xex(QDir(folders.disc).filePath("default.xex"));
    const QDateTime xexTime = xex.lastModified();
    const qint64 needed = 2 * GiB + qint64(pipeline.lastCheck()->dlcBytes);
    freeBytes = needed - 1;
    recorder.lines.clear();
    QVERIFY(runToIdle(recorder, {demoImage(), demoUpdate(), {demoDlc()}}));
    QCOMPARE(pipeline.lastCheck()->bytesToWrite, quint64(0));
    const QString noSpace = QStringLiteral("Not enough free space on that drive: %1 needed, %2 free.")
                                .arg(sizeText(needed), sizeText(needed - 1));
    QCOMPARE(recorder.cannotBuild, QStringList{noSpace});
    QCOMPARE(recorder.lines.last(), noSpace);
    QCOMPARE(recorder.placed.size(), 1); // the build step did not run

    freeBytes = needed;
    QVERIFY(runToIdle(recorder, {demoImage(), demoUpdate(), {demoDlc()}}));
    QCOMPARE(recorder.placed, QList<bool>({true, true}));
    QCOMPARE(tree(folders.disc), before);
    QCOMPARE(QFileInfo(xex.filePath()).lastModified(), xexTime);
    QCOMPARE(pipeline.filesDone(), files); // every file counted as done

    // Third run with nothing chosen: the earlier build passes and goes straight on, "In place".
    recorder.formats.clear();
    QVERIFY(runToIdle(recorder, {}));
    QCOMPARE(recorder.placed.last(), true);
    QVERIFY(recorder.formats.contains(QStringLiteral("In place")));
    QCOMPARE(pipeline.totalFiles(), 0);
}

void TestBuildPipeline::refusedCheckSignals()
{
    BuildTestEnv env;
    BuildPipeline pipeline(QStringLiteral("orx"));
    PipelineRecorder recorder(&pipeline);
    PackageSpec saved = demoUpdateSpec();
    saved.contentType = 0x1;
    const QString savePath = writePackage(env.path("SAVE"), saved);
    QVERIFY(runToIdle(recorder, {demoImage(), savePath, {}}));
    QCOMPARE(recorder.updateNeeded.size(), 1);
    QVERIFY(recorder.cannotBuild.isEmpty());
    QVERIFY(recorder.updateNeeded.first().startsWith(
        "The file you chose, SAVE, is not a title update: it is a saved game package of LIVE.\n\n"));
    QCOMPARE(recorder.lines.last(), recorder.updateNeeded.first());
    QVERIFY(recorder.placed.isEmpty());
    QVERIFY(launcherLogLines().last().endsWith(
        " build orx: refused: The file you chose, SAVE, is not a title update: it is a saved game package of "
        "LIVE.  " +
        demoGame().updateNeededText().replace('\n', ' ')));
    QVERIFY(!QFileInfo::exists(env.folders().disc)); // nothing written

    // A refusal that is not about the update: the plain box.
    QVERIFY(runToIdle(recorder, {env.path("SAVE"), demoUpdate(), {}}));
    QCOMPARE(recorder.cannotBuild,
             QStringList{"This is not an Xbox 360 disc image (no Xbox file system in it)."});
}

void TestBuildPipeline::missingInputs()
{
    BuildTestEnv env;
    BuildPipeline pipeline(QStringLiteral("orx"));
    PipelineRecorder recorder(&pipeline);
    const QString gone = env.path("gone.iso");
    QVERIFY(!pipeline.startBuild({gone, demoUpdate(), {}}));
    QVERIFY(!pipeline.startBuild({"  " + demoImage() + " ", env.path("TU_GONE"), {}}));
    QCOMPARE(recorder.lines,
             QStringList({QStringLiteral("There is no disc image at %1.").arg(QDir::toNativeSeparators(gone)),
                          QStringLiteral("There is no title update package at %1.")
                              .arg(QDir::toNativeSeparators(env.path("TU_GONE")))}));
    QCOMPARE(pipeline.busy(), BuildPipeline::Idle);
    QVERIFY(recorder.busyChanges.isEmpty());

    BuildPipeline unknown(QStringLiteral("nosuchgame"));
    QVERIFY(!unknown.startBuild({demoImage(), demoUpdate(), {}}));
    // One build at a time.
    QVERIFY(pipeline.startBuild({demoImage(), demoUpdate(), {}}));
    QVERIFY(!pipeline.startBuild({demoImage(), demoUpdate(), {}}));
    QVERIFY(!pipeline.compileGame());
    QTRY_VERIFY_WITH_TIMEOUT(recorder.idle(), deadline(60000));
}

void TestBuildPipeline::unknownFreeSpaceDoesNotStop()
{
    BuildTestEnv env;
    BuildPipeline pipeline(QStringLiteral("orx"));
    pipeline.setFreeSpaceQuery([](const QString &) { return qint64(-1); });
    PipelineRecorder recorder(&pipeline);
    QVERIFY(runToIdle(recorder, {demoImage(), demoUpdate(), {}}));
    QCOMPARE(recorder.placed, QList<bool>{true});
    QVERIFY(recorder.cannotBuild.isEmpty());
}

void TestBuildPipeline::cancelDuringExtraction()
{
    BuildTestEnv env;
    // The third file's ".part" is a pipe: the extraction stands still in the middle for as long as
    // the test needs.
    QString error;
    const HeldImage held = writeHeldImage(env, &error);
    QVERIFY2(!held.image.isEmpty(), qPrintable(error));
    const QString imagePath = held.image, part = held.part;
    const BuildFolders folders = env.folders();

    BuildPipeline pipeline(QStringLiteral("orx"));
    pipeline.setFreeSpaceQuery([](const QString &) { return 100 * GiB; });
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.startBuild({imagePath, demoUpdate(), {}}));
    const qint64 total = held.xexBytes + 1536 * 1024 + 2 * 1024 * 1024;
    const QString standing = QStringLiteral("%p%  -  2 of 3 files, %1 of %2")
                                 .arg(sizeText(held.xexBytes + 1536 * 1024), sizeText(total));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.formats.contains(standing), deadline(30000));
    QCOMPARE(pipeline.busy(), BuildPipeline::Placing);
    QCOMPARE(pipeline.filesDone(), 2);
    QCOMPARE(pipeline.totalFiles(), 3);
    QCOMPARE(pipeline.totalBytes(), total);

    pipeline.cancel();
    const int reader = ::open(QFile::encodeName(part).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.idle(), deadline(30000));
    ::close(reader);
    QCOMPARE(recorder.placed, QList<bool>{false});
    QCOMPARE(recorder.lines.last(), QStringLiteral("Stopped: Cancelled."));
    QVERIFY(launcherLogLines().last().endsWith(" build orx: stopped: Cancelled."));
    QVERIFY(partFiles(env.gameFolder()).isEmpty());
    QVERIFY(!QFileInfo::exists(QDir(folders.disc).filePath("data/second.cpk")));
    QCOMPARE(QFileInfo(QDir(folders.disc).filePath("data/first.cpk")).size(), 1536 * 1024);
    // The update is not put beside a disc that is not all there.
    QVERIFY(!QFileInfo::exists(QDir(folders.disc).filePath("default.xexp")));
    QVERIFY(!QFileInfo::exists(QDir(folders.update).filePath("patch.cpk")));
    QVERIFY(recorder.compiled.isEmpty());
}

void TestBuildPipeline::cancelDuringCheck()
{
    BuildTestEnv env;
    BuildPipeline pipeline(QStringLiteral("orx"));
    PipelineRecorder recorder(&pipeline);
    QVERIFY(pipeline.startBuild({demoImage(), demoUpdate(), {}}));
    pipeline.cancel(); // the check finishes, but nothing is built from it
    QTRY_VERIFY_WITH_TIMEOUT(recorder.idle(), deadline(60000));
    QCOMPARE(recorder.lines.last(), QStringLiteral("Cancelled."));
    QVERIFY(recorder.placed.isEmpty());
    QVERIFY(!QFileInfo::exists(env.folders().disc));
}

void TestBuildPipeline::putInPlaceFailure()
{
    BuildTestEnv env;
    QString error;
    const QString target = env.path("out/default.xexp");
    QVERIFY(putFileInPlace(target, "new bytes", &error));
    QCOMPARE(readFile(target), QByteArray("new bytes"));
    QVERIFY(putFileInPlace(target, "newer", &error)); // replaces the old file whole
    QCOMPARE(readFile(target), QByteArray("newer"));

    // A file where the folder should be.
    writeFile(env.path("blocked"), "a file");
    QVERIFY(!putFileInPlace(env.path("blocked/patch.cpk"), "x", &error));
    QCOMPARE(error,
             QStringLiteral("Cannot make the folder %1.").arg(QDir::toNativeSeparators(env.path("blocked"))));
    // A folder where the ".part" file should be.
    QVERIFY(QDir().mkpath(env.path("out/patch.cpk.part")));
    QVERIFY(!putFileInPlace(env.path("out/patch.cpk"), "x", &error));
    QVERIFY2(
        error.startsWith(
            QStringLiteral("Cannot write %1: ").arg(QDir::toNativeSeparators(env.path("out/patch.cpk")))),
        qPrintable(error));
    QVERIFY(!QFileInfo::exists(env.path("out/patch.cpk")));
}

void TestBuildPipeline::dlcFolderNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "/x/ORX_DLC_0013"
                           << "ORX_DLC_0013";
    QTest::newRow("blanks and signs") << "/x/My DLC (v2)+1.bin"
                                      << "My_DLC__v2__1.bin";
    QTest::newRow("letters of any script") << "/x/Énigme dlc-1.pkg"
                                           << "Énigme_dlc-1.pkg";
    QTest::newRow("only signs") << "/x/$$$"
                                << "___";
    QTest::newRow("empty") << ""
                           << "package";
}

void TestBuildPipeline::dlcFolderNames()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QCOMPARE(dlcFolderName(path), name);
}

void TestBuildPipeline::sizeTexts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 KB";
    QTest::newRow("below a KiB") << qint64(1023) << "0 KB";
    QTest::newRow("just under a MiB") << qint64(1048575) << "1023 KB";
    QTest::newRow("a MiB") << qint64(1048576) << "1.0 MB";
    QTest::newRow("2.75 MiB") << qint64(2883584) << "2.8 MB";
    QTest::newRow("just under a GiB") << qint64(GiB - 1) << "1024.0 MB";
    QTest::newRow("a GiB") << GiB << "1.00 GB";
    QTest::newRow("7.3 GiB") << qint64(7.3 * GiB) << "7.30 GB";
}

void TestBuildPipeline::sizeTexts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(sizeText(bytes), text);
}

void TestBuildPipeline::progressTexts()
{
    QCOMPARE(extractionProgressFormat(3, 27, 512 * 1024, 3 * 1024 * 1024),
             QStringLiteral("%p%  -  3 of 27 files, 512 KB of 3.0 MB"));
    QCOMPARE(extractionProgressValue(0, 100), 0);
    QCOMPARE(extractionProgressValue(50, 100), 500);
    QCOMPARE(extractionProgressValue(100, 100), 999); // the full bar is the finished build
    QCOMPARE(extractionProgressValue(7 * GiB, 8 * GiB), 875);
    QCOMPARE(extractionProgressValue(5, 0), 0);
}

int runBuildPipelineTests(int argc, char **argv)
{
    TestBuildPipeline tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_buildpipeline.moc"
