#include "hostaddress.h"

#include <QNetworkInterface>

QHostAddress plainIPv4(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    // Only the ::ffff:0:0/96 range is a mapped IPv4 address; "::1" and "::" stay IPv6.
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0)
            return address;
    }
    if (bytes[10] != 0xff || bytes[11] != 0xff)
        return address;
    const quint32 v4 = (quint32(bytes[12]) << 24) | (quint32(bytes[13]) << 16) | (quint32(bytes[14]) << 8) |
                       quint32(bytes[15]);
    return QHostAddress(v4);
}

namespace {
QHostAddress withoutScope(QHostAddress address)
{
    address.setScopeId(QString());
    return address;
}
} // namespace

QString linkTypeOf(const QHostAddress &localAddress)
{
    const QHostAddress local = withoutScope(plainIPv4(localAddress));
    if (local.isNull() || local.isLoopback())
        return QString();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (withoutScope(plainIPv4(entry.ip())) != local)
                continue;
            switch (iface.type()) {
            case QNetworkInterface::Ethernet:
                return QStringLiteral("ethernet");
            case QNetworkInterface::Wifi:
                return QStringLiteral("wifi");
            default:
                return QStringLiteral("other");
            }
        }
    }
    return QString();
}
