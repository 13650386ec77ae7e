#include "match/resultkeeper.h"

#include "net/serverclient.h"

ResultKeeper::ResultKeeper(ServerClient *server, QObject *parent) : QObject(parent), m_server(server) {}

QString ResultKeeper::matchId() const
{
    return m_result.value(QStringLiteral("match")).toString();
}

void ResultKeeper::keep(const QJsonObject &result)
{
    m_result = result;
    m_request = m_server->state() == ServerClient::LoggedIn ? m_server->send(result) : -1;
}

void ResultKeeper::decided(const QString &matchId)
{
    if (!m_result.isEmpty() && this->matchId() == matchId)
        m_result = QJsonObject();
}

bool ResultKeeper::onAck(const QJsonObject &msg)
{
    // A result sent again after a dropped connection is acknowledged again.
    const QString id = msg.value(QStringLiteral("match")).toString();
    if (m_result.isEmpty() || matchId() != id)
        return false;
    m_result = QJsonObject();
    emit logLine(tr("Result of %1 acknowledged by the server").arg(id));
    return true;
}

QString ResultKeeper::unknownToServer(const QJsonObject &error)
{
    // A server that restarted, or one that ended the match long ago, has no match to count it in.
    if (m_result.isEmpty() || m_request < 0 || error.value(QStringLiteral("id")).toInteger(-1) != m_request)
        return QString();
    const QString id = matchId();
    m_result = QJsonObject();
    emit logLine(tr("The server no longer knows match %1; its result was not recorded").arg(id));
    return id;
}

bool ResultKeeper::sendAgain()
{
    if (m_result.isEmpty())
        return false;
    m_request = m_server->send(m_result);
    if (m_request < 0)
        return false;
    emit logLine(tr("Sent the stored result of match %1").arg(matchId()));
    return true;
}
