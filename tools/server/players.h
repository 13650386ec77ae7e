#pragma once

#include "connection.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>

// What the server knows of one signed-in account. Kept for the server's lifetime once the account
// signed in, so matches and series can point at it across dropped connections.
struct Player {
    int accountId = -1;
    QString name;
    QPointer<Connection> conn; // null while the player is offline
    QString udpToken;
    // The last UDP hello: where the player's game port was seen from, and what it said.
    QHostAddress udpAddress;
    quint16 udpPort = 0;
    QString lan;
    QString helloMatch;
    qint64 helloAtMs = -1;
    int udpRtt = -1;

    bool online() const { return conn && conn->isOpen(); }
    QString publicEndpoint() const
    {
        return udpPort ? QStringLiteral("%1:%2").arg(udpAddress.toString()).arg(udpPort) : QString();
    }
};
