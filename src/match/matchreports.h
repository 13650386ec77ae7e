#pragma once
// Crash, hang and desync reports, hung off the match controller: the crash watcher attached to
// each game the controller runs, and the desync report of the match in play.

#include <QObject>
#include <QString>

class GameProcess;
class MatchHost;

class MatchReports : public QObject {
    Q_OBJECT
public:
    MatchReports(MatchHost *host, QObject *parent);

    // Attach before anything else listens to the game, so the phase is read before the
    // controller's own reaction to the game's end changes it. An empty label reports the phase.
    void watchGame(GameProcess *game, const QString &label);
    void reportDesync(int frame, bool again);

private:
    void gameExited(GameProcess *game, const QString &during, int exitCode, bool crashed);
    void sendDesync(const QString &matchId, const QString &gameId, const QString &sessionDir, int frame,
                    bool again);

    MatchHost *m_h;
};
