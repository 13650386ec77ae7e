// Spectating: the outgoing feed, the offers, the watch and its end.

#include "match/matchwatch.h"

#include "game/gameprocess.h"
#include "match/feedlink.h"
#include "match/matchhost.h"
#include "match/matchrules.h"

MatchWatch::MatchWatch(MatchHost *host, QObject *parent) : QObject(parent), m_h(host)
{
    m_neverCame.setSingleShot(true);
    connect(&m_neverCame, &QTimer::timeout, this, [this] {
        if (m_h->phase() == MatchController::Watching)
            stopWatching(tr("The watched match never came through"));
    });
    m_endedEarly.setSingleShot(true);
    connect(&m_endedEarly, &QTimer::timeout, this, [this] {
        if (m_h->phase() == MatchController::Watching && !m_watchRunning)
            stopWatching(tr("The watched match ended before it got going"));
    });
}

// ---- The outgoing feed ----

QString MatchWatch::openFeed(const QJsonObject &go)
{
    handOverFeed();
    if (!go.value(QStringLiteral("feed")).toBool())
        return QString();
    auto *link = new FeedLink(FeedLink::Outgoing, this);
    QString error;
    if (!link->start(&error)) {
        m_h->log(error);
        delete link;
        return QString();
    }
    link->setProperty("match", go.value(QStringLiteral("match")).toString());
    connect(link, &FeedLink::logLine, this, [this](const QString &text) { m_h->log(text); });
    connect(link, &FeedLink::outgoing, this, [this, link](const QByteArray &packets) {
        if (m_h->server()->state() != ServerClient::LoggedIn)
            return;
        m_h->server()->send({{QStringLiteral("type"), QStringLiteral("feed")},
                             {QStringLiteral("match"), link->property("match").toString()},
                             {QStringLiteral("data"), QString::fromLatin1(packets.toBase64())}});
    });
    m_feed = link;
    return link->endpoint();
}

void MatchWatch::moveFeed(const QString &matchId)
{
    if (m_feed)
        m_feed->setProperty("match", matchId);
}

void MatchWatch::handOverFeed()
{
    if (!m_feed)
        return;
    FeedLink *link = m_feed;
    m_feed = nullptr;
    // The game's last records may still be on their way: one more flush, then the link goes.
    QTimer::singleShot(1500, link, [this, link] {
        link->flush();
        m_h->log(tr("Spectator feed: %1 KB passed on").arg(link->bytesPassed() / 1024));
        link->deleteLater();
    });
}

// ---- Offers ----

QString MatchWatch::names(const QJsonObject &offer) const
{
    return tr("%1 vs %2")
        .arg(offer.value(QStringLiteral("p1_name")).toString(),
             offer.value(QStringLiteral("p2_name")).toString());
}

void MatchWatch::onOffer(const QJsonObject &offer)
{
    const QString id = offer.value(QStringLiteral("match")).toString();
    if (id.isEmpty())
        return;
    // The relay of an offer starts at "from" (a match offered again goes on there).
    const qint64 from = qMax<qint64>(0, offer.value(QStringLiteral("from")).toInteger(0));
    if (id == m_watchedMatch) {
        m_places[id].at = from;
        return;
    }
    for (const QJsonObject &o : std::as_const(m_offers))
        if (o.value(QStringLiteral("match")).toString() == id) {
            m_places[id].at = from;
            return;
        }
    while (m_offers.size() > 1)
        dropOffer(m_offers.first().value(QStringLiteral("match")).toString());
    m_offers.append(offer);
    m_buffers.insert(id, QByteArray());
    m_places.insert(id, feedrules::Place{from, 0});
    m_h->log(tr("Lobby match %1 vs %2 to watch")
                 .arg(offer.value(QStringLiteral("p1_name")).toString(),
                      offer.value(QStringLiteral("p2_name")).toString()));
    tryStartWatch();
}

void MatchWatch::dropOffer(const QString &matchId)
{
    for (qsizetype i = 0; i < m_offers.size(); ++i)
        if (m_offers.at(i).value(QStringLiteral("match")).toString() == matchId) {
            m_offers.removeAt(i);
            break;
        }
    m_buffers.remove(matchId);
    m_places.remove(matchId);
}

void MatchWatch::onFeed(const QJsonObject &msg)
{
    const QString id = msg.value(QStringLiteral("match")).toString();
    const QByteArray data = QByteArray::fromBase64(msg.value(QStringLiteral("data")).toString().toLatin1());
    const bool watched = !m_watchedMatch.isEmpty() && id == m_watchedMatch;
    auto it = m_buffers.find(id);
    if (!watched && it == m_buffers.end())
        return;
    // Nothing passes twice: bytes relayed again after a dropped link were taken already.
    const qsizetype repeated = feedrules::takeRelayed(m_places[id], data.size());
    if (repeated >= data.size())
        return;
    const QByteArray fresh = repeated > 0 ? data.mid(repeated) : data;
    if (watched) {
        if (m_watch)
            m_watch->deliver(fresh);
        return;
    }
    // The same cap as the link that would take it: what it would refuse is not kept either.
    if (it->size() + fresh.size() <= FeedLink::Limit)
        it->append(fresh);
}

void MatchWatch::onEnd(const QJsonObject &msg)
{
    const QString id = msg.value(QStringLiteral("match")).toString();
    const QString status = msg.value(QStringLiteral("status")).toString();
    const bool finished = status == QLatin1String("agreed") || status == QLatin1String("draw");
    if (!m_watchedMatch.isEmpty() && id == m_watchedMatch) {
        m_h->log(tr("The players finished the match being watched (%1)").arg(status));
        if (finished || m_watchRunning)
            return;
        if (!m_h->match().pendingStart.isEmpty())
            stopWatching(tr("The watched match ended before it got going"));
        else
            m_endedEarly.start(m_h->timing().watchEarlyMs);
        return;
    }
    if (finished || !m_buffers.contains(id))
        return;
    for (const QJsonObject &o : std::as_const(m_offers))
        if (o.value(QStringLiteral("match")).toString() == id)
            m_h->log(tr("Lobby match %1 vs %2 ended early: not watching it")
                         .arg(o.value(QStringLiteral("p1_name")).toString(),
                              o.value(QStringLiteral("p2_name")).toString()));
    dropOffer(id);
}

// ---- The watch ----

void MatchWatch::tryStartWatch()
{
    if (watching() || m_offers.isEmpty() || m_h->phase() != MatchController::Idle)
        return;
    const QJsonObject offer = m_offers.takeFirst();
    const QString id = offer.value(QStringLiteral("match")).toString();
    const QByteArray buffered = m_buffers.take(id);
    QString why;
    if (!m_h->gameCheck(offer.value(QStringLiteral("game")).toString(), &why)) {
        m_h->log(tr("Cannot watch the lobby's match: %1").arg(why));
        return;
    }
    auto *link = new FeedLink(FeedLink::Incoming, this);
    QString error;
    if (!link->start(&error)) {
        m_h->log(error);
        delete link;
        return;
    }
    if (!buffered.isEmpty())
        link->deliver(buffered);
    dropWatchLink();
    m_watch = link;
    m_watchedMatch = id;
    m_watchedOffer = offer;
    m_watchRunning = false;
    m_endedEarly.stop();
    m_h->replaceMatch();
    m_h->match().watch = true;
    m_h->match().endText = tr("Done watching");
    m_h->match().pendingStart = matchrules::watchLine(offer, link->endpoint());
    m_h->setPhase(MatchController::Watching,
                  tr("Watching %1: the match is being set up...").arg(names(offer)));
    m_neverCame.start(m_h->timing().watchNeverMs);
    m_h->tryHoldPoint();
    emit gameShown();
}

void MatchWatch::onStatus(const QString &line)
{
    const QString word = matchrules::parseStatus(line).word;
    if (line.startsWith(QLatin1String("error exited"))) {
        // The game itself ended, not the watched match: its exit says so.
        stopWatching(tr("The game closed while watching"));
    } else if ((word == QLatin1String("ready") || word == QLatin1String("away")) && m_h->match().startSent) {
        // The game took the watch line and went back to its menu: the player left the watch.
        stopWatching(tr("Done watching %1").arg(names(m_watchedOffer)));
    } else if (word == QLatin1String("ready")) {
        m_h->tryHoldPoint();
    } else if (word == QLatin1String("in_match")) {
        m_neverCame.stop();
        m_endedEarly.stop();
        m_watchRunning = true;
        m_h->setPhase(MatchController::Watching, tr("Watching %1").arg(names(m_watchedOffer)));
        emit gameShown();
    } else if (word == QLatin1String("result") || word == QLatin1String("sparring_over")) {
        stopWatching(tr("Done watching %1").arg(names(m_watchedOffer)));
    } else if (word == QLatin1String("desync")) {
        stopWatching(tr("The watched match went out of step with the players' games; stopped watching"));
    } else if (word == QLatin1String("disconnected") || word == QLatin1String("error")) {
        stopWatching(tr("The watched match ended before its end (a player left)"));
    }
}

void MatchWatch::stopWatching(const QString &text)
{
    m_neverCame.stop();
    m_endedEarly.stop();
    m_watchRunning = false;
    m_watchedOffer = QJsonObject();
    m_places.remove(m_watchedMatch);
    m_watchedMatch.clear();
    const bool lineWritten = m_h->match().startSent;
    m_h->replaceMatch();
    m_h->match().watch = true;
    m_h->match().endText = text;
    GameProcess *game = m_h->game();
    const QString word = game ? game->statusWord() : QString();
    if (lineWritten && game && game->isRunning() && word != QLatin1String("ready") &&
        word != QLatin1String("away")) {
        m_h->finishInGame(text); // the watch link goes when the ending is over
        return;
    }
    dropWatchLink();
    m_h->setPhase(MatchController::Idle, text);
}

void MatchWatch::stopWatchingAll()
{
    m_offers.clear();
    m_buffers.clear();
    m_places.clear();
    if (m_h->phase() == MatchController::Watching)
        stopWatching(tr("Stopped watching"));
}

void MatchWatch::dropWatchLink()
{
    if (m_watch)
        m_watch->deleteLater();
    m_watch = nullptr;
}
