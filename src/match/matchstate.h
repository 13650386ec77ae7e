#pragma once
// Everything that belongs to the match in hand. The controller replaces it whole when a match is
// found, cancelled or over, so nothing of an earlier match (its start line, its timers, a wait for
// the game port) can act on the next one.

#include <QJsonObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

struct MatchState {
    // A timer of one match: stopped and let go with it, on the next turn of the loop, since the
    // match may be replaced from inside its own timer's handler.
    struct TimerRetire {
        void operator()(QTimer *timer) const
        {
            timer->stop();
            timer->disconnect();
            timer->deleteLater();
        }
    };
    using Timer = std::unique_ptr<QTimer, TimerRetire>;

    quint64 serial = 0;       // tells this match from every earlier one in delayed callbacks
    QJsonObject found;        // the match_found message; its "match" is the id in hand
    QJsonObject go;           // the match_go message, once it came
    bool inPlace = false;     // the next match starts from the result screen
    bool watch = false;       // a watched lobby match, not one of the player's own
    bool tunnelAsked = false; // the server was asked for the tunnel of this match
    int punchTimeoutMs = 10000;
    int delay = -1;         // the input delay of the start line, -1 before match_go
    QString pendingStart;   // the start line until the game takes it at its hold point
    bool startSent = false; // a start or rematch line went to the game
    QStringList characters; // p1 and p2 as the game named them in its result
    bool reported = false;
    bool verdictSeen = false; // the server's "match_result" arrived (a repeat changes nothing)
    int againSeen = 0;
    int refusedSeen = 0;
    QString endText; // the Idle text once the game's ending is over; empty means "Match over"
    // The result screen: whether the players choose there in the game, whether a choice is still
    // expected, the choice the game reported with its chooser, and the chooser by the result.
    bool playersChoose = false;
    bool choiceExpected = false;
    QString gameChoice;
    int gameChooser = 0;
    int resultChooser = 0;
    std::function<void()> portAction; // what runs once the game port is free
    Timer startTimer;
    Timer ackTimer;
    Timer resultTimer; // the wait at the result screen

    QString id() const { return found.value(QStringLiteral("match")).toString(); }
    QString goId() const { return go.value(QStringLiteral("match")).toString(); }
};
