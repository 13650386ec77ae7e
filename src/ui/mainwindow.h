#pragma once
#include "app/launchoptions.h"
#include "updatedialog.h"
#include "windowcontroller.h"
#include "windowparts.h"

#include <QJsonObject>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <memory>

class QButtonGroup;
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
    UpdateDialog *currentUpdateDialog() const { return updateDialog; }

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
    bool gameRunning() const;
    // The match controller's wiring: preparation notices, the local test of --local-test, the
    // check for new executables after start.
    void wireMatch();
    // The pages after Play (mainwindow_parts.cpp), and the bridge, F3 reports and gamepad.
    void createPages();
    void wireParts();
    // Self-update (mainwindow_update.cpp): offers, the dialog, installing, the clean-up.
    void wireUpdate();
    void onUpdateMessage(const QJsonObject &msg);
    void takeUpdateOffer(const QJsonObject &candidate, bool required);
    QString updateWaitReason() const;
    void openUpdateDialog(bool required);
    void tryInstallUpdate();
    void retryPendingUpdate();

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
    QLabel *statusText = nullptr;
    bool shownOnce = false;
    Updater *updater = nullptr;
    QPointer<UpdateDialog> updateDialog;
    QJsonObject offer;
    QString dismissedVersion;
    bool installPending = false;
    bool dialogPending = false;
    bool dialogRequired = false;
    QString lastUpdateProgress;
    int lastUpdatePercent = -1;
};
