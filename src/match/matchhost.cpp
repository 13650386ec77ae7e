// The controller's side of its host interface: each call reaches the phase machine, the match in
// hand or one of the other objects hung off the controller.

#include "match/matchhost.h"

#include "game/gameprocess.h"
#include "match/codeprep.h"
#include "match/matchreports.h"
#include "match/matchseries.h"
#include "match/matchwatch.h"
#include "net/udprendezvous.h"

class MatchController::Host final : public MatchHost {
public:
    explicit Host(MatchController *c) : m_c(c) {}

    MatchController::Phase phase() const override { return m_c->m_phase; }
    QString phaseText() const override { return m_c->m_phaseText; }
    void setPhase(MatchController::Phase phase, const QString &text) override { m_c->setPhase(phase, text); }
    const MatchController::Timing &timing() const override { return m_c->m_timing; }
    void log(const QString &text) override { m_c->log(text); }

    MatchState &match() override { return m_c->m_match; }
    void replaceMatch() override { m_c->replaceMatch(); }
    void matchOver(const QString &endText) override { m_c->matchOver(endText); }
    void finishInGame(const QString &text) override { m_c->finishInGame(text); }
    void reportResult(const QJsonObject &result) override { m_c->reportResult(result); }
    void tryHoldPoint() override { m_c->tryHoldPoint(); }
    void handOverFeed() override { m_c->m_watchFlow->handOverFeed(); }
    QString opponentName() const override { return m_c->opponentName(); }
    QString opponentRawName() const override { return m_c->opponentRawName(); }
    bool tunnelled() const override { return m_c->m_bridge != nullptr; }
    QString lastPath() const override { return m_c->m_lastVia; }

    bool watching() const override { return m_c->m_watchFlow->watching(); }
    bool lobbyMatchesToWatch() const override
    {
        return m_c->m_watchFlow->watching() || m_c->m_watchFlow->hasOffers();
    }
    void stopWatchingAll() override { m_c->m_watchFlow->stopWatchingAll(); }

    GameProcess *game() const override { return m_c->m_game.data(); }
    bool gameCheck(const QString &gameId, QString *reason) const override
    {
        return m_c->gameCheck(gameId, reason);
    }
    bool isInOnlineMenu() const override { return m_c->isInOnlineMenu(); }
    void forgetPlayerGame() override { m_c->m_playerGame = nullptr; }
    void closeMatchGame(const QString &reason) override { m_c->closeMatchGame(reason); }
    void park() override { m_c->m_seriesFlow->parkGame(); }
    void watchGame(GameProcess *game, const QString &label) override
    {
        m_c->m_reports->watchGame(game, label);
    }
    bool prepCheck(const QString &gameId, QString *reason) const override
    {
        return m_c->m_codePrep->prepCheck(gameId, reason);
    }
    void gameStatusTextChanged() override { emit m_c->gameStatusChanged(m_c->gameStatusText()); }

    ServerClient *server() const override { return m_c->m_server; }
    int serverRtt() const override { return m_c->serverRtt(); }
    int udpRoundTripMs() const override { return m_c->m_rendezvous->serverRoundTripMs(); }
    bool bindGamePort(QString *error) override { return m_c->bindGamePort(error); }
    void sendHello(const QString &matchId, int timeoutMs) override { m_c->sendHello(matchId, timeoutMs); }
    void stopRendezvous() override { m_c->m_rendezvous->stop(); }

private:
    MatchController *m_c;
};

std::unique_ptr<MatchHost> MatchController::makeHost()
{
    return std::make_unique<Host>(this);
}

MatchController::~MatchController()
{
    // The player's game outlives nothing of ours: stop listening before members go.
    if (m_game)
        disconnect(m_game, nullptr, this, nullptr);
}
