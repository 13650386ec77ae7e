#pragma once
// A release host on loopback: a real HTTP (or HTTPS) server that serves files by path, sends them in
// pieces as the client takes them, and can redirect, answer 404, send fewer or more bytes than
// its Content-Length says, or hold a transfer part-way until told to go on. It records every
// request and how far each transfer got before the client closed it.

#include "httphead.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

using HostRequest = testutil::HttpHead;

struct HostRoute {
    HostRoute() = default;
    HostRoute(int status, const QByteArray &body, const QByteArray &location = {}, qint64 contentLength = -1,
              qint64 holdAfter = -1)
        : status(status), body(body), location(location), contentLength(contentLength), holdAfter(holdAfter)
    {
    }
    int status = 200;
    QByteArray body;
    QByteArray location;       // a redirect's target
    qint64 contentLength = -1; // -1: the body's size; more: the host closes after the body
    qint64 holdAfter = -1;     // send this many body bytes, then nothing until release()
};

class ReleaseHost : public QObject {
public:
    // Plain HTTP.
    ReleaseHost() : ReleaseHost(QSslCertificate(), QSslKey()) {}
    // HTTPS with this certificate and key (plain HTTP for a null certificate).
    ReleaseHost(const QSslCertificate &certificate, const QSslKey &key)
    {
        if (!certificate.isNull()) {
            auto *server = new QSslServer(this);
            QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
            conf.setLocalCertificate(certificate);
            conf.setPrivateKey(key);
            conf.setPeerVerifyMode(QSslSocket::VerifyNone);
            server->setSslConfiguration(conf);
            m_server = server;
            m_tls = true;
        } else {
            m_server = new QTcpServer(this);
        }
        // A plain server announces with newConnection, a TLS one once the handshake is over.
        QObject::connect(m_server, &QTcpServer::newConnection, this, [this] { acceptPending(); });
        QObject::connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
                         [this] { acceptPending(); });
        m_server->listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_server->serverPort(); }
    QString url(const QString &path) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(port()).arg(path);
    }

    QHash<QByteArray, HostRoute> routes;
    QList<HostRequest> requests;

    // Body bytes handed to the system for the latest transfer, and whether the client closed it.
    qint64 sent() const { return m_sent; }
    bool clientClosed() const { return m_clientClosed; }
    bool transferDone() const { return m_transferDone; }

    // Lets a held transfer go on to its end.
    void release()
    {
        m_holdAt = -1;
        pump();
    }

private:
    void acceptPending()
    {
        while (QTcpSocket *s = m_server->nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { serve(s); });
            QObject::connect(s, &QTcpSocket::bytesWritten, this, [this, s] {
                if (s == m_socket)
                    pump();
            });
            QObject::connect(s, &QTcpSocket::disconnected, this, [this, s] {
                if (s == m_socket && !m_transferDone)
                    m_clientClosed = true;
                s->deleteLater();
            });
        }
    }

    void serve(QTcpSocket *s)
    {
        QByteArray &buf = m_buffers[s];
        buf += s->readAll();
        HostRequest req;
        if (testutil::readHttpHead(buf, req) < 0)
            return;
        m_buffers.remove(s);
        requests << req;
        m_route = routes.value(req.path, HostRoute{404, "not here"});
        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(m_route.status) + ' ' + reason(m_route.status) + "\r\n";
        if (!m_route.location.isEmpty())
            head += "Location: " + m_route.location + "\r\n";
        const qint64 length = m_route.contentLength >= 0 ? m_route.contentLength : m_route.body.size();
        head += "Content-Type: application/zip\r\nContent-Length: " + QByteArray::number(length) +
                "\r\nConnection: close\r\n\r\n";
        m_socket = s;
        m_sent = 0;
        m_clientClosed = false;
        m_transferDone = false;
        m_holdAt = m_route.holdAfter;
        s->write(head);
        pump();
    }

    // Keeps a little in flight, so that how far the client let the transfer go shows in sent().
    void pump()
    {
        QTcpSocket *s = m_socket.data();
        if (!s || m_transferDone || s->state() != QAbstractSocket::ConnectedState)
            return;
        constexpr qint64 piece = 64 * 1024;
        while (s->bytesToWrite() < 2 * piece && m_sent < m_route.body.size()) {
            qint64 n = qMin(piece, m_route.body.size() - m_sent);
            if (m_holdAt >= 0)
                n = qMin(n, m_holdAt - m_sent);
            if (n <= 0)
                return;
            s->write(m_route.body.constData() + m_sent, n);
            m_sent += n;
        }
        if (m_sent >= m_route.body.size() && s->bytesToWrite() == 0) {
            m_transferDone = true;
            s->disconnectFromHost();
        }
    }

    static QByteArray reason(int status)
    {
        switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        default:
            return "Status";
        }
    }

    QTcpServer *m_server = nullptr;
    bool m_tls = false;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QPointer<QTcpSocket> m_socket;
    HostRoute m_route;
    qint64 m_sent = 0;
    qint64 m_holdAt = -1;
    bool m_clientClosed = false;
    bool m_transferDone = false;
};
