#include "core/cfg.h"
#include "platform/buildscript.h"
#include "testutil.h"

#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace testutil;

// Each test opens a fresh store on a settings file of its own, with its own "launcher folder".
class TestCfg : public QObject {
    Q_OBJECT
    QTemporaryDir *work = nullptr;
    QString appDir;
    QString ini;

    void open()
    {
        cfg::resetForTesting();
        cfg::setAppDirForTesting(appDir);
        cfg::init(ini);
    }
    // Writes keys straight into the settings file, as an older launcher or the user would.
    void seed(const QVariantMap &values)
    {
        QSettings s(ini, QSettings::IniFormat);
        for (auto it = values.begin(); it != values.end(); ++it)
            s.setValue(it.key(), it.value());
    }

private slots:
    void init()
    {
        work = new QTemporaryDir;
        appDir = work->filePath(QStringLiteral("launcher"));
        QDir().mkpath(appDir);
        ini = work->filePath(QStringLiteral("data/orx-launcher.ini"));
    }
    void cleanup()
    {
        cfg::resetForTesting();
        cfg::setAppDirForTesting(QString());
        delete work;
    }

    void locationFromConfigAndLauncherFolder()
    {
        // --config: the path made absolute, its folder (and "sessions") created.
        const QString nested = work->filePath(QStringLiteral("deep/er/my.conf"));
        cfg::setAppDirForTesting(appDir);
        cfg::init(nested);
        QCOMPARE(cfg::settingsPath(), nested);
        QCOMPARE(cfg::dataDir(), work->filePath(QStringLiteral("deep/er")));
        QVERIFY(QFileInfo(cfg::sessionsDir()).isDir());
        QCOMPARE(cfg::displayFilePath(), work->filePath(QStringLiteral("deep/er/display.txt")));

        // No --config and a writable launcher folder: the file lives there, the probe is gone.
        cfg::resetForTesting();
        cfg::setAppDirForTesting(appDir);
        cfg::init(QString());
        QCOMPARE(cfg::settingsPath(), QDir(appDir).filePath(QStringLiteral("orx-launcher.ini")));
        QVERIFY(!QFileInfo::exists(QDir(appDir).filePath(QStringLiteral(".write-test"))));
    }

    void defaultsFileSitsBetweenBuiltInAndUser()
    {
        QVERIFY(writeAll(QDir(appDir).filePath(QStringLiteral("defaults.ini")),
                         "[online]\nmax_ping=200\nregion=na\n[server]\naddress=tls://play.example:7000\n"));
        seed({{QStringLiteral("online/region"), QStringLiteral("sa")}});
        open();
        QCOMPARE(cfg::maxPing(), 200);                 // from defaults.ini
        QCOMPARE(cfg::region(), QStringLiteral("sa")); // the user's file wins
        QCOMPARE(cfg::serverAddress(), QStringLiteral("tls://play.example:7000"));
        QCOMPARE(cfg::gamePort(), 7001); // built-in
        cfg::set(QStringLiteral("online/max_ping"), 60);
        QCOMPARE(cfg::maxPing(), 60);
        // defaults.ini is never written.
        QVERIFY(!readAll(QDir(appDir).filePath(QStringLiteral("defaults.ini"))).contains("60"));
    }

    void readingRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("expected");
        const auto row = [](const char *name, const char *key, QVariant stored, QVariant expected) {
            QTest::newRow(name) << QString::fromLatin1(key) << stored << expected;
        };
        row("brightness low", "display/brightness", 20, 50);
        row("brightness high", "display/brightness", 500, 200);
        row("brightness ok", "display/brightness", 130, 130);
        row("render scale 0", "display/render_scale", 0, 1);
        row("render scale 9", "display/render_scale", 9, 4);
        row("anisotropic 3", "display/anisotropic", 3, 0);
        row("anisotropic 16", "display/anisotropic", 16, 16);
        row("anti-aliasing other", "display/anti_aliasing", QStringLiteral("msaa"), QStringLiteral("off"));
        row("anti-aliasing case", "display/anti_aliasing", QStringLiteral("FXAA"), QStringLiteral("off"));
        row("anti-aliasing extreme", "display/anti_aliasing", QStringLiteral("fxaa_extreme"),
            QStringLiteral("fxaa_extreme"));
        row("preferred side", "display/preferred_side", QStringLiteral("left"), QStringLiteral("left"));
        row("preferred side other", "display/preferred_side", QStringLiteral("centre"),
            QStringLiteral("off"));
        row("game port as is", "online/game_port", 0, 0);
        row("input delay auto", "online/input_delay", QStringLiteral("auto"), -1);
        row("input delay 7", "online/input_delay", QStringLiteral("7"), 4);
        row("input delay -2", "online/input_delay", QStringLiteral("-2"), 0);
        row("input delay 3", "online/input_delay", 3, 3);
    }
    void readingRules()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        seed({{key, stored}});
        open();
        QVariant got;
        if (key == QLatin1String("display/brightness"))
            got = cfg::brightness();
        else if (key == QLatin1String("display/render_scale"))
            got = cfg::renderScale();
        else if (key == QLatin1String("display/anisotropic"))
            got = cfg::anisotropic();
        else if (key == QLatin1String("display/anti_aliasing"))
            got = cfg::antiAliasing();
        else if (key == QLatin1String("display/preferred_side"))
            got = cfg::preferredSide();
        else if (key == QLatin1String("online/game_port"))
            got = cfg::gamePort();
        else if (key == QLatin1String("online/input_delay"))
            got = cfg::inputDelay();
        QCOMPARE(got.toString(), expected.toString());
    }

    void legacyInputDelay_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("nothing") << QVariantMap() << -1;
        QTest::newRow("manual 2") << QVariantMap{{"online/auto_delay", false}, {"online/delay", 2}} << 2;
        QTest::newRow("manual 9 clamps")
            << QVariantMap{{"online/auto_delay", false}, {"online/delay", 9}} << 4;
        QTest::newRow("auto on") << QVariantMap{{"online/auto_delay", true}, {"online/delay", 2}} << -1;
        QTest::newRow("manual without delay") << QVariantMap{{"online/auto_delay", false}} << -1;
        QTest::newRow("new key wins")
            << QVariantMap{{"online/input_delay", "1"}, {"online/auto_delay", false}, {"online/delay", 3}}
            << 1;
    }
    void legacyInputDelay()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(int, expected);
        seed(stored);
        open();
        QCOMPARE(cfg::inputDelay(), expected);
    }

    void delayTexts()
    {
        QCOMPARE(cfg::delayLabel(-1), QStringLiteral("Auto (from the ping)"));
        QCOMPARE(cfg::delayLabel(0), QStringLiteral("0 frames"));
        QCOMPARE(cfg::delayLabel(1), QStringLiteral("1 frame"));
        QCOMPARE(cfg::delayLabel(3), QStringLiteral("3 frames"));
        QJsonObject automatic, manual;
        cfg::putDelay(automatic, -1);
        cfg::putDelay(manual, 2);
        QCOMPARE(automatic, (QJsonObject{{"delay", 1}, {"delay_auto", true}}));
        QCOMPARE(manual, (QJsonObject{{"delay", 2}}));
    }

    void migrationRemovesOldKeysAndGroups()
    {
        seed({{"online/koth", true},
              {"ui/casual/mode", "versus"},
              {"ui/casual/character", 3},
              {"display/volume_music", 40},
              {"online/region", "na"}});
        open();
        QCOMPARE(cfg::migrate(), (QStringList{"online/koth", "display/volume_music", "ui/casual"}));
        QSettings after(ini, QSettings::IniFormat);
        QCOMPARE(after.allKeys(), QStringList{"online/region"});
        QVERIFY(cfg::migrate().isEmpty());
    }

    void displayFileFollowsDisplayKeysOnly()
    {
        open();
        const QString path = cfg::displayFilePath();
        cfg::set(QStringLiteral("online/region"), QStringLiteral("na"));
        QVERIFY(!QFileInfo::exists(path));
        cfg::set(QStringLiteral("display/brightness"), 500);
        QCOMPARE(readAll(path),
                 QByteArray("mode=borderless\nresolution=desktop\nrender_scale=1\nanti_aliasing=off\n"
                            "anisotropic=0\nvsync=1\nadaptive_sync=0\nbrightness=200\nframe_data=1\n"
                            "preferred_side=off\n"));
        cfg::set(QStringLiteral("display/mode"), QStringLiteral("windowed"));
        cfg::set(QStringLiteral("display/vsync"), false);
        QVERIFY(readAll(path).startsWith("mode=windowed\n"));
        QVERIFY(readAll(path).contains("\nvsync=0\n"));
        // "Display/" is another key: nothing rewritten.
        QVERIFY(QFile::remove(path));
        cfg::set(QStringLiteral("Display/mode"), QStringLiteral("fullscreen"));
        QVERIFY(!QFileInfo::exists(path));
    }

    void buildLabel_data()
    {
        QTest::addColumn<bool>("packaged");
        QTest::addColumn<QByteArray>("firstLine");
        QTest::addColumn<QString>("label");
        QTest::newRow("labelled") << true << QByteArray("ORX-Rovivi 0.1.8, packaged 2024-05-01 a\nmore\n")
                                  << "2024-05-01 a";
        QTest::newRow("bom and spaces")
            << true << QByteArray("\xEF\xBB\xBF  ORX-Rovivi 0.1.8, packaged 7.2_x  \n") << "7.2_x";
        QTest::newRow("not packaged")
            << false << QByteArray("ORX-Rovivi 0.1.8, packaged 2024-05-01 a\n") << "";
        QTest::newRow("other version")
            << true << QByteArray("ORX-Rovivi 0.1.7, packaged 2024-05-01 a\n") << "";
        QTest::newRow("41 characters")
            << true << ("ORX-Rovivi 0.1.8, packaged " + QByteArray(41, 'x') + "\n") << "";
        QTest::newRow("40 characters")
            << true << ("ORX-Rovivi 0.1.8, packaged " + QByteArray(40, 'x') + "\n") << QString(40, 'x');
        QTest::newRow("bad character") << true << QByteArray("ORX-Rovivi 0.1.8, packaged 2024/05\n") << "";
    }
    void buildLabel()
    {
        QFETCH(bool, packaged);
        QFETCH(QByteArray, firstLine);
        QFETCH(QString, label);
        if (packaged)
            QDir(appDir).mkpath(QStringLiteral("games"));
        QVERIFY(writeAll(QDir(appDir).filePath(QStringLiteral("VERSION.txt")), firstLine));
        open();
        QCOMPARE(cfg::isPackaged(), packaged);
        QCOMPARE(cfg::buildLabel(), label);
    }

    void gamePathsAndSourceTree()
    {
        open();
        // Development tree: no "games" folder; the source tree is found upward from the launcher.
        const QString tree = work->path();
        QVERIFY(writeAll(tree + QStringLiteral("/tools/py/x360.py"), "#"));
        QVERIFY(writeAll(tree + QStringLiteral("/launcher/CMakeLists.txt"), "#"));
        QCOMPARE(cfg::repoRoot(), tree);
        QCOMPARE(cfg::gameFolder(QStringLiteral("orx")), tree + QStringLiteral("/game"));
        QCOMPARE(cfg::gameExe(QStringLiteral("orx")),
                 tree + QStringLiteral("/orx/out/build/win-amd64-release/orx.exe"));
        cfg::setDefaultExeLookup([](const QString &) { return QStringLiteral("ironmere.exe"); });
        QVERIFY(writeAll(tree + QStringLiteral("/game/ironmere.exe"), "MZ"));
        QCOMPARE(cfg::gameExe(QStringLiteral("orx")), tree + QStringLiteral("/game/ironmere.exe"));
        QCOMPARE(cfg::buildScript(QStringLiteral("orx")), tree + QStringLiteral("/game/") + platform::buildScriptName());
        QCOMPARE(cfg::gameDiscDir(QStringLiteral("orx")), tree + QStringLiteral("/game/disc"));

        // A packaged launcher: games/<id> beside it.
        QDir(appDir).mkpath(QStringLiteral("games/orx"));
        QCOMPARE(cfg::gameFolder(QStringLiteral("orx")), appDir + QStringLiteral("/games/orx"));
        QCOMPARE(cfg::gameExe(QStringLiteral("orx")), appDir + QStringLiteral("/games/orx/ironmere.exe"));

        // Settings win over every rule.
        cfg::set(QStringLiteral("games/orx/folder"), QStringLiteral("/srv/game"));
        cfg::set(QStringLiteral("games/orx/exe"), QStringLiteral("/srv/game/x.exe"));
        cfg::set(QStringLiteral("tools/repo_root"), QStringLiteral("/srv/src"));
        QCOMPARE(cfg::gameFolder(QStringLiteral("orx")), QStringLiteral("/srv/game"));
        QCOMPARE(cfg::gameExe(QStringLiteral("orx")), QStringLiteral("/srv/game/x.exe"));
        QCOMPARE(cfg::repoRoot(), QStringLiteral("/srv/src"));
        cfg::setDefaultExeLookup({});
    }

    void latestSavePicksNewest()
    {
        open();
        const QString game = work->filePath(QStringLiteral("g"));
        cfg::set(QStringLiteral("games/orx/folder"), game);
        QCOMPARE(cfg::latestSave(QStringLiteral("orx")), QString());
        const auto save = [&](const char *profile) {
            return game + QStringLiteral("/user/%1/5D3A0F21/00000001/ORXSaveData/savedata.bin")
                              .arg(QLatin1String(profile));
        };
        QVERIFY(writeAll(save("A"), "a"));
        QVERIFY(writeAll(save("B"), "b"));
        QDir(game + QStringLiteral("/user/C")).mkpath(QStringLiteral("."));
        QFile older(save("A")), newer(save("B"));
        QVERIFY(older.open(QIODevice::ReadWrite) && newer.open(QIODevice::ReadWrite));
        QVERIFY(older.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                  QFileDevice::FileModificationTime));
        QVERIFY(newer.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime));
        older.close();
        newer.close();
        QCOMPARE(cfg::latestSave(QStringLiteral("orx")), save("B"));
        QCOMPARE(cfg::latestSave(QStringLiteral("other")), QString());
    }

    void valueBeforeInitIsTheFallback()
    {
        cfg::resetForTesting();
        QCOMPARE(cfg::value(QStringLiteral("online/max_ping"), 77).toInt(), 77);
        QCOMPARE(cfg::maxPing(), 150);
        cfg::set(QStringLiteral("online/max_ping"), 5); // no store: nothing happens, nothing crashes
    }
};

QTEST_GUILESS_MAIN(TestCfg)
#include "test_cfg.moc"
