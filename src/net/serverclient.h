#pragma once
// The launcher's one connection to the matchmaking server: TCP, TLS unless the address says
// "tcp://", one compact JSON object per line. Handles the session messages itself (greeting,
// sign-in, token resume, ping, errors, tunnel) and passes every other message on through
// `message`. Reconnects by itself with a growing delay unless told not to.

#include "net/fingerprint.h"
#include "net/serveraddress.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

class QSslSocket;

class ServerClient : public QObject {
    Q_OBJECT
public:
    enum State {
        Offline = 0,
        Connecting = 1,
        Rovivi = 2,   // connected and greeted by the server
        LoggedIn = 3, // signed in
    };
    Q_ENUM(State)

    // The delays the client works with. Tests shorten them; the launcher keeps the defaults.
    struct Timing {
        int pingIntervalMs = 30000;
        int firstPingMs = 2000; // after each welcome
        int reconnectFirstMs = 3000;
        int reconnectMaxMs = 30000;
    };

    // The longest line accepted from the server, line feed excluded.
    static constexpr qsizetype MaxLineBytes = 65536;

    explicit ServerClient(QObject *parent = nullptr);
    ~ServerClient() override;

    void setTiming(const Timing &timing);
    Timing timing() const { return m_timing; }

    // Starts a connection to `address` ("[tcp://|tls://]host[:port]"), pinning `fingerprint`
    // (any form; empty means none yet). Clears the no-reconnect rule.
    void connectTo(const QString &address, const QString &fingerprint);
    // Graceful close: what was written leaves first; nothing reconnects afterwards.
    void disconnectFromServer();
    // Cuts the connection as a network failure would, and lets it come back.
    void dropForTest();

    // Sends one message with the next id; returns the id, or -1 (nothing sent) when not connected.
    // A TLS connection counts as connected once its certificate has passed the check.
    int send(QJsonObject message);
    // One tunnel packet; dropped silently unless connected and signed in.
    void sendTunnel(const QByteArray &packet);

    int login(const QString &name, const QString &password);
    int registerAccount(const QString &name, const QString &password);
    void logout();
    void setToken(const QString &token);
    QString token() const { return m_token; }

    State state() const { return m_state; }
    int roundTripMs() const { return m_roundTripMs; }
    QJsonObject welcome() const { return m_welcome; }
    QJsonObject account() const { return m_account; }
    QString accountName() const;
    QString presentedFingerprint() const { return m_presentedFingerprint; }
    QString pinnedFingerprint() const { return m_pinnedFingerprint; }
    QString address() const { return m_address; }
    QString host() const { return m_host; }
    quint16 port() const { return m_port; }
    bool isPlain() const { return m_plain; }
    bool hasFeature(const QString &name) const;
    quint16 udpPort() const;
    QString udpToken() const;
    QHostAddress serverAddress() const;
    QHostAddress localAddress() const;
    QString linkType() const;

    // Reconnection bookkeeping, read by the back-off tests.
    bool isReconnectScheduled() const { return m_reconnectTimer.isActive(); }
    int lastReconnectDelayMs() const { return m_lastReconnectDelayMs; }
    bool reconnectSuppressed() const { return m_noReconnect; }

signals:
    void stateChanged(ServerClient::State state);
    void message(const QJsonObject &msg);
    void connectionError(const QString &text);
    void untrustedCertificate(const QString &fingerprint);
    void loggedIn(const QJsonObject &account);
    void loggedOut();
    void resumeFailed();
    void kicked(const QString &text);
    void tunnelData(const QByteArray &packet);

private:
    // Connection (serverclient.cpp)
    void setState(State state);
    void releaseSocket();
    bool linkReady() const;
    void onConnected();
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void onReadyRead();
    void onDisconnected();
    void onSocketError();
    void handleDisconnection();
    void refuseCertificate(bool untrusted);
    void scheduleReconnect();
    void onReconnectTimer();
    void pingStep();

    // Session messages (serverclient_session.cpp)
    void sendHello();
    void handleLine(const QByteArray &line);
    void handleWelcome(const QJsonObject &msg);
    void handleAccount(const QJsonObject &msg);
    void handleLoggedOut();
    void handlePong(const QJsonObject &msg);
    void handleError(const QJsonObject &msg);
    void handleTunnel(const QJsonObject &msg);

    Timing m_timing;
    QSslSocket *m_socket = nullptr;
    State m_state = Offline;
    QString m_address;
    QString m_host;
    quint16 m_port = 7777;
    bool m_plain = false;
    QString m_pinnedFingerprint;
    QString m_presentedFingerprint;
    QString m_token;
    QJsonObject m_welcome;
    QJsonObject m_account;
    QByteArray m_readBuffer;
    qint32 m_nextId = 1;
    qint64 m_pingId = -1;
    int m_roundTripMs = -1;
    QElapsedTimer m_pingClock;
    QTimer m_pingTimer;
    QTimer m_firstPingTimer;
    QTimer m_reconnectTimer;
    int m_reconnectDelayMs = 3000;
    int m_lastReconnectDelayMs = -1;
    bool m_noReconnect = true;
    bool m_certificateRefused = false;
    // The server ended the session with an error that was reported; its closing is no news.
    bool m_serverEndedSession = false;
    // True from the hello on: a plain link that is up, or a TLS link whose certificate passed.
    bool m_helloSent = false;
    // The disconnection of the current connection has been handled (it is handled once).
    bool m_disconnectHandled = true;
    // Counts connection changes, so a loop over received lines stops when a listener ends or
    // replaces the connection under it.
    quint64 m_generation = 0;
    // Counts connections: work queued for one connection is dropped once another has begun.
    quint64 m_connectionSerial = 0;
};
