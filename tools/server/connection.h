#pragma once

#include "ratelimit.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

// One client's TCP (or TLS) connection: line framing both ways and the session's own fields.
class Connection : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype MaxLine = 65536;
    // The request type an error answer names in "re" is cut to this.
    static constexpr qsizetype MaxEchoedType = 40;
    // A client that stops reading while we keep writing is cut off before it costs us memory.
    static constexpr qint64 MaxBacklog = 8 * 1024 * 1024;

    Connection(QTcpSocket *socket, quint64 serial, QObject *parent);
    ~Connection() override;

    void send(const QJsonObject &msg);
    // Answers a request: the reply carries the request's "id" when it had one.
    void reply(const QJsonObject &request, QJsonObject msg);
    void sendError(const QJsonObject &request, const QString &code, const QString &message);
    void sendTunnel(const QByteArray &packet);
    // What is written but not yet handed to the network: a relay paces itself by it.
    qint64 pendingBytes() const;
    // Writes what is queued, then closes.
    void closeGracefully();
    void abort();

    // While held, what the client sends waits unread (the system's buffers, then the client, hold
    // it): a request answered later is answered before the ones after it.
    void hold();
    void release();

    // Closes the connection once nothing came from the client for this long (0: never). Empty
    // lines are nothing.
    void setIdleLimit(int ms);
    // What all connections have waiting to be written, shared, and its cap: a connection with a
    // backlog of its own that finds the sum over the cap is dropped.
    void setBacklogBudget(qint64 *total, qint64 cap);
    static constexpr qint64 SmallBacklog = 64 * 1024; // a reader keeping up has less waiting

    bool isOpen() const;
    QString peerAddress() const;
    // What per-address limits count this connection by (an IPv6 address by its /64).
    QString addressKey() const;
    quint64 serial() const { return m_serial; }

    // Session state kept by the server.
    bool greeted = false;
    int accountId = -1;
    QString token; // the session token this connection signed in with
    QString clientVersion;
    QString clientBuild;
    QStringList clientFeatures; // the optional features the launcher's hello named
    RateLimiter rates;          // requests by family, against their rate rules

signals:
    void messageReceived(const QJsonObject &msg);
    // A line that is no request: the receiver answers it (code "bad_json" or "bad_request"), so
    // that it counts against the connection's rates like any request.
    void badLine(const QJsonObject &request, const QString &code, const QString &message);
    // Emitted once when the connection is gone, whatever ended it.
    void closed();
    // Some of what was written went out.
    void wrote();

private:
    void onReadyRead();
    void handleLine(QByteArray line);
    void finish();
    // Brings the shared backlog sum up to date; false when this connection was dropped for it.
    bool countBacklog();

    QPointer<QTcpSocket> m_socket;
    QTimer *m_idle = nullptr;
    QByteArray m_buffer;
    quint64 m_serial;
    bool m_finished = false;
    bool m_held = false;
    qint64 *m_backlogTotal = nullptr;
    qint64 m_backlogCap = 0;
    qint64 m_counted = 0; // this connection's part of *m_backlogTotal
};
