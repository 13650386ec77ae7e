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

#include <QScrollArea>
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

// A page taller than the window scrolls rather than squeezes its labels and buttons. (The Settings
// page has a scroll area of its own.)
QWidget *scrolling(QWidget *page)
{
    auto *area = new QScrollArea;
    area->setObjectName(page->objectName() + QStringLiteral("Scroll"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setWidget(page);
    return area;
}

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
        if (busy)
            return;
        // "Still working" and a start that failed before this build are both out of date now.
        controller.clearPlayNotice();
        refreshBuildNotice();
    });
    const QList<Page *> all{play, buildPage, settingsPage, new SupportPage(stack)};
    for (int i = 0; i < all.size(); ++i) {
        Page *page = all.at(i);
        page->setObjectName(pageNames().at(i));
        page->setGame(QStringLiteral("orx"));
        pages << page;
        stack->addWidget(page == settingsPage ? static_cast<QWidget *>(page) : scrolling(page));
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
    // The player learns what became of an F3 report here and, in the game, from its menu.
    connect(reports, &ReportSender::logLine, this, [this](const QString &text) {
        appendLog(QStringLiteral("report: ") + text);
        showNotice(text, false);
        bridge->setMessage(text, false);
    });

    gamepad = new GamepadNav(this);
    const GamepadHooks hooks = gamepadHooks();
    gamepad->onPageStep = hooks.stepPage;
    gamepad->onStart = hooks.activate;
    gamepad->isPaused = hooks.busy;
}
