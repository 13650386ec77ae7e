#include "playview.h"

#include <QCoreApplication>
#include <QJsonValue>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PlayPage", text);
}

QJsonObject obj(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toObject();
}

QString str(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

QString num(const QJsonObject &o, const char *key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    // Clamped first: a number past what a qint64 holds would make the conversion undefined.
    return QString::number(v.isDouble() ? qint64(qBound(-9.0e18, v.toDouble(), 9.0e18)) : 0);
}

} // namespace

bool inMatchPhase(MatchController::Phase phase)
{
    switch (phase) {
    case MatchController::Connecting:
    case MatchController::Starting:
    case MatchController::Playing:
    case MatchController::Reporting:
    case MatchController::Finishing:
    case MatchController::Watching:
        return true;
    default:
        return false;
    }
}

PlayView computePlayView(const QJsonObject &state, const QJsonObject &ownStats, MatchController::Phase phase,
                         const QString &phaseText, const PlayGameState &game)
{
    PlayView v;
    const QJsonObject account = obj(state, "account");
    const QString accountState = str(account, "state");
    const QJsonObject ranked = obj(ownStats, "ranked");
    const QJsonObject casual = obj(ownStats, "casual");

    if (accountState == QLatin1String("signed_in")) {
        v.accountState = accountState;
        v.name = str(account, "name");
        const QString title = str(ranked, "title");
        v.rankLine = title.isEmpty() ? tr("Ranked: not played yet")
                                     : tr("Rank: %1, %2 Elo").arg(title, num(ranked, "elo"));
        v.accountStatus =
            tr("Ranked sets: %1 won, %2 lost.   Casual matches: %3 won, %4 lost.")
                .arg(num(ranked, "wins"), num(ranked, "losses"), num(casual, "wins"), num(casual, "losses"));
        v.avatarRank = title;
        v.showSignOut = true;
        v.signOutEnabled = !inMatchPhase(phase);
    } else if (accountState == QLatin1String("signed_out")) {
        v.accountState = accountState;
        v.name = tr("Not signed in");
        v.rankLine = tr("Sign in, or create an account, to play online.");
        v.accountStatus = tr("Single player works without one.");
        v.showSignIn = v.showCreate = true;
    } else if (accountState == QLatin1String("connecting")) {
        v.accountState = accountState;
        v.name = tr("Connecting...");
        v.rankLine = tr("Connecting to the server.");
    } else {
        // "offline", and anything the document does not name: nothing online is possible.
        v.accountState = QStringLiteral("offline");
        v.name = tr("Offline");
        v.rankLine = tr("Not connected to the server.");
        const QString error = str(account, "error");
        v.accountStatus = error.isEmpty() ? tr("Single player works offline.") : error;
        v.showConnect = true;
    }

    if (game.running) {
        v.playText = tr("SHOW THE GAME");
        v.playAccessibleName = tr("Show the game: bring its window to the front");
        if (game.status == QLatin1String("starting") || game.status == QLatin1String("booting"))
            v.gameLine = tr("Your game is starting.");
        else if (inMatchPhase(phase))
            v.gameLine = tr("Your game is running: you are in an online match.");
        else
            v.gameLine = tr("Your game is running. Everything online is in its menus.");
    } else {
        v.playText = tr("PLAY");
        v.playAccessibleName = tr("Play: start the game");
        v.gameLine = tr("Your game is not running. Press PLAY to start it.");
    }

    const QJsonObject server = obj(state, "server");
    if (v.accountState == QLatin1String("signed_in"))
        v.serverLine = tr("Connected to the server as %1: %2 players online, %3 in matches.")
                           .arg(v.name, num(server, "online"), num(server, "in_matches"));
    else if (v.accountState == QLatin1String("signed_out"))
        v.serverLine = tr("Connected to the server, not signed in.");
    else if (v.accountState == QLatin1String("connecting"))
        v.serverLine = tr("Connecting to the server...");
    else
        v.serverLine = tr("Not connected to the server.");

    const QJsonObject queue = obj(state, "queue");
    const QString queueState = str(queue, "state");
    const QString seriesText = str(obj(state, "series"), "text");
    const QJsonValue lobby = state.value(QLatin1String("lobby"));
    // A missing queue state counts as idle: only a search or a match being set up has a sentence.
    if (!queueState.isEmpty() && queueState != QLatin1String("idle")) {
        v.matchLine = str(queue, "text");
    } else if (phase != MatchController::Idle) {
        v.matchLine = phaseText;
    } else if (!seriesText.isEmpty()) {
        v.matchLine = seriesText;
    } else if (lobby.isObject()) {
        const QJsonObject l = lobby.toObject();
        v.matchLine = tr("In lobby %1 (%2). %3").arg(str(l, "name"), str(l, "code"), str(l, "text"));
    }
    return v;
}
