#pragma once

#include "scriptedclient.h"

#include <QObject>
#include <QTemporaryDir>

using orxtest::ScriptedClient;
using orxtest::ServerProcess;

// Every case starts its own orx-server process on free ports with a fresh data folder.
class TestServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    // tst_session.cpp
    void startupPrintsPortsAndTlsFingerprint();
    void givenCertificateIsUsed();
    void startupErrors_data();
    void startupErrors();
    void welcomeAnnouncesServer();
    void helloRefusals_data();
    void helloRefusals();
    void pingAnswersWithItsId();
    void hostileInput_data();
    void hostileInput();
    void hugeLineDropsTheConnection();
    void hostileFieldsInEveryRequest();
    void noticeFromTheConsole();
    void rankedEloFromTheConsole();
    void updateOfferFromFile();
    void updateOfferRules_data();
    void updateOfferRules();
    void reportsAreStored();
    void reportBudgetPerAccount();
    void f3ReportIsStored();
    void f3ReportRefusals_data();
    void f3ReportRefusals();

    // tst_f3inbox.cpp
    void f3ReportFileNames_data();
    void f3ReportFileNames();
    void f3ReportPartNamesNeverCollide();
    void f3ReportLimitsCountWhatIsStored_data();
    void f3ReportLimitsCountWhatIsStored();
    void f3ReportEmptyPackedFile();
    void f3ReportsCountedFromDiskAndExpired();
    void f3ReportNotRecordedIsNotSaved();

    // tst_accounts.cpp
    void signUpRules_data();
    void signUpRules();
    void nameTakenAndWrongPassword();
    void tokenResumesAndLogoutEndsIt();
    void secondLoginKicksTheFirst();
    void wrongPasswordsAreThrottled();
    void databaseSurvivesRestart();

    // tst_match.cpp
    void matchThroughEachPath_data();
    void matchThroughEachPath();
    void directFailureFallsBackToRelay();
    void pathDecisions_data();
    void pathDecisions();
    void pairingRules_data();
    void pairingRules();
    void pingLimitWidensWhileWaiting();
    void declineRequeuesTheOther();
    void acceptTimeoutRequeuesWhoAccepted();
    void dropMidMatch_data();
    void dropMidMatch();
    void matchWithoutResultIsClosed();
    void disputedAndLeftResults_data();
    void disputedAndLeftResults();
    void profileLeaderboardAndOnline();
    void randomSessionsNeverCrash();

    // tst_series.cpp
    void rankedSetToItsEnd_data();
    void rankedSetToItsEnd();
    void casualSeriesRematchSelectLeave_data();
    void casualSeriesRematchSelectLeave();
    void seriesTimesOutWithoutReady();
    void strictRankedKeepsElosClose();
    void seriesReadinessNeedsBothOnline();

    // tst_lobby.cpp
    void lobbyRefusals_data();
    void lobbyRefusals();
    void lobbyCreateJoinListLeave();
    void lobbyCountdownStopsAndStarts();
    void lobbyMatchesAndInPlaceRematch();
    void kingOfTheHillRotation();
    void lobbyDropAndReturn();
    void lobbyLeavesSearchAndSeries();
    void lobbyHostileFields();
    void lobbyInPlaceKeepsTheRelay();
    void lobbyListIsBounded();
    void lobbyMembersVersionAndBuild();

    // tst_watching.cpp
    void spectateOfferAndRelay();
    void spectateHostileFeed_data();
    void spectateHostileFeed();
    void spectateLaggingWatcherIsCut();
    void spectateMidMatchAndLinger();
    void spectateEndsWithTheMatch();
    void spectateFeedKeptUpTo16MiB();
    void spectateFeedsShareOneBudget();
    void spectateOfferSaysWhereTheRelayStarts();

    // tst_limits.cpp
    void connectionCapsRefuseTheExcess_data();
    void connectionCapsRefuseTheExcess();
    void handshakeDeadlineFreesIdleSockets();
    void silentConnectionIsClosed();
    void passwordHashingLeavesOthersServed();
    void sessionTokensAreHashedAndExpire();
    void tokenSignInsKeepTheDatabaseLogSmall();
    void successfulSignInsAreThrottled();
    void floodingClientIsSlowedDown();
    void floodThroughTheTunnelDropsPacketsNotThePlayer();
    void relayKeepsPacketsThroughAFloodBurst();
    void newConnectionsPerAddressAreRated();
    void badLinesCountAgainstTheRate();
    void emptyLinesDoNotKeepAConnection();
    void writeBacklogOfAllConnectionsIsBounded();
    // tst_trust.cpp
    void forgedResultsAreRefused_data();
    void forgedResultsAreRefused();
    void kingOfTheHillForgedOutcomeLosesTheHill();
    void dropGraceCountsFromTheLatestDrop();
    void storedTokenFormIsNeverAToken();
    void oldDatabaseIsMigratedAtStart();
    void failedWritesAreAnsweredAsFailures();
    void pathRttIsClamped();

    // tst_bounds.cpp
    void echoedFieldsAreCut();
    void lobbyAndOnlineRepliesBoundedWhenFull();
    void profileAndLeaderboardBoundedWhenFull();
    void welcomeNoticeAndOfferBounded();
    void gonePlayersRecordsAreDropped();
    void lobbyCapRefusesTheExcess();

public:
    enum class Path { Direct, Relay, Tunnel };
    struct Go {
        QJsonObject go[2]; // by client (a, b)
        bool ok = false;
    };

    bool startServer(const QStringList &extra = {});
    // Connects, greets and signs up a client with its game port bound.
    bool join(ScriptedClient &c, const QString &name);
    QJsonObject queueJoin(ScriptedClient &c, bool ranked, bool hideIp = false, const QString &character = "-",
                          const QJsonObject &overrides = {});
    // Both search, get the match and accept it: the match id, or empty.
    QString pairAndAccept(ScriptedClient &a, ScriptedClient &b, bool ranked, Path path);
    // Answers match_peer rounds (punching as asked) until both get match_go.
    Go connectMatch(ScriptedClient &a, ScriptedClient &b, const QString &match, bool failDirect = false);
    // Both report the same result; returns a's match_result.
    QJsonObject playResult(ScriptedClient &a, ScriptedClient &b, const Go &go, int winnerClient,
                           int rounds = 2);

    QTemporaryDir *dir = nullptr;
    ServerProcess *server = nullptr;
    int nextName = 0;
};
