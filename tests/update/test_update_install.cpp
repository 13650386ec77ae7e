// The updater after a good download: unpacking with the system's tools and its check, the install
// with its set-aside files and roll-back, the restart of the new launcher, and the clean-up of what
// an install set aside. Real archives made with bsdtar, served by a release host on loopback.

#include "platform/unpack.h"
#include "releasehost.h"
#include "releasekit.h"
#include "update/updater.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

class TestUpdateInstall : public QObject {
    Q_OBJECT
private slots:
    void unpacking_data();
    void unpacking();
    void installReplacesAndRestarts();
    void launcherThatDoesNotStart();
    void installTwiceWithoutRestart();
    void rollBack();
    void cleanUp_data();
    void cleanUp();
    void cleanUpRetriesWhatIsInUse();
    void cleanUpLeavesAnActiveUpdateAlone();

private:
    // Serves `files` as a release and waits until the updater is ready or failed.
    bool prepare(kit::Case &c, Updater &updater, const QMap<QString, QByteArray> &files,
                 const QString &version = kit::newVersion);
    bool prepareBytes(Updater &updater, const QByteArray &zip, const QString &version = kit::newVersion);
    std::unique_ptr<ReleaseHost> m_host;
    std::unique_ptr<QSignalSpy> m_ready, m_failed;
};

bool TestUpdateInstall::prepare(kit::Case &c, Updater &updater, const QMap<QString, QByteArray> &files,
                                const QString &version)
{
    const QByteArray zip = kit::zipOf(c.dir->filePath(QStringLiteral("work")), files);
    if (zip.isEmpty())
        return false;
    return prepareBytes(updater, zip, version);
}

bool TestUpdateInstall::prepareBytes(Updater &updater, const QByteArray &zip, const QString &version)
{
    m_host = std::make_unique<ReleaseHost>();
    m_host->routes.insert("/release.zip", HostRoute{200, zip});
    m_ready = std::make_unique<QSignalSpy>(&updater, &Updater::readyToInstall);
    m_failed = std::make_unique<QSignalSpy>(&updater, &Updater::failed);
    updater.start(kit::offer(zip, m_host->url("/release.zip"), version));
    return testutil::waitFor([&] { return m_ready->size() + m_failed->size() > 0; }, 60000);
}

namespace {
QStringList lines(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The stand-in launcher an install started has run (and its record is taken away for the next).
bool launcherRan(const kit::Case &c)
{
    const QString started = QDir(c.app).filePath(QStringLiteral("started.txt"));
    return testutil::waitFor([&] { return QFile::exists(started); }) && QFile::remove(started);
}
} // namespace

void TestUpdateInstall::unpacking_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("logged");
    QTest::addColumn<bool>("ready");
    QTest::newRow("good") << "good" << QStringList() << true;
    QTest::newRow("byte order mark") << "bom" << QStringList() << true;
    QTest::newRow("no bsdtar on PATH: unzip does it")
        << "no bsdtar" << QStringList{"update: unpacking with bsdtar failed (exit -1)"} << true;
    const QStringList both{"update: unpacking with bsdtar failed (exit 0)",
                           "update: unpacking with unzip failed (exit 0)"};
    QTest::newRow("VERSION.txt of another version") << "other version" << both << false;
    QTest::newRow("VERSION.txt in other letters") << "other case" << both << false;
    QTest::newRow("no launcher") << "no launcher" << both << false;
    QTest::newRow("not a zip archive") << "not a zip"
                                       << QStringList{"update: unpacking with bsdtar failed (exit 1)",
                                                      "update: unpacking with unzip failed (exit 9)"}
                                       << false;
}

void TestUpdateInstall::unpacking()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, logged);
    QFETCH(bool, ready);
    kit::Case c;
    auto files = kit::releaseFiles();
    if (kind == "bom")
        files["VERSION.txt"] = "\xEF\xBB\xBF" + kit::versionLine(kit::newVersion);
    if (kind == "other version")
        files["VERSION.txt"] = kit::versionLine("0.2.1");
    if (kind == "other case")
        files["VERSION.txt"] = "orx-rovivi 0.2.0, packaged 2026-12-01\n";
    if (kind == "no launcher")
        files.remove("orx-launcher");
    QByteArray zip;
    if (kind != "not a zip") {
        zip = kit::zipOf(c.dir->filePath("work"), files);
        QVERIFY(!zip.isEmpty());
    }
    QString oldPath;
    if (kind == "no bsdtar") {
        // A PATH with unzip alone.
        oldPath = qEnvironmentVariable("PATH");
        const QString bin = c.dir->filePath("bin");
        QDir().mkpath(bin);
        QVERIFY(QFile::link(QStandardPaths::findExecutable("unzip"), bin + "/unzip"));
        qputenv("PATH", bin.toLocal8Bit());
    }
    const auto restorePath = qScopeGuard([&] {
        if (!oldPath.isEmpty())
            qputenv("PATH", oldPath.toLocal8Bit());
    });
    const auto before = kit::folderState(c.app);
    Updater updater;
    QSignalSpy progress(&updater, &Updater::progress);
    QVERIFY(prepareBytes(updater, kind == "not a zip" ? kit::randomBytes(5000) : zip));
    const QString log = c.log();
    for (const QString &line : logged)
        QVERIFY2(log.contains(line), qPrintable(log));
    QCOMPARE(log.count("unpacking with"), logged.size());
    QVERIFY(progress.contains(QVariantList{"Unpacking 0.2.0...", -1}));
    const QString stage = c.update("stage/ORX-Rovivi");
    if (ready) {
        QCOMPARE(m_ready->size(), 1);
        QVERIFY(updater.isReady());
        QCOMPARE(progress.last(), (QVariantList{"0.2.0 is ready to install.", 100}));
        // The launcher can run, whatever the archive said.
        QVERIFY(QFileInfo(stage + "/orx-launcher").isExecutable());
        QCOMPARE(testutil::readAll(stage + "/games/orx/data.bin"), QByteArray("new data"));
    } else {
        QCOMPARE(m_failed->size(), 1);
        QCOMPARE(m_failed->first().at(0).toString(),
                 QStringLiteral("Could not unpack the release. Nothing was changed."));
        QVERIFY(!updater.isActive());
        QVERIFY(!QFile::exists(c.update("stage")));
        QVERIFY(!QFile::exists(c.update("ORX-Rovivi-0.2.0.zip")));
    }
    QCOMPARE(kit::folderState(c.app), before);
}

void TestUpdateInstall::installReplacesAndRestarts()
{
    kit::Case c;
    auto files = kit::releaseFiles();
    files.insert(".hidden-setting", "hidden");
    files.insert("games/orx/.keep", "nested and hidden");
    files.insert("plugins/deep/new.dll", "a new folder");
    testutil::writeAll(QDir(c.app).filePath("orx-launcher.ini.example"), "stays");
    Updater updater;
    QSignalSpy progress(&updater, &Updater::progress);
    QSignalSpy installed(&updater, &Updater::installed);
    QVERIFY(prepare(c, updater, files));
    QCOMPARE(m_ready->size(), 1);
    updater.install();
    QCOMPARE(installed.size(), 1);
    QCOMPARE(installed.first(), (QVariantList{"0.2.0", true}));
    QVERIFY(progress.contains(QVariantList{"Installing 0.2.0...", -1}));
    QVERIFY(!updater.isActive());

    // Every file of the release in place; the old ones set aside beside them.
    for (auto it = files.begin(); it != files.end(); ++it)
        QCOMPARE(testutil::readAll(QDir(c.app).filePath(it.key())), it.value());
    const QStringList replaced{"VERSION.txt", "games/orx/data.bin", "games/orx/orx.exe", "orx-launcher",
                               "translations/orx_de.qm"};
    const auto old = kit::installedFiles();
    QStringList expected;
    for (const QString &rel : replaced) {
        const QString aside = QDir(c.app).filePath(rel + ".orx-old");
        QCOMPARE(testutil::readAll(aside), old.value(rel));
        expected << aside;
    }
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("orx-launcher.ini.example")), QByteArray("stays"));
    QStringList listed = lines(testutil::readAll(c.update("old-files.txt")));
    listed.sort();
    expected.sort();
    QCOMPARE(listed, expected);
    QVERIFY(!QFile::exists(c.update("stage")));
    QVERIFY(!QFile::exists(c.update("ORX-Rovivi-0.2.0.zip")));
    QVERIFY(c.log().contains("update: 0.2.0 installed (5 files replaced), starting it"));
    QVERIFY(!c.log().contains("did not start"));

    // The new launcher: told what it replaced and which settings to use, in the application folder.
    const QString started = QDir(c.app).filePath("started.txt");
    QVERIFY(testutil::waitFor([&] { return QFile::exists(started); }));
    QCOMPARE(lines(testutil::readAll(started)),
             QStringList({"--updated", "0.1.8", "--config", cfg::settingsPath(), "cwd=" + c.app}));
    QCOMPARE(cfg::settingsPath(), c.config);

    // At its start, it deletes what was set aside.
    updater.cleanUpOldFiles();
    for (const QString &aside : std::as_const(expected))
        QVERIFY(!QFile::exists(aside));
    QVERIFY(!QFile::exists(c.update()));
    QVERIFY(c.log().contains("update: 5 old file(s) deleted"));
}

void TestUpdateInstall::launcherThatDoesNotStart()
{
    kit::Case c;
    auto files = kit::releaseFiles();
    files["orx-launcher"] = "#!/nonexistent/interpreter\n";
    Updater updater;
    QSignalSpy installed(&updater, &Updater::installed);
    QVERIFY(prepare(c, updater, files));
    updater.install();
    QCOMPARE(installed.size(), 1);
    QCOMPARE(installed.first(), (QVariantList{"0.2.0", false}));
    QVERIFY(c.log().contains("update: the new launcher did not start"));
    // Installed all the same: the player starts it by hand.
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("orx-launcher")), files["orx-launcher"]);
}

void TestUpdateInstall::installTwiceWithoutRestart()
{
    kit::Case c;
    const QString launcher = QDir(c.app).filePath("orx-launcher");
    {
        Updater updater;
        QVERIFY(prepare(c, updater, kit::releaseFiles()));
        updater.install();
        QVERIFY(launcherRan(c));
    }
    QCOMPARE(testutil::readAll(launcher + ".orx-old"), kit::installedFiles().value("orx-launcher"));
    // Again: ".orx-old" is taken but deletable, and reused.
    auto second = kit::releaseFiles("0.2.1");
    second["games/orx/data.bin"] = "data of 0.2.1";
    {
        Updater updater;
        QVERIFY(prepare(c, updater, second, "0.2.1"));
        updater.install();
        QVERIFY(launcherRan(c));
    }
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("games/orx/data.bin.orx-old")), QByteArray("new data"));
    QVERIFY(!QFile::exists(launcher + ".orx-old2"));
    if (!testutil::isRoot())
        QSKIP("an undeletable set-aside file needs the immutable flag (root)");
    // Once more with ".orx-old" undeletable: the next free name.
    kit::Immutable locked(QDir(c.app).filePath("games/orx/data.bin.orx-old"));
    if (!locked.on())
        QSKIP("this file system keeps no immutable flag");
    auto third = kit::releaseFiles("0.2.2");
    third["games/orx/data.bin"] = "data of 0.2.2";
    {
        Updater updater;
        QVERIFY(prepare(c, updater, third, "0.2.2"));
        updater.install();
        QVERIFY(launcherRan(c));
    }
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("games/orx/data.bin.orx-old")), QByteArray("new data"));
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("games/orx/data.bin.orx-old2")),
             QByteArray("data of 0.2.1"));
    QCOMPARE(testutil::readAll(QDir(c.app).filePath("games/orx/data.bin")), QByteArray("data of 0.2.2"));
    const QStringList listed = lines(testutil::readAll(c.update("old-files.txt")));
    QVERIFY(listed.contains(QDir(c.app).filePath("games/orx/data.bin.orx-old2")));
    // The locked one stays listed, so a later start deletes it once it can.
    QVERIFY(listed.contains(QDir(c.app).filePath("games/orx/data.bin.orx-old")));
}

// A file in the middle cannot be replaced: every file goes back, folders the install made go too.
void TestUpdateInstall::rollBack()
{
    kit::Case c;
    auto files = kit::releaseFiles();
    files.insert("a-new/deeper/file.txt", "comes before the locked file");
    files.insert(".hidden", "first of all");
    files.insert("zz-last/after.txt", "never reached");
    Updater updater;
    QVERIFY(prepare(c, updater, files));
    const auto before = kit::folderState(c.app);
    const QString locked = QDir(c.app).filePath("games/orx/data.bin");
    std::unique_ptr<kit::Immutable> immutable;
    std::unique_ptr<kit::ReadOnlyFolder> readOnly;
    QString reason;
    if (testutil::isRoot()) {
        immutable = std::make_unique<kit::Immutable>(locked);
        if (!immutable->on())
            QSKIP("this file system keeps no immutable flag");
        reason = "Operation not permitted";
    } else {
        readOnly = std::make_unique<kit::ReadOnlyFolder>(QDir(c.app).filePath("games/orx"));
        reason = "Permission denied";
    }
    QSignalSpy installed(&updater, &Updater::installed);
    updater.install();
    QCOMPARE(installed.size(), 0);
    QCOMPARE(m_failed->size(), 1);
    const QString error = QStringLiteral("games/orx/data.bin: %1").arg(reason);
    QCOMPARE(m_failed->first().at(0).toString(),
             QStringLiteral(
                 "Could not replace %1. Nothing was changed: try again once nothing uses that file (a game, "
                 "an antivirus scan).")
                 .arg(error));
    QVERIFY(
        c.log().contains(QStringLiteral("update: installing failed at %1; every file put back").arg(error)));
    immutable.reset();
    readOnly.reset();
    QCOMPARE(kit::folderState(c.app), before);
    QVERIFY(!QFile::exists(QDir(c.app).filePath("a-new")));
    QVERIFY(!QFile::exists(c.update("stage")));
    QVERIFY(!QFile::exists(c.update("ORX-Rovivi-0.2.0.zip")));
    QVERIFY(!QFile::exists(c.update("old-files.txt")));
    QVERIFY(!updater.isActive());
}

void TestUpdateInstall::cleanUp_data()
{
    QTest::addColumn<QStringList>("lines"); // %1: the application folder, %2: a folder outside
    QTest::addColumn<QStringList>("deleted");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("set aside, already gone and blank lines")
        << QStringList{"%1/orx-launcher.orx-old", "", "  %1/games/orx/data.bin.orx-old2  ", "%1/gone.orx-old"}
        << QStringList{"orx-launcher.orx-old", "games/orx/data.bin.orx-old2"} << QStringList{}
        << "update: 3 old file(s) deleted";
    QTest::newRow("outside the folder")
        << QStringList{"%2/victim.orx-old"} << QStringList{} << QStringList{"%2/victim.orx-old"}
        << "update: 0 old file(s) deleted";
    QTest::newRow("no .orx-old") << QStringList{"%1/games/orx/data.bin", "%1/orx-launcher.ORX-OLD"}
                                 << QStringList{} << QStringList{"games/orx/data.bin", "orx-launcher.ORX-OLD"}
                                 << "update: 0 old file(s) deleted";
    QTest::newRow("dot-dot out of the folder")
        << QStringList{"%1/../outside/victim.orx-old", "%1/games/../../outside/victim.orx-old"}
        << QStringList{} << QStringList{"%2/victim.orx-old"} << "update: 0 old file(s) deleted";
    QTest::newRow("a folder named like the application folder")
        << QStringList{"%1-other/x.orx-old"} << QStringList{} << QStringList{"%1-other/x.orx-old"}
        << "update: 0 old file(s) deleted";
    QTest::newRow("no list") << QStringList{"(none)"} << QStringList{} << QStringList{}
                             << "update: an unfinished update's files deleted";
}

void TestUpdateInstall::cleanUp()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, deleted);
    QFETCH(QStringList, kept);
    QFETCH(QString, logLine);
    kit::Case c;
    const QString outside = c.dir->filePath("outside");
    auto expand = [&](QString s) { return s.replace("%1", c.app).replace("%2", outside); };
    for (const QString &f : deleted + kept)
        testutil::writeAll(f.startsWith('%') ? expand(f) : QDir(c.app).filePath(f), "x");
    testutil::writeAll(c.update("stage/left/over.txt"), "x");
    if (lines != QStringList{"(none)"}) {
        QStringList text;
        for (const QString &l : lines)
            text << expand(l);
        testutil::writeAll(c.update("old-files.txt"), text.join('\n').toUtf8());
    }
    const auto appBefore = kit::folderState(c.app);
    Updater updater;
    updater.cleanUpOldFiles();
    for (const QString &f : deleted)
        QVERIFY2(!QFile::exists(QDir(c.app).filePath(f)), qPrintable(f));
    for (const QString &f : kept)
        QVERIFY2(QFile::exists(f.startsWith('%') ? expand(f) : QDir(c.app).filePath(f)), qPrintable(f));
    QVERIFY(!QFile::exists(c.update()));
    QVERIFY2(c.log().contains(logLine), qPrintable(c.log()));
    auto after = kit::folderState(c.app);
    for (const QString &f : deleted)
        QVERIFY(appBefore.contains(f) && !after.contains(f));
    QCOMPARE(after.size(), appBefore.size() - deleted.size());
    // Nothing left to do: a second run does nothing and says nothing.
    const QString log = c.log();
    updater.cleanUpOldFiles();
    QCOMPARE(c.log(), log);
}

void TestUpdateInstall::cleanUpRetriesWhatIsInUse()
{
    kit::Case c;
    const QString busy = QDir(c.app).filePath("games/orx/orx.exe.orx-old");
    const QString free = QDir(c.app).filePath("orx-launcher.orx-old");
    testutil::writeAll(busy, "x");
    testutil::writeAll(free, "x");
    testutil::writeAll(c.update("old-files.txt"), (busy + "\n" + free + "\n").toUtf8());
    Updater updater;
    {
        std::unique_ptr<kit::Immutable> immutable;
        std::unique_ptr<kit::ReadOnlyFolder> readOnly;
        if (testutil::isRoot()) {
            immutable = std::make_unique<kit::Immutable>(busy);
            if (!immutable->on())
                QSKIP("this file system keeps no immutable flag");
        } else {
            readOnly = std::make_unique<kit::ReadOnlyFolder>(QDir(c.app).filePath("games/orx"));
        }
        updater.cleanUpOldFiles();
        QVERIFY(QFile::exists(busy));
        QVERIFY(!QFile::exists(free));
        QCOMPARE(testutil::readAll(c.update("old-files.txt")), busy.toUtf8());
        QVERIFY(c.log().contains("update: 1 old file(s) deleted, 1 still in use"));
    }
    // At the next start it can go.
    updater.cleanUpOldFiles();
    QVERIFY(!QFile::exists(busy));
    QVERIFY(!QFile::exists(c.update()));
    QCOMPARE(c.log().count(QRegularExpression("update: 1 old file\\(s\\) deleted$",
                                              QRegularExpression::MultilineOption)),
             1);
}

// The runs after a restart come while a new download may be going on in "update".
void TestUpdateInstall::cleanUpLeavesAnActiveUpdateAlone()
{
    kit::Case c;
    const QString aside = QDir(c.app).filePath("orx-launcher.orx-old");
    testutil::writeAll(aside, "x");
    testutil::writeAll(c.update("old-files.txt"), aside.toUtf8());
    const QByteArray zip = kit::zipOf(c.dir->filePath("work"), kit::releaseFiles());
    ReleaseHost host;
    host.routes.insert("/r.zip", HostRoute{200, zip, {}, -1, zip.size() / 2});
    Updater updater;
    Updater::Timing timing;
    timing.cleanUpAfterRestartMs = {0, 10};
    updater.setTiming(timing);
    updater.start(kit::offer(zip, host.url("/r.zip")));
    const QString part = c.update("ORX-Rovivi-0.2.0.zip.part");
    QVERIFY(testutil::waitFor([&] { return QFileInfo(part).size() == zip.size() / 2; }));
    updater.scheduleCleanUpsAfterRestart();
    QVERIFY(testutil::waitFor([&] { return c.log().count("old file(s) deleted") == 1; }));
    QVERIFY(!QFile::exists(aside));
    QVERIFY(!QFile::exists(c.update("old-files.txt")));
    updater.cleanUpOldFiles(); // the list is gone: this is the no-list case
    QVERIFY(QFile::exists(part));
    QVERIFY(!c.log().contains("an unfinished update's files deleted"));
    // The download carries on to the end.
    QSignalSpy ready(&updater, &Updater::readyToInstall);
    host.release();
    QVERIFY(testutil::waitFor([&] { return ready.size() == 1; }, 30000));
    updater.cancel();
    // Idle again, the same run deletes it all.
    updater.cleanUpOldFiles();
    QVERIFY(!QFile::exists(c.update()));
    QVERIFY(c.log().contains("an unfinished update's files deleted"));
}

QTEST_GUILESS_MAIN(TestUpdateInstall)
#include "test_update_install.moc"
