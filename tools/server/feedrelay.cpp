// Spectator feeds: taken from the asked player of a lobby match, kept per match and relayed to the
// watchers at record bounds, each watcher at the pace its connection takes.
#include "feedrelay.h"
#include "feedrules.h"
#include "server.h"

#include <QTimer>

namespace {

// How much feed a watcher's connection may hold unsent before the relay waits for it to drain;
// far below the connection's own write-backlog guard, so a feed never trips it.
constexpr qint64 PaceWindow = 256 * 1024;

} // namespace

FeedRelay::FeedRelay(Server *server) : QObject(server), m_server(server) {}

FeedRelay::~FeedRelay()
{
    for (Feed *f : std::as_const(m_feeds)) {
        for (const Watcher &w : std::as_const(f->watchers))
            disconnect(w.wrote);
    }
    qDeleteAll(m_feeds);
}

void FeedRelay::open(const QString &matchId, int feeder, const QJsonObject &offer)
{
    if (m_feeds.contains(matchId))
        return;
    auto *f = new Feed;
    f->match = matchId;
    f->feeder = feeder;
    f->offer = offer;
    f->offer.insert("type", "spectate");
    m_feeds.insert(matchId, f);
}

bool FeedRelay::isRunning(const QString &matchId) const
{
    const Feed *f = m_feeds.value(matchId);
    return f && !f->ended;
}

void FeedRelay::watch(const QString &matchId, int accountId)
{
    Feed *f = m_feeds.value(matchId);
    Connection *c = m_server->connectionOf(accountId);
    if (!f || f->ended || !c || accountId == f->feeder)
        return;
    // A watcher back on a new connection gets it all again: what its old connection was still
    // carrying when it dropped may never have arrived. The offer says where the relay starts, so
    // its launcher passes on only what it did not have.
    dropWatcher(f, accountId);
    QJsonObject offer = f->offer;
    offer.insert("from", 0);
    c->send(offer);
    Watcher w;
    w.accountId = accountId;
    w.conn = c;
    w.mark = f->data.size();
    w.wrote = connect(c, &Connection::wrote, this, [this, matchId, accountId] {
        if (Feed *ff = m_feeds.value(matchId))
            pump(ff, accountId);
    });
    f->watchers.append(w);
    serverLog(QStringLiteral("match %1: %2 watches").arg(matchId, m_server->player(accountId)->name));
    pump(f, accountId);
}

void FeedRelay::dropWatcher(Feed *f, int accountId)
{
    for (qsizetype i = 0; i < f->watchers.size(); ++i) {
        if (f->watchers[i].accountId == accountId) {
            disconnect(f->watchers[i].wrote);
            f->watchers.removeAt(i);
            return;
        }
    }
}

void FeedRelay::stopWatching(int accountId)
{
    for (Feed *f : std::as_const(m_feeds))
        dropWatcher(f, accountId);
}

void FeedRelay::end(const QString &matchId, const QString &status, int winner)
{
    Feed *f = m_feeds.value(matchId);
    if (!f || f->ended)
        return;
    f->ended = true;
    const QJsonObject msg{
        {"type", "spectate_end"}, {"match", matchId}, {"status", status}, {"winner", winner}};
    // A send may end a connection, and with it a watch: go over a copy.
    QList<QPointer<Connection>> conns;
    for (const Watcher &w : std::as_const(f->watchers))
        conns.append(w.conn);
    for (const QPointer<Connection> &c : std::as_const(conns)) {
        if (c)
            c->send(msg);
    }
    QTimer::singleShot(m_server->options().feedLingerS * 1000, this, [this, matchId] { free(matchId); });
}

void FeedRelay::free(const QString &matchId)
{
    Feed *f = m_feeds.take(matchId);
    if (!f)
        return;
    for (const Watcher &w : std::as_const(f->watchers))
        disconnect(w.wrote);
    serverLog(QStringLiteral("match %1: feed freed (%2 KB kept, %3 chunks refused)")
                  .arg(matchId)
                  .arg(f->data.size() / 1024)
                  .arg(f->refused));
    m_held -= f->data.size();
    delete f;
}

void FeedRelay::refuse(Feed *f, const QString &why, const QString &who)
{
    ++m_refused;
    if (f)
        ++f->refused;
    // Counted, never answered: a launcher's link does not wait for replies. The log gets a sample.
    if (m_refused <= 10 || m_refused % 1000 == 0)
        serverLog(
            QStringLiteral("feed from %1 refused: %2 (%3 refused so far)").arg(who, why).arg(m_refused));
}

void FeedRelay::handleFeed(Player *p, const QJsonObject &msg)
{
    const QString matchId = msg.value("match").toString();
    Feed *f = m_feeds.value(matchId);
    if (!f)
        return refuse(nullptr, QStringLiteral("no feed is taken for match \"%1\"").arg(matchId.left(40)),
                      p->name);
    if (f->feeder != p->accountId)
        return refuse(f, QStringLiteral("not the player asked for the feed of %1").arg(matchId.left(40)),
                      p->name);
    QByteArray bytes;
    if (!msg.value("data").isString() || !feed::decodeStrict(msg.value("data").toString(), &bytes))
        return refuse(f, "the data is not Base64", p->name);
    if (!feed::wholeRecords(bytes))
        return refuse(f, "the data is not made of whole records", p->name);
    if (feed::largestRecord(bytes) > feed::MaxRelayBytes)
        return refuse(f, "a record is too long to relay", p->name);
    // Once full, everything after is dropped: a watching game must not get a feed with a gap.
    if (!f->full && m_held + bytes.size() > qint64(m_server->options().feedBudgetMb) * 1024 * 1024) {
        // All feeds together stay within the budget: a match that would pass it loses the rest of
        // its feed, as a full one does; the players are not touched.
        serverLog(
            QStringLiteral("match %1: the feeds held passed %2 MB in all, the rest of this feed is dropped")
                .arg(matchId)
                .arg(m_server->options().feedBudgetMb));
        f->full = true;
    }
    if (f->full || f->data.size() + bytes.size() > feed::MaxFeedBytes) {
        if (!f->full)
            serverLog(QStringLiteral("match %1: the feed passed %2 MB, the rest is dropped")
                          .arg(matchId)
                          .arg(feed::MaxFeedBytes / (1024 * 1024)));
        f->full = true;
        ++m_dropped;
        return;
    }
    ++m_accepted;
    m_bytes += bytes.size();
    m_held += bytes.size();
    f->data += bytes;
    pumpAll(f);
}

void FeedRelay::pumpAll(Feed *f)
{
    QList<int> ids;
    for (const Watcher &w : std::as_const(f->watchers))
        ids.append(w.accountId);
    for (int id : std::as_const(ids))
        pump(f, id);
}

void FeedRelay::pump(Feed *f, int accountId)
{
    Watcher *w = nullptr;
    for (Watcher &x : f->watchers) {
        if (x.accountId == accountId)
            w = &x;
    }
    if (!w)
        return;
    Connection *c = w->conn;
    if (!c || !c->isOpen())
        return dropWatcher(f, accountId);
    const qint64 lag = m_server->options().watcherLag;
    const qint64 window = qMin(PaceWindow, lag / 2);
    while (w->cursor < f->data.size() && c->pendingBytes() < window) {
        const qsizetype end = feed::recordsEnd(f->data, w->cursor, feed::MaxRelayBytes);
        if (end <= w->cursor)
            break; // only whole records are ever kept, so this does not happen
        c->send(
            QJsonObject{{"type", "spectate_feed"},
                        {"match", f->match},
                        {"data", QString::fromLatin1(f->data.mid(w->cursor, end - w->cursor).toBase64())}});
        if (!c->isOpen())
            return; // the connection ended while writing, and its watches with it
        m_relayed += end - w->cursor;
        w->cursor = end;
    }
    // Feed that came in since the watch began and still waits for the connection: past the limit
    // the watcher is cut, so the players and the other watchers never wait for it.
    const qint64 behind = f->data.size() - qMax(w->cursor, w->mark);
    if (behind > lag) {
        ++m_lagged;
        serverLog(QStringLiteral("match %1: %2 does not keep up with the feed (%3 KB behind), cut off")
                      .arg(f->match, m_server->player(accountId)->name)
                      .arg(behind / 1024));
        c->send(
            QJsonObject{{"type", "spectate_end"}, {"match", f->match}, {"status", "lagged"}, {"winner", 0}});
        dropWatcher(f, accountId);
    }
}

QJsonObject FeedRelay::statsObject() const
{
    qint64 kept = 0, watchers = 0;
    for (const Feed *f : m_feeds) {
        kept += f->data.size();
        watchers += f->watchers.size();
    }
    return QJsonObject{{"feeds", m_feeds.size()}, {"watchers", watchers}, {"kept", kept},
                       {"accepted", m_accepted},  {"bytes", m_bytes},     {"refused", m_refused},
                       {"dropped", m_dropped},    {"relayed", m_relayed}, {"lagged", m_lagged}};
}
