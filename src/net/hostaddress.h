#pragma once
#include <QHostAddress>
#include <QString>

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the plain IPv4 address; any other unchanged.
// Endpoints are compared, stored and sent in this form.
QHostAddress plainIPv4(const QHostAddress &address);

// The kind of network interface that owns the local address: "ethernet", "wifi", "other", or
// empty for a null or loopback address and for an address no interface has.
QString linkTypeOf(const QHostAddress &localAddress);
