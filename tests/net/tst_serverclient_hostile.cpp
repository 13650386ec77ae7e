// Whatever a server sends, the client holds its ground: every field of every message it reads
// with a value of the wrong type, nesting too deep to parse, and floods.
#include "tst_serverclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

// The messages the client reads itself, each with every field it looks at.
QList<QJsonObject> clientMessages()
{
    return {
        {{"type", "welcome"},
         {"server", "orx-test"},
         {"version", "1.0"},
         {"online", 3},
         {"features", QJsonArray{"koth"}},
         {"udp_port", 7778},
         {"direct_above_ms", 150},
         {"motd", "hi"},
         {"update",
          QJsonObject{{"version", "0.2.0"}, {"size", 1}, {"sha256", QString(64, 'a')}, {"url", "x"}}}},
        {{"type", "account"},
         {"name", "alice"},
         {"token", "tok-1"},
         {"udp_token", "udp-7"},
         {"profile", QJsonObject{}}},
        {{"type", "pong"}, {"id", 1}},
        {{"type", "error"}, {"code", "slow_down"}, {"re", "lobby_list"}, {"message", "Later."}, {"id", 2}},
        {{"type", "error"}, {"code", "bad_token"}, {"re", "auth"}, {"message", "Ended."}},
        {{"type", "tunnel"}, {"data", "AAEC"}},
        {{"type", "logged_out"}, {"id", 3}},
    };
}

const QJsonValue kWrongValues[] = {QJsonValue(QJsonValue::Null), QJsonValue(-1e300),
                                   QJsonValue(QString(3000, 'w')), QJsonArray{1, "x", QJsonArray{}},
                                   QJsonObject{{"x", QJsonObject{}}}};

} // namespace

void TestServerClient::wrongTypesInEveryField()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(600000);
    int messages = 0;
    connect(client.get(), &ServerClient::message, this, [&messages] { ++messages; });
    connectPlain(*client, peer);
    greet(*client, peer);
    signIn(*client, peer);
    messages = 0;
    int passedOn = 0;
    for (const QJsonObject &base : clientMessages()) {
        for (auto it = base.begin(); it != base.end(); ++it) {
            for (const QJsonValue &v : kWrongValues) {
                QJsonObject m = base;
                m.insert(it.key(), v);
                peer.send(m);
                // Tunnel packets go to the match, not to the message listeners.
                passedOn += m.value("type") == QLatin1String("tunnel") ? 0 : 1;
            }
        }
    }
    sync(*client, peer);
    // Every message was passed on (those whose type was not text too), and the link still works.
    QCOMPARE(messages, passedOn + 1);
    QVERIFY(peer.clientConnected());
    QVERIFY(client->state() != ServerClient::Offline);
    // A proper sign-in after all that is taken as ever.
    signIn(*client, peer, QStringLiteral("tok-9"));
    QCOMPARE(client->token(), QStringLiteral("tok-9"));
    QCOMPARE(client->account().value("name").toString(), QStringLiteral("alice"));
}

void TestServerClient::floodOfNotices()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    auto client = makeClient(600000);
    int notices = 0;
    connect(client.get(), &ServerClient::message, this, [&notices](const QJsonObject &m) {
        notices += m.value("type").toString() == QLatin1String("notice") ? 1 : 0;
    });
    connectPlain(*client, peer);
    greet(*client, peer);
    // Forty thousand notices in big writes, as fast as the socket takes them.
    QByteArray burst;
    for (int i = 0; i < 1000; ++i)
        burst += QJsonDocument(QJsonObject{{"type", "notice"}, {"text", QString(40, 'n')}, {"level", "info"}})
                     .toJson(QJsonDocument::Compact) +
                 '\n';
    for (int i = 0; i < 40; ++i)
        peer.sendRaw(burst);
    sync(*client, peer);
    QCOMPARE(notices, 40000);
    QVERIFY(peer.clientConnected());
    QCOMPARE(client->state(), ServerClient::Rovivi);
}
