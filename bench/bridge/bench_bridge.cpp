// The menu bridge's costs, each beside its reference in the same run:
//  1. compose and write: composeState with 100 lobbies, 100 leaderboard rows and an eight-member
//     lobby, serialised and replaced atomically, against writing the same bytes with a plain
//     QFile (the floor of any write) and against the atomic replace alone;
//  2. request round trip: "ask.txt" written by the bench, to the answering message id in
//     "ui.json", with a real orx-testgame as the served game; the floor is the 100 ms poll plus the
//     50 ms merge (uniformly placed requests: p50 about 100 ms, p95 about 145 ms);
//  3. writes per second while 100 notices a second arrive, against the bound of one merged write
//     per 50 ms plus the 1000 ms tick (21 a second);
//  4. the game's "lobbies" request to the list in "ui.json" through orx-server on loopback (three
//     lobbies open), beside the file round trip of 2 (the server's part is the difference).
//   bench_bridge [ROUNDS]   (ORX_BIN_DIR must name the folder with orx-testgame and orx-server)

#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "platform/platform.h"
#include "scriptedclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace {

void spin(const std::function<bool()> &until, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!until() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(200);
    }
}

double percentile(QList<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.at(std::min<qsizetype>(v.size() - 1, qsizetype(p * (v.size() - 1) + 0.5)));
}

void fill(ServerClient &server)
{
    QJsonArray lobbies, rows, members;
    for (int i = 0; i < 100; ++i) {
        lobbies.append(QJsonObject{{"id", QStringLiteral("L%1").arg(i, 4, 10, QLatin1Char('0'))},
                                   {"name", QStringLiteral("Lobby number %1 of the evening").arg(i)},
                                   {"host", QStringLiteral("host%1").arg(i)},
                                   {"players", i % 8},
                                   {"max_players", 8},
                                   {"mode", "versus"},
                                   {"koth", i % 3 == 0},
                                   {"locked", i % 5 == 0},
                                   {"region", "eu"}});
        rows.append(QJsonObject{{"rank", i + 1},
                                {"name", QStringLiteral("player%1").arg(i)},
                                {"title", "Gold"},
                                {"elo", 2000 - i},
                                {"wins", 100 - i},
                                {"losses", i}});
    }
    for (int i = 0; i < 8; ++i)
        members.append(QJsonObject{{"name", QStringLiteral("member%1").arg(i)},
                                   {"ready", i % 2 == 0},
                                   {"spectator", i >= 2},
                                   {"line", i >= 2 ? i - 1 : 0},
                                   {"wins", i},
                                   {"version", i == 5 ? "0.1.7" : "0.1.8"}});
    // Signals are public: the bench stands in for the server link's reading side.
    emit server.message({{"type", "lobbies"}, {"lobbies", lobbies}});
    emit server.message({{"type", "leaderboard"}, {"by", "elo"}, {"rows", rows}});
    emit server.message({{"type", "lobby"},
                         {"lobby", QJsonObject{{"id", "KKKKK"},
                                               {"name", "The hill"},
                                               {"host", "member0"},
                                               {"mode", "versus"},
                                               {"koth", true},
                                               {"king", "member0"},
                                               {"members", members}}}});
}

void composeAndWrite(MenuBridge &bridge, const QString &dir, int rounds)
{
    const QString target = QDir(dir).filePath("ui.json");
    QList<double> full, composeOnly, atomicOnly, plain;
    QByteArray bytes;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        const QJsonObject doc = bridge.composeState();
        bytes = QJsonDocument(doc).toJson(QJsonDocument::Compact) + '\n';
        composeOnly << t.nsecsElapsed() / 1e6;
        platform::writeFileAtomically(target, bytes);
        full << t.nsecsElapsed() / 1e6;

        t.restart();
        platform::writeFileAtomically(target, bytes);
        atomicOnly << t.nsecsElapsed() / 1e6;

        t.restart();
        QFile f(QDir(dir).filePath("plain.json"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(bytes);
        f.close();
        plain << t.nsecsElapsed() / 1e6;
    }
    std::printf("compose+write (100 lobbies, 100 rows, 8 members): %d bytes\n", int(bytes.size()));
    std::printf("  compose+serialise     p50 %.3f ms  p95 %.3f ms\n", percentile(composeOnly, 0.5),
                percentile(composeOnly, 0.95));
    std::printf("  compose+atomic write  p50 %.3f ms  p95 %.3f ms\n", percentile(full, 0.5),
                percentile(full, 0.95));
    std::printf("  ref atomic write only p50 %.3f ms  p95 %.3f ms\n", percentile(atomicOnly, 0.5),
                percentile(atomicOnly, 0.95));
    std::printf("  ref plain QFile write p50 %.3f ms  p95 %.3f ms\n", percentile(plain, 0.5),
                percentile(plain, 0.95));
    std::fflush(stdout);
}

int messageId(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    return QJsonDocument::fromJson(f.readAll()).object().value("message").toObject().value("id").toInt(-1);
}

void roundTrip(MenuBridge &bridge, const QString &folder, int rounds)
{
    const QString ui = QDir(folder).filePath("ui.json");
    const QString ask = QDir(folder).filePath("ask.txt");
    QList<double> times;
    int id = messageId(ui);
    for (int i = 0; i < rounds; ++i) {
        // Requests land anywhere in the poll's period.
        const int pause = int(QRandomGenerator::global()->bounded(100));
        spin([] { return false; }, pause);
        QSaveFile f(ask);
        if (!f.open(QIODevice::WriteOnly))
            return;
        f.write(QStringLiteral("ask n=%1 bench%1\n").arg(i).toUtf8());
        QElapsedTimer t;
        t.start();
        f.commit();
        ++id;
        spin([&] { return messageId(ui) >= id; }, 5000);
        times << t.nsecsElapsed() / 1e6;
    }
    std::printf("request round trip ask.txt -> answering id in ui.json (%d requests)\n", rounds);
    std::printf("  measured   p50 %.1f ms  p95 %.1f ms  max %.1f ms\n", percentile(times, 0.5),
                percentile(times, 0.95), percentile(times, 1.0));
    std::printf("  floor      p50 100.0 ms  p95 145.0 ms  max 150.0 ms (100 ms poll + 50 ms merge)\n");
    std::fflush(stdout);
    Q_UNUSED(bridge);
}

void writesUnderNotices(ServerClient &server, const QString &folder, int seconds)
{
    const QString ui = QDir(folder).filePath("ui.json");
    const QByteArray name = QFile::encodeName(ui);
    ino_t last = 0;
    int writes = 0, notices = 0;
    QTimer noticeTimer;
    QObject::connect(&noticeTimer, &QTimer::timeout, [&] {
        emit server.message({{"type", "notice"}, {"text", QStringLiteral("Notice %1").arg(++notices)}});
    });
    noticeTimer.start(10);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        struct stat st;
        // Each atomic replace puts a new file (a new inode) in place.
        if (::stat(name.constData(), &st) == 0 && st.st_ino != last) {
            last = st.st_ino;
            ++writes;
        }
        QThread::usleep(200);
    }
    noticeTimer.stop();
    const double secs = t.elapsed() / 1000.0;
    std::printf("writes under %d notices a second (%.1f s): %.1f writes/s, %.1f notices/s\n", 100, secs,
                writes / secs, notices / secs);
    std::printf("  bound 21.0 writes/s (one merged write per 50 ms plus the 1000 ms tick)\n");
    std::fflush(stdout);
}

qint64 lobbiesAt(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    return qint64(
        QJsonDocument::fromJson(f.readAll()).object().value("lobbies").toObject().value("at").toDouble(-1));
}

// The launcher signed in to a real orx-server where three other players keep a lobby open each.
void lobbiesThroughTheServer(ServerClient &server, MenuBridge &bridge, const QString &folder, int rounds)
{
    orxtest::ServerProcess orx;
    QTemporaryDir data;
    QString error;
    if (!orx.start(data.path(), {}, &error)) {
        std::printf("lobbies: orx-server did not start: %s\n", qPrintable(error));
        return;
    }
    orxtest::ScriptedClient hosts[3];
    for (int i = 0; i < 3; ++i) {
        orxtest::ScriptedClient &h = hosts[i];
        if (!h.connectPlain(orx.tcpPort) || h.hello().value("type") != "welcome" ||
            h.signUp(QStringLiteral("host%1").arg(i)).value("type") != "account" ||
            h.waitReply(h.send({{"type", "lobby_create"},
                                {"name", QStringLiteral("Bench lobby %1").arg(i)},
                                {"game", "orx"},
                                {"mode", "versus"}}))
                    .value("type") != "lobby") {
            std::printf("lobbies: host %d could not open a lobby\n", i);
            return;
        }
    }
    // Only the game's requests refresh the list here.
    MenuBridge::Timing t = bridge.timing();
    t.lobbyListMs = 3600 * 1000;
    bridge.setTiming(t);
    server.connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(orx.tcpPort), QString());
    spin([&] { return server.state() == ServerClient::Rovivi; }, 20000);
    server.registerAccount(QStringLiteral("benchuser"), QStringLiteral("secret1"));
    spin([&] { return server.state() == ServerClient::LoggedIn; }, 20000);
    if (server.state() != ServerClient::LoggedIn) {
        std::printf("lobbies: the launcher did not sign in\n");
        return;
    }
    const QString ui = QDir(folder).filePath("ui.json");
    const QString ask = QDir(folder).filePath("ask.txt");
    QList<double> times;
    for (int i = 0; i < rounds; ++i) {
        // Spaced so a player's own pace stays within the server's rate for look-ups.
        spin([] { return false; }, 260 + int(QRandomGenerator::global()->bounded(100)));
        const qint64 before = lobbiesAt(ui);
        QSaveFile f(ask);
        if (!f.open(QIODevice::WriteOnly))
            return;
        f.write("lobbies\n");
        QElapsedTimer clock;
        clock.start();
        f.commit();
        spin([&] { return lobbiesAt(ui) > before; }, 5000);
        times << clock.nsecsElapsed() / 1e6;
    }
    std::printf("\"lobbies\" request -> list in ui.json through orx-server (%d requests, 3 lobbies)\n",
                rounds);
    std::printf("  measured   p50 %.1f ms  p95 %.1f ms  max %.1f ms\n", percentile(times, 0.5),
                percentile(times, 0.95), percentile(times, 1.0));
    std::printf("  reference  the file round trip above: the server's part is the difference\n");
    std::fflush(stdout);
    server.disconnectFromServer();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(5, atoi(argv[1])) : 200;
    QTemporaryDir dir;
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const QString config = dir.filePath("data/orx-launcher.ini");
    {
        QSettings s(config, QSettings::IniFormat);
        s.setValue("online/game_port", probe.localPort());
        s.setValue("games/orx/exe", qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame");
    }
    cfg::init(config);
    ServerClient server;
    MatchController match(&server);
    MenuBridge bridge(&server, &match);
    fill(server);
    composeAndWrite(bridge, dir.path(), rounds);

    QString why;
    if (!match.startPlayerGame(&why)) {
        std::printf("the game does not start: %s\n", qPrintable(why));
        return 1;
    }
    const QString folder = match.matchGame()->sessionDir();
    spin([&] { return QFile::exists(QDir(folder).filePath("ui.json")); }, 20000);
    roundTrip(bridge, folder, std::min(rounds, 100));
    writesUnderNotices(server, folder, 5);
    lobbiesThroughTheServer(server, bridge, folder, std::min(rounds, 60));
    match.matchGame()->stop();
    return 0;
}
