#include "build/buildsummary.h"

#include "core/cfg.h"
#include "game/gamechecks.h"
#include "gamedata/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString tr(const char *text, int n = -1)
{
    return QCoreApplication::translate("BuildPage", text, nullptr, n);
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

QString updatePackageText(const QString &gameId)
{
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game)
        return QString();
    const TitleUpdate &update = game->titleUpdate;
    return update.packageNote.isEmpty() ? update.package
                                        : QStringLiteral("%1 (%2)").arg(update.package, update.packageNote);
}

BuildSummary buildSummary(const QString &gameId)
{
    BuildSummary summary;
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game)
        return summary;
    const QString label = game->titleUpdate.label();
    const QDir discDir(cfg::gameDiscDir(gameId));
    const QDir updateDir(cfg::gameUpdateDir(gameId));

    summary.title = game->title;
    summary.gameInfo = tr("%1 (%2), title ID %3\nGame folder: %4")
                           .arg(game->title, game->edition, game->titleId, native(cfg::gameFolder(gameId)));
    summary.disc = QFileInfo(discDir.filePath(QStringLiteral("default.xex"))).isFile()
                       ? tr("Disc: extracted in %1").arg(native(discDir.path()))
                       : tr("Disc: not extracted yet (%1)").arg(native(discDir.path()));

    const QString problem = titleUpdateProblem(gameId);
    if (problem.isEmpty()) {
        const bool inPlace = QFileInfo(discDir.filePath(QStringLiteral("default.xexp"))).isFile() &&
                             QFileInfo(updateDir.filePath(QStringLiteral("patch.cpk"))).isFile();
        summary.titleUpdate = inPlace
                                  ? tr("Title update: %1 in place").arg(label)
                                  : tr("Title update: not in place yet (%1)").arg(game->titleUpdate.package);
    } else {
        summary.titleUpdate = tr("Title update: not %1 (choose it in step 2)").arg(label);
        const QString firstParagraph = problem.section(QStringLiteral("\n\n"), 0, 0);
        summary.alert =
            firstParagraph + QLatin1Char(' ') +
            tr("Orvex Rovivi now needs %1: in step 2, choose the file %2, then press CHECK AND BUILD.")
                .arg(label, updatePackageText(gameId));
    }

    summary.dlcFolders = QDir(cfg::gameDlcDir(gameId))
                             .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    summary.dlc = summary.dlcFolders.isEmpty()
                      ? tr("Downloadable content: none")
                      : tr("Downloadable content: %n package(s)", int(summary.dlcFolders.size()));

    const QString exe = cfg::gameExe(gameId);
    summary.gameBuilt = QFileInfo(exe).isFile();
    summary.game =
        summary.gameBuilt ? tr("Game: %1").arg(native(exe)) : tr("Game: %1 (not built yet)").arg(native(exe));
    return summary;
}
