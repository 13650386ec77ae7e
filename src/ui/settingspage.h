#pragma once
// The Settings page: server, online, display, keyboard, game folder and development tools. Every
// control writes its setting the moment it changes; there is no OK or Apply.

#include "ui/page.h"

#include <QPointer>

class KeyboardBox;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QScrollArea;
class QSpinBox;
class QTimer;
class ServerClient;
class SettingsBinder;
class UpnpMapper;

// Combo boxes and spin boxes take the focus only by click or tab, and a wheel turned over one that
// has no focus scrolls the page instead of changing the value.
class WheelGuard : public QObject {
    Q_OBJECT
public:
    WheelGuard(QScrollArea *area, QObject *parent);
    void guard(QWidget *control);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QScrollArea *m_area;
};

class SettingsPage : public Page {
    Q_OBJECT
public:
    explicit SettingsPage(ServerClient *server, QWidget *parent = nullptr);

    void setGame(const QString &gameId) override;
    // The mapper asked to map the game port; created after the page by the main window.
    void setUpnpMapper(UpnpMapper *mapper);

    // The controls by their setting, for the main window's snapshots and the tests.
    QScrollArea *scrollArea() const { return m_area; }
    KeyboardBox *keyboardBox() const { return m_keyboard; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

signals:
    // The player applied a new server address or fingerprint.
    void reconnectRequested();

private:
    QGroupBox *buildServer();
    QGroupBox *buildOnline();
    QGroupBox *buildDisplay();
    QGroupBox *buildTools();
    void connectToServer();
    void refreshServer();
    void refreshServerLabels();
    void refreshHideIpText();
    void refreshDelayNote();
    void mapGamePort();
    void showSaved(const QString &error);

    ServerClient *m_server;
    QPointer<UpnpMapper> m_upnp;
    SettingsBinder *m_binder;
    WheelGuard *m_wheelGuard;
    QScrollArea *m_area;
    QGridLayout *m_grid;
    QLabel *m_savedLine;
    QLineEdit *m_address;
    QLineEdit *m_fingerprint;
    QLabel *m_serverLine;
    QLabel *m_state;
    QLabel *m_presented;
    QComboBox *m_delay;
    QLabel *m_delayNote;
    QSpinBox *m_port;
    QCheckBox *m_upnpCheck;
    QCheckBox *m_hideIp;
    QCheckBox *m_hideIpAlways;
    QLabel *m_hideIpText;
    QLabel *m_router;
    KeyboardBox *m_keyboard;
    QGroupBox *m_gameFolder = nullptr;
    QGroupBox *m_tools;
    QTimer *m_pingRefresh;
};
