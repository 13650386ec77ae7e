#pragma once
// Asks the player's router, through UPnP, to forward the game's UDP port to this PC, finds the
// router's public address, and recognises routers behind another network where forwarding is
// pointless. Every step ends in one status line, logged and emitted.

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUdpSocket;

class UpnpMapper : public QObject {
    Q_OBJECT
public:
    explicit UpnpMapper(QObject *parent = nullptr);

    // Starts a sequence for `port`. While one runs, it carries on with the new port.
    void mapPort(quint16 port, bool probeOnly);
    // Uses this device description instead of searching the network.
    void setDeviceUrl(const QUrl &url);

    QString status() const { return m_status; }
    QString externalAddress() const { return m_externalAddress; }
    bool busy() const { return m_busy; }

    // The exact bytes on the wire, public so they can be checked on their own.
    static QByteArray searchMessage(const QString &target);
    static const QStringList &searchTargets();
    static QByteArray soapBody(const QString &serviceType, const QString &action, const QString &arguments);
    static QString soapValue(const QString &body, const QString &name);
    // True for addresses that cannot be reached from the Internet: RFC 1918, link-local, 100.64/10.
    static bool isNonPublic(const QHostAddress &address);

    // Tests only: renew after this many milliseconds instead of 20 minutes.
    void setRenewIntervalForTesting(int ms);

signals:
    void statusChanged(const QString &status);
    // Every end of a sequence, also when its status repeats the last one.
    void finished(const QString &status);

private:
    using SoapHandler = std::function<void(int httpStatus, const QString &body)>;

    void search();
    void readSearchAnswers();
    void searchFinished();
    void tryLocations();
    void readDescription(const QUrl &url, const QByteArray &xml);
    void askExternalAddress();
    void addMapping(int lease);
    void checkOwnMapping(quint16 port);
    void renew();
    void soap(const QString &action, const QString &arguments, SoapHandler handler);
    void finish(const QString &status);
    void report(const QString &status);

    QNetworkAccessManager *m_http = nullptr;
    QUdpSocket *m_discovery = nullptr;
    QTimer *m_discoveryTimer = nullptr;
    QTimer *m_renewTimer = nullptr;
    QUrl m_deviceUrl;
    QList<QUrl> m_locations;
    QUrl m_controlUrl;
    QString m_serviceType;
    QHostAddress m_thisPc;
    quint16 m_port = 0;
    bool m_probeOnly = false;
    bool m_busy = false;
    bool m_searching = false;
    QString m_externalAddress;
    QString m_status;
};
