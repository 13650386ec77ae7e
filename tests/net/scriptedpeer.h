#pragma once
// An in-process server the tests script line by line: plain TCP or TLS with a test certificate.
// It records every line each accepted connection sends and writes whatever the test tells it to.

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

class ScriptedPeer : public QObject {
    Q_OBJECT
public:
    struct Line {
        int connection = 0; // 1 for the first accepted connection
        QByteArray raw;     // without the line feed
        QJsonObject object; // empty when the line is not a JSON object
    };

    explicit ScriptedPeer(QObject *parent = nullptr);
    ~ScriptedPeer() override;

    // Serve TLS with this certificate from now on (before listen()).
    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    void stopListening();
    quint16 port() const { return m_port; }

    int connections() const { return m_connections; }
    // Connections whose socket has closed, from either side.
    int closedConnections() const { return m_closed; }
    bool clientConnected() const;
    QTcpSocket *current() const { return m_current; }

    const QList<Line> &lines() const { return m_lines; }
    // The "type" of every object received, in order; `connection` 0 means all connections.
    QStringList types(int connection = 0) const;
    // The last object of that type, empty when none arrived.
    QJsonObject last(const QString &type) const;
    int count(const QString &type) const;

    void send(const QJsonObject &msg);
    void sendRaw(const QByteArray &bytes);
    // Closes the current connection in an orderly way.
    void closeClient();

    // Scripted answers: a welcome to every hello (when not empty), a pong to every ping.
    QJsonObject autoWelcome;
    bool autoPong = false;
    // Closes each connection as soon as its hello has arrived.
    bool closeAfterHello = false;

signals:
    void lineReceived(const ScriptedPeer::Line &line);

private:
    void acceptPending();
    void readFrom(QTcpSocket *socket);

    QTcpServer *m_server = nullptr;
    QSslCertificate m_certificate;
    QSslKey m_key;
    bool m_tls = false;
    quint16 m_port = 0;
    int m_connections = 0;
    int m_closed = 0;
    QPointer<QTcpSocket> m_current;
    QList<Line> m_lines;
};
