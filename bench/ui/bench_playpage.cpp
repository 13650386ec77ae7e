// The Play page's CPU cost: signed in to orx-server with the player's game (orx-testgame) running,
// the process's CPU time over a stretch with the Play page current (it refreshes every second)
// against the same stretch with the Support page current, as % of one core and as a ratio; then
// the median time of one PlayPage::refresh.
//   bench_playpage [SECONDS]    (default 60 per page; ORX_BIN_DIR names the folder with
//                                orx-server and orx-testgame)

#include "core/cfg.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "ui/playpage.h"
#include "ui/supportpage.h"
#include "ui/theme.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// % of one core used while `seconds` pass in the event loop.
double load(int seconds)
{
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(seconds * 1000);
    return 100.0 * (cpuSeconds() - before) / (double(wall.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    QTemporaryDir data;
    cfg::init(data.filePath("orx-launcher.ini"));
    cfg::set("games/orx/exe", qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame");
    applyTheme(app);

    orxtest::ServerProcess server;
    if (!server.start(data.filePath("server"))) {
        std::fprintf(stderr, "bench_playpage: orx-server did not start\n");
        return 1;
    }
    ServerClient link;
    link.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(server.tcpPort), QString());
    if (!orxtest::waitUntil([&] { return link.state() == ServerClient::Rovivi; }, 20000))
        return 1;
    link.registerAccount("Bench", "benchmark1");
    if (!orxtest::waitUntil([&] { return link.state() == ServerClient::LoggedIn; }, 20000))
        return 1;
    MatchController match(&link);
    QString reason;
    if (!match.startPlayerGame(&reason)) {
        std::fprintf(stderr, "bench_playpage: the game did not start: %s\n", qPrintable(reason));
        return 1;
    }

    QStackedWidget stack;
    stack.resize(1180, 700);
    auto *play = new PlayPage(&link, &match, &stack);
    // The document the bridge would give, from what the link knows.
    play->setStateSource(
        [&link] {
            return QJsonObject{{"account", QJsonObject{{"state", "signed_in"}, {"name", link.accountName()}}},
                               {"server", QJsonObject{{"online", 1}, {"in_matches", 0}}}};
        },
        [&link] {
            return link.account()
                .value("profile")
                .toObject()
                .value("stats")
                .toObject()
                .value("orx")
                .toObject()
                .value("versus")
                .toObject();
        });
    auto *support = new SupportPage(&stack);
    stack.addWidget(play);
    stack.addWidget(support);
    stack.show();
    QTest::qWait(1000); // the game boots, the first paint is done

    stack.setCurrentWidget(play);
    const double playLoad = load(seconds);
    stack.setCurrentWidget(support);
    const double supportLoad = load(seconds);

    stack.setCurrentWidget(play);
    QList<qint64> times;
    for (int i = 0; i < 400; ++i) {
        QElapsedTimer t;
        t.start();
        play->refresh();
        times << t.nsecsElapsed();
        QCoreApplication::processEvents(); // the repaint the refresh asked for
    }
    std::sort(times.begin(), times.end());
    std::printf("bench_playpage: %d s per page, game running, signed in\n", seconds);
    std::printf("  Play page current:    %.2f %% of a core\n", playLoad);
    std::printf("  Support page current: %.2f %% of a core\n", supportLoad);
    std::printf("  ratio Play/Support:   %.2f\n", supportLoad > 0 ? playLoad / supportLoad : 0.0);
    std::printf("  PlayPage::refresh median %.1f us (p90 %.1f us, %lld runs)\n",
                times.at(times.size() / 2) / 1e3, times.at(times.size() * 9 / 10) / 1e3,
                static_cast<long long>(times.size()));
    return 0;
}
