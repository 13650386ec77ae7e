#include "options.h"

#include <QCommandLineParser>
#include <QDir>
#include <QStandardPaths>

namespace {

bool readInt(const QCommandLineParser &p, const QString &name, int min, int max, int &out, QString *error)
{
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const int v = p.value(name).toInt(&ok);
    if (!ok || v < min || v > max) {
        *error = QStringLiteral("--%1 must be a whole number from %2 to %3.").arg(name).arg(min).arg(max);
        return false;
    }
    out = v;
    return true;
}

bool readDouble(const QCommandLineParser &p, const QString &name, double min, double max, double &out,
                QString *error)
{
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || !(v >= min && v <= max)) {
        *error = QStringLiteral("--%1 must be a number from %2 to %3.").arg(name).arg(min).arg(max);
        return false;
    }
    out = v;
    return true;
}

bool readPort(const QCommandLineParser &p, const QString &name, quint16 &out, QString *error)
{
    int v = out;
    if (!readInt(p, name, 0, 65535, v, error))
        return false;
    out = quint16(v);
    return true;
}

} // namespace

bool parseServerOptions(const QStringList &args, ServerOptions &out, QString *error, QString *helpOut)
{
    QCommandLineParser p;
    p.setApplicationDescription("orx-server: the development matchmaking server of Orvex Rovivi.");
    p.addHelpOption();
    p.addOptions({
        {"address", "TCP address to listen on (default 127.0.0.1).", "ip"},
        {"port", "TCP port (default 7777; 0 picks a free one).", "port"},
        {"udp-port", "UDP port for hello, relay and punches (default 7778; 0 picks a free one).", "port"},
        {"plain", "Plain TCP instead of TLS."},
        {"cert", "TLS certificate (PEM). Without it one is generated in the data folder.", "file"},
        {"key", "TLS private key (PEM) for --cert.", "file"},
        {"data", "Data folder (database, generated certificate).", "dir"},
        {"db", "SQLite database file (default orx-server.sqlite in the data folder).", "file"},
        {"features", "Comma-separated features announced in the welcome.", "list"},
        {"motd", "Message of the day sent in the welcome.", "text"},
        {"update-file", "JSON file holding the update offer; re-read when it changes.", "file"},
        {"min-client-version", "Launchers older than this are refused with client_outdated.", "version"},
        {"no-throttle", "Do not throttle sign-ups and wrong passwords (for tests from one address)."},
        {"no-rate-limit",
         "Do not limit how often one connection sends each kind of request (for tests that send bursts)."},
        {"kdf-iterations", "PBKDF2 iterations for new password hashes (default 120000).", "n"},
        {"accept-timeout", "Seconds to accept a match found (default 15).", "s"},
        {"udp-wait", "Milliseconds to wait for a player's UDP hello before using the tunnel (default 6000).",
         "ms"},
        {"punch-timeout", "Punch time limit in seconds given to the launchers (default 10).", "s"},
        {"path-slack", "Extra milliseconds beyond the punch timeout to wait for ping reports (default 5000).",
         "ms"},
        {"result-wait", "Milliseconds to wait for the second result after the first (default 20000).", "ms"},
        {"drop-grace",
         "Milliseconds a player who dropped mid-match or mid-series has to come back (default "
         "30000).",
         "ms"},
        {"series-wait", "Seconds the players have to get ready between two matches of a series (default 60).",
         "s"},
        {"lobby-countdown", "Seconds between both lobby players being ready and their match (default 3).",
         "s"},
        {"match-limit",
         "Seconds a started match may run without any result before it is closed (default 1800).", "s"},
        {"set-wins", "Wins needed to take a ranked set (default 2).", "n"},
        {"rounds", "Rounds per match (default 3).", "n"},
        {"direct-above", "Relay ping in ms above which a direct path is tried (default 150).", "ms"},
        {"ping-widen",
         "How the ping limit of a waiting search widens: after,every (seconds),step,cap (ms); "
         "default 30,15,25,250.",
         "list"},
        {"strict-elo-gap", "Largest Elo difference of a strict ranked pairing (default 200).", "n"},
        {"pair-interval", "Milliseconds between two pairing passes over the queue (default 1000).", "ms"},
        {"feed-linger", "Seconds a lobby match's spectator feed is still taken after its end (default 10).",
         "s"},
        {"report-limit", "Megabytes one F3 report may store, unpacked (default 64).", "mb"},
        {"report-budget", "Megabytes all F3 reports of one account may store together (default 1024).", "mb"},
        {"report-total", "Megabytes all F3 reports may store together (default 10240).", "mb"},
        {"report-days", "Days an F3 report is kept (default 90).", "days"},
        {"watcher-lag",
         "Bytes of feed a watcher may fall behind before it is cut off (default 1048576, at most 4194304).",
         "bytes"},
        {"max-connections", "Connections open at most, from everywhere (default 1024).", "n"},
        {"max-per-address", "Connections open at most from one address (default 16).", "n"},
        {"conn-burst", "New connections one address may open at once (default 20).", "n"},
        {"conn-rate", "New connections one address may open a second, after the burst (default 2).", "n"},
        {"backlog-total",
         "Megabytes all connections together may have waiting to be written; past it the slowest readers "
         "are dropped (default 256).",
         "mb"},
        {"handshake-timeout",
         "Seconds a TLS handshake may take before the connection is dropped (default 10).", "s"},
        {"idle-timeout",
         "Seconds a connection may stay silent before it is closed (default 120: four of the "
         "launcher's pings).",
         "s"},
        {"kdf-threads",
         "Threads hashing passwords, beside the one serving everybody (default 2; 0 hashes on the serving "
         "thread itself, for comparison).",
         "n"},
        {"session-days", "Days an unused session token stays valid (default 30).", "days"},
        {"max-lobbies", "Lobbies that may exist at once (default 500).", "n"},
        {"feed-budget", "Megabytes all spectator feeds may hold together (default 256).", "mb"},
        {"sweep-interval",
         "Seconds between two sweeps of what players who are gone left behind (default 60).", "s"},
        {"crash-report-budget",
         "Crash, desync and pick reports kept per account in 24 hours; more are dropped (default 200).", "n"},
    });
    if (!p.parse(QStringList{"orx-server"} + args)) {
        *error = p.errorText();
        return false;
    }
    if (p.isSet("help")) {
        *helpOut = p.helpText();
        return true;
    }
    if (!p.positionalArguments().isEmpty()) {
        *error = QStringLiteral("Unexpected argument %1.").arg(p.positionalArguments().first());
        return false;
    }
    if (p.isSet("address")) {
        QHostAddress a;
        if (!a.setAddress(p.value("address"))) {
            *error = QStringLiteral("--address %1 is not an IP address.").arg(p.value("address"));
            return false;
        }
        out.address = a;
    }
    if (!readPort(p, "port", out.port, error) || !readPort(p, "udp-port", out.udpPort, error))
        return false;
    out.tls = !p.isSet("plain");
    out.certFile = p.value("cert");
    out.keyFile = p.value("key");
    if (out.certFile.isEmpty() != out.keyFile.isEmpty()) {
        *error = QStringLiteral("--cert and --key go together.");
        return false;
    }
    out.dataDir = p.isSet("data")
                      ? p.value("data")
                      : QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                            .filePath("orx-server");
    out.dbFile = p.isSet("db") ? p.value("db") : QDir(out.dataDir).filePath("orx-server.sqlite");
    if (p.isSet("features")) {
        out.features.clear();
        for (const QString &f : p.value("features").split(',', Qt::SkipEmptyParts))
            out.features << f.trimmed();
    }
    out.motd = p.value("motd");
    out.updateFile = p.value("update-file");
    out.minClientVersion = p.value("min-client-version");
    out.throttle = !p.isSet("no-throttle");
    out.rateLimit = !p.isSet("no-rate-limit");
    if (p.isSet("ping-widen")) {
        const QStringList w = p.value("ping-widen").split(',');
        bool ok[4] = {false, false, false, false};
        if (w.size() == 4) {
            out.widenAfterS = w[0].toDouble(&ok[0]);
            out.widenEveryS = w[1].toDouble(&ok[1]);
            out.widenStep = w[2].toInt(&ok[2]);
            out.widenCap = w[3].toInt(&ok[3]);
        }
        if (!ok[0] || !ok[1] || !ok[2] || !ok[3] || out.widenAfterS < 0 || out.widenEveryS < 1 ||
            out.widenStep < 0 || out.widenCap < 0) {
            *error = QStringLiteral("--ping-widen takes after,every,step,cap, for example 30,15,25,250.");
            return false;
        }
    }
    return readInt(p, "kdf-iterations", 1000, 10000000, out.kdfIterations, error) &&
           readInt(p, "accept-timeout", 1, 600, out.acceptTimeoutS, error) &&
           readInt(p, "udp-wait", 0, 600000, out.udpWaitMs, error) &&
           readInt(p, "punch-timeout", 1, 120, out.punchTimeoutS, error) &&
           readInt(p, "path-slack", 0, 600000, out.pathSlackMs, error) &&
           readInt(p, "result-wait", 100, 3600000, out.resultWaitMs, error) &&
           readInt(p, "drop-grace", 0, 3600000, out.dropGraceMs, error) &&
           readInt(p, "series-wait", 1, 3600, out.seriesWaitS, error) &&
           readInt(p, "lobby-countdown", 0, 60, out.lobbyCountdownS, error) &&
           readInt(p, "match-limit", 1, 86400, out.matchLimitS, error) &&
           readInt(p, "set-wins", 1, 10, out.setWins, error) &&
           readInt(p, "rounds", 1, 9, out.rounds, error) &&
           readInt(p, "direct-above", 0, 10000, out.directAboveMs, error) &&
           readInt(p, "pair-interval", 10, 600000, out.pairIntervalMs, error) &&
           readInt(p, "strict-elo-gap", 0, 10000, out.strictEloGap, error) &&
           readInt(p, "feed-linger", 0, 600, out.feedLingerS, error) &&
           readInt(p, "watcher-lag", 16384, 4 * 1024 * 1024, out.watcherLag, error) &&
           readInt(p, "max-connections", 1, 100000, out.maxConnections, error) &&
           readInt(p, "max-per-address", 1, 100000, out.maxPerAddress, error) &&
           readInt(p, "handshake-timeout", 1, 600, out.handshakeS, error) &&
           readInt(p, "conn-burst", 1, 100000, out.connBurst, error) &&
           readDouble(p, "conn-rate", 0.01, 100000, out.connRate, error) &&
           readInt(p, "backlog-total", 1, 65536, out.backlogTotalMb, error) &&
           readInt(p, "idle-timeout", 5, 86400, out.idleS, error) &&
           readInt(p, "kdf-threads", 0, 64, out.kdfThreads, error) &&
           readInt(p, "session-days", 1, 3650, out.sessionDays, error) &&
           readInt(p, "max-lobbies", 1, 100000, out.maxLobbies, error) &&
           readInt(p, "feed-budget", 1, 65536, out.feedBudgetMb, error) &&
           readInt(p, "sweep-interval", 1, 3600, out.sweepS, error) &&
           readInt(p, "report-limit", 1, 1024, out.reportLimitMb, error) &&
           readInt(p, "report-budget", 1, 1024 * 1024, out.reportBudgetMb, error) &&
           readInt(p, "report-total", 1, 1024 * 1024 * 1024, out.reportTotalMb, error) &&
           readInt(p, "report-days", 1, 36500, out.reportDays, error) &&
           readInt(p, "crash-report-budget", 0, 1000000, out.reportBudget, error);
}
