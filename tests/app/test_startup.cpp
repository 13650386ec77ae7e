#include "launcherproc.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

using namespace testutil;

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void helpListsOptionsInOrder()
    {
        QProcess p;
        p.start(binary(QStringLiteral("orx-launcher")), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(scaled(30000)));
        QCOMPARE(p.exitCode(), 0);
        const QString help = QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY(help.contains(QStringLiteral("Orvex Rovivi launcher")));
        const QStringList order{"--config <ini>",
                                "--server <address>",
                                "--fingerprint <hex>",
                                "--user <name>",
                                "--password-env <var>",
                                "--register",
                                "--play",
                                "--queue <casual|ranked>",
                                "--game <id>",
                                "--mode <id>",
                                "--character <id>",
                                "--page <play|build|settings|support>",
                                "--auto-accept <seconds>",
                                "--cancel-search <seconds>",
                                "--local-test",
                                "--extract <image>",
                                "--lobby <host|join|watch>",
                                "--lobby-name <name>",
                                "--lobby-code-file <path>",
                                "--lobby-matches <n>",
                                "--leave-lobby ",
                                "--leave-lobby-in-match <seconds>",
                                "--koth",
                                "--rate <n>",
                                "--snap-dir <folder>",
                                "--upnp-probe",
                                "--rematches <n>",
                                "--rematch-choice <choices>",
                                "--leave-series",
                                "--lobby-own-first",
                                "--updated <version>",
                                "--auto-update",
                                "--drop-at-result <seconds>"};
        QCOMPARE(order.size(), 33);
        qsizetype at = help.indexOf(QStringLiteral("--version"));
        QVERIFY(at > 0);
        for (const QString &option : order) {
            const qsizetype next = help.indexOf(option, at);
            QVERIFY2(next > at, qPrintable(option));
            at = next;
        }

        QProcess bad;
        bad.start(binary(QStringLiteral("orx-launcher")), {QStringLiteral("--no-such-option")});
        QVERIFY(bad.waitForFinished(scaled(30000)));
        QVERIFY(bad.exitCode() != 0);
    }

    void normalRunLogsStartAndExit()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("a/orx-launcher.ini"));
        QVERIFY(writeAll(ini, "[online]\nkoth=true\nregion=na\n[ui]\ncasual\\mode=versus\n"));
        LauncherProcess launcher(ini);
        launcher.start({QStringLiteral("--game"), QStringLiteral("tekken")});
        QVERIFY(launcher.waitForLogStartingWith(QStringLiteral("tls backend ")));
        QCOMPARE(launcher.terminate(), 0);
        const QStringList lines = launcher.logLines();
        QCOMPARE(lines.value(0), QStringLiteral("launcher 0.1.8 starting, settings %1").arg(ini));
        QCOMPARE(
            lines.value(1),
            QStringLiteral("settings: took out what this version no longer uses: online/koth, ui/casual"));
        QVERIFY(
            QRegularExpression(QStringLiteral("^tls backend \\S+, .+$")).match(lines.value(2)).hasMatch());
        QVERIFY(lines.contains(QStringLiteral("cli: --game tekken is not a game here; orx is the only one")));
        QCOMPARE(lines.last(), QStringLiteral("launcher exiting (0)"));
        QVERIFY(lines.filter(QStringLiteral("upnp:")).isEmpty());
        QSettings after(ini, QSettings::IniFormat);
        QVERIFY(!after.contains(QStringLiteral("online/koth")));
        QCOMPARE(after.value(QStringLiteral("online/region")).toString(), QStringLiteral("na"));
        QCOMPARE(after.value(QStringLiteral("ui/page")).toString(), QStringLiteral("play"));
    }

    void oneLauncherPerSettingsFile()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("orx-launcher.ini"));
        LauncherProcess first(ini);
        first.start();
        QVERIFY(first.waitForLogStartingWith(QStringLiteral("tls backend ")));

        LauncherProcess second(ini);
        second.start();
        QVERIFY(second.process().waitForFinished(scaled(30000)));
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(QString::fromUtf8(second.process().readAllStandardError())
                    .contains(QStringLiteral(
                        "Orvex Rovivi: Orvex Rovivi is already running with these settings.")));
        QVERIFY(first.running());
        // The second one wrote only its first line: no "tls backend", no exit line.
        QCOMPARE(first.logLines().filter(QStringLiteral("tls backend")).size(), 1);
        QCOMPARE(first.logLines().filter(QStringLiteral("starting, settings")).size(), 2);

        // Another settings file runs beside it.
        LauncherProcess other(dir.filePath(QStringLiteral("other/orx-launcher.ini")));
        other.start();
        QVERIFY(other.waitForLogStartingWith(QStringLiteral("tls backend ")));
        QCOMPARE(other.terminate(), 0);
        QCOMPARE(first.terminate(), 0);
    }

    void updatedWaitsForTheOldLauncher_data()
    {
        QTest::addColumn<bool>("updated");
        QTest::newRow("started by an update") << true;
        QTest::newRow("started by hand") << false;
    }

    void updatedWaitsForTheOldLauncher()
    {
        QFETCH(bool, updated);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("orx-launcher.ini"));
        LauncherProcess old(ini);
        old.start();
        QVERIFY(old.waitForLogStartingWith(QStringLiteral("tls backend ")));
        LauncherProcess fresh(ini);
        fresh.start(updated ? QStringList{QStringLiteral("--updated"), QStringLiteral("0.1.7")}
                            : QStringList());
        // Its first line is written just before it tries the lock.
        QVERIFY(
            waitFor([&] { return old.logLines().filter(QStringLiteral("starting, settings")).size() == 2; }));
        QElapsedTimer trying;
        trying.start();
        const QString alreadyRunning = QStringLiteral("Orvex Rovivi is already running with these settings.");

        if (!updated) {
            // Started by hand, it gives up by itself while the old launcher still runs.
            QVERIFY(fresh.process().waitForFinished(scaled(30000)));
            QCOMPARE(fresh.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(fresh.process().exitCode(), 0);
            QVERIFY(QString::fromUtf8(fresh.process().readAllStandardError()).contains(alreadyRunning));
            QVERIFY(old.running());
            QCOMPARE(old.terminate(), 0);
            QCOMPARE(old.logLines().filter(QStringLiteral("tls backend")).size(), 1);
            return;
        }

        // The old launcher stays well beyond the 200 ms of a start by hand before it closes.
        QTest::qWait(int(qMax<qint64>(0, 1200 - trying.elapsed())));
        QVERIFY(fresh.running());
        QCOMPARE(old.terminate(), 0);
        // Then the new one takes the lock and runs normally.
        QVERIFY(
            waitFor([&] { return old.logLines().filter(QStringLiteral("tls backend")).size() == 2; }, 30000));
        QVERIFY(fresh.running());
        QCOMPARE(fresh.terminate(), 0);
        QVERIFY(!QString::fromUtf8(fresh.process().readAllStandardError()).contains(alreadyRunning));
        QCOMPARE(old.logLines().last(), QStringLiteral("launcher exiting (0)"));
    }

    // Only another launcher's lock means "already running": a lock file that cannot be made at all
    // leaves a normal run without the guard, said once on standard error.
    void lockFileThatCannotBeMade_data()
    {
        QTest::addColumn<bool>("readOnlyFolder");
        QTest::newRow("settings folder not writable") << true;
        QTest::newRow("lock file name too long") << false;
    }

    void lockFileThatCannotBeMade()
    {
        QFETCH(bool, readOnlyFolder);
        if (readOnlyFolder && !isRoot())
            QSKIP("needs root to run the launcher as another user in a folder that user cannot write");
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        // The settings folder is root's. In the second case the lock file's name is longer than the
        // file system takes, while the settings file and its save and lock files still fit.
        const QString folder = dir.filePath(QStringLiteral("settings"));
        QVERIFY(QDir().mkpath(folder));
        const QString ini =
            folder + u'/' +
            (readOnlyFolder ? QStringLiteral("orx-launcher.ini") : QString(244, u'o') + ".ini");
        // The user's own folder: home, runtime folder and the page picture that shows the window is up.
        const QString own = dir.filePath(QStringLiteral("own"));
        QVERIFY(QDir().mkpath(own));
        QVERIFY(::chmod(QFile::encodeName(own).constData(), 0700) == 0);
        LauncherProcess launcher(ini);
        if (readOnlyFolder) {
            QVERIFY(::chown(QFile::encodeName(own).constData(), 65534, 65534) == 0);
            launcher.wrapper = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                           QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
        }
        launcher.env().insert(QStringLiteral("HOME"), own);
        launcher.env().insert(QStringLiteral("XDG_RUNTIME_DIR"), own);
        const QString snap = own + QStringLiteral("/snaps/page-settings.png");
        launcher.start({QStringLiteral("--page"), QStringLiteral("settings"), QStringLiteral("--snap-dir"),
                        QFileInfo(snap).absolutePath()});
        QVERIFY(launcher.process().waitForStarted(scaled(30000)));
        QVERIFY(waitFor([&] { return QFileInfo::exists(snap) || !launcher.running(); }, 60000));
        QVERIFY(launcher.running());
        QCOMPARE(launcher.terminate(), 0);

        const QString err = QString::fromLocal8Bit(launcher.process().readAllStandardError());
        const QString note =
            readOnlyFolder
                ? QStringLiteral(
                      "orx-launcher: The folder %1 cannot be written, so this launcher runs without a "
                      "log file, does not check for another launcher with these settings, and cannot "
                      "save changed settings.\n")
                      .arg(folder)
                : QStringLiteral(
                      "orx-launcher: The lock file %1.instance could not be created, so this launcher "
                      "does not check for another launcher with these settings.\n")
                      .arg(ini);
        QVERIFY2(err.count(note) == 1, qPrintable(err));
        QVERIFY2(!err.contains(QStringLiteral("already running")), qPrintable(err));
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral(".instance")));
        const QString page = QSettings(ini, QSettings::IniFormat).value(QStringLiteral("ui/page")).toString();
        if (readOnlyFolder) {
            // Nothing could be written there: no log, and the settings stay as they were.
            QVERIFY(!QFileInfo::exists(launcher.logPath()));
            QCOMPARE(page, QString());
        } else {
            QCOMPARE(page, QStringLiteral("settings"));
            QCOMPARE(launcher.logLines().value(0),
                     QStringLiteral("launcher 0.1.8 starting, settings %1").arg(ini));
            QCOMPARE(launcher.logLines().last(), QStringLiteral("launcher exiting (0)"));
        }
    }

    void lockOfADeadProcessIsTakenOver()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("orx-launcher.ini"));
        QProcess gone;
        gone.start(QStringLiteral("true"), QStringList());
        QVERIFY(gone.waitForFinished());
        const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
        QProcess host;
        host.start(QStringLiteral("hostname"), QStringList());
        QVERIFY(host.waitForFinished());
        const QByteArray hostname = host.readAllStandardOutput().trimmed();
        // The lock file's own format: pid, application name, host name.
        QVERIFY(writeAll(ini + QStringLiteral(".instance"),
                         QByteArray::number(deadPid) + "\norx-launcher\n" + hostname + "\n"));
        LauncherProcess launcher(ini);
        launcher.start();
        QVERIFY(launcher.waitForLogStartingWith(QStringLiteral("tls backend ")));
        QCOMPARE(launcher.terminate(), 0);
    }

    void pageOptionOpensStoresAndSnaps()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("orx-launcher.ini"));
        LauncherProcess launcher(ini);
        launcher.start({QStringLiteral("--page"), QStringLiteral("settings"), QStringLiteral("--snap-dir"),
                        dir.filePath(QStringLiteral("snaps"))});
        const QString png = dir.filePath(QStringLiteral("snaps/page-settings.png"));
        QVERIFY(launcher.waitForLog(QStringLiteral("snap: %1 saved (window 1180x820)").arg(png)));
        QCOMPARE(launcher.terminate(), 0);
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value(QStringLiteral("ui/page")).toString(),
                 QStringLiteral("settings"));
        QVERIFY(QImage(png).width() == 1180);

        // An unknown page name opens the Play page.
        LauncherProcess unknown(ini);
        unknown.start({QStringLiteral("--page"), QStringLiteral("nowhere")});
        QVERIFY(waitFor([&] {
            return QSettings(ini, QSettings::IniFormat).value(QStringLiteral("ui/page")).toString() ==
                   QLatin1String("play");
        }));
        QCOMPARE(unknown.terminate(), 0);
    }

    void missingGameDataEndsWithCode1()
    {
        QTemporaryDir dir;
        LauncherProcess launcher(dir.filePath(QStringLiteral("orx-launcher.ini")));
        const QString missing = dir.filePath(QStringLiteral("nowhere/orx.json"));
        launcher.env().insert(QStringLiteral("ORX_GAME_DEFINITION"), missing);
        launcher.start();
        QVERIFY(launcher.process().waitForFinished(scaled(30000)));
        QCOMPARE(launcher.process().exitCode(), 1);
        QVERIFY(QString::fromUtf8(launcher.process().readAllStandardError())
                    .contains(QStringLiteral("dialog: Orvex Rovivi: missing game data %1").arg(missing)));
        QVERIFY(launcher.logLines().filter(QStringLiteral("tls backend")).isEmpty());

        // A damaged definition is refused the same way, with the parser's words.
        QVERIFY(writeAll(missing, "{\"games\": [ {\"id\": "));
        LauncherProcess damaged(dir.filePath(QStringLiteral("orx-launcher.ini")));
        damaged.env().insert(QStringLiteral("ORX_GAME_DEFINITION"), missing);
        damaged.start();
        QVERIFY(damaged.process().waitForFinished(scaled(30000)));
        QCOMPARE(damaged.process().exitCode(), 1);
        QVERIFY(QString::fromUtf8(damaged.process().readAllStandardError())
                    .contains(QStringLiteral("dialog: Orvex Rovivi: ")));
    }

    void unwritableLauncherFolderUsesPerUserFolder()
    {
        if (!isRoot())
            QSKIP("needs root to run the launcher as another user from a folder it cannot write");
        // A copy of the launcher in a folder only root may write, run as "nobody".
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        const QString appDir = dir.filePath(QStringLiteral("app"));
        QVERIFY(QDir().mkpath(appDir));
        const QString exe = appDir + QStringLiteral("/orx-launcher");
        QVERIFY(QFile::copy(binary(QStringLiteral("orx-launcher")), exe));
        const QString home = dir.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(home));
        QVERIFY(::chown(QFile::encodeName(home).constData(), 65534, 65534) == 0);

        // The router is left alone through a defaults file beside the copied launcher.
        QVERIFY(writeAll(appDir + QStringLiteral("/defaults.ini"), "[online]\nupnp=false\n"));
        LauncherProcess launcher{QString()};
        launcher.env().insert(QStringLiteral("HOME"), home);
        launcher.env().insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        launcher.env().insert(QStringLiteral("XDG_RUNTIME_DIR"), home);
        launcher.start({QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                        QStringLiteral("--clear-groups"), exe},
                       QStringLiteral("setpriv"));
        const QString userDir = home + QStringLiteral("/data/ORX/ORX Rovivi");
        const QString log = userDir + QStringLiteral("/orx-launcher.log");
        QVERIFY(waitFor([&] {
            return LauncherProcess::logLinesOf(log).filter(QStringLiteral("tls backend")).size() == 1;
        }));
        QCOMPARE(LauncherProcess::logLinesOf(log).value(0),
                 QStringLiteral("launcher 0.1.8 starting, settings %1/orx-launcher.ini").arg(userDir));
        QCOMPARE(launcher.terminate(), 0);
        QVERIFY(LauncherProcess::logLinesOf(log).filter(QStringLiteral("upnp:")).isEmpty());
        QVERIFY(!QFileInfo::exists(appDir + QStringLiteral("/.write-test")));
        QVERIFY(!QFileInfo::exists(userDir + QStringLiteral("/.write-test")));
        QVERIFY(!QFileInfo::exists(appDir + QStringLiteral("/orx-launcher.ini")));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
