#pragma once
// A scripted UPnP router on loopback: a real HTTP server that serves one device description and
// answers SOAP calls from a script, recording every request.

#include "httphead.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QTcpServer>
#include <QTcpSocket>

struct RouterRequest : testutil::HttpHead {
    QByteArray body;
    QByteArray action() const
    {
        const QByteArray soap = headers.value("soapaction");
        const int hash = soap.indexOf('#');
        return hash < 0 ? QByteArray() : soap.mid(hash + 1).chopped(soap.endsWith('"') ? 1 : 0);
    }
};

struct RouterAnswer {
    int status = 200; // 0: never answers; the connection stays open until the client gives up
    QByteArray body;
};
Q_DECLARE_METATYPE(RouterAnswer)

class ScriptedRouter : public QObject {
public:
    ScriptedRouter()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { serve(s); });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }

    // GET answers by path; POST answers by SOAP action, taken in order (the last one repeats).
    QHash<QByteArray, RouterAnswer> pages;
    QHash<QByteArray, QList<RouterAnswer>> actions;
    QList<RouterRequest> requests;

    QList<RouterRequest> calls(const QByteArray &action) const
    {
        QList<RouterRequest> out;
        for (const RouterRequest &r : requests)
            if (r.action() == action)
                out << r;
        return out;
    }

    static QByteArray soapAnswer(const QByteArray &action, const QByteArray &inner)
    {
        return "<?xml version=\"1.0\"?><s:Envelope "
               "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
               action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner +
               "</u:" + action + "Response></s:Body></s:Envelope>";
    }
    static RouterAnswer fault(int code)
    {
        return {500, "<?xml version=\"1.0\"?><s:Envelope "
                     "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
                     "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                     "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                         QByteArray::number(code) +
                         "</errorCode><errorDescription>x</errorDescription></UPnPError></detail></s:Fault>"
                         "</s:Body></s:Envelope>"};
    }

private:
    void serve(QTcpSocket *s)
    {
        QByteArray &buf = m_buffers[s];
        buf += s->readAll();
        RouterRequest req;
        const qsizetype bodyAt = testutil::readHttpHead(buf, req);
        if (bodyAt < 0)
            return;
        const int length = req.headers.value("content-length").toInt();
        if (buf.size() < bodyAt + length)
            return;
        req.body = buf.mid(bodyAt, length);
        m_buffers.remove(s);
        requests << req;
        RouterAnswer answer{404, "not here"};
        if (req.method == "GET" && pages.contains(req.path)) {
            answer = pages.value(req.path);
        } else if (req.method == "POST") {
            QList<RouterAnswer> &queue = actions[req.action()];
            if (!queue.isEmpty())
                answer = queue.size() > 1 ? queue.takeFirst() : queue.first();
        }
        if (answer.status <= 0)
            return;
        s->write("HTTP/1.1 " + QByteArray::number(answer.status) +
                 " X\r\nContent-Type: text/xml\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                 "\r\nConnection: close\r\n\r\n" + answer.body);
        s->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
