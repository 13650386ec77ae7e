// A launcher's match control and menu bridge (in the driver process, with its stand-in game)
// against a scripted server that sends nonsense: every field of every message the launcher reads
// with a value of the wrong type, floods of notices, lobby updates and watch offers, and a line
// over the limit. The launcher must stay up, keep answering and come back after a drop.
#include "tst_match.h"

#include "matchdriverprocess.h"

#include <QJsonArray>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <memory>

namespace {

// A server on loopback that answers the session requests like orx-server and otherwise only
// writes what the test tells it to.
class HostileServer {
public:
    bool listen()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                if (m_socket)
                    m_socket->deleteLater();
                m_socket = s;
                m_buffer.clear();
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, [this, s] { read(s); });
            }
        });
        return m_udp.bind(QHostAddress::LocalHost, 0) && m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return m_server.serverPort(); }

    void send(const QJsonObject &msg) { sendRaw(QJsonDocument(msg).toJson(QJsonDocument::Compact) + '\n'); }
    void sendRaw(const QByteArray &bytes)
    {
        if (m_socket)
            m_socket->write(bytes);
    }
    // Waits until everything written has gone to the system.
    bool flush()
    {
        return orxtest::waitUntil([this] { return !m_socket || m_socket->bytesToWrite() == 0; }, 60000);
    }

    int connections = 0;
    QStringList received; // request types, in order

private:
    void read(QTcpSocket *s)
    {
        if (s != m_socket)
            return;
        m_buffer += s->readAll();
        qsizetype nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            const QJsonObject msg = QJsonDocument::fromJson(m_buffer.left(nl)).object();
            m_buffer.remove(0, nl + 1);
            answer(msg);
        }
    }
    void answer(const QJsonObject &msg)
    {
        const QString type = msg.value("type").toString();
        received << type;
        QJsonObject reply;
        if (type == "hello")
            reply = {{"type", "welcome"},
                     {"server", "hostile"},
                     {"version", "0.1.8"},
                     {"online", 1},
                     {"features", QJsonArray{"koth"}},
                     {"udp_port", int(m_udp.localPort())},
                     {"direct_above_ms", 150},
                     {"motd", ""}};
        else if (type == "register" || type == "login" || type == "auth")
            reply = {{"type", "account"},
                     {"token", QString(64, 'a')},
                     {"name", "ann"},
                     {"udp_token", "u1"},
                     {"profile", QJsonObject{{"name", "ann"}, {"stats", QJsonObject{}}}}};
        else if (type == "ping")
            reply = {{"type", "pong"}};
        else if (type == "queue_join")
            reply = {{"type", "queued"},
                     {"ping_widen", QJsonObject{{"after", 30}, {"every", 15}, {"step", 25}, {"cap", 250}}}};
        else
            return;
        if (msg.value("id").isDouble())
            reply.insert("id", msg.value("id"));
        send(reply);
    }

    QTcpServer m_server;
    QUdpSocket m_udp; // the server's UDP port: takes the launcher's hellos and never answers
    QPointer<QTcpSocket> m_socket;
    QByteArray m_buffer;
};

const QJsonValue kWrong[] = {QJsonValue(QJsonValue::Null), QJsonValue(-1e300), QJsonValue(QString(300, 'w')),
                             QJsonArray{1, "x", QJsonArray{}}, QJsonObject{{"x", QJsonObject{}}}};

// Every way of putting a wrong value into one field of `base`: top-level fields, the fields of
// objects inside it and those of the first object of each array, one at a time.
QList<QJsonValue> variants(const QJsonValue &base)
{
    QList<QJsonValue> out;
    if (base.isObject()) {
        const QJsonObject o = base.toObject();
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (it.key() == "type")
                continue;
            for (const QJsonValue &w : kWrong) {
                QJsonObject v = o;
                v.insert(it.key(), w);
                out << v;
            }
            for (const QJsonValue &inner : variants(it.value())) {
                QJsonObject v = o;
                v.insert(it.key(), inner);
                out << v;
            }
        }
    } else if (base.isArray() && !base.toArray().isEmpty()) {
        for (const QJsonValue &inner : variants(base.toArray().first())) {
            QJsonArray a = base.toArray();
            a[0] = inner;
            out << a;
        }
    }
    return out;
}

QJsonObject lobbyMessage(int startsIn)
{
    const QJsonArray members{QJsonObject{{"name", "ann"},
                                         {"ready", true},
                                         {"spectator", false},
                                         {"line", 0},
                                         {"wins", 1},
                                         {"version", "0.1.8"},
                                         {"build", ""}},
                             QJsonObject{{"name", "bob"},
                                         {"ready", false},
                                         {"spectator", false},
                                         {"line", 0},
                                         {"wins", 0},
                                         {"version", "0.1.7"},
                                         {"build", "x"}}};
    return {{"type", "lobby"},
            {"lobby", QJsonObject{{"id", "ABCDE"},
                                  {"name", "Den"},
                                  {"host", "ann"},
                                  {"game", "orx"},
                                  {"mode", "versus"},
                                  {"kind", "koth"},
                                  {"koth", true},
                                  {"locked", true},
                                  {"rounds", 3},
                                  {"region", "eu"},
                                  {"state", "open"},
                                  {"starts_in", startsIn},
                                  {"king", "ann"},
                                  {"members", members},
                                  {"password", "pw"},
                                  {"rating", QJsonObject{{"match", "m1"},
                                                         {"winner", "ann"},
                                                         {"raters", QJsonArray{"bob"}},
                                                         {"rated", QJsonArray{}}}}}}};
}

// The messages the launcher reads, each with every field it looks at; they come in this order,
// each kind first as it should be, so the later ones find a match, a series and a lobby in hand.
QList<QJsonObject> launcherMessages()
{
    const QString m = "mHOSTILE0001";
    return {
        {{"type", "welcome"},
         {"server", "hostile"},
         {"version", "0.1.8"},
         {"online", 3},
         {"features", QJsonArray{"koth"}},
         {"udp_port", 9},
         {"direct_above_ms", 150},
         {"motd", "hello"},
         {"update", QJsonObject{{"version", "0.2.0"},
                                {"build", ""},
                                {"size", 10},
                                {"sha256", QString(64, 'b')},
                                {"url", "https://example.invalid/u"}}}},
        {{"type", "account"},
         {"token", QString(64, 'a')},
         {"name", "ann"},
         {"udp_token", "u1"},
         {"profile", QJsonObject{{"name", "ann"}, {"stats", QJsonObject{}}}}},
        {{"type", "queued"},
         {"ping_widen", QJsonObject{{"after", 30}, {"every", 15}, {"step", 25}, {"cap", 250}}}},
        {{"type", "match_found"},
         {"match", m},
         {"game", "orx"},
         {"mode", "versus"},
         {"ranked", false},
         {"side", 1},
         {"accept_required", true},
         {"accept_timeout", 15},
         {"opponent", QJsonObject{{"name", "bob"}, {"title", "Gold"}, {"elo", 1600}}},
         {"connection",
          QJsonObject{{"link", "ethernet"}, {"ping", 20}, {"estimate", 40}, {"measured", false}}},
         {"result_choice", true},
         {"series", "s1"},
         {"lobby", "ABCDE"},
         {"in_place", false}},
        {{"type", "match_peer"},
         {"match", m},
         {"round", 1},
         {"try", "direct"},
         {"key", "k1"},
         {"side", 1},
         {"timeout", 10},
         {"peer", QJsonObject{{"public", "127.0.0.1:9"}, {"lan", "127.0.0.1:9"}}},
         {"relay_why", "hidden"},
         {"relay_mine", true},
         {"direct_why", "relay_ping"},
         {"back", true}},
        {{"type", "match_go"},
         {"match", m},
         {"remote", "127.0.0.1:9"},
         {"delay", 2},
         {"delay_auto", true},
         {"rtt_ms", 30},
         {"seed", 12345},
         {"p1", "-"},
         {"p2", "-"},
         {"rounds", 3},
         {"ranked", false},
         {"p1_name", "ann"},
         {"p2_name", "bob"},
         {"p1_title", ""},
         {"p2_title", ""},
         {"path", "direct"},
         {"feed", false},
         {"side", 1},
         {"series", "s1"},
         {"series_kind", "casual"},
         {"set", 1},
         {"set_p1", 0},
         {"set_p2", 0},
         {"keep", 0}},
        {{"type", "result_ack"}, {"match", m}},
        {{"type", "match_result"},
         {"match", m},
         {"status", "agreed"},
         {"winner", 1},
         {"p1_rounds", 2},
         {"p2_rounds", 0},
         {"left_side", 0},
         {"ranked", false},
         {"series", "s1"},
         {"p1_char", "a"},
         {"p2_char", "b"}},
        {{"type", "series"},
         {"series", "s1"},
         {"state", "between"},
         {"ranked", true},
         {"game", "orx"},
         {"mode", "versus"},
         {"opponent", "bob"},
         {"you", 1},
         {"them", 0},
         {"need", 2},
         {"played", 1},
         {"you_ready", false},
         {"them_ready", true},
         {"keeps", 1},
         {"seconds_left", 60},
         {"outcome", "won"},
         {"winner", "ann"},
         {"left", ""},
         {"elo", QJsonObject{{"ann", QJsonObject{{"before", 1500},
                                                 {"after", 1516},
                                                 {"delta", 16},
                                                 {"title_before", "Silver"},
                                                 {"title_after", "Silver"}}}}}},
        {{"type", "match_cancelled"}, {"match", m}, {"reason", "declined"}, {"requeued", true}},
        {{"type", "queue_left"}, {"reason", "left"}},
        lobbyMessage(3),
        {{"type", "spectate"},
         {"match", "mWATCH000001"},
         {"lobby", "ABCDE"},
         {"game", "orx"},
         {"mode", "versus"},
         {"seed", 7},
         {"p1", "-"},
         {"p2", "-"},
         {"rounds", 3},
         {"p1_name", "ann"},
         {"p2_name", "bob"},
         {"p1_title", ""},
         {"p2_title", ""}},
        {{"type", "spectate_feed"}, {"match", "mWATCH000001"}, {"data", "AQBh"}},
        {{"type", "spectate_end"}, {"match", "mWATCH000001"}, {"status", "agreed"}, {"winner", 1}},
        {{"type", "lobbies"},
         {"lobbies", QJsonArray{QJsonObject{{"id", "ABCDE"},
                                            {"name", "Den"},
                                            {"host", "ann"},
                                            {"players", 1},
                                            {"max_players", 2},
                                            {"mode", "versus"},
                                            {"koth", false},
                                            {"locked", false},
                                            {"region", "eu"},
                                            {"state", "open"}}}}},
        {{"type", "online"},
         {"count", 3},
         {"playing", 0},
         {"searching", 1},
         {"games", QJsonObject{{"orx", QJsonObject{{"matches", 0}, {"searching", 1}}}}}},
        {{"type", "leaderboard"},
         {"by", "elo"},
         {"game", "orx"},
         {"mode", "versus"},
         {"rows",
          QJsonArray{QJsonObject{
              {"rank", 1}, {"name", "ann"}, {"title", "Gold"}, {"elo", 1600}, {"wins", 3}, {"losses", 1}}}}},
        {{"type", "profile"},
         {"name", "ann"},
         {"stats",
          QJsonObject{
              {"orx",
               QJsonObject{
                   {"versus",
                    QJsonObject{
                        {"ranked", QJsonObject{{"title", "Gold"}, {"elo", 1600}, {"wins", 3}, {"losses", 1}}},
                        {"casual", QJsonObject{{"wins", 1}, {"losses", 0}, {"draws", 0}}}}}}}}},
         {"rating", QJsonObject{{"count", 1}, {"average", 7.5}}}},
        {{"type", "notice"}, {"text", "hi"}, {"level", "warn"}},
        {{"type", "update"},
         {"version", "0.2.0"},
         {"build", ""},
         {"size", 10},
         {"sha256", QString(64, 'b')},
         {"url", "https://example.invalid/u"}},
        {{"type", "error"}, {"code", "busy"}, {"re", "lobby_create"}, {"message", "Busy."}},
        {{"type", "lobby_left"}, {"lobby", "ABCDE"}, {"joined", "FGHJK"}},
        {{"type", "logged_out"}},
    };
}

// The launcher has handled everything sent before: it passed a marker on, and answers a command.
bool settled(HostileServer &server, DriverProcess &d, int n)
{
    const QString marker = QStringLiteral("marker-%1").arg(n);
    server.send({{"type", "sync_marker"}, {"n", marker}});
    if (!server.flush() || !d.waitFor(QStringLiteral("msg {\"n\":\"%1\"").arg(marker), 120000))
        return false;
    const int answers = d.count("answer ");
    d.send("ask");
    return orxtest::waitUntil([&] { return d.count("answer ") > answers; }, 30000);
}

} // namespace

void TestHostileServer::wrongTypesFloodsAndLongLines()
{
    HostileServer server;
    QVERIFY(server.listen());
    DriverProcess d;
    DriverProcess::Options o;
    o.name = "ann";
    o.bridge = true;
    o.timing = {"ending=1500"};
    QVERIFY(d.start(o, server.port()));
    QVERIFY(d.signInAndPlay());
    d.send("queue versus casual");
    QVERIFY(d.waitFor("queue ok"));
    QVERIFY(settled(server, d, 0));

    // Every field of every message with each wrong value, each kind first as it should be.
    int sent = 0;
    for (const QJsonObject &base : launcherMessages()) {
        server.send(base);
        for (const QJsonValue &v : variants(base)) {
            server.send(v.toObject());
            ++sent;
        }
        // The type itself, wrong.
        for (const QJsonValue &w : kWrong) {
            QJsonObject v = base;
            v.insert("type", w);
            server.send(v);
        }
    }
    QVERIFY2(sent > 500, qPrintable(QString::number(sent)));
    QVERIFY2(settled(server, d, 1), qPrintable(d.dump().right(3000)));

    // Floods: lobby updates, notices, and watch offers for matches that never end.
    QByteArray burst;
    for (int i = 0; i < 3000; ++i)
        burst += QJsonDocument(lobbyMessage(i % 4)).toJson(QJsonDocument::Compact) + '\n';
    for (int i = 0; i < 10000; ++i)
        burst +=
            QJsonDocument(QJsonObject{{"type", "notice"}, {"text", QString::number(i)}, {"level", "info"}})
                .toJson(QJsonDocument::Compact) +
            '\n';
    for (int i = 0; i < 3000; ++i) {
        const QString match = QStringLiteral("mFLOOD%1").arg(i, 6, 10, QChar('0'));
        burst += QJsonDocument(QJsonObject{{"type", "spectate"},
                                           {"match", match},
                                           {"lobby", "ABCDE"},
                                           {"p1_name", QStringLiteral("p%1").arg(i)},
                                           {"p2_name", "bob"}})
                     .toJson(QJsonDocument::Compact) +
                 '\n';
        if (i % 2)
            burst += QJsonDocument(
                         QJsonObject{
                             {"type", "spectate_end"}, {"match", match}, {"status", "agreed"}, {"winner", 1}})
                         .toJson(QJsonDocument::Compact) +
                     '\n';
    }
    server.sendRaw(burst);
    QVERIFY2(settled(server, d, 2), qPrintable(d.dump().right(3000)));

    // Deep nesting, then a line over the limit: the launcher drops the connection and comes back.
    server.sendRaw(QByteArray(60000, '[') + '\n');
    QVERIFY(settled(server, d, 3));
    const int before = server.connections;
    server.sendRaw("{\"type\":\"notice\",\"text\":\"" + QByteArray(70000, 'x') + "\"}\n");
    QVERIFY(orxtest::waitUntil([&] { return server.connections > before; }, 30000));
    QVERIFY(orxtest::waitUntil([&] { return server.received.count("hello") >= 2; }, 30000));
    QVERIFY(settled(server, d, 4));
}
