#pragma once
// Checks made before a game starts, shared with the Build game page and the main window, and the
// explanations given when Windows' protections get in the way. Texts are in the context
// "GameProcess".

#include <QString>
#include <QStringList>

// True when the extracted disc folder holds both "default.xex" and "default.xexp".
bool gameFilesPresent(const QString &gameId);

// Empty when the installed title update is the definition's current one (or cannot be judged),
// otherwise the full explanation for the player.
QString titleUpdateProblem(const QString &gameId);

// True when titleUpdateProblem would answer without reading a file whole: the SHA-1 of each of the
// title update's files is kept from an earlier check (by path, size and times), or there is nothing
// to hash.
bool titleUpdateHashesKept(const QString &gameId);
// The files titleUpdateProblem hashes, and hashing them ahead (any thread: it reads no settings),
// so that the check on the main thread finds their SHA-1 kept.
QStringList titleUpdateFiles(const QString &gameId);
void hashAhead(const QStringList &paths);

// True when the built game is older than this launcher's game project ("built.txt" against
// "project/VERSION" in the game's folder).
bool rebuildNeeded(const QString &gameId);

// "Open Build game, choose <title update> in step 2, then press CHECK AND BUILD."
QString buildHint(const QString &gameId);

// The extracted "default.xex", or empty when it is not there.
QString discExecutable(const QString &gameId);

// Smart App Control: the system's state (0 off, 1 on, 2 evaluation, -1 unknown); in a build with
// the development stand-ins (core/devhooks.h), ORX_SMART_APP_CONTROL when set.
int smartAppControlState();
QString smartAppControlText(bool blocked);
QString antivirusText(const QString &fileName);
