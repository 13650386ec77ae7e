// The controller's faces of the objects hung off it (reports, the local test, code preparation),
// and its shutdown when the launcher closes.

#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "match/codeprep.h"
#include "match/gamefiles.h"
#include "match/localtest.h"
#include "match/matchcontroller.h"
#include "match/matchreports.h"

#include <QElapsedTimer>
#include <QEventLoop>

namespace {
constexpr int hashingWaitMs = 3000;
constexpr int gamesQuitMs = 2500;
constexpr int eventsEveryMs = 50;
} // namespace

void MatchController::watchGame(GameProcess *game, const QString &label)
{
    m_reports->watchGame(game, label);
}

bool MatchController::startLocalTest(const QString &gameId, const QString &mode, const QString &p1,
                                     const QString &p2, QString *reason)
{
    return m_localTest->start(gameId, mode, p1, p2, reason);
}

void MatchController::stopLocalTest()
{
    m_localTest->stop();
}

GameProcess *MatchController::localTestInstance(int n) const
{
    return m_localTest->instance(n);
}

bool MatchController::rebuildCode()
{
    QStringList ids;
    for (const Game &game : GameRegistry::instance().games())
        ids << game.id;
    return m_codePrep->rebuildCode(ids);
}

bool MatchController::prepCheck(const QString &gameId, QString *reason) const
{
    return m_codePrep->prepCheck(gameId, reason);
}

void MatchController::shutdown()
{
    gamefiles::stopHashing(hashingWaitMs);
    m_codePrep->shutdown();
    m_localTest->stop();
    if (m_phase == Searching)
        cancel();
    // Every game the controller started, the local test's and a preparation run included.
    const QList<GameProcess *> games = findChildren<GameProcess *>();
    auto anyRunning = [&games] {
        for (GameProcess *g : games)
            if (g->isRunning())
                return true;
        return false;
    };
    for (GameProcess *g : games)
        if (g->isRunning())
            g->quit();
    QElapsedTimer clock;
    clock.start();
    while (anyRunning() && clock.elapsed() < gamesQuitMs) {
        QEventLoop loop;
        QTimer::singleShot(eventsEveryMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    for (GameProcess *g : games)
        if (g->isRunning())
            g->stop();
}
