// The main window's side of self-update: the update flow, the Play page's button, the retries
// once something that held an update back has ended, and the clean-up of what an earlier update
// set aside.
#include "buildpage.h"
#include "core/log.h"
#include "core/version.h"
#include "mainwindow.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "playpage.h"
#include "update/updater.h"
#include "updateflow.h"

#include <QTimer>

void MainWindow::wireUpdate()
{
    updater = new Updater(nullptr, this);
    UpdateFlow::Hooks hooks;
    hooks.window = this;
    hooks.buildBusy = [this] { return buildWork && buildWork->isBusy(); };
    hooks.popUp = [this](QWidget *w) { popUp(w); };
    hooks.notice = [this](const QString &text, bool isError) { showNotice(text, isError); };
    hooks.closeLauncher = [this] { closeForTermination(); };
    updates = new UpdateFlow(updater, match, bridge, play, options.autoUpdate, std::move(hooks), this);
    connect(play, &PlayPage::updateClicked, this, [this] { updates->openDialog(false); });
    connect(server, &ServerClient::message, updates, &UpdateFlow::onServerMessage);

    // Whatever held the update back may have ended: look once the sender is done with its change.
    const auto retrySoon = [this] { QTimer::singleShot(0, updates, &UpdateFlow::retryPending); };
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

UpdateDialog *MainWindow::currentUpdateDialog() const
{
    return updates ? updates->dialog() : nullptr;
}
