#include "options.h"
#include "server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalFds[0], &c, 1);
}

// SIGINT and SIGTERM end the event loop through a socket pair, so the shutdown runs as ordinary code.
bool installSignalHandlers(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0)
        return false;
    auto *n = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(n, &QSocketNotifier::activated, &app, [n] {
        char c;
        [[maybe_unused]] const ssize_t r = ::read(g_signalFds[1], &c, 1);
        n->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("orx-server");
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of a terminal, reading the console fails instead of stopping us.
    std::signal(SIGTTIN, SIG_IGN);
    ServerOptions options;
    QString error, help;
    if (!parseServerOptions(app.arguments().mid(1), options, &error, &help)) {
        std::fprintf(stderr, "orx-server: %s\n", qPrintable(error));
        return 2;
    }
    if (!help.isEmpty()) {
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    if (!installSignalHandlers(app)) {
        std::fprintf(stderr, "orx-server: cannot install the signal handlers\n");
        return 1;
    }
    Server server(options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "orx-server: %s\n", qPrintable(error));
        return 1;
    }
    const int rc = app.exec();
    server.shutdown();
    serverLog("stopped");
    return rc;
}
