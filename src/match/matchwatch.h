#pragma once
// Spectating, hung off the match controller: the outgoing feed of the match being played, the
// lobby matches offered for watching, and the watch itself in the Watching phase. The controller
// keeps the phase; the watch line waits at the game's hold point like a start line.

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "match/feedrules.h"

class FeedLink;
class MatchHost;

class MatchWatch : public QObject {
    Q_OBJECT
public:
    MatchWatch(MatchHost *host, QObject *parent);

    // The outgoing feed of a played match.
    QString openFeed(const QJsonObject &go); // a fresh match_go: its endpoint, or empty
    void moveFeed(const QString &matchId);   // an in-place match_go
    void handOverFeed();

    // Watching.
    bool watching() const { return !m_watchedMatch.isEmpty(); }
    bool hasOffers() const { return !m_offers.isEmpty(); }
    QList<QJsonObject> offers() const { return m_offers; }
    void onOffer(const QJsonObject &offer);
    void onFeed(const QJsonObject &msg);
    void onEnd(const QJsonObject &msg);
    void onStatus(const QString &line);
    void tryStartWatch();
    void stopWatching(const QString &text);
    void stopWatchingAll();
    void dropWatchLink();

signals:
    void gameShown();

private:
    QString names(const QJsonObject &offer) const;
    void dropOffer(const QString &matchId);

    MatchHost *m_h;
    QPointer<FeedLink> m_feed;  // the played match's, mode Outgoing
    QPointer<FeedLink> m_watch; // the watched match's, mode Incoming
    QString m_watchedMatch;
    QJsonObject m_watchedOffer;
    bool m_watchRunning = false; // "in_match" seen
    QList<QJsonObject> m_offers; // oldest first, at most two
    QHash<QString, QByteArray> m_buffers;
    // Where each queued or watched match's relayed feed stands: a server that offers the match
    // again after a dropped link relays part of it a second time.
    QHash<QString, feedrules::Place> m_places;
    QTimer m_neverCame;
    QTimer m_endedEarly;
};
