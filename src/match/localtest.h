#pragma once
// The local test, hung off the match controller: two instances of the game play one match on this
// PC over 127.0.0.1, without the server, and must report the same result.

#include <QObject>
#include <QPointer>
#include <QString>

class GameProcess;
class MatchHost;

namespace localtest {

// The start line of instance `side` (1 or 2); the ports are instance 1's and instance 2's.
QString startLine(const QString &gameId, const QString &mode, int side, int port1, int port2, int delay,
                  quint32 seed, const QString &p1, const QString &p2, const QString &matchId);
// A result line up to its " match=": two instances agree when these are equal.
QString resultPart(const QString &statusLine);

} // namespace localtest

class LocalTest : public QObject {
    Q_OBJECT
public:
    LocalTest(MatchHost *host, QObject *parent);

    bool start(const QString &gameId, const QString &mode, const QString &p1, const QString &p2,
               QString *reason);
    void stop();
    GameProcess *instance(int n) const;
    QString statusText() const;

private:
    void onStatus(int n, const QString &line);
    void onExited();
    void update();

    MatchHost *m_h;
    QPointer<GameProcess> m_one;
    QPointer<GameProcess> m_two;
    QString m_pending[2];
    QString m_result[2];
};
