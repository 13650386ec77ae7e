#pragma once
// Series, rematches and lobby matches, hung off the match controller: the result screen and the
// choices made there, readiness for the next match of a series, parking the game when the next
// match cannot start in place, and leaving a lobby. The controller keeps the phase; what belongs
// to one match (choices, the result-screen and reconnect timers) lives in its MatchState, and what
// outlives a match (the series, the readiness, the park check, the lobby marks) lives here.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include "match/seriesrules.h"

class MatchController;

class MatchSeries : public QObject {
    Q_OBJECT
public:
    explicit MatchSeries(MatchController *controller);

    QJsonObject series() const { return m_series; }
    bool readyPending() const { return m_readyPending; }
    bool leftLobby() const { return m_leftLobby; }

    // The menu's "ready" and "not ready" between two matches of a series.
    void setSeriesReady(bool ready, const QString &choice);
    // The server confirmed that the player left the lobby; or left it by joining another one.
    void leaveLobby();
    void lobbyLeft();

    // From the controller.
    // Whether the players of the match in hand choose at its result screen in the game.
    bool choiceRule() const;
    bool enterResultScreen(const QJsonObject &result);
    void onSeries(const QJsonObject &msg);
    void onLobby(const QJsonObject &msg);
    void onChose(const QString &choice, int chooser);
    void gameLeftResultScreen();
    void sendPendingReady();
    void gameBack() { m_parkCheck.stop(); }
    void backOnServer();
    void afterPhaseChange();
    void resultScreenTimedOut();
    void verdictAfterReturn();
    void reconnectCheck();
    void startParkCheck();

private:
    bool pathAllowsChoice() const;
    void applyChoice();
    void setPending(const QString &choice);
    void parkCheck();
    void sendLobbyReady(const QString &choice);

    MatchController *m_c;
    QJsonObject m_series;
    bool m_seriesSinceLogin = false;
    bool m_readyPending = false;
    QString m_readyChoice = QStringLiteral("rematch");
    seriesrules::LastReady m_lastReady;
    bool m_leftLobby = false;
    bool m_quitLogged = false;
    QTimer m_parkCheck;
    QTimer m_reconnectCheck; // after a sign-in: a series the server no longer names is over
};
