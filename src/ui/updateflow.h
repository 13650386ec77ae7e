#pragma once
// The main window's side of self-update: offers from the server, the Play page's card and the game
// menu's line, the update dialog, installing once nothing is in the way. The window gives it the
// few things it acts through.

#include "updatedialog.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <functional>

class MatchController;
class MenuBridge;
class PlayPage;
class Updater;

class UpdateFlow : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        QWidget *window = nullptr;            // the dialog's parent
        std::function<bool()> buildBusy;      // the Build game page is working
        std::function<void(QWidget *)> popUp; // brings a window forward
        std::function<void(const QString &text, bool isError)> notice;
        std::function<void()> closeLauncher; // the new launcher runs: this one ends
    };

    UpdateFlow(Updater *updater, MatchController *match, MenuBridge *bridge, PlayPage *play, bool autoUpdate,
               Hooks hooks, QObject *parent = nullptr);

    void onServerMessage(const QJsonObject &msg);
    // The update dialog for the offer in hand (`required`: the server needs it to play online).
    void openDialog(bool required);
    // Whatever held the update back may have ended.
    void retryPending();
    UpdateDialog *dialog() const { return m_dialog; }

private:
    void takeOffer(const QJsonObject &candidate, bool required);
    QString waitReason() const;
    void tryInstall();

    Updater *m_updater;
    MatchController *m_match;
    MenuBridge *m_bridge;
    PlayPage *m_play;
    bool m_autoUpdate;
    Hooks m_hooks;
    QPointer<UpdateDialog> m_dialog;
    QJsonObject m_offer;
    QString m_dismissedVersion;
    bool m_installPending = false;
    bool m_dialogPending = false;
    bool m_dialogRequired = false;
    QString m_lastProgress;
    int m_lastPercent = -1;
};
