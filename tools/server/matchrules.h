#pragma once
// The match's pure rules: which result reports are taken, and what two reports make.

#include <QJsonObject>
#include <QString>

// What the server made of a match's reports. Decided here, never taken from what a client sent.
enum class MatchStatus {
    Agreed,
    Draw,
    Disputed,
    Desync,
    Error,
    Sparring,
    Disconnected,
    Abandoned,
    Unconfirmed
};

// The status as the protocol writes it.
QString statusName(MatchStatus status);

// A side number (1 or 2) as an index into a match's or a series' two-element arrays; -1 for
// anything else, which callers refuse.
inline int sideIndex(int side)
{
    return side == 1 || side == 2 ? side - 1 : -1;
}

// The verdict of one match, as the series and the lobby take it.
struct MatchVerdict {
    MatchStatus status = MatchStatus::Unconfirmed;
    int winner = 0;   // 0, 1 or 2
    int leftSide = 0; // abandoned only: 1 or 2
    QString chars[2]; // the characters of an agreed or drawn match, when reported
};

namespace matchrules {

constexpr int MaxRttMs = 10000;
// A round trip a client reports, in 0..MaxRttMs before any arithmetic; fallback when it is not a
// number.
int clampRtt(const QJsonValue &v, int fallback);

// A launcher's "result" with only the fields that mean something, each within bounds; empty with
// the reason in error when it is not one a launcher sends: "winner" 0, 1 or 2 with the rounds, or
// "outcome" one of "left", "error", "sparring", "desync", "disconnected".
QJsonObject cleanResult(const QJsonObject &msg, QString *error);

// The verdict of two cleaned reports (null when missing). offline[i]: that side's player is gone.
MatchVerdict decide(const QJsonObject *reports[2], const bool offline[2]);

} // namespace matchrules
