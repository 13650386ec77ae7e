#include "relay.h"
#include "connection.h"
#include "server.h"

#include <QUdpSocket>

Relay::Relay(QUdpSocket *socket, std::function<Connection *(int)> connectionOf)
    : m_socket(socket), m_connectionOf(std::move(connectionOf))
{
    m_clock.start();
}

bool Relay::spend(Link &link, int leg, qsizetype bytes, const QString &id)
{
    Budget &b = link.budget[leg];
    const qint64 now = m_clock.elapsed();
    if (b.atMs >= 0) {
        const double s = double(now - b.atMs) / 1000.0;
        b.packets = qMin(MaxPacketsPerSecond, b.packets + s * MaxPacketsPerSecond);
        b.bytes = qMin(MaxBytesPerSecond, b.bytes + s * MaxBytesPerSecond);
    }
    b.atMs = now;
    if (b.packets >= 1 && b.bytes >= double(bytes)) {
        b.packets -= 1;
        b.bytes -= double(bytes);
        return true;
    }
    ++m_dropped;
    if (!link.dropLogged) {
        link.dropLogged = true;
        serverLog(QStringLiteral("relay %1: a player sends more than %2 packets or %3 KB a second; "
                                 "the excess is dropped")
                      .arg(id)
                      .arg(MaxPacketsPerSecond)
                      .arg(MaxBytesPerSecond / 1024));
    }
    return false;
}

QString Relay::key(const QHostAddress &a, quint16 port)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return QStringLiteral("%1:%2").arg(ok ? QHostAddress(v4).toString() : a.toString()).arg(port);
}

void Relay::setLink(const QString &id, const Leg &a, const Leg &b)
{
    removeLink(id);
    Link link;
    link.legs[0] = a;
    link.legs[1] = b;
    for (const Leg &leg : link.legs) {
        if (leg.tunnel)
            m_byTunnel.insert(leg.accountId, id);
        else
            m_byEndpoint.insert(key(leg.address, leg.port), id);
    }
    m_links.insert(id, link);
}

void Relay::removeLink(const QString &id)
{
    auto it = m_links.find(id);
    if (it == m_links.end())
        return;
    for (const Leg &leg : it->legs) {
        if (leg.tunnel) {
            if (m_byTunnel.value(leg.accountId) == id)
                m_byTunnel.remove(leg.accountId);
        } else {
            const QString k = key(leg.address, leg.port);
            if (m_byEndpoint.value(k) == id)
                m_byEndpoint.remove(k);
        }
    }
    m_links.erase(it);
}

bool Relay::fromUdp(const QHostAddress &from, quint16 port, const QByteArray &data)
{
    const QString k = key(from, port);
    const auto id = m_byEndpoint.constFind(k);
    if (id == m_byEndpoint.constEnd())
        return false;
    Link &link = m_links[*id];
    for (int i = 0; i < 2; ++i) {
        const Leg &leg = link.legs[i];
        if (!leg.tunnel && key(leg.address, leg.port) == k) {
            if (spend(link, i, data.size(), *id))
                deliver(link.legs[1 - i], data);
            return true;
        }
    }
    return false;
}

bool Relay::fromTunnel(int accountId, const QByteArray &data)
{
    const auto id = m_byTunnel.constFind(accountId);
    if (id == m_byTunnel.constEnd())
        return false;
    Link &link = m_links[*id];
    for (int i = 0; i < 2; ++i) {
        if (link.legs[i].tunnel && link.legs[i].accountId == accountId) {
            if (spend(link, i, data.size(), *id))
                deliver(link.legs[1 - i], data);
            return true;
        }
    }
    return false;
}

void Relay::deliver(const Leg &to, const QByteArray &data)
{
    if (to.tunnel) {
        Connection *c = m_connectionOf(to.accountId);
        if (!c)
            return;
        if (c->pendingBytes() > MaxTunnelBacklog) {
            ++m_dropped;
            return;
        }
        ++m_passed;
        c->sendTunnel(data);
        return;
    }
    if (to.port) {
        ++m_passed;
        m_socket->writeDatagram(data, to.address, to.port);
    }
}
