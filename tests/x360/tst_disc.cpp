#include "tst_disc.h"

#include "fixtures.h"
#include "x360/disc.h"
#include "x360/writer/discwriter.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace x360;
using writer::DiscImage;
using writer::tableEntry;

namespace {

const QByteArray magic("MICROSOFT*XBOX*MEDIA");

// A bare partition (offset 0) built by hand: descriptor at 0x10000, tables at the given sectors.
QByteArray handImage(quint32 rootSector, quint32 rootSize,
                     const QList<std::pair<quint32, QByteArray>> &blocks)
{
    QByteArray image(0x10000 + 2048, '\0');
    image.replace(0x10000, magic.size(), magic);
    fixture::putLe32(image, 0x10000 + 20, rootSector);
    fixture::putLe32(image, 0x10000 + 24, rootSize);
    for (const auto &[sector, data] : blocks) {
        const qsizetype at = qsizetype(sector) * 2048;
        if (image.size() < at + data.size())
            image.resize(at + data.size(), '\0');
        image.replace(at, data.size(), data);
    }
    return image;
}

QStringList paths(const Disc &disc)
{
    QStringList out;
    for (const DiscEntry &entry : disc.entries())
        out.append(entry.path + (entry.isFolder ? QStringLiteral("/") : QString()));
    return out;
}

} // namespace

void TestDisc::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestDisc::tempPath(const QString &name) const
{
    return m_dir.filePath(name);
}

void TestDisc::knownLayoutByHand()
{
    // Written without the writer: entry fields at their documented byte positions.
    QByteArray root = tableEntry(0, 0, 40, 5, 0x20, "hello.txt");
    const QByteArray image = handImage(33, quint32(root.size()), {{33, root}, {40, "hello"}});
    const QString path = tempPath("hand.iso");
    QVERIFY(fixture::writeAll(path, image));
    // The entry's bytes: links, sector, size, attributes, name length, name.
    QCOMPARE(root.mid(4, 4), QByteArray::fromHex("28000000"));
    QCOMPARE(root.mid(8, 4), QByteArray::fromHex("05000000"));
    QCOMPARE(quint8(root[13]), quint8(9));
    Disc disc;
    QString error;
    QVERIFY2(disc.open(path, &error), qPrintable(error));
    QCOMPARE(disc.partitionOffset(), 0);
    QCOMPARE(disc.partitionName(), QStringLiteral("XISO (the game partition alone)"));
    QCOMPARE(paths(disc), QStringList{"hello.txt"});
    QCOMPARE(disc.entries()[0].sector, 40u);
    QByteArray bytes;
    QVERIFY(disc.read(disc.entries()[0], &bytes, &error));
    QCOMPARE(bytes, QByteArray("hello"));
}

void TestDisc::writerPutsDescriptorAtKnownOffset()
{
    DiscImage image;
    image.addFile("default.xex", "XEX2");
    const QString path = tempPath("xgd2.iso");
    QString error;
    QVERIFY2(image.write(path, writer::xgd2Offset, &error), qPrintable(error));
    // An XGD2 dump's game partition starts at byte 0x0FD90000; its descriptor is 32 sectors in.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.seek(0x0FD90000 + 0x10000));
    QCOMPARE(file.read(20), magic);
    QVERIFY(file.seek(0x0FD90000 + 0x10000 + 0x7EC));
    QCOMPARE(file.read(20), magic);
}

void TestDisc::partitionOffsets_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("name");
    QTest::newRow("xiso") << qint64(0) << "XISO (the game partition alone)";
    QTest::newRow("xgd2") << qint64(0x0FD90000) << "Xbox 360 XGD2 disc";
    QTest::newRow("xgd3") << qint64(0x02080000) << "Xbox 360 XGD3 disc";
    QTest::newRow("xgd1") << qint64(0x18300000) << "original Xbox XGD1 disc";
    QTest::newRow("one sector in") << qint64(2048)
                                   << "a disc dump with its game partition at an unusual offset";
    QTest::newRow("second scan chunk")
        << qint64(0x400000 + 0x1800) << "a disc dump with its game partition at an unusual offset";
    QTest::newRow("descriptor across chunks")
        << qint64(0x400000 - 0x10000) << "a disc dump with its game partition at an unusual offset";
}

void TestDisc::partitionOffsets()
{
    QFETCH(qint64, offset);
    QFETCH(QString, name);
    DiscImage image;
    image.addFile("default.xex", "XEX2 data");
    image.addFile("media/a.bin", fixture::pattern(5000, 1));
    const QString path = tempPath("part.iso");
    QString error;
    QVERIFY2(image.write(path, offset, &error), qPrintable(error));
    Disc disc;
    QVERIFY2(disc.open(path, &error), qPrintable(error));
    QCOMPARE(disc.partitionOffset(), offset);
    QCOMPARE(disc.partitionName(), name);
    QCOMPARE(paths(disc), (QStringList{"default.xex", "media/", "media/a.bin"}));
    QByteArray bytes;
    QVERIFY(disc.read(*disc.find("MEDIA/A.BIN"), &bytes, &error));
    QCOMPARE(bytes, fixture::pattern(5000, 1));
}

void TestDisc::notADisc()
{
    const QString path = tempPath("plain.bin");
    // The magic at a position that is not a sector start, and below 0x10000, is not a volume.
    QByteArray bytes(0x30000, 'x');
    bytes.replace(0x10010, magic.size(), magic);
    bytes.replace(0x800, magic.size(), magic);
    QVERIFY(fixture::writeAll(path, bytes));
    Disc disc;
    QString error;
    QVERIFY(!disc.open(path, &error));
    QCOMPARE(error, QStringLiteral("This is not an Xbox 360 disc image (no Xbox file system in it)."));
    QVERIFY(!disc.open(path, nullptr)); // the verdict alone
    QVERIFY(!disc.open(tempPath("does-not-exist.iso"), &error));
    QVERIFY2(
        error.startsWith(
            QStringLiteral("Cannot open %1: ").arg(QDir::toNativeSeparators(tempPath("does-not-exist.iso")))),
        qPrintable(error));
}

void TestDisc::treeOrderRightBeforeLeft()
{
    // Root "m" at 0, its left child "a" at 16, its right child "z" at 32.
    QByteArray table = tableEntry(16 / 4, 32 / 4, 0, 0, 0x20, "m");
    table.append(QByteArray(16 - table.size(), char(0xFF)));
    table.append(tableEntry(0, 0, 0, 0, 0x20, "a"));
    table.append(QByteArray(32 - table.size(), char(0xFF)));
    table.append(tableEntry(0, 0, 0, 0, 0x20, "z"));
    const QString path = tempPath("order.iso");
    QVERIFY(fixture::writeAll(path, handImage(33, quint32(table.size()), {{33, table}})));
    Disc disc;
    QString error;
    QVERIFY2(disc.open(path, &error), qPrintable(error));
    QCOMPARE(paths(disc), (QStringList{"m", "z", "a"}));
}

void TestDisc::loopingLinksAreWalkedOnce()
{
    // "a" links to "b"; "b" links to "c" and to itself; "c" links back to "b" and to itself.
    QByteArray table(48, char(0xFF));
    table.replace(0, 16, tableEntry(16 / 4, 0, 0, 0, 0x20, "a"));
    table.replace(16, 16, tableEntry(32 / 4, 16 / 4, 0, 0, 0x20, "b"));
    table.replace(32, 16, tableEntry(16 / 4, 32 / 4, 0, 0, 0x20, "c"));
    const QString path = tempPath("loop.iso");
    QVERIFY(fixture::writeAll(path, handImage(33, quint32(table.size()), {{33, table}})));
    Disc disc;
    QString error;
    QVERIFY2(disc.open(path, &error), qPrintable(error));
    QCOMPARE(paths(disc), (QStringList{"a", "b", "c"}));
}

void TestDisc::fillerSlotsAndOverrunningNames()
{
    // Root "a" links left to a filler slot (both links 0xFFFF) and right to a name that runs past
    // the table's end: both are passed over.
    QByteArray table(64, char(0xFF));
    table.replace(0, 16, tableEntry(16 / 4, 40 / 4, 0, 0, 0x20, "a"));
    table.replace(16, 20, tableEntry(0xFFFF, 0xFFFF, 0, 0, 0x20, "filler"));
    QByteArray overrun = tableEntry(0, 0, 0, 0, 0x20, "longname");
    overrun[13] = char(60);
    table.replace(40, overrun.size(), overrun);
    table.truncate(40 + overrun.size());
    const QString path = tempPath("filler.iso");
    QVERIFY(fixture::writeAll(path, handImage(33, quint32(table.size()), {{33, table}})));
    Disc disc;
    QString error;
    QVERIFY2(disc.open(path, &error), qPrintable(error));
    QCOMPARE(paths(disc), QStringList{"a"});
}

void TestDisc::unusableNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("dot dot") << QByteArray("..");
    QTest::newRow("dot") << QByteArray(".");
    QTest::newRow("colon") << QByteArray("c:evil");
    QTest::newRow("slash") << QByteArray("a/b");
    QTest::newRow("backslash") << QByteArray("a\\b");
    QTest::newRow("control") << QByteArray("a\x01");
    QTest::newRow("empty") << QByteArray();
}

void TestDisc::unusableNames()
{
    QFETCH(QByteArray, name);
    // The bad name sits in a subfolder, so the whole walk must stop, not just that folder.
    QByteArray sub = tableEntry(0, 0, 0, 0, 0x20, name);
    QByteArray root = tableEntry(0, 0, 34, quint32(sub.size()), 0x10, "media");
    const QString path = tempPath("names.iso");
    QVERIFY(fixture::writeAll(path, handImage(33, quint32(root.size()), {{33, root}, {34, sub}})));
    Disc disc;
    QString error;
    QVERIFY(!disc.open(path, &error));
    QCOMPARE(
        error,
        QStringLiteral("The disc has a file name that cannot be used: %1").arg(QString::fromLatin1(name)));
    QVERIFY(disc.entries().isEmpty());
}

void TestDisc::nesting_data()
{
    QTest::addColumn<int>("folders");
    QTest::addColumn<bool>("ok");
    QTest::newRow("32 folders deep") << 32 << true;
    QTest::newRow("33 folders deep") << 33 << false;
}

void TestDisc::nesting()
{
    QFETCH(int, folders);
    QFETCH(bool, ok);
    QStringList segments;
    for (int i = 0; i < folders; ++i)
        segments.append(QStringLiteral("d%1").arg(i));
    DiscImage image;
    image.addFile(segments.join(u'/') + QLatin1String("/leaf.bin"), "leaf");
    const QString path = tempPath("deep.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    Disc disc;
    QCOMPARE(disc.open(path, &error), ok);
    if (ok) {
        QCOMPARE(disc.entries().size(), folders + 1);
        QVERIFY(disc.find(segments.join(u'/') + QLatin1String("/leaf.bin")));
    } else {
        QCOMPARE(error, QStringLiteral("The disc's folders nest too deep."));
    }
}

void TestDisc::folderContainingItself()
{
    QByteArray root = tableEntry(0, 0, 33, 0, 0x10, "again");
    fixture::putLe32(root, 8, quint32(root.size()));
    const QString path = tempPath("self.iso");
    QVERIFY(fixture::writeAll(path, handImage(33, quint32(root.size()), {{33, root}})));
    Disc disc;
    QString error;
    QVERIFY(!disc.open(path, &error));
    QCOMPARE(error, QStringLiteral("The disc's folders nest too deep."));
}

void TestDisc::entryLimit_data()
{
    QTest::addColumn<int>("files");
    QTest::newRow("at the limit") << 200000;
    QTest::newRow("one more") << 200001;
}

void TestDisc::entryLimit()
{
    QFETCH(int, files);
    DiscImage image;
    // 400 folders of 500 empty files, plus the folders themselves: entries = files + 400.
    const int perFolder = 500;
    int added = 400;
    for (int f = 0; f < 400 && added < files; ++f) {
        for (int i = 0; i < perFolder && added < files; ++i, ++added)
            image.addFile(QStringLiteral("f%1/%2").arg(f).arg(i), QByteArray());
    }
    const QString path = tempPath("many.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    Disc disc;
    const bool ok = disc.open(path, &error);
    if (files <= Disc::maxEntries) {
        QVERIFY2(ok, qPrintable(error));
        QCOMPARE(disc.entries().size(), files);
    } else {
        QVERIFY(!ok);
        QCOMPARE(error, QStringLiteral("The disc lists too many files."));
    }
}

void TestDisc::truncated_data()
{
    QTest::addColumn<QString>("cutAt"); // which structure the cut falls into
    QTest::addColumn<QString>("openError");
    QTest::addColumn<QString>("readError");
    QTest::newRow("before the descriptor")
        << "descriptor-magic"
        << "This is not an Xbox 360 disc image (no Xbox file system in it)."
        << "";
    QTest::newRow("inside the descriptor") << "descriptor-fields"
                                           << "The image is cut short."
                                           << "";
    QTest::newRow("inside the root table") << "root"
                                           << "The image is cut short (a folder lies past its end)."
                                           << "";
    QTest::newRow("inside a subfolder table") << "subfolder"
                                              << "The image is cut short (a folder lies past its end)."
                                              << "";
    QTest::newRow("inside the last file") << "file"
                                          << ""
                                          << "The image is cut short (media/big.bin lies past its end).";
}

void TestDisc::truncated()
{
    QFETCH(QString, cutAt);
    QFETCH(QString, openError);
    QFETCH(QString, readError);
    DiscImage image;
    image.addFile("media/big.bin", fixture::pattern(10000, 3));
    const QString path = tempPath("cut.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    Disc whole;
    QVERIFY(whole.open(path, &error));
    const DiscEntry *media = nullptr;
    for (const DiscEntry &entry : whole.entries())
        media = entry.path == QLatin1String("media") ? &entry : media;
    QVERIFY(media);
    const qint64 rootAt = 33 * 2048; // the writer's first table
    qint64 size = 0;
    if (cutAt == QLatin1String("descriptor-magic"))
        size = 0x10000 + 19;
    else if (cutAt == QLatin1String("descriptor-fields"))
        size = 0x10000 + 27;
    else if (cutAt == QLatin1String("root"))
        size = rootAt + 10;
    else if (cutAt == QLatin1String("subfolder"))
        size = qint64(media->sector) * 2048 + media->size - 1;
    else
        size = qint64(whole.find("media/big.bin")->sector) * 2048 + 9999;
    QVERIFY(fixture::cut(path, size));
    Disc disc;
    const bool opened = disc.open(path, &error);
    if (!openError.isEmpty()) {
        QVERIFY(!opened);
        QCOMPARE(error, openError);
        return;
    }
    QVERIFY2(opened, qPrintable(error));
    QByteArray bytes("old");
    QVERIFY(!disc.read(*disc.find("media/big.bin"), &bytes, &error));
    QCOMPARE(error, readError);
    QVERIFY(bytes.isEmpty());
}

void TestDisc::everySectorCut()
{
    // Cut a small image at every sector boundary (and one byte short of it): every outcome is the
    // whole listing or one of the reader's sentences, and a file either reads whole or is refused.
    DiscImage image;
    image.addFile("a/b/one.bin", fixture::pattern(3000, 1));
    image.addFile("a/two.bin", fixture::pattern(5000, 2));
    image.addFile("three.bin", fixture::pattern(100, 3));
    const QString wholePath = tempPath("every.iso");
    QString error;
    QVERIFY(image.write(wholePath, 0, &error));
    const QByteArray whole = fixture::readAll(wholePath);
    const QStringList openMessages{"This is not an Xbox 360 disc image (no Xbox file system in it).",
                                   "The image is cut short.",
                                   "The image is cut short (a folder lies past its end)."};
    const QString cutPath = tempPath("every-cut.iso");
    for (qint64 size = 0; size <= whole.size(); size += 1024) {
        QVERIFY(fixture::writeAll(cutPath, whole.left(size)));
        Disc disc;
        if (!disc.open(cutPath, &error)) {
            QVERIFY2(openMessages.contains(error), qPrintable(QStringLiteral("%1: %2").arg(size).arg(error)));
            QVERIFY(disc.entries().isEmpty());
            continue;
        }
        QCOMPARE(disc.entries().size(), 5);
        for (const DiscEntry &entry : disc.entries()) {
            QByteArray bytes;
            if (entry.isFolder)
                continue;
            if (disc.read(entry, &bytes, &error))
                QCOMPARE(qint64(bytes.size()), qint64(entry.size));
            else
                QCOMPARE(error,
                         QStringLiteral("The image is cut short (%1 lies past its end).").arg(entry.path));
        }
    }
}

void TestDisc::readAndFind()
{
    DiscImage image;
    image.addFile("Default.XEX", "exe");
    image.addFolder("default.xex.d");
    image.addFile("a/b/c.bin", fixture::pattern(70000, 9));
    const QString path = tempPath("find.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    Disc disc;
    QVERIFY(disc.open(path, &error));
    const DiscEntry *xex = disc.find("default.xex");
    QVERIFY(xex);
    QCOMPARE(xex->path, QStringLiteral("Default.XEX"));
    QVERIFY(!disc.find("a/b")); // folders are never found
    QVERIFY(!disc.find("a/b/c"));
    QByteArray bytes;
    QVERIFY(disc.read(*disc.find("A/B/C.BIN"), &bytes, &error));
    QCOMPARE(bytes, fixture::pattern(70000, 9));
    QCOMPARE(disc.fileCount(), 2);
    QCOMPARE(disc.totalBytes(), 70003);
}

void TestDisc::systemUpdateFilter()
{
    QVERIFY(isSystemUpdate("$SystemUpdate"));
    QVERIFY(isSystemUpdate("$systemupdate/su.bin"));
    QVERIFY(isSystemUpdate("$SYSTEMUPDATE/x/y"));
    QVERIFY(!isSystemUpdate("media/$SystemUpdate/su.bin"));
    QVERIFY(!isSystemUpdate("$SystemUpdate2/su.bin"));
    DiscImage image;
    image.addFile("$SystemUpdate/su.bin", fixture::pattern(3000, 1));
    image.addFile("$systemUPDATE/more/x.bin", fixture::pattern(100, 1));
    image.addFile("default.xex", "12345");
    const QString path = tempPath("su.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    Disc disc;
    QVERIFY(disc.open(path, &error));
    QCOMPARE(disc.fileCount(isSystemUpdate), 1);
    QCOMPARE(disc.totalBytes(isSystemUpdate), 5);
    QCOMPARE(disc.fileCount(), 3);
}
