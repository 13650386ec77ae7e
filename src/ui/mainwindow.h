#pragma once
#include "app/launchoptions.h"
#include "windowcontroller.h"
#include "windowparts.h"

#include <QJsonObject>
#include <QList>
#include <QMainWindow>
#include <functional>
#include <memory>

class QButtonGroup;
class ElidedLabel;
class QLabel;
class QStackedWidget;
class QTimer;
class GamepadNav;
class MatchController;
class MenuBridge;
class ReportSender;
class Page;
class PlayPage;
class ServerClient;
class TestDriver;
class UpnpMapper;
class UpdateDialog;
class UpdateFlow;
class Updater;

// The launcher's only top-level window: header, navigation bar, notice banner, the four pages
// and the footer with the connection status. It owns every long-lived object.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const LaunchOptions &options, QWidget *parent = nullptr);

    void showPage(int index);
    int currentPage() const;
    void showNotice(const QString &text, bool isError);
    void refreshStatus();
    void refreshBuildNotice();
    void popUp(QWidget *widget);
    // Saves a picture of the whole window, or of one of its dialogs, as `name` + ".png" in the
    // --snap-dir folder.
    bool saveSnapshot(const QString &name, QWidget *dialog = nullptr);

    // The Build game page's work, once that page exists (PLAY waits while it is busy).
    void setBuildWork(BuildWork *work) { buildWork = work; }
    GamepadHooks gamepadHooks();
    ReportGames reportGames();
    // Closes as after Yes to the question: the system asked the launcher to end.
    void closeForTermination();

    void connectToServer();

    static const QStringList &pageNames();
    ServerClient *serverClient() const { return server; }
    MatchController *matchController() const { return match; }
    PlayPage *playPage() const { return play; }
    MenuBridge *menuBridge() const { return bridge; }
    ReportSender *reportSender() const { return reports; }
    QString playNotice() const { return controller.playNotice(); }
    UpnpMapper *portMapper() const { return upnp; }
    Updater *selfUpdater() const { return updater; }
    UpdateDialog *currentUpdateDialog() const;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *buildHeader();
    QWidget *buildNavBar();
    QWidget *buildFooter();
    void setStatus(const QString &colour, const QString &text);
    // The server link's wiring: status, notices, the trust question, remembering the account.
    void wireServer();
    void onServerMessage(const QJsonObject &msg);
    void askToTrust(const QString &fingerprint);
    void startPortMapper();
    // The flows of the Play page and the match controller (mainwindow_flows.cpp).
    void wirePlay();
    void playFlow();
    // `firstAccount`: asked by the launcher itself on a PC without an account (the welcome shows).
    void signInFlow(bool newAccount, bool firstAccount = false);
    void firstRunPrompt();
    void showGame();
    void matchFoundChime(const QJsonObject &found);
    void smartAppControlCheck();
    // A game built by another release, or a title update that is not this release's: built again.
    // `hashed`: the title update's files were just hashed (once is enough).
    void checkRelease(bool hashed = false);
    void refreshBuildNoticeAfterHashing(bool hashed);
    // Hashes the title update's files on a worker thread, then runs `next` on this one.
    void hashTitleUpdateThen(std::function<void()> next);
    bool gameRunning() const;
    // The match controller's wiring: preparation notices, the local test of --local-test, the
    // check for new executables after start.
    void wireMatch();
    // The pages after Play (mainwindow_parts.cpp), and the bridge, F3 reports and gamepad.
    void createPages();
    void wireParts();
    // Self-update (mainwindow_update.cpp): the update flow's wiring and the clean-up.
    void wireUpdate();

    LaunchOptions options;
    WindowController controller;
    ServerClient *server = nullptr;
    MatchController *match = nullptr;
    MenuBridge *bridge = nullptr;
    TestDriver *driver = nullptr;
    ReportSender *reports = nullptr;
    GamepadNav *gamepad = nullptr;
    PlayPage *play = nullptr;
    BuildWork *buildWork = nullptr;
    std::unique_ptr<BuildWork> buildWorkOwned;
    bool terminating = false;
    bool closing = false;
    UpnpMapper *upnp = nullptr;
    QString lastError;
    QStackedWidget *stack = nullptr;
    QList<Page *> pages;
    QButtonGroup *navGroup = nullptr;
    QLabel *banner = nullptr;
    QTimer *bannerTimer = nullptr;
    QLabel *statusDot = nullptr;
    ElidedLabel *statusText = nullptr;
    bool shownOnce = false;
    bool titleUpdateHashing = false;
    QList<std::function<void()>> afterTitleUpdateHashing;
    Updater *updater = nullptr;
    UpdateFlow *updates = nullptr;
};
