#include "connection.h"
#include "server.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonParseError>

Connection::Connection(QTcpSocket *socket, quint64 serial, QObject *parent)
    : QObject(parent), m_socket(socket), m_serial(serial)
{
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &Connection::finish);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        countBacklog();
        emit wrote();
    });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
        if (m_socket && m_socket->state() != QAbstractSocket::ConnectedState)
            finish();
    });
}

Connection::~Connection()
{
    // A finished connection has given its part back already (and may outlive the server's sum).
    if (m_backlogTotal && m_counted != 0)
        *m_backlogTotal -= m_counted;
}

void Connection::setBacklogBudget(qint64 *total, qint64 cap)
{
    m_backlogTotal = total;
    m_backlogCap = cap;
}

bool Connection::countBacklog()
{
    if (!m_backlogTotal)
        return true;
    const qint64 pending = m_socket && !m_finished ? m_socket->bytesToWrite() : 0;
    *m_backlogTotal += pending - m_counted;
    m_counted = pending;
    if (*m_backlogTotal <= m_backlogCap || pending < SmallBacklog)
        return true;
    serverLog(QStringLiteral("%1: %2 bytes wait for it while the write backlog of all connections is full, "
                             "dropping the connection")
                  .arg(peerAddress())
                  .arg(pending));
    abort();
    return false;
}

void Connection::hold()
{
    m_held = true;
    // Left unread in the system's buffers rather than piling up here.
    if (m_socket)
        m_socket->setReadBufferSize(64 * 1024);
}

void Connection::release()
{
    if (!m_held)
        return;
    m_held = false;
    if (m_socket)
        m_socket->setReadBufferSize(0);
    // Lines already read, then whatever arrived meanwhile; later, so the answer that released the
    // hold goes out first.
    QMetaObject::invokeMethod(this, &Connection::onReadyRead, Qt::QueuedConnection);
}

void Connection::setIdleLimit(int ms)
{
    if (ms <= 0) {
        delete m_idle;
        m_idle = nullptr;
        return;
    }
    if (!m_idle) {
        m_idle = new QTimer(this);
        m_idle->setSingleShot(true);
        connect(m_idle, &QTimer::timeout, this, [this] {
            serverLog(QStringLiteral("%1: silent for %2 s, closing the connection")
                          .arg(peerAddress())
                          .arg(m_idle->interval() / 1000));
            abort();
        });
    }
    m_idle->start(ms);
}

bool Connection::isOpen() const
{
    return !m_finished && m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

QString Connection::peerAddress() const
{
    if (!m_socket)
        return {};
    QHostAddress a = m_socket->peerAddress();
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : a.toString();
}

QString Connection::addressKey() const
{
    return m_socket ? ::addressKey(m_socket->peerAddress()) : QString();
}

void Connection::send(const QJsonObject &msg)
{
    if (!isOpen())
        return;
    QByteArray line = QJsonDocument(msg).toJson(QJsonDocument::Compact);
    if (line.size() >= MaxLine) {
        // Every message is cut to size where it is made; one that still is not would be a line
        // the launcher drops the connection for, so it is never sent.
        serverLog(QStringLiteral("%1: a \"%2\" of %3 bytes was not sent (too long)")
                      .arg(peerAddress(), msg.value("type").toString().left(40))
                      .arg(line.size()));
        return;
    }
    line.append('\n');
    m_socket->write(line);
    if (!countBacklog())
        return;
    if (m_socket->bytesToWrite() > MaxBacklog) {
        serverLog(
            QStringLiteral("%1: does not read what it is sent, dropping the connection").arg(peerAddress()));
        abort();
    }
}

void Connection::reply(const QJsonObject &request, QJsonObject msg)
{
    const QJsonValue id = request.value("id");
    if (id.isDouble())
        msg.insert("id", id);
    send(msg);
}

void Connection::sendError(const QJsonObject &request, const QString &code, const QString &message)
{
    reply(request, QJsonObject{{"type", "error"},
                               {"code", code},
                               {"re", request.value("type").toString().left(MaxEchoedType)},
                               {"message", message}});
}

void Connection::sendTunnel(const QByteArray &packet)
{
    if (!isOpen())
        return;
    QByteArray line = QByteArrayLiteral("{\"type\":\"tunnel\",\"data\":\"");
    line += packet.toBase64();
    line += "\"}\n";
    m_socket->write(line);
    if (!countBacklog())
        return;
    if (m_socket->bytesToWrite() > MaxBacklog)
        abort();
}

qint64 Connection::pendingBytes() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void Connection::closeGracefully()
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
    else
        finish();
}

void Connection::abort()
{
    if (m_socket)
        m_socket->abort();
    finish();
}

void Connection::onReadyRead()
{
    while (m_socket && !m_finished && !m_held) {
        qsizetype nl;
        while (!m_finished && !m_held && (nl = m_buffer.indexOf('\n')) >= 0) {
            if (nl > MaxLine) {
                serverLog(QStringLiteral("%1: line too long, dropping the connection").arg(peerAddress()));
                abort();
                return;
            }
            QByteArray line = m_buffer.left(nl);
            m_buffer.remove(0, nl + 1);
            handleLine(line);
        }
        if (m_held || m_finished)
            return;
        if (m_buffer.size() > MaxLine) {
            serverLog(QStringLiteral("%1: line too long, dropping the connection").arg(peerAddress()));
            abort();
            return;
        }
        if (!m_socket || m_socket->bytesAvailable() <= 0)
            return;
        m_buffer += m_socket->read(64 * 1024);
    }
}

void Connection::handleLine(QByteArray line)
{
    line = line.trimmed();
    if (line.isEmpty())
        return; // keeps nothing alive: only a line with something in it is the client speaking
    if (m_idle)
        m_idle->start();
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
    if (err.error != QJsonParseError::NoError)
        return emit badLine({}, "bad_json",
                            QStringLiteral("That line is not JSON: %1.").arg(err.errorString()));
    if (!doc.isObject())
        return emit badLine({}, "bad_json", "Each line must be a JSON object.");
    const QJsonObject msg = doc.object();
    if (!msg.value("type").isString())
        return emit badLine(msg, "bad_request", "A message needs a \"type\" text.");
    emit messageReceived(msg);
}

void Connection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    countBacklog();
    emit closed();
}
