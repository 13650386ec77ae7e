#pragma once
#include <QObject>

class TestBridgeRules : public QObject {
    Q_OBJECT
private slots:
    void grammar_data();
    void grammar();
    void requestLines_data();
    void requestLines();
    void unknownVerb();
    void versions_data();
    void versions();
    void versionCheck_data();
    void versionCheck();
    void finishedTexts_data();
    void finishedTexts();
    void cancelTexts_data();
    void cancelTexts();
    void seriesTexts_data();
    void seriesTexts();
    void lobbyTexts_data();
    void lobbyTexts();
    void queueTexts();
    void rows();
};

class TestBridgeFiles : public QObject {
    Q_OBJECT
private slots:
    void noGame();
    void gameWithoutMenu();
    void requestFromTheGame();
    void firstLineOnly();
    void emptyVerbs();
    void hugeRequest();
    void pipeNamedAsk();
    void oldTakenReplaced();
    void sameTextTwice();
    void failedWrite();
    void servedAfterLeavingALobby();
    void spectatorGrace_data();
    void spectatorGrace();
    void reactions();
};

class TestBridgeRequests : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void requests();
    void privateLobby();
    void lobbyListRefresh();
    void errors();
    void busyRetriedOnce();
    void awayFromTheMenu();
    void gameClosed();
    void cancelWhileConnecting();
};

class TestBridgeGolden : public QObject {
    Q_OBJECT
private slots:
    void documents();
    void acceptLeftNeverNegative();
};
