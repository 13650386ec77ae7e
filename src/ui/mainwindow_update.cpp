// The main window's side of self-update: offers from the server, the Play page's card and the
// game menu's line, the update dialog, installing once nothing is in the way, and the clean-up of
// what an earlier update set aside.
#include "bridge/menubridge.h"
#include "buildpage.h"
#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "core/version.h"
#include "game/gameprocess.h"
#include "mainwindow.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "playpage.h"
#include "update/updater.h"
#include "updatedialog.h"

#include <QApplication>
#include <QJsonObject>
#include <QTimer>

void MainWindow::wireUpdate()
{
    updater = new Updater(nullptr, this);
    connect(updater, &Updater::progress, this, [this](const QString &text, int percent) {
        lastUpdateProgress = text;
        lastUpdatePercent = percent;
        if (updateDialog)
            updateDialog->showProgress(text, percent);
    });
    connect(updater, &Updater::failed, this, [this](const QString &text) {
        installPending = false;
        if (updateDialog)
            updateDialog->showFailure(text);
        else
            showNotice(text, true);
    });
    connect(updater, &Updater::readyToInstall, this, &MainWindow::tryInstallUpdate);
    connect(updater, &Updater::installed, this, [this](const QString &version, bool started) {
        if (!started)
            showMessageBox(this, QMessageBox::Information, tr("Orvex Rovivi %1").arg(version),
                           tr("Orvex Rovivi is now %1: start it again.").arg(version));
        // The new launcher runs (or the player starts it): this one ends without asking.
        closeForTermination();
    });
    connect(play, &PlayPage::updateClicked, this, [this] { openUpdateDialog(false); });
    connect(server, &ServerClient::message, this, &MainWindow::onUpdateMessage);

    // Whatever held the update back may have ended: look once the sender is done with its change.
    const auto retrySoon = [this] { QTimer::singleShot(0, this, &MainWindow::retryPendingUpdate); };
    connect(match, &MatchController::phaseChanged, this, retrySoon);
    connect(match, &MatchController::gameStatusChanged, this, retrySoon);
    connect(match, &MatchController::playerGameChanged, this, retrySoon);
    if (auto *buildPage = qobject_cast<BuildPage *>(pages.value(1)))
        connect(buildPage, &BuildPage::busyChanged, this, retrySoon);

    updater->cleanUpOldFiles();
    if (!options.updatedFrom.isEmpty()) {
        // The old launcher may hold its files a moment longer after starting this one.
        updater->scheduleCleanUpsAfterRestart();
        const QString now = QString::fromLatin1(kLauncherVersion);
        appendLog(QStringLiteral("update: now %1, from %2").arg(now, options.updatedFrom));
        showNotice(tr("Orvex Rovivi is now %1 (it was %2). The game prepares its code for it next: a minute "
                      "or two.")
                       .arg(now, options.updatedFrom),
                   false);
    }
}

void MainWindow::onUpdateMessage(const QJsonObject &msg)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("welcome") && msg.value(QStringLiteral("update")).isObject())
        takeUpdateOffer(msg.value(QStringLiteral("update")).toObject(), false);
    else if (type == QLatin1String("update"))
        takeUpdateOffer(msg, false);
    else if (type == QLatin1String("error") &&
             msg.value(QStringLiteral("code")).toString() == QLatin1String("client_outdated"))
        takeUpdateOffer(msg.value(QStringLiteral("update")).toObject(), true);
}

void MainWindow::takeUpdateOffer(const QJsonObject &candidate, bool required)
{
    const QJsonObject accepted = Updater::acceptOffer(candidate);
    if (accepted.isEmpty())
        return;
    const QString version = accepted.value(QStringLiteral("version")).toString();
    const bool testBuild = Updater::isOtherBuild(accepted);
    const UpdateOfferTexts texts = WindowController::updateOfferTexts(
        version, required, testBuild, accepted.value(QStringLiteral("build")).toString(), cfg::buildLabel());
    appendLog(texts.logLine);
    offer = accepted;
    play->setUpdate(texts.buttonText, texts.cardText);
    bridge->setUpdateOffer(version, texts.bridgeText);

    const QString cannot = Updater::canUpdate();
    switch (WindowController::updateOfferAction(updater->isActive(), options.autoUpdate, cannot,
                                                !updateDialog.isNull(), version, dismissedVersion, required,
                                                updateWaitReason())) {
    case WindowController::OfferAction::Start:
        updater->start(offer);
        break;
    case WindowController::OfferAction::OpenDialog:
        openUpdateDialog(required);
        break;
    case WindowController::OfferAction::Later:
        dialogPending = true;
        dialogRequired = dialogRequired || required;
        break;
    case WindowController::OfferAction::Nothing:
        break;
    }
}

QString MainWindow::updateWaitReason() const
{
    UpdateWaitFacts facts;
    for (const GameProcess *game :
         {match->matchGame(), match->localTestInstance(1), match->localTestInstance(2)})
        facts.gameRunning = facts.gameRunning || (game && game->isRunning());
    facts.phaseIdle = match->phase() == MatchController::Idle;
    facts.phaseText = match->phaseText();
    facts.buildBusy = buildWork && buildWork->isBusy();
    facts.preparing = !match->prepCheck(QStringLiteral("orx"));
    return WindowController::updateWaitReason(facts);
}

void MainWindow::openUpdateDialog(bool required)
{
    if (offer.isEmpty())
        return;
    if (updateDialog) {
        popUp(updateDialog);
        QApplication::alert(updateDialog);
        return;
    }
    auto *dialog = new UpdateDialog(offer, required, Updater::canUpdate(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    updateDialog = dialog;
    connect(dialog, &UpdateDialog::updateNow, this, [this] {
        if (!updater->isActive() && !offer.isEmpty())
            updater->start(offer);
    });
    connect(dialog, &UpdateDialog::cancelRequested, this, [this] {
        installPending = false;
        updater->cancel();
    });
    connect(dialog, &QDialog::rejected, this, [this] {
        dismissedVersion = offer.value(QStringLiteral("version")).toString();
        installPending = false;
        updater->cancel();
    });
    // An update already under way (--auto-update, or one the player closed the dialog of) shows.
    if (updater->isActive()) {
        if (installPending)
            dialog->showWaiting(tr("Downloaded. It goes in once %1.").arg(updateWaitReason()));
        else
            dialog->showProgress(lastUpdateProgress, lastUpdatePercent);
    }
    popUp(dialog);
    QApplication::alert(dialog);
}

void MainWindow::tryInstallUpdate()
{
    if (!updater->isReady()) {
        installPending = false;
        return;
    }
    const QString reason = updateWaitReason();
    if (!reason.isEmpty()) {
        installPending = true;
        if (updateDialog)
            updateDialog->showWaiting(tr("Downloaded. It goes in once %1.").arg(reason));
        return;
    }
    installPending = false;
    match->shutdown();
    updater->install();
}

void MainWindow::retryPendingUpdate()
{
    if (installPending) {
        tryInstallUpdate();
    } else if (dialogPending && updateWaitReason().isEmpty() && !updater->isActive()) {
        dialogPending = false;
        openUpdateDialog(dialogRequired);
    }
}
