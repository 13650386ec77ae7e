// The driver's flow start with a real game and server: the game started as PLAY does, the search
// only once signed in and the game shows its menu, the cancel; the host's lobby request and its
// code file, also when the file cannot be written; nothing at all without options.

#include "driverrig.h"
#include "game/gameprocess.h"
#include "tst_dev.h"

#include <QDir>
#include <QTimer>
#include <QtTest>

namespace {

const QByteArray kPassword = "secret-pass-2";

} // namespace

void TestDriverFlow::initTestCase()
{
    QVERIFY(m_data.isValid());
    m_server = new orxtest::ServerProcess;
    QString error;
    QVERIFY2(m_server->start(m_data.path(), {}, &error), qPrintable(error));
    qputenv(DriverRig::PasswordVariable, kPassword);
}

void TestDriverFlow::cleanupTestCase()
{
    qunsetenv(DriverRig::PasswordVariable);
    delete m_server;
    m_server = nullptr;
}

void TestDriverFlow::queueAndCancel()
{
    DriverRig rig;
    LaunchOptions options;
    options.user = QStringLiteral("flow%1").arg(++m_serial);
    options.registerAccount = true;
    options.queue = QStringLiteral("casual");
    options.lobby = QStringLiteral("host"); // the search wins over the lobby
    options.cancelSearchSeconds = 0;
    rig.start(options);
    rig.connectTo(m_server->tcpPort);

    QVERIFY2(rig.waitForCli("ask cancel", 60000), qPrintable(rig.dump()));
    const QStringList lines = rig.cliLines();
    const QStringList expected{"the game is starting, as PLAY does", "signing in as " + options.user,
                               "queueing casual", "ask queue kind=casual", "ask cancel"};
    QStringList steps;
    for (const QString &line : lines)
        if (expected.contains(line))
            steps << line;
    // The game start and the sign-in race each other; the search comes after both.
    QCOMPARE(steps.mid(2), expected.mid(2));
    QCOMPARE(QSet<QString>(steps.begin(), steps.end()), QSet<QString>(expected.begin(), expected.end()));
    QCOMPARE(rig.cliStartingWith("creating"), QString());
    QVERIFY(rig.match->matchGame());
    QCOMPARE(rig.match->matchGame()->statusWord(), QStringLiteral("ready"));
    QVERIFY(orxtest::waitUntil([&] { return rig.match->phase() == MatchController::Idle; }));
    // One search per run: a later status change starts nothing more.
    QCOMPARE(rig.countCli("queueing casual"), 1);
    rig.match->shutdown();
}

void TestDriverFlow::hostWritesItsCode_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("koth");
    QTest::addColumn<QString>("codeFile"); // relative to the rig's folder; empty: none
    QTest::addColumn<QString>("creating");
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("written");

    QTest::newRow("a name of two words, the code written")
        << "two words" << false << "code.txt"
        << "creating lobby \"two words\" (versus)"
        << "ask lobby_create name=two%20words mode=versus koth=0 private=0" << true;
    QTest::newRow("the default name, a file that cannot be written")
        << "" << false << "missing/folder/code.txt"
        << "creating lobby \"e2e lobby\" (versus)"
        << "ask lobby_create name=e2e%20lobby mode=versus koth=0 private=0" << false;
    QTest::newRow("King of the Hill, no code file")
        << "hill" << true << ""
        << "creating King of the Hill lobby \"hill\" (versus)"
        << "ask lobby_create name=hill mode=versus koth=1 private=0" << false;
}

void TestDriverFlow::hostWritesItsCode()
{
    QFETCH(QString, name);
    QFETCH(bool, koth);
    QFETCH(QString, codeFile);
    QFETCH(QString, creating);
    QFETCH(QString, request);
    QFETCH(bool, written);

    DriverRig rig;
    LaunchOptions options;
    options.user = QStringLiteral("host%1").arg(++m_serial);
    options.registerAccount = true;
    options.lobby = QStringLiteral("host");
    options.lobbyName = name;
    options.koth = koth;
    const QString path = codeFile.isEmpty() ? QString() : rig.dir.filePath(codeFile);
    options.lobbyCodeFile = path;
    rig.start(options);
    rig.connectTo(m_server->tcpPort);

    QVERIFY2(rig.waitForCli(request, 60000), qPrintable(rig.dump()));
    QCOMPARE(rig.countCli(creating), 1);
    if (path.isEmpty()) {
        // No file to write: the lobby still comes, and no code line is logged.
        QVERIFY2(orxtest::waitUntil([&] { return !rig.bridge->composeState().value("lobby").isNull(); }),
                 qPrintable(rig.wholeLog().right(900)));
        QCOMPARE(rig.cliStartingWith("lobby code"), QString());
    } else {
        QVERIFY2(orxtest::waitUntil([&] { return !rig.cliStartingWith("lobby code ").isEmpty(); }),
                 qPrintable(rig.wholeLog().right(900)));
        const QString line = rig.cliStartingWith("lobby code ");
        const QString code = line.section(' ', 2, 2);
        QCOMPARE(code.size(), 5);
        // Scripts read this line, so it names the file whether or not it was written.
        QCOMPARE(line, QStringLiteral("lobby code %1 in %2").arg(code, path));
        QCOMPARE(QFile::exists(path), written);
        if (written) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), code.toLatin1());
            QCOMPARE(rig.cliStartingWith("lobby code file not written"), QString());
        } else {
            const QString error = rig.cliStartingWith("lobby code file not written: ");
            QVERIFY2(error.contains(QFileInfo(path).fileName()), qPrintable(error));
        }
        // Written once per run, whatever the lobby's later messages.
        QCOMPARE(rig.cliLines().filter(QRegularExpression("^lobby code [^f]")).size(), 1);
    }
    rig.match->shutdown();
}

void TestDriverFlow::gameThatCannotStart()
{
    DriverRig rig(QDir(m_data.path()).filePath("no-such-game"));
    LaunchOptions options;
    options.play = true;
    rig.start(options);
    QVERIFY2(orxtest::waitUntil([&] { return !rig.cliStartingWith("the game could not start: ").isEmpty(); }),
             qPrintable(rig.dump()));
    QVERIFY(rig.cliStartingWith("the game could not start: ").size() > 26);
    QCOMPARE(rig.countCli("the game is starting, as PLAY does"), 0);
    QVERIFY(!rig.match->matchGame() || !rig.match->matchGame()->isRunning());
}

void TestDriverFlow::noOptionsNoSteps()
{
    // Without options the driver only watches: signed in by hand, nothing started, nothing logged.
    DriverRig rig;
    rig.bridge->setCharacter(QStringLiteral("before"));
    LaunchOptions options;
    options.character = QStringLiteral("-");
    rig.start(options);
    // Barriers started right after the driver's own timers of the same length fire after them.
    bool startPassed = false, flowPassed = false, turnPassed = false;
    QTimer::singleShot(500, [&] { startPassed = true; });
    QObject::connect(rig.server.get(), &ServerClient::loggedIn,
                     [&] { QTimer::singleShot(300, [&] { flowPassed = true; }); });
    QCOMPARE(rig.bridge->character(), QString());
    rig.connectTo(m_server->tcpPort);
    QVERIFY(orxtest::waitUntil([&] { return rig.server->state() == ServerClient::Rovivi; }));
    rig.server->registerAccount(QStringLiteral("watcher%1").arg(++m_serial), QString::fromLatin1(kPassword));
    QVERIFY(orxtest::waitUntil([&] { return rig.server->state() == ServerClient::LoggedIn; }));
    QString why;
    QVERIFY2(rig.match->startPlayerGame(&why), qPrintable(why));
    QVERIFY(orxtest::waitUntil(
        [&] { return rig.match->matchGame() && rig.match->matchGame()->statusWord() == "ready"; }, 30000));
    QTimer::singleShot(0, [&] { turnPassed = true; });
    QVERIFY(orxtest::waitUntil([&] { return startPassed && flowPassed && turnPassed; }));
    QCOMPARE(rig.dump(), QString());
    rig.match->shutdown();

    DriverRig named;
    options.character = QStringLiteral("Vex");
    named.start(options);
    QCOMPARE(named.bridge->character(), QStringLiteral("Vex"));
}
