#pragma once
#include <QObject>

class TestMatchRules : public QObject {
    Q_OBJECT
private slots:
    void rankKey_data();
    void rankKey();
    void startLine_data();
    void startLine();
    void rematchLine_data();
    void rematchLine();
    void autoDelay_data();
    void autoDelay();
    void delayAndReason_data();
    void delayAndReason();
    void endpointRewrite_data();
    void endpointRewrite();
    void connectionText_data();
    void connectionText();
    void pingWidening_data();
    void pingWidening();
    void cancelReasons();
    void statusLines();
    void resultSummary_data();
    void resultSummary();
    void resultPayload_data();
    void resultPayload();
};

class TestSeriesRules : public QObject {
    Q_OBJECT
private slots:
    void seriesKeys_data();
    void seriesKeys();
    void chooser_data();
    void chooser();
    void pathChoice_data();
    void pathChoice();
    void resultScreen_data();
    void resultScreen();
    void lobbyLeft_data();
    void lobbyLeft();
    void restore_data();
    void restore();
};

class TestFeedLink : public QObject {
    Q_OBJECT
private slots:
    void chunking_data();
    void chunking();
    void relayedTwice_data();
    void relayedTwice();
    void outgoingFromTheGame();
    void outgoingMends();
    void incomingToTheWatcher();
};

class TestGameLogReading : public QObject {
    Q_OBJECT
private slots:
    void anonymise_data();
    void anonymise();
    void exitClassification_data();
    void exitClassification();
    void tail();
};

class TestMatchScenarios : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void casualMatch_data();
    void casualMatch();
    void declinedMatchRequeues();
    void acceptTimeout();
    void gameAwayWhenAMatchComes();
    void connectionDroppedMidMatch();
    void startTimeouts_data();
    void startTimeouts();
    void startLineFromMatchGo();
    void matchEndsInStarting_data();
    void matchEndsInStarting();
    void gameClosesBeforeTheStart();
    void crashDuringTheMatch();
    void refusals();
    void statusWordsDuringAMatch();
    void gameLeavesItsOnlineMenu_data();
    void gameLeavesItsOnlineMenu();
    void portWaitGivesUp();
    void oneTunnelRequestPerMatch();
    void searchEndsWithTheConnection();
    void keepAliveWhileSearching();
    void peerPathSentences_data();
    void gameOutcomes_data();
    void gameOutcomes();
    void peerPathSentences();
};

class TestSeriesScenarios : public QObject {
    Q_OBJECT
private slots:
    void seriesRematchInPlace();
    void rankedSetInPlace();
    void readyAgainAfterADrop();
    void seriesOverWhileAway();
    void noChoiceOnTheRelay();
    void gameLeavesItsResultScreen();
    void awayHoldsReadiness();
    void parkIgnored();
    void lobbyMatchesInPlace();
    void leaveLobbyMidMatch();
    void choiceFromTheGames();
    void lobbyLinkDroppedAtTheResultScreen();
    void seriesOverWhileOffline_data();
    void seriesOverWhileOffline();
    void feedHandedOverWhenTheGameLeavesItsResultScreen();
};

class TestWatchScenarios : public QObject {
    Q_OBJECT
private slots:
    void spectatorWatchesALobbyMatch();
    void watcherJoinsMidMatch();
    void corruptFeedGoesOutOfStep();
    void nextMatchInPlaceWatchedToo();
    void watcherGameTakesItsLineLate();
    void watchEndsEarly_data();
    void watchEndsEarly();
    void kingOfTheHillWatchedInTurn();
    void watcherLinkDropsAndComesBack();
    void watchLeftInTheGamesMenu_data();
    void watchLeftInTheGamesMenu();
    void spectatorLeavesTheLobbyWhileWatching();
};

class TestMatchLocal : public QObject {
    Q_OBJECT
private slots:
    void playerGame();
    void playerGameThatCannotStart();
    void refusalsWithoutServer();
    void serverMessagesWithoutOpponent();
    void watchOffers();
    void watchFromTheOffer();
};

class TestReportRules : public QObject {
    Q_OBJECT
private slots:
    void crashDecision_data();
    void crashDecision();
    void excerpt_data();
    void excerpt();
    void excerptLimits();
    void shorten_data();
    void shorten();
    void cacheLines_data();
    void cacheLines();
    void codePrepNeeded_data();
    void codePrepNeeded();
    void prepRefusal();
    void localTestLines();
};

class TestReportScenarios : public QObject {
    Q_OBJECT
private slots:
    void desyncReports_data();
    void desyncReports();
    void crashMidMatch();
    void gameEndsWithoutAReport_data();
    void gameEndsWithoutAReport();
};

class TestLocalRuns : public QObject {
    Q_OBJECT
private slots:
    void localTestAgrees();
    void localTestResultsDiffer();
    void localTestOneInstanceCrashes();
    void shutdownLeavesNoGame();
    void preparation();
    void hashing();
    void hashingStopped();
};

class TestHostileServer : public QObject {
    Q_OBJECT
private slots:
    void wrongTypesFloodsAndLongLines();
};

class TestResultKeeper : public QObject {
    Q_OBJECT
private slots:
    void acknowledgedOnce();
    void unknownToTheServer();
};
