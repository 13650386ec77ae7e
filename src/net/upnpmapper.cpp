#include "upnpmapper.h"

#include "core/log.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>
#include <QUdpSocket>
#include <QXmlStreamReader>

namespace {

const QHostAddress kSsdpGroup(QStringLiteral("239.255.255.250"));
constexpr quint16 kSsdpPort = 1900;
constexpr int kRenewMs = 20 * 60 * 1000;
constexpr int kRequestMs = 4000;

} // namespace

UpnpMapper::UpnpMapper(QObject *parent)
    : QObject(parent), m_http(new QNetworkAccessManager(this)), m_discoveryTimer(new QTimer(this)),
      m_renewTimer(new QTimer(this))
{
    m_http->setProxy(QNetworkProxy::NoProxy);
    m_discoveryTimer->setSingleShot(true);
    m_discoveryTimer->setInterval(3000);
    connect(m_discoveryTimer, &QTimer::timeout, this, &UpnpMapper::searchFinished);
    m_renewTimer->setInterval(kRenewMs);
    connect(m_renewTimer, &QTimer::timeout, this, &UpnpMapper::renew);
}

void UpnpMapper::setRenewIntervalForTesting(int ms)
{
    m_renewTimer->setInterval(ms);
}

const QStringList &UpnpMapper::searchTargets()
{
    static const QStringList targets{QStringLiteral("urn:schemas-upnp-org:device:InternetGatewayDevice:1"),
                                     QStringLiteral("urn:schemas-upnp-org:device:InternetGatewayDevice:2"),
                                     QStringLiteral("urn:schemas-upnp-org:service:WANIPConnection:1"),
                                     QStringLiteral("urn:schemas-upnp-org:service:WANPPPConnection:1")};
    return targets;
}

QByteArray UpnpMapper::searchMessage(const QString &target)
{
    return "M-SEARCH * HTTP/1.1\r\n"
           "HOST: 239.255.255.250:1900\r\n"
           "MAN: \"ssdp:discover\"\r\n"
           "MX: 2\r\n"
           "ST: " +
           target.toLatin1() + "\r\n\r\n";
}

QByteArray UpnpMapper::soapBody(const QString &serviceType, const QString &action, const QString &arguments)
{
    const QString body = QStringLiteral("<?xml version=\"1.0\"?>\r\n"
                                        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                                        "<s:Body><u:%1 xmlns:u=\"%2\">%3</u:%1></s:Body></s:Envelope>\r\n")
                             .arg(action, serviceType, arguments);
    return body.toUtf8();
}

QString UpnpMapper::soapValue(const QString &body, const QString &name)
{
    const QRegularExpression re(QStringLiteral("<%1>([^<]*)</%1>").arg(name));
    return re.match(body).captured(1).trimmed();
}

bool UpnpMapper::isNonPublic(const QHostAddress &address)
{
    if (address.isNull())
        return false;
    static const QList<QPair<QHostAddress, int>> ranges{{QHostAddress(QStringLiteral("10.0.0.0")), 8},
                                                        {QHostAddress(QStringLiteral("172.16.0.0")), 12},
                                                        {QHostAddress(QStringLiteral("192.168.0.0")), 16},
                                                        {QHostAddress(QStringLiteral("169.254.0.0")), 16},
                                                        {QHostAddress(QStringLiteral("100.64.0.0")), 10}};
    for (const auto &range : ranges)
        if (address.isInSubnet(range.first, range.second))
            return true;
    return address.isLinkLocal();
}

void UpnpMapper::setDeviceUrl(const QUrl &url)
{
    m_deviceUrl = url;
}

void UpnpMapper::mapPort(quint16 port, bool probeOnly)
{
    m_port = port;
    m_probeOnly = probeOnly;
    if (m_busy)
        return;
    m_busy = true;
    if (!m_controlUrl.isEmpty()) {
        askExternalAddress();
    } else if (!m_deviceUrl.isEmpty()) {
        m_locations = {m_deviceUrl};
        tryLocations();
    } else {
        search();
    }
}

void UpnpMapper::search()
{
    report(tr("looking for the router (UPnP)"));
    m_locations.clear();
    if (m_discovery) {
        m_discovery->deleteLater();
        m_discovery = nullptr;
    }
    auto *socket = new QUdpSocket(this);
    if (!socket->bind(QHostAddress::AnyIPv4, 0)) {
        const QString error = socket->errorString();
        socket->deleteLater();
        finish(tr("no UPnP (%1)").arg(error));
        return;
    }
    m_discovery = socket;
    m_searching = true;
    connect(socket, &QUdpSocket::readyRead, this, &UpnpMapper::readSearchAnswers);
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            !(flags & QNetworkInterface::CanMulticast) || (flags & QNetworkInterface::IsLoopBack))
            continue;
        bool hasIpv4 = false;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            hasIpv4 = hasIpv4 || entry.ip().protocol() == QAbstractSocket::IPv4Protocol;
        if (!hasIpv4)
            continue;
        socket->setMulticastInterface(iface);
        for (const QString &target : searchTargets())
            socket->writeDatagram(searchMessage(target), kSsdpGroup, kSsdpPort);
    }
    m_discoveryTimer->start();
}

void UpnpMapper::readSearchAnswers()
{
    static const QRegularExpression location(QStringLiteral("^LOCATION:[ \\t]*(\\S+)"),
                                             QRegularExpression::CaseInsensitiveOption |
                                                 QRegularExpression::MultilineOption);
    while (m_discovery && m_discovery->hasPendingDatagrams()) {
        QByteArray datagram(qMax<qint64>(0, m_discovery->pendingDatagramSize()), '\0');
        const qint64 n = m_discovery->readDatagram(datagram.data(), datagram.size());
        if (n < 0)
            break;
        datagram.truncate(n);
        const QString text = QString::fromLatin1(datagram).remove(QLatin1Char('\r'));
        const auto m = location.match(text);
        if (!m.hasMatch())
            continue;
        const QUrl url(m.captured(1));
        if (url.isValid() && url.scheme() == QLatin1String("http") && !m_locations.contains(url))
            m_locations << url;
    }
}

void UpnpMapper::searchFinished()
{
    m_searching = false;
    if (m_discovery) {
        m_discovery->deleteLater();
        m_discovery = nullptr;
    }
    if (m_locations.isEmpty()) {
        finish(tr("no UPnP router answered"));
        return;
    }
    tryLocations();
}

void UpnpMapper::tryLocations()
{
    if (m_locations.isEmpty()) {
        finish(tr("the router offers no port mapping (UPnP)"));
        return;
    }
    const QUrl url = m_locations.takeFirst();
    QNetworkRequest request(url);
    request.setTransferTimeout(kRequestMs);
    QNetworkReply *reply = m_http->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            appendLog(QStringLiteral("upnp: %1: %2").arg(reply->errorString(), url.toString()));
            tryLocations();
            return;
        }
        readDescription(url, reply->readAll());
    });
}

void UpnpMapper::readDescription(const QUrl &url, const QByteArray &xml)
{
    QUrl base = url;
    QString chosenType, chosenControl;
    QString type, control;
    bool inService = false;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const auto name = reader.name();
            if (name == QLatin1String("URLBase")) {
                const QUrl given(reader.readElementText().trimmed());
                if (given.isValid() && !given.isEmpty())
                    base = given;
            } else if (name == QLatin1String("service")) {
                inService = true;
                type.clear();
                control.clear();
            } else if (inService && name == QLatin1String("serviceType")) {
                type = reader.readElementText().trimmed();
            } else if (inService && name == QLatin1String("controlURL")) {
                control = reader.readElementText().trimmed();
            }
        } else if (reader.isEndElement() && reader.name() == QLatin1String("service")) {
            inService = false;
            if (chosenControl.isEmpty() && !control.isEmpty() &&
                (type.contains(QLatin1String(":WANIPConnection:")) ||
                 type.contains(QLatin1String(":WANPPPConnection:")))) {
                chosenType = type;
                chosenControl = control;
            }
        }
    }
    if (chosenControl.isEmpty()) {
        tryLocations();
        return;
    }
    m_serviceType = chosenType;
    m_controlUrl = base.resolved(QUrl(chosenControl));

    // Connecting a UDP socket sends nothing: it only makes the system choose the route.
    QUdpSocket probe;
    const QHostAddress router(m_controlUrl.host());
    probe.connectToHost(router, quint16(m_controlUrl.port(80)));
    probe.waitForConnected(1000);
    QHostAddress local = probe.localAddress();
    bool isV4 = false;
    local.toIPv4Address(&isV4);
    if (local.isNull() || !isV4) {
        m_controlUrl.clear();
        finish(tr("no route to the router at %1").arg(url.host()));
        return;
    }
    m_thisPc = QHostAddress(local.toIPv4Address());
    appendLog(QStringLiteral("upnp: router %1, %2 at %3, this PC %4")
                  .arg(url.toString(), m_serviceType, m_controlUrl.toString(), m_thisPc.toString()));
    askExternalAddress();
}

void UpnpMapper::askExternalAddress()
{
    soap(QStringLiteral("GetExternalIPAddress"), QString(), [this](int status, const QString &body) {
        // Only an answer replaces the address; a failed or timed-out call keeps the last one known.
        const bool answered = status == 200;
        if (answered)
            m_externalAddress = soapValue(body, QStringLiteral("NewExternalIPAddress"));
        const QHostAddress external(m_externalAddress);
        if (!external.isNull() && isNonPublic(external)) {
            finish(tr(
                "the router is behind another network (its outside address is not public), so ports cannot "
                "be opened; matches connect by hole punching or through the server"));
            return;
        }
        if (m_probeOnly) {
            finish(m_externalAddress.isEmpty()
                       ? tr("router found (UPnP), its public address unknown; nothing changed")
                       : tr("router found (UPnP) with a public address; nothing changed"));
            return;
        }
        if (answered && m_externalAddress.isEmpty()) {
            // A router that answers with an empty outside address (reserved or unconnected WAN
            // side) refuses every mapping; say so instead of reporting an obscure refusal. A router
            // that merely failed this one call may still map the port, so it gets the request.
            finish(
                tr("the router does not know its public address (it may be behind another network), so ports "
                   "cannot be opened; matches connect by hole punching or through the server"));
            return;
        }
        addMapping(3600);
    });
}

void UpnpMapper::addMapping(int lease)
{
    const quint16 port = m_port;
    const QString args = QStringLiteral("<NewRemoteHost></NewRemoteHost><NewExternalPort>%1</NewExternalPort>"
                                        "<NewProtocol>UDP</NewProtocol><NewInternalPort>%1</NewInternalPort>"
                                        "<NewInternalClient>%2</NewInternalClient><NewEnabled>1</NewEnabled>"
                                        "<NewPortMappingDescription>Orvex Rovivi</NewPortMappingDescription>"
                                        "<NewLeaseDuration>%3</NewLeaseDuration>")
                             .arg(port)
                             .arg(m_thisPc.toString())
                             .arg(lease);
    soap(QStringLiteral("AddPortMapping"), args, [this, lease, port](int status, const QString &body) {
        if (status == 200) {
            m_renewTimer->start();
            finish(tr("UDP port %1 open on the router (UPnP)").arg(port));
            return;
        }
        const int code = soapValue(body, QStringLiteral("errorCode")).toInt();
        if (code == 725 && lease != 0) {
            addMapping(0);
        } else if (code == 718) {
            checkOwnMapping(port);
        } else {
            finish(tr("the router did not open UDP port %1 (UPnP error %2)")
                       .arg(port)
                       .arg(code != 0 ? code : status));
        }
    });
}

void UpnpMapper::checkOwnMapping(quint16 port)
{
    const QString args = QStringLiteral("<NewRemoteHost></NewRemoteHost><NewExternalPort>%1</NewExternalPort>"
                                        "<NewProtocol>UDP</NewProtocol>")
                             .arg(port);
    soap(QStringLiteral("GetSpecificPortMappingEntry"), args, [this, port](int status, const QString &body) {
        const QString client = soapValue(body, QStringLiteral("NewInternalClient"));
        if (status == 200 && client == m_thisPc.toString()) {
            m_renewTimer->start();
            finish(tr("UDP port %1 open on the router (UPnP)").arg(port));
            return;
        }
        finish(
            tr("UDP port %1 is forwarded to another device on your network (%2): choose another game port in "
               "Settings")
                .arg(port)
                .arg(client.isEmpty() ? tr("unknown") : client));
    });
}

void UpnpMapper::renew()
{
    if (m_port == 0 || m_busy)
        return;
    m_busy = true;
    if (!m_controlUrl.isEmpty()) {
        askExternalAddress();
    } else if (m_deviceUrl.isEmpty()) {
        search();
    } else {
        m_locations = {m_deviceUrl};
        tryLocations();
    }
}

void UpnpMapper::soap(const QString &action, const QString &arguments, SoapHandler handler)
{
    QNetworkRequest request(m_controlUrl);
    request.setTransferTimeout(kRequestMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/xml; charset=\"utf-8\""));
    request.setRawHeader("SOAPAction", QStringLiteral("\"%1#%2\"").arg(m_serviceType, action).toUtf8());
    QNetworkReply *reply = m_http->post(request, soapBody(m_serviceType, action, arguments));
    connect(reply, &QNetworkReply::finished, this, [reply, handler = std::move(handler)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // A timed-out request is closed already and has no body.
        handler(status, reply->isOpen() ? QString::fromUtf8(reply->readAll()) : QString());
    });
}

void UpnpMapper::finish(const QString &status)
{
    m_busy = false;
    report(status);
    emit finished(status);
}

void UpnpMapper::report(const QString &status)
{
    if (status == m_status)
        return;
    m_status = status;
    appendLog(QStringLiteral("upnp: ") + status);
    emit statusChanged(status);
}
