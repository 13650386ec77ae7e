#include "tst_package.h"

#include "fixtures.h"
#include "x360/package.h"
#include "x360/stfs.h"
#include "x360/writer/packagewriter.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

using namespace x360;
using writer::PackageBuilder;

namespace {

QString writePackage(const QString &path, const QByteArray &bytes)
{
    return fixture::writeAll(path, bytes) ? path : QString();
}

PackageBuilder sample()
{
    PackageBuilder builder;
    builder.contentType = 0xB0000;
    builder.titleId = 0x5D3A0F21;
    builder.mediaId = 0x2C71E9B0;
    builder.version = 0x302;
    builder.baseVersion = 0x2;
    builder.displayName = QStringLiteral("Title Update \u00e9 3");
    builder.titleName = QStringLiteral("Ironmere IV");
    builder.addFile("default.xexp", fixture::pattern(9000, 1));
    builder.addFile("data/patch.cpk", fixture::pattern(800 * 1024 + 5, 2)); // past 170 blocks
    builder.addFile("data/scattered.bin", fixture::pattern(700 * 1024, 3), true);
    builder.addFolder("empty");
    return builder;
}

} // namespace

void TestPackage::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestPackage::tempPath(const QString &name) const
{
    return m_dir.filePath(name);
}

void TestPackage::blockAddressesByHand_data()
{
    // Worked out from the STFS layout: with one table copy, block 0 follows the first level-0 table
    // at 0xA000; the level-1 table and the next level-0 table come before block 170; with two copies
    // every table takes two blocks.
    QTest::addColumn<int>("separation");
    QTest::addColumn<quint32>("block");
    QTest::addColumn<qint64>("data");
    QTest::addColumn<qint64>("hash");
    QTest::newRow("one copy, block 0") << 1 << 0u << qint64(0xB000) << qint64(0xA000);
    QTest::newRow("one copy, block 1") << 1 << 1u << qint64(0xC000) << qint64(0xA000 + 24);
    QTest::newRow("one copy, block 169")
        << 1 << 169u << qint64(0xA000 + 170 * 0x1000) << qint64(0xA000 + 169 * 24);
    QTest::newRow("one copy, block 170")
        << 1 << 170u << qint64(0xA000 + 173 * 0x1000) << qint64(0xA000 + 172 * 0x1000);
    QTest::newRow("one copy, block 340")
        << 1 << 340u << qint64(0xA000 + 344 * 0x1000) << qint64(0xA000 + 343 * 0x1000);
    QTest::newRow("one copy, block 28900")
        << 1 << 28900u << qint64(0xA000 + 29074LL * 0x1000) << qint64(0xA000 + 29073LL * 0x1000);
    QTest::newRow("two copies, block 0") << 0 << 0u << qint64(0xC000) << qint64(0xA000);
    QTest::newRow("two copies, second live") << 2 << 0u << qint64(0xC000) << qint64(0xB000);
    QTest::newRow("two copies, block 170")
        << 0 << 170u << qint64(0xA000 + 176 * 0x1000) << qint64(0xA000 + 174 * 0x1000);
    QTest::newRow("two copies, block 171, second live")
        << 2 << 171u << qint64(0xA000 + 177 * 0x1000) << qint64(0xA000 + 175 * 0x1000 + 24);
}

void TestPackage::blockAddressesByHand()
{
    QFETCH(int, separation);
    QFETCH(quint32, block);
    QFETCH(qint64, data);
    QFETCH(qint64, hash);
    const stfs::Layout layout = stfs::layoutFor(0x971A, quint8(separation));
    QCOMPARE(layout.firstHashTable, qint64(0xA000));
    QCOMPARE(stfs::blockOffset(layout, block), data);
    QCOMPARE(stfs::hashEntryOffset(layout, block), hash);
}

void TestPackage::handBuiltPackage_data()
{
    QTest::addColumn<int>("separation");
    QTest::addColumn<qint64>("tableAt");
    QTest::addColumn<qint64>("hashAt");
    QTest::newRow("one copy") << 1 << qint64(0xB000) << qint64(0xA000);
    QTest::newRow("two copies") << 0 << qint64(0xC000) << qint64(0xA000);
    QTest::newRow("two copies, second live") << 2 << qint64(0xC000) << qint64(0xB000);
}

void TestPackage::handBuiltPackage()
{
    // Every byte placed by hand at its documented offset; no writer involved.
    QFETCH(int, separation);
    QFETCH(qint64, tableAt);
    QFETCH(qint64, hashAt);
    QByteArray b(tableAt + 3 * 0x1000, '\0');
    b.replace(0, 4, "PIRS");
    fixture::putBe32(b, 0x340, 0x971A);
    fixture::putBe32(b, 0x344, 0x2);
    fixture::putBe32(b, 0x354, 0xAABBCCDD);
    fixture::putBe32(b, 0x358, 7);
    fixture::putBe32(b, 0x35C, 6);
    fixture::putBe32(b, 0x360, 0x12345678);
    b[0x37B] = char(separation);
    b[0x37C] = 1; // file table: one block (little-endian), at block 0
    fixture::putBe16(b, 0x411, 'D');
    fixture::putBe16(b, 0x413, 'x');
    fixture::putBe16(b, 0x1691, 'T');
    // File table entry: "hello.txt", not contiguous, two blocks from block 2, root, 4101 bytes.
    b.replace(tableAt, 9, "hello.txt");
    b[tableAt + 40] = char(9);
    b[tableAt + 41] = 2;
    b[tableAt + 47] = 2;
    fixture::putBe16(b, tableAt + 50, 0xFFFF);
    fixture::putBe32(b, tableAt + 52, 4096 + 5);
    b.replace(tableAt + 2 * 0x1000, 4096, QByteArray(4096, 'A'));
    b.replace(tableAt + 1 * 0x1000, 5, "hello");
    // Hash entry of block 2 (24 bytes each, next block in bytes 21-23) sends the chain to block 1.
    fixture::putBe24(b, hashAt + 2 * 24 + 21, 1);
    fixture::putBe24(b, hashAt + 1 * 24 + 21, 0xFFFFFF);
    const QString path = writePackage(tempPath("hand.pkg"), b);
    Package package;
    QString error;
    QVERIFY2(package.open(path, &error), qPrintable(error));
    QCOMPARE(package.magic, QStringLiteral("PIRS"));
    QCOMPARE(package.contentType, 2u);
    QCOMPARE(package.mediaId, 0xAABBCCDDu);
    QCOMPARE(package.version, 7u);
    QCOMPARE(package.baseVersion, 6u);
    QCOMPARE(package.titleId, 0x12345678u);
    QCOMPARE(package.displayName, QStringLiteral("Dx"));
    QCOMPARE(package.titleName, QStringLiteral("T"));
    QCOMPARE(package.header.size(), 0x971A);
    QCOMPARE(package.entries.size(), 1);
    QCOMPARE(package.entries[0].path, QStringLiteral("hello.txt"));
    QVERIFY(!package.entries[0].contiguous);
    QByteArray bytes;
    QVERIFY2(package.read(package.entries[0], &bytes, &error), qPrintable(error));
    QCOMPARE(bytes, QByteArray(4096, 'A') + "hello");
}

void TestPackage::headerFields()
{
    PackageBuilder builder = sample();
    builder.magic = "CON ";
    const QString path = writePackage(tempPath("fields.pkg"), builder.build());
    Package package;
    QString error;
    QVERIFY2(package.open(path, &error), qPrintable(error));
    QCOMPARE(package.magic, QStringLiteral("CON"));
    QCOMPARE(package.headerSize, 0x971Au);
    QCOMPARE(package.contentType, 0xB0000u);
    QCOMPARE(package.titleId, 0x5D3A0F21u);
    QCOMPARE(package.mediaId, 0x2C71E9B0u);
    QCOMPARE(package.version, 0x302u);
    QCOMPARE(package.baseVersion, 0x2u);
    QCOMPARE(package.displayName, QStringLiteral("Title Update \u00e9 3"));
    QCOMPARE(package.titleName, QStringLiteral("Ironmere IV"));
    QCOMPARE(package.header, fixture::readAll(path).left(0x971A));
    QCOMPARE(package.firstHashTable(), 0xA000);
}

void TestPackage::filesBothLayouts_data()
{
    QTest::addColumn<int>("separation");
    QTest::newRow("two copies, first live") << 0;
    QTest::newRow("one copy") << 1;
    QTest::newRow("two copies, second live") << 2;
}

void TestPackage::filesBothLayouts()
{
    QFETCH(int, separation);
    PackageBuilder builder = sample();
    builder.blockSeparation = quint8(separation);
    const QString path = writePackage(tempPath("layout.pkg"), builder.build());
    Package package;
    QString error;
    QVERIFY2(package.open(path, &error), qPrintable(error));
    QCOMPARE(package.tableShift(), separation & 1 ? 0 : 1);
    QStringList paths;
    for (const PackageEntry &entry : package.entries)
        paths.append(entry.path);
    QCOMPARE(paths, (QStringList{"default.xexp", "data", "data/patch.cpk", "data/scattered.bin", "empty"}));
    const PackageEntry *scattered = package.find("DATA/Scattered.BIN");
    QVERIFY(scattered);
    QVERIFY(!scattered->contiguous);
    QByteArray bytes;
    QVERIFY2(package.read(*scattered, &bytes, &error), qPrintable(error));
    QCOMPARE(bytes, fixture::pattern(700 * 1024, 3));
    QVERIFY(package.read(*package.find("data/patch.cpk"), &bytes, &error));
    QCOMPARE(bytes, fixture::pattern(800 * 1024 + 5, 2));
    QVERIFY(!package.find("data")); // folders are never found
    QVERIFY(package.read(package.entries[1], &bytes, &error));
    QVERIFY(bytes.isEmpty());
}

void TestPackage::notAPackage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray live("LIVE");
    live.append(QByteArray(5904 - 4, '\0'));
    QTest::newRow("LIVE but 5904 bytes") << live;
    QByteArray other("XEX2");
    other.append(QByteArray(50000, '\0'));
    QTest::newRow("other magic") << other;
    QTest::newRow("empty") << QByteArray();
}

void TestPackage::notAPackage()
{
    QFETCH(QByteArray, bytes);
    const QString path = writePackage(tempPath("notpkg.bin"), bytes);
    Package package;
    QString error;
    QVERIFY(!package.open(path, &error));
    QCOMPARE(error, QStringLiteral("notpkg.bin is not an Xbox 360 package (no LIVE, PIRS or CON header)."));
    QVERIFY(!package.open(path, nullptr)); // the verdict alone
    QVERIFY(!package.open(tempPath("missing.pkg"), &error));
    QVERIFY(error.startsWith(
        QStringLiteral("Cannot open %1: ").arg(QDir::toNativeSeparators(tempPath("missing.pkg")))));
}

void TestPackage::unknownHeader_data()
{
    QTest::addColumn<quint32>("headerSize");
    QTest::addColumn<int>("tableBlocks");
    QTest::addColumn<bool>("ok");
    QTest::newRow("header below 0x971A") << 0x9719u << 1 << false;
    QTest::newRow("header above 1 MiB") << 1048577u << 1 << false;
    QTest::newRow("no table blocks (SVOD)") << 0x971Au << 0 << false;
    QTest::newRow("1025 table blocks") << 0x971Au << 1025 << false;
    QTest::newRow("smallest header") << 0x971Au << 1 << true;
    QTest::newRow("1024 table blocks") << 0x971Au << 1024 << true;
}

void TestPackage::unknownHeader()
{
    QFETCH(quint32, headerSize);
    QFETCH(int, tableBlocks);
    QFETCH(bool, ok);
    QByteArray bytes = sample().build();
    fixture::putBe32(bytes, 0x340, headerSize);
    fixture::putLe16(bytes, 0x37C, quint32(tableBlocks));
    const QString path = writePackage(tempPath("svod.pkg"), bytes);
    Package package;
    QString error;
    const bool opened = package.open(path, &error);
    if (ok) {
        // Past the header check: more table blocks than written read into the file's data.
        QVERIFY(opened || !error.contains(QLatin1String("does not know")));
        return;
    }
    QVERIFY(!opened);
    QCOMPARE(error,
             QStringLiteral("svod.pkg has a package header this reader does not know (an SVOD package, or a "
                            "damaged file)."));
}

void TestPackage::truncated_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("message");
    QTest::newRow("inside the title name")
        << qint64(5904) << "cut.pkg is not an Xbox 360 package (no LIVE, PIRS or CON header).";
    QTest::newRow("inside the header") << qint64(0x971A - 1) << "cut.pkg is cut short.";
    QTest::newRow("at the first data block")
        << qint64(0xC000) << "The package is cut short (block 0 lies past its end).";
    QTest::newRow("inside the file table block")
        << qint64(0xC000 + 100) << "The package is cut short (block 0 lies past its end).";
}

void TestPackage::truncated()
{
    QFETCH(qint64, size);
    QFETCH(QString, message);
    const QString path = writePackage(tempPath("cut.pkg"), sample().build());
    QVERIFY(fixture::cut(path, size));
    Package package;
    QString error;
    QVERIFY(!package.open(path, &error));
    QCOMPARE(error, message);
    QVERIFY(package.entries.isEmpty());
}

void TestPackage::everyBlockCut()
{
    // Cut a package at every 4 KiB step, and one byte past: each open either lists the table or
    // gives one of the reader's sentences, and each file reads whole or is refused in words.
    PackageBuilder builder;
    builder.addFile("a.bin", fixture::pattern(9000, 1));
    builder.addFile("d/b.bin", fixture::pattern(20000, 2), true);
    const QByteArray whole = builder.build();
    const QString path = tempPath("every.pkg");
    for (qint64 size = 0; size <= whole.size(); size += 2048) {
        for (const qint64 cutAt : {size, size + 1}) {
            QVERIFY(fixture::writeAll(path, whole.left(cutAt)));
            Package package;
            QString error;
            if (!package.open(path, &error)) {
                const QStringList messages{
                    "every.pkg is not an Xbox 360 package (no LIVE, PIRS or CON header).",
                    "every.pkg is cut short.", "The package is cut short (block 0 lies past its end)."};
                QVERIFY2(messages.contains(error), qPrintable(error));
                continue;
            }
            QCOMPARE(package.entries.size(), 3);
            for (const PackageEntry &entry : package.entries) {
                QByteArray bytes;
                if (package.read(entry, &bytes, &error))
                    QCOMPARE(qint64(bytes.size()), qint64(entry.size));
                else
                    QCOMPARE(
                        error,
                        QStringLiteral("The package is cut short (%1 lies past its end).").arg(entry.path));
            }
        }
    }
}

void TestPackage::chainLoops()
{
    // The chain of "data/scattered.bin" runs backwards; its third block is sent back to its first.
    PackageBuilder builder = sample();
    const QString path = writePackage(tempPath("loop.pkg"), builder.build());
    Package package;
    QString error;
    QVERIFY(package.open(path, &error));
    const PackageEntry entry = *package.find("data/scattered.bin");
    const stfs::Layout layout = stfs::layoutFor(package.headerSize, package.blockSeparation);
    const quint32 third = entry.firstBlock - 2;
    QByteArray next(3, '\0');
    fixture::putBe24(next, 0, entry.firstBlock);
    QVERIFY(fixture::patch(path, stfs::hashEntryOffset(layout, third) + 21, next));
    QVERIFY(package.open(path, &error));
    QByteArray bytes;
    QVERIFY(!package.read(*package.find("data/scattered.bin"), &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package's block chain for data/scattered.bin loops."));
    QVERIFY(bytes.isEmpty());

    // A block that names itself as its successor loops at once.
    fixture::putBe24(next, 0, third);
    QVERIFY(fixture::patch(path, stfs::hashEntryOffset(layout, third) + 21, next));
    QVERIFY(package.open(path, &error));
    QVERIFY(!package.read(*package.find("data/scattered.bin"), &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package's block chain for data/scattered.bin loops."));

    // A long chain (past the reader's small set) that returns to its first block near its end.
    PackageBuilder large;
    large.addFile("long.bin", fixture::pattern(5000 * 4096, 4), true);
    const QString longPath = writePackage(tempPath("longloop.pkg"), large.build());
    QVERIFY(package.open(longPath, &error));
    QVERIFY2(package.read(package.entries[0], &bytes, &error), qPrintable(error));
    QCOMPARE(bytes, fixture::pattern(5000 * 4096, 4));
    const quint32 first = package.entries[0].firstBlock;
    fixture::putBe24(next, 0, first);
    QVERIFY(fixture::patch(longPath, stfs::hashEntryOffset(layout, first - 4990) + 21, next));
    QVERIFY(package.open(longPath, &error));
    QVERIFY(!package.read(package.entries[0], &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package's block chain for long.bin loops."));
}

void TestPackage::chainPastEnd()
{
    PackageBuilder builder = sample();
    const QString path = writePackage(tempPath("pastend.pkg"), builder.build());
    Package package;
    QString error;
    QVERIFY(package.open(path, &error));
    const PackageEntry entry = *package.find("data/scattered.bin");
    const stfs::Layout layout = stfs::layoutFor(package.headerSize, package.blockSeparation);
    QByteArray next(3, '\0');
    fixture::putBe24(next, 0, 0x7FFFF0);
    QVERIFY(fixture::patch(path, stfs::hashEntryOffset(layout, entry.firstBlock) + 21, next));
    QVERIFY(package.open(path, &error));
    QByteArray bytes;
    QVERIFY(!package.read(*package.find("data/scattered.bin"), &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package is cut short (data/scattered.bin lies past its end)."));
    // The end-of-chain mark where more data is due: the same words.
    fixture::putBe24(next, 0, stfs::endOfChain);
    QVERIFY(fixture::patch(path, stfs::hashEntryOffset(layout, entry.firstBlock) + 21, next));
    QVERIFY(package.open(path, &error));
    QVERIFY(!package.read(*package.find("data/scattered.bin"), &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package is cut short (data/scattered.bin lies past its end)."));
    // A contiguous file whose size runs past the end of the package.
    QByteArray size(4, '\0');
    fixture::putBe32(size, 0, 0xFFFFFFF0);
    const qint64 tableAt = stfs::blockOffset(layout, 0);
    QVERIFY(fixture::patch(path, tableAt + 2 * 64 + 52, size)); // "data/patch.cpk"
    QVERIFY(package.open(path, &error));
    QVERIFY(!package.read(*package.find("data/patch.cpk"), &bytes, &error));
    QCOMPARE(error, QStringLiteral("The package is cut short (data/patch.cpk lies past its end)."));
}

void TestPackage::unusableNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("dot dot") << QByteArray("..");
    QTest::newRow("colon") << QByteArray("C:x");
    QTest::newRow("backslash") << QByteArray("a\\b");
    QTest::newRow("slash") << QByteArray("a/b");
    QTest::newRow("control") << QByteArray("\x1f");
}

void TestPackage::unusableNames()
{
    QFETCH(QByteArray, name);
    QByteArray bytes = sample().build();
    const stfs::Layout layout = stfs::layoutFor(0x971A, 0);
    QByteArray entry = writer::fileTableEntry(name, false, true, 0, 0, -1, 0);
    bytes.replace(stfs::blockOffset(layout, 0) + 64, 64, entry);
    const QString path = writePackage(tempPath("names.pkg"), bytes);
    Package package;
    QString error;
    QVERIFY(!package.open(path, &error));
    QCOMPARE(
        error,
        QStringLiteral("The package has a file name that cannot be used: %1").arg(QString::fromLatin1(name)));
}

void TestPackage::parentPaths()
{
    PackageBuilder builder;
    builder.addFile("a.bin", "a");
    builder.addFile("b.bin", "b");
    builder.addFile("c.bin", "c");
    QByteArray bytes = builder.build();
    const stfs::Layout layout = stfs::layoutFor(0x971A, 0);
    const qint64 table = stfs::blockOffset(layout, 0);
    // "a.bin" names a parent out of range; "b.bin" names itself; "c.bin" names "a.bin".
    fixture::putBe16(bytes, table + 50, 99);
    fixture::putBe16(bytes, table + 64 + 50, 1);
    fixture::putBe16(bytes, table + 128 + 50, 0);
    const QString path = writePackage(tempPath("parents.pkg"), bytes);
    Package package;
    QString error;
    QVERIFY2(package.open(path, &error), qPrintable(error));
    QCOMPARE(package.entries[0].path, QStringLiteral("a.bin"));
    QCOMPARE(package.entries[1].path.split(u'/').size(), 65); // 64 parents and the name
    QCOMPARE(package.entries[2].path, QStringLiteral("a.bin/c.bin"));
}

void TestPackage::fullFileTable()
{
    // 1024 table blocks hold exactly 65536 entries, the most a package may list.
    PackageBuilder builder;
    for (int i = 0; i < Package::maxEntries; ++i)
        builder.addFile(QStringLiteral("f%1").arg(i), QByteArray());
    const QString path = writePackage(tempPath("full.pkg"), builder.build());
    Package package;
    QString error;
    QVERIFY2(package.open(path, &error), qPrintable(error));
    QCOMPARE(package.fileTableBlockCount, 1024);
    QCOMPARE(package.entries.size(), Package::maxEntries);
    QCOMPARE(package.entries.last().path, QStringLiteral("f65535"));
}

void TestPackage::extract()
{
    const QString path = writePackage(tempPath("extract.pkg"), sample().build());
    Package package;
    QString error;
    QVERIFY(package.open(path, &error));
    const QString out = tempPath("pkg-out");
    QVERIFY2(package.extractAll(out, &error), qPrintable(error));
    QCOMPARE(fixture::readAll(out + "/default.xexp"), fixture::pattern(9000, 1));
    QCOMPARE(fixture::readAll(out + "/data/scattered.bin"), fixture::pattern(700 * 1024, 3));
    QVERIFY(QFileInfo(out + "/empty").isDir());
    QCOMPARE(QDir(out + "/data").entryList(QDir::Files), (QStringList{"patch.cpk", "scattered.bin"}));
}

void TestPackage::extractFailures()
{
    const QString path = writePackage(tempPath("extract-fail.pkg"), sample().build());
    Package package;
    QString error;
    QVERIFY(package.open(path, &error));
    const QString blocked = tempPath("pkg-blocked");
    QVERIFY(fixture::writeAll(blocked, "x"));
    QVERIFY(!package.extractAll(blocked, &error));
    QVERIFY2(
        error.startsWith(QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(blocked))),
        qPrintable(error));
#ifdef Q_OS_UNIX
    const QString out = tempPath("pkg-full");
    QVERIFY(QDir().mkpath(out));
    QVERIFY(QFile::link("/dev/full", out + "/default.xexp.part"));
    QVERIFY(!package.extractAll(out, &error));
    QVERIFY2(error.startsWith(
                 QStringLiteral("Cannot write %1: ").arg(QDir::toNativeSeparators(out + "/default.xexp"))),
             qPrintable(error));
    QVERIFY(error.endsWith(QLatin1String(" (is the disk full?)")));
    QVERIFY(!QFileInfo::exists(out + "/default.xexp.part"));
    QVERIFY(!QFileInfo::exists(out + "/default.xexp"));
#endif
}

void TestPackage::contentTypeNames_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QString>("name");
    QTest::newRow("1") << 0x1u << "saved game";
    QTest::newRow("2") << 0x2u << "downloadable content";
    QTest::newRow("4000") << 0x4000u << "installed game";
    QTest::newRow("7000") << 0x7000u << "game on demand";
    QTest::newRow("20000") << 0x20000u << "gamer picture";
    QTest::newRow("30000") << 0x30000u << "theme";
    QTest::newRow("80000") << 0x80000u << "game demo";
    QTest::newRow("90000") << 0x90000u << "video";
    QTest::newRow("B0000") << 0xB0000u << "title update";
    QTest::newRow("D0000") << 0xD0000u << "content type 000D0000";
    QTest::newRow("FFFFFFFF") << 0xFFFFFFFFu << "content type FFFFFFFF";
}

void TestPackage::contentTypeNames()
{
    QFETCH(quint32, value);
    QFETCH(QString, name);
    QCOMPARE(contentTypeName(value), name);
}
