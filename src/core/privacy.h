#pragma once
// What must not leave the player's machine in a log text: addresses and the user names inside
// profile paths. Shared by the line anonymiser of the server reports and the F3 report's game.log.

#include <QString>

namespace privacy {

// Every IPv4-looking address ("\b\d{1,3}(\.\d{1,3}){3}\b") becomes "x.x.x.x".
void maskAddresses(QString &text);

// The user name of every profile path becomes "*": "C:\Users\NAME" (any drive, "Users" in any case,
// either slash) and "/home/NAME". The name ends where a path segment must end (a slash, a colon, a
// control character or another character no folder name can hold), or where the next drive path
// begins; blanks inside a name belong to it. Nothing else changes: no line is cut.
void maskUserFolders(QString &text);

} // namespace privacy
