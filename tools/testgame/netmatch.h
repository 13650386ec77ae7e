#pragma once
// A match against the opponent's game over UDP, from the game port of the start line to the remote
// endpoint it names (the opponent, the server's relay or the local tunnel bridge alike). Both games
// step one frame every frameMs with a random input of their own, may run at most a few frames ahead
// of the inputs they hold from the other, and compare their state checksums: the match ends with
// the same result on both sides, or with "desync", or "disconnected" when the other falls silent.
// After a result both stay at their result screen on the same path: with a choice there, the player
// who chooses tells the other game in a Choice frame, repeated until that game answers with one.

#include "matchplay.h"
#include "netframe.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QTimer>

class QUdpSocket;

struct NetOptions {
    int frameMs = 16;         // one frame
    int meetMs = 20000;       // how long to wait for the opponent's first frame
    int peerTimeoutMs = 5000; // how long the opponent may stay silent during the match
    int bindWaitMs = 3000;    // how long to wait for the game port to come free
    QString outcome;          // on demand: desync, disconnected, error, away, again or feed-corrupt
    int outcomeFrame = 10;    // ... at this frame (at most the last one)
    bool draw = false;        // matches end in a draw (the opponent learns it from the frames)
};

class NetMatch : public QObject {
    Q_OBJECT
public:
    explicit NetMatch(const NetOptions &options, QObject *parent = nullptr);
    ~NetMatch() override;

    // Plays `setup` for about `matchMs`. The game port stays bound after the match, for a rematch
    // line, until release().
    void begin(const MatchSetup &setup, int matchMs);
    // Ends the match in hand without a word (a new match, or back to the hold point).
    void stop();
    // stop(), and the game port is given back.
    void release();
    // How the following matches end (empty: played out); `frame` < 0 keeps the frame.
    void setOutcome(const QString &word, int frame);
    void setDraw(bool draw) { m_options.draw = draw; }
    bool draw() const { return m_options.draw; }
    // At the result screen of a match with a choice: tells the opponent what this player chose.
    // False when there is no such screen or a choice was already made there.
    bool choose(const QString &word);
    bool playing() const { return m_phase == Binding || m_phase == Playing; }
    // Still sending its farewell after the end, so that the opponent can finish too.
    bool lingering() const { return m_phase == Lingering; }
    quint16 boundPort() const;

signals:
    void status(const QString &line);
    void logLine(const QString &text);
    // The opponent chose at the result screen (`chooser` is the side it plays).
    void chosen(const QString &choice, int chooser);
    // Both sides' states agree after `frame` (each frame once, in order), for the spectator feed.
    void confirmed(quint32 frame, quint8 p1Input, quint8 p2Input, quint32 state);

private:
    enum Phase { Idle, Binding, Playing, Lingering };

    void tryBind();
    void startPlaying();
    void tick();
    void readDatagrams();
    void takeFrame(const NetFrame &frame);
    void stepOwnFrame();
    void confirmFrames();
    void compareSum(quint32 frame, quint32 peerSum);
    void checkDone();
    void emitConfirmed(quint32 frame);
    void sendFrame(NetFrame::Kind kind);
    void takeChoice(const NetFrame &frame);
    void sendChoice();
    void endLinger();
    bool fromRemote(const QHostAddress &address, quint16 port) const;
    int outcomeFrame() const;

    void endWithResult();
    void endWithDesync(quint32 frame, const QString &detail);
    void endDisconnected(const QString &why);
    void endWithError(const QString &why);
    void endAway();
    void linger(NetFrame::Reason reason, int ticks);

    NetOptions m_options;
    QUdpSocket *m_socket = nullptr;
    QTimer m_tick;
    QTimer m_bindRetry;
    QTimer m_choiceRepeat;
    QElapsedTimer m_sinceBegin;
    QElapsedTimer m_sinceProgress;
    Phase m_phase = Idle;

    MatchSetup m_setup;
    QHostAddress m_remote;
    quint16 m_remotePort = 0;
    quint32 m_hash = 0;
    int m_side = 0;
    quint32 m_plan = 0;
    QByteArray m_mine;              // this side's inputs by frame
    QByteArray m_theirs;            // the opponent's, as far as they arrived without a gap
    QList<quint32> m_sums;          // this side's state after each frame both inputs are known for
    QMap<quint32, quint32> m_early; // the opponent's checksums of frames not stepped here yet
    quint32 m_state = 0;
    quint32 m_agreed = 0;     // frames up to which both states were found equal
    quint32 m_peerAck = 0;    // this side's inputs the opponent holds
    qint64 m_driftFrame = -1; // a desync on demand: the state drifts at this frame
    bool m_met = false;
    bool m_muted = false;       // the path broke on demand: nothing more is sent
    bool m_outcomeDone = false; // the outcome on demand happened in this match
    bool m_feedDamaged = false; // feed-corrupt happened in this match
    NetFrame::Reason m_byeReason = NetFrame::Done;
    quint32 m_desyncFrame = 0;
    bool m_ownDraw = false;
    bool m_peerDraw = false;
    // The result screen after a result, until the next match, park or release.
    bool m_atResult = false;
    NetFrame::Pick m_choice = NetFrame::NoChoice;
    int m_chooser = 0;
    bool m_choiceAnswered = false;
    bool m_choiceRefused = false; // logged once: a choice came for a match without one
    int m_lingerTicks = 0;
    quint64 m_sent = 0, m_received = 0, m_stray = 0;
};
