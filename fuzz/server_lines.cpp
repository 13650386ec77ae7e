// orx-server's line handler under hostile clients: a real server on loopback, real TCP clients,
// each input line written as it is (so framing, JSON parsing, the dispatch and the handlers all
// run). One build per message family; the family decides who is signed in when the lines arrive:
//   session  a fresh connection per input, not greeted: hello, register, login, auth, logout, ping
//   queries  player A signed in: profile, leaderboard, online, crash, desync and pick reports
//   match    players A and B signed in: searches, accept, paths, results, series, tunnel, feed
//   lobby    players A and B signed in: lobbies of every kind, ready, rate, watching
//   report   player A signed in: F3 report parts (report_file, report_done)
// A line that starts with a tab goes to B (the server trims it away); all others go to A. The ids
// the server made up are echoed as a launcher would: "@M", "@S" and "@L" in a line become the
// latest match, series and lobby id either player was sent. After
// the input every connection used gets a ping with a fresh id, and the input is done when each
// pong came back or the server closed that connection. Players stay signed in across inputs (a
// server lives long), and sign in again when an input signed them out.

#include "fuzzapp.h"
#include "options.h"
#include "server.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <memory>

namespace {

#if defined(ORX_FUZZ_FAMILY_SESSION)
constexpr int Players = 0;
#elif defined(ORX_FUZZ_FAMILY_MATCH) || defined(ORX_FUZZ_FAMILY_LOBBY)
constexpr int Players = 2;
#else
constexpr int Players = 1;
#endif

qint64 g_nextId = 1LL << 40; // above what inputs tend to use

// The latest ids the server handed out, by placeholder.
QByteArray g_match = "m1", g_series = "s1", g_lobby = "AB1CD";

void noteIds(const QByteArray &line)
{
    if (!line.contains("\"match\"") && !line.contains("\"series\"") && !line.contains("\"lobby\""))
        return;
    const QJsonObject msg = QJsonDocument::fromJson(line).object();
    const QString type = msg.value("type").toString();
    if (type.startsWith("match_") && msg.value("match").isString())
        g_match = msg.value("match").toString().toUtf8();
    if ((type == "series" || type == "match_found") && msg.value("series").isString())
        g_series = msg.value("series").toString().toUtf8();
    if (type == "lobby" && msg.value("lobby").toObject().value("id").isString())
        g_lobby = msg.value("lobby").toObject().value("id").toString().toUtf8();
}

class Client {
public:
    explicit Client(quint16 port) : m_port(port) {}

    bool connect()
    {
        m_socket = std::make_unique<QTcpSocket>();
        m_socket->connectToHost(QHostAddress::LocalHost, m_port);
        m_buffer.clear();
        return fuzz::pumpUntil([this] { return m_socket->state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    bool open() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }
    void write(const QByteArray &line)
    {
        if (open())
            m_socket->write(line + '\n');
    }
    void send(QJsonObject msg) { write(QJsonDocument(msg).toJson(QJsonDocument::Compact)); }

    // A request and its answer (the reply with the same id); empty when the connection ended.
    QJsonObject request(QJsonObject msg)
    {
        const qint64 id = g_nextId++;
        msg.insert("id", id);
        send(msg);
        QJsonObject answer;
        fuzz::pumpUntil(
            [&] {
                answer = takeReply(id);
                return !answer.isEmpty() || !open();
            },
            30000);
        return answer;
    }

    // Sends the sync ping; done() tells when its pong (or the end of the connection) came.
    void sync()
    {
        m_syncId = g_nextId++;
        m_synced = false;
        send(QJsonObject{{"type", "ping"}, {"id", m_syncId}});
    }
    bool synced()
    {
        if (!m_synced)
            m_synced = !takeReply(m_syncId).isEmpty() || !open();
        return m_synced;
    }
    void close()
    {
        if (m_socket)
            m_socket->abort();
        m_socket.reset();
    }

private:
    // Reads what came and returns the reply carrying `id`, dropping every line before it.
    QJsonObject takeReply(qint64 id)
    {
        if (!m_socket)
            return {};
        m_buffer += m_socket->readAll();
        const QByteArray marker = "\"id\":" + QByteArray::number(id);
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(nl);
            m_buffer.remove(0, nl + 1);
            noteIds(line);
            if (line.contains(marker))
                return QJsonDocument::fromJson(line).object();
        }
        return {};
    }

    quint16 m_port;
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
    qint64 m_syncId = -1;
    bool m_synced = true;
};

struct Player {
    QString name;
    QString token;
    std::unique_ptr<Client> client;
    bool checked = false; // signed in, and no input since could have changed that
};

Server *g_server = nullptr;
Player g_players[2];

// Connected, greeted and signed in: by token while the session lasts, else by password.
bool signIn(Player &p)
{
    if (p.checked && p.client && p.client->open())
        return true;
    p.checked = false;
    if (!p.client || !p.client->open()) {
        p.client = std::make_unique<Client>(g_server->tcpPort());
        if (!p.client->connect())
            return false;
        const QJsonObject welcome =
            p.client->request({{"type", "hello"}, {"proto", 1}, {"version", "0.1.8"}, {"os", "linux"}});
        if (welcome.value("type").toString() != "welcome")
            return false;
    }
    if (!p.token.isEmpty() &&
        p.client->request({{"type", "auth"}, {"token", p.token}}).value("type").toString() == "account")
        return p.checked = true;
    QJsonObject answer = p.client->request({{"type", "login"}, {"name", p.name}, {"password", "secret-1"}});
    if (answer.value("type").toString() != "account")
        answer = p.client->request({{"type", "register"}, {"name", p.name}, {"password", "secret-1"}});
    p.token = answer.value("token").toString();
    return p.checked = answer.value("type").toString() == "account";
}

Server *startServer()
{
    fuzz::app();
    ServerOptions options;
    options.tls = false;
    options.port = 0;
    options.udpPort = 0;
    options.dataDir = fuzz::workDir();
    options.dbFile = QDir(options.dataDir).filePath("orx-server.db");
    // Hostile clients are what is fuzzed here, not the limits that slow them: with the limits on,
    // nearly every line would be answered "slow_down" and reach no handler.
    options.throttle = false;
    options.rateLimit = false;
    options.kdfIterations = 1000;
    options.kdfThreads = 1;
    options.maxPerAddress = options.maxConnections;
    options.reportLimitMb = 4;
    options.reportBudgetMb = 64;
    options.updateFile = QDir(options.dataDir).filePath("update.json");
    auto *server = new Server(options);
    QString error;
    if (!server->start(&error)) {
        fprintf(stderr, "fuzz: the server did not start: %s\n", qPrintable(error));
        abort();
    }
    return server;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_server = startServer();
    g_players[0].name = "fuzz_ann";
    g_players[1].name = "fuzz_bob";
    for (int i = 0; i < Players; ++i) {
        if (!signIn(g_players[i])) {
            fprintf(stderr, "fuzz: %s could not sign in\n", qPrintable(g_players[i].name));
            abort();
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> lines = fuzz::lines(data, size);
    Client *to[2] = {nullptr, nullptr};
    std::unique_ptr<Client> fresh;
    if (Players == 0) {
        fresh = std::make_unique<Client>(g_server->tcpPort());
        if (!fresh->connect())
            abort();
        to[0] = to[1] = fresh.get();
    } else {
        for (int i = 0; i < Players; ++i) {
            if (!signIn(g_players[i]))
                abort();
            to[i] = g_players[i].client.get();
        }
        if (Players == 1)
            to[1] = to[0];
    }
    bool used[2] = {false, false};
    for (QByteArray line : lines) {
        const int who = line.startsWith('\t') ? 1 : 0;
        line.replace("@M", g_match).replace("@S", g_series).replace("@L", g_lobby);
        // Any of these may sign the connection out or in as someone else: checked again next time.
        if (Players > 0 && (line.contains("log") || line.contains("auth") || line.contains("register") ||
                            line.contains("\\u")))
            g_players[qMin(who, Players - 1)].checked = false;
        to[who]->write(line);
        used[who] = true;
    }
    used[0] = true;
    for (int i = 0; i < 2; ++i) {
        if (used[i] && (i == 0 || to[1] != to[0]))
            to[i]->sync();
    }
    // A connection whose answers never come back is a hang: libFuzzer's -timeout reports it.
    fuzz::pumpUntil([&] { return to[0]->synced() && to[1]->synced(); }, 1 << 30);
    if (fresh)
        fresh->close();
    return 0;
}
