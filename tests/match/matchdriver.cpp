// One launcher's match control in a process of its own (settings are per process): signs in to
// the server, starts the player's game and takes commands on standard input, one per line.
// Everything the controller says comes out on standard output, one event per line.
// Usage: orx-match-driver --config FILE --server ADDRESS [--timing key=ms ...] [--bridge 1]
// With --bridge 1 a menu bridge serves the player's game as in the launcher, and the driver asks
// for the server's figures after each welcome as the main window does; --bridge-grace MS shortens
// how long its spectator watches on after the server link dropped.
// Commands: connect, register NAME PASSWORD, play, queue MODE [casual|ranked [CHARACTER]], accept,
// decline, cancel, ready CHOICE, unready, leavelobby, lobbyleft, stopwatching, raw JSON (to the server),
// drop, inject JSON (as if from the server), gamecmd LINE, quitgame (asks the player's game to end),
// localtest [P1 P2], stoplocal, rebuild, shutdown, set KEY VALUE, ask, quit.

#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "match/matchcontroller.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "net/serverclient.h"
#include "net/udprendezvous.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

void out(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString json(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

bool applyTiming(MatchController::Timing &t, const QString &item)
{
    const QString key = item.section(QLatin1Char('='), 0, 0);
    bool ok = false;
    const int ms = item.section(QLatin1Char('='), 1).toInt(&ok);
    if (!ok)
        return false;
    if (key == QLatin1String("keepalive"))
        t.keepAliveMs = ms;
    else if (key == QLatin1String("hold"))
        t.startHoldExtraMs = ms;
    else if (key == QLatin1String("fixed"))
        t.startFixedMs = ms;
    else if (key == QLatin1String("pick"))
        t.startPickMs = ms;
    else if (key == QLatin1String("ack"))
        t.ackMs = ms;
    else if (key == QLatin1String("ending"))
        t.endingMs = ms;
    else if (key == QLatin1String("resultscreen"))
        t.resultScreenMs = ms;
    else if (key == QLatin1String("choose"))
        t.resultChooseMs = ms;
    else if (key == QLatin1String("lobbychoice"))
        t.lobbyChoiceMs = ms;
    else if (key == QLatin1String("parkcheck"))
        t.parkCheckMs = ms;
    else if (key == QLatin1String("parkevery"))
        t.parkCheckEveryMs = ms;
    else if (key == QLatin1String("parkagain"))
        t.parkAgainMs = ms;
    else if (key == QLatin1String("reconnect"))
        t.reconnectCheckMs = ms;
    else if (key == QLatin1String("watchnever"))
        t.watchNeverMs = ms;
    else if (key == QLatin1String("watchearly"))
        t.watchEarlyMs = ms;
    else if (key == QLatin1String("desyncwait"))
        t.desyncWaitMs = ms;
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString config, server;
    MatchController::Timing timing;
    int reconnectMs = 500;
    bool withBridge = false;
    int bridgeGraceMs = 0;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--config"))
            config = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--server"))
            server = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--reconnect-ms"))
            reconnectMs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--bridge"))
            withBridge = args.at(i + 1) == QLatin1String("1");
        else if (args.at(i) == QLatin1String("--bridge-grace"))
            bridgeGraceMs = args.at(i + 1).toInt();
        else if (args.at(i) != QLatin1String("--timing") || !applyTiming(timing, args.at(i + 1))) {
            std::fprintf(stderr, "bad option %s\n", qPrintable(args.at(i)));
            return 2;
        }
    }
    if (config.isEmpty() || server.isEmpty()) {
        std::fprintf(stderr, "usage: orx-match-driver --config FILE --server ADDRESS [--timing key=ms]\n");
        return 2;
    }
    cfg::init(config);
    // As the launcher at its start: the game definitions the lobby requests are checked against.
    QString registryError;
    if (!GameRegistry::load(&registryError)) {
        std::fprintf(stderr, "game definitions: %s\n", qPrintable(registryError));
        return 2;
    }

    ServerClient client;
    ServerClient::Timing ct;
    ct.reconnectFirstMs = reconnectMs;
    client.setTiming(ct);
    MatchController match(&client);
    match.setTiming(timing);
    std::unique_ptr<MenuBridge> bridge;
    if (withBridge) {
        bridge = std::make_unique<MenuBridge>(&client, &match);
        if (bridgeGraceMs > 0) {
            MenuBridge::Timing t = bridge->timing();
            t.spectatorGraceMs = bridgeGraceMs;
            bridge->setTiming(t);
        }
        QObject::connect(&client, &ServerClient::message, [&client](const QJsonObject &m) {
            if (m.value(QStringLiteral("type")).toString() == QLatin1String("welcome"))
                client.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("online")}});
        });
    }

    QObject::connect(&client, &ServerClient::stateChanged,
                     [](ServerClient::State s) { out(QStringLiteral("state %1").arg(int(s))); });
    QObject::connect(&client, &ServerClient::loggedIn, [] { out(QStringLiteral("loggedin")); });
    QObject::connect(&client, &ServerClient::message,
                     [](const QJsonObject &m) { out(QStringLiteral("msg ") + json(m)); });
    QObject::connect(&match, &MatchController::phaseChanged,
                     [](MatchController::Phase p, const QString &text) {
                         out(QStringLiteral("phase %1 %2").arg(int(p)).arg(text));
                     });
    QObject::connect(&match, &MatchController::logLine,
                     [](const QString &t) { out(QStringLiteral("log ") + t); });
    QObject::connect(&match, &MatchController::notice,
                     [](const QString &t) { out(QStringLiteral("notice ") + t); });
    QObject::connect(&match, &MatchController::matchFound,
                     [](const QJsonObject &m) { out(QStringLiteral("found ") + json(m)); });
    QObject::connect(&match, &MatchController::matchStarted,
                     [](const QJsonObject &m) { out(QStringLiteral("started ") + json(m)); });
    QObject::connect(&match, &MatchController::matchFinished,
                     [](const QJsonObject &m) { out(QStringLiteral("finished ") + json(m)); });
    QObject::connect(&match, &MatchController::matchCancelled, [](const QString &r, bool q) {
        out(QStringLiteral("cancelled %1 %2").arg(r).arg(q ? 1 : 0));
    });
    QObject::connect(&match, &MatchController::seriesChanged,
                     [](const QJsonObject &m) { out(QStringLiteral("series ") + json(m)); });
    QObject::connect(&match, &MatchController::playerGameChanged,
                     [](bool on) { out(QStringLiteral("playergame %1").arg(on ? 1 : 0)); });
    QObject::connect(&match, &MatchController::gameStatusChanged,
                     [](const QString &t) { out(QStringLiteral("game ") + t); });
    QObject::connect(&match, &MatchController::codePrepChanged, [](const QString &t, bool done) {
        out(QStringLiteral("prep %1 %2").arg(done ? 1 : 0).arg(t));
    });

    QObject::connect(match.rendezvous(), &UdpRendezvous::helloAcked, [](const QString &endpoint, int rtt) {
        out(QStringLiteral("helloack %1").arg(endpoint));
    });

    QByteArray buffer;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            app.quit(); // the test went away
            return;
        }
        buffer.append(chunk, n);
        qsizetype nl;
        while ((nl = buffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(buffer.left(nl)).trimmed();
            buffer.remove(0, nl + 1);
            const QString cmd = line.section(QLatin1Char(' '), 0, 0);
            const QString rest = line.section(QLatin1Char(' '), 1);
            QString reason;
            if (cmd == QLatin1String("connect")) {
                client.connectTo(server, QString());
            } else if (cmd == QLatin1String("register")) {
                client.registerAccount(rest.section(QLatin1Char(' '), 0, 0),
                                       rest.section(QLatin1Char(' '), 1));
            } else if (cmd == QLatin1String("play")) {
                const bool ok = match.startPlayerGame(&reason);
                out(ok ? QStringLiteral("play ok") : QStringLiteral("play fail ") + reason);
            } else if (cmd == QLatin1String("queue")) {
                MatchController::SearchRequest r;
                r.game = QStringLiteral("orx");
                r.mode = rest.section(QLatin1Char(' '), 0, 0);
                r.ranked = rest.section(QLatin1Char(' '), 1, 1) == QLatin1String("ranked");
                r.character = rest.section(QLatin1Char(' '), 2, 2);
                r.delay = cfg::inputDelay();
                const bool ok = match.queue(r, &reason);
                out(ok ? QStringLiteral("queue ok") : QStringLiteral("queue fail ") + reason);
            } else if (cmd == QLatin1String("accept")) {
                match.accept();
            } else if (cmd == QLatin1String("decline")) {
                match.decline();
            } else if (cmd == QLatin1String("cancel")) {
                match.cancel();
            } else if (cmd == QLatin1String("drop")) {
                client.dropForTest();
            } else if (cmd == QLatin1String("ready")) {
                match.seriesFlow()->setSeriesReady(true, rest);
            } else if (cmd == QLatin1String("unready")) {
                match.seriesFlow()->setSeriesReady(false, QString());
            } else if (cmd == QLatin1String("leavelobby")) {
                match.seriesFlow()->leaveLobby();
            } else if (cmd == QLatin1String("lobbyleft")) {
                match.seriesFlow()->lobbyLeft();
            } else if (cmd == QLatin1String("stopwatching")) {
                match.watchFlow()->stopWatchingAll();
            } else if (cmd == QLatin1String("raw")) {
                client.send(QJsonDocument::fromJson(rest.toUtf8()).object());
            } else if (cmd == QLatin1String("inject")) {
                match.onServerMessage(QJsonDocument::fromJson(rest.toUtf8()).object());
            } else if (cmd == QLatin1String("gamecmd")) {
                if (match.matchGame())
                    match.matchGame()->sendCommand(rest);
            } else if (cmd == QLatin1String("quitgame")) {
                if (match.matchGame())
                    match.matchGame()->quit();
            } else if (cmd == QLatin1String("localtest")) {
                const QString p1 = rest.section(QLatin1Char(' '), 0, 0);
                const QString p2 = rest.section(QLatin1Char(' '), 1, 1);
                const bool ok = match.startLocalTest(QStringLiteral("orx"), QStringLiteral("versus"),
                                                     p1.isEmpty() ? QStringLiteral("-") : p1,
                                                     p2.isEmpty() ? QStringLiteral("-") : p2, &reason);
                out(ok ? QStringLiteral("localtest ok") : QStringLiteral("localtest fail ") + reason);
            } else if (cmd == QLatin1String("stoplocal")) {
                match.stopLocalTest();
            } else if (cmd == QLatin1String("rebuild")) {
                out(QStringLiteral("rebuild %1").arg(match.rebuildCode() ? 1 : 0));
            } else if (cmd == QLatin1String("shutdown")) {
                match.shutdown();
                out(QStringLiteral("shutdown done"));
            } else if (cmd == QLatin1String("set")) {
                cfg::set(rest.section(QLatin1Char(' '), 0, 0), rest.section(QLatin1Char(' '), 1));
            } else if (cmd == QLatin1String("ask")) {
                out(QStringLiteral("answer phase=%1 stored=%2 path=%3 status=%4")
                        .arg(int(match.phase()))
                        .arg(match.hasStoredResult() ? 1 : 0)
                        .arg(match.lastPath(), match.gameStatusText()));
            } else if (cmd == QLatin1String("quit")) {
                app.quit();
            } else {
                out(QStringLiteral("unknown ") + line);
            }
        }
    });
    out(QStringLiteral("driver ready"));
    return app.exec();
}
