// One controller in the test process, without a server: the player's game, the game check, the
// refusals, and the server messages that need no opponent.

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "match/matchwatch.h"
#include "match/searchsession.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "tst_match.h"

#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

struct Local {
    QTemporaryDir dir;
    std::unique_ptr<ServerClient> server;
    std::unique_ptr<MatchController> match;

    explicit Local(const QString &exe)
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        const QString config = dir.filePath("data/orx-launcher.ini");
        {
            QSettings s(config, QSettings::IniFormat);
            s.setValue("online/game_port", probe.localPort());
            s.setValue("dev/udp_loopback", true);
            s.setValue("games/orx/exe", exe);
        }
        cfg::resetForTesting();
        cfg::init(config);
        server = std::make_unique<ServerClient>();
        match = std::make_unique<MatchController>(server.get());
    }
    ~Local()
    {
        match.reset();
        server.reset();
        cfg::resetForTesting();
    }
};

QString testGame()
{
    return qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame";
}

QJsonObject found(const QString &id, const QString &game = "orx")
{
    return {{"type", "match_found"},
            {"match", id},
            {"game", game},
            {"mode", "versus"},
            {"accept_required", true}};
}

} // namespace

void TestMatchLocal::playerGame()
{
    Local l(testGame());
    QSignalSpy running(l.match.get(), &MatchController::playerGameChanged);
    QCOMPARE(l.match->gameStatusText(), QString("not running"));
    QString why;
    QVERIFY(!l.match->usePlayerGame("orx", &why));
    QCOMPARE(why, QString("Your game is not running: press PLAY in Orvex Rovivi to start it."));
    QVERIFY(!l.match->isInOnlineMenu());

    QVERIFY(l.match->startPlayerGame(&why));
    QCOMPARE(running.size(), 1);
    QCOMPARE(running.first().first().toBool(), true);
    QVERIFY(l.match->isInOnlineMenu());
    QTRY_COMPARE_WITH_TIMEOUT(l.match->gameStatusText(), QString("ready"), orxtest::scaled(20000));
    GameProcess *game = l.match->matchGame();
    QVERIFY(l.match->startPlayerGame(&why)); // already running: nothing new starts
    QCOMPARE(l.match->matchGame(), game);
    QCOMPARE(running.size(), 1);
    QVERIFY(l.match->usePlayerGame("orx", &why));
    QVERIFY(!l.match->usePlayerGame("other", &why));
    QVERIFY(!l.match->gameForMatch(found("m1", "other")));
    QCOMPARE(l.match->gameForMatch(found("m1")), game);

    game->sendCommand("quit");
    QTRY_COMPARE_WITH_TIMEOUT(running.size(), 2, orxtest::scaled(20000));
    QCOMPARE(running.last().first().toBool(), false);
    QVERIFY(!l.match->isInOnlineMenu());
}

void TestMatchLocal::playerGameThatCannotStart()
{
    Local l(QDir(QDir::tempPath()).filePath("no-such-game-here/orx.bin"));
    QSignalSpy running(l.match.get(), &MatchController::playerGameChanged);
    QString why;
    QVERIFY(!l.match->startPlayerGame(&why));
    QVERIFY2(why.startsWith("Game executable not found: "), qPrintable(why));
    QVERIFY(!l.match->matchGame());
    QCOMPARE(running.size(), 0);
}

void TestMatchLocal::refusalsWithoutServer()
{
    Local l(testGame());
    QSignalSpy phases(l.match.get(), &MatchController::phaseChanged);
    MatchController::SearchRequest r;
    r.game = "orx";
    r.mode = "versus";
    QString why;
    QVERIFY(!l.match->queue(r, &why));
    QCOMPARE(why, QString("Sign in first."));
    l.match->cancel();
    l.match->accept();
    l.match->decline();
    QCOMPARE(phases.size(), 0); // nothing to cancel, accept or decline while idle
    QCOMPARE(l.match->opponentName(), QString("opponent"));
    QCOMPARE(l.match->search()->searchSeconds(), 0);
}

void TestMatchLocal::serverMessagesWithoutOpponent()
{
    Local l(testGame());
    QSignalSpy phases(l.match.get(), &MatchController::phaseChanged);
    QSignalSpy cancelled(l.match.get(), &MatchController::matchCancelled);
    QVERIFY(l.match->startPlayerGame());
    QTRY_COMPARE_WITH_TIMEOUT(l.match->gameStatusText(), QString("ready"), orxtest::scaled(20000));

    l.match->onServerMessage({{"type", "queue_left"}, {"reason", "removed"}});
    QCOMPARE(phases.size(), 0); // not searching: nothing to leave

    // A search started elsewhere (after a reconnect, say).
    l.match->onServerMessage({{"type", "queued"}, {"ping_widen", QJsonObject{{"after", 30}}}});
    QCOMPARE(l.match->phase(), MatchController::Searching);
    QCOMPARE(l.match->phaseText(), QString("Searching..."));
    QCOMPARE(l.match->search()->pingWiden().value("after").toInt(), 30);
    QCOMPARE(l.match->search()->widenedPingLimit(), 0);
    l.match->onServerMessage({{"type", "queued"}});
    QCOMPARE(phases.size(), 1); // already searching: no new phase
    l.match->onServerMessage({{"type", "queue_left"}, {"reason", "removed"}});
    QCOMPARE(l.match->phaseText(), QString("Removed from the queue"));

    // A match found is taken from the free game port; another match's cancel changes nothing.
    l.match->onServerMessage(found("abc"));
    QCOMPARE(l.match->phase(), MatchController::Found);
    QCOMPARE(l.match->phaseText(), QString("Match found"));
    l.match->onServerMessage({{"type", "match_cancelled"}, {"match", "zzz"}, {"reason", "declined"}});
    QCOMPARE(l.match->phase(), MatchController::Found);
    QCOMPARE(cancelled.size(), 0);
    l.match->onServerMessage({{"type", "match_cancelled"}, {"match", "abc"}, {"reason", "gremlins"}});
    QCOMPARE(cancelled.size(), 1);
    QCOMPARE(cancelled.first().at(0).toString(), QString("gremlins"));
    QCOMPARE(cancelled.first().at(1).toBool(), false);
    QCOMPARE(l.match->phase(), MatchController::Idle);
    QCOMPARE(l.match->phaseText(), QString("Match cancelled: gremlins"));
    QVERIFY(l.match->currentMatch().isEmpty());

    // Without an accept, a series match connects at once; a lobby match says so.
    QJsonObject next = found("def");
    next["accept_required"] = false;
    next["series"] = "s1";
    next["opponent"] = QJsonObject{{"name", "zed"}};
    l.match->onServerMessage(next);
    QCOMPARE(l.match->phase(), MatchController::Connecting);
    QCOMPARE(l.match->phaseText(), QString("Next match: connecting to zed..."));
    l.match->onServerMessage(
        {{"type", "match_cancelled"}, {"match", "def"}, {"reason", "peer_left"}, {"requeued", true}});
    QCOMPARE(l.match->phase(), MatchController::Searching);
    QCOMPARE(l.match->phaseText(), QString("Back in the queue: the opponent left"));
    next.remove("series");
    next["match"] = "ghi";
    l.match->onServerMessage(next);
    QCOMPARE(l.match->phaseText(), QString("Lobby match: connecting to zed..."));
    // Results and starts of another match are not this one's.
    QSignalSpy started(l.match.get(), &MatchController::matchStarted);
    QSignalSpy finished(l.match.get(), &MatchController::matchFinished);
    l.match->onServerMessage({{"type", "match_go"}, {"match", "other"}});
    l.match->onServerMessage({{"type", "match_result"}, {"match", "other"}});
    QCOMPARE(started.size(), 0);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(l.match->phase(), MatchController::Connecting);
    // The game closing before the start declines the match.
    l.match->matchGame()->sendCommand("quit");
    QTRY_COMPARE_WITH_TIMEOUT(l.match->phase(), MatchController::Idle, orxtest::scaled(20000));
    QCOMPARE(l.match->phaseText(), QString("Match declined"));
    QVERIFY(l.match->currentMatch().isEmpty());
}

namespace {
QJsonObject offer(const QString &id, const QString &p1, const QString &p2)
{
    return {{"type", "spectate"}, {"match", id}, {"game", "orx"}, {"mode", "versus"}, {"seed", 42},
            {"p1", "-"},          {"p2", "-"},   {"rounds", 3},   {"p1_name", p1},    {"p2_name", p2}};
}
QStringList ids(const QList<QJsonObject> &offers)
{
    QStringList out;
    for (const QJsonObject &o : offers)
        out << o.value("match").toString();
    return out;
}
} // namespace

void TestMatchLocal::watchOffers()
{
    Local l(testGame());
    QSignalSpy logs(l.match.get(), &MatchController::logLine);
    auto logged = [&](const QString &text) {
        for (const QList<QVariant> &args : logs)
            if (args.first().toString() == text)
                return true;
        return false;
    };
    // Idle without a game: the offer cannot be watched and is gone.
    l.match->onServerMessage(offer("w1", "ann", "bob"));
    QVERIFY(logged("Lobby match ann vs bob to watch"));
    QVERIFY(logged("Cannot watch the lobby's match: Your game is not running: press PLAY in Orvex Rovivi to "
                   "start it."));
    QVERIFY(l.match->watchFlow()->offers().isEmpty());
    QCOMPARE(l.match->phase(), MatchController::Idle);

    // While searching, offers wait; a third drops the oldest; the same offer twice counts once.
    l.match->onServerMessage({{"type", "queued"}});
    QCOMPARE(l.match->phase(), MatchController::Searching);
    l.match->onServerMessage(offer("w2", "ann", "bob"));
    l.match->onServerMessage(offer("w3", "cid", "dee"));
    l.match->onServerMessage(offer("w3", "cid", "dee"));
    QCOMPARE(ids(l.match->watchFlow()->offers()), (QStringList{"w2", "w3"}));
    l.match->onServerMessage(offer("w4", "eve", "fay"));
    QCOMPARE(ids(l.match->watchFlow()->offers()), (QStringList{"w3", "w4"}));
    // A queued match that ended normally stays; one called off is dropped.
    l.match->onServerMessage({{"type", "spectate_end"}, {"match", "w3"}, {"status", "agreed"}});
    QCOMPARE(ids(l.match->watchFlow()->offers()), (QStringList{"w3", "w4"}));
    l.match->onServerMessage({{"type", "spectate_end"}, {"match", "w4"}, {"status", "cancelled"}});
    QVERIFY(logged("Lobby match eve vs fay ended early: not watching it"));
    QCOMPARE(ids(l.match->watchFlow()->offers()), QStringList{"w3"});
    l.match->watchFlow()->stopWatchingAll();
    QVERIFY(l.match->watchFlow()->offers().isEmpty());
    QCOMPARE(l.match->phase(), MatchController::Searching);
}

void TestMatchLocal::watchFromTheOffer()
{
    // With the game at its hold point, an offer starts the watch: the watch line goes to the game
    // with the watch link's endpoint, and the feed buffered before reaches whoever connects there.
    Local l(testGame());
    QSignalSpy shown(l.match.get(), &MatchController::gameShown);
    // The game leaves the line in its command file: nothing but the test reads the feed.
    qputenv("ORX_TESTGAME_ARGS", "--take-after 600000");
    const bool started = l.match->startPlayerGame();
    qunsetenv("ORX_TESTGAME_ARGS");
    QVERIFY(started);
    QTRY_COMPARE_WITH_TIMEOUT(l.match->gameStatusText(), QString("ready"), orxtest::scaled(20000));
    l.match->onServerMessage({{"type", "queued"}});
    QJsonObject o = offer("w9", "ann", "bob");
    o["p1_title"] = "Iron  Fist";
    l.match->onServerMessage(o);
    l.match->onServerMessage({{"type", "spectate_feed"}, {"match", "w9"}, {"data", QString("AwBhYmM=")}});
    QCOMPARE(l.match->phase(), MatchController::Searching);
    l.match->onServerMessage({{"type", "queue_left"}});
    QCOMPARE(l.match->phase(), MatchController::Watching);
    QCOMPARE(l.match->phaseText(), QString("Watching ann vs bob: the match is being set up..."));
    QCOMPARE(shown.size(), 1);
    const QString record = l.match->matchGame()->sessionDir() + "/cmd.txt";
    QString line;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QFile f(record);
            line = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
            return !line.isEmpty();
        }(),
        orxtest::scaled(10000));
    static const QRegularExpression shape(
        "^start game=orx mode=versus watch=1 feed=127\\.0\\.0\\.1:(\\d+) seed=42 p1=- "
        "p2=- rounds=3 ranked=0 match=w9 p1_name=ann p2_name=bob "
        "p1_rank=iron-fist p2_rank=-$");
    const QRegularExpressionMatch m = shape.match(line);
    QVERIFY2(m.hasMatch(), qPrintable(line));
    // The buffered record waits at the watch link for whoever connects there.
    QTcpSocket reader;
    reader.connectToHost(QHostAddress::LocalHost, quint16(m.captured(1).toUInt()));
    QVERIFY(reader.waitForConnected(orxtest::scaled(5000)));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += reader.readAll()).size() >= 5, orxtest::scaled(5000));
    QCOMPARE(got.left(5), QByteArray::fromHex("0300616263"));
    // Stopping: the game is still at its hold point, so the watch ends at once.
    l.match->watchFlow()->stopWatchingAll();
    QCOMPARE(l.match->phase(), MatchController::Idle);
    QCOMPARE(l.match->phaseText(), QString("Stopped watching"));
    QTRY_COMPARE_WITH_TIMEOUT(reader.state(), QAbstractSocket::UnconnectedState, orxtest::scaled(5000));
}
