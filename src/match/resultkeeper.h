#pragma once
// The result of a match until the server acknowledges it, hung off the match controller: a
// connection that drops right after sending may have lost it, so it is sent again after the next
// sign-in, and it outlives its match. The server's "no_such_match" to its last sending ends it.

#include <QJsonObject>
#include <QObject>

class ServerClient;

class ResultKeeper : public QObject {
    Q_OBJECT
public:
    ResultKeeper(ServerClient *server, QObject *parent);

    // Keeps the "result" message and sends it when signed in.
    void keep(const QJsonObject &result);
    bool holds() const { return !m_result.isEmpty(); }
    QString matchId() const;
    // The server's verdict on the match came: nothing left to send.
    void decided(const QString &matchId);
    // "result_ack": only the first for the kept result counts.
    bool onAck(const QJsonObject &msg);
    // An "error" for a "result" with the code "no_such_match": when it answers the last sending of
    // the kept result, the result is let go and its match id returned; otherwise empty.
    QString unknownToServer(const QJsonObject &error);
    // After a sign-in: the kept result goes again; true when it was sent.
    bool sendAgain();

signals:
    void logLine(const QString &text);

private:
    ServerClient *m_server;
    QJsonObject m_result;
    int m_request = -1; // the request id of its last sending
};
