#include "match/matchreports.h"

#include "game/gameprocess.h"
#include "match/gamefiles.h"
#include "match/gamelogreading.h"
#include "match/matchhost.h"
#include "match/reportrules.h"

#include <QJsonArray>
#include <QMetaEnum>
#include <QTimer>

namespace {

// Lives with the game it watches and remembers the phase the game was last seen in.
class CrashWatch : public QObject {
public:
    CrashWatch(GameProcess *game, MatchHost *host, const QString &label)
        : QObject(game), m_label(label), m_phase(host->phase())
    {
        connect(game, &GameProcess::statusChanged, this, [this, host](const QString &line) {
            if (line.endsWith(QLatin1String("exited")))
                m_phase = host->phase();
        });
    }
    QString during() const
    {
        if (!m_label.isEmpty())
            return m_label;
        return QString::fromLatin1(QMetaEnum::fromType<MatchController::Phase>().valueToKey(m_phase));
    }

private:
    QString m_label;
    MatchController::Phase m_phase;
};

} // namespace

MatchReports::MatchReports(MatchHost *host, QObject *parent) : QObject(parent), m_h(host) {}

void MatchReports::watchGame(GameProcess *game, const QString &label)
{
    auto *watch = new CrashWatch(game, m_h, label);
    connect(game, &GameProcess::exited, this, [this, game, watch](int exitCode, bool crashed) {
        gameExited(game, watch->during(), exitCode, crashed);
    });
}

void MatchReports::gameExited(GameProcess *game, const QString &during, int exitCode, bool crashed)
{
    const QStringList lines = gamelog::lastLogLines(game->sessionDir(), 65536);
    const reports::Crash crash = reports::crashOf(exitCode, crashed, game->stopping(), lines);
    if (!crash.report)
        return;
    m_h->log(tr("The game crashed (%1%2)")
                 .arg(crash.code, crash.where.isEmpty() ? QString() : QStringLiteral(" at ") + crash.where));
    if (m_h->server()->state() != ServerClient::LoggedIn)
        return;
    m_h->server()->send({{QStringLiteral("type"), QStringLiteral("crash_report")},
                         {QStringLiteral("game"), game->gameId()},
                         {QStringLiteral("code"), crash.code},
                         {QStringLiteral("where"), crash.where},
                         {QStringLiteral("during"), during.left(40)}});
}

void MatchReports::reportDesync(int frame, bool again)
{
    GameProcess *game = m_h->game();
    if (!game)
        return;
    // Taken now: by the time the log is read the match in hand may be another one.
    const QString matchId = m_h->match().goId().isEmpty() ? m_h->match().id() : m_h->match().goId();
    const QString gameId = game->gameId();
    const QString sessionDir = game->sessionDir();
    // The game is still writing what it noticed of the desync.
    QTimer::singleShot(m_h->timing().desyncWaitMs, this,
                       [=, this] { sendDesync(matchId, gameId, sessionDir, frame, again); });
}

void MatchReports::sendDesync(const QString &matchId, const QString &gameId, const QString &sessionDir,
                              int frame, bool again)
{
    ServerClient *server = m_h->server();
    if (server->state() != ServerClient::LoggedIn)
        return;
    QStringList lines = gamelog::matchLogExcerpt(sessionDir);
    if (!server->hasFeature(QStringLiteral("desync_detail")))
        lines = reports::shortenExcerpt(lines);
    lines << gamefiles::gameFilesLine(gameId) << gamefiles::machineLine(gameId);
    QJsonObject msg{{QStringLiteral("type"), QStringLiteral("desync_report")},
                    {QStringLiteral("game"), gameId},
                    {QStringLiteral("match"), matchId.left(16)},
                    {QStringLiteral("frame"), frame},
                    {QStringLiteral("lines"), QJsonArray::fromStringList(lines)}};
    if (again)
        msg.insert(QStringLiteral("again"), true);
    server->send(msg);
    m_h->log(tr("The match went out of step at frame %1: what the game logged of it went to the server")
                 .arg(frame));
}
