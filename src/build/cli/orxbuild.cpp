// orx-build: the build pipeline from the command line, the way the Build game page runs it: check
// the chosen files, extract and place them, compile. Used to prepare the demo game for run.sh.

#include "build/buildpipeline.h"
#include "core/cfg.h"
#include "gamedata/registry.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orx-build"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Builds the game from a disc image, its title update "
                       "and downloadable content, as the Build game page does."));
    parser.addHelpOption();
    const QCommandLineOption gameOption(QStringLiteral("game"), QStringLiteral("Game id (default orx)."),
                                        QStringLiteral("id"), QStringLiteral("orx"));
    const QCommandLineOption folderOption(QStringLiteral("game-folder"), QStringLiteral("The game folder."),
                                          QStringLiteral("dir"));
    const QCommandLineOption imageOption(QStringLiteral("image"), QStringLiteral("Disc image to extract."),
                                         QStringLiteral("file"));
    const QCommandLineOption updateOption(QStringLiteral("update"), QStringLiteral("Title update package."),
                                          QStringLiteral("file"));
    const QCommandLineOption dlcOption(QStringLiteral("dlc"), QStringLiteral("DLC package (repeatable)."),
                                       QStringLiteral("file"));
    const QCommandLineOption configOption(QStringLiteral("config"),
                                          QStringLiteral("Settings file (default: a temporary one)."),
                                          QStringLiteral("ini"));
    const QCommandLineOption compileOption(QStringLiteral("compile-only"),
                                           QStringLiteral("Only run the build script."));
    parser.addOptions(
        {gameOption, folderOption, imageOption, updateOption, dlcOption, configOption, compileOption});
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    QTemporaryDir scratch;
    QString config = parser.value(configOption);
    if (config.isEmpty())
        config = QDir(scratch.path()).filePath(QStringLiteral("orx-build.ini"));
    cfg::init(config);
    QString error;
    if (!GameRegistry::load(&error)) {
        err << "orx-build: " << error << Qt::endl;
        return 2;
    }
    const QString gameId = parser.value(gameOption);
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game) {
        err << "orx-build: unknown game " << gameId << Qt::endl;
        return 2;
    }
    if (parser.isSet(folderOption)) {
        const QString folder = QDir(parser.value(folderOption)).absolutePath();
        cfg::set(cfg::gameKey(cfg::keys::gameFolder, gameId), folder);
        // The executable goes into the game folder, where the launcher looks first.
        if (cfg::value(cfg::gameKey(cfg::keys::gameExe, gameId), QString()).toString().isEmpty())
            cfg::set(cfg::gameKey(cfg::keys::gameExe, gameId), QDir(folder).filePath(game->defaultExe));
    }

    BuildPipeline pipeline(gameId);
    int result = 1;
    QObject::connect(&pipeline, &BuildPipeline::logLine,
                     [&out](const QString &line) { out << line << Qt::endl; });
    QObject::connect(&pipeline, &BuildPipeline::compiled, [&result](bool built) { result = built ? 0 : 1; });
    // Idle again with no compile running: whatever ran has ended.
    QObject::connect(&pipeline, &BuildPipeline::busyChanged, [&pipeline, &result](bool busy) {
        if (busy)
            return;
        QTimer::singleShot(0, &pipeline, [&pipeline, &result] {
            if (pipeline.busy() == BuildPipeline::Idle)
                QCoreApplication::exit(result);
        });
    });

    const bool started = parser.isSet(compileOption)
                             ? pipeline.compileGame()
                             : pipeline.startBuild({parser.value(imageOption), parser.value(updateOption),
                                                    parser.values(dlcOption)});
    if (!started)
        return 1;
    return app.exec();
}
