// The identity checks and their words.

#include "tst_gamedata.h"

#include "gamedata/game.h"
#include "x360/writer/xexwriter.h"

#include <QCryptographicHash>
#include <QTest>

namespace {

x360::writer::XexSpec releaseSpec()
{
    x360::writer::XexSpec spec;
    spec.titleId = 0x5D3A0F21;
    spec.mediaId = 0x2C71E9B0;
    spec.version = 0x2;
    spec.baseVersion = 0x2;
    spec.body = QByteArray(4096, 'b');
    return spec;
}

QByteArray releaseXex()
{
    return x360::writer::buildXex(releaseSpec());
}

Game sampleGame()
{
    Game game;
    game.id = QStringLiteral("orx");
    game.title = QStringLiteral("Ironmere IV");
    game.edition = QStringLiteral("Xbox 360, World");
    game.titleId = QStringLiteral("5D3A0F21");
    game.mediaId = QStringLiteral("2c71e9b0");
    game.xexVersion = QStringLiteral("0.0.0.2");
    game.xexSha1 =
        QString::fromLatin1(QCryptographicHash::hash(releaseXex(), QCryptographicHash::Sha1).toHex());
    game.titleUpdate.number = 3;
    game.titleUpdate.package = QStringLiteral("TU_ORX_0003O2");
    game.titleUpdate.packageNote = QStringLiteral("it ends in the capital letter O and the number 2");
    game.titleUpdate.xexpSha1 = QStringLiteral("33333333333333333333333333333333333333aa");
    game.titleUpdate.toVersion = QStringLiteral("0.0.3.2");
    TitleUpdate one;
    one.number = 1;
    one.xexpSha1 = QStringLiteral("11111111111111111111111111111111111111aa");
    one.toVersion = QStringLiteral("0.0.1.2");
    TitleUpdate unknown; // an older update whose hash is not known matches nothing
    unknown.number = 2;
    game.olderTitleUpdates = {one, unknown};
    return game;
}

const QString neededText = QStringLiteral("Orvex Rovivi now needs title update 3, the last update of "
                                          "Ironmere IV. Both players of a match must have the "
                                          "same update.\n\nTitle update 3 is the file TU_ORX_0003O2 (it ends "
                                          "in the capital letter O and the number 2). "
                                          "Your Xbox 360 downloads it from Xbox Live when it starts the game "
                                          "online, and usually keeps it in its folder "
                                          "Content\\0000000000000000\\5D3A0F21\\000B0000.");

} // namespace

void TestGameData::executableAccepted_data()
{
    QTest::addColumn<bool>("upperCaseSha1");
    QTest::newRow("same case") << false;
    QTest::newRow("hash in capitals") << true;
}

void TestGameData::executableAccepted()
{
    QFETCH(bool, upperCaseSha1);
    Game game = sampleGame();
    if (upperCaseSha1)
        game.xexSha1 = game.xexSha1.toUpper();
    QCOMPARE(game.checkExecutable(releaseXex()), QString());
}

void TestGameData::executableDescriptions_data()
{
    QTest::addColumn<QByteArray>("xex");
    QTest::addColumn<QString>("description");
    QTest::newRow("not an executable")
        << QByteArray("MZ not a xex at all, but long enough")
        << "not an Xbox 360 game's default.xex (not an Xbox 360 executable (no XEX2 "
           "header))";
    QByteArray damaged = releaseXex().left(30);
    QTest::newRow("damaged header") << damaged
                                    << "not an Xbox 360 game's default.xex (its XEX2 header is damaged)";
    x360::writer::XexSpec spec = releaseSpec();
    spec.executionInfo = false;
    QTest::newRow("no execution info")
        << x360::writer::buildXex(spec) << "a default.xex without the title's execution info";
    spec = releaseSpec();
    spec.titleId = 0xABCD;
    QTest::newRow("another game") << x360::writer::buildXex(spec) << "another game (title ID 0000ABCD)";
    spec = releaseSpec();
    spec.version = 0x302;
    QTest::newRow("another version")
        << x360::writer::buildXex(spec)
        << "Ironmere IV version 0.0.3.2 (this build is made from version 0.0.0.2)";
    spec = releaseSpec();
    spec.mediaId = 0x00ab12cd;
    QTest::newRow("another print")
        << x360::writer::buildXex(spec)
        << "another print or region of Ironmere IV (media ID 00AB12CD, this build's is "
           "2c71e9b0)";
    spec = releaseSpec();
    spec.body[100] = 'X';
    QTest::newRow("modified copy")
        << x360::writer::buildXex(spec)
        << "a modified copy of Ironmere IV (the same version, changed: a patched or "
           "damaged executable)";
}

void TestGameData::executableDescriptions()
{
    QFETCH(QByteArray, xex);
    QFETCH(QString, description);
    const Game game = sampleGame();
    const QString message = game.checkExecutable(xex);
    QVERIFY2(message.startsWith(
                 QStringLiteral("This disc is %1, not Ironmere IV (Xbox 360, World). ").arg(description)),
             qPrintable(message));
}

void TestGameData::executableFullMessage()
{
    const Game game = sampleGame();
    x360::writer::XexSpec spec = releaseSpec();
    spec.titleId = 0x4D5307E6;
    QCOMPARE(game.checkExecutable(x360::writer::buildXex(spec)),
             QStringLiteral(
                 "This disc is another game (title ID 4D5307E6), not Ironmere IV (Xbox 360, World). "
                 "Orvex Rovivi builds the game from that release's default.xex only (SHA-1 %1): both "
                 "players of a match must run the very same code, and the title update fits that version "
                 "only. Use a disc image of Ironmere IV (Xbox 360, World).")
                 .arg(game.xexSha1));
}

void TestGameData::titleUpdateMessages_data()
{
    QTest::addColumn<QString>("sha1");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("paragraph");
    const QString subject = QStringLiteral("The title update on this PC is");
    QTest::newRow("older update, hash in capitals") << "11111111111111111111111111111111111111AA"
                                                    << "0.0.1.2" << subject + " title update 1.";
    QTest::newRow("unknown hash, no version") << "99"
                                              << ""
                                              << subject + " not title update 3: its files are not the ones "
                                                           "title update 3 has (a changed or damaged copy).";
    QTest::newRow("empty hash matches no unknown update")
        << ""
        << ""
        << subject + " not title update 3: its files are not the ones title update 3 has (a changed or "
                     "damaged copy).";
    QTest::newRow("unknown hash, current version")
        << "99"
        << "0.0.3.2"
        << subject + " not title update 3: its files are not the ones title update 3 has (a changed or "
                     "damaged copy).";
    QTest::newRow("another version") << "99"
                                     << "0.0.4.2"
                                     << subject +
                                            " another title update of Ironmere IV: it makes the game version "
                                            "0.0.4.2, and title update 3 makes it version 0.0.3.2.";
}

void TestGameData::titleUpdateMessages()
{
    QFETCH(QString, sha1);
    QFETCH(QString, version);
    QFETCH(QString, paragraph);
    const Game game = sampleGame();
    QCOMPARE(game.checkTitleUpdate(QStringLiteral("The title update on this PC is"), sha1, version),
             paragraph + QStringLiteral("\n\n") + neededText);
}

void TestGameData::updateNeededText()
{
    Game game = sampleGame();
    QCOMPARE(game.updateNeededText(), neededText);
    game.titleUpdate.packageNote.clear();
    QVERIFY(game.updateNeededText().contains(QLatin1String("is the file TU_ORX_0003O2. Your")));
}

void TestGameData::placeholdersFilledOnce()
{
    Game game = sampleGame();
    game.title = QStringLiteral("Game %2 %1");
    game.edition = QStringLiteral("%4");
    x360::writer::XexSpec spec = releaseSpec();
    spec.version = 0x302;
    const QString message = game.checkExecutable(x360::writer::buildXex(spec));
    QVERIFY2(message.startsWith(QStringLiteral("This disc is Game %2 %1 version 0.0.3.2 (this build is made "
                                               "from version 0.0.0.2), not Game %2 %1 "
                                               "(%4).")),
             qPrintable(message));
    QVERIFY(message.endsWith(QStringLiteral("Use a disc image of Game %2 %1 (%4).")));
}
