// The next match of a series on loopback: time from the second player's readiness to both games
// "in_match", started in place from the result screen against started on a new path (one game
// went back to its menu), for the direct path and the relay. Two match driver processes, two
// stand-in games and orx-server, fresh for every round.
//   bench_nextmatch [ROUNDS]    (ORX_BIN_DIR must name the folder with orx-server, orx-testgame
//                                and orx-match-driver)

#include "matchdriverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

namespace {

const QString kChoose =
    "phase 11 Match over: the loser chooses REMATCH, CHARACTER SELECT or LEAVE in the game";

QJsonObject lastSeries(const DriverProcess &d)
{
    const QList<QJsonObject> all = d.messages("series");
    return all.isEmpty() ? QJsonObject() : all.last();
}

// One round; the time in ms, or -1 when the next match did not get there.
qint64 round(const QString &path, bool inPlace)
{
    orxtest::ServerProcess server;
    QTemporaryDir data, scripts;
    if (!server.start(data.path(), {}))
        return -1;
    // Without the result screen, Ann's game goes back to its menu after the first match.
    const QString menu = scripts.filePath("menu.txt");
    {
        QFile f(menu);
        if (!f.open(QIODevice::WriteOnly))
            return -1;
        f.write("menu\n");
    }
    DriverProcess a, b;
    DriverProcess::Options oa, ob;
    oa.name = "ann";
    ob.name = "bob";
    oa.gameArgs = ob.gameArgs = {"--match-ms", "300"};
    if (!inPlace)
        oa.gameArgs << "--script" << menu;
    oa.hideIp = path == "relay";
    if (!a.start(oa, server.tcpPort) || !b.start(ob, server.tcpPort) || !a.signInAndPlay() ||
        !b.signInAndPlay())
        return -1;
    a.send("queue versus");
    if (!a.waitFor("phase 1 "))
        return -1;
    b.send("queue versus");
    if (!a.waitFor("phase 2 ") || !b.waitFor("phase 2 "))
        return -1;
    a.send("accept");
    b.send("accept");
    if (!b.waitFor(kChoose, 60000))
        return -1;
    if (inPlace) {
        // Ann says ready first, from her result screen.
        if (!a.waitFor(kChoose, 60000))
            return -1;
        a.send("ready rematch");
    } else if (!a.waitFor("phase 0 Match over", 60000)) {
        return -1; // her readiness for CHARACTER SELECT goes out by itself
    }
    if (!orxtest::waitUntil([&] { return lastSeries(b).value("them_ready").toBool(); }, 30000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    b.send("ready rematch");
    if (!orxtest::waitUntil([&] { return a.count("game in_match") == 2 && b.count("game in_match") == 2; },
                            60000))
        return -1;
    const qint64 ms = clock.elapsed();
    const QList<QJsonObject> found = a.messages("match_found");
    const bool wasInPlace = found.size() == 2 && found.at(1).value("in_place").toBool();
    const bool rightPath = a.messages("match_go").value(0).value("path").toString() == path;
    return wasInPlace == inPlace && rightPath ? ms : -1;
}

qint64 median(QList<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    for (const QString path : {"direct", "relay"}) {
        QList<qint64> times[2]; // new path, in place; the two alternate
        for (int i = 0; i < rounds; ++i) {
            for (const bool inPlace : {i % 2 == 0, i % 2 != 0}) {
                const qint64 ms = round(path, inPlace);
                if (ms < 0) {
                    std::printf("%s, %s: round %d failed\n", qPrintable(path),
                                inPlace ? "in place" : "new path", i + 1);
                    return 1;
                }
                times[inPlace ? 1 : 0] << ms;
            }
        }
        const qint64 fresh = median(times[0]), kept = median(times[1]);
        std::printf(
            "%-7s second readiness to both in_match: in place median %lld ms, new path median %lld ms, "
            "new path / in place %.1f (%d rounds each)\n",
            qPrintable(path), kept, fresh, kept > 0 ? double(fresh) / double(kept) : 0.0, rounds);
        std::fflush(stdout);
    }
    return 0;
}
