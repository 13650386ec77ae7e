// Launchers in lobbies: a host, a joiner (by the list, or by the host's code file for a lobby
// that is never listed) and a watcher; King of the Hill with three launchers rating the wins; and
// leaving a lobby while its match is played.
#include "e2ekit.h"

using namespace e2e;

namespace {

const QString kHost = QStringLiteral("host1");
const QString kJoiner = QStringLiteral("joiner1");
const QString kWatcher = QStringLiteral("watcher1");

// A lobby match's loser chooses nothing here: the games leave their result screens for the
// lobby after a moment, and the driver says ready again there.
QString lobbyGame()
{
    return quickGame() + QStringLiteral(" --menu-after 800");
}

QString codeIn(const QString &file)
{
    return QString::fromLatin1(testutil::readAll(file)).trimmed();
}

} // namespace

class TestE2eLobby : public QObject {
    Q_OBJECT
    DemoGame demo;

private slots:
    void initTestCase()
    {
        const QString error = demo.build();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // The host plays two lobby matches and leaves; the joiner finds the lobby by its name in the
    // list, or (for a Rovivi Practice lobby, never listed) by the code the host wrote, after making
    // a lobby of its own first; the watcher comes in by the code and only watches.
    void hostJoinWatch_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("byCode");
        QTest::addColumn<QString>("ending"); // how each played match ends in the game

        QTest::newRow("versus, joined from the list") << "versus" << false << "result ";
        QTest::newRow("practice, joined by the code file") << "sparring" << true << "sparring_over ";
    }
    void hostJoinWatch()
    {
        QFETCH(QString, mode);
        QFETCH(bool, byCode);
        QFETCH(QString, ending);

        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({}, &error), qPrintable(error));
        const QString codeFile = c.dir.filePath(QStringLiteral("lobby-code.txt"));
        const QString name = QStringLiteral("e2e duel");
        Launcher &host = c.launch(kHost,
                                  {"--lobby", "host", "--lobby-name", name, "--mode", mode, "--lobby-matches",
                                   "2", "--leave-lobby", "--lobby-code-file", codeFile},
                                  lobbyGame());
        QVERIFY(host.waitCliStartingWith(QStringLiteral("lobby code ")));
        const QString code = codeIn(codeFile);
        QCOMPARE(code.size(), 5);
        QCOMPARE(host.cliStartingWith(QStringLiteral("lobby code ")),
                 QStringList{QStringLiteral("lobby code %1 in %2").arg(code, codeFile)});

        QStringList joinArgs{"--lobby", "join", "--lobby-name", name, "--mode", mode, "--lobby-matches", "2"};
        if (byCode)
            joinArgs << "--lobby-code-file" << codeFile << "--lobby-own-first";
        Launcher &joiner = c.launch(kJoiner, joinArgs, lobbyGame());
        Launcher &watcher =
            c.launch(kWatcher, {"--lobby", "watch", "--lobby-code-file", codeFile}, lobbyGame());

        QVERIFY(host.waitCli(QStringLiteral("lobby match 2 of 2 over"), 120000));
        QVERIFY(joiner.waitCli(QStringLiteral("lobby match 2 of 2 over"), 60000));
        QVERIFY(host.waitCli(QStringLiteral("ask lobby_leave")));
        QVERIFY(host.waitLogContaining(QStringLiteral("Left the lobby")));
        QVERIFY(c.stopAll());

        QCOMPARE(host.cliStartingWith(QStringLiteral("creating ")),
                 QStringList{QStringLiteral("creating lobby \"e2e duel\" (%1)").arg(mode)});
        QVERIFY(host.cli().contains(
            QStringLiteral("ask lobby_create name=e2e%20duel mode=%1 koth=0 private=0").arg(mode)));
        QCOMPARE(host.cli().filter(QStringLiteral("ask lobby_leave")).size(), 1);
        QCOMPARE(joiner.cli().filter(QStringLiteral("ask lobby_leave")).size(), 0);
        QCOMPARE(joiner.cliStartingWith(QStringLiteral("joining lobby ")),
                 QStringList{QStringLiteral("joining lobby ") + code});
        QCOMPARE(joiner.cli().contains(QStringLiteral("creating a lobby of my own first")), byCode);
        if (!byCode)
            QVERIFY(joiner.cli().contains(QStringLiteral("ask lobbies")));
        // Host and joiner said ready once per match; the watcher never did.
        QCOMPARE(host.cli().filter(QStringLiteral("ask lobby_ready value=1")).size(), 2);
        QCOMPARE(joiner.cli().filter(QStringLiteral("ask lobby_ready value=1")).size(), 2);
        QCOMPARE(watcher.cliStartingWith(QStringLiteral("watching lobby ")),
                 QStringList{QStringLiteral("watching lobby ") + code});
        QVERIFY(watcher.cli().filter(QStringLiteral("lobby_ready")).isEmpty());
        QVERIFY(watcher.cli().filter(QStringLiteral("lobby_leave")).isEmpty());

        // Both players' games played both matches; the watcher's game got watch lines with a feed.
        QCOMPARE(host.matchLines().size(), 2);
        QCOMPARE(joiner.matchLines().size(), 2);
        const QStringList watchLines = watcher.commands().filter(QStringLiteral(" watch=1 "));
        QVERIFY2(!watchLines.isEmpty(), qPrintable(watcher.commands().join('\n')));
        for (const QString &w : watchLines)
            QVERIFY2(lineValue(w, QStringLiteral("feed")).startsWith(QStringLiteral("127.0.0.1:")),
                     qPrintable(w));
        QVERIFY(watcher.matchLines().isEmpty());
        QVERIFY2(watcher.gameLogs().contains(QStringLiteral("orx watch: in sync")),
                 qPrintable(watcher.gameLogs()));
        QVERIFY2(host.gameLogs().contains(QStringLiteral("orx versus: ") + ending),
                 qPrintable(host.gameLogs()));

        // Versus lobby matches are recorded with their lobby; practice ones are not recorded.
        const QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        if (mode == QLatin1String("versus")) {
            QCOMPARE(matches.size(), 2);
            for (const QJsonObject &m : matches) {
                QCOMPARE(m.value("lobby").toString(), code);
                QCOMPARE(m.value("status").toString(), QStringLiteral("agreed"));
            }
        } else {
            QVERIFY(matches.isEmpty());
        }
    }

    // King of the Hill: the launcher that joins last waits in line and watches, every launcher
    // rates each win it may rate once, and the winner stays on.
    void kingOfTheHill()
    {
        // A countdown before each match, so that both joiners are in before the first starts.
        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({"--lobby-countdown", "4"}, &error), qPrintable(error));
        const QString codeFile = c.dir.filePath(QStringLiteral("koth-code.txt"));
        const QStringList common{"--lobby-matches", "3", "--rate", "7"};
        Launcher &host = c.launch(kHost, QStringList{"--lobby", "host", "--koth", "--lobby-name", "hill",
                                                     "--lobby-code-file", codeFile} +
                                             common);
        QVERIFY(host.waitCliStartingWith(QStringLiteral("lobby code ")));
        Launcher &second = c.launch(kJoiner, QStringList{"--lobby", "join", "--lobby-name", "hill"} + common);
        Launcher &third =
            c.launch(kWatcher, QStringList{"--lobby", "join", "--lobby-code-file", codeFile} + common);
        for (const Launcher *l : {&host, &second, &third})
            QVERIFY(l->waitCli(QStringLiteral("lobby match 3 of 3 over"), 180000));
        // The last win's ratings come in after its end.
        QVERIFY(testutil::waitFor(
            [&] {
                return third.log().filter(QStringLiteral("rating ")).size() +
                           second.log().filter(QStringLiteral("rating ")).size() +
                           host.log().filter(QStringLiteral("rating ")).size() >=
                       6;
            },
            60000));
        QVERIFY(c.stopAll());

        QCOMPARE(host.cliStartingWith(QStringLiteral("creating ")),
                 QStringList{QStringLiteral("creating King of the Hill lobby \"hill\" (versus)")});
        QVERIFY(
            host.cli().contains(QStringLiteral("ask lobby_create name=hill mode=versus koth=1 private=0")));

        const QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        QCOMPARE(matches.size(), 3);
        QStringList winners;
        for (int i = 0; i < matches.size(); ++i) {
            const QJsonObject &m = matches[i];
            QCOMPARE(m.value("status").toString(), QStringLiteral("agreed"));
            const int w = m.value("winner").toInt();
            const QString winner = m.value(w == 1 ? "p1_name" : "p2_name").toString();
            const QString loser = m.value(w == 1 ? "p2_name" : "p1_name").toString();
            winners << winner;
            // The winner stays on: the king is side 1 of the next match, the loser sits out.
            if (i + 1 < matches.size()) {
                QCOMPARE(matches[i + 1].value("p1_name").toString(), winner);
                QVERIFY(matches[i + 1].value("p2_name").toString() != loser);
            }
        }
        // Each win rated once by each of the two others, with the score given.
        const QStringList ratings = c.ratings();
        QCOMPARE(ratings.size(), 6);
        QSet<QString> seen;
        for (const QString &r : ratings) {
            const QStringList f = r.split(' ');
            QCOMPARE(f.size(), 4);
            QCOMPARE(f[3], QStringLiteral("7"));
            QVERIFY(f[1] != f[2]);
            QVERIFY(!seen.contains(f[0] + ' ' + f[2]));
            seen.insert(f[0] + ' ' + f[2]);
        }
        // One rating line per rating stored (a king who wins twice is rated twice in the same words).
        int ratingLines = 0;
        for (const Launcher *l : {&host, &second, &third}) {
            const QStringList rated = l->cliStartingWith(QStringLiteral("rating "));
            for (const QString &r : rated)
                QVERIFY2(r.endsWith(QStringLiteral("'s win 7")), qPrintable(r));
            ratingLines += int(rated.size());
        }
        QCOMPARE(ratingLines, 6);
        // Whoever of the two joiners came second began in the line: its game watched the first
        // match. The two join at about the same time, so either may be that one.
        const QStringList firstPair{matches[0].value("p1_name").toString(),
                                    matches[0].value("p2_name").toString()};
        const Launcher *waiting = nullptr;
        for (const Launcher *l : {&host, &second, &third}) {
            if (!firstPair.contains(l->name))
                waiting = l;
        }
        QVERIFY2(waiting, qPrintable(firstPair.join(' ')));
        QVERIFY(waiting != &host);
        QVERIFY(!waiting->commands().filter(QStringLiteral(" watch=1 ")).isEmpty());
    }

    // Leaving 3 s into the first lobby match: the match ends for the leaver and is abandoned on
    // the leaver's side; a game with the online menu goes back to it and stays open; the other game
    // goes back to the lobby. A match over before the timer brings no "lobby_leave".
    void leaveInMatch_data()
    {
        QTest::addColumn<int>("matchMs");
        QTest::addColumn<bool>("leaves");
        QTest::newRow("match still on after 3 s") << 15000 << true;
        QTest::newRow("match over within 3 s") << 400 << false;
    }
    void leaveInMatch()
    {
        QFETCH(int, matchMs);
        QFETCH(bool, leaves);

        Case c(demo.folder);
        QString error;
        QVERIFY2(c.startServer({}, &error), qPrintable(error));
        const QString codeFile = c.dir.filePath(QStringLiteral("code.txt"));
        const QString pace = QStringLiteral("--boot-ms 100 --frame-ms 10 --match-ms %1").arg(matchMs);
        Launcher &host = c.launch(
            kHost, {"--lobby", "host", "--lobby-code-file", codeFile, "--leave-lobby-in-match", "3"}, pace);
        QVERIFY(host.waitCliStartingWith(QStringLiteral("lobby code ")));
        Launcher &joiner = c.launch(kJoiner, {"--lobby", "join", "--lobby-code-file", codeFile}, pace);
        if (leaves) {
            QVERIFY(host.waitCli(QStringLiteral("ask lobby_leave"), 60000));
            // The leaver's game parks in its online menu and stays open; the other's match ends
            // and its game is back in its menu.
            QVERIFY(host.waitLogContaining(QStringLiteral(
                "Left the lobby: its match ends for you, and your game goes back to its online menu")));
            QVERIFY(host.waitLogContaining(QStringLiteral("Left the lobby (your game stays open)")));
            QVERIFY(joiner.waitCli(QStringLiteral("lobby match 1 of 1 over"), 60000));
            QVERIFY(testutil::waitFor(
                [&] {
                    return joiner.matchLog().contains(QStringLiteral("Match over")) ||
                           !joiner.matchLog().filter(QStringLiteral("Match over")).isEmpty();
                },
                60000));
            // Until the launcher closes.
            QVERIFY(host.log().filter(QStringLiteral("exited with code")).isEmpty());
        } else {
            QVERIFY(host.waitCli(QStringLiteral("lobby match 1 of 1 over"), 60000));
            QVERIFY(joiner.waitCli(QStringLiteral("lobby match 1 of 1 over"), 60000));
            // The timer's 3 s pass well within this; a leave would show on the log by then.
            QVERIFY(!testutil::waitFor([&] { return host.cli().contains(QStringLiteral("ask lobby_leave")); },
                                       6000));
        }
        QVERIFY(c.stopAll());

        const QList<QJsonObject> matches = c.records(QStringLiteral("matches"));
        QCOMPARE(matches.size(), 1);
        const QJsonObject m = matches[0];
        if (leaves) {
            QCOMPARE(m.value("status").toString(), QStringLiteral("abandoned"));
            const int hostSide = m.value("p1_name").toString() == kHost ? 1 : 2;
            QCOMPARE(m.value("left_side").toInt(), hostSide);
            QCOMPARE(m.value("winner").toInt(), 3 - hostSide);
            QCOMPARE(host.cli().filter(QStringLiteral("ask lobby_leave")).size(), 1);
        } else {
            QCOMPARE(m.value("status").toString(), QStringLiteral("agreed"));
            QVERIFY(host.cli().filter(QStringLiteral("lobby_leave")).isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestE2eLobby)
#include "test_e2e_lobby.moc"
