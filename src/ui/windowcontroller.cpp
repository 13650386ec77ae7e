#include "windowcontroller.h"

#include "core/cfg.h"
#include "game/gamechecks.h"
#include "gamedata/registry.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}
} // namespace

BuildFacts gatherBuildFacts(const QString &gameId, bool hashNow)
{
    BuildFacts f;
    f.exe = cfg::gameExe(gameId);
    if (!f.exe.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return f;
    f.discExtracted = !discExecutable(gameId).isEmpty();
    if (f.discExtracted && !hashNow && !titleUpdateHashesKept(gameId)) {
        f.titleUpdateUnknown = true;
    } else if (f.discExtracted) {
        f.titleUpdateProblem = titleUpdateProblem(gameId);
        if (!f.titleUpdateProblem.isEmpty())
            f.buildHint = buildHint(gameId);
    }
    f.exeExists = QFileInfo(f.exe).isFile();
    f.packaged = cfg::isPackaged();
    f.rebuildNeeded = f.exeExists && rebuildNeeded(gameId);
    return f;
}

ReleaseFacts gatherReleaseFacts(const QString &gameId)
{
    ReleaseFacts f;
    f.packaged = cfg::isPackaged();
    f.exeExists = QFileInfo(cfg::gameExe(gameId)).isFile();
    if (!f.packaged || !f.exeExists)
        return f;
    f.builtByAnotherRelease = rebuildNeeded(gameId);
    f.titleUpdateProblem = titleUpdateProblem(gameId);
    if (const Game *game = GameRegistry::instance().find(gameId))
        f.titleUpdateLabel = game->titleUpdate.label();
    return f;
}

ReleaseAction WindowController::releaseCheck(const ReleaseFacts &f, const QString &gameId)
{
    ReleaseAction a;
    if (!f.packaged || !f.exeExists || (f.titleUpdateProblem.isEmpty() && !f.builtByAnotherRelease))
        return a;
    a.rebuild = true;
    if (!f.titleUpdateProblem.isEmpty()) {
        a.logLine = QStringLiteral("build %1: the title update in place is not this release's: asking for it")
                        .arg(gameId);
        a.notice =
            tr("Orvex Rovivi now needs %1. Choose it on Build game, step 2: the game is then built again.")
                .arg(f.titleUpdateLabel.isEmpty() ? tr("another title update") : f.titleUpdateLabel);
        a.noticeIsError = true;
    } else {
        a.logLine = QStringLiteral("build %1: built from another release than this one's: building again")
                        .arg(gameId);
        a.notice =
            tr("This update changed the game itself: it is being put together again on Build game (once, a "
               "few minutes at most).");
    }
    return a;
}

StatusLine WindowController::statusLine(ServerClient::State state, const QString &address,
                                        const QString &account, const QString &lastError)
{
    switch (state) {
    case ServerClient::LoggedIn:
        return {QStringLiteral("#3FC66B"), tr("Connected to %1 as %2").arg(address, account)};
    case ServerClient::Rovivi:
        return {QStringLiteral("#E8C25A"), tr("Connected to %1 (not signed in)").arg(address)};
    case ServerClient::Connecting:
        return {QStringLiteral("#F0B35A"), tr("Connecting to %1...").arg(address)};
    case ServerClient::Offline:
        break;
    }
    return {QStringLiteral("#FF6A5A"),
            lastError.isEmpty() ? tr("Offline") : tr("Offline: %1").arg(lastError)};
}

QString WindowController::buildNotice(const BuildFacts &f) const
{
    if (!m_playNotice.isEmpty())
        return m_playNotice;
    // Only a Windows executable is built from the disc; another one (a stand-in) needs no notice.
    if (!f.exe.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return QString();
    if (!f.discExtracted)
        return tr(
            "The game is not built yet. Open Build game and give it your Ironmere IV disc image and its "
            "title update.");
    if (!f.titleUpdateProblem.isEmpty())
        return f.titleUpdateProblem + QStringLiteral("\n\n") + f.buildHint;
    if (!f.exeExists)
        return tr("The game's code is not built yet. Open Build game and press CHECK AND BUILD.");
    if (f.packaged && f.rebuildNeeded)
        return tr(
            "This version of Orvex Rovivi changed the game: open Build game and press CHECK AND BUILD (a "
            "few minutes at most).");
    return QString();
}

WindowController::PlayAction WindowController::play(bool gameRunning, bool buildBusy)
{
    if (gameRunning)
        return PlayAction::BringForward;
    if (buildBusy) {
        m_playNotice = tr("Build game is still working: press PLAY once it is done.");
        return PlayAction::Wait;
    }
    return PlayAction::Start;
}

QString WindowController::playStarted(bool ok, const QString &reason)
{
    if (ok) {
        m_playNotice.clear();
        return QString();
    }
    m_playNotice = reason;
    return QStringLiteral("play: %1").arg(reason);
}

bool WindowController::takeFirstRunPrompt(ServerClient::State state, const QString &storedToken,
                                          const QString &storedName)
{
    if (m_promptDone || !m_options.user.isEmpty() || m_options.localTest ||
        !m_options.extractImage.isEmpty() || !m_options.page.isEmpty() || state != ServerClient::Rovivi ||
        !storedToken.isEmpty() || !storedName.isEmpty())
        return false;
    m_promptDone = true;
    return true;
}

WindowController::CloseAction WindowController::close(bool gameRunning, bool byTermination) const
{
    if (gameRunning && m_options.user.isEmpty() && !byTermination)
        return CloseAction::Ask;
    return CloseAction::Close;
}

UpdateOfferTexts WindowController::updateOfferTexts(const QString &version, bool required, bool testBuild,
                                                    const QString &offerBuild, const QString &ownBuild)
{
    UpdateOfferTexts t;
    t.logLine =
        QStringLiteral("update: %1 offered%2%3")
            .arg(version, required ? QStringLiteral(", needed to play online") : QString(),
                 testBuild
                     ? QStringLiteral(" (the release's build %1; this one is %2)").arg(offerBuild, ownBuild)
                     : QString());
    if (testBuild)
        t.sentence = tr("You have a test build: everyone else plays the release of %1.").arg(version);
    else if (required)
        t.sentence = tr("Orvex Rovivi %1 is out, and the server needs it to play online.").arg(version);
    else
        t.sentence = tr("Orvex Rovivi %1 is out. Players on another version cannot play you.").arg(version);
    t.buttonText = testBuild ? tr("GET THE RELEASE") : tr("UPDATE TO %1").arg(version);
    t.cardText = t.sentence + QLatin1Char(' ') + tr("It is installed once the game is closed.");
    t.bridgeText =
        t.sentence + QLatin1Char(' ') + tr("Close the game and update on Orvex Rovivi's Play page.");
    return t;
}

QString WindowController::updateWaitReason(const UpdateWaitFacts &f)
{
    if (f.gameRunning)
        return tr("you close the game");
    if (!f.phaseIdle)
        return tr("this is over: %1").arg(f.phaseText);
    if (f.buildBusy)
        return tr("Build game is done");
    if (f.preparing)
        return tr("the game is prepared for this version");
    return QString();
}

WindowController::OfferAction WindowController::updateOfferAction(bool updaterActive, bool autoUpdate,
                                                                  const QString &cannotUpdate,
                                                                  bool dialogOpen, const QString &version,
                                                                  const QString &dismissedVersion,
                                                                  bool required, const QString &waitReason)
{
    if (updaterActive)
        return OfferAction::Nothing;
    if (autoUpdate && cannotUpdate.isEmpty())
        return OfferAction::Start;
    if (dialogOpen || (version == dismissedVersion && !required))
        return OfferAction::Nothing;
    return waitReason.isEmpty() ? OfferAction::OpenDialog : OfferAction::Later;
}
