// orx-x360 as a child process: the demo release, JSON answers, exit codes and messages.

#include "tst_tool.h"

#include "fixtures.h"
#include "testutil.h"
#include "x360/package.h"
#include "x360/writer/discwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace {
const char discName[] = "Ironmere IV (World).iso";

QByteArray sha1(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}
} // namespace

void TestTool::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tool = testutil::binary(QStringLiteral("orx-x360"));
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
    const Result made = run({"make-demo", m_dir.filePath("demo")});
    QCOMPARE(made.code, 0);
    QCOMPARE(made.out.count('\n'), 4);
}

TestTool::Result TestTool::run(const QStringList &args) const
{
    QProcess process;
    process.start(m_tool, args);
    Result result;
    if (!process.waitForFinished(120000))
        return result;
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QString TestTool::demo(const QString &name) const
{
    return m_dir.filePath("demo/" + name);
}

void TestTool::demoIsDeterministic()
{
    QCOMPARE(run({"make-demo", m_dir.filePath("again")}).code, 0);
    const QStringList names = QDir(m_dir.filePath("demo")).entryList(QDir::Files);
    QCOMPARE(names.size(), 4);
    for (const QString &name : names)
        QCOMPARE(sha1(fixture::readAll(m_dir.filePath("again/" + name))), sha1(fixture::readAll(demo(name))));
}

void TestTool::infoJson()
{
    const Result disc = run({"--json", "info", demo(discName)});
    QCOMPARE(disc.code, 0);
    const QJsonObject d = QJsonDocument::fromJson(disc.out).object();
    QCOMPARE(d.value("kind").toString(), QStringLiteral("disc"));
    QCOMPARE(d.value("partition").toString(), QStringLiteral("Xbox 360 XGD2 disc"));
    QCOMPARE(d.value("partition_offset").toInteger(), x360::writer::xgd2Offset);
    QVERIFY(d.value("files").toInt() >= 20);
    QVERIFY(d.value("folders").toInt() >= 10);
    QVERIFY(d.value("bytes").toInteger() > 0);

    const Result update = run({"info", "--json", demo("TU_ORX_0003O2")});
    QCOMPARE(update.code, 0);
    const QJsonObject u = QJsonDocument::fromJson(update.out).object();
    QCOMPARE(u.value("kind").toString(), QStringLiteral("package"));
    QCOMPARE(u.value("magic").toString(), QStringLiteral("LIVE"));
    QCOMPARE(u.value("content_type").toInt(), 0xB0000);
    QCOMPARE(u.value("content_type_name").toString(), QStringLiteral("title update"));
    QCOMPARE(u.value("title_id").toString(), QStringLiteral("5D3A0F21"));
    QCOMPARE(u.value("media_id").toString(), QStringLiteral("2C71E9B0"));
    QCOMPARE(u.value("version").toInt(), 0x302);
    QCOMPARE(u.value("base_version").toInt(), 0x2);
    QCOMPARE(u.value("files").toInt(), 2);
    QVERIFY(u.contains("display_name") && u.contains("title_name") && u.contains("bytes"));

    const Result dlc = run({"info", "--json", demo("ORX_DLC_0013")});
    QCOMPARE(QJsonDocument::fromJson(dlc.out).object().value("content_type").toInt(), 2);

    const QString xexp = m_dir.filePath("default.xexp");
    const Result cat = run({"cat", demo("TU_ORX_0003O2"), "default.xexp"});
    QCOMPARE(cat.code, 0);
    QVERIFY(fixture::writeAll(xexp, cat.out));
    const Result xex = run({"info", "--json", xexp});
    QCOMPARE(xex.code, 0);
    const QJsonObject x = QJsonDocument::fromJson(xex.out).object();
    QCOMPARE(x.value("kind").toString(), QStringLiteral("xex"));
    QCOMPARE(x.value("title_id").toString(), QStringLiteral("5D3A0F21"));
    QCOMPARE(x.value("media_id").toString(), QStringLiteral("2C71E9B0"));
    QCOMPARE(x.value("version").toString(), QStringLiteral("0.0.3.2"));
    QCOMPARE(x.value("base_version").toString(), QStringLiteral("0.0.0.2"));
    QCOMPARE(x.value("is_patch").toBool(), true);
    QCOMPARE(x.value("has_execution_info").toBool(), true);
    QCOMPARE(x.value("has_delta_patch").toBool(), true);
    QCOMPARE(x.value("patch_source_version").toString(), QStringLiteral("0.0.0.2"));
    QCOMPARE(x.value("patch_target_version").toString(), QStringLiteral("0.0.3.2"));
    QCOMPARE(x.value("disc_number").toInt(), 1);
    QCOMPARE(x.value("disc_count").toInt(), 1);
    QVERIFY(x.value("module_name").isString());
}

void TestTool::listJson()
{
    const Result list = run({"list", "--json", demo("ORX_DLC_0013")});
    QCOMPARE(list.code, 0);
    const QJsonArray array = QJsonDocument::fromJson(list.out).array();
    x360::Package package;
    QString error;
    QVERIFY(package.open(demo("ORX_DLC_0013"), &error));
    QCOMPARE(array.size(), package.entries.size());
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject o = array[i].toObject();
        QCOMPARE(o.value("path").toString(), package.entries[i].path);
        QCOMPARE(o.value("size").toInteger(), qint64(package.entries[i].size));
        QCOMPARE(o.value("folder").toBool(), package.entries[i].isFolder);
    }
    const Result disc = run({"list", "--json", demo(discName)});
    const QJsonArray entries = QJsonDocument::fromJson(disc.out).array();
    QStringList paths;
    for (const QJsonValue v : entries)
        paths.append(v.toObject().value("path").toString());
    QVERIFY(paths.contains("default.xex"));
    QVERIFY(paths.contains("$SystemUpdate"));
    // Each folder is followed by its own contents.
    QVERIFY(paths.indexOf("data/chara") < paths.indexOf("data/chara/c00"));
}

void TestTool::extractSkipsSystemUpdate()
{
    const QString out = m_dir.filePath("extracted");
    const Result first = run({"extract", demo(discName), out});
    QCOMPARE(first.code, 0);
    QVERIFY(QFileInfo(out + "/default.xex").isFile());
    QVERIFY(QFileInfo(out + "/data/chara/c07/motion/base.mot").isFile());
    QVERIFY(!QFileInfo::exists(out + "/$SystemUpdate"));
    const QString all = m_dir.filePath("extracted-all");
    QCOMPARE(run({"extract", "--all", demo(discName), all}).code, 0);
    QVERIFY(QFileInfo(all + "/$SystemUpdate/su20076000_00000000").isFile());
    const QString pkg = m_dir.filePath("extracted-tu");
    QCOMPARE(run({"extract", demo("TU_ORX_0003O2"), pkg}).code, 0);
    QVERIFY(QFileInfo(pkg + "/patch.cpk").size() > 170 * 4096);
}

void TestTool::catAndCheck()
{
    const Result xex = run({"cat", demo(discName), "DEFAULT.XEX"});
    QCOMPARE(xex.code, 0);
    QCOMPARE(xex.out.left(4), QByteArray("XEX2"));
    const Result check = run({"check", demo(discName)});
    QCOMPARE(check.code, 0);
    const QString xexPath = m_dir.filePath("default.xex");
    QVERIFY(fixture::writeAll(xexPath, xex.out));
    QCOMPARE(run({"check", xexPath}).code, 0);
    QByteArray changed = xex.out;
    changed[changed.size() - 1] = char(changed.back() ^ 1);
    QVERIFY(fixture::writeAll(xexPath, changed));
    const Result modified = run({"check", xexPath});
    QCOMPARE(modified.code, 1);
    QVERIFY2(modified.err.startsWith("This disc is a modified copy of Ironmere IV"),
             modified.err.constData());
}

void TestTool::failuresAndUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList{} << 2 << "";
    QTest::newRow("unknown command") << QStringList{"frob", "x"} << 2 << "";
    QTest::newRow("missing argument") << QStringList{"extract", "x"} << 2 << "";
    QTest::newRow("unknown option") << QStringList{"--fast", "info", "x"} << 2 << "";
    QTest::newRow("not a disc") << QStringList{"info", "@notdisc"} << 1
                                << "This is not an Xbox 360 disc image (no Xbox file system in it).";
    QTest::newRow("cut package") << QStringList{"list", "@cutpkg"} << 1 << "cut.pkg is cut short.";
    QTest::newRow("no such file in disc") << QStringList{"cat", "@disc", "nope.bin"} << 1
                                          << "There is no file nope.bin in Ironmere IV (World).iso.";
}

void TestTool::failuresAndUsage()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    const QString notDisc = m_dir.filePath("notdisc.bin");
    QVERIFY(fixture::writeAll(notDisc, QByteArray(70000, 'z')));
    const QString cutPkg = m_dir.filePath("cut.pkg");
    QVERIFY(fixture::writeAll(cutPkg, fixture::readAll(demo("TU_ORX_0003O2")).left(0x9000)));
    for (QString &arg : args) {
        if (arg == QLatin1String("@notdisc"))
            arg = notDisc;
        else if (arg == QLatin1String("@cutpkg"))
            arg = cutPkg;
        else if (arg == QLatin1String("@disc"))
            arg = demo(discName);
    }
    const Result result = run(args);
    QCOMPARE(result.code, code);
    if (!message.isEmpty())
        QCOMPARE(QString::fromUtf8(result.err).trimmed(), message);
    else
        QVERIFY(result.err.contains("Usage: orx-x360"));
    QVERIFY(result.out.isEmpty());
}
