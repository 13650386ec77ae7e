// The main window's flows around the Play page and the match controller: PLAY, signing in, the
// first-run account prompt, bringing the game forward, the chime, Smart App Control and closing.
#include "build/workerthread.h"
#include "core/cfg.h"
#include "core/dialogs.h"
#include "core/log.h"
#include "game/gamechecks.h"
#include "game/gameprocess.h"
#include "logindialog.h"
#include "mainwindow.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "platform/platform.h"
#include "playpage.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

void MainWindow::wirePlay()
{
    connect(play, &PlayPage::playClicked, this, &MainWindow::playFlow);
    connect(play, &PlayPage::signInClicked, this, [this](bool newAccount) { signInFlow(newAccount); });
    connect(play, &PlayPage::signOutClicked, this, [this] {
        server->logout();
        cfg::set(QString::fromLatin1(cfg::keys::accountToken.name), QString());
    });
    connect(play, &PlayPage::connectClicked, this, &MainWindow::connectToServer);
    connect(play, &PlayPage::buildClicked, this, [this] { showPage(1); });
    connect(match, &MatchController::gameShown, this, &MainWindow::showGame);
    connect(match, &MatchController::notice, this, [this](const QString &text) {
        appendLog(QStringLiteral("notice: ") + text);
        showNotice(text, true);
    });
    connect(match, &MatchController::playerGameChanged, this, [this](bool running) {
        if (running)
            controller.clearPlayNotice();
        refreshBuildNotice();
    });
    connect(match, &MatchController::matchFound, this, &MainWindow::matchFoundChime);
    connect(match, &MatchController::codePrepChanged, this,
            [this](const QString &text, bool) { showNotice(text, false); });
}

bool MainWindow::gameRunning() const
{
    const GameProcess *game = match->matchGame();
    return game && game->isRunning();
}

void MainWindow::refreshBuildNotice()
{
    refreshBuildNoticeAfterHashing(false);
}

void MainWindow::refreshBuildNoticeAfterHashing(bool hashed)
{
    const BuildFacts facts = gatherBuildFacts(QStringLiteral("orx"), hashed);
    if (facts.titleUpdateUnknown)
        hashTitleUpdateThen([this] { refreshBuildNoticeAfterHashing(true); });
    const QString notice = controller.buildNotice(facts);
    play->setBuildNotice(notice, WindowController::showBuildButton(notice, gameRunning()));
}

void MainWindow::hashTitleUpdateThen(std::function<void()> next)
{
    afterTitleUpdateHashing << std::move(next);
    if (titleUpdateHashing)
        return;
    titleUpdateHashing = true;
    // Tens of megabytes: never on the thread that draws the window.
    runOnWorkerThread(
        this, [paths = titleUpdateFiles(QStringLiteral("orx"))] { hashAhead(paths); },
        [this] {
            titleUpdateHashing = false;
            const QList<std::function<void()>> waiting = std::exchange(afterTitleUpdateHashing, {});
            for (const auto &run : waiting)
                run();
        });
}

void MainWindow::showGame()
{
    const GameProcess *game = match->matchGame();
    const bool front = game && platform::bringGameToFront(game->processId());
    appendLog(QStringLiteral("popup: the game %1")
                  .arg(front ? QStringLiteral("in front") : QStringLiteral("not brought to the front")));
}

void MainWindow::playFlow()
{
    switch (controller.play(gameRunning(), buildWork && buildWork->isBusy())) {
    case WindowController::PlayAction::BringForward:
        showGame();
        break;
    case WindowController::PlayAction::Wait:
        break;
    case WindowController::PlayAction::Start: {
        QString reason;
        const bool ok = match->startPlayerGame(&reason);
        const QString line = controller.playStarted(ok, reason);
        if (!line.isEmpty())
            appendLog(line);
        break;
    }
    }
    refreshBuildNotice();
}

void MainWindow::signInFlow(bool newAccount, bool firstAccount)
{
    const auto state = server->state();
    if (state != ServerClient::Rovivi && state != ServerClient::LoggedIn) {
        showNotice(
            tr("Not connected to the server yet: connecting again. Check the address in Settings if it "
               "does not connect."),
            true);
        connectToServer();
        return;
    }
    LoginDialog dialog(server, cfg::accountName(), this);
    if (newAccount)
        dialog.setCreateMode(true);
    if (firstAccount)
        dialog.showWelcome();
    QTimer::singleShot(0, &dialog, [this, &dialog] { popUp(&dialog); });
    if (dialog.execArmed() != QDialog::Accepted)
        return;
    cfg::set(QString::fromLatin1(cfg::keys::accountRemember.name), dialog.remember());
    cfg::set(QString::fromLatin1(cfg::keys::accountName.name), dialog.name());
    cfg::set(QString::fromLatin1(cfg::keys::accountToken.name),
             dialog.remember() ? server->account().value(QStringLiteral("token")).toString() : QString());
}

void MainWindow::checkRelease(bool hashed)
{
    const QString gameId = QStringLiteral("orx");
    if (!hashed && !titleUpdateHashesKept(gameId)) {
        hashTitleUpdateThen([this] { checkRelease(true); });
        return;
    }
    const ReleaseAction action = WindowController::releaseCheck(gatherReleaseFacts(gameId), gameId);
    if (!action.rebuild)
        return;
    showPage(1);
    appendLog(action.logLine);
    showNotice(action.notice, action.noticeIsError);
    if (buildWork)
        buildWork->compileAgain();
}

void MainWindow::firstRunPrompt()
{
    if (!controller.takeFirstRunPrompt(server->state(), cfg::accountToken(), cfg::accountName()))
        return;
    appendLog(QStringLiteral("account: none on this PC yet, asking for one"));
    signInFlow(true, true);
}

void MainWindow::matchFoundChime(const QJsonObject &found)
{
    if (!found.value(QStringLiteral("accept_required")).toBool())
        return;
    if (cfg::matchSound()) {
        const bool ok = platform::playSound(QStringLiteral(":/sounds/match-found.wav"));
        appendLog(ok ? QStringLiteral("sound: match found chime")
                     : QStringLiteral("sound: the match found chime could not play"));
    }
    showGame();
}

void MainWindow::smartAppControlCheck()
{
    const int state = smartAppControlState();
    appendLog(QStringLiteral("Smart App Control: %1").arg(state));
    if (state != 1)
        return;
    QTimer::singleShot(400, this, [this] {
        const QString title = tr("Smart App Control is on");
        const QString text = smartAppControlText(false);
        QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
        QPushButton *security = box.addButton(tr("Open Windows Security"), QMessageBox::ActionRole);
        armScriptedDialog(&box, title, text);
        box.exec();
        if (box.clickedButton() == security)
            QDesktopServices::openUrl(QUrl(QStringLiteral("ms-settings:windowsdefender")));
    });
}

void MainWindow::closeForTermination()
{
    terminating = true;
    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!closing && controller.close(gameRunning(), terminating) == WindowController::CloseAction::Ask) {
        const auto answer =
            showMessageBox(this, QMessageBox::Question, tr("Close Orvex Rovivi?"),
                           tr("Your game is running. Closing Orvex Rovivi closes the game too. Close both?"),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    closing = true;
    // Games and hashing threads end before the window goes.
    match->shutdown();
    server->disconnectFromServer();
    QMainWindow::closeEvent(event);
}

GamepadHooks MainWindow::gamepadHooks()
{
    GamepadHooks hooks;
    hooks.stepPage = [this](int delta) {
        const int count = int(pages.size());
        showPage(((count + currentPage() + delta) % count + count) % count);
    };
    hooks.activate = [this] {
        if (currentPage() == 0)
            play->clickPlay();
    };
    hooks.busy = [this] {
        const auto p = match->phase();
        return p == MatchController::Connecting || p == MatchController::Starting ||
               p == MatchController::Playing || p == MatchController::Reporting ||
               p == MatchController::Finishing || p == MatchController::Watching;
    };
    return hooks;
}

ReportGames MainWindow::reportGames()
{
    return [this] {
        return QList<GameProcess *>{match->matchGame(), match->localTestInstance(1),
                                    match->localTestInstance(2)};
    };
}
