#include "updateflow.h"

#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "playpage.h"
#include "update/updater.h"
#include "windowcontroller.h"

#include <QApplication>

UpdateFlow::UpdateFlow(Updater *updater, MatchController *match, MenuBridge *bridge, PlayPage *play,
                       bool autoUpdate, Hooks hooks, QObject *parent)
    : QObject(parent), m_updater(updater), m_match(match), m_bridge(bridge), m_play(play),
      m_autoUpdate(autoUpdate), m_hooks(std::move(hooks))
{
    connect(m_updater, &Updater::progress, this, [this](const QString &text, int percent) {
        m_lastProgress = text;
        m_lastPercent = percent;
        if (m_dialog)
            m_dialog->showProgress(text, percent);
    });
    connect(m_updater, &Updater::failed, this, [this](const QString &text) {
        m_installPending = false;
        if (m_dialog)
            m_dialog->showFailure(text);
        else
            m_hooks.notice(text, true);
    });
    connect(m_updater, &Updater::readyToInstall, this, &UpdateFlow::tryInstall);
    connect(m_updater, &Updater::installed, this, [this](const QString &version, bool started) {
        if (!started)
            showMessageBox(m_hooks.window, QMessageBox::Information, tr("Orvex Rovivi %1").arg(version),
                           tr("Orvex Rovivi is now %1: start it again.").arg(version));
        // The new launcher runs (or the player starts it): this one ends without asking.
        m_hooks.closeLauncher();
    });
}

void UpdateFlow::onServerMessage(const QJsonObject &msg)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("welcome") && msg.value(QStringLiteral("update")).isObject())
        takeOffer(msg.value(QStringLiteral("update")).toObject(), false);
    else if (type == QLatin1String("update"))
        takeOffer(msg, false);
    else if (type == QLatin1String("error") &&
             msg.value(QStringLiteral("code")).toString() == QLatin1String("client_outdated"))
        takeOffer(msg.value(QStringLiteral("update")).toObject(), true);
}

void UpdateFlow::takeOffer(const QJsonObject &candidate, bool required)
{
    const QJsonObject accepted = Updater::acceptOffer(candidate);
    if (accepted.isEmpty())
        return;
    const QString version = accepted.value(QStringLiteral("version")).toString();
    const bool testBuild = Updater::isOtherBuild(accepted);
    const UpdateOfferTexts texts = WindowController::updateOfferTexts(
        version, required, testBuild, accepted.value(QStringLiteral("build")).toString(), cfg::buildLabel());
    appendLog(texts.logLine);
    m_offer = accepted;
    m_play->setUpdate(texts.buttonText, texts.cardText);
    m_bridge->setUpdateOffer(version, texts.bridgeText);

    const QString cannot = Updater::canUpdate();
    switch (WindowController::updateOfferAction(m_updater->isActive(), m_autoUpdate, cannot,
                                                !m_dialog.isNull(), version, m_dismissedVersion, required,
                                                waitReason())) {
    case WindowController::OfferAction::Start:
        m_updater->start(m_offer);
        break;
    case WindowController::OfferAction::OpenDialog:
        openDialog(required);
        break;
    case WindowController::OfferAction::Later:
        m_dialogPending = true;
        m_dialogRequired = m_dialogRequired || required;
        break;
    case WindowController::OfferAction::Nothing:
        break;
    }
}

QString UpdateFlow::waitReason() const
{
    UpdateWaitFacts facts;
    for (const GameProcess *game :
         {m_match->matchGame(), m_match->localTestInstance(1), m_match->localTestInstance(2)})
        facts.gameRunning = facts.gameRunning || (game && game->isRunning());
    facts.phaseIdle = m_match->phase() == MatchController::Idle;
    facts.phaseText = m_match->phaseText();
    facts.buildBusy = m_hooks.buildBusy && m_hooks.buildBusy();
    facts.preparing = !m_match->prepCheck(QStringLiteral("orx"));
    return WindowController::updateWaitReason(facts);
}

void UpdateFlow::openDialog(bool required)
{
    if (m_offer.isEmpty())
        return;
    if (m_dialog) {
        m_hooks.popUp(m_dialog);
        QApplication::alert(m_dialog);
        return;
    }
    auto *dialog = new UpdateDialog(m_offer, required, Updater::canUpdate(), m_hooks.window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog = dialog;
    connect(dialog, &UpdateDialog::updateNow, this, [this] {
        if (!m_updater->isActive() && !m_offer.isEmpty())
            m_updater->start(m_offer);
    });
    connect(dialog, &UpdateDialog::cancelRequested, this, [this] {
        m_installPending = false;
        m_updater->cancel();
    });
    connect(dialog, &QDialog::rejected, this, [this] {
        m_dismissedVersion = m_offer.value(QStringLiteral("version")).toString();
        m_installPending = false;
        m_updater->cancel();
    });
    // An update already under way (--auto-update, or one the player closed the dialog of) shows.
    if (m_updater->isActive()) {
        if (m_installPending)
            dialog->showWaiting(tr("Downloaded. It goes in once %1.").arg(waitReason()));
        else
            dialog->showProgress(m_lastProgress, m_lastPercent);
    }
    m_hooks.popUp(dialog);
    QApplication::alert(dialog);
}

void UpdateFlow::tryInstall()
{
    if (!m_updater->isReady()) {
        m_installPending = false;
        return;
    }
    const QString reason = waitReason();
    if (!reason.isEmpty()) {
        m_installPending = true;
        if (m_dialog)
            m_dialog->showWaiting(tr("Downloaded. It goes in once %1.").arg(reason));
        return;
    }
    m_installPending = false;
    m_match->shutdown();
    m_updater->install();
}

void UpdateFlow::retryPending()
{
    if (m_installPending) {
        tryInstall();
    } else if (m_dialogPending && waitReason().isEmpty() && !m_updater->isActive()) {
        m_dialogPending = false;
        openDialog(m_dialogRequired);
    }
}
