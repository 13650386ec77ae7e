// orx-testgame: the stand-in for the game executable (see README.md for what it can be made to do).

#include "options.h"
#include "testgame.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    Options options;
    QString error;
    if (!parseOptions(arguments, options, error)) {
        std::fprintf(stderr, "orx-testgame: %s\n", qPrintable(error));
        return 2;
    }
    installCloseRequestHandler();
    TestGame game(options, arguments);
    QTimer::singleShot(0, &game, &TestGame::start);
    return app.exec();
}
