#pragma once
// The check step of a build: what the player chose (a disc image, a title update package, DLC
// packages) checked against the game definition, and what the build step will have to write.

#include <QByteArray>
#include <QCoreApplication>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <atomic>

struct Game;
namespace x360 {
class Disc;
}

// The result of the check step, shared by reference counting between the check worker and its
// owner (the Build game page uses it as BuildPage::Check). Read only after the worker has finished.
struct BuildCheck {
    bool ok = false;
    QString error;            // why the check failed; paragraphs separated by a blank line
    QStringList lines;        // what was found, in order, for the page's log view
    bool needsUpdate = false; // the failure is about the title update
    bool extractDisc = false;
    quint64 discBytes = 0;
    quint64 bytesToWrite = 0;
    qint32 discFiles = 0;
    QByteArray xexpBytes;  // to be written as disc folder/"default.xexp" (empty: in place)
    QByteArray patchBytes; // to be written as update folder/"patch.cpk" (empty: in place or none)
    QStringList dlcPackages;
    quint64 dlcBytes = 0;
};

// The three inputs of a build. Paths are trimmed and may use native separators; empty means "none".
struct BuildInputs {
    QString image;
    QString updatePackage;
    QStringList dlcPackages;
};

// Where a build puts things.
struct BuildFolders {
    QString disc;
    QString update;
    QString dlc;
};

// Files at these places larger than this count as missing (a header-sized file, never a disc).
constexpr qint64 maxCheckedFileBytes = 64 * 1024 * 1024;

// Runs every check on the calling thread (the check worker) and fills `check`. `disc` is opened
// when an image is given and is then extracted by the build step.
void runBuildCheck(const Game &game, const BuildInputs &inputs, const BuildFolders &folders, x360::Disc &disc,
                   BuildCheck &check);

// The parts of the check, each adding its lines; false with check.error (and needsUpdate) set.
bool checkDisc(const Game &game, const BuildInputs &inputs, const BuildFolders &folders, x360::Disc &disc,
               BuildCheck &check);
bool checkUpdateInPlace(const Game &game, const BuildFolders &folders, BuildCheck &check);
bool checkUpdatePackage(const Game &game, const QString &packagePath, BuildCheck &check);
bool checkDlcPackages(const Game &game, const QStringList &packages, BuildCheck &check);

// Small helpers shared by the parts.
namespace buildcheck {
QString tr(const char *text, int n = -1);
QString sha1Hex(const QByteArray &bytes);
QString hex8(quint32 value);
// The file's bytes when it exists, is not empty and is at most maxCheckedFileBytes.
QByteArray readSmallFile(const QString &path);
} // namespace buildcheck
