#include "controls.h"

#include <QCoreApplication>

namespace {

// Windows virtual-key codes of the default keys.
constexpr int VkBack = 8, VkReturn = 13, VkSpace = 32, VkLeft = 37, VkUp = 38, VkRight = 39, VkDown = 40;

QString tr(const char *text)
{
    return QCoreApplication::translate("Controls", text);
}

} // namespace

const std::array<XboxButtonInfo, XboxButtonCount> &xboxButtonTable()
{
    // clang-format off
    static const std::array<XboxButtonInfo, XboxButtonCount> table{{
        {"up",    QT_TRANSLATE_NOOP("Controls", "D-pad up"),          QT_TRANSLATE_NOOP("Controls", "Jump"),   -1, false},
        {"down",  QT_TRANSLATE_NOOP("Controls", "D-pad down"),        QT_TRANSLATE_NOOP("Controls", "Crouch"), -1, false},
        {"left",  QT_TRANSLATE_NOOP("Controls", "D-pad left"),        nullptr, -1, false},
        {"right", QT_TRANSLATE_NOOP("Controls", "D-pad right"),       nullptr, -1, false},
        {"a",     QT_TRANSLATE_NOOP("Controls", "A"),                 nullptr, FightG, true},
        {"b",     QT_TRANSLATE_NOOP("Controls", "B"),                 nullptr, FightK, true},
        {"x",     QT_TRANSLATE_NOOP("Controls", "X"),                 nullptr, FightA, true},
        {"y",     QT_TRANSLATE_NOOP("Controls", "Y"),                 nullptr, FightB, true},
        {"lb",    QT_TRANSLATE_NOOP("Controls", "LB (left bumper)"),  nullptr, FightA | FightG, true},
        {"rb",    QT_TRANSLATE_NOOP("Controls", "RB (right bumper)"), nullptr, FightA | FightB, true},
        {"lt",    QT_TRANSLATE_NOOP("Controls", "LT (left trigger)"), nullptr, FightB | FightG, true},
        {"rt",    QT_TRANSLATE_NOOP("Controls", "RT (right trigger)"), nullptr, FightA | FightB | FightK, true},
        {"start", QT_TRANSLATE_NOOP("Controls", "Start"),             QT_TRANSLATE_NOOP("Controls", "Pause"), -1, false},
        {"back",  QT_TRANSLATE_NOOP("Controls", "Back"),              nullptr, -1, false},
        {"ls",    QT_TRANSLATE_NOOP("Controls", "Left stick click"),  nullptr, -1, true},
        {"rs",    QT_TRANSLATE_NOOP("Controls", "Right stick click"), nullptr, -1, true},
    }};
    // clang-format on
    return table;
}

const std::array<PadButtonInfo, PadButtonCount> &padButtonTable()
{
    // clang-format off
    static const std::array<PadButtonInfo, PadButtonCount> table{{
        {"south", QT_TRANSLATE_NOOP("Controls", "Bottom face button (A / Cross)"), QT_TRANSLATE_NOOP("Controls", "Xbox A, PlayStation cross, Switch B"), XboxA},
        {"east",  QT_TRANSLATE_NOOP("Controls", "Right face button (B / Circle)"), QT_TRANSLATE_NOOP("Controls", "Xbox B, PlayStation circle, Switch A"), XboxB},
        {"west",  QT_TRANSLATE_NOOP("Controls", "Left face button (X / Square)"),  QT_TRANSLATE_NOOP("Controls", "Xbox X, PlayStation square, Switch Y"), XboxX},
        {"north", QT_TRANSLATE_NOOP("Controls", "Top face button (Y / Triangle)"), QT_TRANSLATE_NOOP("Controls", "Xbox Y, PlayStation triangle, Switch X"), XboxY},
        {"right_shoulder", QT_TRANSLATE_NOOP("Controls", "Right bumper (RB / R1)"), QT_TRANSLATE_NOOP("Controls", "Xbox RB, PlayStation R1, Switch R"), XboxRb},
        {"left_shoulder",  QT_TRANSLATE_NOOP("Controls", "Left bumper (LB / L1)"),  QT_TRANSLATE_NOOP("Controls", "Xbox LB, PlayStation L1, Switch L"), XboxLb},
        {"right_trigger",  QT_TRANSLATE_NOOP("Controls", "Right trigger (RT / R2)"), QT_TRANSLATE_NOOP("Controls", "Xbox RT, PlayStation R2, Switch ZR"), XboxRt},
        {"left_trigger",   QT_TRANSLATE_NOOP("Controls", "Left trigger (LT / L2)"),  QT_TRANSLATE_NOOP("Controls", "Xbox LT, PlayStation L2, Switch ZL"), XboxLt},
        {"dpad_up",    QT_TRANSLATE_NOOP("Controls", "D-pad up"),    nullptr, XboxUp},
        {"dpad_down",  QT_TRANSLATE_NOOP("Controls", "D-pad down"),  nullptr, XboxDown},
        {"dpad_left",  QT_TRANSLATE_NOOP("Controls", "D-pad left"),  nullptr, XboxLeft},
        {"dpad_right", QT_TRANSLATE_NOOP("Controls", "D-pad right"), nullptr, XboxRight},
        {"start", QT_TRANSLATE_NOOP("Controls", "Menu / Start / Options"), QT_TRANSLATE_NOOP("Controls", "Xbox Menu (Start on a 360 pad), PlayStation Options, Switch +"), XboxStart},
        {"back",  QT_TRANSLATE_NOOP("Controls", "View / Back / Share"),    QT_TRANSLATE_NOOP("Controls", "Xbox View (Back on a 360 pad), PlayStation Share or Create, Switch -"), XboxBack},
        {"left_stick",  QT_TRANSLATE_NOOP("Controls", "Left stick click (L3)"),  nullptr, XboxLs},
        {"right_stick", QT_TRANSLATE_NOOP("Controls", "Right stick click (R3)"), nullptr, XboxRs},
        {"misc",     QT_TRANSLATE_NOOP("Controls", "Extra middle button"),          QT_TRANSLATE_NOOP("Controls", "Xbox Series Share, PlayStation 5 mic, Switch Capture"), -1},
        {"paddle1",  QT_TRANSLATE_NOOP("Controls", "Back paddle P1 (upper right)"), QT_TRANSLATE_NOOP("Controls", "Xbox Elite P1, DualSense Edge right back button"), -1},
        {"paddle2",  QT_TRANSLATE_NOOP("Controls", "Back paddle P2 (lower right)"), QT_TRANSLATE_NOOP("Controls", "Xbox Elite P2, DualSense Edge right Fn"), -1},
        {"paddle3",  QT_TRANSLATE_NOOP("Controls", "Back paddle P3 (upper left)"),  QT_TRANSLATE_NOOP("Controls", "Xbox Elite P3, DualSense Edge left back button"), -1},
        {"paddle4",  QT_TRANSLATE_NOOP("Controls", "Back paddle P4 (lower left)"),  QT_TRANSLATE_NOOP("Controls", "Xbox Elite P4, DualSense Edge left Fn"), -1},
        {"touchpad", QT_TRANSLATE_NOOP("Controls", "Touchpad click"), QT_TRANSLATE_NOOP("Controls", "PlayStation"), -1},
    }};
    // clang-format on
    return table;
}

int xboxButtonIndex(const QString &id)
{
    const auto &table = xboxButtonTable();
    for (int i = 0; i < XboxButtonCount; ++i)
        if (id.compare(QLatin1String(table[i].id), Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int padButtonIndex(const QString &id)
{
    const auto &table = padButtonTable();
    for (int i = 0; i < PadButtonCount; ++i)
        if (id.compare(QLatin1String(table[i].id), Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int assignKey(std::array<QList<int>, XboxButtonCount> &all, int b, int slot, int code)
{
    int loser = -1;
    for (int other = 0; other < XboxButtonCount; ++other) {
        if (other != b && all[other].removeAll(code) > 0)
            loser = other;
    }
    QList<int> &keys = all[b];
    int placed = slot;
    if (slot < keys.size()) {
        keys[slot] = code;
    } else {
        keys.append(code);
        placed = int(keys.size()) - 1;
    }
    for (int i = int(keys.size()) - 1; i >= 0; --i)
        if (i != placed && keys.at(i) == code)
            keys.removeAt(i);
    return loser;
}

QList<int> defaultKeys(int xboxIndex)
{
    switch (xboxIndex) {
    case XboxUp:
        return {VkUp, 'W'};
    case XboxDown:
        return {VkDown, 'S'};
    case XboxLeft:
        return {VkLeft, 'A'};
    case XboxRight:
        return {VkRight, 'D'};
    case XboxA:
        return {'K', VkSpace};
    case XboxB:
        return {'L'};
    case XboxX:
        return {'J'};
    case XboxY:
        return {'I'};
    case XboxLb:
        return {'U'};
    case XboxRb:
        return {'O'};
    case XboxLt:
        return {'Y'};
    case XboxRt:
        return {'P'};
    case XboxStart:
        return {VkReturn};
    case XboxBack:
        return {VkBack};
    default:
        return {};
    }
}

Controls::Controls()
{
    for (int i = 0; i < XboxButtonCount; ++i)
        keys[i] = defaultKeys(i);
    for (int i = 0; i < PadButtonCount; ++i)
        padButtons[i] = padButtonTable()[i].defaultButton;
    fight.fill(-1);
}

bool Controls::operator==(const Controls &other) const
{
    // Element by element: QList's own comparison hands memcmp a null pointer for an empty list.
    for (int i = 0; i < XboxButtonCount; ++i) {
        if (keys[i].size() != other.keys[i].size())
            return false;
        for (qsizetype k = 0; k < keys[i].size(); ++k)
            if (keys[i].at(k) != other.keys[i].at(k))
                return false;
    }
    return keyboard == other.keyboard && padButtons == other.padButtons && player2 == other.player2 &&
           fight == other.fight;
}

QString fightLetters(int role)
{
    QStringList letters;
    if (role & FightA)
        letters << QStringLiteral("A");
    if (role & FightB)
        letters << QStringLiteral("B");
    if (role & FightK)
        letters << QStringLiteral("K");
    if (role & FightG)
        letters << QStringLiteral("G");
    return letters.join(QLatin1Char('+'));
}

QString fightText(int role)
{
    if (role < 0 || role > FightRoleMask)
        return QString();
    switch (role) {
    case 0:
        return tr(QT_TRANSLATE_NOOP("Controls", "Nothing in a fight"));
    case FightA:
        return tr(QT_TRANSLATE_NOOP("Controls", "Horizontal attack"));
    case FightB:
        return tr(QT_TRANSLATE_NOOP("Controls", "Vertical attack"));
    case FightK:
        return tr(QT_TRANSLATE_NOOP("Controls", "Kick"));
    case FightG:
        return tr(QT_TRANSLATE_NOOP("Controls", "Guard"));
    default:
        return fightLetters(role);
    }
}

QString buttonLabel(int xboxIndex, int role)
{
    if (xboxIndex < 0 || xboxIndex >= XboxButtonCount)
        return QString();
    const XboxButtonInfo &b = xboxButtonTable()[xboxIndex];
    const QString label = tr(b.label);
    QString roleText;
    if (b.fixedRole)
        roleText = tr(b.fixedRole);
    else if (b.fightButton && role >= 0 && role <= FightRoleMask)
        roleText = fightText(role); // the stick clicks have a role only when one is set
    else if (b.defaultFight >= 0)
        roleText = fightText(b.defaultFight);
    if (roleText.isEmpty())
        return label;
    return tr(QT_TRANSLATE_NOOP("Controls", "%1 (%2)")).arg(label, roleText);
}
