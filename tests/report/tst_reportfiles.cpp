// The files of one report: parts, picture widths, the texture budget, the log's anonymiser, the
// information file, and a whole capture folder turned into files in order.

#include "report/reportfiles.h"
#include "reporttestkit.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace reporttest;

namespace {

struct Texture {
    QString file; // without ".bmp"
    QSize size;
    bool noisy = true;
};

QStringList names(const QList<report::ReportFile> &files)
{
    QStringList out;
    for (const report::ReportFile &f : files)
        out << f.name;
    return out;
}

const report::ReportFile *find(const QList<report::ReportFile> &files, const QString &name)
{
    for (const report::ReportFile &f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

report::ReportContext contextFor(const QString &session, const QString &capture)
{
    report::ReportContext c;
    c.gameId = QStringLiteral("orx");
    c.sessionDir = session;
    c.captureDir = capture;
    c.displayMode = QStringLiteral("borderless");
    c.displayResolution = QStringLiteral("desktop");
    c.sentAt = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7), Qt::UTC);
    return c;
}

} // namespace

Q_DECLARE_METATYPE(QList<Texture>)

class TestReportFiles : public QObject {
    Q_OBJECT
private slots:
    void parts_data();
    void parts();
    void widths_data();
    void widths();
    void textures_data();
    void textures();
    void anonymiser_data();
    void anonymiser();
    void infoText_data();
    void infoText();
    void wholeCaptureInOrder();
    void unreadableFilesAreLeftOut_data();
    void unreadableFilesAreLeftOut();
};

void TestReportFiles::parts_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("parts");
    QTest::newRow("0 bytes: one empty part") << 0 << QList<int>{0};
    QTest::newRow("1 byte") << 1 << QList<int>{1};
    QTest::newRow("11400 bytes: one part") << 11400 << QList<int>{11400};
    QTest::newRow("11401 bytes") << 11401 << QList<int>{11400, 1};
    QTest::newRow("22801 bytes: 11400, 11400, 1") << 22801 << QList<int>{11400, 11400, 1};
}

void TestReportFiles::parts()
{
    QFETCH(int, size);
    QFETCH(QList<int>, parts);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + 7);
    QCOMPARE(report::partCount(size), parts.size());
    const QList<QByteArray> split = report::splitParts(bytes);
    QList<int> sizes;
    for (const QByteArray &p : split)
        sizes << int(p.size());
    QCOMPARE(sizes, parts);
    QCOMPARE(split.join(), bytes);
}

void TestReportFiles::widths_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QSize>("sent");
    QTest::newRow("final 3840 wide: 1920") << QSize(3840, 2160) << report::FinalWidth << QSize(1920, 1080);
    QTest::newRow("final 1280 wide stays") << QSize(1280, 720) << report::FinalWidth << QSize(1280, 720);
    QTest::newRow("frame 1280 wide stays") << QSize(1280, 720) << report::FrameWidth << QSize(1280, 720);
    QTest::newRow("frame 800 wide stays") << QSize(800, 600) << report::FrameWidth << QSize(800, 600);
    QTest::newRow("frame 2560 wide: 1280") << QSize(2560, 1600) << report::FrameWidth << QSize(1280, 800);
}

void TestReportFiles::widths()
{
    QFETCH(QSize, source);
    QFETCH(int, limit);
    QFETCH(QSize, sent);
    QVERIFY2(report::canWriteJpeg(), "this Qt has no JPEG writer");
    const QByteArray jpeg = report::encodeJpeg(smoothImage(source), limit, 85);
    QVERIFY(jpeg.startsWith("\xff\xd8"));
    QBuffer buffer;
    buffer.setData(jpeg);
    QImageReader reader(&buffer, "jpeg");
    QCOMPARE(reader.size(), sent);
    const QImage back = reader.read();
    QVERIFY(!back.isNull());
    QVERIFY(!back.isGrayscale());
}

void TestReportFiles::textures_data()
{
    QTest::addColumn<QList<Texture>>("textures");
    QTest::addColumn<QStringList>("sent");
    // Noise as PNG takes about 3 bytes a pixel: sides of 590, 835 and 1020 give about 1, 2 and 3 MiB.
    QTest::newRow("PNGs of 3, 1 and 2 MiB: the 1 and 2 MiB ones")
        << QList<Texture>{{"tex_three", {1020, 1020}}, {"tex_one", {590, 590}}, {"tex_two", {835, 835}}}
        << QStringList{"tex_one.png", "tex_two.png"};
    QTest::newRow("the first past the budget ends the list, though a later one would fit")
        << QList<Texture>{{"tex_noise", {1000, 1000}},
                          {"tex_more_noise", {1100, 1100}},
                          {"tex_big_but_plain", {1400, 1400}, false}}
        << QStringList{"tex_noise.png"};
    QTest::newRow("a long name is cut to 36 characters, a blank stays")
        << QList<Texture>{{"tex_stage_background_far_mountains_layer_02", {8, 8}},
                          {"tex_hero skin", {16, 16}}}
        << QStringList{"tex_stage_background_far_mountains_l.png", "tex_hero skin.png"};
    QTest::newRow("two names cut alike: the smaller keeps it")
        << QList<Texture>{{"tex_0123456789012345678901234567890123_a", {8, 8}},
                          {"tex_0123456789012345678901234567890123_b", {16, 16}}}
        << QStringList{"tex_01234567890123456789012345678901.png"};
    QTest::newRow("no textures") << QList<Texture>{} << QStringList{};
}

void TestReportFiles::textures()
{
    QFETCH(QList<Texture>, textures);
    QFETCH(QStringList, sent);
    QTemporaryDir dir;
    const QString capture = dir.filePath("captures/c1");
    QVERIFY(QDir().mkpath(capture));
    quint32 seed = 1;
    for (const Texture &t : std::as_const(textures))
        QVERIFY(writeBmp(QDir(capture).filePath(t.file + ".bmp"),
                         t.noisy ? noiseImage(t.size, seed++) : smoothImage(t.size)));
    // A damaged texture among them is left out without ending the list.
    QVERIFY(writeBytes(QDir(capture).filePath("tex_0_damaged.bmp"), "BM not a picture"));
    const QList<report::ReportFile> files = report::buildReportFiles(contextFor(QString(), capture));
    QStringList pngs;
    qint64 total = 0;
    for (const report::ReportFile &f : files) {
        if (!f.name.endsWith(".png"))
            continue;
        pngs << f.name;
        total += f.bytes.size();
        QVERIFY(!f.compressed);
        QVERIFY(f.bytes.startsWith("\x89PNG"));
    }
    QCOMPARE(pngs, sent);
    QVERIFY(total <= report::TextureBudget);
}

void TestReportFiles::anonymiser_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("address") << QByteArray("peer 192.168.1.20:7001 gone\n")
                             << QByteArray("peer x.x.x.x:7001 gone\n");
    QTest::newRow("profile path with a blank") << QByteArray("C:\\Users\\Ann Lee\\Documents\\save.bin")
                                               << QByteArray("C:\\Users\\*\\Documents\\save.bin");
    QTest::newRow("at a line end, CR LF kept") << QByteArray("open D:\\Users\\ann\r\nnext line\r\n")
                                               << QByteArray("open D:\\Users\\*\r\nnext line\r\n");
    QTest::newRow("not addresses") << QByteArray("1234.5.6.7 v1.2.3.4") << QByteArray("1234.5.6.7 v1.2.3.4");
    QTest::newRow("a version that looks like one")
        << QByteArray("build 1.2.3.4") << QByteArray("build x.x.x.x");
    QTest::newRow("two paths on a line") << QByteArray("moved C:\\Users\\ann to C:\\Users\\bob\\x")
                                         << QByteArray("moved C:\\Users\\* C:\\Users\\*\\x");
    QTest::newRow("lower case") << QByteArray("c:\\users\\ann\\x") << QByteArray("c:\\users\\*\\x");
    QTest::newRow("forward slashes") << QByteArray("C:/Users/Ann/x") << QByteArray("C:/Users/*/x");
    QTest::newRow("home folder") << QByteArray("/home/ann/.cache/x") << QByteArray("/home/*/.cache/x");
    QTest::newRow("bytes above 127 stay, a name with them goes")
        << QByteArray("caf\xe9 \xff C:\\Users\\J\xe9r\xf4me\\x \x80")
        << QByteArray("caf\xe9 \xff C:\\Users\\*\\x \x80");
    QTest::newRow("quoted path") << QByteArray("\"C:\\Users\\ann\" and 'x'")
                                 << QByteArray("\"C:\\Users\\*\" and 'x'");
    QTest::newRow("nothing to hide, control bytes too")
        << QByteArray("a\tb\0c\n", 6) << QByteArray("a\tb\0c\n", 6);
    QTest::newRow("Users folder alone") << QByteArray("C:\\Users\\") << QByteArray("C:\\Users\\");
}

void TestReportFiles::anonymiser()
{
    QFETCH(QByteArray, log);
    QFETCH(QByteArray, sent);
    QCOMPARE(report::anonymiseLog(log), sent);
}

void TestReportFiles::infoText_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("resolution");
    QTest::addColumn<bool>("vsync");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("defaults") << "borderless"
                              << "desktop" << true
                              << QByteArray("launcher 0.1.8\ngame orx\nsession orx-20260304-050607-1\n"
                                            "capture 20260304-050608-123\nsent 2026-03-04 05:06:07 UTC\n"
                                            "display borderless desktop, vsync on\n");
    QTest::newRow("windowed, no vsync")
        << "windowed"
        << "1280x720" << false
        << QByteArray("launcher 0.1.8\ngame orx\nsession orx-20260304-050607-1\n"
                      "capture 20260304-050608-123\nsent 2026-03-04 05:06:07 UTC\n"
                      "display windowed 1280x720, vsync off\n");
}

void TestReportFiles::infoText()
{
    QFETCH(QString, mode);
    QFETCH(QString, resolution);
    QFETCH(bool, vsync);
    QFETCH(QByteArray, text);
    report::ReportContext c = contextFor("/data/sessions/orx-20260304-050607-1",
                                         "/data/sessions/orx-20260304-050607-1/captures/20260304-050608-123");
    c.displayMode = mode;
    c.displayResolution = resolution;
    c.vsync = vsync;
    QCOMPARE(report::infoText(c), text);
}

void TestReportFiles::wholeCaptureInOrder()
{
    QTemporaryDir dir;
    const QString session = dir.filePath("orx-20260304-050607-1");
    const QString capture = QDir(session).filePath("captures/20260304-050608-123");
    QVERIFY(writeBmp(QDir(capture).filePath("final.bmp"), smoothImage({2400, 1350})));
    for (int n = 0; n < 20; ++n)
        QVERIFY(writeBmp(QDir(capture).filePath(report::frameName(n, "bmp")), smoothImage({1600, 900})));
    // A dump past 8 MiB, of which the first 8 MiB go.
    QByteArray dump;
    for (int i = 0; dump.size() < 9 * 1024 * 1024; ++i)
        dump += "draw " + QByteArray::number(i) + " prim=3\n";
    QVERIFY(writeBytes(QDir(capture).filePath("frame.txt"), dump));
    QVERIFY(writeBmp(QDir(capture).filePath("tex_wall.bmp"), noiseImage({32, 32}, 9)));
    QVERIFY(writeBytes(QDir(capture).filePath("capture.json"), "{}"));
    QVERIFY(writeBytes(QDir(capture).filePath("tex_note.txt"), "not a texture"));
    // A log past 256 KiB: its start (with an address) is not sent, its end is, anonymised.
    QByteArray log = "peer 10.0.0.1:7001 early\n" + QByteArray(300 * 1024, 'a') + "\n";
    log += "save C:\\Users\\Ann Lee\\Documents\\x \xe9\n";
    QVERIFY(writeBytes(QDir(session).filePath("game.log"), log));

    std::atomic<bool> cancel{false};
    bool jpegMissing = true;
    const QList<report::ReportFile> files =
        report::buildReportFiles(contextFor(session, capture), &cancel, &jpegMissing);
    QVERIFY(!jpegMissing);
    QStringList expected{"final.jpg"};
    for (int n = 0; n < 20; ++n)
        expected << report::frameName(n, "jpg");
    expected << "frame.txt"
             << "tex_wall.png"
             << "game.log"
             << "info.txt";
    QCOMPARE(names(files), expected);

    QCOMPARE(QImage::fromData(find(files, "final.jpg")->bytes).size(), QSize(1920, 1080));
    QCOMPARE(QImage::fromData(find(files, "next_07.jpg")->bytes).size(), QSize(1280, 720));
    for (const report::ReportFile &f : files)
        QCOMPARE(f.compressed, f.name == "frame.txt" || f.name == "game.log" || f.name == "info.txt");

    // The compressed layout: the plain size in 4 big-endian bytes, then the zlib stream.
    const QByteArray packedDump = find(files, "frame.txt")->bytes;
    QCOMPARE(qFromBigEndian<quint32>(packedDump.constData()), quint32(8 * 1024 * 1024));
    QCOMPARE(quint8(packedDump.at(4)), quint8(0x78));
    QCOMPARE(qUncompress(packedDump), dump.left(8 * 1024 * 1024));

    const QByteArray sentLog = qUncompress(find(files, "game.log")->bytes);
    QCOMPARE(sentLog, report::anonymiseLog(log.right(256 * 1024)));
    QVERIFY(sentLog.endsWith("save C:\\Users\\*\\Documents\\x \xe9\n"));
    QVERIFY(!sentLog.contains("10.0.0.1"));

    QVERIFY(
        qUncompress(find(files, "info.txt")->bytes)
            .startsWith(
                "launcher 0.1.8\ngame orx\nsession orx-20260304-050607-1\ncapture 20260304-050608-123\n"));
}

void TestReportFiles::unreadableFilesAreLeftOut_data()
{
    QTest::addColumn<bool>("withLog");
    QTest::newRow("with the game's log") << true;
    QTest::newRow("without a log") << false;
}

void TestReportFiles::unreadableFilesAreLeftOut()
{
    QFETCH(bool, withLog);
    QTemporaryDir dir;
    const QString session = dir.filePath("s");
    const QString capture = QDir(session).filePath("captures/c");
    QVERIFY(QDir().mkpath(capture));
    if (withLog)
        QVERIFY(writeBytes(QDir(session).filePath("game.log"), "line\n"));
    // A damaged final picture, and a header claiming 30000 x 30000 pixels (past Qt's allocation limit).
    QVERIFY(writeBytes(QDir(capture).filePath("final.bmp"), "BM damaged"));
    QByteArray huge(54, '\0');
    huge[0] = 'B';
    huge[1] = 'M';
    qToLittleEndian<quint32>(54, huge.data() + 10);
    qToLittleEndian<quint32>(40, huge.data() + 14);
    qToLittleEndian<qint32>(30000, huge.data() + 18);
    qToLittleEndian<qint32>(30000, huge.data() + 22);
    qToLittleEndian<quint16>(1, huge.data() + 26);
    qToLittleEndian<quint16>(24, huge.data() + 28);
    huge += QByteArray(4096, '\x7f');
    QVERIFY(writeBytes(QDir(capture).filePath("next_00.bmp"), huge));
    QVERIFY(writeBmp(QDir(capture).filePath("next_01.bmp"), smoothImage({40, 20})));
    const QList<report::ReportFile> files = report::buildReportFiles(contextFor(session, capture));
    QCOMPARE(names(files), withLog ? QStringList({"next_01.jpg", "game.log", "info.txt"})
                                   : QStringList({"next_01.jpg", "info.txt"}));
}

int runReportFileTests(int argc, char **argv)
{
    TestReportFiles t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_reportfiles.moc"
