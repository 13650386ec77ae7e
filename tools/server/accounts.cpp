// Accounts: sign-up, sign-in by password or session token, sign-out, and one session per account.
#include "f3inbox.h"
#include "lobbyhub.h"
#include "matchhub.h"
#include "server.h"

#include "kdfpool.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

namespace {

QByteArray randomBytes(int n)
{
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
    return b;
}

QString newToken()
{
    return QString::fromLatin1(randomBytes(32).toHex());
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool validName(const QString &name)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{3,16}$"));
    return re.match(name).hasMatch();
}

const QString CannotStore = QStringLiteral("The server cannot store that right now: try again in a moment.");

bool validPassword(const QString &password)
{
    return password.size() >= 6 && password.size() <= 128;
}

} // namespace

bool Server::takeHashSlot(Connection *c, const QJsonObject &msg)
{
    // Hashing is slow on purpose: a few at a time from one address, a bounded number in all.
    const QString address = c->addressKey();
    if (m_hashing.value(address) >= MaxHashingPerAddress || m_kdf->inFlight() >= MaxHashing) {
        slowDown(c, msg, QStringLiteral("sign-ins"));
        return false;
    }
    ++m_hashing[address];
    // Later requests of this client wait, so its answers keep their order.
    c->hold();
    return true;
}

void Server::giveHashSlot(const QString &address)
{
    if (--m_hashing[address] <= 0)
        m_hashing.remove(address);
}

void Server::handleRegister(Connection *c, const QJsonObject &msg)
{
    const QString name = msg.value("name").toString(), password = msg.value("password").toString();
    if (!validName(name))
        return c->sendError(msg, "bad_name", "Names are 3-16 letters, digits, '_' or '-'.");
    if (!validPassword(password))
        return c->sendError(msg, "bad_password", "Passwords are 6-128 characters.");
    const QString address = c->addressKey();
    if (m_throttle.signUpBlocked(address, nowMs()))
        return c->sendError(msg, "too_many_tries",
                            "Too many new accounts from your address: try again later.");
    AccountRow existing;
    if (m_db.findAccount(name, existing))
        return c->sendError(msg, "name_taken", QStringLiteral("The name %1 is taken.").arg(existing.name));
    if (!takeHashSlot(c, msg))
        return;
    const QByteArray salt = randomBytes(16);
    const int iterations = m_options.kdfIterations;
    QPointer<Connection> conn(c);
    m_kdf->derive(password, salt, iterations, [=, this](const QByteArray &hash) {
        giveHashSlot(address);
        if (!conn || m_shutDown || !conn->isOpen())
            return;
        conn->release();
        const int id = m_db.createAccount(name, salt, hash, iterations);
        if (id == -1)
            return conn->sendError(msg, "name_taken", QStringLiteral("The name %1 is taken.").arg(name));
        if (id < 0)
            return conn->sendError(msg, "server_error", CannotStore);
        m_throttle.signedUp(address, nowMs());
        serverLog(QStringLiteral("new account %1 from %2").arg(name, address));
        const QString token = newToken();
        if (!m_db.addSession(token, id))
            return conn->sendError(msg, "server_error", CannotStore);
        signIn(conn, msg, id, token);
    });
}

void Server::handleLogin(Connection *c, const QJsonObject &msg)
{
    const QString name = msg.value("name").toString(), password = msg.value("password").toString();
    const QString address = c->addressKey();
    if (m_throttle.loginBlocked(address, name, nowMs()))
        return c->sendError(msg, "too_many_tries", "Too many wrong passwords. Try again in a few minutes.");
    if (m_throttle.signInsBlocked(address, nowMs()))
        return c->sendError(msg, "too_many_tries",
                            "Too many sign-ins from your address. Try again in a few minutes.");
    AccountRow row;
    const bool found = validName(name) && m_db.findAccount(name, row);
    if (!takeHashSlot(c, msg))
        return;
    // The same work for unknown names, so the answer time does not tell which names exist.
    const QByteArray salt = found ? row.salt : QByteArray(16, 'x');
    QPointer<Connection> conn(c);
    auto check = [=, this] {
        m_kdf->derive(password.left(128), salt, found ? row.iterations : m_options.kdfIterations,
                      [=, this](const QByteArray &hash) {
                          giveHashSlot(address);
                          if (!conn || m_shutDown || !conn->isOpen())
                              return;
                          conn->release();
                          if (!found || !sameBytes(hash, row.hash)) {
                              m_throttle.loginFailed(address, name, nowMs());
                              return conn->sendError(msg, "wrong_password", "Wrong name or password.");
                          }
                          m_throttle.loginSucceeded(address, name, nowMs());
                          const QString token = newToken();
                          if (!m_db.addSession(token, row.id))
                              return conn->sendError(msg, "server_error", CannotStore);
                          signIn(conn, msg, row.id, token);
                      });
    };
    // A name many addresses guess at is checked one try at a time, the owner's among them: slower,
    // but never closed to them. The connection waits (held) and keeps its hash slot meanwhile.
    const qint64 wait = m_throttle.nameCheckWait(name, nowMs());
    if (wait <= 0)
        return check();
    QTimer::singleShot(int(wait), this, [=, this] {
        if (m_shutDown)
            return;
        if (!conn || !conn->isOpen())
            return giveHashSlot(address);
        check();
    });
}

void Server::handleAuth(Connection *c, const QJsonObject &msg)
{
    const QString token = msg.value("token").toString();
    const int id = token.isEmpty() || token.size() > 128
                       ? -1
                       : m_db.accountForToken(token, qint64(m_options.sessionDays) * 86400);
    if (id < 0)
        return c->sendError(msg, "bad_token", "That session has ended: sign in again.");
    signIn(c, msg, id, token);
}

void Server::handleLogout(Connection *c, const QJsonObject &msg)
{
    if (!c->token.isEmpty())
        m_db.removeSession(c->token);
    signOut(c);
    c->reply(msg, QJsonObject{{"type", "logged_out"}});
}

void Server::signIn(Connection *c, const QJsonObject &request, int accountId, const QString &token)
{
    if (c->accountId >= 0 && c->accountId != accountId)
        signOut(c);
    Player *p = m_players.value(accountId);
    if (!p) {
        p = new Player;
        p->accountId = accountId;
        p->name = m_db.accountName(accountId);
        m_players.insert(accountId, p);
    }
    if (p->conn && p->conn != c) {
        // One session per account: the newer sign-in wins and the older connection is told why it ends.
        Connection *old = p->conn;
        old->send(QJsonObject{{"type", "error"},
                              {"code", "logged_in_elsewhere"},
                              {"re", "session"},
                              {"message", "You signed in on another PC, so this one was signed out."}});
        old->accountId = -1;
        p->conn = nullptr;
        m_hub->playerGone(p);
        m_lobbies->playerGone(p);
        old->closeGracefully();
        serverLog(QStringLiteral("%1 signed in elsewhere: the older connection ends").arg(p->name));
    }
    if (!p->udpToken.isEmpty())
        m_udpTokens.remove(p->udpToken);
    p->udpToken = newToken().left(32);
    m_udpTokens.insert(p->udpToken, accountId);
    p->conn = c;
    c->accountId = accountId;
    c->token = token;
    c->reply(request, QJsonObject{{"type", "account"},
                                  {"token", token},
                                  {"name", p->name},
                                  {"udp_token", p->udpToken},
                                  {"profile", profileOf(accountId)}});
    m_hub->playerBack(p);
    m_lobbies->playerBack(p);
}

void Server::signOut(Connection *c)
{
    if (c->accountId < 0)
        return;
    Player *p = m_players.value(c->accountId);
    c->accountId = -1;
    c->token.clear();
    if (!p || p->conn != c)
        return;
    if (m_f3)
        m_f3->forget(p->accountId);
    p->conn = nullptr;
    m_udpTokens.remove(p->udpToken);
    p->udpToken.clear();
    if (m_hub)
        m_hub->playerGone(p);
    if (m_lobbies)
        m_lobbies->playerGone(p);
}

QJsonObject Server::profileOf(int accountId)
{
    int ratings = 0;
    double average = 0;
    m_db.ratingOf(accountId, &ratings, &average);
    // "rating": what King of the Hill players gave this player's wins (average to one decimal).
    return QJsonObject{{"name", m_db.accountName(accountId)},
                       {"stats", m_db.statsObject(accountId)},
                       {"rating", QJsonObject{{"count", ratings}, {"average", qRound(average * 10) / 10.0}}}};
}
