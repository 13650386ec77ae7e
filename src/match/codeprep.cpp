#include "match/codeprep.h"

#include "core/cfg.h"
#include "game/gameprocess.h"
#include "gamedata/registry.h"
#include "match/matchhost.h"
#include "match/matchreports.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace codeprep {

// A build leaves the executable and its ".dll"; the game's "--prepare" run writes
// "compiler/work/<name>/built.txt" with the size and file time of the executable it prepared.
bool codePrepNeeded(const QString &exePath)
{
    const QFileInfo exe(exePath);
    if (!exe.isFile() || exe.suffix().compare(QLatin1String("exe"), Qt::CaseInsensitive) != 0)
        return false;
    const QFileInfo dll(exe.dir().filePath(exe.completeBaseName() + QStringLiteral(".dll")));
    if (!dll.isFile())
        return false;
    QFile built(exe.dir().filePath(QStringLiteral("compiler/work/%1/built.txt").arg(exe.completeBaseName())));
    if (built.open(QIODevice::ReadOnly)) {
        const QStringList words =
            QString::fromUtf8(built.readLine()).trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        quint64 fileTime = 0;
        if (words.size() < 2 || !platform::fileWriteTime(exe.filePath(), &fileTime))
            return true;
        return !(words.at(0) == QString::number(exe.size()) && words.at(1) == QString::number(fileTime));
    }
    return dll.lastModified() <= exe.lastModified();
}

QString refusal(const QStringList &queue, const QString &gameId,
                const std::function<QString(const QString &)> &nameOf)
{
    if (!queue.contains(gameId))
        return QString();
    if (queue.constFirst() == gameId)
        return QCoreApplication::translate("MatchController",
                                           "%1 is being prepared for this version (its window shows how far "
                                           "it is): it can be played once that is done.")
            .arg(nameOf(gameId));
    return QCoreApplication::translate(
               "MatchController", "%1 is prepared for this version next, after %2: it can be played once "
                                  "that is done.")
        .arg(nameOf(gameId), nameOf(queue.constFirst()));
}

} // namespace codeprep

CodePrep::CodePrep(MatchHost *host, QObject *parent) : QObject(parent), m_h(host) {}

QString CodePrep::nameOf(const QString &gameId)
{
    const Game *game = GameRegistry::instance().find(gameId);
    if (!game)
        return gameId;
    return game->shortName.isEmpty() ? game->title : game->shortName;
}

bool CodePrep::rebuildCode(const QStringList &gameIds)
{
    if (!m_queue.isEmpty())
        return true;
    for (const QString &id : gameIds) {
        if (m_h->game() && m_h->game()->isRunning() && m_h->game()->gameId() == id)
            continue; // a game in play keeps its code; its next start prepares it
        if (codeprep::codePrepNeeded(cfg::gameExe(id)))
            m_queue << id;
    }
    if (m_queue.isEmpty())
        return false;
    m_total = int(m_queue.size());
    m_notFinished.clear();
    m_h->log(tr("New executables: building the code again for %1").arg(m_queue.join(QStringLiteral(", "))));
    prepareNext();
    return true;
}

bool CodePrep::prepCheck(const QString &gameId, QString *reason) const
{
    const QString why = codeprep::refusal(m_queue, gameId, &CodePrep::nameOf);
    if (why.isEmpty())
        return true;
    if (reason)
        *reason = why;
    return false;
}

void CodePrep::prepareNext()
{
    while (!m_queue.isEmpty()) {
        const QString id = m_queue.constFirst();
        auto *game = new GameProcess(id, 1, this);
        game->setArguments({QStringLiteral("--prepare")});
        m_h->watchGame(game, QStringLiteral("preparing"));
        QString error;
        if (game->start(cfg::gameExe(id), &error, false)) {
            m_game = game;
            connect(game, &GameProcess::exited, this,
                    [this, game](int exitCode, bool crashed) { prepared(game, exitCode, crashed); });
            emit changed(tr("Preparing %1 for this version (%2 of %3), its window shows how far it "
                            "is: it can be played once that is done.")
                             .arg(nameOf(id))
                             .arg(m_total - m_queue.size() + 1)
                             .arg(m_total),
                         false);
            return;
        }
        m_h->log(tr("Preparing %1: %2").arg(nameOf(id), error));
        delete game;
        m_notFinished << id;
        m_queue.removeFirst();
    }
    QStringList names;
    for (const QString &id : std::as_const(m_notFinished))
        names << nameOf(id);
    if (!names.isEmpty())
        emit changed(tr("Preparing %1 did not finish: it is done on its next start.")
                         .arg(names.join(QStringLiteral(", "))),
                     true);
    else
        emit changed(tr("The games are ready for this version."), true);
    m_h->gameStatusTextChanged();
}

void CodePrep::prepared(GameProcess *game, int exitCode, bool crashed)
{
    // Not deleted inside its own signal.
    game->disconnect(this);
    game->deleteLater();
    const QString id = game->gameId();
    if (!m_queue.isEmpty() && m_queue.constFirst() == id)
        m_queue.removeFirst();
    if (exitCode != 0 || crashed) {
        m_h->log(tr("Preparing %1 did not finish (exit code %2): its next start does it")
                     .arg(nameOf(id))
                     .arg(exitCode));
        m_notFinished << id;
    } else {
        m_h->log(tr("%1 is ready for this version").arg(nameOf(id)));
    }
    prepareNext();
}

void CodePrep::shutdown()
{
    m_queue.clear();
    if (m_game)
        m_game->disconnect(this);
}
