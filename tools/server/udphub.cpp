#include "udphub.h"
#include "matchhub.h"
#include "server.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>

UdpHub::UdpHub(Server *server, QObject *parent)
    : QObject(parent), m_server(server),
      m_relay(&m_socket, [server](int id) { return server->connectionOf(id); })
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &UdpHub::onReadyRead);
}

bool UdpHub::bind(const QHostAddress &address, quint16 port, QString *error)
{
    if (!m_socket.bind(address, port)) {
        *error = QStringLiteral("Cannot use UDP port %1: %2").arg(port).arg(m_socket.errorString());
        return false;
    }
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBuffer);
    // Linux reports twice what was asked for (its bookkeeping); less means the system capped it.
    const int got = m_socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    serverLog(got >= ReceiveBuffer
                  ? QStringLiteral("UDP receive buffer %1 KB").arg(got / 1024)
                  : QStringLiteral("UDP receive buffer %1 KB, less than the %2 KB asked for: "
                                   "the system caps it (net.core.rmem_max)")
                        .arg(got / 1024)
                        .arg(ReceiveBuffer / 1024));
    return true;
}

void UdpHub::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket.receiveDatagram(MaxDatagram);
        if (!d.isValid())
            continue;
        QHostAddress from = d.senderAddress();
        bool ok = false;
        const quint32 v4 = from.toIPv4Address(&ok);
        if (ok)
            from = QHostAddress(v4);
        const quint16 port = quint16(d.senderPort());
        const QByteArray data = d.data();
        // Hellos are small JSON objects; everything else is a packet for the relay.
        if (data.startsWith('{') && data.contains("\"hello\"")) {
            const QJsonDocument doc = QJsonDocument::fromJson(data);
            if (doc.isObject() && doc.object().value("type").toString() == "hello") {
                handleHello(doc.object(), from, port);
                continue;
            }
        }
        m_relay.fromUdp(from, port, data);
    }
}

void UdpHub::handleHello(const QJsonObject &msg, const QHostAddress &from, quint16 port)
{
    Player *p = m_server->playerByUdpToken(msg.value("token").toString());
    if (!p)
        return; // unknown tokens get no answer: the launcher then falls back to the tunnel
    const QString endpoint = QStringLiteral("%1:%2").arg(from.toString()).arg(port);
    QJsonObject ack{{"type", "hello_ack"}, {"t", msg.value("t")}, {"public", endpoint}};
    m_socket.writeDatagram(QJsonDocument(ack).toJson(QJsonDocument::Compact), from, port);
    p->udpAddress = from;
    p->udpPort = port;
    p->lan = msg.value("lan").toString().left(64);
    p->helloMatch = msg.value("match").toString().left(64);
    p->helloAtMs = m_server->nowMs();
    if (msg.value("rtt").isDouble())
        p->udpRtt = matchrules::clampRtt(msg.value("rtt"), -1);
    m_server->hub()->onUdpHello(p);
}
