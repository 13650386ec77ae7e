// Extraction: the tree, the dashboard update filter, resuming, order, cancellation and failures.

#include "tst_disc.h"

#include "fixtures.h"
#include "x360/disc.h"
#include "x360/writer/discwriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <thread>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace x360;
using writer::DiscImage;

namespace {

struct Counters {
    std::atomic<bool> cancel{false};
    std::atomic<qint64> bytes{0};
    std::atomic<int> files{0};
};

QStringList tree(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(root).relativeFilePath(it.next()));
    out.sort();
    return out;
}

bool openImage(Disc &disc, const DiscImage &image, const QString &path)
{
    QString error;
    return image.write(path, 0, &error) && disc.open(path, &error);
}

} // namespace

void TestDisc::extractWritesTreeAndSkips()
{
    DiscImage image;
    image.addFile("default.xex", fixture::pattern(9000, 1));
    image.addFile("$SystemUpdate/su.bin", fixture::pattern(4000, 2));
    image.addFile("media/sub/deep.bin", fixture::pattern(5 * 1024 * 1024 + 3, 3)); // two chunks
    image.addFile("media/empty.bin", QByteArray());
    image.addFolder("save");
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("extract.iso")));
    const QString out = tempPath("extract-out");
    Counters c;
    QString error;
    QVERIFY2(disc.extractAll(out, isSystemUpdate, c.cancel, c.bytes, c.files, &error), qPrintable(error));
    QCOMPARE(tree(out), (QStringList{"default.xex", "media", "media/empty.bin", "media/sub",
                                     "media/sub/deep.bin", "save"}));
    QCOMPARE(fixture::readAll(out + "/media/sub/deep.bin"), fixture::pattern(5 * 1024 * 1024 + 3, 3));
    QCOMPARE(fixture::readAll(out + "/default.xex"), fixture::pattern(9000, 1));
    QCOMPARE(c.files.load(), 3);
    QCOMPARE(c.bytes.load(), disc.totalBytes(isSystemUpdate));

    const QString all = tempPath("extract-all");
    Counters c2;
    QVERIFY(disc.extractAll(all, {}, c2.cancel, c2.bytes, c2.files, &error));
    QCOMPARE(fixture::readAll(all + "/$SystemUpdate/su.bin"), fixture::pattern(4000, 2));
    QCOMPARE(c2.files.load(), 4);
}

void TestDisc::extractTwiceResumes()
{
    DiscImage image;
    image.addFile("a.bin", fixture::pattern(3000, 1));
    image.addFile("b/c.bin", fixture::pattern(7000, 2));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("twice.iso")));
    const QString out = tempPath("twice-out");
    Counters first;
    QString error;
    QVERIFY(disc.extractAll(out, {}, first.cancel, first.bytes, first.files, &error));
    // A file of the right size is taken as done: the second run must not rewrite it.
    QByteArray marker(3000, 'm');
    QVERIFY(fixture::writeAll(out + "/a.bin", marker));
    // A file of another size is written again.
    QVERIFY(fixture::writeAll(out + "/b/c.bin", "short"));
    Counters second;
    QVERIFY(disc.extractAll(out, {}, second.cancel, second.bytes, second.files, &error));
    QCOMPARE(fixture::readAll(out + "/a.bin"), marker);
    QCOMPARE(fixture::readAll(out + "/b/c.bin"), fixture::pattern(7000, 2));
    QCOMPARE(second.files.load(), 2);
    QCOMPARE(second.bytes.load(), 10000);
    QCOMPARE(tree(out), (QStringList{"a.bin", "b", "b/c.bin"}));
}

void TestDisc::extractInSectorOrderKeepsDoneFiles()
{
    // Data in the order added: "z-first.bin" lies first on the disc although the tree lists it last;
    // "a-last.bin" is cut short. Extraction goes front to back, so "z-first.bin" is in place before the
    // failure, and the failed file leaves no ".part".
    DiscImage image;
    image.addFile("z-first.bin", fixture::pattern(6000, 1));
    image.addFile("m-middle.bin", fixture::pattern(6000, 2));
    image.addFile("a-last.bin", fixture::pattern(6000, 3));
    const QString path = tempPath("order-extract.iso");
    QString error;
    QVERIFY(image.write(path, 0, &error));
    QVERIFY(fixture::cut(path, QFileInfo(path).size() - 4000));
    Disc disc;
    QVERIFY(disc.open(path, &error));
    QCOMPARE(disc.entries().last().path, QStringLiteral("a-last.bin"));
    const QString out = tempPath("order-out");
    Counters c;
    QVERIFY(!disc.extractAll(out, {}, c.cancel, c.bytes, c.files, &error));
    QCOMPARE(error, QStringLiteral("The image is cut short (a-last.bin lies past its end)."));
    QCOMPARE(tree(out), (QStringList{"m-middle.bin", "z-first.bin"}));
    QCOMPARE(c.files.load(), 2);
}

void TestDisc::cancelMidFile()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a named pipe and /dev/full");
#else
    // The ".part" file is a pipe read by this test: the first 4 MiB chunk cannot finish before the
    // test has set the flag, so the flag is seen before the second chunk, deterministically.
    DiscImage image;
    image.addFile("big.bin", fixture::pattern(10 * 1024 * 1024, 4));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("cancel.iso")));
    const QString out = tempPath("cancel-out");
    QVERIFY(QDir().mkpath(out));
    const QString part = out + "/big.bin.part";
    QCOMPARE(mkfifo(QFile::encodeName(part).constData(), 0600), 0);
    Counters c;
    std::thread reader([&] {
        const int fd = ::open(QFile::encodeName(part).constData(), O_RDONLY);
        if (fd < 0)
            return;
        qint64 total = 0;
        char buffer[65536];
        for (;;) {
            if (total >= 2 * 1024 * 1024)
                c.cancel.store(true);
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            total += got;
        }
        ::close(fd);
    });
    QString error;
    const bool ok = disc.extractAll(out, {}, c.cancel, c.bytes, c.files, &error);
    reader.join();
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Cancelled."));
    QCOMPARE(c.bytes.load(), 4 * 1024 * 1024);
    QCOMPARE(c.files.load(), 0);
    QVERIFY(!QFileInfo::exists(part));
    QVERIFY(!QFileInfo::exists(out + "/big.bin"));
#endif
}

void TestDisc::cancelBeforeFirstChunk()
{
    DiscImage image;
    image.addFile("a.bin", fixture::pattern(100, 1));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("cancel0.iso")));
    Counters c;
    c.cancel = true;
    QString error;
    QVERIFY(!disc.extractAll(tempPath("cancel0-out"), {}, c.cancel, c.bytes, c.files, &error));
    QCOMPARE(error, QStringLiteral("Cancelled."));
    QCOMPARE(tree(tempPath("cancel0-out")), QStringList());
}

void TestDisc::diskFullRemovesPart()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a named pipe and /dev/full");
#else
    DiscImage image;
    image.addFile("full.bin", fixture::pattern(100000, 1));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("full.iso")));
    const QString out = tempPath("full-out");
    QVERIFY(QDir().mkpath(out));
    // Writes through this ".part" fail with "No space left on device".
    QVERIFY(QFile::link("/dev/full", out + "/full.bin.part"));
    Counters c;
    QString error;
    QVERIFY(!disc.extractAll(out, {}, c.cancel, c.bytes, c.files, &error));
    QVERIFY2(error.startsWith(
                 QStringLiteral("Cannot write %1: ").arg(QDir::toNativeSeparators(out + "/full.bin"))),
             qPrintable(error));
    QVERIFY2(error.endsWith(QStringLiteral(" (is the disk full?)")), qPrintable(error));
    QCOMPARE(tree(out), QStringList());
#endif
}

void TestDisc::extractFolderFailures()
{
    DiscImage image;
    image.addFile("sub/a.bin", fixture::pattern(10, 1));
    image.addFile("b.bin", fixture::pattern(10, 2));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("folders.iso")));
    QString error;
    // The destination is a file: its folders cannot be made.
    const QString blocked = tempPath("blocked");
    QVERIFY(fixture::writeAll(blocked, "x"));
    Counters c;
    QVERIFY(!disc.extractAll(blocked, {}, c.cancel, c.bytes, c.files, &error));
    QVERIFY2(
        error.startsWith(QStringLiteral("Cannot make the folder %1").arg(QDir::toNativeSeparators(blocked))),
        qPrintable(error));
    QVERIFY(error.endsWith(u'.'));
    // The ".part" name is taken by a folder.
    const QString out = tempPath("partdir-out");
    QVERIFY(QDir().mkpath(out + "/b.bin.part"));
    Counters c2;
    QVERIFY(!disc.extractAll(
        out, [](const QString &p) { return p.startsWith("sub"); }, c2.cancel, c2.bytes, c2.files, &error));
    QVERIFY2(error.startsWith(
                 QStringLiteral("Cannot write %1: ").arg(QDir::toNativeSeparators(out + "/b.bin.part"))),
             qPrintable(error));
}

void TestDisc::cannotPutInPlace()
{
    DiscImage image;
    image.addFile("b.bin", fixture::pattern(10, 2));
    Disc disc;
    QVERIFY(openImage(disc, image, tempPath("inplace.iso")));
    const QString out = tempPath("inplace-out");
    // A non-empty folder holds the target's name.
    QVERIFY(QDir().mkpath(out + "/b.bin/keep"));
    Counters c;
    QString error;
    QVERIFY(!disc.extractAll(out, {}, c.cancel, c.bytes, c.files, &error));
    QCOMPARE(error, QStringLiteral("Cannot put %1 in place.").arg(QDir::toNativeSeparators(out + "/b.bin")));
    QCOMPARE(c.files.load(), 0);
}
