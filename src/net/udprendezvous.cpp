#include "udprendezvous.h"

#include "core/cfg.h"
#include "core/log.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QUdpSocket>
#include <algorithm>

namespace {

constexpr int kMaxDatagram = 2048;

QHostAddress plainV4(const QHostAddress &a)
{
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4) : a;
}

} // namespace

UdpRendezvous::UdpRendezvous(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_helloTimer.setInterval(250);
    m_punchTimer.setInterval(100);
    connect(&m_helloTimer, &QTimer::timeout, this, &UdpRendezvous::helloTick);
    connect(&m_punchTimer, &QTimer::timeout, this, &UdpRendezvous::punchTick);
}

UdpRendezvous::~UdpRendezvous()
{
    stop();
}

bool UdpRendezvous::parseEndpoint(const QString &text, QHostAddress *address, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 1)
        return false;
    const QHostAddress a(text.left(colon));
    if (a.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p < 1 || p > 65535)
        return false;
    *address = a;
    *port = quint16(p);
    return true;
}

bool UdpRendezvous::bind(quint16 port, const QHostAddress &address, QString *error)
{
    if (m_socket && m_boundPort == port && m_boundAddress == address)
        return true;
    stop();
    auto *socket = new QUdpSocket(this);
    if (!socket->bind(address, port)) {
        if (error)
            *error = QCoreApplication::translate("UdpRendezvous", "Cannot use UDP port %1: %2")
                         .arg(port)
                         .arg(socket->errorString());
        delete socket;
        return false;
    }
    m_socket = socket;
    m_boundPort = port;
    m_boundAddress = address;
    m_serverBlocked = cfg::devUdpBlocked();
    connect(m_socket, &QUdpSocket::readyRead, this, &UdpRendezvous::readDatagrams);
    appendLog(QStringLiteral("udp: bound %1:%2").arg(address.toString()).arg(port));
    return true;
}

void UdpRendezvous::hello(const QHostAddress &server, quint16 serverPort, const QString &token,
                          const QString &matchId, const QString &lanEndpoint, int timeoutMs)
{
    m_server = plainV4(server);
    m_serverPort = serverPort;
    m_token = token;
    m_helloMatch = matchId;
    m_lanEndpoint = lanEndpoint;
    m_helloTimeout = timeoutMs;
    m_helloStart = now();
    sendHello();
    m_helloTimer.start();
}

void UdpRendezvous::sendHello()
{
    QJsonObject msg{{QStringLiteral("type"), QStringLiteral("hello")},
                    {QStringLiteral("token"), m_token},
                    {QStringLiteral("match"), m_helloMatch},
                    {QStringLiteral("lan"), m_lanEndpoint},
                    {QStringLiteral("t"), now()}};
    if (m_serverRtt >= 0)
        msg.insert(QStringLiteral("rtt"), m_serverRtt);
    send(msg, m_server, m_serverPort);
}

void UdpRendezvous::helloTick()
{
    if (now() - m_helloStart > m_helloTimeout) {
        m_helloTimer.stop();
        appendLog(QStringLiteral("udp: no hello_ack from %1:%2").arg(m_server.toString()).arg(m_serverPort));
        emit helloTimedOut();
        return;
    }
    sendHello();
}

void UdpRendezvous::punchDirect(const QString &matchId, const QString &key, int side,
                                const QString &lanEndpoint, const QString &publicEndpoint, int timeoutMs)
{
    QList<Candidate> candidates;
    const QPair<QString, QString> given[] = {{QStringLiteral("lan"), lanEndpoint},
                                             {QStringLiteral("public"), publicEndpoint}};
    for (const auto &[label, endpoint] : given) {
        Candidate c{label, {}, 0};
        if (!parseEndpoint(endpoint, &c.address, &c.port))
            continue;
        const bool seen = std::any_of(candidates.begin(), candidates.end(), [&](const Candidate &o) {
            return o.address == c.address && o.port == c.port;
        });
        if (!seen)
            candidates << c;
    }
    m_candidates = candidates;
    startPunch(matchId, key, side, timeoutMs);
}

void UdpRendezvous::punchRelay(const QString &matchId, const QString &key, int side, int timeoutMs)
{
    m_candidates = {Candidate{QStringLiteral("relay"), m_server, m_serverPort}};
    startPunch(matchId, key, side, timeoutMs);
}

void UdpRendezvous::punchTo(const QString &matchId, const QString &key, int side, int timeoutMs,
                            const QHostAddress &address, quint16 port)
{
    m_candidates = {Candidate{QStringLiteral("tunnel"), plainV4(address), port}};
    startPunch(matchId, key, side, timeoutMs);
}

void UdpRendezvous::startPunch(const QString &matchId, const QString &key, int side, int timeoutMs)
{
    m_matchId = matchId;
    m_key = key;
    m_side = side;
    m_punchTimeout = timeoutMs;
    m_punchStart = now();
    m_pingCount = 0;
    m_pingSent.clear();
    m_samples.clear();
    m_via.clear();
    if (m_candidates.isEmpty()) {
        m_mode = Done;
        m_punchTimer.stop();
        emit punchDone(false, 0, QString(), QString());
        return;
    }
    m_mode = Punching;
    punchTick();
    m_punchTimer.start();
}

void UdpRendezvous::punchTick()
{
    if (m_mode == Punching) {
        if (now() - m_punchStart > m_punchTimeout) {
            finish(false);
            return;
        }
        const QJsonObject punch{{QStringLiteral("type"), QStringLiteral("punch")},
                                {QStringLiteral("match"), m_matchId},
                                {QStringLiteral("key"), m_key},
                                {QStringLiteral("side"), m_side}};
        for (const Candidate &c : std::as_const(m_candidates))
            send(punch, c.address, c.port);
    } else if (m_mode == Measuring) {
        if (m_pingCount < 5) {
            m_pingSent.insert(m_pingCount, now());
            send(QJsonObject{{QStringLiteral("type"), QStringLiteral("ping")},
                             {QStringLiteral("match"), m_matchId},
                             {QStringLiteral("key"), m_key},
                             {QStringLiteral("seq"), m_pingCount},
                             {QStringLiteral("t"), now()}},
                 m_remote, m_remotePort);
            ++m_pingCount;
            m_lastPing = now();
        } else if (m_samples.size() > 4 || now() - m_lastPing > 500) {
            finish(m_samples.size() > 2);
        }
    }
}

void UdpRendezvous::readDatagrams()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        QByteArray data(kMaxDatagram, '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 n = m_socket->readDatagram(data.data(), data.size(), &from, &fromPort);
        if (n < 0)
            continue;
        data.truncate(n);
        const QJsonDocument doc = QJsonDocument::fromJson(data);
        if (!doc.isObject())
            continue;
        handle(doc.object(), plainV4(from), fromPort);
    }
}

void UdpRendezvous::handle(const QJsonObject &msg, const QHostAddress &from, quint16 fromPort)
{
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("hello_ack")) {
        if (!m_helloTimer.isActive())
            return; // late: the hello already ended
        m_helloTimer.stop();
        const qint64 rtt = now() - msg.value(QStringLiteral("t")).toInteger();
        m_serverRtt = rtt < 1 ? 0 : int(rtt);
        appendLog(QStringLiteral("udp: hello_ack, server rtt %1 ms").arg(m_serverRtt));
        emit helloAcked(msg.value(QStringLiteral("public")).toString(), m_serverRtt);
        return;
    }
    if (m_key.isEmpty() || msg.value(QStringLiteral("match")).toString() != m_matchId ||
        msg.value(QStringLiteral("key")).toString() != m_key)
        return;
    if (type == QLatin1String("punch")) {
        if (m_mode == Punching) {
            const bool known = std::any_of(m_candidates.begin(), m_candidates.end(), [&](const Candidate &c) {
                return c.address == from && c.port == fromPort;
            });
            if (!known) {
                m_candidates << Candidate{QStringLiteral("public"), from, fromPort};
                appendLog(QStringLiteral("udp: punch from another port of the peer's, added as a candidate"));
            }
        }
        answer(msg, "punch_ack", from, fromPort);
    } else if (type == QLatin1String("ping")) {
        answer(msg, "pong", from, fromPort);
    } else if (type == QLatin1String("punch_ack") && m_mode == Punching) {
        m_remote = from;
        m_remotePort = fromPort;
        m_via = QStringLiteral("public");
        for (const Candidate &c : std::as_const(m_candidates))
            if (c.address == from && c.port == fromPort) {
                m_via = c.label;
                break;
            }
        m_mode = Measuring;
        m_pingCount = 0;
        m_lastPing = now();
    } else if (type == QLatin1String("pong") && m_mode == Measuring) {
        const int seq = msg.contains(QStringLiteral("seq")) ? msg.value(QStringLiteral("seq")).toInt(-1) : -1;
        const auto it = m_pingSent.find(seq);
        if (it == m_pingSent.end())
            return;
        m_samples << int(now() - it.value());
        m_pingSent.erase(it);
        if (m_samples.size() > 4)
            finish(true);
    }
}

void UdpRendezvous::answer(QJsonObject msg, const char *type, const QHostAddress &to, quint16 toPort)
{
    msg.insert(QStringLiteral("type"), QString::fromLatin1(type));
    msg.insert(QStringLiteral("side"), m_side);
    send(msg, to, toPort);
}

void UdpRendezvous::finish(bool ok)
{
    m_mode = Done;
    m_punchTimer.stop();
    int rtt = 0;
    QString remote;
    if (ok) {
        QList<int> sorted = m_samples;
        std::sort(sorted.begin(), sorted.end());
        rtt = sorted.at(sorted.size() / 2);
        remote = QStringLiteral("%1:%2").arg(m_remote.toString()).arg(m_remotePort);
    }
    appendLog(QStringLiteral("udp: punch %1, rtt %2 ms via %3")
                  .arg(ok ? QStringLiteral("ok") : QStringLiteral("failed"))
                  .arg(rtt)
                  .arg(m_via));
    emit punchDone(ok, rtt, remote, ok ? m_via : QString());
}

void UdpRendezvous::send(const QJsonObject &msg, const QHostAddress &to, quint16 toPort)
{
    if (!m_socket || to.isNull() || toPort == 0)
        return;
    if (m_serverBlocked && to == m_server && toPort == m_serverPort)
        return;
    m_socket->writeDatagram(QJsonDocument(msg).toJson(QJsonDocument::Compact), to, toPort);
}

void UdpRendezvous::stop()
{
    m_helloTimer.stop();
    m_punchTimer.stop();
    m_mode = Idle;
    m_matchId.clear();
    m_key.clear();
    if (m_socket) {
        m_socket->close();
        delete m_socket;
        m_socket = nullptr;
        appendLog(QStringLiteral("udp: released port %1").arg(m_boundPort));
    }
}
