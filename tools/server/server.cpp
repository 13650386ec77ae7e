#include "server.h"
#include "f3inbox.h"
#include "feedrelay.h"
#include "kdfpool.h"
#include "listener.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "tlscert.h"
#include "udphub.h"

#include <QDir>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <cstdio>

void serverLog(const QString &text)
{
    std::fprintf(stderr, "orx-server: %s\n", qPrintable(text));
    std::fflush(stderr);
}

Server::Server(const ServerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_newConnections(options.connBurst, options.connRate)
{
    m_clock.start();
    m_throttle.setEnabled(options.throttle);
}

Server::~Server()
{
    shutdown();
    qDeleteAll(m_players);
}

quint16 Server::tcpPort() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

bool Server::start(QString *error)
{
    if (!QDir().mkpath(m_options.dataDir)) {
        *error = QStringLiteral("Cannot create the data folder %1.").arg(m_options.dataDir);
        return false;
    }
    if (!m_db.open(m_options.dbFile, error))
        return false;
    if (m_options.tls) {
        if (!QSslSocket::supportsSsl()) {
            *error = QStringLiteral("TLS is not available here (no TLS backend): use --plain.");
            return false;
        }
        if (!loadOrCreateCertificate(m_options.certFile, m_options.keyFile, m_options.dataDir, m_cert, m_key,
                                     error))
            return false;
        m_fingerprint = certificateFingerprint(m_cert);
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificate(m_cert);
        conf.setPrivateKey(m_key);
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_tcp = new Listener(conf, true, this);
    } else {
        m_tcp = new Listener(QSslConfiguration(), false, this);
    }
    connect(m_tcp, &Listener::accepted, this, &Server::onNewConnection);
    if (!m_tcp->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("Cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_tcp->errorString());
        return false;
    }
    m_udp = new UdpHub(this, this);
    if (!m_udp->bind(m_options.address, m_options.udpPort, error))
        return false;
    m_hub = new MatchHub(this);
    m_lobbies = new LobbyHub(this);
    m_feeds = new FeedRelay(this);
    m_f3 = new F3Inbox(m_options.dataDir, m_db, qint64(m_options.reportLimitMb) * 1024 * 1024,
                       qint64(m_options.reportBudgetMb) * 1024 * 1024,
                       qint64(m_options.reportTotalMb) * 1024 * 1024, m_options.reportDays);
    m_kdf = new KdfPool(m_options.kdfThreads, this);
    // Sessions unused for their term go now and every hour.
    auto prune = [this] {
        const int gone = m_db.pruneSessions(qint64(m_options.sessionDays) * 86400);
        if (gone > 0)
            serverLog(
                QStringLiteral("%1 sessions unused for %2 days ended").arg(gone).arg(m_options.sessionDays));
    };
    prune();
    auto *pruner = new QTimer(this);
    connect(pruner, &QTimer::timeout, this, [this] { m_f3->expire(); });
    connect(pruner, &QTimer::timeout, this, prune);
    pruner->start(3600 * 1000);
    if (!m_options.updateFile.isEmpty()) {
        reloadUpdateOffer();
        m_updateWatcher.addPath(QFileInfo(m_options.updateFile).absolutePath());
        if (QFile::exists(m_options.updateFile))
            m_updateWatcher.addPath(m_options.updateFile);
        auto reload = [this] {
            if (QFile::exists(m_options.updateFile) &&
                !m_updateWatcher.files().contains(m_options.updateFile))
                m_updateWatcher.addPath(m_options.updateFile);
            reloadUpdateOffer();
        };
        connect(&m_updateWatcher, &QFileSystemWatcher::fileChanged, this, reload);
        connect(&m_updateWatcher, &QFileSystemWatcher::directoryChanged, this, reload);
    }
    auto *sweeper = new QTimer(this);
    connect(sweeper, &QTimer::timeout, this, &Server::sweep);
    sweeper->start(m_options.sweepS * 1000);
    startConsole();
    // The lines tests and scripts read: keep their form stable.
    if (m_options.tls)
        std::printf("orx-server: certificate sha256 %s\n", qPrintable(m_fingerprint));
    std::printf("orx-server: listening tcp %s:%u udp %u %s\n", qPrintable(m_options.address.toString()),
                unsigned(m_tcp->serverPort()), unsigned(m_udp->port()), m_options.tls ? "tls" : "plain");
    std::fflush(stdout);
    serverLog(QStringLiteral("database %1").arg(QDir::toNativeSeparators(m_options.dbFile)));
    return true;
}

void Server::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_tcp)
        m_tcp->close();
    const QList<Connection *> conns(m_connections.begin(), m_connections.end());
    m_connections.clear();
    for (Connection *c : conns) {
        c->disconnect(this);
        c->abort();
        delete c;
    }
    delete m_feeds;
    m_feeds = nullptr;
    delete m_lobbies;
    m_lobbies = nullptr;
    delete m_hub;
    m_hub = nullptr;
    delete m_f3;
    m_f3 = nullptr;
    // Waits for hashes under way; their answers are not sent.
    delete m_kdf;
    m_kdf = nullptr;
    m_db.close();
}

void Server::onNewConnection(QTcpSocket *s)
{
    // Caps by address and in all, so one client cannot take every slot; refused before any TLS
    // work is spent on it.
    const QString address = addressKey(s->peerAddress());
    const int fromThere = m_perAddress.value(address);
    QString refusal;
    // The rate first: one address cycling connections would otherwise keep this thread in
    // handshakes even while it stays under the cap of open ones.
    if (!m_newConnections.take(address, nowMs()))
        refusal =
            QStringLiteral("more than %1 new connections at once from that address").arg(m_options.connBurst);
    else if (m_connections.size() >= m_options.maxConnections)
        refusal = QStringLiteral("%1 connections open, the most there may be").arg(m_connections.size());
    else if (fromThere >= m_options.maxPerAddress)
        refusal = QStringLiteral("%1 connections from that address already").arg(fromThere);
    if (!refusal.isEmpty()) {
        if (m_refusalLogged.value(address, -1) != fromThere) {
            m_refusalLogged.insert(address, fromThere);
            serverLog(QStringLiteral("refused a connection from %1: %2").arg(address, refusal));
        }
        s->abort();
        delete s;
        return;
    }
    m_refusalLogged.remove(address);
    m_perAddress[address] = fromThere + 1;
    auto *c = new Connection(s, m_nextSerial++, this);
    c->setProperty("address", address);
    m_connections.insert(c);
    connect(c, &Connection::messageReceived, this, [this, c](const QJsonObject &msg) { onMessage(c, msg); });
    connect(c, &Connection::closed, this, [this, c] { onClosed(c); });
    connect(c, &Connection::badLine, this,
            [this, c](const QJsonObject &request, const QString &code, const QString &message) {
                // Counted like requests: a stream of junk is slowed down as a stream of requests is.
                if (m_options.rateLimit && !c->rates.take(*rateRuleFor(QString()), nowMs()))
                    return slowDown(c, request, QString::fromLatin1(rateRuleFor(QString())->family));
                c->sendError(request, code, message);
            });
    c->setBacklogBudget(&m_backlogTotal, qint64(m_options.backlogTotalMb) * 1024 * 1024);
    c->setIdleLimit(m_options.idleS * 1000);
    if (auto *ssl = qobject_cast<QSslSocket *>(s)) {
        // A client that never finishes its handshake is not kept waiting for the hello's time.
        QTimer::singleShot(m_options.handshakeS * 1000, c, [c, ssl] {
            if (!ssl->isEncrypted()) {
                serverLog(QStringLiteral("%1: no TLS handshake in time, dropping the connection")
                              .arg(c->peerAddress()));
                c->abort();
            }
        });
    }
    // A connection that never says hello does not hold a socket for ever.
    QTimer::singleShot(HelloTimeoutMs, c, [c] {
        if (!c->greeted) {
            serverLog(QStringLiteral("%1: no hello, dropping the connection").arg(c->peerAddress()));
            c->abort();
        }
    });
}

void Server::onClosed(Connection *c)
{
    if (!m_connections.remove(c))
        return;
    const QString address = c->property("address").toString();
    if (--m_perAddress[address] <= 0)
        m_perAddress.remove(address);
    signOut(c);
    c->deleteLater();
}

void Server::sweep()
{
    // A player who is offline and in no search, match, series or lobby needs no record: signing in
    // again makes a new one. Without this every account that ever signed in would stay in memory.
    int dropped = 0;
    for (auto it = m_players.begin(); it != m_players.end();) {
        Player *p = it.value();
        if (p->online() || p->conn || m_hub->holds(p->accountId) || m_lobbies->isMember(p->accountId)) {
            ++it;
            continue;
        }
        if (!p->udpToken.isEmpty())
            m_udpTokens.remove(p->udpToken);
        m_reportsOverBudget.remove(p->accountId);
        it = m_players.erase(it);
        delete p;
        ++dropped;
    }
    if (dropped > 0)
        serverLog(QStringLiteral("%1 records of players who are gone dropped, %2 kept")
                      .arg(dropped)
                      .arg(m_players.size()));
    m_hub->sweep();
    m_throttle.sweep(nowMs());
    m_newConnections.sweep(nowMs());
    for (auto it = m_refusalLogged.begin(); it != m_refusalLogged.end();)
        it = m_perAddress.contains(it.key()) ? std::next(it) : m_refusalLogged.erase(it);
}

Connection *Server::connectionOf(int accountId) const
{
    Player *p = m_players.value(accountId);
    return p && p->online() ? p->conn.data() : nullptr;
}

Player *Server::playerByUdpToken(const QString &token) const
{
    if (token.isEmpty())
        return nullptr;
    return m_players.value(m_udpTokens.value(token, -1));
}

int Server::onlineCount() const
{
    int n = 0;
    for (const Player *p : m_players)
        n += p->online() ? 1 : 0;
    return n;
}
