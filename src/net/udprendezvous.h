#pragma once
// Prepares the path between the two players' games before a match, over a UDP socket bound to the
// game's own port: greets the server's UDP port (public endpoint, round trip), punches the
// opponent's candidates until one answers, then measures the round trip with five pings.

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

class QUdpSocket;

class UdpRendezvous : public QObject {
    Q_OBJECT
public:
    struct Candidate {
        QString label; // "lan", "public", "relay" or "tunnel"
        QHostAddress address;
        quint16 port = 0;
    };
    enum Mode { Idle = 0, Punching = 1, Measuring = 2, Done = 3 };

    explicit UdpRendezvous(QObject *parent = nullptr);
    ~UdpRendezvous() override;

    bool bind(quint16 port, const QHostAddress &address, QString *error = nullptr);
    bool isBound() const { return m_socket != nullptr; }
    quint16 boundPort() const { return m_boundPort; }

    void hello(const QHostAddress &server, quint16 serverPort, const QString &token, const QString &matchId,
               const QString &lanEndpoint, int timeoutMs);
    void punchDirect(const QString &matchId, const QString &key, int side, const QString &lanEndpoint,
                     const QString &publicEndpoint, int timeoutMs);
    void punchRelay(const QString &matchId, const QString &key, int side, int timeoutMs);
    void punchTo(const QString &matchId, const QString &key, int side, int timeoutMs,
                 const QHostAddress &address, quint16 port);
    void stop();

    int serverRoundTripMs() const { return m_serverRtt; }
    Mode mode() const { return m_mode; }
    QList<Candidate> candidates() const { return m_candidates; }

    // Splits "address:port" at the last colon; false unless an IPv4 address and a port 1..65535.
    static bool parseEndpoint(const QString &text, QHostAddress *address, quint16 *port);

signals:
    void helloAcked(const QString &publicEndpoint, int rttMs);
    void helloTimedOut();
    void punchDone(bool ok, int rttMs, const QString &remote, const QString &via);

private:
    void sendHello();
    void helloTick();
    void startPunch(const QString &matchId, const QString &key, int side, int timeoutMs);
    void punchTick();
    void readDatagrams();
    void handle(const QJsonObject &msg, const QHostAddress &from, quint16 fromPort);
    void answer(QJsonObject msg, const char *type, const QHostAddress &to, quint16 toPort);
    void finish(bool ok);
    void send(const QJsonObject &msg, const QHostAddress &to, quint16 toPort);
    qint64 now() const { return m_clock.elapsed(); }

    QUdpSocket *m_socket = nullptr;
    quint16 m_boundPort = 0;
    QHostAddress m_boundAddress;
    bool m_serverBlocked = false;
    QElapsedTimer m_clock;
    QTimer m_helloTimer;
    QTimer m_punchTimer;

    QHostAddress m_server;
    quint16 m_serverPort = 0;
    QString m_token, m_helloMatch, m_lanEndpoint;
    qint64 m_helloStart = 0;
    int m_helloTimeout = 10000;
    int m_serverRtt = -1;

    QString m_matchId, m_key;
    int m_side = 0;
    QList<Candidate> m_candidates;
    Mode m_mode = Idle;
    qint64 m_punchStart = 0;
    int m_punchTimeout = 0;
    QString m_via;
    QHostAddress m_remote;
    quint16 m_remotePort = 0;
    int m_pingCount = 0;
    qint64 m_lastPing = 0;
    QHash<int, qint64> m_pingSent;
    QList<int> m_samples;
};
