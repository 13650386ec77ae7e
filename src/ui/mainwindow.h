#pragma once
#include "app/launchoptions.h"

#include <QList>
#include <QMainWindow>

class QButtonGroup;
class QLabel;
class QStackedWidget;
class QTimer;
class MatchController;
class Page;
class ServerClient;
class UpnpMapper;

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
    void popUp(QWidget *widget);
    // Saves a picture of the whole window as `name` + ".png" in the --snap-dir folder.
    bool saveSnapshot(const QString &name);

    void connectToServer();

    static const QStringList &pageNames();
    ServerClient *serverClient() const { return server; }
    MatchController *matchController() const { return match; }
    UpnpMapper *portMapper() const { return upnp; }

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
    // The match controller's wiring: preparation notices, the local test of --local-test, the
    // check for new executables after start.
    void wireMatch();

    LaunchOptions options;
    ServerClient *server = nullptr;
    MatchController *match = nullptr;
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
};
