// The bridge's two files against a real orx-testgame run in its session folder: which game is
// served, taking "ask.txt", writing "ui.json" (also when the write fails), the numbered messages
// as the game shows them, and the reactions to the server's messages.

#include "bridgerig.h"
#include "tst_bridge.h"

#include <QDirIterator>
#include <QSaveFile>
#include <QSignalSpy>
#include <QtTest>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString unknown(const QString &verb)
{
    return QStringLiteral("The launcher does not know what \"%1\" asks for: update Orvex Rovivi.").arg(verb);
}

// Puts a request where the game would and waits until the bridge answered with message `id`.
bool ask(BridgeRig &r, const QByteArray &bytes, int id)
{
    return writeFile(r.file("ask.txt"), bytes) &&
           r.waitDoc([id](const QJsonObject &d) { return d["message"]["id"].toInt() == id; });
}

QString scriptFile(const QTemporaryDir &dir, const QByteArray &text)
{
    const QString path = dir.filePath("script.txt");
    return writeFile(path, text) ? path : QString();
}

} // namespace

void TestBridgeFiles::noGame()
{
    BridgeRig rig;
    QSignalSpy changed(rig.bridge.get(), &MenuBridge::changed);
    QVERIFY(rig.connect(QJsonObject{{"online", 5}}));
    QVERIFY(changed.size() >= 1); // the welcome and the state change
    const qsizetype before = changed.size();
    rig.bridge->setMessage("Nobody reads this.", false);
    QCOMPARE(changed.size(), before + 1);
    rig.bridge->setMessage("", true); // an empty text is nothing
    QCOMPARE(changed.size(), before + 1);
    QVERIFY(rig.bridge->bridgeFolder().isEmpty());
    rig.bridge->writeState();
    rig.bridge->pollRequest();
    QTest::qWait(0);
    // Nothing was written anywhere in the launcher's data folder.
    QDirIterator files(cfg::dataDir(), {"ui.json*", "ask.txt*"}, QDir::Files, QDirIterator::Subdirectories);
    QVERIFY2(!files.hasNext(), qPrintable(files.hasNext() ? files.next() : QString()));
    QVERIFY(rig.log().contains("bridge: message Nobody reads this."));
    // The state is complete for the game that starts next.
    QCOMPARE(static_cast<const QJsonObject>(rig.bridge->composeState())["message"]["text"].toString(),
             QString("Nobody reads this."));
    QCOMPARE(static_cast<const QJsonObject>(rig.bridge->composeState())["server"]["online"].toInt(), 5);
    QVERIFY(rig.play());
    QCOMPARE(rig.doc()["message"]["id"].toInt(), 1);
}

void TestBridgeFiles::gameWithoutMenu()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    // Another run of the game, started without the online menu: the controller does not hold it
    // as the player's menu game, and the bridge leaves its folder alone.
    GameProcess plain("orx", 2);
    plain.setMenuGame(false);
    QString why;
    QVERIFY2(plain.start(cfg::gameExe("orx"), &why, true), qPrintable(why));
    const QString plainAsk = QDir(plain.sessionDir()).filePath("ask.txt");
    QVERIFY(writeFile(plainAsk, "ask n=1 queue kind=ranked\n"));
    const QString plainEnv = QDir(plain.sessionDir()).filePath("testgame-env.json");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(plainEnv).contains("ORX_SESSION_DIR"), orxtest::scaled(10000));
    QVERIFY(!readFile(plainEnv).contains("ORX_MENUS"));
    QVERIFY(readFile(rig.file("testgame-env.json")).contains("ORX_MENUS"));
    // Requests to the served game are taken meanwhile: the bridge polled after the file was there.
    QVERIFY(ask(rig, "ask n=1 first\n", 1));
    QVERIFY(ask(rig, "ask n=2 second\n", 2));
    QVERIFY(QFile::exists(plainAsk));
    QVERIFY(!QFile::exists(plainAsk + ".taken"));
    QVERIFY(!QFile::exists(QDir(plain.sessionDir()).filePath("ui.json")));
    plain.stop();

    // The served game ends: its folder is not served any more.
    const QString folder = rig.folder();
    rig.match->matchGame()->stop();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.match->isInOnlineMenu(), orxtest::scaled(10000));
    QVERIFY(rig.bridge->bridgeFolder().isEmpty());
    QVERIFY(writeFile(QDir(folder).filePath("ask.txt"), "ask n=3 third\n"));
    const QByteArray last = readFile(QDir(folder).filePath("ui.json"));
    rig.bridge->setMessage("After the game.", false);
    rig.bridge->pollRequest();
    rig.bridge->writeState();
    QVERIFY(QFile::exists(QDir(folder).filePath("ask.txt")));
    QCOMPARE(readFile(QDir(folder).filePath("ui.json")), last);
}

void TestBridgeFiles::requestFromTheGame()
{
    QTemporaryDir scripts;
    // The game asks once the menu shows it signed in, with a value of the document and a raw UTF-8
    // value; then it waits for the launcher's answer.
    const QString script =
        scriptFile(scripts, "wait account.state=signed_in 20000\n"
                            "ask n=7 dance name=Caf\xC3\xA9 who={account.name} side={side}\n"
                            "wait message.id=1 20000\n"
                            "log the menu saw the answer\n");
    BridgeRig rig(BridgeRig::fastTiming(), {"--script", script});
    QVERIFY(rig.connect() && rig.play());
    QVERIFY(rig.signIn("ann"));
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["message"]["id"].toInt() == 1; }, 20000));
    const QJsonObject message = rig.doc()["message"].toObject();
    QCOMPARE(message["kind"].toString(), QString("error"));
    QCOMPARE(message["text"].toString(), unknown("dance"));
    const QString expected = QString::fromUtf8("n=7 dance name=Caf\xC3\xA9 who=ann side=off");
    QCOMPARE(QString::fromUtf8(readFile(rig.file("ask.txt.taken"))).trimmed(), expected);
    // The log shows the line as taken (its bytes read as Latin-1), then the refusal naming the verb.
    const QString log = rig.log();
    QVERIFY2(log.contains("bridge: ask n=7 dance name=Caf" + QString::fromLatin1("\xC3\xA9") +
                          " who=ann side=off"),
             qPrintable(log));
    QVERIFY(log.contains("bridge: dance not done: " + unknown("dance")));
    QVERIFY(log.contains("bridge: message " + unknown("dance")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.gameLog().contains("the menu saw the answer"), orxtest::scaled(10000));
    QVERIFY(rig.gameLog().contains("menu: message 1 error " + unknown("dance")));
    // The game recorded the documents it saw change.
    const QList<QByteArray> seen = readFile(rig.file("testgame-ui.jsonl")).split('\n');
    QVERIFY(seen.size() >= 3);
}

void TestBridgeFiles::firstLineOnly()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    QVERIFY(ask(rig, "queue kind=ranked\nlobbies\n", 1));
    // Not signed in: the search is refused, and the "lobbies" line after it never read.
    QCOMPARE(rig.doc()["message"]["text"].toString(), QString("Sign in first, on Orvex Rovivi's Play page."));
    QVERIFY(rig.log().contains("bridge: ask queue kind=ranked\n"));
    QVERIFY(!rig.log().contains("lobbies"));
    // Only one request was taken: the id stays 1 over the next writes.
    const qint64 t = rig.doc()["t"].toInteger();
    QVERIFY(rig.waitDoc([t](const QJsonObject &d) { return d["t"].toInteger() > t + 600; }));
    QCOMPARE(rig.doc()["message"]["id"].toInt(), 1);
    // White space around the line goes; a line of blanks only is no request.
    QVERIFY(writeFile(rig.file("ask.txt"), "   \nqueue\n"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(rig.file("ask.txt")), orxtest::scaled(5000));
    QVERIFY(ask(rig, "  \t leave  \r\n", 2));
    QCOMPARE(rig.doc()["message"]["text"].toString(), QString("You are not in a set or a series."));
    QVERIFY(rig.log().contains("bridge: ask leave\n"));
}

void TestBridgeFiles::emptyVerbs()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    QVERIFY(ask(rig, "ask\n", 1));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown(""));
    QVERIFY(ask(rig, "n=5\n", 2));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown(""));
    QCOMPARE(rig.doc()["message"]["kind"].toString(), QString("error"));
    QVERIFY(rig.log().contains("bridge: ask n=5\n"));
    QVERIFY(rig.log().contains("bridge:  not done: " + unknown("")));
}

void TestBridgeFiles::hugeRequest()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    const QByteArray head = "ask n=1 huge data=";
    const QByteArray bytes = head + QByteArray(3 * 1024 * 1024, 'x');
    QVERIFY(ask(rig, bytes, 1));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown("huge"));
    // Taken by the rename, whole; the log names the first 200 characters.
    QCOMPARE(QFileInfo(rig.file("ask.txt.taken")).size(), qint64(bytes.size()));
    QVERIFY(rig.log().contains("bridge: " + QString::fromLatin1(bytes.left(200)) + "\n"));
}

// A named pipe where the request goes: opened, it would wait for a writer that never comes.
void TestBridgeFiles::pipeNamedAsk()
{
#ifdef Q_OS_UNIX
    BridgeRig rig;
    QVERIFY(rig.play());
    QVERIFY(::mkfifo(QFile::encodeName(rig.file("ask.txt")).constData(), 0600) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains("bridge: ask.txt is not a file: left out\n"),
                             orxtest::scaled(10000));
    QVERIFY(!QFileInfo::exists(rig.file("ask.txt")));
    QVERIFY(!QFileInfo::exists(rig.file("ask.txt.taken")));
    // The bridge goes on: the next request is answered.
    QVERIFY(ask(rig, "ask n=2 after\n", 1));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown("after"));
#else
    QSKIP("no named pipes in the file system here");
#endif
}

void TestBridgeFiles::oldTakenReplaced()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    QVERIFY(writeFile(rig.file("ask.txt.taken"), "ask n=1 an old request\n"));
    QVERIFY(ask(rig, "ask n=2 fresh\n", 1));
    QCOMPARE(readFile(rig.file("ask.txt.taken")), QByteArray("ask n=2 fresh\n"));
    QVERIFY(!QFile::exists(rig.file("ask.txt")));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown("fresh"));
}

void TestBridgeFiles::sameTextTwice()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    rig.bridge->setMessage("Same words.", false);
    QTRY_VERIFY_WITH_TIMEOUT(rig.gameLog().contains("menu: message 1 info Same words."),
                             orxtest::scaled(10000));
    rig.bridge->setMessage("Same words.", true);
    QTRY_VERIFY_WITH_TIMEOUT(rig.gameLog().contains("menu: message 2 error Same words."),
                             orxtest::scaled(10000));
    QCOMPARE(rig.gameLog().count("menu: message "), 2);
    QCOMPARE(rig.log().count("bridge: message Same words."), 2);
    QCOMPARE(rig.doc()["message"].toObject(),
             QJsonObject({{"id", 2}, {"kind", "error"}, {"text", "Same words."}}));
}

void TestBridgeFiles::failedWrite()
{
    BridgeRig rig;
    QVERIFY(rig.play());
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return !d.isEmpty(); }));
    // A folder in the temporary file's place: the write fails whoever runs the test (root too).
    QVERIFY(QDir().mkpath(rig.file("ui.json.tmp")));
    const QByteArray before = readFile(rig.file("ui.json"));
    rig.bridge->setMessage("Written once the way is clear.", false);
    const QString logged = "bridge: cannot create " + rig.file("ui.json.tmp") + " (error 21)";
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(logged), orxtest::scaled(5000));
    // Ticks go on failing; the game keeps the previous document.
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(logged) >= 3, orxtest::scaled(5000));
    QCOMPARE(readFile(rig.file("ui.json")), before);
    QCOMPARE(rig.doc()["message"]["id"].toInt(), 0);
    QVERIFY(QDir(rig.file("ui.json.tmp")).removeRecursively());
    QVERIFY(rig.waitDoc(
        [](const QJsonObject &d) { return d["message"]["text"] == "Written once the way is clear."; }));
}

void TestBridgeFiles::servedAfterLeavingALobby()
{
    BridgeRig rig;
    QVERIFY(rig.connectAndSignIn("ann") && rig.play());
    rig.peer.send({{"type", "lobby"},
                   {"lobby", QJsonObject{{"id", "ABCDE"},
                                         {"host", "ann"},
                                         {"members", QJsonArray{QJsonObject{{"name", "ann"}}}}}}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobby"]["code"] == "ABCDE"; }));
    // The server says the player left (not for another lobby): the controller lets go of the
    // player's own game, which stays open in its online menu and must still be served.
    rig.peer.send({{"type", "lobby_left"}, {"lobby", "ABCDE"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobby"].isNull(); }));
    QVERIFY(rig.match->isInOnlineMenu());
    QCOMPARE(rig.bridge->bridgeFolder(), rig.folder());
    QVERIFY(ask(rig, "ask n=9 after_the_lobby\n", 1));
    QCOMPARE(rig.doc()["message"]["text"].toString(), unknown("after_the_lobby"));
    const qint64 t = rig.doc()["t"].toInteger();
    QVERIFY(rig.waitDoc([t](const QJsonObject &d) { return d["t"].toInteger() > t; }));
}

void TestBridgeFiles::spectatorGrace_data()
{
    QTest::addColumn<bool>("spectator");
    QTest::newRow("a spectator watches on for a while") << true;
    QTest::newRow("a player stops at once") << false;
}

void TestBridgeFiles::spectatorGrace()
{
    QFETCH(bool, spectator);
    MenuBridge::Timing timing = BridgeRig::fastTiming();
    timing.spectatorGraceMs = 3000;
    BridgeRig rig(timing);
    QVERIFY(rig.connectAndSignIn("ann") && rig.play());
    QTRY_COMPARE_WITH_TIMEOUT(rig.match->gameStatusText(), QString("ready"), orxtest::scaled(20000));
    // A King of the Hill lobby, so a player's lobby message leaves the watching alone.
    rig.peer.send(
        {{"type", "lobby"},
         {"lobby",
          QJsonObject{{"id", "KKKKK"},
                      {"koth", true},
                      {"members", QJsonArray{QJsonObject{{"name", "bob"}}, QJsonObject{{"name", "cid"}},
                                             QJsonObject{{"name", "ann"}, {"spectator", spectator}}}}}}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobby"]["code"] == "KKKKK"; }));
    rig.peer.send({{"type", "spectate"},
                   {"match", "w1"},
                   {"game", "orx"},
                   {"mode", "versus"},
                   {"seed", 7},
                   {"p1_name", "bob"},
                   {"p2_name", "cid"}});
    QTRY_COMPARE_WITH_TIMEOUT(rig.match->phase(), MatchController::Watching, orxtest::scaled(10000));
    rig.peer.stopListening(); // the link stays down
    rig.peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(rig.server->state(), ServerClient::Offline, orxtest::scaled(10000));
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobby"].isNull(); }));
    if (spectator) {
        QCOMPARE(rig.match->phase(), MatchController::Watching);
        QTRY_VERIFY_WITH_TIMEOUT(rig.match->phase() != MatchController::Watching, orxtest::scaled(10000));
    } else {
        QVERIFY(rig.match->phase() != MatchController::Watching);
    }
}

void TestBridgeFiles::reactions()
{
    BridgeRig rig;
    QVERIFY(rig.connect(QJsonObject{{"online", 4}, {"motd", "Hello there."}}) && rig.play());
    const auto send = [&](const QJsonObject &msg) { rig.peer.send(msg); };
    const auto message = [&] { return rig.doc()["message"].toObject(); };

    // A welcome without a motd keeps the notice; its count replaces the old figures.
    send({{"type", "online"}, {"count", 9}, {"playing", 3}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["server"]["in_matches"] == 3; }));
    send({{"type", "welcome"}, {"online", 12}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) {
        return d["server"]["online"] == 12 && d["server"]["in_matches"] == 0 &&
               d["server"]["notice"] == "Hello there.";
    }));
    // Notices: warn is an error message, anything else information; both stay as the notice.
    send({{"type", "notice"}, {"text", "Careful."}, {"level", "warn"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["message"]["id"] == 1; }));
    QCOMPARE(message(), QJsonObject({{"id", 1}, {"kind", "error"}, {"text", "Careful."}}));
    QCOMPARE(rig.doc()["server"]["notice"].toString(), QString("Careful."));
    send({{"type", "notice"}, {"text", "Fine again."}, {"level", "info"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["message"]["id"] == 2; }));
    QCOMPARE(message()["kind"].toString(), QString("info"));

    // Signed in: the error goes; the series and the leaderboard go with the link.
    QVERIFY(rig.signIn("ann"));
    // The player's own profile replaces the statistics; the Play page reads them through ownStats.
    const QJsonObject versus{{"ranked", QJsonObject{{"title", "Gold"}, {"elo", 1650}}}};
    send({{"type", "profile"},
          {"name", "ann"},
          {"stats", QJsonObject{{"orx", QJsonObject{{"versus", versus}}}}}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["account"]["elo"] == 1650; }));
    QCOMPARE(rig.bridge->ownStats(), versus);
    // A lobby list arrives: the signal carries it as the server sent it.
    QSignalSpy lists(rig.bridge.get(), &MenuBridge::lobbiesChanged);
    const QJsonArray entries{QJsonObject{{"id", "AAAAA"}, {"name", "One"}}};
    send({{"type", "lobbies"}, {"lobbies", entries}});
    QTRY_COMPARE_WITH_TIMEOUT(lists.size(), 1, orxtest::scaled(5000));
    QCOMPARE(lists.first().first().toJsonArray(), entries);
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobbies"]["at"].toInteger() > 0; }));
    send({{"type", "leaderboard"}, {"rows", QJsonArray{QJsonObject{{"rank", 1}, {"name", "ann"}}}}});
    send({{"type", "series"}, {"opponent", "bob"}, {"state", "playing"}, {"you", 1}, {"them", 0}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) {
        return d["series"]["kind"] == "casual" && d["leaderboard"]["rows"].toArray().size() == 1;
    }));
    // Two ends of one watched match count one win; the spectated names are the lobby's tally.
    send({{"type", "lobby"},
          {"lobby", QJsonObject{{"id", "KKKKK"},
                                {"koth", true},
                                {"members",
                                 QJsonArray{QJsonObject{{"name", "ann"}, {"spectator", true}},
                                            QJsonObject{{"name", "bob"}}, QJsonObject{{"name", "cid"}}}}}}});
    send({{"type", "spectate"}, {"match", "w1"}, {"p1_name", "bob"}, {"p2_name", "cid"}});
    send({{"type", "spectate_end"}, {"match", "w1"}, {"winner", 2}, {"status", "agreed"}});
    send({{"type", "spectate_end"}, {"match", "w1"}, {"winner", 1}, {"status", "agreed"}});
    send({{"type", "spectate"}, {"match", "w2"}, {"p1_name", "bob"}, {"p2_name", "cid"}});
    send({{"type", "spectate_end"}, {"match", "w2"}, {"winner", 1}, {"status", "disputed"}});
    send({{"type", "notice"}, {"text", "sync"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["message"]["text"] == "sync"; }));
    const QJsonArray members = rig.doc()["lobby"]["members"].toArray();
    QCOMPARE(members.at(1)["wins"].toInt(), 0); // bob
    QCOMPARE(members.at(2)["wins"].toInt(), 1); // cid
    QCOMPARE(members.at(0)["role"].toString(), QString("spectator"));

    // A lobby_left about another lobby changes nothing; about the one held, it clears it.
    send({{"type", "lobby_left"}, {"lobby", "ZZZZZ"}});
    send({{"type", "notice"}, {"text", "sync 2"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["message"]["text"] == "sync 2"; }));
    QVERIFY(rig.doc()["lobby"].isObject());
    send({{"type", "lobby_left"}, {"lobby", "KKKKK"}, {"joined", "QQQQQ"}});
    QVERIFY(rig.waitDoc([](const QJsonObject &d) { return d["lobby"].isNull(); }));

    // Called-off matches: an unknown code as it is; a match the player had to accept and did not
    // (the player's own decline) gives no message; requeued is information.
    QCOMPARE(rig.match->phase(), MatchController::Idle);
    MatchController::SearchRequest s;
    s.game = "orx";
    s.mode = "versus";
    QVERIFY(rig.match->queue(s));
    const auto found = [&](const QString &id, bool acceptRequired) {
        send({{"type", "match_found"},
              {"match", id},
              {"game", "orx"},
              {"mode", "versus"},
              {"accept_required", acceptRequired},
              {"opponent", QJsonObject{{"name", "bob"}}}});
        return orxtest::waitUntil([&] { return rig.match->currentMatch()["match"] == id; });
    };
    int id = message()["id"].toInt();
    QVERIFY(found("m1", true));
    send({{"type", "match_cancelled"}, {"match", "m1"}, {"reason", "declined"}, {"requeued", true}});
    QVERIFY(found("m2", false));
    send({{"type", "match_cancelled"}, {"match", "m2"}, {"reason", "declined"}, {"requeued", true}});
    QVERIFY(rig.waitDoc([&](const QJsonObject &d) { return d["message"]["id"] == id + 1; }));
    QCOMPARE(message(), QJsonObject({{"id", id + 1},
                                     {"kind", "info"},
                                     {"text", "The match was called off (the other player declined): you are "
                                              "searching again."}}));
    QVERIFY(found("m3", false));
    send({{"type", "match_cancelled"}, {"match", "m3"}, {"reason", "odd_code_x"}, {"requeued", false}});
    QVERIFY(rig.waitDoc([&](const QJsonObject &d) { return d["message"]["id"] == id + 2; }));
    QCOMPARE(
        message(),
        QJsonObject({{"id", id + 2}, {"kind", "error"}, {"text", "The match was called off (odd_code_x)."}}));

    // Signed in elsewhere: the server's text shows in the account once the link is gone.
    send({{"type", "error"},
          {"code", "logged_in_elsewhere"},
          {"message", "You signed in on another computer."}});
    rig.peer.closeClient();
    QVERIFY(rig.waitDoc([](const QJsonObject &d) {
        return d["account"]["state"] == "offline" &&
               d["account"]["error"] == "You signed in on another computer." && d["series"]["kind"] == "" &&
               d["leaderboard"]["rows"].toArray().isEmpty() && d["server"]["online"] == 0;
    }));
}
