#include "scriptedpeer.h"

#include <QJsonDocument>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

ScriptedPeer::ScriptedPeer(QObject *parent) : QObject(parent) {}

ScriptedPeer::~ScriptedPeer()
{
    if (m_server)
        m_server->close();
}

void ScriptedPeer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_tls = true;
    m_certificate = certificate;
    m_key = key;
}

bool ScriptedPeer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server) {
        if (m_tls) {
            auto *server = new QSslServer(this);
            QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
            conf.setLocalCertificate(m_certificate);
            conf.setPrivateKey(m_key);
            conf.setPeerVerifyMode(QSslSocket::VerifyNone);
            server->setSslConfiguration(conf);
            m_server = server;
        } else {
            m_server = new QTcpServer(this);
        }
        // A plain server announces with newConnection, a TLS one once the handshake is over.
        connect(m_server, &QTcpServer::newConnection, this, &ScriptedPeer::acceptPending);
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &ScriptedPeer::acceptPending);
    }
    if (!m_server->listen(address, port))
        return false;
    m_port = m_server->serverPort();
    return true;
}

void ScriptedPeer::stopListening()
{
    if (m_server)
        m_server->close();
}

bool ScriptedPeer::clientConnected() const
{
    return m_current && m_current->state() == QAbstractSocket::ConnectedState;
}

void ScriptedPeer::acceptPending()
{
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        const int number = ++m_connections;
        socket->setProperty("connection", number);
        m_current = socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            ++m_closed;
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void ScriptedPeer::readFrom(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const int connection = socket->property("connection").toInt();
    qsizetype lf;
    while ((lf = buffer.indexOf('\n')) >= 0) {
        Line line;
        line.connection = connection;
        line.raw = buffer.left(lf);
        buffer.remove(0, lf + 1);
        const QJsonDocument doc = QJsonDocument::fromJson(line.raw);
        if (doc.isObject())
            line.object = doc.object();
        m_lines.append(line);
        emit lineReceived(line);
        const QString type = line.object.value(QStringLiteral("type")).toString();
        if (type == QLatin1String("hello") && !autoWelcome.isEmpty())
            socket->write(QJsonDocument(autoWelcome).toJson(QJsonDocument::Compact) + '\n');
        if (type == QLatin1String("ping") && autoPong)
            socket->write(
                QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("pong")},
                                          {QStringLiteral("id"), line.object.value(QStringLiteral("id"))}})
                    .toJson(QJsonDocument::Compact) +
                '\n');
        if (type == QLatin1String("hello") && closeAfterHello) {
            socket->disconnectFromHost();
            return;
        }
    }
    socket->setProperty("buffer", buffer);
}

QStringList ScriptedPeer::types(int connection) const
{
    QStringList out;
    for (const Line &line : m_lines) {
        if (connection == 0 || line.connection == connection)
            out.append(line.object.value(QStringLiteral("type")).toString());
    }
    return out;
}

QJsonObject ScriptedPeer::last(const QString &type) const
{
    for (auto it = m_lines.crbegin(); it != m_lines.crend(); ++it) {
        if (it->object.value(QStringLiteral("type")).toString() == type)
            return it->object;
    }
    return QJsonObject();
}

int ScriptedPeer::count(const QString &type) const
{
    return int(types().count(type));
}

void ScriptedPeer::send(const QJsonObject &msg)
{
    sendRaw(QJsonDocument(msg).toJson(QJsonDocument::Compact) + '\n');
}

void ScriptedPeer::sendRaw(const QByteArray &bytes)
{
    if (!m_current)
        return;
    m_current->write(bytes);
    m_current->flush();
}

void ScriptedPeer::closeClient()
{
    if (m_current)
        m_current->disconnectFromHost();
}
