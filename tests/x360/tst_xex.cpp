#include "tst_xex.h"

#include "fixtures.h"
#include "x360/writer/xexwriter.h"
#include "x360/xex.h"

#include <QTest>

using namespace x360;

namespace {

const QString noHeader = QStringLiteral("not an Xbox 360 executable (no XEX2 header)");
const QString damaged = QStringLiteral("its XEX2 header is damaged");

// "XEX2", flags, three words, count; table from 0x18; execution info at 0x30, patch at 0x48.
QByteArray handHeader()
{
    QByteArray b(0x80, '\0');
    b.replace(0, 4, "XEX2");
    fixture::putBe32(b, 4, 0x20);
    fixture::putBe32(b, 0x14, 2);
    fixture::putBe32(b, 0x18, 0x40006);
    fixture::putBe32(b, 0x1C, 0x30);
    fixture::putBe32(b, 0x20, 0x5FF);
    fixture::putBe32(b, 0x24, 0x48);
    fixture::putBe32(b, 0x30, 0x2C71E9B0); // media ID
    fixture::putBe32(b, 0x34, 0x00000302); // version
    fixture::putBe32(b, 0x38, 0x00000002); // base version
    fixture::putBe32(b, 0x3C, 0x5D3A0F21); // title ID
    b[0x30 + 18] = 2;                      // disc number
    b[0x30 + 19] = 3;                      // disc count
    fixture::putBe32(b, 0x48 + 4, 0x302);  // target version
    fixture::putBe32(b, 0x48 + 8, 0x2);    // source version
    b.replace(0x48 + 12, 20, QByteArray(20, '\x5A'));
    return b;
}

} // namespace

void TestXex::handBuiltHeader()
{
    XexInfo info;
    QString error;
    QVERIFY2(readXex(handHeader(), &info, &error), qPrintable(error));
    QCOMPARE(info.moduleFlags, 0x20u);
    QVERIFY(info.isPatch);
    QVERIFY(info.hasExecutionInfo);
    QCOMPARE(info.mediaId, 0x2C71E9B0u);
    QCOMPARE(info.version, 0x302u);
    QCOMPARE(info.baseVersion, 0x2u);
    QCOMPARE(info.titleId, 0x5D3A0F21u);
    QCOMPARE(info.discNumber, 2u);
    QCOMPARE(info.discCount, 3u);
    QVERIFY(info.hasDeltaPatch);
    QCOMPARE(info.patchTargetVersion, 0x302u);
    QCOMPARE(info.patchSourceVersion, 0x2u);
    QCOMPARE(info.patchSourceDigest, QByteArray(20, '\x5A'));
    QVERIFY(info.moduleName.isEmpty());
}

void TestXex::writerHeader()
{
    writer::XexSpec spec;
    spec.titleId = 0x11223344;
    spec.mediaId = 0x55667788;
    spec.version = 0x20000000;
    spec.baseVersion = 0x1;
    spec.discNumber = 1;
    spec.discCount = 2;
    spec.moduleName = QStringLiteral("game.exe");
    spec.body = fixture::pattern(1000, 1);
    const QByteArray bytes = writer::buildXex(spec);
    QCOMPARE(bytes.left(4), QByteArray("XEX2"));
    XexInfo info;
    QString error;
    QVERIFY2(readXex(bytes, &info, &error), qPrintable(error));
    QVERIFY(info.hasExecutionInfo);
    QVERIFY(!info.isPatch);
    QVERIFY(!info.hasDeltaPatch);
    QCOMPARE(info.titleId, 0x11223344u);
    QCOMPARE(info.mediaId, 0x55667788u);
    QCOMPARE(versionText(info.version), QStringLiteral("2.0.0.0"));
    QCOMPARE(info.discCount, 2u);
    QCOMPARE(info.moduleName, QStringLiteral("game.exe"));
}

void TestXex::everyCut()
{
    // Cut the header at every byte: below 24 bytes there is no header; until the whole table is
    // there it is damaged; after that it parses, and each optional header counts only once whole.
    const QByteArray whole = handHeader();
    for (int size = 0; size <= whole.size(); ++size) {
        XexInfo info;
        QString error;
        const bool ok = readXex(whole.left(size), &info, &error);
        if (size < 24) {
            QVERIFY(!ok);
            QCOMPARE(error, noHeader);
        } else if (size < 0x18 + 2 * 8) {
            QVERIFY(!ok);
            QCOMPARE(error, damaged);
        } else {
            QVERIFY2(ok, qPrintable(QString::number(size)));
            QCOMPARE(info.hasExecutionInfo, size >= 0x30 + 24);
            QCOMPARE(info.hasDeltaPatch, size >= 0x48 + 32);
            QCOMPARE(info.titleId, info.hasExecutionInfo ? 0x5D3A0F21u : 0u);
        }
    }
}

void TestXex::damagedTables_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    QByteArray wrongMagic = handHeader();
    wrongMagic[3] = '1';
    QTest::newRow("XEX1") << wrongMagic << noHeader;
    QByteArray tooMany = handHeader();
    fixture::putBe32(tooMany, 0x14, 4097);
    QTest::newRow("4097 headers") << tooMany << damaged;
    QByteArray huge = handHeader();
    fixture::putBe32(huge, 0x14, 0xFFFFFFFF);
    QTest::newRow("count 0xFFFFFFFF") << huge << damaged;
    QByteArray pastEnd = handHeader();
    fixture::putBe32(pastEnd, 0x14, 14); // 0x18 + 14 * 8 > 0x80
    QTest::newRow("table past the end") << pastEnd << damaged;
}

void TestXex::damagedTables()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    XexInfo info;
    QString error;
    QVERIFY(!readXex(bytes, &info, &error));
    QCOMPARE(error, message);
}

void TestXex::withoutExecutionInfo()
{
    QByteArray b = handHeader();
    fixture::putBe32(b, 0x18, 0x10001);    // another key
    fixture::putBe32(b, 0x24, 0xFFFFFFF0); // the patch descriptor's offset out of range
    XexInfo info;
    QString error;
    QVERIFY(readXex(b, &info, &error));
    QVERIFY(!info.hasExecutionInfo);
    QVERIFY(!info.hasDeltaPatch);
    QCOMPARE(info.titleId, 0u);
    fixture::putBe32(b, 0x14, 0);
    QVERIFY(readXex(b.left(24), &info, &error));
}

void TestXex::moduleNames_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << 12u << QByteArray("orx.exe\0", 8) << "orx.exe";
    QTest::newRow("no NUL") << 8u << QByteArray("abcd") << "abcd";
    QTest::newRow("length 4: empty") << 4u << QByteArray("abcd") << "";
    QTest::newRow("length past the end") << 400u << QByteArray("abcd") << "";
}

void TestXex::moduleNames()
{
    QFETCH(quint32, length);
    QFETCH(QByteArray, text);
    QFETCH(QString, name);
    QByteArray b(0x20, '\0');
    b.replace(0, 4, "XEX2");
    fixture::putBe32(b, 0x14, 1);
    fixture::putBe32(b, 0x18, 0x183FF);
    fixture::putBe32(b, 0x1C, 0x20);
    QByteArray word(4, '\0');
    fixture::putBe32(word, 0, length);
    b.append(word + text);
    XexInfo info;
    QString error;
    QVERIFY(readXex(b, &info, &error));
    QCOMPARE(info.moduleName, name);
}

void TestXex::patchFlags_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<bool>("patch");
    QTest::newRow("title") << 0x1u << false;
    QTest::newRow("patch 0x10") << 0x10u << true;
    QTest::newRow("delta patch 0x20") << 0x20u << true;
    QTest::newRow("0x40") << 0x40u << false;
}

void TestXex::patchFlags()
{
    QFETCH(quint32, flags);
    QFETCH(bool, patch);
    QByteArray b = handHeader();
    fixture::putBe32(b, 4, flags);
    XexInfo info;
    QString error;
    QVERIFY(readXex(b, &info, &error));
    QCOMPARE(info.isPatch, patch);
}

void TestXex::versionTexts_data()
{
    QTest::addColumn<quint32>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("top four bits") << 0x20000000u << "2.0.0.0";
    QTest::newRow("qfe") << 0x2u << "0.0.0.2";
    QTest::newRow("update 3") << 0x302u << "0.0.3.2";
    QTest::newRow("all fields") << 0x12345678u << "1.2.13398.120";
    QTest::newRow("all bits") << 0xFFFFFFFFu << "15.15.65535.255";
}

void TestXex::versionTexts()
{
    QFETCH(quint32, value);
    QFETCH(QString, text);
    QCOMPARE(versionText(value), text);
}
