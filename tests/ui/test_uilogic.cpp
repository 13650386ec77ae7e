// The main window's decisions and the Play page's content as tables: no widgets, no window.
#include "core/cfg.h"
#include "gamedata/registry.h"
#include "testutil.h"
#include "ui/accountrules.h"
#include "ui/playview.h"
#include "ui/settingsrules.h"
#include "ui/windowcontroller.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject doc(const QString &accountState, const QJsonObject &extraAccount = {},
                const QJsonObject &rest = {})
{
    QJsonObject account = extraAccount;
    account.insert(QStringLiteral("state"), accountState);
    QJsonObject d = rest;
    d.insert(QStringLiteral("account"), account);
    return d;
}

QJsonObject stats(const QString &title, int elo, int w, int l, int cw, int cl)
{
    QJsonObject ranked{{"elo", elo}, {"wins", w}, {"losses", l}};
    if (!title.isEmpty())
        ranked.insert("title", title);
    return QJsonObject{{"ranked", ranked}, {"casual", QJsonObject{{"wins", cw}, {"losses", cl}}}};
}

const QString kSignedInStatus =
    QStringLiteral("Ranked sets: %1 won, %2 lost.   Casual matches: %3 won, %4 lost.");

} // namespace

class TestUiLogic : public QObject {
    Q_OBJECT
private slots:
    void accountCard_data()
    {
        QTest::addColumn<QJsonObject>("state");
        QTest::addColumn<QJsonObject>("own");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("rankLine");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("avatar");
        QTest::addColumn<QString>("buttons"); // I sign in, C create, O sign out, A connect again

        QTest::newRow("signed in, ranked")
            << doc("signed_in", {{"name", "Ann"}}) << stats("Gold", 1601, 7, 3, 12, 9) << "Ann"
            << "Rank: Gold, 1601 Elo" << kSignedInStatus.arg(7).arg(3).arg(12).arg(9) << "Gold"
            << "O";
        QTest::newRow("signed in, no ranked play")
            << doc("signed_in", {{"name", "Bo"}}) << stats("", 1500, 0, 0, 2, 1) << "Bo"
            << "Ranked: not played yet" << kSignedInStatus.arg(0).arg(0).arg(2).arg(1) << ""
            << "O";
        QTest::newRow("signed in, mistyped figures")
            << doc("signed_in", {{"name", "Cy"}})
            << QJsonObject{{"ranked", QJsonObject{{"title", "Iron"}, {"elo", "high"}, {"wins", true}}}}
            << "Cy"
            << "Rank: Iron, 0 Elo" << kSignedInStatus.arg(0).arg(0).arg(0).arg(0) << "Iron"
            << "O";
        QTest::newRow("signed in, figures past any integer")
            << doc("signed_in", {{"name", "Di"}})
            << QJsonObject{{"ranked", QJsonObject{{"title", "Iron"}, {"elo", 1e300}, {"wins", -1e300}}}}
            << "Di"
            << "Rank: Iron, 9000000000000000000 Elo"
            << kSignedInStatus.arg(QStringLiteral("-9000000000000000000")).arg(0).arg(0).arg(0) << "Iron"
            << "O";
        QTest::newRow("signed out") << doc("signed_out", {{"error", "ignored"}}) << QJsonObject()
                                    << "Not signed in"
                                    << "Sign in, or create an account, to play online."
                                    << "Single player works without one."
                                    << ""
                                    << "IC";
        QTest::newRow("connecting") << doc("connecting") << QJsonObject() << "Connecting..."
                                    << "Connecting to the server."
                                    << ""
                                    << ""
                                    << "";
        QTest::newRow("offline") << doc("offline") << QJsonObject() << "Offline"
                                 << "Not connected to the server."
                                 << "Single player works offline."
                                 << ""
                                 << "A";
        QTest::newRow("offline with an error")
            << doc("offline", {{"error", "Connection refused"}}) << QJsonObject() << "Offline"
            << "Not connected to the server."
            << "Connection refused"
            << ""
            << "A";
        QTest::newRow("no document") << QJsonObject() << QJsonObject() << "Offline"
                                     << "Not connected to the server."
                                     << "Single player works offline."
                                     << ""
                                     << "A";
    }
    void accountCard()
    {
        QFETCH(QJsonObject, state);
        QFETCH(QJsonObject, own);
        const PlayView v = computePlayView(state, own, MatchController::Idle, QString(), PlayGameState());
        QTEST(v.name, "name");
        QTEST(v.rankLine, "rankLine");
        QTEST(v.accountStatus, "status");
        QTEST(v.avatarRank, "avatar");
        QString buttons;
        if (v.showSignIn)
            buttons += 'I';
        if (v.showCreate)
            buttons += 'C';
        if (v.showSignOut)
            buttons += 'O';
        if (v.showConnect)
            buttons += 'A';
        QTEST(buttons, "buttons");
    }

    void signOutByPhase()
    {
        const QJsonObject d = doc("signed_in", {{"name", "Ann"}});
        const QMetaEnum phases = QMetaEnum::fromType<MatchController::Phase>();
        const QSet<int> locked{MatchController::Connecting, MatchController::Starting,
                               MatchController::Playing,    MatchController::Reporting,
                               MatchController::Finishing,  MatchController::Watching};
        for (int i = 0; i < phases.keyCount(); ++i) {
            const auto phase = MatchController::Phase(phases.value(i));
            const PlayView v = computePlayView(d, {}, phase, QStringLiteral("x"), PlayGameState());
            QVERIFY2(v.showSignOut, phases.key(i));
            QCOMPARE(v.signOutEnabled, !locked.contains(phase));
        }
    }

    void playAndGameLine_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("phase");
        QTest::addColumn<QString>("playText");
        QTest::addColumn<QString>("accessible");
        QTest::addColumn<QString>("gameLine");
        const QString show = "SHOW THE GAME", showName = "Show the game: bring its window to the front";
        QTest::newRow("not running") << false << "" << int(MatchController::Idle) << "PLAY"
                                     << "Play: start the game"
                                     << "Your game is not running. Press PLAY to start it.";
        QTest::newRow("not running, searching") << false << "" << int(MatchController::Searching) << "PLAY"
                                                << "Play: start the game"
                                                << "Your game is not running. Press PLAY to start it.";
        QTest::newRow("starting") << true << "starting" << int(MatchController::Idle) << show << showName
                                  << "Your game is starting.";
        QTest::newRow("booting in a match") << true << "booting" << int(MatchController::Playing) << show
                                            << showName << "Your game is starting.";
        QTest::newRow("in a match") << true << "in_match" << int(MatchController::Playing) << show << showName
                                    << "Your game is running: you are in an online match.";
        QTest::newRow("watching") << true << "ready" << int(MatchController::Watching) << show << showName
                                  << "Your game is running: you are in an online match.";
        QTest::newRow("in its menus")
            << true << "ready" << int(MatchController::Searching) << show << showName
            << "Your game is running. Everything online is in its menus.";
        QTest::newRow("at the result")
            << true << "result" << int(MatchController::AtResult) << show << showName
            << "Your game is running. Everything online is in its menus.";
    }
    void playAndGameLine()
    {
        QFETCH(bool, running);
        QFETCH(QString, status);
        QFETCH(int, phase);
        const PlayView v = computePlayView(doc("signed_out"), {}, MatchController::Phase(phase), QString(),
                                           PlayGameState{running, status});
        QTEST(v.playText, "playText");
        QTEST(v.playAccessibleName, "accessible");
        QTEST(v.gameLine, "gameLine");
    }

    void serverLine_data()
    {
        QTest::addColumn<QJsonObject>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("signed in") << doc("signed_in", {{"name", "Ann"}},
                                          {{"server", QJsonObject{{"online", 14}, {"in_matches", 6}}}})
                                   << "Connected to the server as Ann: 14 players online, 6 in matches.";
        QTest::newRow("signed in, no figures")
            << doc("signed_in", {{"name", "Ann"}})
            << "Connected to the server as Ann: 0 players online, 0 in matches.";
        QTest::newRow("signed out") << doc("signed_out") << "Connected to the server, not signed in.";
        QTest::newRow("connecting") << doc("connecting") << "Connecting to the server...";
        QTest::newRow("offline") << doc("offline") << "Not connected to the server.";
    }
    void serverLine()
    {
        QFETCH(QJsonObject, state);
        QTEST(computePlayView(state, {}, MatchController::Idle, {}, {}).serverLine, "line");
    }

    // The first rule that applies wins: search, phase, series, lobby.
    void matchLineOrder_data()
    {
        QTest::addColumn<QString>("queueState");
        QTest::addColumn<int>("phase");
        QTest::addColumn<QString>("seriesText");
        QTest::addColumn<bool>("lobby");
        QTest::addColumn<QString>("line");
        const QString queueText = "Searching for a ranked match: 1:05.";
        QTest::newRow("search over everything")
            << "searching" << int(MatchController::Searching) << "S" << true << queueText;
        QTest::newRow("found over the phase")
            << "found" << int(MatchController::Found) << "" << false << queueText;
        QTest::newRow("phase over series")
            << "idle" << int(MatchController::Playing) << "S" << true << "Phase text";
        QTest::newRow("series over lobby") << "idle" << int(MatchController::Idle) << "S" << true << "S";
        QTest::newRow("lobby") << "idle" << int(MatchController::Idle) << "" << true
                               << "In lobby Friday (K7Q2). Waiting for an opponent: share the code K7Q2.";
        QTest::newRow("nothing") << "idle" << int(MatchController::Idle) << "" << false << "";
        QTest::newRow("no queue state") << "" << int(MatchController::Idle) << "" << false << "";
    }
    void matchLineOrder()
    {
        QFETCH(QString, queueState);
        QFETCH(int, phase);
        QFETCH(QString, seriesText);
        QFETCH(bool, lobby);
        QJsonObject rest{
            {"queue", QJsonObject{{"state", queueState}, {"text", "Searching for a ranked match: 1:05."}}},
            {"series", QJsonObject{{"text", seriesText}}},
            {"lobby", lobby
                          ? QJsonValue(QJsonObject{{"name", "Friday"},
                                                   {"code", "K7Q2"},
                                                   {"text", "Waiting for an opponent: share the code K7Q2."}})
                          : QJsonValue(QJsonValue::Null)}};
        const PlayView v = computePlayView(doc("signed_in", {{"name", "Ann"}}, rest), {},
                                           MatchController::Phase(phase), QStringLiteral("Phase text"), {});
        QTEST(v.matchLine, "line");
    }

    void loginChecks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("warning");
        const QString nameRule = "Names are 3-16 letters, digits, '_' or '-'.";
        const QString passRule = "Passwords are 6-128 characters.";
        const QString differ = "The two passwords differ.";
        const QString ok6 = "secret", p5 = "secre";
        QTest::newRow("trimmed name") << QString(" Ann ").trimmed() << ok6 << "" << false << "";
        QTest::newRow("untrimmed name is refused") << " Ann " << ok6 << "" << false << nameRule;
        QTest::newRow("two characters") << "ab" << ok6 << "" << false << nameRule;
        QTest::newRow("a dot") << "a.b" << ok6 << "" << false << nameRule;
        QTest::newRow("16 characters") << QString(16, 'x') << ok6 << "" << false << "";
        QTest::newRow("17 characters") << QString(17, 'x') << ok6 << "" << false << nameRule;
        QTest::newRow("underscore and dash") << "a_b-c9" << ok6 << "" << false << "";
        QTest::newRow("password 5") << "Ann" << p5 << p5 << true << passRule;
        QTest::newRow("password 6") << "Ann" << ok6 << "" << false << "";
        QTest::newRow("password 128") << "Ann" << QString(128, 'p') << QString(128, 'p') << true << "";
        QTest::newRow("password 129") << "Ann" << QString(129, 'p') << QString(129, 'p') << true << passRule;
        QTest::newRow("repeat differs, creating") << "Ann" << ok6 << "secreT" << true << differ;
        QTest::newRow("repeat differs, signing in") << "Ann" << ok6 << "secreT" << false << "";
        QTest::newRow("name checked first") << "a" << p5 << "" << true << nameRule;
    }
    void loginChecks()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, repeat);
        QFETCH(bool, create);
        QTEST(loginProblem(name, password, repeat, create), "warning");
    }

    void statusLine_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("text");
        QTest::newRow("signed in") << int(ServerClient::LoggedIn) << ""
                                   << "#3FC66B"
                                   << "Connected to h:7 as Ann";
        QTest::newRow("not signed in") << int(ServerClient::Rovivi) << "x"
                                       << "#E8C25A"
                                       << "Connected to h:7 (not signed in)";
        QTest::newRow("connecting") << int(ServerClient::Connecting) << ""
                                    << "#F0B35A"
                                    << "Connecting to h:7...";
        QTest::newRow("offline") << int(ServerClient::Offline) << ""
                                 << "#FF6A5A"
                                 << "Offline";
        QTest::newRow("offline, error") << int(ServerClient::Offline) << "refused"
                                        << "#FF6A5A"
                                        << "Offline: refused";
    }
    void statusLine()
    {
        QFETCH(int, state);
        QFETCH(QString, error);
        const StatusLine line = WindowController::statusLine(
            ServerClient::State(state), QStringLiteral("h:7"), QStringLiteral("Ann"), error);
        QTEST(line.colour, "colour");
        QTEST(line.text, "text");
    }

    // The build notice from game folders laid out here: nothing, a disc, a built game, a stand-in.
    void buildNoticeFromFolders()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        const QString gameId = QStringLiteral("orx");
        const QString exe = dir.filePath(QStringLiteral("games/orx/orx.exe"));
        cfg::set(QStringLiteral("games/orx/folder"), dir.filePath(QStringLiteral("games/orx")));
        cfg::set(QStringLiteral("games/orx/exe"), exe);
        WindowController c{LaunchOptions()};

        QCOMPARE(
            c.buildNotice(gatherBuildFacts(gameId)),
            QStringLiteral("The game is not built yet. Open Build game and give it your Ironmere IV disc "
                           "image and its title update."));
        QVERIFY(QDir().mkpath(cfg::gameDiscDir(gameId)));
        QFile xex(QDir(cfg::gameDiscDir(gameId)).filePath(QStringLiteral("default.xex")));
        QVERIFY(xex.open(QIODevice::WriteOnly));
        xex.close();
        const BuildFacts disc = gatherBuildFacts(gameId);
        QVERIFY(disc.discExtracted);
        QCOMPARE(
            c.buildNotice(disc),
            QStringLiteral("The game's code is not built yet. Open Build game and press CHECK AND BUILD."));
        QVERIFY(QDir().mkpath(QFileInfo(exe).absolutePath()));
        QFile built(exe);
        QVERIFY(built.open(QIODevice::WriteOnly));
        built.close();
        QCOMPARE(c.buildNotice(gatherBuildFacts(gameId)), QString());

        // A stand-in game (no ".exe") never gets a notice, even without a disc.
        cfg::set(QStringLiteral("games/orx/exe"), dir.filePath(QStringLiteral("orx-testgame")));
        QCOMPARE(c.buildNotice(gatherBuildFacts(gameId)), QString());
    }

    void releaseCheckRules_data()
    {
        QTest::addColumn<bool>("packaged");
        QTest::addColumn<bool>("exe");
        QTest::addColumn<bool>("another");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("log"); // empty: nothing happens
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("error");
        const QString rebuildLog =
            QStringLiteral("build orx: built from another release than this one's: building again");
        const QString rebuildNotice = QStringLiteral(
            "This update changed the game itself: it is being put together again on Build game (once, a few "
            "minutes at most).");
        const QString updateLog =
            QStringLiteral("build orx: the title update in place is not this release's: asking for it");
        QTest::newRow("built by another release") << true << true << true << ""
                                                  << "title update 3" << rebuildLog << rebuildNotice << false;
        QTest::newRow("wrong title update")
            << true << true << false << "The title update on this PC is title update 1."
            << "title update 3" << updateLog
            << "Orvex Rovivi now needs title update 3. Choose it on Build game, step 2: the game is then "
               "built "
               "again."
            << true;
        QTest::newRow("wrong title update, built by another release: the update first")
            << true << true << true << "The title update on this PC is title update 1."
            << "title update 3" << updateLog
            << "Orvex Rovivi now needs title update 3. Choose it on Build game, step 2: the game is then "
               "built "
               "again."
            << true;
        QTest::newRow("no definition")
            << true << true << false << "The title update on this PC is not complete."
            << "" << updateLog
            << "Orvex Rovivi now needs another title update. Choose it on Build game, step 2: the game is "
               "then "
               "built again."
            << true;
        QTest::newRow("not packaged") << false << true << true << "Wrong."
                                      << "title update 3"
                                      << ""
                                      << "" << false;
        QTest::newRow("executable missing") << true << false << true << "Wrong."
                                            << "title update 3"
                                            << ""
                                            << "" << false;
        QTest::newRow("this release's game") << true << true << false << ""
                                             << "title update 3"
                                             << ""
                                             << "" << false;
    }
    void releaseCheckRules()
    {
        QFETCH(bool, packaged);
        QFETCH(bool, exe);
        QFETCH(bool, another);
        QFETCH(QString, problem);
        QFETCH(QString, label);
        QFETCH(QString, log);
        ReleaseFacts f;
        f.packaged = packaged;
        f.exeExists = exe;
        f.builtByAnotherRelease = another;
        f.titleUpdateProblem = problem;
        f.titleUpdateLabel = label;
        const ReleaseAction a = WindowController::releaseCheck(f, QStringLiteral("orx"));
        QCOMPARE(a.rebuild, !log.isEmpty());
        QCOMPARE(a.logLine, log);
        QTEST(a.notice, "notice");
        QTEST(a.noticeIsError, "error");
    }

    // The facts of the release check from folders laid out here, as a packaged launcher has them.
    void releaseFactsFromFolders_data()
    {
        QTest::addColumn<bool>("packaged");
        QTest::addColumn<bool>("exe");
        QTest::addColumn<QByteArray>("built"); // "built.txt" against "project/VERSION" 2
        QTest::addColumn<QByteArray>("xexp");  // "disc/default.xexp", nothing when empty
        QTest::addColumn<bool>("another");
        QTest::addColumn<bool>("problem");
        QTest::addColumn<QString>("label");
        QTest::newRow("built by another release")
            << true << true << QByteArray("1\n") << QByteArray() << true << false << "title update 3";
        QTest::newRow("this release's build")
            << true << true << QByteArray("2\n") << QByteArray() << false << false << "title update 3";
        QTest::newRow("wrong title update")
            << true << true << QByteArray("2\n") << QByteArray("not the update") << false << true
            << "title update 3";
        QTest::newRow("not packaged")
            << false << true << QByteArray("1\n") << QByteArray("not the update") << false << false << "";
        QTest::newRow("executable missing")
            << true << false << QByteArray("1\n") << QByteArray("not the update") << false << false << "";
    }
    void releaseFactsFromFolders()
    {
        QFETCH(bool, packaged);
        QFETCH(bool, exe);
        QFETCH(QByteArray, built);
        QFETCH(QByteArray, xexp);
        QString error;
        QVERIFY2(GameRegistry::load(&error), qPrintable(error)); // the shipped definition
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString app = dir.filePath(QStringLiteral("app"));
        QVERIFY(QDir().mkpath(app));
        if (packaged)
            QVERIFY(QDir().mkpath(app + QStringLiteral("/games")));
        cfg::setAppDirForTesting(app);
        cfg::init(dir.filePath(QStringLiteral("orx-launcher.ini")));
        const QString folder = dir.filePath(QStringLiteral("game"));
        cfg::set(QStringLiteral("games/orx/folder"), folder);
        cfg::set(QStringLiteral("games/orx/exe"), folder + QStringLiteral("/orx.exe"));
        const auto put = [&](const QString &name, const QByteArray &bytes) {
            QVERIFY(testutil::writeAll(folder + QLatin1Char('/') + name, bytes));
        };
        put(QStringLiteral("project/VERSION"), "2\n");
        put(QStringLiteral("built.txt"), built);
        if (exe)
            put(QStringLiteral("orx.exe"), "MZ");
        if (!xexp.isEmpty())
            put(QStringLiteral("disc/default.xexp"), xexp);
        const ReleaseFacts f = gatherReleaseFacts(QStringLiteral("orx"));
        cfg::setAppDirForTesting(QString());
        QCOMPARE(f.packaged, packaged);
        QCOMPARE(f.exeExists, exe);
        QTEST(f.builtByAnotherRelease, "another");
        QTEST(!f.titleUpdateProblem.isEmpty(), "problem");
        QTEST(f.titleUpdateLabel, "label");
    }

    void hideIpTexts_data()
    {
        QTest::addColumn<bool>("hide");
        QTest::addColumn<bool>("always");
        QTest::addColumn<int>("ping");
        QTest::addColumn<int>("directAbove");
        QTest::addColumn<QString>("text");
        const QString every = QStringLiteral(
            "With this on, every match goes through the server in Virginia: at least 80 ms of ping from here "
            "(your ping to it is 40 ms), even against a player next door.");
        QTest::newRow("off") << false << false << 40 << 150 << "";
        QTest::newRow("off, always ticked") << false << true << 40 << 150 << "";
        QTest::newRow("no ping yet") << true << false << 0 << 150 << "";
        QTest::newRow("on, the server tries direct")
            << true << false << 40 << 150
            << "With this on, a match goes through the server in Virginia: at least 80 ms of ping from here "
               "(your ping to it is 40 ms). When that is over 150 ms, the match tries your opponent directly "
               "and "
               "plays that way if it is faster: they can then see your address.";
        QTest::newRow("on, always") << true << true << 40 << 150 << every;
        QTest::newRow("on, the server names no limit") << true << false << 40 << 0 << every;
    }
    void hideIpTexts()
    {
        QFETCH(bool, hide);
        QFETCH(bool, always);
        QFETCH(int, ping);
        QFETCH(int, directAbove);
        QTEST(hideIpText(hide, always, ping, directAbove), "text");
    }

    void delayNotes_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");
        const QString autoNote = QStringLiteral(
            "Auto: the delay comes from the ping between you and your opponent, the same in both games.");
        QTest::newRow("auto") << -1 << "Auto" << autoNote;
        QTest::newRow("nothing chosen") << -2 << "" << autoNote;
        QTest::newRow("0 frames")
            << 0 << "0 frames"
            << "0 frames of delay, or the other player's when it is larger (Auto counts as "
               "the ping's).";
        QTest::newRow("2 frames")
            << 2 << "2 frames"
            << "2 frames of delay, or the other player's when it is larger (Auto counts as "
               "the ping's).";
    }
    void delayNotes()
    {
        QFETCH(int, frames);
        QFETCH(QString, label);
        QTEST(delayNote(frames, label), "text");
    }

    void buildNoticeRules_data()
    {
        QTest::addColumn<QString>("exe");
        QTest::addColumn<bool>("disc");
        QTest::addColumn<QString>("update");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("packaged");
        QTest::addColumn<bool>("rebuild");
        QTest::addColumn<QString>("notice");
        const QString changed =
            "This version of Orvex Rovivi changed the game: open Build game and press CHECK "
            "AND BUILD (a few minutes at most).";
        QTest::newRow("title update")
            << "g.EXE" << true << "Wrong update." << true << false << false << "Wrong update.\n\nHint.";
        QTest::newRow("other release, packaged") << "g.exe" << true << "" << true << true << true << changed;
        QTest::newRow("other release, unpackaged") << "g.exe" << true << "" << true << false << true << "";
        QTest::newRow("all good") << "g.exe" << true << "" << true << true << false << "";
    }
    void buildNoticeRules()
    {
        QFETCH(QString, exe);
        BuildFacts f;
        f.exe = exe;
        QFETCH(bool, disc);
        f.discExtracted = disc;
        QFETCH(QString, update);
        f.titleUpdateProblem = update;
        f.buildHint = QStringLiteral("Hint.");
        QFETCH(bool, exists);
        f.exeExists = exists;
        QFETCH(bool, packaged);
        f.packaged = packaged;
        QFETCH(bool, rebuild);
        f.rebuildNeeded = rebuild;
        WindowController c{LaunchOptions()};
        QTEST(c.buildNotice(f), "notice");
        QVERIFY(!WindowController::showBuildButton(c.buildNotice(f), true));
    }

    // PLAY: forward, wait or start; the notice it leaves, and that a notice beats the build notice.
    void playOutcome()
    {
        WindowController c{LaunchOptions()};
        QCOMPARE(c.play(true, true), WindowController::PlayAction::BringForward);
        QCOMPARE(c.playNotice(), QString());
        QCOMPARE(c.play(false, true), WindowController::PlayAction::Wait);
        QCOMPARE(c.playNotice(), QStringLiteral("Build game is still working: press PLAY once it is done."));
        BuildFacts stand;
        stand.exe = QStringLiteral("orx-testgame");
        QCOMPARE(c.buildNotice(stand), c.playNotice());
        QCOMPARE(c.play(false, false), WindowController::PlayAction::Start);
        QCOMPARE(c.playStarted(false, QStringLiteral("The game is missing.")),
                 QStringLiteral("play: The game is missing."));
        QCOMPARE(c.playNotice(), QStringLiteral("The game is missing."));
        QVERIFY(WindowController::showBuildButton(c.playNotice(), false));
        QCOMPARE(c.playStarted(true, QString()), QString());
        QCOMPARE(c.playNotice(), QString());
    }

    void firstRunPrompt_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("asks");
        QTest::newRow("new PC") << "" << int(ServerClient::Rovivi) << ""
                                << "" << true;
        QTest::newRow("signed in already") << "" << int(ServerClient::LoggedIn) << ""
                                           << "" << false;
        QTest::newRow("a stored token") << "" << int(ServerClient::Rovivi) << "t"
                                        << "" << false;
        QTest::newRow("a stored name") << "" << int(ServerClient::Rovivi) << ""
                                       << "Ann" << false;
        QTest::newRow("--user") << "user" << int(ServerClient::Rovivi) << ""
                                << "" << false;
        QTest::newRow("--local-test") << "localTest" << int(ServerClient::Rovivi) << ""
                                      << "" << false;
        QTest::newRow("--extract-image") << "extractImage" << int(ServerClient::Rovivi) << ""
                                         << "" << false;
        QTest::newRow("--page") << "page" << int(ServerClient::Rovivi) << ""
                                << "" << false;
    }
    void firstRunPrompt()
    {
        QFETCH(QString, option);
        QFETCH(int, state);
        QFETCH(QString, token);
        QFETCH(QString, name);
        LaunchOptions o;
        if (option == "user")
            o.user = "Ann";
        else if (option == "localTest")
            o.localTest = true;
        else if (option == "extractImage")
            o.extractImage = "disc.iso";
        else if (option == "page")
            o.page = "play";
        WindowController c(o);
        QTEST(c.takeFirstRunPrompt(ServerClient::State(state), token, name), "asks");
        // Once per run at most.
        QCOMPARE(c.takeFirstRunPrompt(ServerClient::State(state), token, name), false);
    }

    void closing()
    {
        LaunchOptions scripted;
        scripted.user = QStringLiteral("Ann");
        WindowController plain{LaunchOptions()}, user(scripted);
        using A = WindowController::CloseAction;
        QCOMPARE(plain.close(true, false), A::Ask);
        QCOMPARE(plain.close(false, false), A::Close);
        QCOMPARE(plain.close(true, true), A::Close);
        QCOMPARE(user.close(true, false), A::Close);
    }
    void updateOfferTexts_data()
    {
        QTest::addColumn<bool>("required");
        QTest::addColumn<bool>("testBuild");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<QString>("button");

        QTest::newRow("newer") << false << false << "0.1.9"
                               << "update: 0.1.9 offered"
                               << "Orvex Rovivi 0.1.9 is out. Players on another version cannot play you."
                               << "UPDATE TO 0.1.9";
        QTest::newRow("required") << true << false << "0.2.0"
                                  << "update: 0.2.0 offered, needed to play online"
                                  << "Orvex Rovivi 0.2.0 is out, and the server needs it to play online."
                                  << "UPDATE TO 0.2.0";
        QTest::newRow("test build") << false << true << "0.1.8"
                                    << "update: 0.1.8 offered (the release's build R2; this one is T1)"
                                    << "You have a test build: everyone else plays the release of 0.1.8."
                                    << "GET THE RELEASE";
        QTest::newRow("test build, required")
            << true << true << "0.1.8"
            << "update: 0.1.8 offered, needed to play online (the release's build R2; this one is T1)"
            << "You have a test build: everyone else plays the release of 0.1.8."
            << "GET THE RELEASE";
    }
    void updateOfferTexts()
    {
        QFETCH(bool, required);
        QFETCH(bool, testBuild);
        QFETCH(QString, version);
        QFETCH(QString, sentence);
        const UpdateOfferTexts t = WindowController::updateOfferTexts(
            version, required, testBuild, QStringLiteral("R2"), QStringLiteral("T1"));
        QTEST(t.logLine, "log");
        QCOMPARE(t.sentence, sentence);
        QTEST(t.buttonText, "button");
        QCOMPARE(t.cardText, sentence + " It is installed once the game is closed.");
        QCOMPARE(t.bridgeText, sentence + " Close the game and update on Orvex Rovivi's Play page.");
    }

    // The first thing in the way wins.
    void updateWaitReason_data()
    {
        QTest::addColumn<bool>("game");
        QTest::addColumn<bool>("idle");
        QTest::addColumn<bool>("build");
        QTest::addColumn<bool>("preparing");
        QTest::addColumn<QString>("reason");

        QTest::newRow("nothing") << false << true << false << false << "";
        QTest::newRow("game") << true << false << true << true << "you close the game";
        QTest::newRow("phase") << false << false << true << true << "this is over: Searching for a match...";
        QTest::newRow("build") << false << true << true << true << "Build game is done";
        QTest::newRow("preparing") << false << true << false << true
                                   << "the game is prepared for this version";
    }
    void updateWaitReason()
    {
        UpdateWaitFacts f;
        QFETCH(bool, game);
        QFETCH(bool, idle);
        QFETCH(bool, build);
        QFETCH(bool, preparing);
        f.gameRunning = game;
        f.phaseIdle = idle;
        f.phaseText = QStringLiteral("Searching for a match...");
        f.buildBusy = build;
        f.preparing = preparing;
        QTEST(WindowController::updateWaitReason(f), "reason");
    }

    void updateOfferAction_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("autoUpdate");
        QTest::addColumn<QString>("cannot");
        QTest::addColumn<bool>("dialogOpen");
        QTest::addColumn<QString>("dismissed");
        QTest::addColumn<bool>("required");
        QTest::addColumn<QString>("wait");
        QTest::addColumn<int>("action");

        using A = WindowController::OfferAction;
        const QString none;
        const QString source = QStringLiteral("A source build updates with git, not here.");
        QTest::newRow("opens") << false << false << none << false << none << false << none
                               << int(A::OpenDialog);
        QTest::newRow("waits for the game")
            << false << false << none << false << none << false << "you close the game" << int(A::Later);
        QTest::newRow("an update runs")
            << true << true << none << false << none << true << none << int(A::Nothing);
        QTest::newRow("auto update") << false << true << none << false << none << false
                                     << "you close the game" << int(A::Start);
        QTest::newRow("auto update, but a source build")
            << false << true << source << false << none << false << none << int(A::OpenDialog);
        QTest::newRow("a dialog is open")
            << false << false << none << true << none << true << none << int(A::Nothing);
        QTest::newRow("dismissed") << false << false << none << false << "0.1.9" << false << none
                                   << int(A::Nothing);
        QTest::newRow("dismissed, but required")
            << false << false << none << false << "0.1.9" << true << none << int(A::OpenDialog);
        QTest::newRow("another version was dismissed")
            << false << false << none << false << "0.1.7" << false << none << int(A::OpenDialog);
    }
    void updateOfferAction()
    {
        QFETCH(bool, active);
        QFETCH(bool, autoUpdate);
        QFETCH(QString, cannot);
        QFETCH(bool, dialogOpen);
        QFETCH(QString, dismissed);
        QFETCH(bool, required);
        QFETCH(QString, wait);
        QTEST(int(WindowController::updateOfferAction(active, autoUpdate, cannot, dialogOpen,
                                                      QStringLiteral("0.1.9"), dismissed, required, wait)),
              "action");
    }
};

QTEST_GUILESS_MAIN(TestUiLogic)
#include "test_uilogic.moc"
