// Lobbies run by the games' own menus on orx-server, each launcher a match driver with a menu
// bridge and an orx-testgame player following its script: the game leaving its menu while ready,
// the game closing in a lobby and in a series, a member of a newer version, a server without King
// of the Hill, and a spectator whose server link drops.

#include "bridgeruns.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace scenario;
using namespace bridgeruns;

namespace {

// A lobby member from another launcher, signed up on the same server with a version of its own.
bool memberOfVersion(orxtest::ScriptedClient &c, quint16 port, const QString &name, const QString &version,
                     const QString &code)
{
    if (!c.connectPlain(port) || c.hello(version).value("type") != "welcome" ||
        c.signUp(name).value("type") != "account")
        return false;
    return c.waitReply(c.send({{"type", "lobby_join"}, {"lobby", code}})).value("type") == "lobby";
}

// The last phase line a driver printed ("phase N TEXT"), without "phase ".
QString lastPhase(const DriverProcess &d)
{
    for (qsizetype i = d.lines.size() - 1; i >= 0; --i)
        if (d.lines.at(i).startsWith("phase "))
            return d.lines.at(i).mid(6);
    return {};
}

} // namespace

class TestBridgeLobbies : public QObject {
    Q_OBJECT
private slots:
    void awayWhileReady();
    void gameClosedInALobby();
    void gameClosedInASeries();
    void newerMemberBlocksReady();
    void kingOfTheHillWithoutTheFeature();
    void spectatorLinkDrops_data();
    void spectatorLinkDrops();
};

void TestBridgeLobbies::awayWhileReady()
{
    // Bob gets ready in ann's lobby, then his game leaves its online menu: his launcher takes the
    // readiness back and tells him why; ann's menu shows him not ready. Back in the menu both get
    // ready, and his game leaving the match (away) during it changes nothing in the lobby.
    QTemporaryDir scripts;
    const QString codeFile = scripts.filePath("code.txt");
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=Away\n"
                           "wait lobby.members.1.ready=true 90000\n"
                           "wait lobby.members.1.ready=false 30000\n"
                           "log ann saw bob not ready\n"
                           "ask lobby_ready value=1\n"
                           "log ann is ready again\n";
    // Away a second after his ready shows: his game's own "ready" at the end of its boot must not
    // replace it.
    const QByteArray bob = "wait account.state=signed_in 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() +
                           "}\n"
                           "wait lobby.code 30000\n"
                           "ask lobby_ready value=1\n"
                           "wait lobby.ready=true 30000\n"
                           "at 1000 status away\n"
                           "wait lobby.ready=false 30000\n"
                           "wait message.kind=info 30000\n"
                           "status ready\n"
                           "outcome away 10\n"
                           "ask lobby_ready value=1\n"
                           "log bob is ready again\n";
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "1"}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
             qPrintable(m.dump()));
    QVERIFY(!writeCode(*m.a, codeFile).isEmpty());
    QVERIFY2(m.b->signInAndPlay(), qPrintable(m.dump()));

    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.a).contains("ann saw bob not ready"); }, 60000),
             qPrintable(gameLog(*m.a) + "\n" + gameLog(*m.b) + "\n" + m.dump()));
    const QString told = "You left the online menu, so you are no longer ready in the lobby.";
    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.b).contains((" info " + told).toUtf8()); }),
             qPrintable(gameLog(*m.b)));
    const QString line = "bridge: the game left its online menu: no longer ready in the lobby";
    QCOMPARE(m.b->launcherLog().count(line), 1);
    // The server took it as bob's own "not ready".
    bool serverSawUnready = false;
    for (const QJsonObject &l : m.a->messages("lobby")) {
        const QJsonArray members = l["lobby"]["members"].toArray();
        serverSawUnready =
            serverSawUnready || (members.size() == 2 && members.at(1)["name"] == "bob" &&
                                 !members.at(1)["ready"].toBool() && members.at(0)["ready"] == false);
    }
    QVERIFY(serverSawUnready);

    // The match: bob's game leaves it (away) while the lobby is in its match, and the match ends.
    QVERIFY2(orxtest::waitUntil(
                 [&] {
                     return !m.a->messages("match_result").isEmpty() &&
                            !m.b->messages("match_result").isEmpty();
                 },
                 90000),
             qPrintable(m.dump()));
    const qsizetype inMatch = m.b->find("game in_match ");
    QVERIFY2(inMatch >= 0 && m.b->find("game away", inMatch) > inMatch, qPrintable(m.dump()));
    QCOMPARE(m.b->launcherLog().count(line), 1);
    QCOMPARE(messagesSeen(*m.b, told), 1);
    QVERIFY(m.b->has("playergame 1") && !m.b->has("playergame 0"));
}

void TestBridgeLobbies::gameClosedInALobby()
{
    // Bob's game closes while he is in ann's lobby: his launcher leaves the lobby for him (its log
    // says so) and ann's menu shows her alone.
    QTemporaryDir scripts;
    const QString codeFile = scripts.filePath("code.txt");
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=Closing\n";
    const QByteArray bob = "wait account.state=signed_in 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() +
                           "}\n"
                           "wait lobby.code 30000\n"
                           "exit 0\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
             qPrintable(m.dump()));
    const QString code = writeCode(*m.a, codeFile);
    QVERIFY(!code.isEmpty());
    // His game may be gone before it ever reports ready.
    QVERIFY2(m.b->signInAndPlay("secret-pass", "booting"), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("playergame 0", 60000), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return !m.b->messages("lobby_left").isEmpty(); }),
             qPrintable(m.dump()));
    QCOMPARE(m.b->messages("lobby_left").constFirst()["lobby"].toString(), code);
    const QString log = m.b->launcherLog();
    QVERIFY2(log.contains("bridge: the game closed: leaving the lobby"), qPrintable(log));
    QVERIFY(!log.contains("bridge: the game closed: leaving the set or series"));
    // Bob may come and go between two reads of ann's game, so his visit is checked at her launcher.
    const auto bobWasIn = [&] {
        for (const QJsonObject &l : m.a->messages("lobby"))
            for (const QJsonValue member : l["lobby"]["members"].toArray())
                if (member["name"] == "bob")
                    return true;
        return false;
    };
    QVERIFY2(bobWasIn(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a,
                     [](const QJsonObject &d) {
                         return d["lobby"]["members"].toArray().size() == 1 && d["lobby"]["host"] == "ann";
                     }),
             qPrintable(QJsonDocument(readDoc(*m.a)).toJson(QJsonDocument::Compact)));
}

void TestBridgeLobbies::gameClosedInASeries()
{
    // After the first match of a casual series bob's game closes at its result screen: his launcher
    // leaves the series for him and ann's menu tells her that he left.
    QTemporaryDir scripts;
    const QByteArray ann = "choice none\n"
                           "wait account.state=signed_in 30000\n"
                           "ask queue kind=casual\n"
                           "wait queue.state=found 60000\n"
                           "ask accept\n"
                           "wait series.state=over 120000\n"
                           "log ann saw the series end\n";
    const QByteArray bob = "choice none\n"
                           "wait account.state=signed_in 30000\n"
                           "ask queue kind=casual\n"
                           "wait queue.state=found 60000\n"
                           "ask accept\n"
                           "wait series.state=choosing 90000\n"
                           "exit 0\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(m.b->waitFor("playergame 0", 120000), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.a).contains("ann saw the series end"); }, 60000),
             qPrintable(gameLog(*m.a) + "\n" + m.dump()));
    const QString log = m.b->launcherLog();
    QVERIFY2(log.contains("bridge: the game closed: leaving the set or series"), qPrintable(log));
    QVERIFY(!log.contains("bridge: the game closed: leaving the lobby"));
    const QRegularExpression left("^bob left the series \\(\\d-\\d\\)\\.$");
    QVERIFY2(waitDoc(*m.a,
                     [&](const QJsonObject &d) {
                         return d["series"]["state"] == "over" &&
                                left.match(d["series"]["text"].toString()).hasMatch() &&
                                d["message"]["text"] == d["series"]["text"];
                     }),
             qPrintable(QJsonDocument(readDoc(*m.a)).toJson(QJsonDocument::Compact)));
    // The server's word: the series ended with bob leaving it.
    QJsonObject over;
    for (const QJsonObject &s : m.a->messages("series"))
        if (s["state"] == "over")
            over = s;
    QCOMPARE(over["outcome"].toString(), QString("left"));
    QCOMPARE(over["left"].toString(), QString("bob"));
}

void TestBridgeLobbies::newerMemberBlocksReady()
{
    // Ann is ready alone in her lobby when a player of Orvex Rovivi 0.1.10 joins: her launcher
    // refuses to get her ready again with the update line, while her "not ready" still goes out.
    QTemporaryDir scripts;
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=Versions\n"
                           "wait lobby.code 30000\n"
                           "ask lobby_ready value=1\n"
                           "wait lobby.ready=true 30000\n"
                           "wait lobby.members.1.name=newer 90000\n"
                           "ask lobby_ready value=true\n"
                           "wait message.kind=error 30000\n"
                           "ask lobby_ready value=0\n"
                           "wait lobby.ready=false 30000\n"
                           "log ann is not ready\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["ready"] == true; }),
             qPrintable(m.dump()));
    const QString code = readDoc(*m.a)["lobby"]["code"].toString();
    orxtest::ScriptedClient newer("newer");
    QVERIFY(memberOfVersion(newer, m.server.tcpPort, "newer", "0.1.10", code));
    const QString update = "newer has Orvex Rovivi 0.1.10 and you have 0.1.8: your games cannot play each "
                           "other. Update Orvex Rovivi (close the game, then update on its Play page).";
    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.a).contains("ann is not ready"); }, 60000),
             qPrintable(gameLog(*m.a) + "\n" + m.dump()));
    QVERIFY2(gameLog(*m.a).contains(("menu: message 1 error " + update).toUtf8()), qPrintable(gameLog(*m.a)));
    QVERIFY(m.a->launcherLog().contains("bridge: lobby_ready not done: " + update));
    QVERIFY(readDoc(*m.a)["lobby"]["text"].toString().startsWith(update));
    // The other member heard her not ready from the server, after having seen her ready.
    const QJsonObject unready = newer.waitFor("lobby", 10000, [](const QJsonObject &l) {
        const QJsonArray members = l["lobby"]["members"].toArray();
        return members.size() == 2 && members.at(0)["name"] == "ann" && members.at(0)["ready"] == false;
    });
    QVERIFY2(!unready.isEmpty(), qPrintable(m.dump()));
    QCOMPARE(unready["lobby"]["members"].toArray().at(1)["version"].toString(), QString("0.1.10"));
    QCOMPARE(unready["lobby"]["members"].toArray().at(0)["version"].toString(), QString("0.1.8"));
}

void TestBridgeLobbies::kingOfTheHillWithoutTheFeature()
{
    // A server that does not offer King of the Hill: the launcher refuses the game's request
    // itself, and the same game's versus lobby is made.
    QTemporaryDir scripts;
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create koth=1 name=Hill\n"
                           "wait message.kind=error 30000\n"
                           "ask lobby_create name=Plain\n"
                           "wait lobby.code 30000\n"
                           "log ann has a lobby\n";
    Match m;
    QVERIFY(m.start({"--features", "relay_choice,pick_refused,desync_detail"},
                    withBridge("ann", writeScript(scripts, "ann.txt", ann)), opts("bob")));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.a).contains("ann has a lobby"); }, 60000),
             qPrintable(gameLog(*m.a) + "\n" + m.dump()));
    QVERIFY(!m.a->messages("welcome").constFirst()["features"].toArray().contains("koth"));
    const QString refusal = "This server has no King of the Hill lobbies.";
    QVERIFY2(gameLog(*m.a).contains(("menu: message 1 error " + refusal).toUtf8()),
             qPrintable(gameLog(*m.a)));
    QVERIFY(m.a->launcherLog().contains("bridge: lobby_create not done: " + refusal));
    // One lobby, the versus one; the server never heard of the other.
    QCOMPARE(errorsFor(*m.a, "lobby_create"), 0);
    const QJsonObject doc = readDoc(*m.a);
    QCOMPARE(doc["lobby"]["name"].toString(), QString("Plain"));
    QCOMPARE(doc["lobby"]["koth"].toBool(), false);
    QCOMPARE(doc["lobby"]["mode"].toString(), QString("versus"));
}

void TestBridgeLobbies::spectatorLinkDrops_data()
{
    QTest::addColumn<bool>("lobbyComesBack");
    QTest::newRow("the link stays down: watching stops after the grace") << false;
    QTest::newRow("signed in again: the lobby is back and watching goes on") << true;
}

void TestBridgeLobbies::spectatorLinkDrops()
{
    // Cid watches ann's and bob's lobby match from his menu. His server link drops during the
    // match: his game watches on; without the lobby back within the (shortened) grace his launcher
    // stops the watch, while with the lobby back it goes on.
    QFETCH(bool, lobbyComesBack);
    const int graceMs = 3000;
    QTemporaryDir scripts;
    const QString codeFile = scripts.filePath("code.txt");
    // The players get ready once cid is in and the test saw his menu before the match (it turns
    // their preferred side to "left" then).
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=Watched\n"
                           "wait lobby.members.2.name=cid 90000\n"
                           "wait side=left 90000\n"
                           "ask lobby_ready value=1\n";
    const QByteArray bob = "wait account.state=signed_in 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() +
                           "}\n"
                           "wait lobby.members.2.name=cid 90000\n"
                           "wait side=left 90000\n"
                           "ask lobby_ready value=1\n";
    // Cid comes once the list shows both players in, so the members are ann, bob, cid.
    const QByteArray cid = "wait account.state=signed_in 30000\n"
                           "ask lobbies\n"
                           "wait lobbies.list.0.players=2 60000\n"
                           "ask lobby_join watch=1 code={@" +
                           codeFile.toUtf8() +
                           "}\n"
                           "wait lobby.code 30000\n"
                           "log cid is in\n";
    Options oa = withBridge("ann", writeScript(scripts, "ann.txt", ann));
    Options ob = withBridge("bob", writeScript(scripts, "bob.txt", bob));
    oa.gameArgs = ob.gameArgs = QStringList{"--match-ms", "20000", "--script"};
    oa.gameArgs << scripts.filePath("ann.txt");
    ob.gameArgs << scripts.filePath("bob.txt");
    Options oc = withBridge("cid", writeScript(scripts, "cid.txt", cid));
    oc.gameArgs << "--peer-timeout"
                << "60000";
    oc.bridgeGraceMs = graceMs;
    oc.reconnectMs = lobbyComesBack ? 500 : 600000;
    Match m;
    QVERIFY(m.start({"--lobby-countdown", "0", "--drop-grace", "60000"}, oa, ob));
    QVERIFY(m.startThird(oc));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
             qPrintable(m.dump()));
    QVERIFY(!writeCode(*m.a, codeFile).isEmpty());
    QVERIFY2(m.b->signInAndPlay() && m.c->signInAndPlay(), qPrintable(m.dump()));

    // Cid is a spectator, told so in his menu, and his game plays the match from the feed.
    QVERIFY2(waitDoc(
                 *m.c,
                 [](const QJsonObject &d) {
                     return d["lobby"]["members"].toArray().size() == 3 &&
                            d["lobby"]["members"].toArray().at(2)["role"] == "spectator" &&
                            d["lobby"]["text"].toString().contains(
                                "You are watching: each match plays in your game.");
                 },
                 60000),
             qPrintable(QJsonDocument(readDoc(*m.c)).toJson(QJsonDocument::Compact) + "\n" + m.dump()));
    for (DriverProcess *d : {m.a.get(), m.b.get()})
        d->send("set display/preferred_side left");
    QVERIFY2(m.c->waitFor("phase 10 Watching ", 60000), qPrintable(m.dump()));
    QVERIFY2(m.c->waitFor("game in_match ", 60000), qPrintable(m.dump()));

    const int logins = m.c->count("loggedin");
    QElapsedTimer sinceDrop;
    sinceDrop.start();
    m.c->send("drop");
    QVERIFY(m.c->waitFor("state 0"));
    // The menu lost the lobby with the link, yet the game watches on.
    QVERIFY2(waitDoc(*m.c, [](const QJsonObject &d) { return d["lobby"].isNull(); }), qPrintable(m.dump()));
    QVERIFY2(lastPhase(*m.c).startsWith("10 Watching "), qPrintable(m.dump()));
    if (lobbyComesBack) {
        QVERIFY2(orxtest::waitUntil([&] { return m.c->count("loggedin") > logins; }, 30000),
                 qPrintable(m.dump()));
        QVERIFY2(
            waitDoc(*m.c, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
            qPrintable(m.dump()));
        // The match ends on the players' side; the watch outlived the grace and was never stopped.
        QVERIFY2(m.a->waitFor("finished ", 90000), qPrintable(m.dump()));
        QVERIFY2(orxtest::waitUntil([&] { return !lastPhase(*m.c).startsWith("10 "); }, 90000),
                 qPrintable(m.dump()));
        QVERIFY2(sinceDrop.elapsed() > graceMs, qPrintable(QString::number(sinceDrop.elapsed())));
        QVERIFY2(!m.c->lines.join('\n').contains("Stopped watching"), qPrintable(m.dump()));
    } else {
        QVERIFY2(orxtest::waitUntil([&] { return lastPhase(*m.c).contains("Stopped watching"); }, 30000),
                 qPrintable(m.dump()));
        // Not at once, but after the grace (a coarse timer may fire up to 5 % early).
        QVERIFY2(sinceDrop.elapsed() >= graceMs * 95 / 100, qPrintable(QString::number(sinceDrop.elapsed())));
        // The players' match was still on when the watch stopped.
        QVERIFY2(!m.a->has("finished "), qPrintable(m.dump()));
        QCOMPARE(m.c->count("loggedin"), logins);
    }
}

QTEST_GUILESS_MAIN(TestBridgeLobbies)
#include "tst_bridgelobbies.moc"
