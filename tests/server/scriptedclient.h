#pragma once
// Scripted clients for orx-server: starts the server process and talks to it over real TCP, TLS
// and UDP sockets the way a launcher does. Header-only so other test programs can reuse it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <csignal>
#include <functional>
#include <memory>

namespace orxtest {

// Deadlines stretch on a slow machine: ORX_TEST_TIME_SCALE multiplies them.
inline int scaled(int ms)
{
    const double f = qEnvironmentVariableIsSet("ORX_TEST_TIME_SCALE")
                         ? qEnvironmentVariable("ORX_TEST_TIME_SCALE").toDouble()
                         : 1.0;
    return int(ms * (f > 0 ? f : 1.0));
}

// Runs the event loop until the condition holds or the deadline passes.
inline bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    const int limit = scaled(timeoutMs);
    while (!cond()) {
        if (t.elapsed() > limit)
            return false;
        QTest::qWait(5);
    }
    return true;
}

// One orx-server process on free ports with its own data folder.
class ServerProcess {
public:
    ~ServerProcess() { kill(); }

    // Starts the server with "--port 0 --udp-port 0 --data DIR" plus the given options; unless the
    // options say otherwise it runs plain, unthrottled and with cheap password hashing.
    bool start(const QString &dataDir, QStringList extra = {}, QString *error = nullptr)
    {
        m_dataDir = dataDir;
        QStringList args{"--port", "0", "--udp-port", "0", "--data", dataDir};
        if (!extra.contains("--tls"))
            args << "--plain";
        extra.removeAll("--tls");
        if (!extra.contains("--throttle"))
            args << "--no-throttle";
        extra.removeAll("--throttle");
        if (!extra.contains("--kdf-iterations"))
            args << "--kdf-iterations"
                 << "1000";
        args += extra;
        m_out.clear();
        m_err.clear();
        m_proc = std::make_unique<QProcess>();
        QObject::connect(m_proc.get(), &QProcess::readyReadStandardOutput,
                         [this] { m_out += m_proc->readAllStandardOutput(); });
        QObject::connect(m_proc.get(), &QProcess::readyReadStandardError,
                         [this] { m_err += m_proc->readAllStandardError(); });
        m_proc->start(qEnvironmentVariable("ORX_BIN_DIR") + "/orx-server", args);
        if (!m_proc->waitForStarted(scaled(10000))) {
            if (error)
                *error = m_proc->errorString();
            return false;
        }
        static const QRegularExpression re("orx-server: listening tcp [^:]+:(\\d+) udp (\\d+)");
        QRegularExpressionMatch m;
        const bool ok = waitUntil(
            [&] {
                m = re.match(QString::fromUtf8(m_out));
                return m.hasMatch() || m_proc->state() == QProcess::NotRunning;
            },
            60000);
        if (!ok || !m.hasMatch()) {
            if (error)
                *error = QString::fromUtf8(m_err);
            return false;
        }
        tcpPort = quint16(m.captured(1).toUInt());
        udpPort = quint16(m.captured(2).toUInt());
        static const QRegularExpression fp("orx-server: certificate sha256 ([0-9A-F:]+)");
        fingerprint = fp.match(QString::fromUtf8(m_out)).captured(1);
        return true;
    }

    // SIGTERM and wait: true when the server ended by itself with exit code 0.
    bool stop()
    {
        if (!m_proc || m_proc->state() == QProcess::NotRunning)
            return m_proc && m_proc->exitStatus() == QProcess::NormalExit && m_proc->exitCode() == 0;
        m_proc->terminate();
        if (!m_proc->waitForFinished(scaled(30000))) {
            m_proc->kill();
            m_proc->waitForFinished(5000);
            return false;
        }
        m_err += m_proc->readAllStandardError();
        return m_proc->exitStatus() == QProcess::NormalExit && m_proc->exitCode() == 0;
    }

    void kill()
    {
        if (m_proc && m_proc->state() != QProcess::NotRunning) {
            m_proc->kill();
            m_proc->waitForFinished(5000);
        }
    }

#ifndef _WIN32 // orx-server runs on Linux only; the Windows test programs use the scripted peer
    // SIGINT, as a terminal's Ctrl+C would send, and wait: true for a clean exit with code 0.
    bool interrupt()
    {
        if (!running())
            return false;
        ::kill(pid_t(m_proc->processId()), SIGINT);
        if (!m_proc->waitForFinished(scaled(30000)))
            return false;
        m_err += m_proc->readAllStandardError();
        return m_proc->exitStatus() == QProcess::NormalExit && m_proc->exitCode() == 0;
    }
#endif

    bool running() const { return m_proc && m_proc->state() == QProcess::Running; }
    // The server's process id, for reading its figures from /proc (0 when not running).
    qint64 pid() const { return running() ? m_proc->processId() : 0; }
    int exitCode() const { return m_proc ? m_proc->exitCode() : -1; }
    void command(const QString &line) { m_proc->write((line + "\n").toUtf8()); }
    QString output() const { return QString::fromUtf8(m_out); }
    QString errors() const { return QString::fromUtf8(m_err); }

    // The SQLite file, for checking what the server stored (read it after stop()).
    QString databaseFile() const { return m_dataDir + "/orx-server.sqlite"; }
    // "127.0.0.1:PORT" for a plain server, as a launcher's --server takes it with "tcp://" before.
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(tcpPort); }

    quint16 tcpPort = 0;
    quint16 udpPort = 0;
    QString fingerprint;

private:
    QString m_dataDir;
    std::unique_ptr<QProcess> m_proc;
    QByteArray m_out, m_err;
};

// A scripted launcher: one TCP (or TLS) connection with line framing, plus the game port's UDP
// socket with the launcher's rendezvous (punch, ping) and the game's packets.
class ScriptedClient {
public:
    struct Candidate {
        QHostAddress address;
        quint16 port = 0;
        QString label; // "tunnel" sends through the TCP connection
    };

    explicit ScriptedClient(QString label = {}) : m_label(std::move(label)) {}
    ~ScriptedClient() { close(); }

    // `from` picks the loopback address the connection comes from (127.0.0.2 and so on), so one
    // test can play several players' addresses.
    bool connectPlain(quint16 port, const QHostAddress &from = {})
    {
        m_socket = std::make_unique<QTcpSocket>();
        wire();
        if (!from.isNull() && !m_socket->bind(from, 0))
            return false;
        m_socket->connectToHost(QHostAddress::LocalHost, port);
        return m_socket->waitForConnected(scaled(10000));
    }

    // TLS without a certificate check of its own; presentedDigest gets the server certificate's
    // SHA-256 so the caller can compare it with what the server printed.
    bool connectTls(quint16 port, QByteArray *presentedDigest)
    {
        auto *ssl = new QSslSocket;
        m_socket.reset(ssl);
        wire();
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->connectToHostEncrypted("127.0.0.1", port);
        if (!ssl->waitForEncrypted(scaled(20000))) {
            qWarning("TLS connection failed: %s", qPrintable(ssl->errorString()));
            return false;
        }
        *presentedDigest = ssl->peerCertificate().digest(QCryptographicHash::Sha256);
        return true;
    }

    void close()
    {
        if (m_socket) {
            m_socket->abort();
            m_socket.reset();
        }
        m_udp.reset();
    }
    bool connected() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }
    bool waitDisconnected(int timeoutMs = 10000)
    {
        return waitUntil([this] { return !connected(); }, timeoutMs);
    }

    int send(QJsonObject msg)
    {
        const int id = m_nextId++;
        msg.insert("id", id);
        sendRaw(QJsonDocument(msg).toJson(QJsonDocument::Compact) + "\n");
        return id;
    }
    void sendRaw(const QByteArray &bytes)
    {
        if (m_socket)
            m_socket->write(bytes);
    }
    void sendTunnel(const QByteArray &packet)
    {
        sendRaw("{\"type\":\"tunnel\",\"data\":\"" + packet.toBase64() + "\"}\n");
    }

    // The first received message of that type (and, when given, passing the check), taken out of
    // the inbox; an empty object when none came in time.
    QJsonObject waitFor(const QString &type, int timeoutMs = 10000,
                        const std::function<bool(const QJsonObject &)> &check = {})
    {
        QJsonObject found;
        waitUntil(
            [&] {
                for (qsizetype i = 0; i < m_inbox.size(); ++i) {
                    if (m_inbox[i].value("type").toString() == type && (!check || check(m_inbox[i]))) {
                        found = m_inbox.takeAt(i);
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }
    // The answer to the request with that id (an "error" or any other type); empty at once when
    // the connection is gone without it.
    QJsonObject waitReply(int id, int timeoutMs = 10000)
    {
        QJsonObject found;
        waitUntil(
            [&] {
                for (qsizetype i = 0; i < m_inbox.size(); ++i) {
                    if (m_inbox[i].value("id").toInt(-1) == id) {
                        found = m_inbox.takeAt(i);
                        return true;
                    }
                }
                return !connected();
            },
            timeoutMs);
        return found;
    }
    bool has(const QString &type) const
    {
        for (const QJsonObject &m : m_inbox) {
            if (m.value("type").toString() == type)
                return true;
        }
        return false;
    }
    QList<QJsonObject> &inbox() { return m_inbox; }

    // Stops taking what the server sends, as a launcher that hangs would: the socket's small buffer
    // fills and TCP holds the rest back at the server. resumeReading takes it all in again.
    void pauseReading()
    {
        m_paused = true;
        m_socket->setReadBufferSize(4096);
    }
    void resumeReading()
    {
        m_paused = false;
        m_socket->setReadBufferSize(0);
        readLines();
    }
    // The longest line received so far, without its line feed.
    qsizetype longestLine = 0;
    int badLines = 0; // lines that were not a JSON object

    // Session helpers.
    QJsonObject hello(const QString &version = "0.1.8", int proto = 1)
    {
        const int id = send({{"type", "hello"},
                             {"proto", proto},
                             {"client", "orx-launcher"},
                             {"version", version},
                             {"os", "linux"},
                             {"features", QJsonArray{"koth"}}});
        return waitReply(id);
    }
    QJsonObject signUp(const QString &name, const QString &password = "password1")
    {
        return account(send({{"type", "register"}, {"name", name}, {"password", password}}));
    }
    QJsonObject login(const QString &name, const QString &password = "password1")
    {
        return account(send({{"type", "login"}, {"name", name}, {"password", password}}));
    }
    QJsonObject auth(const QString &tokenText)
    {
        return account(send({{"type", "auth"}, {"token", tokenText}}));
    }

    // The game port.
    bool bindUdp()
    {
        m_udp = std::make_unique<QUdpSocket>();
        if (!m_udp->bind(QHostAddress::LocalHost, 0))
            return false;
        QObject::connect(m_udp.get(), &QUdpSocket::readyRead, [this] {
            while (m_udp && m_udp->hasPendingDatagrams()) {
                const QNetworkDatagram d = m_udp->receiveDatagram(4096);
                const QHostAddress from = d.senderAddress();
                const quint16 port = quint16(d.senderPort());
                onPacket(d.data(),
                         [this, from, port](const QByteArray &b) { m_udp->writeDatagram(b, from, port); });
            }
        });
        return true;
    }
    quint16 gamePort() const { return m_udp ? m_udp->localPort() : 0; }
    QString lanEndpoint() const { return QStringLiteral("127.0.0.1:%1").arg(gamePort()); }

    // Sends UDP hellos to the server until one is answered: the hello_ack, or empty.
    QJsonObject udpHello(quint16 serverUdpPort, const QString &match, int timeoutMs = 5000)
    {
        m_helloAck = {};
        const QByteArray hello = QJsonDocument(QJsonObject{{"type", "hello"},
                                                           {"token", udpToken},
                                                           {"match", match},
                                                           {"lan", lanEndpoint()},
                                                           {"t", 1000}})
                                     .toJson(QJsonDocument::Compact);
        waitUntil(
            [&] {
                if (!m_helloAck.isEmpty())
                    return true;
                m_udp->writeDatagram(hello, QHostAddress::LocalHost, serverUdpPort);
                QTest::qWait(50);
                return !m_helloAck.isEmpty();
            },
            timeoutMs);
        return m_helloAck;
    }

    // Starts the launcher's punch: punches every 100 ms to the candidates until one answers, then
    // five pings; punchFinished() turns true with the outcome in the punch* fields.
    void startPunch(const QList<Candidate> &candidates, const QString &match, const QString &key, int side,
                    int timeoutMs = 8000)
    {
        m_candidates = candidates;
        m_match = match;
        m_key = key;
        m_side = side;
        m_mode = 1;
        punchOk = false;
        punchRtt = 0;
        punchRemote.clear();
        punchVia.clear();
        m_pingSent.clear();
        m_samples.clear();
        m_pingCount = 0;
        m_clock.start();
        m_punchDeadline = scaled(timeoutMs);
        m_timer = std::make_unique<QTimer>();
        m_timer->setInterval(100);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { tick(); });
        m_timer->start();
        tick();
    }
    bool punchFinished() const { return m_mode == 3; }
    bool punchOk = false;
    int punchRtt = 0;
    QString punchRemote, punchVia;

    // The game's own packets after match_go: to the remote endpoint, or through the tunnel.
    void sendGame(const QByteArray &packet, const QString &remote, bool tunnel)
    {
        if (tunnel) {
            sendTunnel(packet);
            return;
        }
        const qsizetype colon = remote.lastIndexOf(':');
        m_udp->writeDatagram(packet, QHostAddress(remote.left(colon)),
                             quint16(remote.mid(colon + 1).toUInt()));
    }
    QList<QByteArray> &gamePackets() { return m_game; }
    // Datagrams received on the game port (or through the tunnel) that were JSON.
    QList<QJsonObject> &udpMessages() { return m_udpJson; }

    QString name, token, udpToken;
    QJsonObject lastAccount;

private:
    void wire()
    {
        QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { readLines(); });
    }

    void readLines()
    {
        if (m_paused || !m_socket)
            return;
        m_buffer += m_socket->readAll();
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(nl).trimmed();
            m_buffer.remove(0, nl + 1);
            longestLine = qMax(longestLine, nl);
            const QJsonDocument doc = QJsonDocument::fromJson(line);
            if (!line.isEmpty() && !doc.isObject())
                ++badLines;
            const QJsonObject msg = doc.object();
            if (msg.value("type").toString() == "tunnel") {
                const QByteArray packet = QByteArray::fromBase64(msg.value("data").toString().toLatin1());
                onPacket(packet, [this](const QByteArray &b) { sendTunnel(b); });
                continue;
            }
            m_inbox.append(msg);
        }
    }

    QJsonObject account(int id)
    {
        const QJsonObject reply = waitReply(id);
        if (reply.value("type").toString() == "account") {
            name = reply.value("name").toString();
            token = reply.value("token").toString();
            udpToken = reply.value("udp_token").toString();
            lastAccount = reply;
        }
        return reply;
    }

    void onPacket(const QByteArray &data, const std::function<void(const QByteArray &)> &answer)
    {
        const QJsonDocument doc = QJsonDocument::fromJson(data);
        if (!doc.isObject()) {
            m_game.append(data);
            return;
        }
        QJsonObject o = doc.object();
        const QString type = o.value("type").toString();
        if (type == "hello_ack") {
            m_helloAck = o;
            return;
        }
        m_udpJson.append(o);
        if (m_key.isEmpty() || o.value("match").toString() != m_match || o.value("key").toString() != m_key)
            return;
        if (type == "punch" || type == "ping") {
            o.insert("type", type == "punch" ? "punch_ack" : "pong");
            o.insert("side", m_side);
            answer(QJsonDocument(o).toJson(QJsonDocument::Compact));
        } else if (type == "punch_ack" && m_mode == 1) {
            m_mode = 2;
            m_answer = answer;
            punchVia = m_candidates.isEmpty() ? QString() : m_candidates.first().label;
            m_lastPing = m_clock.elapsed();
        } else if (type == "pong" && m_mode == 2) {
            const int seq = o.value("seq").toInt(-1);
            if (m_pingSent.contains(seq)) {
                m_samples.append(int(m_clock.elapsed() - m_pingSent.take(seq)));
                if (m_samples.size() > 4)
                    finish(true);
            }
        }
    }

    void sendTo(const Candidate &c, const QByteArray &bytes)
    {
        if (c.label == "tunnel")
            sendTunnel(bytes);
        else
            m_udp->writeDatagram(bytes, c.address, c.port);
    }

    void tick()
    {
        if (m_mode == 1) {
            if (m_clock.elapsed() > m_punchDeadline)
                return finish(false);
            const QByteArray punch =
                QJsonDocument(
                    QJsonObject{{"type", "punch"}, {"match", m_match}, {"key", m_key}, {"side", m_side}})
                    .toJson(QJsonDocument::Compact);
            for (const Candidate &c : std::as_const(m_candidates))
                sendTo(c, punch);
        } else if (m_mode == 2) {
            if (m_pingCount < 5) {
                m_pingSent.insert(m_pingCount, m_clock.elapsed());
                const QByteArray ping = QJsonDocument(QJsonObject{{"type", "ping"},
                                                                  {"match", m_match},
                                                                  {"key", m_key},
                                                                  {"seq", m_pingCount},
                                                                  {"t", m_clock.elapsed()}})
                                            .toJson(QJsonDocument::Compact);
                for (const Candidate &c : std::as_const(m_candidates))
                    sendTo(c, ping);
                ++m_pingCount;
                m_lastPing = m_clock.elapsed();
            } else if (m_samples.size() > 4 || m_clock.elapsed() - m_lastPing > 500) {
                finish(m_samples.size() > 2);
            }
        }
    }

    void finish(bool ok)
    {
        m_mode = 3;
        m_timer->stop();
        punchOk = ok;
        if (ok) {
            std::sort(m_samples.begin(), m_samples.end());
            punchRtt = m_samples[m_samples.size() / 2];
            const Candidate &c = m_candidates.first();
            punchRemote = c.label == "tunnel" ? QStringLiteral("127.0.0.1:%1").arg(gamePort() + 1)
                                              : QStringLiteral("%1:%2").arg(c.address.toString()).arg(c.port);
        }
    }

    QString m_label;
    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<QUdpSocket> m_udp;
    std::unique_ptr<QTimer> m_timer;
    QByteArray m_buffer;
    QList<QJsonObject> m_inbox;
    bool m_paused = false;
    QList<QJsonObject> m_udpJson;
    QList<QByteArray> m_game;
    QJsonObject m_helloAck;
    int m_nextId = 1;
    // The punch in hand.
    QList<Candidate> m_candidates;
    QString m_match, m_key;
    int m_side = 0, m_mode = 0, m_pingCount = 0, m_punchDeadline = 0;
    qint64 m_lastPing = 0;
    QElapsedTimer m_clock;
    QHash<int, qint64> m_pingSent;
    QList<int> m_samples;
    std::function<void(const QByteArray &)> m_answer;
};

} // namespace orxtest
