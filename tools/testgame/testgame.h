#pragma once
// The stand-in game's life: boot, wait at the hold point ("ready"), take commands, play matches,
// stay at the result screen (where the loser may choose) until a rematch line, "park" or the menu,
// run the script's steps, and end on "quit", a close request, or when the script says so.

#include "capture.h"
#include "channels.h"
#include "feed.h"
#include "gamelog.h"
#include "matchlog.h"
#include "matchplay.h"
#include "menu.h"
#include "netmatch.h"
#include "options.h"
#include "record.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class TestGame : public QObject {
    Q_OBJECT
public:
    TestGame(const Options &options, const QStringList &arguments, QObject *parent = nullptr);
    void start();

private:
    void tick();
    void runDueSteps();
    void runStep(const ScriptStep &step);
    bool waitStep(const ScriptStep &step);
    void handleCommand(const QString &line);
    void beginMatch(const CommandLine &command);
    void beginWatch(const CommandLine &command);
    void stopWatching();
    void feedEnd(const QString &line);
    void parked();
    void park();
    void matchEnded(const QString &line);
    void chooseNow();
    void reportChoice(const QString &choice, int chooser);
    void leaveResultScreen();
    void clearResultScreen();
    void scheduleMenu(int ms);
    int resultShownFor(int ms) const;
    void setStatus(const QString &line);
    void print(const QString &text, bool lineFeed = true);
    void finish(int code, const QString &why);
    void closeRequested();

    Options m_options;
    QStringList m_arguments;
    QString m_gameId;
    int m_instance = 0;
    Record m_record;
    GameLog m_log;
    StatusFile m_status;
    CommandInbox m_inbox;
    AskOutbox m_asks;
    MatchSetup m_match;
    NetMatch m_net;
    FeedOut m_feed;          // this player's spectator feed, kept across rematch lines
    bool m_feedLive = false; // a header went out for the match in hand, its end not yet
    quint32 m_feedFrames = 0;
    quint32 m_feedState = 0;
    FeedTrace m_feedTrace;
    FeedWatch m_watch; // a watch line's match, replayed from its feed
    CaptureWriter m_captures;
    bool m_watching = false;
    QElapsedTimer m_clock;
    QTimer m_tick;
    QTimer m_bootTimer;
    QTimer m_matchTimer;
    QTimer m_parkTimer;
    QTimer m_prepareTimer;
    QTimer m_choiceTimer; // the player takes a moment to choose
    QTimer m_choseTimer;  // a "chose" line waits until the result was shown long enough
    QTimer m_menuTimer;
    QElapsedTimer m_resultShown;
    QString m_choice;           // what this player chooses when it lost (empty: nothing)
    QStringList m_laterChoices; // the choices of the result screens after the next one
    QString m_heldLine;         // the "chose" line m_choseTimer will show
    bool m_atResult = false;
    bool m_chosen = false; // a choice was made at this result screen
    int m_chooser = 0;     // who chooses at this result screen (0: nobody)
    bool m_menuPending = false;
    int m_menuMs = 0;
    bool m_ignorePark = false;
    qsizetype m_nextStep = 0;
    qint64 m_stepBase = 0;   // the script's clock starts again when a wait holds
    QElapsedTimer m_waiting; // since the wait step in hand began
    bool m_ignoreQuit = false;
    bool m_ending = false;
    MenuView m_menu;
};

// Set by the SIGTERM handler (a close request); read by the game's tick.
void installCloseRequestHandler();
bool closeRequestPending();
