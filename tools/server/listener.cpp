#include "listener.h"

#include <QSslSocket>

Listener::Listener(const QSslConfiguration &tls, bool useTls, QObject *parent)
    : QTcpServer(parent), m_tls(tls), m_useTls(useTls)
{
}

void Listener::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_useTls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (m_useTls) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        ssl->setSslConfiguration(m_tls);
        ssl->startServerEncryption();
    }
    emit accepted(socket);
}
