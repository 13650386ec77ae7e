#pragma once
// Stands in for the server's UDP relay on 127.0.0.1 when UDP to the server is blocked: the game's
// packets to this port travel as "tunnel" messages inside the server connection, and every
// "tunnel" message from the server is written to the game's port.

#include <QObject>

class QUdpSocket;
class ServerClient;

class TunnelBridge : public QObject {
    Q_OBJECT
public:
    TunnelBridge(ServerClient *server, quint16 gamePort, QObject *parent = nullptr);

    bool start(QString *error = nullptr);
    quint16 localPort() const;
    quint64 packetsSent() const { return m_sent; }
    quint64 packetsReceived() const { return m_received; }

private:
    void readFromGame();
    void deliver(const QByteArray &packet);

    ServerClient *m_server;
    QUdpSocket *m_socket;
    quint16 m_gamePort;
    quint64 m_sent = 0;
    quint64 m_received = 0;
};
