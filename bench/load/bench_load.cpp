// orx-server under load, with and without hostile clients, side by side.
//
// A real orx-server process (TLS, throttling and rate limits as shipped, its own data folder, free
// ports) serves a few hundred scripted launchers in one single-threaded event loop. Each pair of
// well-behaved clients signs up, searches, accepts and plays short matches through one of the three
// paths (direct UDP between the two game ports, the server's UDP relay, the tunnel inside the TLS
// connection), exchanging real game packets and reporting agreeing results, while every client
// pings the server and records each round trip. The same load runs twice on fresh servers: alone
// (the reference) and with hostile clients among it: request floods, relay and tunnel packet
// floods, connections that never start their TLS handshake, wrong passwords and oversize lines.
// Every well-behaved client connects from an address of its own group in 127.0.0.0/8 (eight
// per address, as a busy household would) and every hostile client from one of its own.
//
//   bench_load [options]      (ORX_BIN_DIR must name the folder with orx-server)
//     --clients N         well-behaved clients (default 200, an even number)
//     --hostile F         hostile clients as a share of N in the second run (default 0.2)
//     --matches N         matches each well-behaved client plays (default 10)
//     --time S            time limit of the whole benchmark (default 120)
//     --ping-ms MS        time between two pings of a client (default 250: the server allows
//                         5 pings a second per connection after a burst of 20)
//     --packets N         game packets each side sends per match (default 10)
//     --packet-ms MS      time between two game packets (default 100, so a match plays for
//                         about a second)
//     --kinds LIST        hostile kinds taking part, comma-separated (default all):
//                         requests,relay,tunnel,idle,passwords,oversize
//     --kdf-iterations N  PBKDF2 rounds for the accounts (default 1000; the server's own default
//                         is 120000)
//
// Exit code: 0 when every well-behaved client was served in both runs, 2 when one was not or the
// server did not stay up, 1 when the benchmark could not run.

#include "scriptedclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QPointer>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using orxtest::ServerProcess;

enum class Path { Direct, Relay, Tunnel };
constexpr const char *PathNames[] = {"direct", "relay", "tunnel"};

enum class Kind { Player, RequestFlood, RelayFlood, TunnelFlood, IdleTls, WrongPassword, Oversize };
constexpr int HostileKinds = 6;
constexpr const char *KindNames[] = {"well-behaved", "request flood",  "relay flood",  "tunnel flood",
                                     "idle TLS",     "wrong password", "oversize line"};
// The names --kinds takes.
constexpr const char *KindOptions[] = {"requests", "relay", "tunnel", "idle", "passwords", "oversize"};

struct Settings {
    int clients = 200;
    double hostileShare = 0.2;
    int matches = 10;
    int timeLimitS = 120;
    int pingMs = 250;
    int packets = 10;
    int packetMs = 100;
    int kdfIterations = 1000;
    int maxConnections = 0;                                          // 0: the server's own cap
    bool kinds[HostileKinds] = {true, true, true, true, true, true}; // hostile kinds taking part
};

// What one run saw.
struct Figures {
    bool ran = false;
    int players = 0, hostile = 0;
    int hostileOf[HostileKinds + 1] = {};
    int signedIn = 0, finished = 0;
    int matchesWanted = 0, completed = 0, completedOn[3] = {};
    std::map<QString, int> failures; // reason -> clients
    std::map<QString, int> outcomes; // match results other than "agreed" -> count
    int cancelled = 0, retries = 0;
    std::map<QString, int> cancelledFor; // reason -> matches called off
    std::map<QString, int> slowDowns;    // request type -> "slow_down" answers
    qint64 gameSent = 0, gameLost = 0, lostOn[3] = {};
    std::vector<qint64> pingsUs, steadyPingsUs; // all, and those sent once everybody had signed in
    std::vector<qint64> loopLagUs;              // how late the benchmark's own 10 ms tick came
    std::vector<qint64> matchMs;                // from the search to the verdict
    qint64 udpBufferDrops = 0;                  // the whole system's, over the run
    std::vector<qint64> rssKbEachSecond;        // the server's memory through the run
    int pingsLost = 0;
    double seconds = 0, serverCpu = 0, benchCpu = 0;
    qint64 peakKb = 0, rssKb = 0;
    bool serverUp = true, cleanStop = true;
    QJsonObject online; // the server console's counts at the end
    // Hostile side.
    qint64 requestsFlooded = 0, requestsSlowed = 0;
    qint64 relayFlooded = 0, tunnelFlooded = 0, strangerPackets = 0, floodReceived = 0;
    int idleOpened = 0, idleRefused = 0, idleTimedOut = 0;
    int wrongTries = 0;
    std::map<QString, int> wrongAnswers;
    int oversizeSent = 0, oversizeDropped = 0;
    // What the server logged about them.
    std::map<QString, int> logged;
};

qint64 percentileUs(std::vector<qint64> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// Addresses in 127.0.0.0/8, all on loopback: group 1 for well-behaved clients, 2 for hostile ones.
QHostAddress sourceAddress(int group, int n)
{
    return QHostAddress(
        quint32((127u << 24) | (quint32(group) << 16) | (quint32(n / 250) << 8) | quint32(n % 250 + 1)));
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Server process figures from /proc: CPU seconds (user + system) and memory in KiB.
double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

qint64 statusKb(qint64 pid, const QByteArray &key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Datagrams the system dropped because a socket's receive buffer was full (all sockets).
qint64 udpReceiveBufferErrors()
{
    QFile f("/proc/net/snmp");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    QList<QByteArray> names;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith("Udp:"))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (names.isEmpty()) {
            names = fields;
            continue;
        }
        const qsizetype i = names.indexOf("RcvbufErrors");
        return i > 0 && i < fields.size() ? fields[i].toLongLong() : 0;
    }
    return 0;
}

double ownCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Run;

// One scripted launcher. Well-behaved clients and the flooding pairs share the match flow; the
// other hostile kinds only connect and misbehave.
class Client {
public:
    enum class State {
        Waiting,    // not connected yet
        Connecting, // TCP and TLS
        Greeting,   // hello sent
        SigningUp,
        Searching, // queue_join sent, or queued
        Accepted,  // match accepted, UDP hello or udp_tunnel sent
        Punching,  // match_peer: punching the candidate
        Measuring, // punched: pinging through the path
        Reported,  // ping_report sent, waiting for match_go or another round
        Playing,   // game packets both ways
        Resulting, // result sent, waiting for its ack and the verdict
        Flooding,  // hostile: misbehaving
        Done,
        Failed,
    };

    Client(Run &run, int index, Kind kind, Path path, QString mode, QHostAddress source, qint64 startAt)
        : m_run(run), m_index(index), m_kind(kind), m_path(path), m_mode(std::move(mode)),
          m_source(std::move(source)), m_startAt(startAt)
    {
    }
    ~Client() { shutDown(); }

    Kind kind() const { return m_kind; }
    State state() const { return m_state; }
    bool settled() const { return m_state == State::Done || m_state == State::Failed; }
    bool countsMatches() const { return m_countsMatches; }
    bool signedIn() const { return m_signedIn; }
    void setCountsMatches(bool on) { m_countsMatches = on; }

    static const char *stateName(State s)
    {
        static const char *names[] = {"waiting",   "connecting", "greeting",  "signing up", "searching",
                                      "accepted",  "punching",   "measuring", "reported",   "playing",
                                      "resulting", "flooding",   "done",      "failed"};
        return names[int(s)];
    }

    void tick(qint64 now);
    void shutDown();
    // Figures kept until the end of the run.
    void collect(Figures &f, qint64 now) const;

private:
    void connectServer();
    void dropConnection();
    void onReadyRead();
    void onLine(const QJsonObject &msg);
    int send(QJsonObject msg);
    void request(const QJsonObject &msg);
    void enter(State s);
    void fail(const QString &why);
    void onPacket(const QByteArray &data, const QHostAddress &from, quint16 port, bool viaTunnel);
    void sendPath(const QByteArray &data); // to the punch candidate: UDP or the tunnel
    void sendTunnel(const QByteArray &packet);
    void search();
    void startPath(const QJsonObject &peer);
    void report(bool ok, int rtt);
    void matchOver(const QJsonObject &result);
    void hostileTick(qint64 now);
    void nextWrongPassword();

    Run &m_run;
    int m_index;
    Kind m_kind;
    Path m_path;
    QString m_mode;
    QHostAddress m_source;
    qint64 m_startAt;
    bool m_countsMatches = false; // one client of each pair counts the pair's matches

    State m_state = State::Waiting;
    qint64 m_stateAt = 0;
    QPointer<QSslSocket> m_tcp;
    QPointer<QUdpSocket> m_udp, m_stranger;
    QByteArray m_buffer;
    int m_nextId = 1;
    bool m_greeted = false, m_signedIn = false;
    QString m_name, m_udpToken;
    QString m_failure;
    // A request that may be answered "slow_down", sent again after a pause.
    QJsonObject m_pending;
    int m_pendingId = -1;
    qint64 m_resendAt = -1;
    int m_retries = 0;
    std::map<QString, int> m_slowDowns;
    // Pings to the server: id -> send time in ns.
    QHash<int, qint64> m_pingSent;
    std::vector<std::pair<qint64, qint64>> m_pings; // send time ns, round trip us
    qint64 m_nextPingAt = 0;
    // The match in hand.
    QString m_match, m_key, m_series, m_goPath;
    int m_side = 0;
    bool m_udpHelloAcked = false;
    qint64 m_lastHelloAt = 0;
    QHostAddress m_candAddress;
    quint16 m_candPort = 0;
    bool m_candTunnel = false;
    QString m_candText;
    qint64 m_punchStart = 0, m_lastPunch = 0, m_lastMeasure = 0;
    bool m_punchAcked = false;
    int m_measureSent = 0;
    QHash<int, qint64> m_measureAt;
    QList<int> m_samples;
    int m_gameSent = 0, m_gameReceived = 0;
    qint64 m_goAt = 0, m_lastGame = 0;
    bool m_resultAcked = false;
    QJsonObject m_verdict;
    int m_resultId = -1;
    // Figures.
    qint64 m_searchAt = 0;
    std::vector<qint64> m_matchMs;
    int m_matchesDone = 0, m_completed = 0, m_completedOn[3] = {}, m_cancelled = 0;
    QString m_lastCancel;
    std::map<QString, int> m_cancelledFor;
    std::map<QString, int> m_outcomes;
    qint64 m_gameSentTotal = 0, m_gameLostOn[3] = {};
    // Hostile figures.
    qint64 m_flooded = 0, m_slowed = 0, m_floodReceived = 0, m_strangerSent = 0;
    std::vector<std::pair<QPointer<QTcpSocket>, qint64>> m_idle;
    int m_idleOpened = 0, m_idleRefused = 0, m_idleTimedOut = 0;
    qint64 m_lastIdleAt = 0, m_reconnectAt = 0;
    int m_wrongTries = 0, m_wrongSerial = 0;
    std::map<QString, int> m_wrongAnswers;
    int m_oversizeSent = 0, m_oversizeDropped = 0;
};

// One server process and the clients of one run.
class Run {
public:
    Run(const Settings &s, bool withHostile) : settings(s), m_withHostile(withHostile) {}

    bool start(QString *error);
    // Runs the load until every well-behaved client is done or failed, or the time is up.
    Figures play(qint64 limitMs);

    const Settings &settings;
    ServerProcess server;
    QElapsedTimer clock;
    quint16 tcpPort() const { return server.tcpPort; }
    quint16 udpPort() const { return server.udpPort; }
    const QString &fingerprint() const { return server.fingerprint; }
    qint64 nowMs() const { return clock.elapsed(); }
    qint64 nowNs() const { return clock.nsecsElapsed(); }
    // When the last well-behaved client had signed in (far in the future until then).
    qint64 steadyFromNs() const { return m_steadyFromNs; }

private:
    bool m_withHostile;
    qint64 m_steadyFromNs = std::numeric_limits<qint64>::max();
    QTemporaryDir m_data;
    std::vector<std::unique_ptr<Client>> m_clients;
};

// -- Client ---------------------------------------------------------------------------------------

void Client::enter(State s)
{
    m_state = s;
    m_stateAt = m_run.nowMs();
}

void Client::fail(const QString &why)
{
    if (settled())
        return;
    m_failure = why;
    enter(State::Failed);
}

void Client::connectServer()
{
    m_buffer.clear();
    m_greeted = false;
    auto *ssl = new QSslSocket;
    m_tcp = ssl;
    ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(ssl, &QSslSocket::encrypted, ssl, [this, ssl] {
        // The fingerprint is pinned, as the launcher does, instead of a certificate chain.
        if (m_kind == Kind::Player &&
            ssl->peerCertificate().digest(QCryptographicHash::Sha256).toHex(':').toUpper() !=
                m_run.fingerprint().toLatin1())
            return fail("certificate fingerprint differs");
        if (m_state == State::Connecting)
            enter(State::Greeting);
        send({{"type", "hello"},
              {"proto", 1},
              {"client", "orx-launcher"},
              {"version", "0.1.8"},
              {"os", "linux"},
              {"features", QJsonArray{"koth"}}});
        if (m_kind == Kind::Oversize) {
            // A line longer than the server takes, without its end: it must drop the connection.
            ssl->write(QByteArray(70000, 'x'));
            ++m_oversizeSent;
        }
    });
    QObject::connect(ssl, &QSslSocket::readyRead, ssl, [this] { onReadyRead(); });
    QObject::connect(ssl, &QSslSocket::disconnected, ssl, [this] { dropConnection(); });
    QObject::connect(ssl, &QAbstractSocket::errorOccurred, ssl, [this, ssl] {
        if (ssl->state() != QAbstractSocket::ConnectedState)
            dropConnection();
    });
    if (!ssl->bind(m_source, 0))
        return fail("cannot bind " + m_source.toString());
    ssl->connectToHostEncrypted("127.0.0.1", m_run.tcpPort());
    enter(m_kind == Kind::Player || m_kind == Kind::RelayFlood || m_kind == Kind::TunnelFlood ||
                  m_kind == Kind::RequestFlood
              ? State::Connecting
              : State::Flooding);
}

void Client::dropConnection()
{
    if (!m_tcp)
        return;
    QSslSocket *s = m_tcp;
    m_tcp = nullptr;
    s->disconnect();
    s->abort();
    s->deleteLater();
    if (m_kind == Kind::Oversize) {
        ++m_oversizeDropped;
        m_reconnectAt = m_run.nowMs() + 250;
    } else if (m_kind == Kind::WrongPassword) {
        m_reconnectAt = m_run.nowMs() + 250;
    } else if (m_kind == Kind::Player) {
        fail(QStringLiteral("connection lost while %1").arg(stateName(m_state)));
    } else if (m_state != State::Done) {
        enter(State::Failed);
    }
}

void Client::shutDown()
{
    if (m_tcp) {
        m_tcp->disconnect();
        m_tcp->abort();
        delete m_tcp.data();
    }
    for (QPointer<QUdpSocket> *u : {&m_udp, &m_stranger}) {
        if (*u)
            delete u->data();
    }
    for (auto &[s, at] : m_idle) {
        if (s) {
            s->disconnect();
            s->abort();
            delete s.data();
        }
    }
    m_idle.clear();
}

int Client::send(QJsonObject msg)
{
    const int id = m_nextId++;
    msg.insert("id", id);
    if (m_tcp)
        m_tcp->write(compact(msg) + '\n');
    return id;
}

void Client::request(const QJsonObject &msg)
{
    m_pending = msg;
    m_pendingId = send(msg);
    m_resendAt = -1;
}

void Client::sendTunnel(const QByteArray &packet)
{
    if (m_tcp)
        m_tcp->write("{\"type\":\"tunnel\",\"data\":\"" + packet.toBase64() + "\"}\n");
}

void Client::sendPath(const QByteArray &data)
{
    if (m_candTunnel)
        sendTunnel(data);
    else if (m_udp)
        m_udp->writeDatagram(data, m_candAddress, m_candPort);
}

void Client::onReadyRead()
{
    if (!m_tcp)
        return;
    m_buffer += m_tcp->readAll();
    qsizetype start = 0, nl;
    while ((nl = m_buffer.indexOf('\n', start)) >= 0) {
        const QByteArray line = m_buffer.mid(start, nl - start);
        start = nl + 1;
        if (line.startsWith("{\"type\":\"tunnel\"")) {
            const QJsonObject t = QJsonDocument::fromJson(line).object();
            onPacket(QByteArray::fromBase64(t.value("data").toString().toLatin1()), {}, 0, true);
            continue;
        }
        onLine(QJsonDocument::fromJson(line).object());
        if (!m_tcp)
            break;
    }
    m_buffer.remove(0, start);
}

void Client::search()
{
    m_match.clear();
    m_key.clear();
    m_searchAt = m_run.nowMs();
    // One of each relay pair hides its address, which sends the pair through the relay.
    request({{"type", "queue_join"},
             {"game", "orx"},
             {"mode", m_mode},
             {"ranked", false},
             {"relay", m_path == Path::Relay && m_countsMatches},
             {"server_rtt", 1},
             {"character", "-"}});
    enter(State::Searching);
}

void Client::onLine(const QJsonObject &msg)
{
    const QString type = msg.value("type").toString();
    const int id = msg.value("id").toInt(-1);
    if (type == "pong") {
        if (const auto it = m_pingSent.constFind(id); it != m_pingSent.constEnd()) {
            m_pings.emplace_back(*it, (m_run.nowNs() - *it) / 1000);
            m_pingSent.erase(it);
        }
        return;
    }
    if (type == "error") {
        const QString code = msg.value("code").toString();
        if (m_kind == Kind::RequestFlood) {
            m_slowed += code == "slow_down";
            return;
        }
        if (m_kind == Kind::WrongPassword) {
            ++m_wrongAnswers[code];
            if (code == "slow_down" || code == "too_many_tries")
                dropConnection(); // a new connection starts with a fresh request budget
            else
                nextWrongPassword();
            return;
        }
        if (code == "slow_down") {
            ++m_slowDowns[msg.value("re").toString()];
            if (id == m_pendingId) // a launcher simply asks again a moment later
                m_resendAt = m_run.nowMs() + 300 + QRandomGenerator::global()->bounded(300);
            return;
        }
        if (id >= 0 && id == m_pendingId)
            return fail("answered " + code + " to " + msg.value("re").toString());
        if (id >= 0 && id == m_resultId)
            return fail("result answered " + code);
        return; // late answers about a match that is gone change nothing
    }
    switch (m_kind) {
    case Kind::RequestFlood:
        if (type == "welcome")
            request({{"type", "register"},
                     {"name", QStringLiteral("flood%1").arg(m_index)},
                     {"password", "floodpass"}});
        else if (type == "account")
            enter(State::Flooding);
        return;
    case Kind::WrongPassword:
        if (type == "welcome")
            nextWrongPassword();
        return;
    case Kind::Oversize:
    case Kind::IdleTls:
        return;
    default:
        break;
    }
    if (type == "welcome" && m_state == State::Greeting) {
        m_greeted = true;
        const QString prefix = m_kind == Kind::Player ? "player" : "flooder";
        m_name = QStringLiteral("%1%2").arg(prefix).arg(m_index);
        request({{"type", "register"}, {"name", m_name}, {"password", "loadpass1"}});
        enter(State::SigningUp);
    } else if (type == "account" && m_state == State::SigningUp) {
        m_signedIn = true;
        m_udpToken = msg.value("udp_token").toString();
        if (m_path != Path::Tunnel) {
            m_udp = new QUdpSocket;
            if (!m_udp->bind(m_source, 0))
                return fail("cannot bind UDP on " + m_source.toString());
            QObject::connect(m_udp, &QUdpSocket::readyRead, m_udp, [this] {
                while (m_udp && m_udp->hasPendingDatagrams()) {
                    const QNetworkDatagram d = m_udp->receiveDatagram(4096);
                    onPacket(d.data(), d.senderAddress(), quint16(d.senderPort()), false);
                }
            });
        }
        search();
    } else if (type == "queued" && id == m_pendingId) {
        m_pendingId = -1;
    } else if (type == "match_found" && (m_state == State::Searching || m_state == State::Accepted)) {
        m_match = msg.value("match").toString();
        m_side = msg.value("side").toInt();
        // The other game may start sending before our own match_go is read.
        m_gameReceived = 0;
        m_pendingId = -1;
        m_udpHelloAcked = false;
        m_lastHelloAt = 0;
        send({{"type", "match_accept"}, {"match", m_match}});
        if (m_path == Path::Tunnel)
            send({{"type", "udp_tunnel"}, {"match", m_match}});
        enter(State::Accepted);
    } else if (type == "match_peer" && msg.value("match").toString() == m_match) {
        startPath(msg);
    } else if (type == "match_go" && msg.value("match").toString() == m_match) {
        m_goPath = msg.value("path").toString();
        m_series = msg.value("series").toString();
        const QString remote = msg.value("remote").toString();
        if (!m_candTunnel && m_goPath != "tunnel") {
            const qsizetype colon = remote.lastIndexOf(':');
            m_candAddress = QHostAddress(remote.left(colon));
            m_candPort = quint16(remote.mid(colon + 1).toUInt());
        }
        m_gameSent = 0;
        m_goAt = m_run.nowMs();
        m_lastGame = 0;
        m_resultAcked = false;
        m_verdict = {};
        enter(m_kind == Kind::Player ? State::Playing : State::Flooding);
    } else if (type == "result_ack" && id == m_resultId) {
        m_resultAcked = true;
        if (!m_verdict.isEmpty())
            matchOver(m_verdict);
    } else if (type == "match_result" && msg.value("match").toString() == m_match) {
        m_verdict = msg;
        if (m_resultAcked)
            matchOver(msg);
    } else if (type == "match_cancelled" && msg.value("match").toString() == m_match) {
        ++m_cancelled;
        m_lastCancel = msg.value("reason").toString();
        ++m_cancelledFor[m_lastCancel];
        m_match.clear();
        if (msg.value("requeued").toBool())
            enter(State::Searching);
        else
            search();
    }
}

void Client::startPath(const QJsonObject &peer)
{
    m_key = peer.value("key").toString();
    m_side = peer.value("side").toInt();
    m_candTunnel = peer.value("tunnel").toBool();
    if (m_candTunnel) {
        m_candText = "tunnel";
    } else if (peer.value("relay").toBool()) {
        m_candAddress = QHostAddress::LocalHost;
        m_candPort = m_run.udpPort();
        m_candText = QStringLiteral("127.0.0.1:%1").arg(m_candPort);
    } else {
        m_candText = peer.value("peer").toObject().value("public").toString();
        const qsizetype colon = m_candText.lastIndexOf(':');
        m_candAddress = QHostAddress(m_candText.left(colon));
        m_candPort = quint16(m_candText.mid(colon + 1).toUInt());
    }
    m_punchAcked = false;
    m_punchStart = m_run.nowMs();
    m_lastPunch = 0;
    m_measureSent = 0;
    m_measureAt.clear();
    m_samples.clear();
    enter(State::Punching);
}

void Client::report(bool ok, int rtt)
{
    QJsonObject r{{"type", "ping_report"}, {"match", m_match}, {"ok", ok}, {"rtt_ms", rtt}};
    if (ok)
        r.insert("remote", m_candText);
    send(r);
    enter(State::Reported);
}

void Client::onPacket(const QByteArray &data, const QHostAddress &from, quint16 port, bool viaTunnel)
{
    auto answer = [&](const QByteArray &b) {
        if (viaTunnel)
            sendTunnel(b);
        else if (m_udp)
            m_udp->writeDatagram(b, from, port);
    };
    if (!data.startsWith('{')) {
        if (m_state == State::Flooding || m_kind != Kind::Player) {
            ++m_floodReceived;
            return;
        }
        // Game packets: "G", the match, a colon and the number.
        if (data.startsWith('G') && data.mid(1, m_match.size()) == m_match.toLatin1())
            ++m_gameReceived;
        return;
    }
    QJsonObject o = QJsonDocument::fromJson(data).object();
    const QString type = o.value("type").toString();
    if (type == "hello_ack") {
        m_udpHelloAcked = true;
        return;
    }
    if (m_key.isEmpty() || o.value("match").toString() != m_match || o.value("key").toString() != m_key)
        return;
    if (type == "punch" || type == "ping") {
        o.insert("type", type == "punch" ? "punch_ack" : "pong");
        o.insert("side", m_side);
        answer(compact(o));
    } else if (type == "punch_ack" && m_state == State::Punching) {
        m_punchAcked = true;
        m_lastMeasure = 0;
        enter(State::Measuring);
    } else if (type == "pong" && m_state == State::Measuring) {
        const int seq = o.value("seq").toInt(-1);
        if (const auto it = m_measureAt.constFind(seq); it != m_measureAt.constEnd()) {
            m_samples.append(int((m_run.nowNs() - *it) / 1000000));
            m_measureAt.erase(it);
        }
    }
}

void Client::matchOver(const QJsonObject &result)
{
    const QString status = result.value("status").toString();
    ++m_matchesDone;
    m_matchMs.push_back(m_run.nowMs() - m_searchAt);
    m_gameSentTotal += m_gameSent;
    const int p = m_goPath == "tunnel" ? 2 : m_goPath == "relay" ? 1 : 0;
    m_gameLostOn[p] += qMax(0, m_run.settings.packets - m_gameReceived);
    if (status == "agreed") {
        ++m_completed;
        ++m_completedOn[p];
    } else {
        ++m_outcomes[status];
    }
    m_match.clear();
    m_lastCancel.clear();
    m_resultId = -1;
    if (m_matchesDone >= m_run.settings.matches) {
        // Done with the series too, as a player who closes the result screen.
        if (!m_series.isEmpty())
            send({{"type", "series_ready"}, {"series", m_series}, {"ready", false}});
        enter(State::Done);
    } else {
        search();
    }
}

void Client::nextWrongPassword()
{
    // Unknown names cost the server the same hashing as wrong passwords for real ones.
    ++m_wrongTries;
    send({{"type", "login"},
          {"name", QStringLiteral("nobody%1x%2").arg(m_index).arg(m_wrongSerial++ % 8)},
          {"password", QStringLiteral("guess%1").arg(m_wrongSerial)}});
}

void Client::tick(qint64 now)
{
    if (m_state == State::Waiting) {
        if (now >= m_startAt) {
            if (m_kind == Kind::IdleTls)
                enter(State::Flooding);
            else
                connectServer();
            m_nextPingAt = now + (m_index * 37) % qMax(1, m_run.settings.pingMs);
        }
        return;
    }
    if (settled() && m_kind != Kind::Player)
        return;
    if (m_kind != Kind::Player)
        hostileTick(now);
    if (m_kind != Kind::Player && m_kind != Kind::RelayFlood && m_kind != Kind::TunnelFlood)
        return;
    if (m_kind == Kind::Player && m_tcp && m_tcp->isEncrypted() && now >= m_nextPingAt) {
        m_pingSent.insert(send({{"type", "ping"}}), m_run.nowNs());
        m_nextPingAt += m_run.settings.pingMs;
        if (m_nextPingAt < now)
            m_nextPingAt = now + m_run.settings.pingMs;
    }
    if (settled() || m_state == State::Flooding)
        return;
    if (m_resendAt >= 0 && now >= m_resendAt) {
        ++m_retries;
        m_pendingId = send(m_pending);
        m_resendAt = -1;
    }
    // No step of a match waits this long on a server that serves its clients.
    if (now - m_stateAt > 30000 && m_state == State::Searching &&
        (m_lastCancel == "punch_failed" || m_lastCancel == "ping_timeout"))
        return fail(QStringLiteral("still searching 30 s after a match called off with %1 (the server keeps "
                                   "that pair apart for 2 minutes, and each pair searches alone)")
                        .arg(m_lastCancel));
    if (now - m_stateAt > 30000)
        return fail(
            QStringLiteral("stalled %1 s while %2").arg((now - m_stateAt) / 1000).arg(stateName(m_state)));
    switch (m_state) {
    case State::Accepted:
        if (m_path != Path::Tunnel && m_udp && !m_udpHelloAcked && now - m_lastHelloAt >= 200) {
            m_lastHelloAt = now;
            m_udp->writeDatagram(
                compact({{"type", "hello"},
                         {"token", m_udpToken},
                         {"match", m_match},
                         {"lan", QStringLiteral("%1:%2").arg(m_source.toString()).arg(m_udp->localPort())},
                         {"t", int(now)}}),
                QHostAddress::LocalHost, m_run.udpPort());
        }
        break;
    case State::Punching:
        if (now - m_punchStart > 8000) {
            report(false, 0);
        } else if (now - m_lastPunch >= 100) {
            m_lastPunch = now;
            sendPath(compact({{"type", "punch"}, {"match", m_match}, {"key", m_key}, {"side", m_side}}));
        }
        break;
    case State::Measuring:
        if (m_measureSent < 3 && now - m_lastMeasure >= 50) {
            m_lastMeasure = now;
            m_measureAt.insert(m_measureSent, m_run.nowNs());
            sendPath(compact({{"type", "ping"},
                              {"match", m_match},
                              {"key", m_key},
                              {"seq", m_measureSent},
                              {"t", int(now)}}));
            ++m_measureSent;
        } else if (m_samples.size() >= 3 || (m_measureSent >= 3 && now - m_lastMeasure > 1000)) {
            std::sort(m_samples.begin(), m_samples.end());
            if (m_samples.isEmpty())
                report(false, 0);
            else
                report(true, qMax(1, m_samples[m_samples.size() / 2]));
        }
        break;
    case State::Playing:
        if (m_gameSent < m_run.settings.packets && now - m_lastGame >= m_run.settings.packetMs) {
            m_lastGame = now;
            const QByteArray packet = "G" + m_match.toLatin1() + ":" + QByteArray::number(m_gameSent++);
            if (m_goPath == "tunnel")
                sendTunnel(packet);
            else if (m_udp)
                m_udp->writeDatagram(packet, m_candAddress, m_candPort);
        } else if (m_gameSent >= m_run.settings.packets &&
                   (m_gameReceived >= m_run.settings.packets || now - m_goAt > 3000)) {
            // Both report side 1 winning two rounds to one, so the result is agreed.
            m_resultId = send({{"type", "result"},
                               {"match", m_match},
                               {"winner", 1},
                               {"p1_rounds", 2},
                               {"p2_rounds", 1},
                               {"p1_char", "-"},
                               {"p2_char", "-"}});
            enter(State::Resulting);
        }
        break;
    default:
        break;
    }
}

void Client::hostileTick(qint64 now)
{
    switch (m_kind) {
    case Kind::RequestFlood: {
        if (m_state != State::Flooding || !m_tcp || m_tcp->bytesToWrite() > 64 * 1024)
            return;
        static const QJsonObject kinds[] = {
            QJsonObject{{"type", "online"}},
            QJsonObject{{"type", "profile"}},
            QJsonObject{{"type", "leaderboard"}, {"by", "elo"}, {"game", "orx"}, {"mode", "versus"}},
            QJsonObject{{"type", "lobby_list"}},
            QJsonObject{{"type", "crash_report"}, {"game", "orx"}, {"text", "flood"}},
            QJsonObject{{"type", "queue_join"}, {"game", "orx"}, {"mode", "flood"}},
            QJsonObject{{"type", "queue_leave"}},
            QJsonObject{{"type", "ping"}},
        };
        for (int i = 0; i < 5; ++i, ++m_flooded)
            send(kinds[m_flooded % 8]);
        return;
    }
    case Kind::RelayFlood: {
        if (m_state != State::Flooding)
            return;
        if (m_udp) {
            const QByteArray junk(1000, 'F');
            for (int i = 0; i < 10; ++i, ++m_flooded)
                m_udp->writeDatagram(junk, m_candAddress, m_candPort);
        }
        // And from a port no match knows, which the relay must drop.
        if (!m_stranger) {
            m_stranger = new QUdpSocket;
            m_stranger->bind(m_source, 0);
        }
        for (int i = 0; i < 5; ++i, ++m_strangerSent)
            m_stranger->writeDatagram(QByteArray(200, 'S'), QHostAddress::LocalHost, m_run.udpPort());
        return;
    }
    case Kind::TunnelFlood:
        if (m_state != State::Flooding || !m_tcp)
            return;
        for (int i = 0; i < 10 && m_tcp->bytesToWrite() < 256 * 1024; ++i, ++m_flooded)
            sendTunnel(QByteArray(1500, char('A' + i)));
        return;
    case Kind::IdleTls: {
        // Connections that never start their handshake, one every 200 ms, up to 24 held.
        std::erase_if(m_idle, [this, now](auto &e) {
            if (e.first && e.first->state() != QAbstractSocket::UnconnectedState)
                return false;
            if (now - e.second < 2000)
                ++m_idleRefused;
            else
                ++m_idleTimedOut;
            if (e.first)
                e.first->deleteLater();
            return true;
        });
        if (m_idle.size() < 24 && now - m_lastIdleAt >= 200) {
            m_lastIdleAt = now;
            auto *s = new QTcpSocket;
            s->bind(m_source, 0);
            s->connectToHost(QHostAddress::LocalHost, m_run.tcpPort());
            m_idle.emplace_back(s, now);
            ++m_idleOpened;
        }
        return;
    }
    case Kind::WrongPassword:
    case Kind::Oversize:
        if (!m_tcp && now >= m_reconnectAt)
            connectServer();
        return;
    case Kind::Player:
        return;
    }
}

void Client::collect(Figures &f, qint64 now) const
{
    switch (m_kind) {
    case Kind::Player: {
        f.signedIn += m_signedIn;
        f.finished += m_state == State::Done;
        if (m_state == State::Failed)
            ++f.failures[m_failure];
        else if (m_state != State::Done)
            ++f.failures[QStringLiteral("not finished in time (%1)").arg(stateName(m_state))];
        if (m_countsMatches) {
            f.completed += m_completed;
            for (int i = 0; i < 3; ++i)
                f.completedOn[i] += m_completedOn[i];
            for (const auto &[k, v] : m_outcomes)
                f.outcomes[k] += v;
        }
        if (m_countsMatches) {
            f.cancelled += m_cancelled;
            for (const auto &[k, v] : m_cancelledFor)
                f.cancelledFor[k] += v;
        }
        f.matchMs.insert(f.matchMs.end(), m_matchMs.begin(), m_matchMs.end());
        for (const auto &[k, v] : m_slowDowns)
            f.slowDowns[k] += v;
        f.retries += m_retries;
        f.gameSent += m_gameSentTotal;
        for (int i = 0; i < 3; ++i) {
            f.gameLost += m_gameLostOn[i];
            f.lostOn[i] += m_gameLostOn[i];
        }
        for (const auto &[at, us] : m_pings) {
            f.pingsUs.push_back(us);
            if (at >= m_run.steadyFromNs())
                f.steadyPingsUs.push_back(us);
        }
        // A ping still unanswered after two seconds counts as lost.
        for (const qint64 at : m_pingSent)
            f.pingsLost += (now * 1000000 - at) > 2000000000LL;
        return;
    }
    case Kind::RequestFlood:
        f.requestsFlooded += m_flooded;
        f.requestsSlowed += m_slowed;
        return;
    case Kind::RelayFlood:
        f.relayFlooded += m_flooded;
        f.strangerPackets += m_strangerSent;
        f.floodReceived += m_floodReceived;
        return;
    case Kind::TunnelFlood:
        f.tunnelFlooded += m_flooded;
        f.floodReceived += m_floodReceived;
        return;
    case Kind::IdleTls:
        f.idleOpened += m_idleOpened;
        f.idleRefused += m_idleRefused;
        f.idleTimedOut += m_idleTimedOut;
        return;
    case Kind::WrongPassword:
        f.wrongTries += m_wrongTries;
        for (const auto &[k, v] : m_wrongAnswers)
            f.wrongAnswers[k] += v;
        return;
    case Kind::Oversize:
        f.oversizeSent += m_oversizeSent;
        f.oversizeDropped += m_oversizeDropped;
        return;
    }
}

// -- Run ------------------------------------------------------------------------------------------

bool Run::start(QString *error)
{
    if (!m_data.isValid()) {
        *error = "no temporary folder";
        return false;
    }
    // TLS, throttling and rate limits as shipped; only the password hashing is set here, and the
    // cap of open connections for runs with more clients than it allows.
    QStringList options{"--tls", "--throttle", "--kdf-iterations", QString::number(settings.kdfIterations)};
    if (settings.maxConnections > 0)
        options << "--max-connections" << QString::number(settings.maxConnections);
    return server.start(m_data.path(), options, error);
}

Figures Run::play(qint64 limitMs)
{
    Figures f;
    f.ran = true;
    const qint64 pid = server.pid();
    clock.start();
    const double cpu0 = processCpuSeconds(pid), own0 = ownCpuSeconds();
    const qint64 udpDrops0 = udpReceiveBufferErrors();

    // Well-behaved pairs: pair k plays on path k % 3 in a mode of its own, so it is paired
    // with its partner and the paths share the load evenly. Connections start 5 ms apart.
    const int n = settings.clients;
    int index = 0;
    for (int i = 0; i < n; ++i, ++index) {
        const int pair = i / 2;
        auto c = std::make_unique<Client>(*this, index, Kind::Player, Path(pair % 3),
                                          QStringLiteral("load-%1").arg(pair), sourceAddress(1, i / 8),
                                          qint64(i) * 5);
        c->setCountsMatches(i % 2 == 0);
        m_clients.push_back(std::move(c));
    }
    f.players = n;
    f.matchesWanted = n / 2 * settings.matches;
    if (m_withHostile) {
        const int h = int(settings.hostileShare * n + 0.5);
        int count[HostileKinds] = {}, kinds = 0;
        for (int k = 0; k < HostileKinds; ++k)
            kinds += settings.kinds[k];
        for (int k = 0, nth = 0; k < HostileKinds && kinds > 0; ++k) {
            if (settings.kinds[k])
                count[k] = h / kinds + (nth++ < h % kinds ? 1 : 0);
        }
        // The flooding kinds come in pairs that play a match and then flood each other; an odd one
        // left over floods requests instead (or is left out).
        for (int k : {1, 2}) {
            if (settings.kinds[0])
                count[0] += count[k] % 2;
            count[k] -= count[k] % 2;
        }
        int hostileIndex = 0;
        for (int k = 0; k < HostileKinds; ++k) {
            const Kind kind = Kind(k + 1);
            for (int j = 0; j < count[k]; ++j, ++index, ++hostileIndex) {
                const Path path = kind == Kind::TunnelFlood ? Path::Tunnel : Path::Relay;
                auto c = std::make_unique<Client>(*this, index, kind, path,
                                                  QStringLiteral("flood-%1-%2").arg(k).arg(j / 2),
                                                  sourceAddress(2, hostileIndex), qint64(j) * 25);
                c->setCountsMatches(j % 2 == 0);
                m_clients.push_back(std::move(c));
            }
            f.hostileOf[k + 1] = count[k];
            f.hostile += count[k];
        }
    }
    QEventLoop loop;
    QTimer ticker;
    ticker.setInterval(10);
    qint64 lastTickNs = nowNs();
    QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
        const qint64 now = nowMs();
        f.loopLagUs.push_back(qMax<qint64>(0, (nowNs() - lastTickNs) / 1000 - 10000));
        lastTickNs = nowNs();
        bool allSettled = true, allSignedIn = true;
        for (auto &c : m_clients) {
            c->tick(now);
            if (c->kind() == Kind::Player && !c->settled())
                allSettled = false;
            if (c->kind() == Kind::Player && !c->signedIn() && !c->settled())
                allSignedIn = false;
        }
        if (allSignedIn && m_steadyFromNs == std::numeric_limits<qint64>::max())
            m_steadyFromNs = nowNs();
        if (now / 1000 >= qint64(f.rssKbEachSecond.size()))
            f.rssKbEachSecond.push_back(statusKb(pid, "VmRSS"));
        if (allSettled || now > limitMs || !server.running())
            loop.quit();
    });
    ticker.start();
    loop.exec();
    ticker.stop();

    const qint64 end = nowMs();
    f.seconds = double(end) / 1000.0;
    f.serverUp = server.running();
    if (f.serverUp) {
        f.serverCpu = processCpuSeconds(pid) - cpu0;
        f.peakKb = statusKb(pid, "VmHWM");
        f.rssKb = statusKb(pid, "VmRSS");
    }
    f.benchCpu = ownCpuSeconds() - own0;
    f.udpBufferDrops = udpReceiveBufferErrors() - udpDrops0;
    for (const auto &c : m_clients)
        c->collect(f, end);
    m_clients.clear();
    if (f.serverUp) {
        // The server's own counts once the clients are gone.
        server.command("online");
        static const QRegularExpression re("orx-server: online (\\{[^\\n]*\\})");
        QRegularExpressionMatch m;
        orxtest::waitUntil([&] { return (m = re.match(server.output())).hasMatch(); }, 5000);
        f.online = QJsonDocument::fromJson(m.captured(1).toUtf8()).object();
    }
    f.cleanStop = server.stop();
    const QString log = server.errors();
    for (const char *what :
         {"refused a connection", "no TLS handshake in time", "line too long", "asked to slow down",
          "the excess is dropped", "does not read what it is sent", "silent for"})
        f.logged[what] = int(log.count(QString::fromLatin1(what)));
    return f;
}

// -- Report ---------------------------------------------------------------------------------------

void row(const char *label, const QString &a, const QString &b)
{
    std::printf("  %-44s %18s %18s\n", label, qPrintable(a), qPrintable(b));
}

QString num(double v, int decimals = 0)
{
    return QString::number(v, 'f', decimals);
}

void printFigures(const Figures &ref, const Figures &hos)
{
    auto both = [&](const char *label, const std::function<QString(const Figures &)> &get) {
        row(label, ref.ran ? get(ref) : "-", hos.ran ? get(hos) : "-");
    };
    std::printf("\n");
    row("", "reference", "with hostile");
    both("well-behaved clients", [](const Figures &f) { return num(f.players); });
    both("hostile clients", [](const Figures &f) { return num(f.hostile); });
    for (int k = 1; k <= HostileKinds; ++k) {
        const QByteArray label = QByteArray("  ") + KindNames[k];
        both(label.constData(), [k](const Figures &f) { return num(f.hostileOf[k]); });
    }
    both("signed in",
         [](const Figures &f) { return QStringLiteral("%1/%2").arg(f.signedIn).arg(f.players); });
    both("finished every match",
         [](const Figures &f) { return QStringLiteral("%1/%2").arg(f.finished).arg(f.players); });
    both("matches completed (agreed)",
         [](const Figures &f) { return QStringLiteral("%1/%2").arg(f.completed).arg(f.matchesWanted); });
    for (int p = 0; p < 3; ++p) {
        const QByteArray label = QByteArray("  through ") + PathNames[p];
        both(label.constData(), [p](const Figures &f) { return num(f.completedOn[p]); });
    }
    both("match time p50/p99 ms, search to verdict", [](const Figures &f) {
        return QStringLiteral("%1/%2").arg(percentileUs(f.matchMs, 0.5)).arg(percentileUs(f.matchMs, 0.99));
    });
    both("matches with another result", [](const Figures &f) {
        int n = 0;
        for (const auto &[k, v] : f.outcomes)
            n += v;
        return num(n);
    });
    both("matches called off (then played again)", [](const Figures &f) { return num(f.cancelled); });
    both("failed clients", [](const Figures &f) {
        int n = 0;
        for (const auto &[k, v] : f.failures)
            n += v;
        return num(n);
    });
    both("game packets sent / lost",
         [](const Figures &f) { return QStringLiteral("%1/%2").arg(f.gameSent).arg(f.gameLost); });
    both("  lost through direct / relay / tunnel", [](const Figures &f) {
        return QStringLiteral("%1/%2/%3").arg(f.lostOn[0]).arg(f.lostOn[1]).arg(f.lostOn[2]);
    });
    both("UDP datagrams dropped, receive buffer full",
         [](const Figures &f) { return num(double(f.udpBufferDrops)); });
    both("pings answered / lost",
         [](const Figures &f) { return QStringLiteral("%1/%2").arg(f.pingsUs.size()).arg(f.pingsLost); });
    both("ping median ms", [](const Figures &f) { return num(percentileUs(f.pingsUs, 0.5) / 1000.0, 2); });
    both("ping 99th percentile ms",
         [](const Figures &f) { return num(percentileUs(f.pingsUs, 0.99) / 1000.0, 2); });
    both("ping max ms", [](const Figures &f) { return num(percentileUs(f.pingsUs, 1.0) / 1000.0, 2); });
    both("once all signed in: pings", [](const Figures &f) { return num(double(f.steadyPingsUs.size())); });
    both("  median ms", [](const Figures &f) { return num(percentileUs(f.steadyPingsUs, 0.5) / 1000.0, 2); });
    both("  99th percentile ms",
         [](const Figures &f) { return num(percentileUs(f.steadyPingsUs, 0.99) / 1000.0, 2); });
    both("benchmark loop lag 99th percentile / max ms", [](const Figures &f) {
        return QStringLiteral("%1/%2").arg(num(percentileUs(f.loopLagUs, 0.99) / 1000.0, 1),
                                           num(percentileUs(f.loopLagUs, 1.0) / 1000.0, 1));
    });
    both("slow_down answers to well-behaved", [](const Figures &f) {
        int n = 0;
        QStringList by;
        for (const auto &[k, v] : f.slowDowns) {
            n += v;
            by << QStringLiteral("%1 %2").arg(v).arg(k);
        }
        return by.isEmpty() ? QStringLiteral("0") : QStringLiteral("%1 (%2)").arg(n).arg(by.join(", "));
    });
    both("wall time s", [](const Figures &f) { return num(f.seconds, 1); });
    both("server CPU s (user+system)", [](const Figures &f) { return num(f.serverCpu, 2); });
    both("server CPU % of one core",
         [](const Figures &f) { return num(100.0 * f.serverCpu / qMax(0.001, f.seconds), 0); });
    both("server peak memory MiB (VmHWM)", [](const Figures &f) { return num(f.peakKb / 1024.0, 1); });
    both("server memory at the end MiB (VmRSS)", [](const Figures &f) { return num(f.rssKb / 1024.0, 1); });
    both("  at a quarter, half, three quarters of the run", [](const Figures &f) {
        const auto &v = f.rssKbEachSecond;
        if (v.empty())
            return QString("-");
        auto at = [&](double q) {
            return num(v[std::min(v.size() - 1, size_t(q * double(v.size())))] / 1024.0, 0);
        };
        return QStringLiteral("%1/%2/%3").arg(at(0.25), at(0.5), at(0.75));
    });
    both("server player records at the end",
         [](const Figures &f) { return num(f.online.value("records").toInt()); });
    both("benchmark's own CPU s", [](const Figures &f) { return num(f.benchCpu, 2); });
    both("server up, stopped cleanly", [](const Figures &f) {
        return QStringLiteral("%1, %2").arg(f.serverUp ? "yes" : "NO", f.cleanStop ? "yes" : "NO");
    });
    if (hos.ran && hos.hostile > 0) {
        std::printf("\n  hostile clients against the server:\n");
        std::printf("    request floods: %lld requests, %lld answered slow_down\n", hos.requestsFlooded,
                    hos.requestsSlowed);
        std::printf(
            "    relay floods: %lld packets of 1000 bytes, %lld from unknown ports; tunnel floods: %lld "
            "packets of 1500 bytes; floods received by the flooders: %lld\n",
            hos.relayFlooded, hos.strangerPackets, hos.tunnelFlooded, hos.floodReceived);
        std::printf("    idle TLS: %d connections opened, %d closed within 2 s (refused), %d dropped later "
                    "(handshake time limit)\n",
                    hos.idleOpened, hos.idleRefused, hos.idleTimedOut);
        QStringList answers;
        for (const auto &[k, v] : hos.wrongAnswers)
            answers << QStringLiteral("%1 %2").arg(v).arg(k);
        std::printf("    wrong passwords: %d tries, answered %s\n", hos.wrongTries,
                    qPrintable(answers.join(", ")));
        std::printf("    oversize lines: %d sent, %d connections dropped\n", hos.oversizeSent,
                    hos.oversizeDropped);
    }
    for (const Figures *f : {&ref, &hos}) {
        if (!f->ran)
            continue;
        QStringList logged;
        for (const auto &[k, v] : f->logged) {
            if (v > 0)
                logged << QStringLiteral("\"%1\" %2").arg(k).arg(v);
        }
        std::printf("\n  %s run, server log: %s\n", f == &ref ? "reference" : "hostile",
                    logged.isEmpty() ? "nothing about misbehaving clients" : qPrintable(logged.join(", ")));
        for (const auto &[k, v] : f->failures)
            std::printf("    %d well-behaved clients failed: %s\n", v, qPrintable(k));
        for (const auto &[k, v] : f->outcomes)
            std::printf("    %d matches ended %s\n", v, qPrintable(k));
        for (const auto &[k, v] : f->cancelledFor)
            std::printf("    %d matches called off: %s\n", v, qPrintable(k));
    }
}

bool served(const Figures &f)
{
    return f.ran && f.serverUp && f.cleanStop && f.finished == f.players && f.completed == f.matchesWanted;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Settings s;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString k = args[i], v = args[i + 1];
        if (k == "--clients")
            s.clients = qMax(2, v.toInt() / 2 * 2);
        else if (k == "--hostile")
            s.hostileShare = qBound(0.0, v.toDouble(), 4.0);
        else if (k == "--matches")
            s.matches = qMax(1, v.toInt());
        else if (k == "--time")
            s.timeLimitS = qMax(10, v.toInt());
        else if (k == "--ping-ms")
            s.pingMs = qMax(10, v.toInt());
        else if (k == "--kinds") {
            const QStringList names = v.split(',');
            for (int j = 0; j < HostileKinds; ++j)
                s.kinds[j] = names.contains(QLatin1String(KindOptions[j]));
        } else if (k == "--packet-ms")
            s.packetMs = qMax(1, v.toInt());
        else if (k == "--packets")
            s.packets = qMax(1, v.toInt());
        else if (k == "--kdf-iterations")
            s.kdfIterations = qMax(1, v.toInt());
        else if (k == "--max-connections")
            s.maxConnections = qMax(0, v.toInt());
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(k));
            return 1;
        }
    }
    if (args.size() % 2 == 0) {
        std::fprintf(stderr, "option %s needs a value\n", qPrintable(args.last()));
        return 1;
    }
    std::printf(
        "orx-server load: %d well-behaved clients (%d pairs, paths direct/relay/tunnel in turn), %d "
        "matches each, %d game packets a side, a ping every %d ms; PBKDF2 %d rounds; time limit %d s\n",
        s.clients, s.clients / 2, s.matches, s.packets, s.pingMs, s.kdfIterations, s.timeLimitS);
    std::fflush(stdout);

    QElapsedTimer total;
    total.start();
    const qint64 budget = qint64(s.timeLimitS) * 1000;
    Figures figures[2];
    for (int r = 0; r < 2; ++r) {
        Run run(s, r == 1);
        QString error;
        if (!run.start(&error)) {
            std::fprintf(stderr, "orx-server did not start: %s\n", qPrintable(error));
            return 1;
        }
        // The reference gets half of what is left, the hostile run the rest (less a margin to stop).
        const qint64 left = budget - total.elapsed() - 5000;
        figures[r] = run.play(r == 0 ? left / 2 : left);
        std::printf("%s run: %.1f s\n", r == 0 ? "reference" : "hostile", figures[r].seconds);
        std::fflush(stdout);
    }
    printFigures(figures[0], figures[1]);
    std::fflush(stdout);
    return served(figures[0]) && served(figures[1]) ? 0 : 2;
}
