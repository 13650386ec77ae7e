// The check step against the demo release and damaged variants: every refusal word for word,
// which of them ask for the title update, and what a passing check counts.

#include "buildtestkit.h"

#include "x360/disc.h"
#include "x360/package.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTest>

namespace {

const QString paragraph = QStringLiteral("\n\n");

QString sha1(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

BuildCheck check(const BuildTestEnv &env, const BuildInputs &inputs)
{
    x360::Disc disc;
    BuildCheck result;
    runBuildCheck(demoGame(), inputs, env.folders(), disc, result);
    return result;
}

} // namespace

class TestBuildCheck : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void fullCheckCounts();
    void updateRefusals_data();
    void updateRefusals();
    void discRefusals_data();
    void discRefusals();
    void dlcOfAnotherGame();
    void updateInPlace_data();
    void updateInPlace();

private:
    std::unique_ptr<BuildTestEnv> m_env;
};

void TestBuildCheck::initTestCase()
{
    demoGame();
    QVERIFY(QFileInfo(demoImage()).isFile());
}

void TestBuildCheck::fullCheckCounts()
{
    BuildTestEnv env;
    const BuildCheck result = check(env, {demoImage(), demoUpdate(), {demoDlc()}});
    QVERIFY2(result.ok, qPrintable(result.error));
    QVERIFY(!result.needsUpdate);
    QVERIFY(result.extractDisc);

    // What the disc reader lists, minus the dashboard update folder.
    x360::Disc disc;
    QString error;
    QVERIFY(disc.open(demoImage(), &error));
    QCOMPARE(result.discFiles, disc.fileCount(x360::isSystemUpdate));
    QCOMPARE(qint64(result.discBytes), disc.totalBytes(x360::isSystemUpdate));
    QVERIFY(disc.fileCount() > result.discFiles);    // $SystemUpdate was left out
    QCOMPARE(result.bytesToWrite, result.discBytes); // nothing extracted yet

    QCOMPARE(result.xexpBytes, demoXexp());
    QCOMPARE(result.patchBytes, demoPatch());
    QCOMPARE(result.dlcPackages, QStringList{demoDlc()});
    x360::Package dlc;
    QVERIFY(dlc.open(demoDlc(), &error));
    quint64 dlcBytes = 0;
    for (const auto &entry : dlc.entries)
        dlcBytes += entry.isFolder ? 0 : entry.size;
    QCOMPARE(result.dlcBytes, dlcBytes);

    const QStringList expected{
        QStringLiteral(
            "Disc: Xbox 360 XGD2 disc, %1 files, 2.7 MB (the dashboard update, $SystemUpdate, left out).")
            .arg(result.discFiles),
        QStringLiteral("default.xex: Ironmere IV 0.0.0.2, title ID 5D3A0F21, SHA-1 "
                       "4eb0c3ae71bf853ced71034f298f7f53f4ef4c84: the right one."),
        QStringLiteral("Title update: \"Ironmere IV Title Update 3\" (TU_ORX_0003O2), LIVE package, title ID "
                       "5D3A0F21; default.xexp patches 0.0.0.2 into 0.0.3.2, SHA-1 %1.")
            .arg(demoGame().titleUpdate.xexpSha1),
        QStringLiteral("Title update: title update 3, the right one."),
        QStringLiteral("Downloadable content: \"Ironmere IV: Vessa Kaine\" (ORX_DLC_0013, 3 file(s))."),
    };
    QCOMPARE(result.lines, expected);
}

void TestBuildCheck::updateRefusals_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("variant");
    QTest::addColumn<QString>("expected"); // before the update-needed text

    const QString needed = paragraph + demoGame().updateNeededText();
    QTest::newRow("saved game")
        << "SAVEDATA" << 0
        << "The file you chose, SAVEDATA, is not a title update: it is a saved game package "
           "of CON." +
               needed;
    QTest::newRow("another game")
        << "TU_OTHER" << 1
        << "The file you chose, TU_OTHER, is a title update of another game (Skyward "
           "Racer, title ID 4D5307E6), not of Ironmere IV." +
               needed;
    QTest::newRow("no default.xexp")
        << "TU_EMPTY" << 2
        << "The file you chose, TU_EMPTY, is a title update without the game's patch "
           "in it (no default.xexp)." +
               needed;
    QTest::newRow("changed patch.cpk") << "TU_CHANGED" << 3
                                       << "The file you chose, TU_CHANGED, is title update 3, but its file "
                                          "patch.cpk is missing or changed: a "
                                          "damaged copy. Copy it from your console again.";
    QTest::newRow("no patch.cpk")
        << "TU_HALF" << 4
        << "The file you chose, TU_HALF, is title update 3, but its file patch.cpk is missing or changed: a "
           "damaged copy. Copy it from your console again.";
    QTest::newRow("older update") << "TU_ORX_0001O2" << 5
                                  << "The file you chose, TU_ORX_0001O2, is title update 1." + needed;
    QTest::newRow("not a package") << "notes.txt" << 6 << QString(); // the reader's words, checked below
    QTest::newRow("not a patch")
        << "TU_NOPATCH" << 7
        << "The file you chose, TU_NOPATCH, is a title update whose default.xexp is not a "
           "patch of the game (no delta patch in it)." +
               needed;
}

void TestBuildCheck::updateRefusals()
{
    QFETCH(QString, fileName);
    QFETCH(int, variant);
    QFETCH(QString, expected);
    BuildTestEnv env;
    const QString path = env.path(fileName);
    PackageSpec spec = demoUpdateSpec();
    switch (variant) {
    case 0:
        spec.magic = "CON ";
        spec.contentType = 0x1;
        break;
    case 1:
        spec.titleId = 0x4D5307E6;
        spec.titleName = QStringLiteral("Skyward Racer");
        break;
    case 2:
        spec.files.remove(QStringLiteral("default.xexp"));
        break;
    case 3:
        spec.files[QStringLiteral("patch.cpk")][100] =
            char(spec.files[QStringLiteral("patch.cpk")][100] ^ 0x55);
        break;
    case 4:
        spec.files.remove(QStringLiteral("patch.cpk"));
        break;
    case 5:
        QVERIFY(QFile::copy(demoOlderUpdate(), path));
        break;
    case 6:
        writeFile(path, QByteArray("these are not the files you are looking for\n").repeated(200));
        break;
    }
    if (variant == 7) {
        // A disc's own default.xex put where the patch belongs: a real executable, but no delta patch.
        x360::Disc disc;
        QString error;
        QVERIFY(disc.open(demoImage(), &error));
        QVERIFY(disc.read(*disc.find(QStringLiteral("default.xex")),
                          &spec.files[QStringLiteral("default.xexp")], &error));
    }
    if (variant != 5 && variant != 6)
        writePackage(path, spec);

    const BuildCheck result = check(env, {demoImage(), path, {}});
    QVERIFY(!result.ok);
    QVERIFY(result.needsUpdate);
    QVERIFY(result.xexpBytes.isEmpty());
    QVERIFY(result.patchBytes.isEmpty());
    if (variant == 6) {
        x360::Package package;
        QString readerError;
        QVERIFY(!package.open(path, &readerError));
        expected =
            QStringLiteral("The file you chose, notes.txt, is not a title update: %1").arg(readerError) +
            paragraph + demoGame().updateNeededText();
    }
    QCOMPARE(result.error, expected);
}

void TestBuildCheck::discRefusals_data()
{
    QTest::addColumn<int>("variant");
    QTest::addColumn<QString>("expectedStart");

    QTest::newRow("not extracted") << 0 << "Choose your disc image (step 1): the disc is not extracted yet.";
    QTest::newRow("not a disc") << 1 << "This is not an Xbox 360 disc image (no Xbox file system in it).";
    QTest::newRow("no default.xex") << 2
                                    << "The disc image has no default.xex: it is not an Xbox 360 game disc.";
    QTest::newRow("another executable") << 3 << "This disc is a modified copy of Ironmere IV";
    QTest::newRow("extracted but empty")
        << 4 << "Choose your disc image (step 1): the disc is not extracted yet.";
}

void TestBuildCheck::discRefusals()
{
    QFETCH(int, variant);
    QFETCH(QString, expectedStart);
    BuildTestEnv env;
    QString image;
    x360::Disc demo;
    QString error;
    QVERIFY(demo.open(demoImage(), &error));
    QByteArray xex;
    QVERIFY(demo.read(*demo.find(QStringLiteral("default.xex")), &xex, &error));
    if (variant == 1) {
        image = env.path(QStringLiteral("holiday.iso"));
        writeFile(image, QByteArray(300 * 1024, 'x'));
    } else if (variant == 2) {
        image = writeDisc(env.path(QStringLiteral("nogame.iso")), {{QStringLiteral("readme.txt"), "hello"}});
    } else if (variant == 3) {
        xex[xex.size() - 1] = char(xex.back() ^ 1);
        image = writeDisc(env.path(QStringLiteral("modified.iso")), {{QStringLiteral("default.xex"), xex}});
    } else if (variant == 4) {
        writeFile(QDir(env.folders().disc).filePath(QStringLiteral("default.xex")), QByteArray());
    }
    const BuildCheck result = check(env, {image, demoUpdate(), {}});
    QVERIFY(!result.ok);
    QVERIFY(!result.needsUpdate);
    QVERIFY2(result.error.startsWith(expectedStart), qPrintable(result.error));
    if (variant == 3)
        QCOMPARE(result.error, demoGame().checkExecutable(xex));
}

void TestBuildCheck::dlcOfAnotherGame()
{
    BuildTestEnv env;
    PackageSpec other;
    other.contentType = 0x2;
    other.titleId = 0x4D5307E6;
    other.files.insert(QStringLiteral("content/car.bin"), QByteArray(5000, 'c'));
    const QString otherDlc = writePackage(env.path(QStringLiteral("Racer DLC #2")), other);
    PackageSpec theme = other;
    theme.contentType = 0x30000;
    theme.titleId = 0x5D3A0F21;
    const QString themePackage = writePackage(env.path(QStringLiteral("THEME")), theme);

    BuildCheck result = check(env, {demoImage(), demoUpdate(), {demoDlc(), otherDlc}});
    QVERIFY(!result.ok);
    QVERIFY(!result.needsUpdate);
    QCOMPARE(result.error, QStringLiteral("Racer DLC #2 is not Ironmere IV downloadable content: it is a "
                                          "downloadable content package of title ID 4D5307E6."));
    result = check(env, {demoImage(), demoUpdate(), {themePackage}});
    QCOMPARE(result.error,
             QStringLiteral("THEME is not Ironmere IV downloadable content: it is a theme package "
                            "of title ID 5D3A0F21."));
}

void TestBuildCheck::updateInPlace_data()
{
    QTest::addColumn<int>("variant");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("expected");
    const QString needed = paragraph + demoGame().updateNeededText();
    QTest::newRow("in place") << 0 << true << QString();
    QTest::newRow("xexp missing") << 1 << false
                                  << "Choose title update 3 in step 2: it is not in place yet." + needed;
    QTest::newRow("patch missing") << 2 << false
                                   << "Choose title update 3 in step 2: it is not in place yet." + needed;
    QTest::newRow("patch changed")
        << 3 << false
        << "The title update on this PC is not complete: its file patch.cpk is not title "
           "update 3's." +
               needed;
    QTest::newRow("older xexp") << 4 << false << "The title update on this PC is title update 1." + needed;
}

void TestBuildCheck::updateInPlace()
{
    QFETCH(int, variant);
    QFETCH(bool, ok);
    QFETCH(QString, expected);
    BuildTestEnv env;
    const BuildFolders folders = env.folders();
    // An extracted disc (only its executable matters to the check) and the update in place.
    x360::Disc demo;
    QString error;
    QVERIFY(demo.open(demoImage(), &error));
    QByteArray xex;
    QVERIFY(demo.read(*demo.find(QStringLiteral("default.xex")), &xex, &error));
    writeFile(QDir(folders.disc).filePath(QStringLiteral("default.xex")), xex);
    const QString xexpPath = QDir(folders.disc).filePath(QStringLiteral("default.xexp"));
    const QString patchPath = QDir(folders.update).filePath(QStringLiteral("patch.cpk"));
    writeFile(xexpPath, demoXexp());
    writeFile(patchPath, demoPatch());
    if (variant == 1)
        QFile::remove(xexpPath);
    if (variant == 2)
        QFile::remove(patchPath);
    if (variant == 3)
        writeFile(patchPath, demoPatch().left(1000));
    if (variant == 4) {
        x360::Package older;
        QByteArray olderXexp;
        QVERIFY(older.open(demoOlderUpdate(), &error));
        QVERIFY(older.read(*older.find(QStringLiteral("default.xexp")), &olderXexp, &error));
        writeFile(xexpPath, olderXexp);
        QCOMPARE(sha1(olderXexp), demoGame().olderTitleUpdates.value(0).xexpSha1);
    }

    const BuildCheck result = check(env, {});
    QCOMPARE(result.ok, ok);
    QCOMPARE(result.needsUpdate, !ok);
    QVERIFY(!result.extractDisc);
    QCOMPARE(result.discFiles, 0);
    QCOMPARE(result.error, expected);
    if (ok) {
        QCOMPARE(
            result.lines.first(),
            QStringLiteral("Disc: already extracted in %1.").arg(QDir::toNativeSeparators(folders.disc)));
        QCOMPARE(result.lines.last(), QStringLiteral("Title update: title update 3 already in place."));
        QVERIFY(result.xexpBytes.isEmpty());
    }
}

int runBuildCheckTests(int argc, char **argv)
{
    TestBuildCheck tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_buildcheck.moc"
