#pragma once
// Code preparation, hung off the match controller: after new game executables each game runs
// once with "--prepare", one at a time, and is not started for play or tests until it did.

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

class GameProcess;
class MatchHost;

namespace codeprep {

// Whether the executable still has to prepare its code for this build (see the .cpp).
bool codePrepNeeded(const QString &exePath);
// Why `gameId` cannot start while `queue` (the first one being prepared) is worked through; empty
// when it is not queued. `nameOf` gives a game's name for the player.
QString refusal(const QStringList &queue, const QString &gameId,
                const std::function<QString(const QString &)> &nameOf);

} // namespace codeprep

class CodePrep : public QObject {
    Q_OBJECT
public:
    CodePrep(MatchHost *host, QObject *parent);

    // Starts a round for the given games (in order) whose executables need it; true when a round
    // runs (also one that ran already).
    bool rebuildCode(const QStringList &gameIds);
    bool prepCheck(const QString &gameId, QString *reason) const;
    // The launcher closes: nothing more is prepared; a running preparation is let go.
    void shutdown();
    QStringList queue() const { return m_queue; }

signals:
    void changed(const QString &text, bool done);

private:
    void prepareNext();
    void prepared(GameProcess *game, int exitCode, bool crashed);
    static QString nameOf(const QString &gameId);

    MatchHost *m_h;
    QStringList m_queue; // the first one is being prepared
    int m_total = 0;
    QStringList m_notFinished;
    QPointer<GameProcess> m_game;
};
