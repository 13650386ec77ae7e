// The parts that hang off the main window: the in-game menu bridge, the Build game and Settings
// pages, the gamepad navigation and the F3 report sender.

#include "bridge/menubridge.h"
#include "buildpage.h"
#include "controls/gamepadnav.h"
#include "core/log.h"
#include "mainwindow.h"
#include "match/matchcontroller.h"
#include "playpage.h"
#include "report/reportsender.h"
#include "settingspage.h"
#include "supportpage.h"

#include <QStackedWidget>
#include <QTimer>

namespace {

// The Build game page as the PLAY flow and the release check see it.
class BuildPageWork : public BuildWork {
public:
    explicit BuildPageWork(BuildPage *page) : m_page(page) {}
    bool isBusy() const override { return m_page->isBusy(); }
    void compileAgain() override { m_page->compileGame(); }

private:
    BuildPage *m_page;
};

} // namespace

void MainWindow::createPages()
{
    auto *buildPage = new BuildPage(stack);
    auto *settingsPage = new SettingsPage(server, stack);
    settingsPage->setUpnpMapper(upnp);
    buildWorkOwned = std::make_unique<BuildPageWork>(buildPage);
    setBuildWork(buildWorkOwned.get());
    connect(settingsPage, &SettingsPage::reconnectRequested, this, &MainWindow::connectToServer);
    connect(buildPage, &BuildPage::busyChanged, this, [this](bool busy) {
        if (!busy)
            refreshBuildNotice();
    });
    const QList<Page *> all{play, buildPage, settingsPage, new SupportPage(stack)};
    for (int i = 0; i < all.size(); ++i) {
        Page *page = all.at(i);
        page->setObjectName(pageNames().at(i));
        page->setGame(QStringLiteral("orx"));
        pages << page;
        stack->addWidget(page);
    }
    if (!options.extractImage.isEmpty())
        QTimer::singleShot(500, this, [this, buildPage] { buildPage->extractImage(options.extractImage); });
}

void MainWindow::wireParts()
{
    // The game's online menu and the Play page read the same document.
    bridge = new MenuBridge(server, match, this);
    play->setStateSource([this] { return bridge->composeState(); }, [this] { return bridge->ownStats(); });
    connect(bridge, &MenuBridge::changed, play, &PlayPage::refresh);

    reports = new ReportSender(server, reportGames(), this);
    connect(reports, &ReportSender::logLine, this, [](const QString &text) { appendLog(text); });

    gamepad = new GamepadNav(this);
    const GamepadHooks hooks = gamepadHooks();
    gamepad->onPageStep = hooks.stepPage;
    gamepad->onStart = hooks.activate;
    gamepad->isPaused = hooks.busy;
}
