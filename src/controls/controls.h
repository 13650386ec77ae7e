#pragma once
// The keyboard and controller mapping the game reads from "controls.toml": the Xbox 360 buttons the
// game knows, the PC pad buttons that press them, and the record that holds the whole mapping.
// Key codes are Windows virtual-key codes on every platform, because the game reads them as such.

#include <QList>
#include <QString>
#include <array>

constexpr int XboxButtonCount = 16;
constexpr int PadButtonCount = 22;

// Indexes into the Xbox button table.
enum XboxButton {
    XboxUp,
    XboxDown,
    XboxLeft,
    XboxRight,
    XboxA,
    XboxB,
    XboxX,
    XboxY,
    XboxLb,
    XboxRb,
    XboxLt,
    XboxRt,
    XboxStart,
    XboxBack,
    XboxLs,
    XboxRs,
};

// A fight role: a set of the game's four attack buttons.
enum FightBit {
    FightA = 1, // horizontal attack
    FightB = 2, // vertical attack
    FightK = 4, // kick
    FightG = 8, // guard
};
constexpr int FightRoleMask = FightA | FightB | FightK | FightG;

struct XboxButtonInfo {
    const char *id;
    const char *label;
    const char *fixedRole; // a role that does not depend on the mapping, or nullptr
    int defaultFight;      // the game's own fight role, -1 when it has none by default
    bool fightButton;      // can carry a fight role (the file stores those with a default role)
};

struct PadButtonInfo {
    const char *id;
    const char *label;
    const char *hint;  // nullptr when there is nothing to add
    int defaultButton; // index of the Xbox button it presses, -1 for nothing
};

const std::array<XboxButtonInfo, XboxButtonCount> &xboxButtonTable();
const std::array<PadButtonInfo, PadButtonCount> &padButtonTable();

// Index of a button by its id, ignoring case; -1 when there is none.
int xboxButtonIndex(const QString &id);
int padButtonIndex(const QString &id);

// The keys a button has by default.
QList<int> defaultKeys(int xboxIndex);

struct Controls {
    bool keyboard = true;                         // the keyboard plays as player 1
    std::array<QList<int>, XboxButtonCount> keys; // at most two key codes per Xbox button
    std::array<int, PadButtonCount> padButtons;   // Xbox button index per pad button, -1 nothing
    QString player2;                              // empty: the second controller plugged in
    std::array<int, XboxButtonCount> fight;       // fight role per Xbox button, -1 the game's own

    Controls(); // the defaults
    bool operator==(const Controls &other) const;
};

// Gives key `code` to Xbox button `xboxIndex` in `slot` (after its keys when the slot is past them):
// every other button loses it, and this one holds it once. Returns the button that lost it (the
// last, when several did), -1 for none.
int assignKey(std::array<QList<int>, XboxButtonCount> &keys, int xboxIndex, int slot, int code);

// "A+B+K": the role's letters in the order A, B, K, G joined with "+"; empty for the empty role.
QString fightLetters(int role);

// The role as shown: the attack's name for one bit, "Nothing in a fight" for none, otherwise its
// letters. Empty for -1 (the game's own setting).
QString fightText(int role);

// The button's label with its role, "%1 (%2)", or the label alone when the button has no role.
// `role` is the button's fight role (-1: the game's own, shown as the game's default).
QString buttonLabel(int xboxIndex, int role);
