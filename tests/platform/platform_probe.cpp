// platform-probe write PATH TEXT BUDGET_MS   -> prints "ok" or the error text; exit 0 or 1
// platform-probe job COMMAND [ARGS...]       -> starts COMMAND tied to the job, prints its pid,
//                                              then runs until killed or until stdin closes
#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args.at(1) == QLatin1String("write")) {
        QString error;
        const bool ok =
            platform::writeFileAtomically(args.at(2), args.at(3).toUtf8(), &error, args.at(4).toInt());
        std::printf("%s\n", ok ? "ok" : qPrintable(error));
        return ok ? 0 : 1;
    }
    if (args.size() >= 3 && args.at(1) == QLatin1String("job")) {
        QProcess child;
        child.setProgram(args.at(2));
        child.setArguments(args.mid(3));
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        platform::prepareJobChild(child);
        child.start();
        if (!child.waitForStarted() || !platform::addToJob(platform::launcherJob(), child.processId()))
            return 2;
        std::printf("%lld\n", static_cast<long long>(child.processId()));
        std::fflush(stdout);
        // A closed stdin is the normal end: the job then ends the child with us.
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
            char c;
            if (::read(STDIN_FILENO, &c, 1) <= 0)
                app.quit();
        });
        const int code = app.exec();
        platform::killJob(platform::launcherJob());
        return code;
    }
    std::fprintf(stderr, "usage: platform-probe write PATH TEXT BUDGET_MS | job COMMAND [ARGS...]\n");
    return 2;
}
