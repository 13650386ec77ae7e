#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QString>
#include <functional>

class QUdpSocket;
class Connection;

// Passes game packets (and the launchers' punches and pings) between the two players of a match
// that goes through the server: each player's leg is either its game port's UDP endpoint (the
// relay) or its TCP connection (the tunnel). Nothing passes between endpoints not paired here.
class Relay {
public:
    struct Leg {
        int accountId = -1;
        bool tunnel = false;
        QHostAddress address;
        quint16 port = 0;
    };

    Relay(QUdpSocket *socket, std::function<Connection *(int)> connectionOf);

    void setLink(const QString &id, const Leg &a, const Leg &b);
    void removeLink(const QString &id);
    bool hasLink(const QString &id) const { return m_links.contains(id); }

    // True when the datagram came from a paired endpoint and was passed on.
    bool fromUdp(const QHostAddress &from, quint16 port, const QByteArray &data);
    bool fromTunnel(int accountId, const QByteArray &data);

    quint64 packetsPassed() const { return m_passed; }
    // Packets over a sender's cap, and tunnel packets for a player whose connection was already
    // backed up: dropped, never the player.
    quint64 packetsDropped() const { return m_dropped; }

    // What one player may send through a match's relay or tunnel: a game sends about 60 small
    // packets a second, so these leave it far below while a flood is held to them.
    static constexpr double MaxPacketsPerSecond = 500;
    static constexpr double MaxBytesPerSecond = 256 * 1024;
    // Tunnel packets wait in the receiver's connection at most this much; past it they are
    // dropped (they are stale by then anyway).
    static constexpr qint64 MaxTunnelBacklog = 1024 * 1024;

private:
    // What a leg may still send: refilled at the caps' rates, up to one second's worth.
    struct Budget {
        double packets = MaxPacketsPerSecond;
        double bytes = MaxBytesPerSecond;
        qint64 atMs = -1;
    };
    struct Link {
        Leg legs[2];
        Budget budget[2];
        bool dropLogged = false;
    };
    bool spend(Link &link, int leg, qsizetype bytes, const QString &id);
    static QString key(const QHostAddress &a, quint16 port);
    void deliver(const Leg &to, const QByteArray &data);

    QUdpSocket *m_socket;
    std::function<Connection *(int)> m_connectionOf;
    QHash<QString, Link> m_links;
    QHash<QString, QString> m_byEndpoint; // endpoint -> link id
    QHash<int, QString> m_byTunnel;       // account id -> link id
    quint64 m_passed = 0;
    quint64 m_dropped = 0;
    QElapsedTimer m_clock;
};
