// Two launchers search each other and play a casual series or a ranked set to its end, choosing
// their rematches from the command line or in their games, and one loses its server connection at
// the result screen.
#include "e2ekit.h"

using namespace e2e;

namespace {

const QString kOne = QStringLiteral("player1");
const QString kTwo = QStringLiteral("player2");

// The series' end as the server logs it: "series ID over: OUTCOME A-B".
bool waitSeriesOver(const Case &c, int ms = 120000)
{
    return testutil::waitFor([&] { return c.server.errors().contains(QStringLiteral(" over: ")); }, ms);
}

bool waitIdle(const Launcher &l, int ms = 60000)
{
    return testutil::waitFor(
        [&] {
            const QStringList m = l.matchLog();
            return !m.isEmpty() && m.last() == QLatin1String("Match over");
        },
        ms);
}

// The characters a start or rematch line gives: "kael ryo", or "- -" for a pick in the game.
QString charactersOf(const QString &line)
{
    return lineValue(line, QStringLiteral("p1")) + QLatin1Char(' ') + lineValue(line, QStringLiteral("p2"));
}

} // namespace

class TestE2eSeries : public QObject {
    Q_OBJECT
    DemoGame demo;

private slots:
    void initTestCase()
    {
        const QString error = demo.build();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // The driver's choices between the matches of a casual series: one per pause, in order, and
    // the next match's characters follow each (rematch keeps both, select lets both pick again).
    void casualSeriesChoices_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("choices"); // the choice of each pause, in order
        QTest::addColumn<bool>("leaves");
        QTest::addColumn<QString>("outcome");

        // Without --leave-series the series goes on past the driver's last choice: each launcher
        // readies itself with a character select whenever its game is back in its menu and no
        // choice is due from the game, until somebody leaves. No outcome is checked then.
        QTest::newRow("select, then rematch repeating")
            << QStringList{"--rematches", "3", "--rematch-choice", "select,rematch"}
            << QStringList{"select", "rematch", "rematch"} << false << QString();
        QTest::newRow("no list: every choice is rematch")
            << QStringList{"--rematches", "2"} << QStringList{"rematch", "rematch"} << false << QString();
        QTest::newRow("one rematch, then leaving the series")
            << QStringList{"--rematches", "1", "--rematch-choice", "select", "--leave-series"}
            << QStringList{"select"} << true << "left";
    }
    void casualSeriesChoices()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, choices);
        QFETCH(bool, leaves);
        QFETCH(QString, outcome);

        // Over the relay, without the server's "relay_choice", the games cannot choose at their
        // result screens: each match ends with the game parked (its ending plays for 3 s), and the
        // driver's choice, made 2 s into the pause, goes out once the game is back in its menu.
        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({"--features", "pick_refused,desync_detail,koth"}, &error), qPrintable(error));
        const QStringList args = QStringList{"--queue", "casual", "--auto-accept", "1"} + options;
        const QVariantMap relay{{"online/hide_ip", true}, {"online/hide_ip_always", true}};
        const QString pace = quickGame() + QStringLiteral(" --park-ms 3000");
        Launcher &one = c.launch(kOne, args, pace, QStringLiteral("secret-pw"), relay);
        Launcher &two = c.launch(kTwo, args, pace, QStringLiteral("secret-pw"), relay);
        const int deadline = 60000 + 15000 * int(choices.size());
        if (leaves) {
            QVERIFY(waitSeriesOver(c, deadline));
            QVERIFY(waitIdle(one));
            QVERIFY(waitIdle(two));
        } else {
            // One match past the driver's choices: the launchers' own character select.
            QVERIFY(testutil::waitFor(
                [&] {
                    return int(c.server.errors().count(QStringLiteral(" result: agreed"))) >=
                           choices.size() + 2;
                },
                deadline));
        }
        QVERIFY(c.stopAll());
        const int played = int(choices.size()) + (leaves ? 1 : 2);
        // The choice made in each pause: the driver's, then the launchers' own select.
        QStringList picks = choices;
        if (!leaves)
            picks << QStringLiteral("select");

        for (const Launcher *l : {&one, &two}) {
            QCOMPARE(l->cliStartingWith(QStringLiteral("queueing ")), QStringList{"queueing casual"});
            QStringList expected;
            for (int i = 0; i < choices.size(); ++i)
                expected
                    << QStringLiteral("rematch %1 of %2 (%3)").arg(i + 1).arg(choices.size()).arg(choices[i]);
            QCOMPARE(l->cliStartingWith(QStringLiteral("rematch ")), expected);
            QCOMPARE(l->cli().contains(QStringLiteral("leaving the series")), leaves);
            // Every match of the series was played by this launcher's game, characters as chosen.
            const QStringList lines = l->matchLines();
            if (leaves)
                QCOMPARE(lines.size(), played);
            else
                QVERIFY(lines.size() >= played);
            for (int i = 0; i < picks.size(); ++i) {
                const QString next = charactersOf(lines[i + 1]);
                if (picks[i] == QLatin1String("select"))
                    QCOMPARE(next, QStringLiteral("- -"));
                else
                    QVERIFY2(!next.contains(QLatin1Char('-')), qPrintable(lines[i + 1]));
            }
        }

        if (leaves) {
            const QList<QJsonObject> series = c.records(QStringLiteral("series"));
            QCOMPARE(series.size(), 1);
            QCOMPARE(series[0].value("outcome").toString(), outcome);
            QCOMPARE(series[0].value("played").toInt(), played);
        }
        // The matches played to their end; one begun as the launchers closed may follow.
        QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        if (leaves)
            QCOMPARE(matches.size(), played);
        else
            QVERIFY(matches.size() >= played);
        matches = matches.mid(0, played);
        for (int i = 0; i < matches.size(); ++i) {
            QCOMPARE(matches[i].value("status").toString(), QStringLiteral("agreed"));
            // A rematch keeps the characters the last match was played with.
            if (i > 0 && picks[i - 1] == QLatin1String("rematch")) {
                QCOMPARE(matches[i].value("p1_char").toString(), matches[i - 1].value("p1_char").toString());
                QCOMPARE(matches[i].value("p2_char").toString(), matches[i - 1].value("p2_char").toString());
            }
        }
        // Casual matches count in the casual stats: every match has a winner and a loser.
        const QVariantMap s1 = c.stats(kOne), s2 = c.stats(kTwo);
        if (leaves)
            QCOMPARE(s1.value("casual_wins").toInt() + s2.value("casual_wins").toInt(), int(matches.size()));
        else
            QVERIFY(s1.value("casual_wins").toInt() + s2.value("casual_wins").toInt() >= int(matches.size()));
        QCOMPARE(s1.value("casual_wins").toInt(), s2.value("casual_losses").toInt());
    }

    // The players choose in their games at the result screen (every match a draw, so player 1
    // chooses: REMATCH, CHARACTER SELECT, LEAVE); the driver, though told to choose, makes no choice.
    void gamesChooseAtTheResultScreen()
    {
        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({}, &error), qPrintable(error));
        const QStringList args{"--queue",     "casual", "--auto-accept",    "1",
                               "--rematches", "3",      "--rematch-choice", "select"};
        const QString pace =
            quickGame() + QStringLiteral(" --draw --choice rematch,select,leave --choice-ms 200");
        Launcher &one = c.launch(kOne, args, pace);
        Launcher &two = c.launch(kTwo, args, pace);
        QVERIFY(waitSeriesOver(c));
        QVERIFY(waitIdle(one));
        QVERIFY(waitIdle(two));
        QVERIFY(c.stopAll());

        const QList<QJsonObject> series = c.records(QStringLiteral("series"));
        QCOMPARE(series.size(), 1);
        QCOMPARE(series[0].value("outcome").toString(), QStringLiteral("left"));
        const QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        QCOMPARE(matches.size(), 3);
        for (const QJsonObject &m : matches)
            QCOMPARE(m.value("status").toString(), QStringLiteral("draw"));
        // REMATCH kept both characters.
        QCOMPARE(matches[1].value("p1_char").toString(), matches[0].value("p1_char").toString());
        QCOMPARE(matches[1].value("p2_char").toString(), matches[0].value("p2_char").toString());
        for (const Launcher *p : {&one, &two}) {
            QVERIFY2(p->cliStartingWith(QStringLiteral("rematch ")).isEmpty(),
                     qPrintable(p->cli().join('\n')));
            QVERIFY(!p->cli().contains(QStringLiteral("leaving the series")));
            const QStringList lines = p->matchLines();
            QCOMPARE(lines.size(), 3);
            // The next matches started from the result screen; CHARACTER SELECT let both pick.
            QVERIFY2(lines[1].startsWith(QStringLiteral("rematch ")), qPrintable(lines[1]));
            QVERIFY2(lines[2].startsWith(QStringLiteral("rematch ")), qPrintable(lines[2]));
            QCOMPARE(charactersOf(lines[2]), QStringLiteral("- -"));
        }
        // Player 1's game made the three choices in order.
        const Launcher &chooser = matches[0].value("p1_name").toString() == kOne ? one : two;
        QStringList chosen;
        for (const QString &l : chooser.gameLogs().split(QLatin1Char('\n')))
            if (l.contains(QStringLiteral("orx versus: chose choice=")))
                chosen << lineValue(l.mid(l.indexOf(QStringLiteral("chose "))), QStringLiteral("choice"));
        QCOMPARE(chosen, QStringList({"rematch", "select", "leave"}));
    }

    // A ranked set plays on by itself to its end: no rematch choices, the set won, the Elo changes
    // adding up to 0, titles and set counts stored, both launchers back in Idle.
    void rankedSetToItsEnd()
    {
        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({"--set-wins", "2"}, &error), qPrintable(error));
        const QStringList args{"--queue", "ranked", "--auto-accept", "1", "--rematches", "3"};
        // The loser's game makes no choice: both games go back to their menus after a second,
        // which readies their launchers for the next match with a character select.
        const QString pace = quickGame() + QStringLiteral(" --menu-after 1000");
        Launcher &one = c.launch(kOne, args, pace);
        Launcher &two = c.launch(kTwo, args, pace);
        QVERIFY(waitSeriesOver(c));
        QVERIFY(waitIdle(one));
        QVERIFY(waitIdle(two));
        QVERIFY(c.stopAll());

        const QList<QJsonObject> series = c.records(QStringLiteral("series"));
        QCOMPARE(series.size(), 1);
        const QJsonObject set = series[0];
        QCOMPARE(set.value("outcome").toString(), QStringLiteral("won"));
        QVERIFY(set.value("ranked").toBool());
        const QString winner = set.value("winner").toString();
        const QString loser = winner == kOne ? kTwo : kOne;
        QVERIFY(winner == kOne || winner == kTwo);
        const QJsonObject elo = set.value("elo").toObject();
        const QJsonObject w = elo.value(winner).toObject(), l = elo.value(loser).toObject();
        QVERIFY(w.value("delta").toInt() > 0);
        QCOMPARE(w.value("delta").toInt() + l.value("delta").toInt(), 0);
        QVERIFY(!w.value("title_after").toString().isEmpty());
        QVERIFY(!l.value("title_after").toString().isEmpty());
        const int played = set.value("played").toInt();
        QVERIFY(played == 2 || played == 3);

        const QVariantMap sw = c.stats(winner), sl = c.stats(loser);
        QCOMPARE(sw.value("set_wins").toInt(), 1);
        QCOMPARE(sw.value("set_losses").toInt(), 0);
        QCOMPARE(sl.value("set_losses").toInt(), 1);
        QCOMPARE(sw.value("elo").toInt(), w.value("after").toInt());
        QCOMPARE(sl.value("elo").toInt(), l.value("after").toInt());
        QCOMPARE(c.records(QStringLiteral("matches")).size(), played);
        for (const Launcher *p : {&one, &two}) {
            QVERIFY(p->cliStartingWith(QStringLiteral("rematch ")).isEmpty());
            QCOMPARE(p->matchLines().size(), played);
        }
    }

    // The server connection drops 3 s into the first result screen, before player 1's game
    // chooses (every match a draw: REMATCH twice, then LEAVE): one drop, a resume with the token
    // (no second password sign-in), the series going on to its end, and no result lost.
    void dropAtTheResultScreen()
    {
        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({}, &error), qPrintable(error));
        const QStringList args{"--queue", "casual", "--auto-accept", "1"};
        const QString pace =
            quickGame() + QStringLiteral(" --draw --choice rematch,rematch,leave --choice-ms 3500");
        Launcher &one = c.launch(kOne, args + QStringList{"--drop-at-result", "3"}, pace);
        Launcher &two = c.launch(kTwo, args, pace);
        QVERIFY(one.waitCli(QStringLiteral("dropping the server connection at the result screen"), 90000));
        QVERIFY(waitSeriesOver(c, 120000));
        QVERIFY(waitIdle(one));
        QVERIFY(waitIdle(two));
        QVERIFY(c.stopAll());

        QCOMPARE(one.cli().filter(QStringLiteral("dropping the server connection")).size(), 1);
        QCOMPARE(one.cliStartingWith(QStringLiteral("signing in as ")), QStringList{"signing in as player1"});
        QCOMPARE(one.log().filter(QStringLiteral("server: logged in as player1")).size(), 2);
        // Every match of the series has its result; the series ran to the LEAVE.
        const QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        QCOMPARE(matches.size(), 3);
        for (const QJsonObject &m : matches)
            QCOMPARE(m.value("status").toString(), QStringLiteral("draw"));
        const QList<QJsonObject> series = c.records(QStringLiteral("series"));
        QCOMPARE(series.size(), 1);
        QCOMPARE(series[0].value("outcome").toString(), QStringLiteral("left"));
        QCOMPARE(series[0].value("played").toInt(), 3);
        QCOMPARE(one.matchLines().size(), 3);
        QCOMPARE(two.matchLines().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestE2eSeries)
#include "test_e2e_series.moc"
