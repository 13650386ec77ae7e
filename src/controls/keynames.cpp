#include "keynames.h"

#include "platform/platform.h"

#include <QCoreApplication>

namespace {

struct FixedKey {
    int code;
    const char *fileName;
    const char *shownName; // nullptr: the layout's character or the system's name
};

// clang-format off
constexpr FixedKey fixedKeys[] = {
    {38, "Up", QT_TRANSLATE_NOOP("Controls", "Up arrow")},
    {40, "Down", QT_TRANSLATE_NOOP("Controls", "Down arrow")},
    {37, "Left", QT_TRANSLATE_NOOP("Controls", "Left arrow")},
    {39, "Right", QT_TRANSLATE_NOOP("Controls", "Right arrow")},
    {32, "Space", QT_TRANSLATE_NOOP("Controls", "Space")},
    {13, "Enter", QT_TRANSLATE_NOOP("Controls", "Enter")},
    {8, "Backspace", QT_TRANSLATE_NOOP("Controls", "Backspace")},
    {9, "Tab", QT_TRANSLATE_NOOP("Controls", "Tab")},
    {20, "CapsLock", QT_TRANSLATE_NOOP("Controls", "Caps Lock")},
    {16, "Shift", QT_TRANSLATE_NOOP("Controls", "Shift")},
    {160, "LShift", QT_TRANSLATE_NOOP("Controls", "Left Shift")},
    {161, "RShift", QT_TRANSLATE_NOOP("Controls", "Right Shift")},
    {17, "Ctrl", QT_TRANSLATE_NOOP("Controls", "Ctrl")},
    {162, "LCtrl", QT_TRANSLATE_NOOP("Controls", "Left Ctrl")},
    {163, "RCtrl", QT_TRANSLATE_NOOP("Controls", "Right Ctrl")},
    {45, "Insert", QT_TRANSLATE_NOOP("Controls", "Insert")},
    {46, "Delete", QT_TRANSLATE_NOOP("Controls", "Delete")},
    {36, "Home", QT_TRANSLATE_NOOP("Controls", "Home")},
    {35, "End", QT_TRANSLATE_NOOP("Controls", "End")},
    {33, "PageUp", QT_TRANSLATE_NOOP("Controls", "Page Up")},
    {34, "PageDown", QT_TRANSLATE_NOOP("Controls", "Page Down")},
    {106, "NumMultiply", QT_TRANSLATE_NOOP("Controls", "Num *")},
    {107, "NumAdd", QT_TRANSLATE_NOOP("Controls", "Num +")},
    {109, "NumSubtract", QT_TRANSLATE_NOOP("Controls", "Num -")},
    {110, "NumDecimal", QT_TRANSLATE_NOOP("Controls", "Num .")},
    {111, "NumDivide", QT_TRANSLATE_NOOP("Controls", "Num /")},
    {186, "Semicolon", nullptr},
    {187, "Equals", nullptr},
    {188, "Comma", nullptr},
    {189, "Minus", nullptr},
    {190, "Period", nullptr},
    {191, "Slash", nullptr},
    {192, "Grave", nullptr},
    {219, "LBracket", nullptr},
    {220, "Backslash", nullptr},
    {221, "RBracket", nullptr},
    {222, "Apostrophe", nullptr},
    {223, "Oem8", nullptr},
    {226, "Oem102", nullptr},
};

// What the keyboard layout gives the punctuation keys. The game's code table is Windows'; where the
// system cannot be asked, the US layout (the one those codes are defined by) stands in.
constexpr struct { int code; char ch; } layoutCharacters[] = {
    {186, ';'}, {187, '='}, {188, ','}, {189, '-'}, {190, '.'}, {191, '/'}, {192, '`'},
    {219, '['}, {220, '\\'}, {221, ']'}, {222, '\''}, {226, '\\'},
};

// The system's names of keys that have neither a fixed name nor a character.
constexpr struct { int code; const char *name; } systemNames[] = {
    {3, QT_TRANSLATE_NOOP("Controls", "Break")},
    {12, QT_TRANSLATE_NOOP("Controls", "Clear")},
    {18, QT_TRANSLATE_NOOP("Controls", "Alt")},
    {19, QT_TRANSLATE_NOOP("Controls", "Pause")},
    {27, QT_TRANSLATE_NOOP("Controls", "Esc")},
    {44, QT_TRANSLATE_NOOP("Controls", "Print Screen")},
    {91, QT_TRANSLATE_NOOP("Controls", "Left Windows")},
    {92, QT_TRANSLATE_NOOP("Controls", "Right Windows")},
    {93, QT_TRANSLATE_NOOP("Controls", "Application")},
    {144, QT_TRANSLATE_NOOP("Controls", "Num Lock")},
    {145, QT_TRANSLATE_NOOP("Controls", "Scroll Lock")},
    {164, QT_TRANSLATE_NOOP("Controls", "Left Alt")},
    {165, QT_TRANSLATE_NOOP("Controls", "Right Alt")},
};
// clang-format on

bool isLetterOrDigitKey(int code)
{
    return (code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9');
}

const FixedKey *fixedKey(int code)
{
    for (const FixedKey &k : fixedKeys)
        if (k.code == code)
            return &k;
    return nullptr;
}

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isHexDigit(QChar c)
{
    return isAsciiDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

} // namespace

QString keyFileName(int code)
{
    if (isLetterOrDigitKey(code))
        return QString(QChar(code));
    if (const FixedKey *k = fixedKey(code))
        return QString::fromLatin1(k->fileName);
    if (code >= 112 && code <= 135)
        return QStringLiteral("F%1").arg(code - 111);
    if (code >= 96 && code <= 105)
        return QStringLiteral("Num%1").arg(code - 96);
    return QStringLiteral("0x") + QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString keyShownName(int code)
{
    if (isLetterOrDigitKey(code))
        return QString(QChar(code));
    const FixedKey *k = fixedKey(code);
    if (k && k->shownName)
        return QCoreApplication::translate("Controls", k->shownName);
    if (code >= 112 && code <= 135)
        return QStringLiteral("F%1").arg(code - 111);
    if (code >= 96 && code <= 105)
        return QCoreApplication::translate("Controls", "Num %1").arg(code - 96);
    // The system's own answers first; the tables stand in where the system has none to give.
    const QString layout = platform::keyLayoutText(code);
    if (!layout.isEmpty())
        return layout;
    for (const auto &c : layoutCharacters)
        if (c.code == code && c.ch > ' ')
            return QString(QLatin1Char(c.ch));
    const QString system = platform::keySystemName(code);
    if (!system.isEmpty())
        return system;
    for (const auto &s : systemNames)
        if (s.code == code)
            return QCoreApplication::translate("Controls", s.name);
    return keyFileName(code);
}

int parseKeyName(const QString &text)
{
    const QString t = text.trimmed();
    if (t.size() == 1) {
        const QChar c = t.at(0);
        if (c.unicode() < 128 && (c.isLetter() || c.isDigit()))
            return c.toUpper().unicode();
    }
    for (const FixedKey &k : fixedKeys)
        if (t.compare(QLatin1String(k.fileName), Qt::CaseInsensitive) == 0)
            return k.code;
    if (t.size() >= 2 && t.size() <= 8 && (t.at(0) == QLatin1Char('F') || t.at(0) == QLatin1Char('f'))) {
        const QStringView digits = QStringView(t).mid(1);
        if (std::all_of(digits.begin(), digits.end(), isAsciiDigit)) {
            const int n = digits.toInt();
            if (n >= 1 && n <= 24)
                return 111 + n;
        }
    }
    if (t.size() == 4 && t.startsWith(QLatin1String("Num"), Qt::CaseInsensitive) && isAsciiDigit(t.at(3)))
        return 96 + (t.at(3).unicode() - '0');
    if (t.size() > 2 && t.size() <= 10 && t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const QStringView digits = QStringView(t).mid(2);
        if (std::all_of(digits.begin(), digits.end(), isHexDigit)) {
            const int n = digits.toInt(nullptr, 16);
            if (n >= 1 && n <= 254)
                return n;
        }
    }
    return 0;
}
