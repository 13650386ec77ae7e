// The messages ServerClient sends and handles itself: greeting, sign-in, token resume, sign-out,
// pings, session-ending errors and tunnel packets.
#include "serverclient.h"

#include "core/cfg.h"
#include "core/log.h"
#include "core/version.h"
#include "platform/platform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSslSocket>

namespace {
QString str(const QJsonObject &msg, const char *key)
{
    return msg.value(QLatin1String(key)).toString();
}
} // namespace

void ServerClient::sendHello()
{
    // A connection came up: the next failure starts the back-off from the beginning.
    m_reconnectDelayMs = m_timing.reconnectFirstMs;
    m_helloSent = true;
    QJsonObject hello{
        {QStringLiteral("type"), QStringLiteral("hello")},
        {QStringLiteral("proto"), 1},
        {QStringLiteral("client"), QStringLiteral("orx-launcher")},
        {QStringLiteral("version"), QString::fromLatin1(kLauncherVersion)},
        {QStringLiteral("os"), platform::osName()},
        {QStringLiteral("features"), QJsonArray{QStringLiteral("koth")}},
    };
    const QString build = cfg::buildLabel();
    if (!build.isEmpty())
        hello.insert(QStringLiteral("build"), build);
    send(hello);
}

int ServerClient::login(const QString &name, const QString &password)
{
    return send(QJsonObject{{QStringLiteral("type"), QStringLiteral("login")},
                            {QStringLiteral("name"), name},
                            {QStringLiteral("password"), password}});
}

int ServerClient::registerAccount(const QString &name, const QString &password)
{
    return send(QJsonObject{{QStringLiteral("type"), QStringLiteral("register")},
                            {QStringLiteral("name"), name},
                            {QStringLiteral("password"), password}});
}

void ServerClient::logout()
{
    m_token.clear();
    send(QJsonObject{{QStringLiteral("type"), QStringLiteral("logout")}});
}

void ServerClient::setToken(const QString &token)
{
    m_token = token;
}

void ServerClient::sendTunnel(const QByteArray &packet)
{
    if (!linkReady() || m_state != LoggedIn)
        return;
    // Written by hand: the hot path of a tunnelled match needs no JSON serialiser and no id.
    static const QByteArray head = QByteArrayLiteral("{\"type\":\"tunnel\",\"data\":\"");
    const QByteArray data = packet.toBase64();
    QByteArray line;
    line.reserve(head.size() + data.size() + 3);
    line.append(head).append(data).append("\"}\n");
    m_socket->write(line);
}

void ServerClient::handleLine(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return; // not a message: ignored, the connection stays
    const QJsonObject msg = doc.object();
    const QString type = str(msg, "type");
    if (type == QLatin1String("tunnel")) {
        handleTunnel(msg);
        return;
    }
    if (type == QLatin1String("welcome"))
        handleWelcome(msg);
    else if (type == QLatin1String("account"))
        handleAccount(msg);
    else if (type == QLatin1String("logged_out"))
        handleLoggedOut();
    else if (type == QLatin1String("pong"))
        handlePong(msg);
    else if (type == QLatin1String("error"))
        handleError(msg);
    emit message(msg);
}

void ServerClient::handleWelcome(const QJsonObject &msg)
{
    m_welcome = msg;
    const quint64 generation = m_generation;
    setState(Rovivi);
    if (generation != m_generation)
        return;
    m_pingTimer.start(m_timing.pingIntervalMs);
    m_firstPingTimer.start(m_timing.firstPingMs);
    appendLog(QStringLiteral("server: welcome from %1 %2, %3 online")
                  .arg(str(msg, "server"), str(msg, "version"))
                  .arg(msg.value(QLatin1String("online")).toInteger()));
    if (!m_token.isEmpty())
        send(QJsonObject{{QStringLiteral("type"), QStringLiteral("auth")},
                         {QStringLiteral("token"), m_token}});
}

void ServerClient::handleAccount(const QJsonObject &msg)
{
    m_account = msg;
    m_token = str(msg, "token");
    const quint64 generation = m_generation;
    setState(LoggedIn);
    if (generation != m_generation)
        return;
    appendLog(QStringLiteral("server: logged in as %1").arg(str(msg, "name")));
    emit loggedIn(msg);
}

void ServerClient::handleLoggedOut()
{
    m_account = QJsonObject();
    if (m_state != LoggedIn)
        return;
    const quint64 generation = m_generation;
    setState(Rovivi);
    if (generation == m_generation)
        emit loggedOut();
}

void ServerClient::handlePong(const QJsonObject &msg)
{
    const QJsonValue id = msg.value(QLatin1String("id"));
    if (m_pingId < 0 || !id.isDouble() || id.toInteger(-1) != m_pingId)
        return; // the answer to another ping
    m_roundTripMs = int(m_pingClock.elapsed());
    m_pingId = -1;
}

void ServerClient::handleError(const QJsonObject &msg)
{
    const QString code = str(msg, "code");
    const QString re = str(msg, "re");
    const QString text = str(msg, "message");
    appendLog(QStringLiteral("server: error %1 (%2): %3").arg(code, re, text));
    if (re == QLatin1String("auth")) {
        // The stored token was refused; the player signs in again.
        m_token.clear();
        emit resumeFailed();
    } else if (code == QLatin1String("logged_in_elsewhere")) {
        m_account = QJsonObject();
        m_token.clear();
        m_noReconnect = true;
        m_serverEndedSession = true;
        emit kicked(text);
    } else if (code == QLatin1String("proto_mismatch") || code == QLatin1String("client_outdated")) {
        m_noReconnect = true;
        m_serverEndedSession = true;
        emit connectionError(text);
    }
}

void ServerClient::handleTunnel(const QJsonObject &msg)
{
    const QJsonValue data = msg.value(QLatin1String("data"));
    if (!data.isString())
        return;
    const auto decoded =
        QByteArray::fromBase64Encoding(data.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (decoded)
        emit tunnelData(*decoded);
}
