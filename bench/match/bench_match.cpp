// Time from both accepts to both games "in_match", per path (direct, relay, tunnel), on loopback:
// two match driver processes, two stand-in games and orx-server, fresh for every round.
//   bench_match [ROUNDS]        (ORX_BIN_DIR must name the folder with orx-server, orx-testgame
//                                and orx-match-driver)

#include "matchdriverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

namespace {

// One round; the time in ms, or -1 when the match did not get there.
qint64 round(const QString &path)
{
    orxtest::ServerProcess server;
    QTemporaryDir data;
    if (!server.start(data.path(), {"--udp-wait", "2500"}))
        return -1;
    DriverProcess a, b;
    DriverProcess::Options oa, ob;
    oa.name = "ann";
    ob.name = "bob";
    oa.gameArgs = ob.gameArgs = {"--match-ms", "300"};
    oa.hideIp = path == "relay";
    oa.udpBlocked = path == "tunnel";
    if (!a.start(oa, server.tcpPort) || !b.start(ob, server.tcpPort) || !a.signInAndPlay() ||
        !b.signInAndPlay())
        return -1;
    a.send("queue versus");
    if (!a.waitFor("phase 1 ") || (path == "tunnel" && !a.waitFor("log The server did not answer on UDP")))
        return -1;
    b.send("queue versus");
    if (!a.waitFor("phase 2 ") || !b.waitFor("phase 2 "))
        return -1;
    QElapsedTimer clock;
    clock.start();
    a.send("accept");
    b.send("accept");
    if (!orxtest::waitUntil([&] { return a.has("game in_match") && b.has("game in_match"); }, 60000))
        return -1;
    const qint64 ms = clock.elapsed();
    const QJsonObject go = a.messages("match_go").value(0);
    return go.value("path").toString() == path ? ms : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    for (const QString path : {"direct", "relay", "tunnel"}) {
        QList<qint64> times;
        for (int i = 0; i < rounds; ++i) {
            const qint64 ms = round(path);
            if (ms < 0) {
                std::printf("%s: round %d failed\n", qPrintable(path), i + 1);
                return 1;
            }
            times << ms;
        }
        std::sort(times.begin(), times.end());
        std::printf("%-7s accept to both in_match: best %lld ms, median %lld ms, worst %lld ms (%d rounds)\n",
                    qPrintable(path), times.first(), times.at(times.size() / 2), times.last(), rounds);
        std::fflush(stdout);
    }
    return 0;
}
