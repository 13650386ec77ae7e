#pragma once
// Tests of ServerClient against real sockets: an in-process scripted peer over plain TCP and over
// TLS with certificates made for the run by the openssl command: a self-signed one, and one that a
// CA of the run's own issues for 127.0.0.1.

#include "net/serverclient.h"
#include "scriptedpeer.h"

#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <memory>

class TestServerClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Addresses, fingerprints and endpoints (tst_serverclient.cpp)
    void parseAddress_data();
    void parseAddress();
    void fingerprintForms_data();
    void fingerprintForms();
    void plainIPv4_data();
    void plainIPv4();
    void tlsPin_data();
    void tlsPin();
    void endpointsAndLinkType();

    // The connection (tst_serverclient_link.cpp)
    void framing_data();
    void framing();
    void statesAndSignalsInOrder();
    void idsCountAcrossReconnections();
    void pongWithAnotherId();
    void backOffSequenceAndReset();
    void backOffDefaultsToThreeSeconds();
    void gracefulClose_data();
    void gracefulClose();
    void nothingSentWhileOffline();
    void nothingSentBeforeTheCertificateCheck();
    void serverClosesBeforeWelcome();
    void listenerEndsConnectionMidRead_data();
    void listenerEndsConnectionMidRead();

    // Session messages (tst_serverclient_session.cpp)
    void helloFields_data();
    void helloFields();
    void resumeWithToken();
    void refusedResume_data();
    void refusedResume();
    void sessionEndingErrors_data();
    void sessionEndingErrors();
    void loginRegisterLogout();
    void tunnelPackets();
    void welcomeAndAccountAccessors();

    // A real session against the development server (tst_serverclient_real.cpp)
    void realServerSession_data();
    void realServerSession();
    void realServerRefusesOutdatedClient();

    // A hostile server (tst_serverclient_hostile.cpp)
    void wrongTypesInEveryField();
    void floodOfNotices();

private:
    // A client with short timers: pings that do not interfere unless a test asks, quick retries.
    std::unique_ptr<ServerClient> makeClient(int reconnectFirstMs = 50);
    QString plainAddress(const ScriptedPeer &peer) const;
    // Connects the client to a plain peer and waits for its hello.
    void connectPlain(ServerClient &client, ScriptedPeer &peer);
    // Sends a welcome and waits for `Rovivi`.
    void greet(ServerClient &client, ScriptedPeer &peer, QJsonObject welcome = QJsonObject());
    // Sends an account and waits for `LoggedIn`.
    void signIn(ServerClient &client, ScriptedPeer &peer, const QString &token = QStringLiteral("tok-1"));
    // Sends a marker message and waits until the client has passed it on: everything the peer
    // sent before it has been handled.
    void sync(ServerClient &client, ScriptedPeer &peer);
    QString logText() const;
    // Starts orx-server with `args` on free ports; fills its address and, for TLS, the printed
    // fingerprint. The process ends with the test.
    void startRealServer(QProcess &process, const QStringList &args, QString *address, QString *fingerprint,
                         quint16 *udpPort);

    QTemporaryDir m_dir;
    QString m_configPath;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QString m_opensslFingerprint; // as `openssl x509 -fingerprint -sha256` prints it
    // A certificate for 127.0.0.1 issued by a CA of the run's own, which a client can be made to trust.
    QSslCertificate m_caCertificate;
    QSslCertificate m_issuedCertificate;
    QSslKey m_issuedKey;
    QString m_issuedFingerprint; // as openssl prints it
    int m_syncCounter = 0;
};

// Deadline for every wait; generous for a loaded machine running the sanitizers.
inline constexpr int kWaitMs = 20000;
