// A minimal launcher for the test of a launcher that is killed: it starts one online game through
// GameProcess, prints "pid <game pid>" and waits to be killed.
// Usage: orx-game-holder <settings file> <game executable>

#include "core/cfg.h"
#include "game/gameprocess.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: orx-game-holder <settings file> <game executable>\n");
        return 2;
    }
    cfg::init(args.at(1));
    GameProcess game(QStringLiteral("orx"), 1);
    QString error;
    if (!game.start(args.at(2), &error, true)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("pid %lld\n", static_cast<long long>(game.processId()));
    std::fflush(stdout);
    return app.exec();
}
