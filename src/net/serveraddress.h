#pragma once
#include <QString>

// A server address as the player writes it: "[tcp://|tls://]host[:port]".
struct ServerAddress {
    QString host;
    quint16 port = 7777;
    bool plain = false; // "tcp://": no TLS
};

// Parses an address. "tcp://" (exact case) means a plain connection, "tls://" or no prefix TLS.
// The port follows the last colon (unless that colon is the first character); a missing port, a
// port of 0 and one that is not a number in 1..65535 give 7777. A host in brackets ("[::1]") loses
// the brackets, so IPv6 literals can carry a port.
ServerAddress parseServerAddress(const QString &text);
