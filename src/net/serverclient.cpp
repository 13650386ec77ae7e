// The connection itself: address, TLS and the pinned certificate, framing, ping, states and
// reconnection. The session messages are in serverclient_session.cpp.
#include "serverclient.h"

#include "core/log.h"
#include "net/hostaddress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {
// Qt's own read buffer; our line buffer holds at most one partial line beyond it.
constexpr qint64 SocketReadBufferBytes = 256 * 1024;
constexpr int CloseFlushMs = 1000;
constexpr int CloseWaitMs = 300;
} // namespace

ServerClient::ServerClient(QObject *parent) : QObject(parent)
{
    m_pingTimer.setSingleShot(false);
    m_firstPingTimer.setSingleShot(true);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_pingTimer, &QTimer::timeout, this, &ServerClient::pingStep);
    connect(&m_firstPingTimer, &QTimer::timeout, this, &ServerClient::pingStep);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &ServerClient::onReconnectTimer);
    setTiming(Timing());
}

ServerClient::~ServerClient()
{
    // The socket must not call back into a half-destroyed client.
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
    }
}

void ServerClient::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_pingTimer.setInterval(timing.pingIntervalMs);
    m_reconnectDelayMs = timing.reconnectFirstMs;
}

void ServerClient::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

bool ServerClient::linkReady() const
{
    return m_socket && m_helloSent && m_socket->state() == QAbstractSocket::ConnectedState;
}

void ServerClient::connectTo(const QString &address, const QString &fingerprint)
{
    m_reconnectTimer.stop();
    m_certificateRefused = false;
    m_serverEndedSession = false;
    m_address = address.trimmed();
    m_pinnedFingerprint = normalizeFingerprint(fingerprint);
    const ServerAddress parsed = parseServerAddress(m_address);
    m_host = parsed.host;
    m_port = parsed.port;
    m_plain = parsed.plain;

    // Ending the old connection runs its disconnection handling, but must not schedule a
    // reconnection of its own.
    m_noReconnect = true;
    releaseSocket();
    m_noReconnect = false;
    m_reconnectTimer.stop();
    m_readBuffer.clear();
    m_welcome = QJsonObject();
    m_account = QJsonObject();

    const quint64 generation = ++m_generation;
    setState(Connecting);
    if (generation != m_generation)
        return; // a listener already started another connection
    appendLog(QStringLiteral("server: connecting to %1:%2 (%3)")
                  .arg(m_host)
                  .arg(m_port)
                  .arg(m_plain ? QStringLiteral("plain") : QStringLiteral("tls")));

    ++m_connectionSerial;
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(SocketReadBufferBytes);
    m_helloSent = false;
    m_disconnectHandled = false;
    m_presentedFingerprint.clear();
    connect(m_socket, &QSslSocket::connected, this, &ServerClient::onConnected);
    connect(m_socket, &QSslSocket::encrypted, this, &ServerClient::onEncrypted);
    connect(m_socket, &QSslSocket::sslErrors, this, &ServerClient::onSslErrors);
    connect(m_socket, &QSslSocket::readyRead, this, &ServerClient::onReadyRead);
    connect(m_socket, &QSslSocket::disconnected, this, &ServerClient::onDisconnected);
    connect(m_socket, &QSslSocket::errorOccurred, this, &ServerClient::onSocketError);
    if (m_plain) {
        m_socket->connectToHost(m_host, m_port);
        return;
    }
    QSslConfiguration tls = m_socket->sslConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    // The platform's validation only reports; the pinned fingerprint decides (onSslErrors).
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_socket->setSslConfiguration(tls);
    m_socket->connectToHostEncrypted(m_host, m_port);
}

void ServerClient::releaseSocket()
{
    if (!m_socket)
        return;
    QSslSocket *old = m_socket;
    old->abort();
    disconnect(old, nullptr, this, nullptr);
    if (m_socket == old)
        m_socket = nullptr;
    old->deleteLater();
    m_helloSent = false;
}

void ServerClient::onConnected()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_plain)
        sendHello();
}

void ServerClient::onSslErrors(const QList<QSslError> &errors)
{
    Q_UNUSED(errors);
    const QString presented = sha256Fingerprint(m_socket->peerCertificate());
    if (m_pinnedFingerprint.isEmpty() || presented == m_pinnedFingerprint) {
        m_socket->ignoreSslErrors();
        return;
    }
    // Left unignored, the errors end the handshake; the refusal is reported once it has.
    m_presentedFingerprint = presented;
    m_noReconnect = true;
    m_certificateRefused = true;
    const quint64 serial = m_connectionSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            if (serial == m_connectionSerial)
                refuseCertificate(false);
        },
        Qt::QueuedConnection);
}

void ServerClient::onEncrypted()
{
    m_presentedFingerprint = sha256Fingerprint(m_socket->peerCertificate());
    if (m_pinnedFingerprint.isEmpty()) {
        refuseCertificate(true);
        return;
    }
    if (m_presentedFingerprint != m_pinnedFingerprint) {
        refuseCertificate(false);
        return;
    }
    sendHello();
}

void ServerClient::refuseCertificate(bool untrusted)
{
    const QString presented = m_presentedFingerprint;
    if (untrusted)
        appendLog(QStringLiteral("server: certificate %1 is not trusted yet").arg(presented));
    else
        appendLog(QStringLiteral("server: certificate mismatch, got %1 expected %2")
                      .arg(presented, m_pinnedFingerprint));
    m_noReconnect = true;
    m_certificateRefused = true;
    const quint64 generation = ++m_generation;
    if (m_socket)
        m_socket->abort();
    if (m_state != Offline && generation == m_generation)
        handleDisconnection();
    if (untrusted)
        emit untrustedCertificate(presented);
    else
        emit connectionError(tr("The server's certificate (%1) does not match the pinned fingerprint. "
                                "Check the fingerprint in Settings.")
                                 .arg(formatFingerprint(presented)));
}

void ServerClient::onReadyRead()
{
    if (!m_socket)
        return;
    const quint64 generation = m_generation;
    // Read a piece at a time: a server that sends megabytes without a line feed costs at most one
    // line's worth of buffer before it is dropped.
    while (m_socket && generation == m_generation && m_socket->bytesAvailable() > 0) {
        m_readBuffer.append(m_socket->read(MaxLineBytes));
        qsizetype start = 0;
        for (;;) {
            const qsizetype end = m_readBuffer.indexOf('\n', start);
            if (end < 0)
                break;
            // A whole line over the limit is refused too, however the bytes happened to arrive.
            if (end - start > MaxLineBytes) {
                start = -1;
                break;
            }
            const QByteArray line = m_readBuffer.mid(start, end - start).trimmed();
            start = end + 1;
            if (!line.isEmpty())
                handleLine(line);
            if (generation != m_generation)
                return; // a listener ended or replaced the connection
        }
        if (start >= 0)
            m_readBuffer.remove(0, start);
        if (start < 0 || m_readBuffer.size() > MaxLineBytes) {
            appendLog(QStringLiteral("server: line too long, dropping connection"));
            m_readBuffer.clear();
            ++m_generation;
            m_socket->abort();
            if (m_state != Offline)
                handleDisconnection();
            return;
        }
    }
}

void ServerClient::onDisconnected()
{
    handleDisconnection();
}

void ServerClient::handleDisconnection()
{
    if (m_disconnectHandled)
        return;
    m_disconnectHandled = true;
    const quint64 generation = ++m_generation;
    m_helloSent = false;
    m_pingTimer.stop();
    m_firstPingTimer.stop();
    m_pingId = -1;
    m_welcome = QJsonObject();
    m_readBuffer.clear();
    const State was = m_state;
    setState(Offline);
    if (generation != m_generation)
        return;
    if (was == LoggedIn)
        emit loggedOut();
    if (generation != m_generation)
        return;
    appendLog(QStringLiteral("server: disconnected"));
    scheduleReconnect();
}

void ServerClient::onSocketError()
{
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket || socket != m_socket)
        return;
    const QAbstractSocket::SocketError error = socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError && (m_state != Connecting || m_serverEndedSession))
        return; // the disconnection handling covers it; a session-ending error was reported already
    if (m_certificateRefused)
        return;
    const QString text = socket->errorString();
    appendLog(QStringLiteral("server: socket error %1: %2").arg(int(error)).arg(text));
    const quint64 generation = m_generation;
    emit connectionError(text);
    if (generation != m_generation || socket != m_socket)
        return;
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        m_helloSent = false;
        m_pingTimer.stop();
        m_firstPingTimer.stop();
        setState(Offline);
        if (generation != m_generation)
            return;
        scheduleReconnect();
    }
}

void ServerClient::scheduleReconnect()
{
    if (m_noReconnect || m_reconnectTimer.isActive())
        return;
    m_lastReconnectDelayMs = m_reconnectDelayMs;
    m_reconnectTimer.start(m_reconnectDelayMs);
    m_reconnectDelayMs = qMin(m_reconnectDelayMs * 2, m_timing.reconnectMaxMs);
}

void ServerClient::onReconnectTimer()
{
    if (m_noReconnect || m_state != Offline)
        return;
    connectTo(m_address, m_pinnedFingerprint);
}

void ServerClient::disconnectFromServer()
{
    m_noReconnect = true;
    m_reconnectTimer.stop();
    m_pingTimer.stop();
    m_firstPingTimer.stop();
    const quint64 generation = ++m_generation;
    QSslSocket *socket = m_socket;
    if (socket && socket->state() == QAbstractSocket::ConnectedState) {
        // Everything written leaves first, including what TLS has still to encrypt.
        QElapsedTimer clock;
        clock.start();
        socket->flush();
        while (m_socket == socket && socket->state() == QAbstractSocket::ConnectedState &&
               (socket->bytesToWrite() > 0 || socket->encryptedBytesToWrite() > 0)) {
            const qint64 left = CloseFlushMs - clock.elapsed();
            if (left <= 0 || !socket->waitForBytesWritten(int(left)))
                break;
        }
        if (m_socket == socket && socket->state() != QAbstractSocket::UnconnectedState) {
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState &&
                !socket->waitForDisconnected(CloseWaitMs))
                socket->abort();
        }
    } else if (socket) {
        socket->abort();
    }
    if (generation != m_generation && m_state != Offline)
        return; // a listener connected again meanwhile
    m_helloSent = false;
    m_disconnectHandled = true;
    m_pingId = -1;
    m_welcome = QJsonObject();
    m_readBuffer.clear();
    const State was = m_state;
    setState(Offline);
    if (was == LoggedIn)
        emit loggedOut();
}

void ServerClient::dropForTest()
{
    appendLog(QStringLiteral("server: dropping the connection, as a network would (test)"));
    m_reconnectDelayMs = m_timing.reconnectFirstMs;
    if (m_socket) {
        ++m_generation;
        m_socket->abort();
    }
    if (m_state != Offline)
        handleDisconnection();
}

void ServerClient::pingStep()
{
    if (m_state != Rovivi && m_state != LoggedIn)
        return;
    const int id = send(QJsonObject{{QStringLiteral("type"), QStringLiteral("ping")}});
    if (id < 0)
        return;
    m_pingId = id;
    m_pingClock.start();
}

int ServerClient::send(QJsonObject message)
{
    if (!linkReady())
        return -1;
    const int id = m_nextId;
    m_nextId = (m_nextId == std::numeric_limits<qint32>::max()) ? 1 : m_nextId + 1;
    message.insert(QStringLiteral("id"), id);
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    line.append('\n');
    m_socket->write(line);
    return id;
}

QString ServerClient::accountName() const
{
    return m_account.value(QStringLiteral("name")).toString();
}

bool ServerClient::hasFeature(const QString &name) const
{
    const QJsonArray features = m_welcome.value(QStringLiteral("features")).toArray();
    for (const QJsonValue &feature : features) {
        if (feature.isString() && feature.toString() == name)
            return true;
    }
    return false;
}

quint16 ServerClient::udpPort() const
{
    const int port = m_welcome.value(QStringLiteral("udp_port")).toInt(0);
    return (port > 0 && port <= 65535) ? quint16(port) : quint16(7778);
}

QString ServerClient::udpToken() const
{
    return m_account.value(QStringLiteral("udp_token")).toString();
}

QHostAddress ServerClient::serverAddress() const
{
    return m_socket ? plainIPv4(m_socket->peerAddress()) : QHostAddress();
}

QHostAddress ServerClient::localAddress() const
{
    return m_socket ? plainIPv4(m_socket->localAddress()) : QHostAddress();
}

QString ServerClient::linkType() const
{
    return linkTypeOf(localAddress());
}
