#pragma once
// What the Play page shows, computed from the menu state document, the player's own statistics,
// the match phase and the player's game, so the page only applies it. Missing or mistyped fields
// read as empty texts and zeros.

#include "match/matchcontroller.h"

#include <QJsonObject>
#include <QString>

struct PlayGameState {
    bool running = false;
    QString status; // the game's current status word ("starting", "booting", "ready" ...)
};

struct PlayView {
    QString accountState; // "signed_in", "signed_out", "connecting" or "offline"
    QString name;
    QString rankLine;
    QString accountStatus;
    QString avatarRank; // the rank whose image the avatar shows; empty for the default picture
    bool showSignIn = false;
    bool showCreate = false;
    bool showSignOut = false;
    bool signOutEnabled = true;
    bool showConnect = false;
    QString playText;
    QString playAccessibleName;
    QString gameLine;
    QString serverLine;
    QString matchLine; // empty: the line hides
};

// True for the phases in which the player is in an online match (Connecting to Finishing, Watching).
bool inMatchPhase(MatchController::Phase phase);

PlayView computePlayView(const QJsonObject &state, const QJsonObject &ownStats, MatchController::Phase phase,
                         const QString &phaseText, const PlayGameState &game);
