#pragma once
// Names of keys by their Windows virtual-key code: the name written to the controls file and the
// name shown to the player.

#include <QString>

// The name written to the file: the character of a letter or digit key, a fixed name, "F%1",
// "Num%1" for the numeric-pad digits, otherwise "0x" and two upper-case hex digits.
QString keyFileName(int code);

// The name shown to the player: a fixed one where there is one, otherwise the character the
// keyboard layout gives the key, the key's system name, or its file name.
QString keyShownName(int code);

// The code of a file name (trimmed, letters in any case); 0 when the text names no key.
int parseKeyName(const QString &text);
