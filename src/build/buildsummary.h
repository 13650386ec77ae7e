#pragma once
// What the Build game page shows about a game's folder: the summary texts, refreshed after every
// check, build and compile. Plain texts, so the page only puts them into its labels.

#include <QString>
#include <QStringList>

struct BuildSummary {
    QString title;
    QString gameInfo;    // title, edition, title ID and the game folder
    QString disc;        // extracted or not
    QString titleUpdate; // in place, not in place, or wrong
    QString alert;       // empty unless the installed title update is wrong
    QString dlc;         // the number of DLC folders in place
    QStringList dlcFolders;
    QString game; // the executable, built or not
    bool gameBuilt = false;
};

// Reads the game folder now. An unknown game gives empty texts.
BuildSummary buildSummary(const QString &gameId);

// "TU_ORX_0003O2 (it ends in ...)": the current update's package name with its note, if any.
QString updatePackageText(const QString &gameId);
