// Sign-ins per second through orx-server with the real password hashing (PBKDF2, 120000 rounds),
// for --kdf-threads 2 (the default), 1, and 0 (every hash on the thread that serves everybody, as
// the server did before it had workers), in one run; beside it, the round trip of a well-behaved
// client that pings every 50 ms meanwhile.
//   bench_logins [SECONDS]    (per setting, default 10; ORX_BIN_DIR must name the folder with
//                              orx-server)

#include "scriptedclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using orxtest::ScriptedClient;
using orxtest::ServerProcess;

struct Figures {
    int logins = 0, refused = 0;
    double seconds = 0;
    std::vector<qint64> pingsUs;
};

qint64 percentile(std::vector<qint64> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// Four connections (the most one address may have hashing at once) sign in over and over, each
// as soon as its last answer is in.
bool measure(int kdfThreads, int seconds, Figures &out)
{
    QTemporaryDir data;
    ServerProcess server;
    QString error;
    if (!server.start(
            data.path(),
            {"--kdf-threads", QString::number(kdfThreads), "--kdf-iterations", "120000", "--no-rate-limit"},
            &error)) {
        std::fprintf(stderr, "server: %s\n", qPrintable(error));
        return false;
    }
    constexpr int kClients = 4;
    ScriptedClient clients[kClients], pinger;
    for (int i = 0; i < kClients; ++i) {
        if (!clients[i].connectPlain(server.tcpPort) || clients[i].hello().value("type") != "welcome" ||
            clients[i].signUp(QStringLiteral("bench%1").arg(i), "benchpass").value("type") != "account")
            return false;
    }
    if (!pinger.connectPlain(server.tcpPort) || pinger.hello().value("type") != "welcome")
        return false;

    int pending[kClients];
    for (int i = 0; i < kClients; ++i) {
        clients[i].inbox().clear();
        pending[i] = clients[i].send(
            {{"type", "login"}, {"name", QStringLiteral("bench%1").arg(i)}, {"password", "benchpass"}});
    }
    QElapsedTimer clock, pingClock;
    clock.start();
    int pingId = -1;
    qint64 nextPingAt = 0;
    const qint64 endAt = qint64(seconds) * 1000;
    while (clock.elapsed() < endAt) {
        QTest::qWait(1);
        for (int i = 0; i < kClients; ++i) {
            for (const QJsonObject &m : clients[i].inbox()) {
                if (m.value("id").toInt() != pending[i])
                    continue;
                if (m.value("type") == "account")
                    ++out.logins;
                else
                    ++out.refused;
                pending[i] = clients[i].send({{"type", "login"},
                                              {"name", QStringLiteral("bench%1").arg(i)},
                                              {"password", "benchpass"}});
                break;
            }
            clients[i].inbox().clear();
        }
        if (pingId >= 0) {
            for (const QJsonObject &m : pinger.inbox()) {
                if (m.value("id").toInt() == pingId) {
                    out.pingsUs.push_back(pingClock.nsecsElapsed() / 1000);
                    pingId = -1;
                }
            }
            pinger.inbox().clear();
        }
        if (pingId < 0 && clock.elapsed() >= nextPingAt) {
            nextPingAt = clock.elapsed() + 50;
            pingClock.start();
            pingId = pinger.send({{"type", "ping"}});
        }
    }
    out.seconds = double(clock.elapsed()) / 1000.0;
    if (pingId >= 0) // a ping still unanswered at the end counts with what it waited so far
        out.pingsUs.push_back(pingClock.nsecsElapsed() / 1000);
    return server.stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 10;
    std::printf("orx-server sign-ins, PBKDF2 120000 rounds, 4 connections from one address, %d s each\n",
                seconds);
    std::printf("%-34s %10s %10s %12s %12s %12s\n", "hashing", "logins", "logins/s", "ping p50 ms",
                "ping p99 ms", "ping max ms");
    const struct {
        int threads;
        const char *label;
    } settings[] = {
        {2, "2 worker threads (default)"}, {1, "1 worker thread"}, {0, "on the serving thread (reference)"}};
    for (const auto &s : settings) {
        Figures f;
        if (!measure(s.threads, seconds, f)) {
            std::printf("%-34s failed\n", s.label);
            return 1;
        }
        std::printf("%-34s %10d %10.2f %12.2f %12.2f %12.2f\n", s.label, f.logins, f.logins / f.seconds,
                    percentile(f.pingsUs, 0.5) / 1000.0, percentile(f.pingsUs, 0.99) / 1000.0,
                    percentile(f.pingsUs, 1.0) / 1000.0);
        if (f.refused > 0)
            std::printf("  (%d sign-ins answered otherwise)\n", f.refused);
        std::fflush(stdout);
    }
    return 0;
}
