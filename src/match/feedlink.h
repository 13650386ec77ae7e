#pragma once
// One end of a spectator feed on 127.0.0.1: the played match's game writes its feed here (mode
// Outgoing, the records go to the server in chunks), or the watching game reads the relayed feed
// from here (mode Incoming, with the whole backlog for a game that connects late). One connection
// at a time: a new one replaces the old.

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpServer;
class QTcpSocket;

class FeedLink : public QObject {
    Q_OBJECT
public:
    enum Mode { Outgoing = 0, Incoming = 1 };
    static constexpr qsizetype Limit = 16777216; // bytes held at most, either way
    static constexpr qsizetype MaxChunk = 9216;  // bytes of whole records per "feed" message
    // A single record above this would make its "feed" line too long for the server connection
    // (and the server relays nothing larger).
    static constexpr qsizetype MaxSentRecord = 48000;

    // `limit` is the most bytes held either way (tests make it small).
    explicit FeedLink(Mode mode, QObject *parent = nullptr, qsizetype limit = Limit);
    ~FeedLink() override;

    bool start(QString *error = nullptr);
    QString endpoint() const;
    void deliver(const QByteArray &bytes);
    void flush();
    qint64 bytesPassed() const { return m_passed; }
    Mode mode() const { return m_mode; }

signals:
    void outgoing(const QByteArray &packets);
    void logLine(const QString &text);

private:
    void takeConnection();
    void readGame();

    Mode m_mode;
    qsizetype m_limit;
    QTcpServer *m_server;
    QPointer<QTcpSocket> m_socket;
    QByteArray m_buffer; // Outgoing: read from the game; Incoming: the backlog
    qint64 m_passed = 0;
    QTimer m_flush;
};
