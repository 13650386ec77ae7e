#pragma once
// The datagrams the stand-in game exchanges with its opponent during a match, and the state both
// sides step with every frame. Each datagram repeats the inputs the opponent has not confirmed yet
// and the sender's state checksums of its last frames, so a lost datagram costs nothing and both
// sides find the first frame on which their states part. After a match with a choice at the result
// screen, the player who chooses sends it in a Choice frame, repeated until the other game sends one
// back.

#include <QByteArray>
#include <QList>
#include <QString>

struct NetFrame {
    enum Kind : quint8 { Play = 0, Bye = 1, Choice = 2 };
    // Why a side left the match (with Bye).
    enum Reason : quint8 { Done = 0, Desync = 1, Error = 2, Away = 3, Disconnected = 4 };
    // What the player chose at the result screen (with Choice; the answer repeats it).
    enum Pick : quint8 { NoChoice = 0, Rematch = 1, Select = 2, Leave = 3 };
    // Bits of the flags byte.
    enum Flag : quint8 { DrawFlag = 1 };
    static constexpr int MaxInputs = 64;
    static constexpr int MaxSums = 32;

    Kind kind = Play;
    quint8 side = 0;
    Reason reason = Done;    // byte 6 of Play and Bye frames
    Pick choice = NoChoice;  // byte 6 of Choice frames
    bool draw = false;       // the sender plays this match to a draw (Play and Bye)
    quint32 match = 0;       // matchHash of the match id
    quint32 plan = 0;        // frames the sender means to play
    quint32 ack = 0;         // the opponent's inputs the sender holds, counted from frame 0
    quint32 inputFrom = 0;   // frame of inputs[0]
    QByteArray inputs;       // the sender's inputs, one byte per frame
    quint32 sumFrom = 0;     // frame of sums[0]
    QList<quint32> sums;     // the sender's state after each of those frames
    quint32 desyncFrame = 0; // with reason Desync: the frame the sender found
};

QByteArray encodeFrame(const NetFrame &frame);
// False, with `why` filled, for anything that is not a well-formed frame (other traffic on the
// game port, damaged or hostile datagrams).
bool decodeFrame(const QByteArray &bytes, NetFrame &frame, QString *why = nullptr);

// "rematch", "select", "leave" and back; NoChoice / empty for anything else.
NetFrame::Pick choiceFromWord(const QString &word);
QString choiceWord(NetFrame::Pick choice);

// FNV-1a of the match id: enough to tell this match's datagrams from a previous one's.
quint32 matchHash(const QString &match);
// The shared state before frame 0, and after a frame with both sides' inputs.
quint32 initialState(quint64 seed);
quint32 nextState(quint32 state, quint8 p1Input, quint8 p2Input);
