#include "match/feedlink.h"

#include "match/feedrules.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

FeedLink::FeedLink(Mode mode, QObject *parent, qsizetype limit)
    : QObject(parent), m_mode(mode), m_limit(limit), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FeedLink::takeConnection);
    m_flush.setInterval(100);
    connect(&m_flush, &QTimer::timeout, this, &FeedLink::flush);
}

FeedLink::~FeedLink()
{
    if (m_socket)
        m_socket->abort();
}

bool FeedLink::start(QString *error)
{
    if (!m_server->isListening() && !m_server->listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        if (error)
            *error = tr("Spectator feed: %1").arg(m_server->errorString());
        return false;
    }
    if (m_mode == Outgoing)
        m_flush.start();
    return true;
}

QString FeedLink::endpoint() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort());
}

void FeedLink::takeConnection()
{
    while (QTcpSocket *next = m_server->nextPendingConnection()) {
        if (m_socket) {
            QTcpSocket *old = m_socket;
            m_socket = nullptr;
            old->abort();
            old->deleteLater();
        }
        m_socket = next;
        next->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(next, &QTcpSocket::disconnected, next, &QObject::deleteLater);
        if (m_mode == Outgoing) {
            // A new connection starts a new stream: a half record of the old one means nothing.
            m_buffer.clear();
            connect(next, &QTcpSocket::readyRead, this, &FeedLink::readGame);
        } else {
            // Incoming bytes from the watching game mean nothing; the late game gets it all.
            connect(next, &QTcpSocket::readyRead, next, [next] { next->readAll(); });
            if (!m_buffer.isEmpty())
                next->write(m_buffer);
        }
    }
}

void FeedLink::readGame()
{
    if (!m_socket)
        return;
    const QByteArray data = m_socket->readAll();
    if (m_buffer.size() + data.size() <= m_limit) {
        m_buffer.append(data);
        return;
    }
    // Dropping bytes mid-stream would shift every later record; start the stream afresh instead:
    // the game connects again and its framing starts from a record boundary.
    emit logLine(tr("Spectator feed: the game wrote more than %1 bytes that could not be passed on yet; its "
                    "feed connection starts again")
                     .arg(m_limit));
    m_buffer.clear();
    QTcpSocket *old = m_socket;
    m_socket = nullptr;
    old->abort();
    old->deleteLater();
}

void FeedLink::flush()
{
    if (m_mode != Outgoing)
        return;
    if (m_socket && m_socket->bytesAvailable() > 0)
        readGame();
    const qsizetype complete = feedrules::completePrefix(m_buffer);
    if (complete == 0)
        return;
    const QByteArray prefix = m_buffer.left(complete);
    m_buffer.remove(0, complete);
    for (const QByteArray &chunk : feedrules::chunks(prefix, MaxChunk)) {
        if (chunk.size() > MaxSentRecord) {
            emit logLine(tr("Spectator feed: a record of %1 bytes is too large to pass on; dropped")
                             .arg(chunk.size()));
            continue;
        }
        m_passed += chunk.size();
        emit outgoing(chunk);
    }
}

void FeedLink::deliver(const QByteArray &bytes)
{
    if (m_mode != Incoming || !feedrules::wholeRecords(bytes) || m_buffer.size() + bytes.size() > m_limit)
        return;
    m_buffer.append(bytes);
    m_passed += bytes.size();
    if (m_socket)
        m_socket->write(bytes);
}
