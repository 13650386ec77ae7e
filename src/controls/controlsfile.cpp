#include "controlsfile.h"

#include "controls/keynames.h"
#include "core/cfg.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// A controller's name is one line of text: a control character (a line break would cut the line
// in two, and TOML takes none but the tab in a string) becomes a blank. Read and written alike, so
// a name read from the file is written back as it was read.
QString plainName(QString text)
{
    for (QChar &c : text) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\t')) || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return text;
}

// Backslash and double quote are escaped as TOML does.
QString escaped(QString text)
{
    text = plainName(text);
    text.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    text.replace(QLatin1String("\""), QLatin1String("\\\""));
    return text;
}

// Within a quoted string a backslash escapes a backslash or a double quote (the writer's escapes),
// so that those characters, and a "#" anywhere in the string, survive a round trip.
bool isEscape(const QString &line, qsizetype i)
{
    return line.at(i) == QLatin1Char('\\') && i + 1 < line.size() &&
           (line.at(i + 1) == QLatin1Char('\\') || line.at(i + 1) == QLatin1Char('"'));
}

// The line without its comment: a "#" outside double quotes starts one.
QString withoutComment(const QString &line)
{
    bool inString = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (inString && isEscape(line, i)) {
            ++i;
            continue;
        }
        if (c == QLatin1Char('"'))
            inString = !inString;
        else if (c == QLatin1Char('#') && !inString)
            return line.left(i);
    }
    return line;
}

// Every run of characters between a pair of double quotes; a quote without its pair opens nothing.
QStringList stringsOf(const QString &value)
{
    QStringList strings;
    QString current;
    bool inString = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (!inString) {
            if (c == QLatin1Char('"')) {
                inString = true;
                current.clear();
            }
            continue;
        }
        if (isEscape(value, i)) {
            current += value.at(++i);
            continue;
        }
        if (c == QLatin1Char('"')) {
            strings << current;
            inString = false;
        } else {
            current += c;
        }
    }
    return strings;
}

int parseFightRole(const QString &text)
{
    int role = 0;
    for (QChar c : text) {
        if (c == QLatin1Char('+') || c.isSpace())
            continue;
        switch (c.toUpper().unicode()) {
        case 'A':
            role |= FightA;
            break;
        case 'B':
            role |= FightB;
            break;
        case 'K':
            role |= FightK;
            break;
        case 'G':
            role |= FightG;
            break;
        default:
            return -1;
        }
    }
    return role;
}

void readKeys(Controls &c, const QString &key, const QStringList &strings)
{
    const int button = xboxButtonIndex(key);
    if (button < 0)
        return;
    QList<int> &list = c.keys[button];
    list.clear();
    for (const QString &s : strings) {
        const int code = parseKeyName(s);
        if (code == 0 || list.contains(code) || list.size() >= 2)
            continue;
        list << code;
    }
}

void readPadButton(Controls &c, const QString &key, const QStringList &strings)
{
    const int pad = padButtonIndex(key);
    if (pad < 0)
        return;
    c.padButtons[pad] =
        strings.isEmpty() || strings.first().isEmpty() ? -1 : xboxButtonIndex(strings.first());
}

void readFight(Controls &c, const QString &key, const QStringList &strings)
{
    const int button = xboxButtonIndex(key);
    if (button < 0 || xboxButtonTable()[button].defaultFight < 0 || strings.isEmpty())
        return;
    c.fight[button] = parseFightRole(strings.first());
}

} // namespace

QString controlsPath()
{
    const QString dir = cfg::dataDir();
    return dir.isEmpty() ? QString() : QDir(dir).filePath(QStringLiteral("controls.toml"));
}

QByteArray composeControlsFile(const Controls &c)
{
    const auto &xbox = xboxButtonTable();
    const auto &pad = padButtonTable();
    QString t;
    t += QStringLiteral(
        "# Orvex Rovivi controls. The launcher writes this file (Settings, Keyboard); a game that is running "
        "reads it again\n# within a second of a change. The buttons are the Xbox 360 controller's: up down "
        "left "
        "right (the d-pad),\n# a b x y, lb rb (bumpers), lt rt (triggers), start back, ls rs (stick "
        "clicks).\n\n# "
        "The keyboard plays as player 1 while the game's window is in front.\n");
    t += QStringLiteral("keyboard = %1\n\n")
             .arg(c.keyboard ? QStringLiteral("true") : QStringLiteral("false"));

    t += QStringLiteral("# The keys that press each button.\n[keys]\n");
    for (int i = 0; i < XboxButtonCount; ++i) {
        QStringList names;
        for (int code : c.keys[i])
            names << quoted(keyFileName(code));
        t += QStringLiteral("%1 = [%2]\n").arg(QLatin1String(xbox[i].id), names.join(QLatin1String(", ")));
    }

    t += QStringLiteral("\n# What each button of a PC controller presses, by where the button sits (\"\" "
                        "nothing).\n[buttons]\n");
    for (int i = 0; i < PadButtonCount; ++i) {
        const int target = c.padButtons[i];
        const QString id =
            target >= 0 && target < XboxButtonCount ? QLatin1String(xbox[target].id) : QString();
        t += QStringLiteral("%1 = \"%2\"\n").arg(QLatin1String(pad[i].id), id);
    }

    t += QStringLiteral(
        "\n# Player 2's controller (the offline versus) by its name; \"\" the second one plugged "
        "in. While a\n# name is here, every other controller keeps clear of player 2's "
        "port.\n[ports]\n");
    t += QStringLiteral("player2 = \"%1\"\n").arg(escaped(c.player2));

    t += QStringLiteral(
        "\n# What a button presses in a fight, in every mode, online and offline: any of the game's own four "
        "buttons\n# together, A horizontal attack, B vertical attack, K kick, G guard (\"\" nothing). A "
        "button "
        "not listed keeps\n# the game's own Control Settings (online the console's Type A).\n[fight]\n");
    for (int i = 0; i < XboxButtonCount; ++i) {
        if (xbox[i].defaultFight < 0 || c.fight[i] < 0)
            continue;
        t += QStringLiteral("%1 = \"%2\"\n").arg(QLatin1String(xbox[i].id), fightLetters(c.fight[i]));
    }
    return t.toUtf8();
}

Controls parseControlsFile(const QByteArray &bytes)
{
    Controls c;
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QString section;
    bool inSection = false;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = withoutComment(raw).trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            inSection = true;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 1)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (!inSection) {
            if (key == QLatin1String("keyboard"))
                c.keyboard = value != QLatin1String("false");
            continue;
        }
        const QStringList strings = stringsOf(value);
        if (section == QLatin1String("keys"))
            readKeys(c, key, strings);
        else if (section == QLatin1String("ports")) {
            if (key == QLatin1String("player2"))
                c.player2 = strings.isEmpty() ? QString() : plainName(strings.first());
        } else if (section == QLatin1String("buttons"))
            readPadButton(c, key, strings);
        else if (section == QLatin1String("fight"))
            readFight(c, key, strings);
    }
    return c;
}

Controls loadControls()
{
    const QString path = controlsPath();
    if (path.isEmpty())
        return Controls();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Controls();
    return parseControlsFile(file.readAll());
}

bool saveControls(const Controls &controls, QString *error)
{
    const QString path = controlsPath();
    QString reason;
    bool ok = false;
    if (path.isEmpty())
        reason = QCoreApplication::translate("Controls", "the settings folder is not known yet");
    else
        ok = platform::writeFileAtomically(path, composeControlsFile(controls), &reason, 1000);
    if (!ok && error)
        *error = QCoreApplication::translate("Controls", "Could not save the controls: %1").arg(reason);
    return ok;
}
