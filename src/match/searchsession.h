#pragma once
// The search, hung off the match controller: the search request and its clock, the server's
// "queued" answer with its ping widening, and the keep-alive that holds the game port's NAT mapping
// open while searching.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include "match/matchcontroller.h"

class MatchHost;

class SearchSession : public QObject {
    Q_OBJECT
public:
    SearchSession(MatchHost *host, QObject *parent);

    // Signed in, not busy, the game checked and the port bound: "queue_join" and `Searching`.
    bool queue(const MatchController::SearchRequest &request, QString *reason);
    void onQueued(const QJsonObject &msg);
    void onQueueLeft(const QJsonObject &msg);
    // The player stops the search ("queue_leave").
    void leave();
    // The server put the player back in the queue after a match was called off.
    void requeued();
    // The phase changed: the keep-alive only runs while searching.
    void phaseChanged(MatchController::Phase phase);

    QJsonObject lastQueued() const { return m_lastQueued; }
    QJsonObject pingWiden() const { return m_pingWiden; }
    MatchController::SearchRequest lastSearch() const { return m_search; }
    int widenedPingLimit() const;
    int searchSeconds() const;

private:
    void keepAliveTick();

    MatchHost *m_host;
    MatchController::SearchRequest m_search;
    QJsonObject m_lastQueued;
    QJsonObject m_pingWiden;
    QElapsedTimer m_clock;
    QTimer m_keepAlive;
};
