#pragma once
// Series, rematches and lobby matches, hung off the match controller: the result screen and the
// choices made there, readiness for the next match of a series, parking the game (with its clock
// and check), and leaving a lobby. The controller keeps the phase; what belongs to one match (the
// choices, the result-screen timer) lives in its MatchState, and what outlives a match (the series,
// the readiness, the park clock and check, the reconnect check, the lobby marks) lives here.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include "match/seriesrules.h"

class MatchHost;

class MatchSeries : public QObject {
    Q_OBJECT
public:
    MatchSeries(MatchHost *host, QObject *parent);

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
    // Back to the online menu: "park" to a running game, the park clock and its check.
    void parkGame();

signals:
    void seriesChanged(const QJsonObject &series);
    void notice(const QString &text);

private:
    void reconnectCheck();
    bool pathAllowsChoice() const;
    void applyChoice();
    void setPending(const QString &choice);
    void parkCheck();
    void sendLobbyReady(const QString &choice);

    MatchHost *m_h;
    QJsonObject m_series;
    bool m_seriesSinceLogin = false;
    bool m_readyPending = false;
    QString m_readyChoice = QStringLiteral("rematch");
    seriesrules::LastReady m_lastReady;
    bool m_leftLobby = false;
    bool m_quitLogged = false;
    QElapsedTimer m_parkClock; // since the game was last told to park
    QTimer m_parkCheck;
    QTimer m_reconnectCheck; // after a sign-in: a series the server no longer names is over
};
