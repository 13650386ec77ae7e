#include "tunnelbridge.h"

#include "core/log.h"
#include "serverclient.h"

#include <QCoreApplication>
#include <QUdpSocket>

TunnelBridge::TunnelBridge(ServerClient *server, quint16 gamePort, QObject *parent)
    : QObject(parent), m_server(server), m_socket(new QUdpSocket(this)), m_gamePort(gamePort)
{
    connect(m_server, &ServerClient::tunnelData, this, &TunnelBridge::deliver);
    connect(m_socket, &QUdpSocket::readyRead, this, &TunnelBridge::readFromGame);
}

bool TunnelBridge::start(QString *error)
{
    if (!m_socket->bind(QHostAddress::LocalHost, 0)) {
        if (error)
            *error =
                QCoreApplication::translate("TunnelBridge", "Cannot open a local UDP port for the match: %1")
                    .arg(m_socket->errorString());
        return false;
    }
    appendLog(QStringLiteral("tunnel: port %1 stands in for the server's relay").arg(m_socket->localPort()));
    return true;
}

quint16 TunnelBridge::localPort() const
{
    return m_socket->localPort();
}

void TunnelBridge::readFromGame()
{
    while (m_socket->hasPendingDatagrams()) {
        QByteArray data(2048, '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 n = m_socket->readDatagram(data.data(), data.size(), &from, &fromPort);
        if (n < 0)
            continue;
        // Only the game, on this PC, may send through the tunnel.
        if (fromPort != m_gamePort || !from.isLoopback())
            continue;
        data.truncate(n);
        m_server->sendTunnel(data);
        ++m_sent;
    }
}

void TunnelBridge::deliver(const QByteArray &packet)
{
    m_socket->writeDatagram(packet, QHostAddress::LocalHost, m_gamePort);
    ++m_received;
}
