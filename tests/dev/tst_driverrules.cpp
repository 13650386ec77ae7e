// The test driver's pure rules as tables: the rematch choices of a series, the lobby name in a
// request line, the lobby picked from "lobbies" lists and who plays in a lobby.

#include "dev/driverrules.h"
#include "tst_dev.h"

#include <QJsonDocument>
#include <QtTest>

using namespace driverrules;

namespace {

QJsonArray jsonArray(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        qFatal("bad fixture %s: %s", text.constData(), qPrintable(error.errorString()));
    return doc.array();
}

QJsonObject jsonObject(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qFatal("bad fixture %s: %s", text.constData(), qPrintable(error.errorString()));
    return doc.object();
}

} // namespace

void TestDriverRules::choices_data()
{
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<int>("rematches");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("one select repeats") << QStringList{"select"} << 2 << QStringList{"select", "select"};
    QTest::newRow("the last choice repeats")
        << QStringList{"select", "rematch"} << 3 << QStringList{"select", "rematch", "rematch"};
    QTest::newRow("an empty list rematches")
        << QStringList{} << 3 << QStringList{"rematch", "rematch", "rematch"};
    QTest::newRow("a longer list than needed")
        << QStringList{"leave", "select", "rematch"} << 2 << QStringList{"leave", "select"};
    QTest::newRow("in list order") << QStringList{"rematch", "select", "leave"} << 4
                                   << QStringList{"rematch", "select", "leave", "leave"};
    QTest::newRow("no rematches") << QStringList{"select"} << 0 << QStringList{};
}

void TestDriverRules::choices()
{
    QFETCH(QStringList, list);
    QFETCH(int, rematches);
    QFETCH(QStringList, expected);
    QStringList made;
    for (int i = 0; i < rematches; ++i)
        made << rematchChoice(list, i);
    QCOMPARE(made, expected);
}

void TestDriverRules::encoding_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("encoded");
    QTest::newRow("two words") << "e2e lobby"
                               << "e2e%20lobby";
    QTest::newRow("unreserved characters stay") << "Az09-._~"
                                                << "Az09-._~";
    QTest::newRow("request syntax is escaped") << "a=b c&d%"
                                               << "a%3Db%20c%26d%25";
    QTest::newRow("UTF-8 bytes, upper-case hex") << QString::fromUtf8("Café ñ") << "Caf%C3%A9%20%C3%B1";
    QTest::newRow("plus and slash") << "a+b/c"
                                    << "a%2Bb%2Fc";
    QTest::newRow("empty") << ""
                           << "";
}

void TestDriverRules::encoding()
{
    QFETCH(QString, name);
    QFETCH(QString, encoded);
    QCOMPARE(percentEncoded(name), encoded);
    // The bridge reads it back whole.
    QCOMPARE(QString::fromUtf8(QByteArray::fromPercentEncoding(encoded.toLatin1())), name);
}

void TestDriverRules::defaults()
{
    QCOMPARE(lobbyName(QString()), QStringLiteral("e2e lobby"));
    QCOMPARE(lobbyName(QStringLiteral("Friday")), QStringLiteral("Friday"));
    QCOMPARE(lobbyMode(QString()), QStringLiteral("versus"));
    QCOMPARE(lobbyMode(QStringLiteral("sparring")), QStringLiteral("sparring"));
}

void TestDriverRules::picking_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("watch");
    QTest::addColumn<QString>("code");
    const QByteArray twoOpen = R"([{"id":"AAAAA","name":"e2e lobby","state":"open"},
                                   {"id":"BBBBB","name":"e2e lobby","state":"open"}])";
    const QByteArray firstBusy = R"([{"id":"AAAAA","name":"e2e lobby","state":"in_match"},
                                     {"id":"BBBBB","name":"e2e lobby","state":"open"}])";
    const QByteArray busy = R"([{"id":"AAAAA","name":"e2e lobby","state":"in_match"}])";
    const QByteArray busyKoth = R"([{"id":"KKKKK","name":"e2e lobby","state":"in_match","koth":true}])";
    const QByteArray others = R"([{"id":"AAAAA","name":"E2E lobby","state":"open"},
                                  {"id":"BBBBB","name":"e2e lobby ","state":"open"},
                                  {"id":"CCCCC","name":"e2e","state":"open"}])";
    QTest::newRow("first open in list order") << twoOpen << "e2e lobby" << false << "AAAAA";
    QTest::newRow("a versus lobby in a match is passed over") << firstBusy << "e2e lobby" << false << "BBBBB";
    QTest::newRow("none open yet") << busy << "e2e lobby" << false << "";
    QTest::newRow("watching takes a lobby in a match") << busy << "e2e lobby" << true << "AAAAA";
    QTest::newRow("King of the Hill takes newcomers in a match")
        << busyKoth << "e2e lobby" << false << "KKKKK";
    QTest::newRow("names match exactly") << others << "e2e lobby" << false << "";
    QTest::newRow("an empty list") << QByteArray("[]") << "e2e lobby" << false << "";
    QTest::newRow("no state is not open")
        << QByteArray(R"([{"id":"AAAAA","name":"x"}])") << "x" << false << "";
}

void TestDriverRules::picking()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, name);
    QFETCH(bool, watch);
    QFETCH(QString, code);
    QCOMPARE(pickLobby(jsonArray(list), name, watch), code);
}

void TestDriverRules::players_data()
{
    QTest::addColumn<QByteArray>("lobby");
    QTest::addColumn<QString>("me");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("takesPart");
    QTest::addColumn<bool>("ready");
    const QByteArray two = R"({"members":[{"name":"p1","ready":true},{"name":"p2","ready":false},
                                          {"name":"w","spectator":true}]})";
    const QByteArray twice = R"({"members":[{"name":"p1","ready":false},{"name":"p1","ready":true}]})";
    QTest::newRow("a player, ready") << two << "p1" << 2 << true << true;
    QTest::newRow("a player, not ready") << two << "p2" << 2 << true << false;
    QTest::newRow("a spectator does not take part") << two << "w" << 2 << false << false;
    QTest::newRow("a stranger") << two << "zed" << 2 << false << false;
    QTest::newRow("the last entry with the name counts") << twice << "p1" << 2 << true << true;
    QTest::newRow("no members") << QByteArray("{}") << "p1" << 0 << false << false;
}

void TestDriverRules::players()
{
    QFETCH(QByteArray, lobby);
    QFETCH(QString, me);
    QFETCH(int, count);
    QFETCH(bool, takesPart);
    QFETCH(bool, ready);
    const QJsonObject l = jsonObject(lobby);
    QCOMPARE(lobbyPlayers(l).size(), count);
    const QJsonObject own = ownPlayer(l, me);
    QCOMPARE(!own.isEmpty(), takesPart);
    QCOMPARE(own.value("ready").toBool(), ready);
}
