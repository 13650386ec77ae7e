// F3 report: a full-size capture of noisy pictures made by the stand-in game (3840x2160 final,
// twenty 1280x720 frames, an 8 MiB dump, 4 MiB of textures), then
//   - the build on the main thread (the reference) against the build the sender runs on its worker
//     thread: build time and the longest stall of the event loop meanwhile (a 1 ms timer's gaps);
//   - the shrink ratio: the capture's bytes to the bytes sent;
//   - the delivery to orx-server on loopback at the real pace, against the pacing floor
//     (messages / 20 per second).
//   bench_report [ROUNDS]   (ORX_BIN_DIR must name the folder with orx-server and orx-testgame)

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "net/serverclient.h"
#include "report/reportfiles.h"
#include "report/reportsender.h"
#include "scriptedclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

// The longest gap between two turns of the event loop while `running` holds, in ms.
class StallMeter : public QObject {
public:
    StallMeter()
    {
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = std::max(m_longest, m_clock.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_timer.start();
    }
    qint64 stop()
    {
        m_timer.stop();
        return std::max(m_longest, m_clock.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty()    ? 0
           : v.size() % 2 ? v.at(v.size() / 2)
                          : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2;
}

qint64 folderBytes(const QString &path)
{
    qint64 total = 0;
    for (const QFileInfo &f : QDir(path).entryInfoList(QDir::Files))
        total += f.size();
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const QString bin = qEnvironmentVariable("ORX_BIN_DIR");
    QTemporaryDir root;
    cfg::init(QDir(root.path()).filePath("data/orx-launcher.ini"));
    cfg::set(cfg::gameKey(cfg::keys::gameFolder, "orx"), QDir(root.path()).filePath("gamefolder"));

    orxtest::ServerProcess server;
    if (!server.start(QDir(root.path()).filePath("server"))) {
        std::printf("orx-server did not start\n");
        return 1;
    }
    ServerClient client;
    client.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(server.tcpPort), QString());
    if (!orxtest::waitUntil([&] { return client.state() == ServerClient::Rovivi; }, 20000))
        return 1;
    client.registerAccount("bencher", "a good password");
    if (!orxtest::waitUntil([&] { return client.state() == ServerClient::LoggedIn; }, 20000))
        return 1;

    // The stand-in makes one capture per round, a minute apart at most.
    GameProcess game("orx", 1);
    QStringList args{"--boot-ms", "0", "--capture-final", "3840x2160", "--capture-frame", "1280x720",
                     "--capture-dump", "8388608", "--capture-noise", "24",
                     // About 1 + 1 + 2 MiB of noise textures: within the 4 MiB the report takes.
                     "--capture-tex", "tex_wall=590x590,tex_floor=600x600,tex_hero+skin=835x835"};
    QString script;
    for (int r = 0; r < rounds; ++r)
        script += QStringLiteral("at %1 capture\n").arg(200 + r * 60000);
    const QString scriptPath = QDir(root.path()).filePath("script.txt");
    {
        QFile f(scriptPath);
        f.open(QIODevice::WriteOnly);
        f.write(script.toUtf8());
    }
    game.setArguments(args + QStringList{"--script", scriptPath});
    QString error;
    if (!game.start(QDir(bin).filePath("orx-testgame"), &error, true)) {
        std::printf("orx-testgame did not start: %s\n", qPrintable(error));
        return 1;
    }

    ReportSender sender(&client, [&game] { return QList<GameProcess *>{&game}; });
    ReportSender::Timing timing;
    timing.scanMs = 3600 * 1000; // scans are driven below, once the capture is whole
    sender.setTiming(timing);
    QStringList lines;
    QObject::connect(&sender, &ReportSender::logLine, &sender, [&lines](const QString &t) { lines << t; });

    QList<double> mainBuild, mainStall, workerBuild, workerStall, ratio, deliver, floorS;
    const QDir captures(game.sessionDir() + "/captures");
    for (int r = 0; r < rounds; ++r) {
        QString capture;
        if (!orxtest::waitUntil(
                [&] {
                    const QStringList all = captures.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
                    capture = all.size() > r ? captures.filePath(all.at(r)) : QString();
                    return !capture.isEmpty() && QFileInfo::exists(capture + "/next_19.bmp");
                },
                120000)) {
            std::printf("round %d: no capture\n", r + 1);
            return 1;
        }
        // Reference: the same build on the main thread; the loop stalls for all of it.
        report::ReportContext context;
        context.gameId = "orx";
        context.sessionDir = game.sessionDir();
        context.captureDir = capture;
        context.displayMode = "borderless";
        context.displayResolution = "desktop";
        context.sentAt = QDateTime::currentDateTimeUtc();
        StallMeter meter;
        meter.start();
        bool built = false;
        QTimer::singleShot(0, [&] {
            QElapsedTimer t;
            t.start();
            report::buildReportFiles(context);
            mainBuild << double(t.elapsed());
            built = true;
        });
        if (!orxtest::waitUntil([&] { return built; }, 120000))
            return 1;
        mainStall << double(meter.stop());

        // The sender: built on its worker thread, the loop keeps turning.
        const int before = int(lines.size());
        meter.start();
        QElapsedTimer clock;
        clock.start();
        sender.scan();
        if (!orxtest::waitUntil([&] { return lines.size() > before; }, 120000))
            return 1;
        workerBuild << double(clock.elapsed());
        workerStall << double(meter.stop());
        const qint64 captureBytes = folderBytes(capture);
        ratio << double(captureBytes) / double(sender.totalBytes());
        const qsizetype messages = sender.outbox().size();
        floorS << double(messages) / 20.0;
        clock.restart();
        if (!orxtest::waitUntil([&] { return lines.size() > before + 1; }, 600000))
            return 1;
        deliver << clock.elapsed() / 1000.0;
        std::printf("round %d: %s | %s\n", r + 1, qPrintable(lines.at(before)),
                    qPrintable(lines.at(before + 1)));
        std::printf(
            "  main-thread build %.0f ms (stall %.0f ms); worker build %.0f ms (longest stall %.0f ms); "
            "capture %.1f MB -> sent %.1f MB (%.1fx); %lld messages delivered in %.1f s (floor %.1f s)\n",
            mainBuild.last(), mainStall.last(), workerBuild.last(), workerStall.last(),
            captureBytes / 1048576.0, sender.totalBytes() / 1048576.0, ratio.last(), qlonglong(messages),
            deliver.last(), floorS.last());
        std::fflush(stdout);
    }
    std::printf(
        "median of %d: build on the main thread %.0f ms (the loop stalls %.0f ms); on the worker %.0f ms "
        "with the longest stall %.0f ms; shrink %.1fx; delivery %.1f s against the floor %.1f s\n",
        rounds, median(mainBuild), median(mainStall), median(workerBuild), median(workerStall), median(ratio),
        median(deliver), median(floorS));
    game.stop();
    return 0;
}
