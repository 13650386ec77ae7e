// The bridge object, its wiring, and its two files: taking the game's request from "ask.txt" and
// writing the state document "ui.json"; the numbered messages to the game.

#include "bridge/bridgerules.h"
#include "bridge/menubridge.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

namespace {
// A request is one short line; a game gone wrong may write far more.
constexpr qsizetype kMaxRequestBytes = 1024 * 1024;
} // namespace

MenuBridge::MenuBridge(ServerClient *server, MatchController *match, QObject *parent)
    : QObject(parent), m_server(server), m_match(match)
{
    m_soonTimer.setSingleShot(true);
    m_spectatorGraceTimer.setSingleShot(true);
    setTiming(m_timing);
    connect(&m_askTimer, &QTimer::timeout, this, &MenuBridge::pollRequest);
    connect(&m_writeTimer, &QTimer::timeout, this, &MenuBridge::writeState);
    connect(&m_soonTimer, &QTimer::timeout, this, &MenuBridge::writeState);
    connect(&m_lobbyListTimer, &QTimer::timeout, this, &MenuBridge::refreshLobbyList);
    connect(&m_spectatorGraceTimer, &QTimer::timeout, this, &MenuBridge::onSpectatorGraceOver);

    connect(m_server, &ServerClient::message, this, &MenuBridge::onServerMessage);
    connect(m_server, &ServerClient::stateChanged, this, &MenuBridge::onServerState);
    connect(m_server, &ServerClient::loggedIn, this, [this](const QJsonObject &account) {
        m_stats =
            account.value(QStringLiteral("profile")).toObject().value(QStringLiteral("stats")).toObject();
        scheduleWrite();
    });
    const auto accountError = [this](const QString &text) {
        m_accountError = text;
        scheduleWrite();
    };
    connect(m_server, &ServerClient::connectionError, this, accountError);
    connect(m_server, &ServerClient::kicked, this, accountError);

    connect(m_match, &MatchController::phaseChanged, this, &MenuBridge::scheduleWrite);
    connect(m_match, &MatchController::gameStatusChanged, this, &MenuBridge::onGameStatus);
    connect(m_match, &MatchController::matchFound, this, &MenuBridge::onMatchFound);
    connect(m_match, &MatchController::matchCancelled, this, &MenuBridge::onMatchCancelled);
    connect(m_match, &MatchController::matchFinished, this, &MenuBridge::onMatchFinished);
    connect(m_match, &MatchController::seriesChanged, this, &MenuBridge::onSeriesChanged);
    connect(m_match, &MatchController::notice, this, [this](const QString &text) { setMessage(text, true); });
    connect(m_match, &MatchController::playerGameChanged, this, &MenuBridge::onPlayerGame);

    m_askTimer.start();
    m_writeTimer.start();
}

void MenuBridge::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_askTimer.setInterval(timing.askMs);
    m_writeTimer.setInterval(timing.writeMs);
    m_soonTimer.setInterval(timing.soonMs);
    m_lobbyListTimer.setInterval(timing.lobbyListMs);
    m_spectatorGraceTimer.setInterval(timing.spectatorGraceMs);
}

GameProcess *MenuBridge::servedGame() const
{
    // The match game whenever the controller holds it in the online menu. The controller forgets
    // the player's own game when the player leaves a lobby while that game stays open; serving only
    // that one would freeze the open game's menu.
    if (!m_match->isInOnlineMenu())
        return nullptr;
    GameProcess *game = m_match->matchGame();
    return game && game->isMenuGame() && game->isRunning() ? game : nullptr;
}

QString MenuBridge::bridgeFolder() const
{
    const GameProcess *game = servedGame();
    return game ? game->sessionDir() : QString();
}

void MenuBridge::pollRequest()
{
    GameProcess *game = servedGame();
    const QString folder = game ? game->sessionDir() : QString();
    if (folder.isEmpty())
        return;
    const QString ask = QDir(folder).filePath(QStringLiteral("ask.txt"));
    if (!QFileInfo::exists(ask))
        return;
    const QString taken = ask + QStringLiteral(".taken");
    // One rename makes the request the launcher's; a game still writing it keeps it until the next tick.
    if (!platform::renameReplacing(ask, taken))
        return;
    // Only a plain file is read: opening a named pipe would wait for a writer, and the launcher
    // with it. Once renamed the name is the launcher's, so what it checks is what it opens.
    if (!QFileInfo(taken).isFile()) {
        appendLog(QStringLiteral("bridge: ask.txt is not a file: left out"));
        QFile::remove(taken);
        return;
    }
    const QByteArray bytes = platform::readFileShared(taken).left(kMaxRequestBytes);
    const qsizetype lf = bytes.indexOf('\n');
    const QString line = QString::fromLatin1(lf < 0 ? bytes : bytes.left(lf)).trimmed();
    if (line.isEmpty())
        return;
    // Checks made by the request see the game's latest status.
    game->pollStatus();
    handleRequest(line);
}

void MenuBridge::setMessage(const QString &text, bool isError)
{
    if (text.isEmpty())
        return;
    m_message =
        QJsonObject{{QStringLiteral("id"), m_message.value(QStringLiteral("id")).toInteger() + 1},
                    {QStringLiteral("kind"), isError ? QStringLiteral("error") : QStringLiteral("info")},
                    {QStringLiteral("text"), text}};
    appendLog(QStringLiteral("bridge: message %1").arg(text));
    scheduleWrite();
}

void MenuBridge::setUpdateOffer(const QString &version, const QString &text)
{
    m_update = QJsonObject{{QStringLiteral("version"), version}, {QStringLiteral("text"), text}};
    scheduleWrite();
}

void MenuBridge::scheduleWrite()
{
    if (!m_soonTimer.isActive())
        m_soonTimer.start();
    emit changed();
}

void MenuBridge::refuse(const QString &verb, const QString &text)
{
    appendLog(QStringLiteral("bridge: %1 not done: %2").arg(verb, text));
    setMessage(text, true);
}

void MenuBridge::writeState()
{
    const QString folder = bridgeFolder();
    if (folder.isEmpty())
        return;
    const QByteArray bytes = QJsonDocument(composeState()).toJson(QJsonDocument::Compact) + '\n';
    QString error;
    if (!platform::writeFileAtomically(QDir(folder).filePath(QStringLiteral("ui.json")), bytes, &error))
        appendLog(QStringLiteral("bridge: %1").arg(error)); // the next tick tries again
}
