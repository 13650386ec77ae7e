#pragma once

#include "relay.h"

#include <QObject>
#include <QUdpSocket>

class Server;

// The server's UDP port: answers the launchers' hellos and runs the relay.
class UdpHub : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 MaxDatagram = 2048;
    // Room for the datagrams that come in while the one serving thread is busy: with the system's
    // usual 208 KB a flood at this port pushes out the honest relay packets before the relay's
    // per-player caps can tell them apart. The system may allow less (net.core.rmem_max).
    static constexpr int ReceiveBuffer = 4 * 1024 * 1024;

    UdpHub(Server *server, QObject *parent);
    bool bind(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return m_socket.localPort(); }
    Relay &relay() { return m_relay; }

private:
    void onReadyRead();
    void handleHello(const QJsonObject &msg, const QHostAddress &from, quint16 port);

    Server *m_server;
    QUdpSocket m_socket;
    Relay m_relay;
};
