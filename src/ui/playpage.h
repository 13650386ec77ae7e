#pragma once
// The Play page: the account with its rank, the sign-in buttons, PLAY, one line each about the
// game, the server and the current search or match, the build notice and the update offer. It
// shows a PlayView computed from the state document and acts only through its signals.

#include "page.h"
#include "playview.h"

#include <QJsonObject>
#include <functional>

class MatchController;
class QLabel;
class QPushButton;
class QTimer;
class QWidget;
class ServerClient;

class PlayPage : public Page {
    Q_OBJECT
public:
    PlayPage(ServerClient *server, MatchController *match, QWidget *parent = nullptr);

    // Where the page reads the state document and the player's own statistics ("orx", "versus").
    // The in-game menu bridge is the source in the launcher; until one is given the page reads
    // nothing but the server link's state.
    void setStateSource(std::function<QJsonObject()> state, std::function<QJsonObject()> ownStats);

    void setBuildNotice(const QString &text, bool showBuildButton);
    void setUpdate(const QString &buttonText, const QString &text);
    void focusPlay();
    void clickPlay();

    const PlayView &view() const { return m_view; }
    QPushButton *playButton() const { return m_play; }

public slots:
    void refresh();

signals:
    void playClicked();
    void signInClicked(bool newAccount);
    void signOutClicked();
    void connectClicked();
    void updateClicked();
    void buildClicked();

private:
    void apply(const PlayView &view);
    QJsonObject linkOnlyState() const;

    ServerClient *m_server = nullptr;
    MatchController *m_match = nullptr;
    std::function<QJsonObject()> m_state;
    std::function<QJsonObject()> m_stats;
    QTimer *m_timer = nullptr;
    PlayView m_view;
    QString m_avatarShown = QStringLiteral("-");

    QLabel *m_notice = nullptr;
    QPushButton *m_openBuild = nullptr;
    QLabel *m_avatar = nullptr;
    QLabel *m_name = nullptr;
    QLabel *m_rank = nullptr;
    QLabel *m_status = nullptr;
    QPushButton *m_signIn = nullptr;
    QPushButton *m_create = nullptr;
    QPushButton *m_signOut = nullptr;
    QPushButton *m_connect = nullptr;
    QPushButton *m_play = nullptr;
    QLabel *m_gameLine = nullptr;
    QLabel *m_serverLine = nullptr;
    QLabel *m_matchLine = nullptr;
    QWidget *m_updateCard = nullptr;
    QLabel *m_updateText = nullptr;
    QPushButton *m_updateButton = nullptr;
};
