// The controls file: key names, the file format both ways, defaults and the atomic save.

#include "controls/controls.h"
#include "controls/controlsfile.h"
#include "controls/keynames.h"
#include "core/cfg.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

namespace {

Controls parse(const QString &text)
{
    return parseControlsFile(text.toUtf8());
}

// A mapping in which every field differs from the defaults.
Controls fullMapping()
{
    Controls c;
    c.keyboard = false;
    c.keys[XboxUp] = {124, 101};   // F13, Num5
    c.keys[XboxDown] = {193};      // no name: 0xC1
    c.keys[XboxLeft] = {226, 186}; // Oem102, Semicolon
    c.keys[XboxRight] = {};
    c.keys[XboxA] = {'Z', '9'};
    c.keys[XboxB] = {107, 111}; // NumAdd, NumDivide
    c.keys[XboxX] = {160, 163}; // LShift, RCtrl
    c.keys[XboxY] = {7};
    c.keys[XboxLb] = {33, 34};
    c.keys[XboxRb] = {135}; // F24
    c.keys[XboxLt] = {96};  // Num0
    c.keys[XboxRt] = {223, 222};
    c.keys[XboxStart] = {27}; // Esc, written as 0x1B
    c.keys[XboxBack] = {9};
    c.keys[XboxLs] = {'Q'};
    c.keys[XboxRs] = {20, 46};
    for (int i = 0; i < PadButtonCount; ++i)
        c.padButtons[i] = (i * 5 + 3) % (XboxButtonCount + 1) - 1; // every button and -1 appear
    c.player2 = QStringLiteral("Pad #2 \"Pro\" C:\\pads\\x = [a]");
    c.fight[XboxA] = FightA | FightG;
    c.fight[XboxB] = 0;
    c.fight[XboxX] = FightK;
    c.fight[XboxY] = FightA | FightB | FightK | FightG;
    c.fight[XboxRt] = FightB;
    return c;
}

} // namespace

class TestControls : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void assignKeys_data();
    void assignKeys();
    void cleanupTestCase();

    void parseKeyName_data();
    void parseKeyName();
    void keyFileName_data();
    void keyFileName();
    void keyShownName_data();
    void keyShownName();
    void everyCodeWithAFileNameReadsBack();

    void defaults();
    void defaultFileText();
    void defaultFileWrittenWhole();
    void roundTripOfAFullFile();
    void parseTable_data();
    void parseTable();
    void malformedLinesAreSkippedOneByOne();
    void controllerNameIsOneLine_data();
    void controllerNameIsOneLine();
    void fightTextsAndLabels_data();
    void fightTextsAndLabels();

    void saveAndLoadThroughTheSettingsFolder();
    void missingOrDamagedFileGivesDefaults();
    void failedSaveKeepsTheOldFile();

private:
    QTemporaryDir m_dir;
};

void TestControls::initTestCase()
{
    QVERIFY(m_dir.isValid());
    cfg::setAppDirForTesting(m_dir.path());
    cfg::init(m_dir.filePath(QStringLiteral("data/orx-launcher.ini")));
    QVERIFY(cfg::isOpen());
}

void TestControls::cleanupTestCase()
{
    cfg::resetForTesting();
}

void TestControls::parseKeyName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    QTest::newRow("F13") << "F13" << 124;
    QTest::newRow("f1 lower case") << "f1" << 112;
    QTest::newRow("F24") << "F24" << 135;
    QTest::newRow("F25") << "F25" << 0;
    QTest::newRow("F0") << "F0" << 0;
    QTest::newRow("F+5") << "F+5" << 0;
    QTest::newRow("F alone is a letter") << "F" << int('F');
    QTest::newRow("num5") << "num5" << 101;
    QTest::newRow("NUM0") << "NUM0" << 96;
    QTest::newRow("Num10") << "Num10" << 0;
    QTest::newRow("0x07") << "0x07" << 7;
    QTest::newRow("0XC1") << "0XC1" << 193;
    QTest::newRow("0xFE") << "0xFE" << 254;
    QTest::newRow("0xFF") << "0xFF" << 0;
    QTest::newRow("0x00") << "0x00" << 0;
    QTest::newRow("0x") << "0x" << 0;
    QTest::newRow("0x0x7") << "0x0x7" << 0;
    QTest::newRow("0x-1") << "0x-1" << 0;
    QTest::newRow("letter") << "k" << int('K');
    QTest::newRow("digit") << "7" << int('7');
    QTest::newRow("fixed, any case") << "pageup" << 33;
    QTest::newRow("fixed NumAdd") << "NUMADD" << 107;
    QTest::newRow("trimmed") << "  Up " << 38;
    QTest::newRow("Oem102") << "Oem102" << 226;
    QTest::newRow("non-ASCII letter") << QString(QChar(0xE9)) << 0;
    QTest::newRow("punctuation") << ";" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("shown name is not a file name") << "Up arrow" << 0;
}

void TestControls::parseKeyName()
{
    QFETCH(QString, text);
    QFETCH(int, code);
    QCOMPARE(::parseKeyName(text), code);
}

void TestControls::keyFileName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("letter") << int('A') << "A";
    QTest::newRow("digit") << int('0') << "0";
    QTest::newRow("arrow") << 38 << "Up";
    QTest::newRow("F13") << 124 << "F13";
    QTest::newRow("num pad 5") << 101 << "Num5";
    QTest::newRow("no name 193") << 193 << "0xC1";
    QTest::newRow("no name 7") << 7 << "0x07";
    QTest::newRow("escape") << 27 << "0x1B";
    QTest::newRow("Oem102") << 226 << "Oem102";
    QTest::newRow("NumDecimal") << 110 << "NumDecimal";
}

void TestControls::keyFileName()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QCOMPARE(::keyFileName(code), name);
}

void TestControls::keyShownName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("letter") << int('W') << "W";
    QTest::newRow("arrow") << 37 << "Left arrow";
    QTest::newRow("page down") << 34 << "Page Down";
    QTest::newRow("num multiply") << 106 << "Num *";
    QTest::newRow("num pad digit") << 103 << "Num 7";
    QTest::newRow("function key") << 116 << "F5";
    QTest::newRow("layout character") << 186 << ";";
    QTest::newRow("layout backslash") << 220 << "\\";
    QTest::newRow("system name") << 27 << "Esc";
    QTest::newRow("no character, no system name") << 223 << "Oem8";
    QTest::newRow("nothing at all") << 193 << "0xC1";
}

void TestControls::keyShownName()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    if (testutil::underWine() && (code == 27 || code == 223))
        QSKIP("Wine gives the system's key names as X keysyms (\"Escape\", \"ISO_Level3_Shift\")");
    QCOMPARE(::keyShownName(code), name);
}

void TestControls::everyCodeWithAFileNameReadsBack()
{
    for (int code = 1; code <= 254; ++code)
        QCOMPARE(::parseKeyName(::keyFileName(code)), code);
}

void TestControls::defaults()
{
    const Controls c;
    QVERIFY(c.keyboard);
    QCOMPARE(c.keys[XboxUp], QList<int>({38, 'W'}));
    QCOMPARE(c.keys[XboxDown], QList<int>({40, 'S'}));
    QCOMPARE(c.keys[XboxLeft], QList<int>({37, 'A'}));
    QCOMPARE(c.keys[XboxRight], QList<int>({39, 'D'}));
    QCOMPARE(c.keys[XboxA], QList<int>({'K', 32}));
    QCOMPARE(c.keys[XboxB], QList<int>({'L'}));
    QCOMPARE(c.keys[XboxX], QList<int>({'J'}));
    QCOMPARE(c.keys[XboxY], QList<int>({'I'}));
    QCOMPARE(c.keys[XboxLb], QList<int>({'U'}));
    QCOMPARE(c.keys[XboxRb], QList<int>({'O'}));
    QCOMPARE(c.keys[XboxLt], QList<int>({'Y'}));
    QCOMPARE(c.keys[XboxRt], QList<int>({'P'}));
    QCOMPARE(c.keys[XboxStart], QList<int>({13}));
    QCOMPARE(c.keys[XboxBack], QList<int>({8}));
    QVERIFY(c.keys[XboxLs].isEmpty());
    QVERIFY(c.keys[XboxRs].isEmpty());
    const int pads[PadButtonCount] = {
        XboxA,     XboxB,     XboxX,    XboxY,  XboxRb, XboxLb, XboxRt, XboxLt, XboxUp, XboxDown, XboxLeft,
        XboxRight, XboxStart, XboxBack, XboxLs, XboxRs, -1,     -1,     -1,     -1,     -1,       -1};
    for (int i = 0; i < PadButtonCount; ++i)
        QCOMPARE(c.padButtons[i], pads[i]);
    QVERIFY(c.player2.isEmpty());
    for (int i = 0; i < XboxButtonCount; ++i)
        QCOMPARE(c.fight[i], -1);

    // The defaults written and read back are the defaults, fight roles included.
    QVERIFY(parseControlsFile(composeControlsFile(c)) == c);
    // An empty file sets nothing.
    QVERIFY(parseControlsFile(QByteArray()) == c);
}

void TestControls::defaultFileText()
{
    const QString text = QString::fromUtf8(composeControlsFile(Controls()));
    QVERIFY(text.startsWith(QStringLiteral(
        "# Orvex Rovivi controls. The launcher writes this file (Settings, Keyboard); a game that is running "
        "reads it again\n# within a second of a change.")));
    QVERIFY(
        text.contains(QStringLiteral("while the game's window is in front.\nkeyboard = true\n\n"
                                     "# The keys that press each button.\n[keys]\nup = [\"Up\", \"W\"]\n")));
    QVERIFY(text.contains(QStringLiteral("\na = [\"K\", \"Space\"]\n")));
    QVERIFY(text.contains(QStringLiteral("\nback = [\"Backspace\"]\nls = []\nrs = []\n\n")));
    QVERIFY(text.contains(QStringLiteral("[buttons]\nsouth = \"a\"\neast = \"b\"\n")));
    QVERIFY(text.contains(QStringLiteral("\ntouchpad = \"\"\n\n")));
    QVERIFY(text.contains(QStringLiteral("[ports]\nplayer2 = \"\"\n")));
    QVERIFY(text.endsWith(QStringLiteral("(online the console's Type A).\n[fight]\n")));
}

void TestControls::defaultFileWrittenWhole()
{
    // The whole default file as the game expects it, line by line; any change to a comment, a
    // blank line or the order of the entries shows here.
    const QByteArray expected =
        "# Orvex Rovivi controls. The launcher writes this file (Settings, Keyboard); a game that is running "
        "reads it again\n"
        "# within a second of a change. The buttons are the Xbox 360 controller's: up down left right (the "
        "d-pad),\n"
        "# a b x y, lb rb (bumpers), lt rt (triggers), start back, ls rs (stick clicks).\n"
        "\n"
        "# The keyboard plays as player 1 while the game's window is in front.\n"
        "keyboard = true\n"
        "\n"
        "# The keys that press each button.\n"
        "[keys]\n"
        "up = [\"Up\", \"W\"]\n"
        "down = [\"Down\", \"S\"]\n"
        "left = [\"Left\", \"A\"]\n"
        "right = [\"Right\", \"D\"]\n"
        "a = [\"K\", \"Space\"]\n"
        "b = [\"L\"]\n"
        "x = [\"J\"]\n"
        "y = [\"I\"]\n"
        "lb = [\"U\"]\n"
        "rb = [\"O\"]\n"
        "lt = [\"Y\"]\n"
        "rt = [\"P\"]\n"
        "start = [\"Enter\"]\n"
        "back = [\"Backspace\"]\n"
        "ls = []\n"
        "rs = []\n"
        "\n"
        "# What each button of a PC controller presses, by where the button sits (\"\" nothing).\n"
        "[buttons]\n"
        "south = \"a\"\n"
        "east = \"b\"\n"
        "west = \"x\"\n"
        "north = \"y\"\n"
        "right_shoulder = \"rb\"\n"
        "left_shoulder = \"lb\"\n"
        "right_trigger = \"rt\"\n"
        "left_trigger = \"lt\"\n"
        "dpad_up = \"up\"\n"
        "dpad_down = \"down\"\n"
        "dpad_left = \"left\"\n"
        "dpad_right = \"right\"\n"
        "start = \"start\"\n"
        "back = \"back\"\n"
        "left_stick = \"ls\"\n"
        "right_stick = \"rs\"\n"
        "misc = \"\"\n"
        "paddle1 = \"\"\n"
        "paddle2 = \"\"\n"
        "paddle3 = \"\"\n"
        "paddle4 = \"\"\n"
        "touchpad = \"\"\n"
        "\n"
        "# Player 2's controller (the offline versus) by its name; \"\" the second one plugged in. While a\n"
        "# name is here, every other controller keeps clear of player 2's port.\n"
        "[ports]\n"
        "player2 = \"\"\n"
        "\n"
        "# What a button presses in a fight, in every mode, online and offline: any of the game's own four "
        "buttons\n"
        "# together, A horizontal attack, B vertical attack, K kick, G guard (\"\" nothing). A button not "
        "listed keeps\n"
        "# the game's own Control Settings (online the console's Type A).\n"
        "[fight]\n";

    // What the launcher puts on disk for the defaults, read back as raw bytes.
    const QString path = controlsPath();
    QFile::remove(path);
    QString error;
    QVERIFY2(saveControls(Controls(), &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    // On a mismatch, name the first differing line rather than two long blobs.
    const QList<QByteArray> got = written.split('\n'), want = expected.split('\n');
    for (qsizetype i = 0; i < qMin(got.size(), want.size()); ++i)
        QVERIFY2(got.at(i) == want.at(i),
                 qPrintable(QStringLiteral("line %1: got \"%2\", expected \"%3\"")
                                .arg(i + 1)
                                .arg(QString::fromUtf8(got.at(i)), QString::fromUtf8(want.at(i)))));
    QCOMPARE(written.size(), expected.size());
    QCOMPARE(written, expected);
    QCOMPARE(composeControlsFile(Controls()), expected);
    QFile::remove(path);
}

void TestControls::roundTripOfAFullFile()
{
    const Controls c = fullMapping();
    const QByteArray bytes = composeControlsFile(c);
    const QString text = QString::fromUtf8(bytes);
    QVERIFY(text.contains(QStringLiteral("keyboard = false\n")));
    QVERIFY(text.contains(QStringLiteral("up = [\"F13\", \"Num5\"]\n")));
    QVERIFY(text.contains(QStringLiteral("down = [\"0xC1\"]\n")));
    QVERIFY(text.contains(QStringLiteral("right = []\n")));
    QVERIFY(text.contains(QStringLiteral("player2 = \"Pad #2 \\\"Pro\\\" C:\\\\pads\\\\x = [a]\"\n")));
    QVERIFY(text.contains(
        QStringLiteral("[fight]\na = \"A+G\"\nb = \"\"\nx = \"K\"\ny = \"A+B+K+G\"\nrt = \"B\"\n")));
    const Controls back = parseControlsFile(bytes);
    QCOMPARE(back.keyboard, c.keyboard);
    for (int i = 0; i < XboxButtonCount; ++i) {
        QCOMPARE(back.keys[i].size(), c.keys[i].size());
        for (qsizetype k = 0; k < c.keys[i].size(); ++k)
            QCOMPARE(back.keys[i].at(k), c.keys[i].at(k));
        QCOMPARE(back.fight[i], c.fight[i]);
    }
    for (int i = 0; i < PadButtonCount; ++i)
        QCOMPARE(back.padButtons[i], c.padButtons[i]);
    QCOMPARE(back.player2, c.player2);
    QVERIFY(back == c);
    // Written again, the text is the same byte for byte.
    QCOMPARE(composeControlsFile(back), bytes);
}

void TestControls::parseTable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("field"); // what to look at: keys:<id>, pad:<id>, fight:<id>, player2, keyboard
    QTest::addColumn<QString>("expected");

    QTest::newRow("fight A+G") << "[fight]\na = \"A+G\""
                               << "fight:a"
                               << "9";
    QTest::newRow("fight blanks and lower case") << "[fight]\nlb = \" k + g \""
                                                 << "fight:lb"
                                                 << "12";
    QTest::newRow("fight AX is the game's own") << "[fight]\na = \"AX\""
                                                << "fight:a"
                                                << "-1";
    QTest::newRow("fight empty is nothing") << "[fight]\nb = \"\""
                                            << "fight:b"
                                            << "0";
    QTest::newRow("fight without a string") << "[fight]\nb = AG"
                                            << "fight:b"
                                            << "-1";
    QTest::newRow("fight on a stick click ignored") << "[fight]\nls = \"A\""
                                                    << "fight:ls"
                                                    << "-1";
    QTest::newRow("fight id any case") << "[fight]\nRT = \"K\""
                                       << "fight:rt"
                                       << "4";
    QTest::newRow("three keys keep two") << "[keys]\nb = [\"Q\", \"E\", \"R\"]"
                                         << "keys:b"
                                         << "Q E";
    QTest::newRow("repeated key counts once") << "[keys]\nb = [\"Q\", \"q\", \"E\"]"
                                              << "keys:b"
                                              << "Q E";
    QTest::newRow("unknown key names dropped") << "[keys]\nx = [\"Nope\", \"F25\", \"F13\"]"
                                               << "keys:x"
                                               << "F13";
    QTest::newRow("empty list clears") << "[keys]\nup = []"
                                       << "keys:up"
                                       << "";
    QTest::newRow("button id any case") << "[keys]\nSTART = [\"Tab\"]"
                                        << "keys:start"
                                        << "Tab";
    QTest::newRow("unknown button ignored") << "[keys]\nzz = [\"Q\"]\n"
                                            << "keys:a"
                                            << "K Space";
    QTest::newRow("hash inside a string") << "[ports]\nplayer2 = \"Pad #2\" # note"
                                          << "player2"
                                          << "Pad #2";
    QTest::newRow("player2 without string") << "[ports]\nplayer2 = x"
                                            << "player2"
                                            << "";
    QTest::newRow("player2 unterminated") << "[ports]\nplayer2 = \"abc"
                                          << "player2"
                                          << "";
    QTest::newRow("keyboard false") << "keyboard = false"
                                    << "keyboard"
                                    << "false";
    QTest::newRow("keyboard False is on") << "keyboard = False"
                                          << "keyboard"
                                          << "true";
    QTest::newRow("keyboard false with comment") << "keyboard = false # off"
                                                 << "keyboard"
                                                 << "false";
    QTest::newRow("keyboard inside a section ignored") << "[keys]\nkeyboard = false"
                                                       << "keyboard"
                                                       << "true";
    QTest::newRow("pad button by id") << "[buttons]\nsouth = \"Y\""
                                      << "pad:south"
                                      << "y";
    QTest::newRow("pad button empty") << "[buttons]\nsouth = \"\""
                                      << "pad:south"
                                      << "-";
    QTest::newRow("pad button no string") << "[buttons]\neast = b"
                                          << "pad:east"
                                          << "-";
    QTest::newRow("pad button unknown target") << "[buttons]\nnorth = \"z\""
                                               << "pad:north"
                                               << "-";
    QTest::newRow("pad button id any case") << "[buttons]\nPaddle1 = \"start\""
                                            << "pad:paddle1"
                                            << "start";
    QTest::newRow("unknown section ignored") << "[other]\na = [\"Q\"]"
                                             << "keys:a"
                                             << "K Space";
    QTest::newRow("section name trimmed") << "[ keys ]\nb = [\"Q\"]"
                                          << "keys:b"
                                          << "Q";
    QTest::newRow("byte order mark") << QString(QChar(0xFEFF)) + "keyboard = false"
                                     << "keyboard"
                                     << "false";
    QTest::newRow("Windows line ends") << "[keys]\r\nb = [\"Q\"]\r\n"
                                       << "keys:b"
                                       << "Q";
    QTest::newRow("last of repeated lines wins") << "[keys]\nb = [\"Q\"]\nb = [\"E\"]"
                                                 << "keys:b"
                                                 << "E";
}

void TestControls::parseTable()
{
    QFETCH(QString, text);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const Controls c = parse(text);
    const QString kind = field.section(QLatin1Char(':'), 0, 0);
    const QString id = field.section(QLatin1Char(':'), 1);
    QString actual;
    if (kind == QLatin1String("keys")) {
        QStringList names;
        for (int code : c.keys[xboxButtonIndex(id)])
            names << ::keyFileName(code);
        actual = names.join(QLatin1Char(' '));
    } else if (kind == QLatin1String("fight")) {
        actual = QString::number(c.fight[xboxButtonIndex(id)]);
    } else if (kind == QLatin1String("pad")) {
        const int target = c.padButtons[padButtonIndex(id)];
        actual = target < 0 ? QStringLiteral("-") : QLatin1String(xboxButtonTable()[target].id);
    } else if (kind == QLatin1String("player2")) {
        actual = c.player2;
    } else if (kind == QLatin1String("keyboard")) {
        actual = c.keyboard ? QStringLiteral("true") : QStringLiteral("false");
    }
    QCOMPARE(actual, expected);
}

void TestControls::malformedLinesAreSkippedOneByOne()
{
    const Controls c = parse(QStringLiteral("= nothing before\n"
                                            "garbage without an equals sign\n"
                                            "[keys\n"
                                            "b = [\"Q\"]\n"
                                            "[keys]\n"
                                            "=[\"E\"]\n"
                                            "\"x\" = [\"E\"]\n"
                                            "y = [\"T\"]\n"
                                            "[fight]\n"
                                            "a = \"A\n"
                                            "x = \"G\"\n"));
    // Before any section only "keyboard" counts, so the [keys line and b there change nothing.
    QCOMPARE(c.keys[XboxB], QList<int>({'L'}));
    QCOMPARE(c.keys[XboxX], QList<int>({'J'}));
    QCOMPARE(c.keys[XboxY], QList<int>({'T'}));
    QCOMPARE(c.fight[XboxA], -1);
    QCOMPARE(c.fight[XboxX], int(FightG));
    QVERIFY(c.keyboard);
}

void TestControls::controllerNameIsOneLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("name");
    // Found by fuzz_controls: a carriage return and NULs inside the name were read as they stood,
    // then written as a blank and as raw NULs, so the file read back differently.
    QTest::newRow("CR and NULs") << QByteArray(
                                        "player2 = \"Pad #2 \\\"Pro\\\" C:\\\\pad\r\0\0\0\0\0\0\0s = [a]\"",
                                        49)
                                 << QStringLiteral("Pad #2 \"Pro\" C:\\pad        s = [a]");
    QTest::newRow("escape and delete")
        << QByteArray("player2 = \"\x1b[31mPad\x7f\"") << QStringLiteral(" [31mPad ");
    QTest::newRow("tab kept") << QByteArray("player2 = \"Pad\tTwo\"") << QStringLiteral("Pad\tTwo");
    QTest::newRow("letters of any language") << QByteArray("player2 = \"Manette \xc3\xa9 \xe2\x80\xa8\"")
                                             << QStringLiteral("Manette \u00e9 \u2028");
}

void TestControls::controllerNameIsOneLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, name);
    const Controls read = parseControlsFile("[ports]\n" + line + "\n");
    QCOMPARE(read.player2, name);
    const QByteArray written = composeControlsFile(read);
    for (const char b : written)
        QVERIFY2(uchar(b) >= 0x20 || b == '\n' || b == '\t',
                 qPrintable(QStringLiteral("byte %1 written").arg(int(uchar(b)))));
    QVERIFY(parseControlsFile(written) == read);
    // A name given by the program (a pad's own name) is written the same way.
    Controls given;
    given.player2 = QStringLiteral("Pad\r\nTwo\x01");
    QCOMPARE(parseControlsFile(composeControlsFile(given)).player2, QStringLiteral("Pad  Two "));
}

void TestControls::fightTextsAndLabels_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("label");
    QTest::newRow("fixed role") << int(XboxUp) << -1 << "D-pad up (Jump)";
    QTest::newRow("fixed role ignores fight") << int(XboxStart) << 3 << "Start (Pause)";
    QTest::newRow("no role") << int(XboxLeft) << -1 << "D-pad left";
    QTest::newRow("no role, fight ignored") << int(XboxBack) << 1 << "Back";
    QTest::newRow("game's default one bit") << int(XboxA) << -1 << "A (Guard)";
    QTest::newRow("game's default letters") << int(XboxRt) << -1 << "RT (right trigger) (A+B+K)";
    QTest::newRow("set role") << int(XboxLb) << int(FightK) << "LB (left bumper) (Kick)";
    QTest::newRow("empty role") << int(XboxB) << 0 << "B (Nothing in a fight)";
    QTest::newRow("stick click unset") << int(XboxLs) << -1 << "Left stick click";
    QTest::newRow("stick click set") << int(XboxRs) << int(FightA | FightG) << "Right stick click (A+G)";
    QTest::newRow("vertical") << int(XboxX) << int(FightB) << "X (Vertical attack)";
    QTest::newRow("horizontal") << int(XboxY) << int(FightA) << "Y (Horizontal attack)";
}

void TestControls::fightTextsAndLabels()
{
    QFETCH(int, button);
    QFETCH(int, role);
    QFETCH(QString, label);
    QCOMPARE(buttonLabel(button, role), label);
    QVERIFY(fightText(-1).isEmpty());
    QCOMPARE(fightText(FightB | FightG), QStringLiteral("B+G"));
}

void TestControls::saveAndLoadThroughTheSettingsFolder()
{
    const QString path = controlsPath();
    QCOMPARE(path, QDir(cfg::dataDir()).filePath(QStringLiteral("controls.toml")));
    QString error;
    QVERIFY2(saveControls(fullMapping(), &error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QVERIFY(!QFile::exists(path + QStringLiteral(".tmp")));
    {
        // Closed before the next save: Windows replaces no file that is held open this long.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), composeControlsFile(fullMapping()));
    }
    QVERIFY(loadControls() == fullMapping());
    QVERIFY2(saveControls(Controls(), &error), qPrintable(error));
    QVERIFY(loadControls() == Controls());
}

void TestControls::missingOrDamagedFileGivesDefaults()
{
    const QString path = controlsPath();
    QFile::remove(path);
    QVERIFY(loadControls() == Controls());

    // Bytes that are not text at all: every line is malformed, nothing is lost or crashes.
    QByteArray junk;
    for (int i = 0; i < 4096; ++i)
        junk.append(char((i * 131 + 7) & 0xFF));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(junk);
    file.close();
    QVERIFY(loadControls() == Controls());
    QFile::remove(path);
}

void TestControls::failedSaveKeepsTheOldFile()
{
    const QString path = controlsPath();
    QString error;
    QVERIFY(saveControls(fullMapping(), &error));
    // A folder in the temporary file's place makes the replacement fail.
    QVERIFY(QDir().mkpath(path + QStringLiteral(".tmp")));
    QVERIFY(!saveControls(Controls(), &error));
    QVERIFY2(error.startsWith(QStringLiteral("Could not save the controls: cannot ")), qPrintable(error));
    QVERIFY(loadControls() == fullMapping());
    QVERIFY(QDir(path + QStringLiteral(".tmp")).removeRecursively());
}

QTEST_GUILESS_MAIN(TestControls)
#include "test_controls.moc"

// Giving a key to a button: taken from every other, held once, in the slot asked or after the keys.
void TestControls::assignKeys_data()
{
    QTest::addColumn<QList<int>>("a"); // the keys of A, B and X before
    QTest::addColumn<QList<int>>("b");
    QTest::addColumn<QList<int>>("x");
    QTest::addColumn<int>("slot"); // of X, given key 32
    QTest::addColumn<QList<int>>("aAfter");
    QTest::addColumn<QList<int>>("bAfter");
    QTest::addColumn<QList<int>>("xAfter");
    QTest::addColumn<int>("loser");
    using L = QList<int>;
    QTest::newRow("free key, first slot")
        << L{'K'} << L{'L'} << L{'J'} << 0 << L{'K'} << L{'L'} << L{32} << -1;
    QTest::newRow("free key, second slot")
        << L{'K'} << L{'L'} << L{'J'} << 1 << L{'K'} << L{'L'} << L{'J', 32} << -1;
    QTest::newRow("slot past the keys: appended")
        << L{'K'} << L{'L'} << L{} << 1 << L{'K'} << L{'L'} << L{32} << -1;
    QTest::newRow("taken from A") << L{'K', 32} << L{'L'} << L{'J'} << 0 << L{'K'} << L{'L'} << L{32}
                                  << int(XboxA);
    QTest::newRow("taken from A and B: the last names it")
        << L{32} << L{32, 'L'} << L{'J'} << 1 << L{} << L{'L'} << L{'J', 32} << int(XboxB);
    QTest::newRow("already in the other slot: moved there, held once")
        << L{'K'} << L{'L'} << L{32, 'J'} << 1 << L{'K'} << L{'L'} << L{32} << -1;
    QTest::newRow("already in this slot")
        << L{'K'} << L{'L'} << L{32, 'J'} << 0 << L{'K'} << L{'L'} << L{32, 'J'} << -1;
}

void TestControls::assignKeys()
{
    QFETCH(QList<int>, a);
    QFETCH(QList<int>, b);
    QFETCH(QList<int>, x);
    QFETCH(int, slot);
    std::array<QList<int>, XboxButtonCount> keys;
    keys[XboxA] = a;
    keys[XboxB] = b;
    keys[XboxX] = x;
    const int loser = assignKey(keys, XboxX, slot, 32);
    // Element by element: Qt 6.4 compares two empty lists through memcmp with a null pointer.
    const auto same = [](const QList<int> &a, const QList<int> &b) {
        return a.size() == b.size() && std::equal(a.cbegin(), a.cend(), b.cbegin());
    };
    QFETCH(QList<int>, aAfter);
    QFETCH(QList<int>, bAfter);
    QFETCH(QList<int>, xAfter);
    QVERIFY(same(keys[XboxA], aAfter));
    QVERIFY(same(keys[XboxB], bAfter));
    QVERIFY(same(keys[XboxX], xAfter));
    QTEST(loser, "loser");
    for (int i = 0; i < XboxButtonCount; ++i)
        if (i != XboxA && i != XboxB && i != XboxX)
            QVERIFY(keys[i].isEmpty());
}
