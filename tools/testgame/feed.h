#pragma once
// The spectator feed. A player's game whose start line names a feed endpoint sends its matches there
// over TCP: a header per match, each frame both sides confirmed (both inputs and the state after it)
// and an end record with the line the game reported. A watching game reads such a feed, replays the
// frames from the seed at its own frame rate, checks every state, and reports the players' ending.
//
// On the wire a feed is a sequence of records, each a 16-bit little-endian length and that many
// bytes; the first byte of a record is its kind.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QTcpSocket;

struct FeedRecord {
    // Pad: filler a player's game may add after each frame (to load the feed); a watcher skips it.
    enum Kind : quint8 { Bad = 0, Header = 1, Frame = 2, End = 3, Pad = 4 };
    static constexpr int MaxText = 255; // the strings of a header

    Kind kind = Bad;
    // Header: the match as played.
    QString match;
    QString mode;
    quint64 seed = 0;
    quint8 side = 0; // the side of the game that writes the feed
    quint8 rounds = 3;
    QString char1, char2; // "-" when not named
    // Frame: frame number, both sides' inputs, the state after it.
    quint32 frame = 0;
    quint8 p1 = 0, p2 = 0;
    quint32 sum = 0;
    // End: the frames written before it, the last state, the game's ending line (its status).
    quint32 frames = 0;
    quint32 finalState = 0;
    QString line;
    // Pad: this many filler bytes after the kind.
    int padBytes = 0;
};

// The record's bytes without its length.
QByteArray encodeRecord(const FeedRecord &record);
// False, with `why` filled, when `bytes` is not a well-formed record.
bool decodeRecord(const QByteArray &bytes, FeedRecord &record, QString *why = nullptr);
// The 16-bit little-endian length, then the record.
QByteArray framedRecord(const QByteArray &bytes);
// Takes the first whole record off `buffer`; false while none is complete.
bool takeRecord(QByteArray &buffer, QByteArray &record);

// Times of frame records, for measuring the feed: a player's game notes when it wrote each frame's
// record, a watching game when it read it ("w|r MATCH FRAME NS", steady-clock nanoseconds, which
// every process of the machine shares). Off unless a file is given.
class FeedTrace {
public:
    bool open(const QString &path);
    void note(char what, const QString &match, quint32 frame);

private:
    QFile m_file;
};

// A player's outgoing feed: one TCP connection kept across matches (rematch lines write a new
// header on it). Records written before the connection stands are kept and sent once it does.
class FeedOut : public QObject {
    Q_OBJECT
public:
    explicit FeedOut(QObject *parent = nullptr);
    ~FeedOut() override;

    // Connects to "address:port" unless already connected there; empty closes the feed.
    void open(const QString &endpoint);
    void close();
    bool isOpen() const { return !m_endpoint.isEmpty(); }
    void write(const FeedRecord &record);

signals:
    void logLine(const QString &text);

private:
    void connectNow();
    void flush();

    QString m_endpoint;
    QPointer<QTcpSocket> m_socket;
    QTimer m_retry;
    int m_tries = 0;
    QByteArray m_pending; // records not written to the socket yet
    quint64 m_written = 0;
};

// A watching game's end of the feed.
class FeedWatch : public QObject {
    Q_OBJECT
public:
    struct Setup {
        QString match; // the watched match (empty: the first header's)
        QString feed;  // "address:port"; empty: nothing to connect to
        bool hasSeed = false;
        quint64 seed = 0;
        int frameMs = 16;
        int meetMs = 20000;         // connecting and waiting for the first frame
        int peerTimeoutMs = 5000;   // the feed may stall this long once frames flow
        FeedTrace *trace = nullptr; // notes each frame record read
    };

    explicit FeedWatch(QObject *parent = nullptr);
    ~FeedWatch() override;
    void begin(const Setup &setup);
    void stop();
    bool watching() const { return m_active; }

signals:
    void status(const QString &line);
    void logLine(const QString &text);

private:
    void connectNow();
    void readFeed();
    void dropSocket();
    void tick();
    bool replayOne(); // false when nothing was replayed this tick
    void take(const FeedRecord &record);
    void end(const QString &line);
    QString matchKey() const;

    Setup m_setup;
    bool m_active = false;
    bool m_ended = false;
    bool m_refusedLogged = false;
    QPointer<QTcpSocket> m_socket;
    QTimer m_retry;
    QTimer m_tick;
    QElapsedTimer m_sinceStart;
    QElapsedTimer m_sinceData;
    QByteArray m_buffer;
    quint64 m_taken = 0;       // bytes of the feed taken, counted from its start
    quint64 m_connBytes = 0;   // bytes received on the current connection
    QList<FeedRecord> m_queue; // records of the watched match, in order
    bool m_inMatch = false;    // the header of the watched match came
    bool m_reported = false;   // "in_match" reported
    quint64 m_seed = 0;
    quint32 m_state = 0;
    quint32 m_replayed = 0;
};
