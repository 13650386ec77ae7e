// A casual series on orx-server between two launchers' match drivers, each with a menu bridge
// serving its orx-testgame player: what each game's "ui.json" showed along the way, from the game's
// own records ("testgame-ui.jsonl"), and the server's notices, a dropped link and a sign-in elsewhere.

#include "bridgeruns.h"

#include <QRegularExpression>
#include <QtTest>

using namespace scenario;
using namespace bridgeruns;

class TestBridgeSeries : public QObject {
    Q_OBJECT
private slots:
    void casualSeries();
    void rankedFromTheMenu();
    void casualFromTheMenu();
    void lobbyFromTheMenu();
    void busyLobbyJoin();
};

void TestBridgeSeries::casualSeries()
{
    Match m;
    QVERIFY(m.start({"--motd", "Welcome to the test server."}, withBridge("ann"), withBridge("bob")));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    // After the welcome the driver asks for the figures as the main window does; the answer is
    // what the menu shows, beside the message of the day.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        QVERIFY2(orxtest::waitUntil([&] { return !d->messages("online").isEmpty(); }), qPrintable(m.dump()));
        const int count = d->messages("online").last().value("count").toInt();
        QVERIFY2(waitDoc(*d,
                         [&](const QJsonObject &doc) {
                             return doc["account"]["state"] == "signed_in" &&
                                    doc["server"]["notice"] == "Welcome to the test server." &&
                                    doc["server"]["online"].toInt() == count;
                         }),
                 qPrintable(QJsonDocument(readDoc(*d)).toJson(QJsonDocument::Compact)));
    }
    QCOMPARE(readDoc(*m.a)["account"]["name"].toString(), QString("ann"));

    // The search: ann accepts first, so her game shows the accepted match until bob's answer.
    m.a->send("queue versus casual");
    QVERIFY(waitDoc(*m.a, [](const QJsonObject &d) { return d["queue"]["state"] == "searching"; }));
    m.b->send("queue versus casual");
    QVERIFY(m.a->waitFor("found ") && m.b->waitFor("found "));
    const QString id = m.a->json("found ").value("match").toString();
    QVERIFY(waitDoc(*m.a, [](const QJsonObject &d) {
        return d["queue"]["state"] == "found" && d["queue"]["opponent"] == "bob";
    }));
    QVERIFY(waitDoc(*m.b, [](const QJsonObject &d) { return d["queue"]["state"] == "found"; }));
    m.a->send("accept");
    QVERIFY(waitDoc(*m.a, [](const QJsonObject &d) {
        return d["queue"]["state"] == "accepted" &&
               d["queue"]["text"] == "Accepted. Waiting for your opponent.";
    }));
    m.b->send("accept");
    QVERIFY2(m.a->waitFor("phase 11 " + kChooseText, 40000) && m.b->waitFor("phase 11 " + kChooseText, 40000),
             qPrintable(m.dump()));

    // Each game's result message, then a fresh profile asked for; the series between two matches.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const QJsonObject f = d->json("finished ");
        const QString text = finishedText(f);
        QVERIFY2(waitDoc(*d, [&](const QJsonObject &doc) { return doc["message"]["text"] == text; }),
                 qPrintable(text + "\n" + m.dump()));
        QVERIFY2(orxtest::waitUntil([&] { return messageAfter(*d, "profile", d->find("finished ")) >= 0; }),
                 qPrintable(m.dump()));
        QVERIFY2(orxtest::waitUntil([&] {
                     return readFile(d->sessionDir() + "/game.log").contains("menu: message ") &&
                            readFile(d->sessionDir() + "/game.log").contains(text.toUtf8());
                 }),
                 qPrintable(text));
        const QString mine = QString::number(f.value("you_won").toBool() ? 1 : 0);
        const QString theirs = QString::number(f.value("you_won").toBool() ? 0 : 1);
        const QRegularExpression between(QString("^You %1, %2 %3\\. (Rematch, character select, or leave\\? "
                                                 "\\(\\d+ seconds\\)|.* \\(\\d+ seconds\\)\\.)$")
                                             .arg(mine, f.value("opponent").toString(), theirs));
        QVERIFY2(waitDoc(*d,
                         [&](const QJsonObject &doc) {
                             return doc["series"]["kind"] == "casual" &&
                                    between.match(doc["series"]["text"].toString()).hasMatch();
                         }),
                 qPrintable(readDoc(*d)["series"].toObject().value("text").toString()));
    }
    QVERIFY2(inOrder(queueStates(*m.a), {"found", "accepted", "connecting", "idle"}),
             qPrintable(queueStates(*m.a).join(" ")));
    // Bob accepted last: the server's answer came within the 50 ms in which a change is written, so
    // his game may never have seen "accepted".
    QVERIFY2(inOrder(queueStates(*m.b), {"found", "connecting", "idle"}),
             qPrintable(queueStates(*m.b).join(" ")));

    // The server's console: a notice and a warning reach both games.
    // The server's console: a notice and a warning reach both games (the warning once the notice
    // was seen: two messages within one write would show only the last).
    m.server.command("notice The server restarts at midnight.");
    for (DriverProcess *d : {m.a.get(), m.b.get()})
        QVERIFY(orxtest::waitUntil([&] {
            return readFile(d->sessionDir() + "/game.log").contains(" info The server restarts at midnight.");
        }));
    m.server.command("warn Last call for the evening.");
    for (DriverProcess *d : {m.a.get(), m.b.get()})
        QVERIFY(waitDoc(*d, [](const QJsonObject &doc) {
            return doc["message"]["text"] == "Last call for the evening." &&
                   doc["message"]["kind"] == "error" &&
                   doc["server"]["notice"] == "Last call for the evening.";
        }));

    // Ann's link drops at the result screen: the series is gone from her menu until she is signed
    // in again, then the server's series is back.
    const int logins = m.a->count("loggedin");
    const qsizetype before = records(*m.a).size();
    m.a->send("drop");
    QVERIFY(m.a->waitFor("state 0"));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("loggedin") > logins; }, 30000),
             qPrintable(m.dump()));
    QVERIFY(waitDoc(*m.a, [](const QJsonObject &d) { return d["series"]["kind"] == "casual"; }));
    bool emptied = false;
    for (const QJsonObject &r : records(*m.a).mid(before))
        emptied = emptied || (r["account"]["state"] != "signed_in" && r["series"]["kind"] == "");
    QVERIFY2(emptied, "no document without the series while the link was down");

    // The loser leaves the series from the result screen.
    DriverProcess *loser = loserChooses(m, id, "leave");
    QVERIFY(loser);
    DriverProcess *winner = loser == m.a.get() ? m.b.get() : m.a.get();
    QVERIFY2(m.a->waitFor("phase 0 Match over") && m.b->waitFor("phase 0 Match over"), qPrintable(m.dump()));
    const auto overText = [](const DriverProcess &d, bool iLeft) {
        QJsonObject over;
        for (const QString &l : d.lines)
            if (l.startsWith("series ")) {
                const QJsonObject s = QJsonDocument::fromJson(l.mid(7).toUtf8()).object();
                if (s.value("state") == "over")
                    over = s;
            }
        const QString score = QString("%1-%2").arg(over.value("you").toInt()).arg(over.value("them").toInt());
        return iLeft ? QString("You left the series against %1 (%2).")
                           .arg(over.value("opponent").toString(), score)
                     : QString("%1 left the series (%2).").arg(over.value("opponent").toString(), score);
    };
    QVERIFY2(orxtest::waitUntil([&] { return loser->has("series ") && winner->has("series "); }),
             qPrintable(m.dump()));
    for (DriverProcess *d : {loser, winner}) {
        const QString text = overText(*d, d == loser);
        QVERIFY2(waitDoc(*d,
                         [&](const QJsonObject &doc) {
                             return doc["message"]["text"] == text && doc["series"]["state"] == "over" &&
                                    doc["series"]["text"] == text;
                         }),
                 qPrintable(text + "\n" + m.dump()));
        qsizetype overLine = -1;
        for (qsizetype i = 0; i < d->lines.size(); ++i)
            if (d->lines.at(i).startsWith("series ") && d->lines.at(i).contains("\"state\":\"over\""))
                overLine = i;
        QVERIFY(orxtest::waitUntil([&] { return messageAfter(*d, "profile", overLine) >= 0; }));
        QCOMPARE(readDoc(*d)["queue"]["state"].toString(), QString("idle"));
    }

    // Signed in elsewhere: the server's words show in ann's menu.
    orxtest::ScriptedClient other("elsewhere");
    QVERIFY(other.connectPlain(m.server.tcpPort));
    other.hello();
    QCOMPARE(other.login("ann", "secret-pass").value("type").toString(), QString("account"));
    QVERIFY2(waitDoc(*m.a,
                     [](const QJsonObject &d) {
                         return d["account"]["state"] == "offline" &&
                                d["account"]["error"] ==
                                    "You signed in on another PC, so this one was signed out.";
                     }),
             qPrintable(m.dump()));
    // Neither game ever read a part of a document, nor saw a message id go back.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const QByteArray log = readFile(d->sessionDir() + "/game.log");
        QVERIFY(log.contains("menu: message "));
        QVERIFY2(!log.contains("menu: ui.json does not parse") && !log.contains("menu: message id went back"),
                 log.constData());
    }
}

void TestBridgeSeries::rankedFromTheMenu()
{
    // Both games search, accept and ask for the leaderboard from their own menus; the test only
    // signs the launchers in and starts the games.
    QTemporaryDir scripts;
    const QByteArray script = "wait account.state=signed_in 30000\n"
                              "ask queue kind=ranked\n"
                              "wait queue.state=found 60000\n"
                              "ask accept\n"
                              "wait series.state=over 90000\n"
                              "ask leaderboard\n"
                              "wait leaderboard.rows.1.name 30000\n"
                              "log the menu saw the leaderboard\n";
    Match m;
    QVERIFY(m.start({"--set-wins", "1"}, withBridge("ann", writeScript(scripts, "ann.txt", script)),
                    withBridge("bob", writeScript(scripts, "bob.txt", script))));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("found ", 60000) && m.b->waitFor("found ", 60000), qPrintable(m.dump()));
    QVERIFY(m.a->json("found ").value("ranked").toBool());
    for (DriverProcess *d : {m.a.get(), m.b.get()})
        QVERIFY2(
            orxtest::waitUntil([&] { return gameLog(*d).contains("the menu saw the leaderboard"); }, 90000),
            qPrintable(m.dump() + "\n" + gameLog(*d)));
    // The set of one win is over on both sides, and the board lists both with their place, rank
    // and Elo: the winner above the loser.
    const QJsonObject fa = m.a->json("finished ");
    const QString winner = fa.value("you_won").toBool() ? "ann" : "bob";
    const QString loser = winner == "ann" ? "bob" : "ann";
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const QJsonObject doc = readDoc(*d);
        const QJsonArray rows = doc["leaderboard"]["rows"].toArray();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0)["name"].toString(), winner);
        QCOMPARE(rows.at(1)["name"].toString(), loser);
        QCOMPARE(rows.at(0)["place"].toInt(), 1);
        QCOMPARE(rows.at(1)["place"].toInt(), 2);
        QVERIFY(rows.at(0)["elo"].toInt() > rows.at(1)["elo"].toInt());
        QVERIFY(!rows.at(0)["rank"].toString().isEmpty());
        QVERIFY(doc["leaderboard"]["at"].toInteger() > 0);
    }
    // The requests were the games' own: the test never told a driver to search.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        QVERIFY(gameLog(*d).contains("menu: queue.state=found holds"));
        QVERIFY(QFile::exists(d->sessionDir() + "/ask.txt.taken"));
    }
}

void TestBridgeSeries::casualFromTheMenu()
{
    // A casual series run by the games: both ask for a rematch while choosing, the next match is
    // played in place, then ann leaves from her menu.
    QTemporaryDir scripts;
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask queue kind=casual\n"
                           "wait queue.state=found 60000\n"
                           "ask accept\n"
                           "wait series.state=choosing 90000\n"
                           "ask rematch value=rematch\n"
                           "wait series.state= 90000\n"
                           "wait series.state=choosing 90000\n"
                           "ask leave\n";
    const QByteArray bob = "wait account.state=signed_in 30000\n"
                           "ask queue kind=casual\n"
                           "wait queue.state=found 60000\n"
                           "ask accept\n"
                           "wait series.state=choosing 90000\n"
                           "ask rematch value=rematch\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(m.a->waitFor("found ", 60000) && m.b->waitFor("found ", 60000), qPrintable(m.dump()));
    // Two matches, the second one in place.
    QVERIFY2(orxtest::waitUntil([&] { return m.a->count("finished ") >= 2 && m.b->count("finished ") >= 2; },
                                120000),
             qPrintable(m.dump()));
    QCOMPARE(m.a->count("found "), 2);
    const QJsonObject next = m.a->json("found ", 1);
    QVERIFY2(next.value("in_place").toBool() && !next.value("series").toString().isEmpty() &&
                 !next.value("accept_required").toBool(),
             qPrintable(QJsonDocument(next).toJson(QJsonDocument::Compact)));
    QVERIFY2(orxtest::waitUntil([&] { return m.a->has("series ") && m.b->has("series "); }),
             qPrintable(m.dump()));
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const bool isAnn = d == m.a.get();
        QVERIFY2(waitDoc(
                     *d,
                     [&](const QJsonObject &doc) {
                         const QString text = doc["series"]["text"].toString();
                         return doc["series"]["state"] == "over" &&
                                QRegularExpression(isAnn
                                                       ? "^You left the series against bob \\(\\d-\\d\\)\\.$"
                                                       : "^ann left the series \\(\\d-\\d\\)\\.$")
                                    .match(text)
                                    .hasMatch() &&
                                doc["message"]["text"] == text;
                     },
                     60000),
                 qPrintable(QJsonDocument(readDoc(*d)).toJson(QJsonDocument::Compact) + "\n" + m.dump()));
        QCOMPARE(readDoc(*d)["series"]["mine"].toInt() + readDoc(*d)["series"]["theirs"].toInt(), 2);
    }
    QVERIFY(gameLog(*m.a).contains("menu: series.state=choosing holds"));
}

void TestBridgeSeries::lobbyFromTheMenu()
{
    // Ann makes a private lobby from her menu; bob keeps his list open (a private lobby is not in
    // it), fails with a wrong password, joins with the code and the password written down for his
    // game by the test, both get ready and play the match.
    QTemporaryDir scripts;
    const QString passwordFile = scripts.filePath("password.txt");
    const QString codeFile = scripts.filePath("code.txt");
    // The games choose nothing at their result screens: the lobby stays as the match left it. Back
    // in their menus (out of the match's ending, which a leave would cut short by closing the game)
    // they leave the lobby, ann first, and ask for the leaderboard.
    const QByteArray ann = "choice none\n"
                           "wait account.state=signed_in 30000\n"
                           "ask lobby_create private=1 name=Caf%C3%A9%20night\n"
                           "wait lobby.code 30000\n"
                           "wait lobby.members.1.name 90000\n"
                           "ask lobby_ready value=1\n"
                           "wait lobby.state=match 90000\n"
                           "log ann saw the match\n"
                           "wait series.state=choosing 120000\n"
                           "menu 0\n"
                           "wait series.state= 60000\n"
                           "wait lobby.state=waiting 60000\n"
                           "ask lobby_leave\n"
                           "wait lobby=null 30000\n"
                           "ask leaderboard\n"
                           "wait leaderboard.at 30000\n"
                           "log ann still served\n";
    const QByteArray bob = "choice none\n"
                           "wait account.state=signed_in 30000\n"
                           "ask lobbies\n"
                           "wait lobbies.at 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() +
                           "} password=0000\n"
                           "wait message.kind=error 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() + "} password={@" + passwordFile.toUtf8() +
                           "}\n"
                           "wait lobby.code 30000\n"
                           "ask lobby_ready value=true\n"
                           "wait lobby.state=match 90000\n"
                           "log bob saw the match\n"
                           "wait series.state=choosing 120000\n"
                           "menu 0\n"
                           "wait series.state= 60000\n"
                           "wait lobby.host=bob 120000\n"
                           "wait lobby.state=waiting 60000\n"
                           "ask lobby_leave\n"
                           "wait lobby=null 30000\n"
                           "ask leaderboard\n"
                           "wait leaderboard.at 30000\n"
                           "log bob still served\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    // The host's menu shows the lobby with its four-digit password; the test passes it on.
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
             qPrintable(m.dump()));
    const QJsonObject lobby = readDoc(*m.a)["lobby"].toObject();
    const QString password = lobby["password"].toString();
    QVERIFY2(QRegularExpression("^[1-9][0-9]{3}$").match(password).hasMatch(), qPrintable(password));
    QCOMPARE(lobby["name"].toString(), QString::fromUtf8("Caf\xC3\xA9 night"));
    QVERIFY2(lobby["text"].toString().contains(
                 QString("Private lobby: your friend joins with the code %1 and the password %2.")
                     .arg(lobby["code"].toString(), password)),
             qPrintable(lobby["text"].toString()));
    for (const auto &[path, text] :
         {std::pair{passwordFile, password}, std::pair{codeFile, lobby["code"].toString()}}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8() + "\n");
    }
    QVERIFY2(m.b->signInAndPlay(), qPrintable(m.dump()));

    // The wrong password was refused in bob's words.
    QVERIFY2(waitDoc(
                 *m.b, [](const QJsonObject &d) { return d["message"]["kind"] == "error"; }, 30000),
             qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil(
                 [&] { return gameLog(*m.b).contains("menu: message 1 error Could not join the lobby: "); }),
             qPrintable(gameLog(*m.b)));

    // Both ready: the start sentence, the match, the tally.
    QVERIFY2(m.a->waitFor("finished ", 120000) && m.b->waitFor("finished ", 120000), qPrintable(m.dump()));
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const QString who = d == m.a.get() ? "ann" : "bob";
        QVERIFY2(orxtest::waitUntil([&] { return gameLog(*d).contains((who + " saw the match").toUtf8()); },
                                    60000),
                 qPrintable(gameLog(*d) + "\n" + m.dump()));
        bool startsIn = false;
        bool tally = false;
        for (const QJsonObject &r : records(*d)) {
            startsIn = startsIn ||
                       r["lobby"]["text"].toString().contains("Both players are ready: the match starts in ");
            tally = tally || r["series"]["kind"] == "lobby";
        }
        QVERIFY2(startsIn && tally, qPrintable(who));
        if (d == m.b.get()) {
            // His list never showed the private lobby, and is asked for again (not during the
            // match) while the menu asked within the minute.
            qint64 firstAt = 0;
            for (const QJsonObject &r : records(*d)) {
                if (firstAt == 0)
                    firstAt = r["lobbies"]["at"].toInteger();
                for (const QJsonValue &row : r["lobbies"]["list"].toArray())
                    QVERIFY(row["code"].toString() != lobby["code"].toString());
            }
            QVERIFY(firstAt > 0);
            QVERIFY(waitDoc(
                *d, [&](const QJsonObject &doc) { return doc["lobbies"]["at"].toInteger() > firstAt; },
                30000));
        }
        // The games leave the lobby soon after the match: the tally of the one match is among the
        // documents they saw.
        QVERIFY2(orxtest::waitUntil([&] {
                     for (const QJsonObject &r : records(*d))
                         if (r["series"]["kind"] == "lobby" &&
                             r["series"]["mine"].toInt() + r["series"]["theirs"].toInt() == 1)
                             return true;
                     return false;
                 }),
                 qPrintable(who + "\n" + gameLog(*d)));
    }

    // Ann leaves from her menu, bob sees her go and leaves too: no lobby on either side, and both
    // games are still served (their leaderboard request answered), their processes still running.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        const QString who = d == m.a.get() ? "ann" : "bob";
        QVERIFY2(
            orxtest::waitUntil([&] { return gameLog(*d).contains((who + " still served").toUtf8()); }, 90000),
            qPrintable(gameLog(*d) + "\n" + m.dump()));
        const QJsonObject doc = readDoc(*d);
        QVERIFY(doc["lobby"].isNull());
        QVERIFY(doc["leaderboard"]["at"].toInteger() > 0);
        QCOMPARE(d->messages("lobby_left").size(), 1);
        QCOMPARE(d->messages("lobby_left").constFirst()["lobby"].toString(), lobby["code"].toString());
        QVERIFY(d->has("playergame 1") && !d->has("playergame 0"));
    }
    // Bob's game saw ann leave before he did: the lobby passed to him, with himself alone in it.
    bool alone = false;
    for (const QJsonObject &r : records(*m.b))
        alone = alone || (r["lobby"]["host"] == "bob" && r["lobby"]["members"].toArray().size() == 1);
    QVERIFY(alone);
}

void TestBridgeSeries::busyLobbyJoin()
{
    // Bob, in a lobby of his own, joins ann's: the server says busy, his launcher leaves his lobby
    // and asks once more, and he is in ann's lobby without a message.
    QTemporaryDir scripts;
    const QString codeFile = scripts.filePath("code.txt");
    const QByteArray ann = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=ann's\n"
                           "wait lobby.members.1.name=bob 60000\n"
                           "log bob came\n";
    const QByteArray bob = "wait account.state=signed_in 30000\n"
                           "ask lobby_create name=bob's\n"
                           "wait lobby.host=bob 30000\n"
                           "ask lobby_join code={@" +
                           codeFile.toUtf8() +
                           "}\n"
                           "wait lobby.host=ann 30000\n"
                           "log bob moved\n";
    Match m;
    QVERIFY(m.start({}, withBridge("ann", writeScript(scripts, "ann.txt", ann)),
                    withBridge("bob", writeScript(scripts, "bob.txt", bob))));
    QVERIFY2(m.a->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(waitDoc(*m.a, [](const QJsonObject &d) { return d["lobby"]["code"].toString().size() == 5; }),
             qPrintable(m.dump()));
    {
        QFile f(codeFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(readDoc(*m.a)["lobby"]["code"].toString().toUtf8() + "\n");
    }
    QVERIFY2(m.b->signInAndPlay(), qPrintable(m.dump()));
    QVERIFY2(orxtest::waitUntil([&] { return gameLog(*m.b).contains("bob moved"); }, 60000),
             qPrintable(gameLog(*m.b) + "\n" + m.dump()));
    QVERIFY(orxtest::waitUntil([&] { return gameLog(*m.a).contains("bob came"); }));
    // One busy, one leave of his own lobby, one resend; no message in his game; still served.
    int busy = 0;
    for (const QJsonObject &e : m.b->messages("error"))
        busy += e.value("code").toString() == "busy" ? 1 : 0;
    QCOMPARE(busy, 1);
    QCOMPARE(m.b->messages("lobby_left").size(), 1);
    QVERIFY(!gameLog(*m.b).contains("menu: message "));
    QCOMPARE(readDoc(*m.b)["message"]["id"].toInt(), 0);
    QVERIFY(m.b->has("playergame 1") && !m.b->has("playergame 0"));
}

QTEST_GUILESS_MAIN(TestBridgeSeries)
#include "tst_bridgeseries.moc"
