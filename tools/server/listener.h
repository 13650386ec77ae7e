#pragma once
// Takes each incoming connection itself (rather than through QSslServer's pending queue, where a
// connection that never starts its TLS handshake holds a slot every real client waits behind), so
// the server can refuse it by address before any TLS work, and give the handshake a deadline.

#include <QSslConfiguration>
#include <QTcpServer>

class QTcpSocket;

class Listener : public QTcpServer {
    Q_OBJECT
public:
    // Without a configuration the connections stay plain TCP.
    explicit Listener(const QSslConfiguration &tls, bool useTls, QObject *parent = nullptr);

signals:
    // A new socket, connected; for TLS its server handshake has been started. The receiver owns it.
    void accepted(QTcpSocket *socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_tls;
    bool m_useTls;
};
