// The pairing pass of orx-server with many searches waiting: 2,000 signed-in searches that can
// never pair (strict, each in a region of its own) and 200 that can, joining two by two. Beside
// it, in the same run, the same 200 with nobody else waiting (the reference). Figures: the time
// from the second search of a pair to its match_found (the pass that pairs it and the way
// there), the pass time the server reports (console "online", where it has it), and the round
// trip of a bystander who pings every 20 ms meanwhile.
//   bench_pairing [WAITING]    (default 2000; ORX_BIN_DIR must name the folder with orx-server)

#include "scriptedclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using orxtest::ScriptedClient;
using orxtest::ServerProcess;

qint64 percentile(std::vector<qint64> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

struct Figures {
    std::vector<qint64> foundUs, pingUs;
    qint64 passUs = -1, longestPassUs = -1;
    int pairs = 0;
};

QJsonObject search(const QString &region, bool strict)
{
    return {{"type", "queue_join"}, {"game", "orx"},    {"mode", "versus"},  {"ranked", true},
            {"region", region},     {"strict", strict}, {"max_ping", 0},     {"server_rtt", 5},
            {"character", "-"},     {"delay", 1},       {"delay_auto", true}};
}

bool signedUp(ScriptedClient &c, quint16 port, const QString &name)
{
    return c.connectPlain(port) && c.hello().value("type") == "welcome" &&
           c.signUp(name, "benchpass").value("type") == "account";
}

bool measure(int waiting, Figures &out)
{
    QTemporaryDir data;
    ServerProcess server;
    QString error;
    const QString many = QString::number(waiting + 1000);
    if (!server.start(data.path(),
                      {"--no-rate-limit", "--max-per-address", many, "--max-connections", many,
                       "--conn-burst", many, "--accept-timeout", "600"},
                      &error)) {
        std::fprintf(stderr, "server: %s\n", qPrintable(error));
        return false;
    }
    std::vector<std::unique_ptr<ScriptedClient>> idle;
    for (int i = 0; i < waiting; ++i) {
        auto c = std::make_unique<ScriptedClient>();
        if (!signedUp(*c, server.tcpPort, QStringLiteral("wait%1").arg(i))) {
            std::fprintf(stderr, "waiting search %d could not sign up\n", i);
            return false;
        }
        if (c->waitReply(c->send(search(QStringLiteral("r%1").arg(i), true))).value("type") != "queued")
            return false;
        c->inbox().clear();
        idle.push_back(std::move(c));
    }
    std::vector<std::unique_ptr<ScriptedClient>> players;
    for (int i = 0; i < 200; ++i) {
        players.push_back(std::make_unique<ScriptedClient>());
        if (!signedUp(*players.back(), server.tcpPort, QStringLiteral("play%1").arg(i))) {
            std::fprintf(stderr, "player %d could not sign up\n", i);
            return false;
        }
    }
    ScriptedClient bystander;
    if (!bystander.connectPlain(server.tcpPort) || bystander.hello().value("type") != "welcome")
        return false;
    QElapsedTimer pingClock, lastPing;
    int pingId = -1;
    lastPing.start();
    auto pingTick = [&] {
        if (pingId >= 0) {
            for (const QJsonObject &m : bystander.inbox()) {
                if (m.value("id").toInt() == pingId) {
                    out.pingUs.push_back(pingClock.nsecsElapsed() / 1000);
                    pingId = -1;
                }
            }
            bystander.inbox().clear();
        }
        if (pingId < 0 && lastPing.elapsed() >= 20) {
            lastPing.restart();
            pingClock.start();
            pingId = bystander.send({{"type", "ping"}});
        }
    };
    for (int i = 0; i + 1 < 200; i += 2) {
        ScriptedClient &a = *players[size_t(i)], &b = *players[size_t(i + 1)];
        a.send(search("eu", false));
        orxtest::waitUntil([&] {
            pingTick();
            return a.has("queued");
        });
        QElapsedTimer found;
        found.start();
        b.send(search("eu", false));
        if (!orxtest::waitUntil(
                [&] {
                    pingTick();
                    return b.has("match_found");
                },
                60000)) {
            std::fprintf(stderr, "pair %d was not found\n", i / 2);
            return false;
        }
        out.foundUs.push_back(found.nsecsElapsed() / 1000);
        ++out.pairs;
    }
    // A few seconds more with the waiting searches passed over every second.
    QElapsedTimer rest;
    rest.start();
    orxtest::waitUntil(
        [&] {
            pingTick();
            return rest.elapsed() > 3000;
        },
        10000);
    server.command("online");
    orxtest::waitUntil([&] { return server.output().contains("orx-server: online "); }, 5000);
    const QString line = server.output().section("orx-server: online ", -1).section('\n', 0, 0);
    const QJsonObject online = QJsonDocument::fromJson(line.toUtf8()).object();
    out.passUs = online.value("pass_us").toInteger(-1);
    out.longestPassUs = online.value("longest_pass_us").toInteger(-1);
    return server.stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // One socket per client in this process: lift the descriptor limit to what is allowed.
    rlimit fds{};
    if (getrlimit(RLIMIT_NOFILE, &fds) == 0) {
        fds.rlim_cur = fds.rlim_max;
        setrlimit(RLIMIT_NOFILE, &fds);
    }
    const int waiting = argc > 1 ? std::max(0, atoi(argv[1])) : 2000;
    std::printf("orx-server pairing: 100 pairs joining two by two, a bystander pinging every 20 ms\n");
    std::printf("%-28s %8s %14s %14s %12s %12s %12s %14s\n", "waiting searches", "pairs", "found p50 ms",
                "found p99 ms", "ping p50 ms", "ping p99 ms", "pass ms", "longest ms");
    for (int w : {0, waiting}) {
        Figures f;
        if (!measure(w, f)) {
            std::printf("%-28d failed\n", w);
            return 1;
        }
        std::printf("%-28s %8d %14.2f %14.2f %12.2f %12.2f %12.2f %14.2f\n",
                    qPrintable(w ? QStringLiteral("%1 (strict, never pair)").arg(w)
                                 : QStringLiteral("none (reference)")),
                    f.pairs, percentile(f.foundUs, 0.5) / 1000.0, percentile(f.foundUs, 0.99) / 1000.0,
                    percentile(f.pingUs, 0.5) / 1000.0, percentile(f.pingUs, 0.99) / 1000.0,
                    f.passUs / 1000.0, f.longestPassUs / 1000.0);
        std::fflush(stdout);
    }
    return 0;
}
