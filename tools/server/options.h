#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

// Everything the command line can set. Times are milliseconds unless the name says seconds.
struct ServerOptions {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 7777;
    quint16 udpPort = 7778;
    bool tls = true;
    QString certFile;
    QString keyFile;
    QString dataDir;
    QString dbFile;
    QStringList features = {"relay_choice", "pick_refused", "desync_detail", "koth"};
    QString motd;
    QString updateFile;
    QString minClientVersion;
    bool throttle = true;
    bool rateLimit = true; // per-connection request rates (slow_down)
    int kdfIterations = 120000;
    int acceptTimeoutS = 15;
    int udpWaitMs = 6000;
    int punchTimeoutS = 10;
    int pathSlackMs = 5000;
    int resultWaitMs = 20000;
    int dropGraceMs = 30000;
    int seriesWaitS = 60;
    int lobbyCountdownS = 3;
    int matchLimitS = 1800;
    int setWins = 2;
    int rounds = 3;
    int directAboveMs = 150;
    int pairIntervalMs = 1000;
    // Spectator feeds: how long a match's feed is still taken after its end, and how far a
    // watcher may fall behind before it is cut off (kept well below the 8 MiB write-backlog guard).
    int feedLingerS = 10;
    int watcherLag = 1024 * 1024;
    // Connections: at most this many open, and from one address; a TLS handshake must be done in
    // handshakeS, and a connection silent for idleS (four of the launcher's pings) is closed.
    int maxConnections = 1024;
    int maxPerAddress = 16;
    // New connections from one address (an IPv6 address by its /64): a bucket of connBurst that
    // refills connRate a second, checked before any TLS work.
    int connBurst = 20;
    double connRate = 2;
    // What all connections together may have waiting to be written, in MB.
    int backlogTotalMb = 256;
    int handshakeS = 10;
    int idleS = 120;
    // Password hashing threads, and how long an unused session token stays valid.
    int kdfThreads = 2;
    int sessionDays = 30;
    // F3 reports: the most one report may store, and the most one account's reports may store.
    int reportLimitMb = 64;
    int reportBudgetMb = 1024;
    // F3 reports: the most all reports may store, and the days a report is kept.
    int reportTotalMb = 10 * 1024;
    int reportDays = 90;
    int strictEloGap = 200;
    // Memory: lobbies that may exist at once, the feed bytes all spectator feeds may hold, and how
    // often records of players who are gone (and other per-player leftovers) are swept away.
    int maxLobbies = 500;
    int feedBudgetMb = 256;
    int sweepS = 60;
    // Crash, desync and pick reports kept per account in any 24 hours; the rest is dropped, so a
    // launcher caught in a loop cannot fill the disk.
    int reportBudget = 200;
    // How a search's ping limit widens while it waits: after, every (seconds), step, cap (ms).
    double widenAfterS = 30, widenEveryS = 15;
    int widenStep = 25, widenCap = 250;
};

// Parses the arguments (without the program name). False with a sentence in error on a bad one;
// helpOut receives the usage text when --help was asked for (and the result is then true).
bool parseServerOptions(const QStringList &args, ServerOptions &out, QString *error, QString *helpOut);
