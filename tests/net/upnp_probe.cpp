// upnp-probe PORT [--probe] [--location URL] [--renew-ms N] [--results K]
// Runs the UPnP mapper (inside a test's network namespace) and prints "status: <text>" for every
// status, "result <n>: <text>" whenever a sequence ends, and "external: <address>" at the end.
// Stops after K results (default 1) or after 60 seconds.
#include "net/upnpmapper.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    UpnpMapper mapper;
    const quint16 port = quint16(args.value(1).toUInt());
    const bool probe = args.contains(QStringLiteral("--probe"));
    const int at = args.indexOf(QStringLiteral("--location"));
    if (at > 0)
        mapper.setDeviceUrl(QUrl(args.value(at + 1)));
    const int renew = args.indexOf(QStringLiteral("--renew-ms"));
    if (renew > 0)
        mapper.setRenewIntervalForTesting(args.value(renew + 1).toInt());
    const int resultsAt = args.indexOf(QStringLiteral("--results"));
    const int wanted = resultsAt > 0 ? args.value(resultsAt + 1).toInt() : 1;
    int results = 0;
    QObject::connect(&mapper, &UpnpMapper::statusChanged, [](const QString &s) {
        std::printf("status: %s\n", qPrintable(s));
        std::fflush(stdout);
    });
    QObject::connect(&mapper, &UpnpMapper::finished, [&](const QString &s) {
        ++results;
        std::printf("result %d: %s\n", results, qPrintable(s));
        std::fflush(stdout);
        if (results >= wanted)
            app.quit();
    });
    QTimer::singleShot(60000, &app, [&] {
        std::printf("timed out\n");
        app.exit(3);
    });
    mapper.mapPort(port, probe);
    const int code = app.exec();
    std::printf("external: %s\n", qPrintable(mapper.externalAddress()));
    return code;
}
