// Whole reports: orx-server as a child process, a signed-in ServerClient, the stand-in game making
// captures in a GameProcess, and the ReportSender watching it, as in the launcher.

#include "reporttestkit.h"
#include "scriptedclient.h"

#include <QDir>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace reporttest;

namespace {

QString sentence(const QString &kind, int files)
{
    if (kind == "start")
        return QStringLiteral("F3 report from orx: sending %1 files (").arg(files);
    return QStringLiteral("F3 report sent: %1 files, thank you").arg(files);
}

QStringList frameNames(int count)
{
    QStringList out;
    for (int n = 0; n < count; ++n)
        out << QStringLiteral("next_%1.jpg").arg(n, 2, 10, QLatin1Char('0'));
    return out;
}

const QStringList kTextures{"tex_floor.png", "tex_hero skin.png", "tex_stage_background_far_mountains_l.png"};

} // namespace

class TestReportEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void fullCaptureArrivesWholeAndAnonymised();
    void incompleteCaptureGoesAfterTheWait();
    void emptyCaptureSendsInfoAndLog();
    void twoQuickCapturesAreTwoWholeReports();
    void captureWhileSignedOutGoesAfterSignIn();
    void dropMidReportAndTheNextCaptureStillGoes();
    void serverLimitEndsWithTheServersMessage();

private:
    void startServer(const QStringList &extra = {});
    void signIn(bool registerFirst = true);
    void startGame(const QStringList &arguments);
    QStringList reportFolders() const;
    QString reportFolder(int index) const;
    QStringList filesIn(const QString &folder) const;
    QString captureFolder(int index) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<orxtest::ServerProcess> m_server;
    std::unique_ptr<Launcher> m_launcher;
    QString m_serverData;
};

void TestReportEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_launcher = std::make_unique<Launcher>();
    // The real times, shortened: scans and the send pace. A capture is taken when its last frame is
    // there (the wait for an incomplete one is long enough for a full-size capture on a slow machine).
    m_launcher->makeSender({100, 5, 120000, 60000});
}

void TestReportEndToEnd::cleanup()
{
    m_launcher.reset();
    if (m_server)
        m_server->stop();
    m_server.reset();
    m_dir.reset();
}

void TestReportEndToEnd::startServer(const QStringList &extra)
{
    m_serverData = m_dir->filePath("server");
    m_server = std::make_unique<orxtest::ServerProcess>();
    QString error;
    QVERIFY2(m_server->start(m_serverData, extra, &error), qPrintable(error));
    m_launcher->server->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(m_server->tcpPort), QString());
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::Rovivi, scaled(20000));
}

void TestReportEndToEnd::signIn(bool registerFirst)
{
    if (registerFirst)
        m_launcher->server->registerAccount("capturer", "a good password");
    else
        m_launcher->server->login("capturer", "a good password");
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::LoggedIn, scaled(20000));
}

void TestReportEndToEnd::startGame(const QStringList &arguments)
{
    QString error;
    QVERIFY2(m_launcher->startGame(arguments, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->game->statusWord(), QString("ready"), scaled(20000));
}

QStringList TestReportEndToEnd::reportFolders() const
{
    return QDir(QDir(m_serverData).filePath("reports"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

QString TestReportEndToEnd::reportFolder(int index) const
{
    return QDir(QDir(m_serverData).filePath("reports")).filePath(reportFolders().value(index));
}

QStringList TestReportEndToEnd::filesIn(const QString &folder) const
{
    QStringList files = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    return files;
}

QString TestReportEndToEnd::captureFolder(int index) const
{
    const QDir captures(m_launcher->game->sessionDir() + "/captures");
    return captures.filePath(captures.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name).value(index));
}

void TestReportEndToEnd::fullCaptureArrivesWholeAndAnonymised()
{
    startServer();
    signIn();
    const QString script = m_dir->filePath("game-script.txt");
    QVERIFY(writeBytes(script, "at 50 log peer 192.168.1.20:7001 gone\n"
                               "at 50 log save C:\\Users\\Ann Lee\\Documents\\save.bin\n"
                               "at 50 log moved C:\\Users\\ann to C:\\Users\\bob\\x\n"
                               "at 50 log cache /home/ann/.cache/orx\n"
                               "at 300 capture\n"));
    startGame({"--script", script, "--capture-final", "3840x2160", "--capture-frame", "1280x720",
               "--capture-dump", "9437184", "--capture-noise", "6"});
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(180000));
    QVERIFY2(m_launcher->lines.at(0).startsWith(sentence("start", 27)),
             qPrintable(m_launcher->lines.join('\n')));
    QCOMPARE(m_launcher->lines.at(1), sentence("sent", 27));

    QCOMPARE(reportFolders().size(), 1);
    const QString folder = reportFolder(0);
    QStringList expected =
        QStringList{"final.jpg", "frame.txt", "game.log", "info.txt"} + frameNames(20) + kTextures;
    expected.sort();
    QCOMPARE(filesIn(folder), expected); // nothing else: not the game's own capture.json, no leftovers

    QCOMPARE(QImage(folder + "/final.jpg").size(), QSize(1920, 1080));
    for (const QString &frame : frameNames(20))
        QCOMPARE(QImage(folder + "/" + frame).width(), 1280);
    const QString capture = captureFolder(0);
    const QByteArray dump = readBytes(capture + "/frame.txt");
    QCOMPARE(dump.size(), 9437184);
    QCOMPARE(readBytes(folder + "/frame.txt"), dump.left(8 * 1024 * 1024));
    QCOMPARE(QImage(folder + "/tex_hero skin.png").size(), QSize(128, 128));

    const QByteArray log = readBytes(folder + "/game.log");
    QVERIFY(log.contains("peer x.x.x.x:7001 gone"));
    QVERIFY(log.contains("save C:\\Users\\*\\Documents\\save.bin"));
    QVERIFY(log.contains("cache /home/*/.cache/orx"));
    for (const char *secret : {"192.168.1.20", "Ann Lee", "bob", "/home/ann"})
        QVERIFY2(!log.contains(secret), secret);
    QVERIFY(log.contains("testgame: started with"));

    const QStringList info = QString::fromUtf8(readBytes(folder + "/info.txt")).split('\n');
    QCOMPARE(info.value(0), QString("launcher 0.1.8"));
    QCOMPARE(info.value(1), QString("game orx"));
    QCOMPARE(info.value(2), "session " + QFileInfo(m_launcher->game->sessionDir()).fileName());
    QCOMPARE(info.value(3), "capture " + QFileInfo(capture).fileName());
    QCOMPARE(info.value(5), QString("display borderless desktop, vsync on"));

    // The server recorded the report.
    QVERIFY(m_server->stop());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "f3-check");
        db.setDatabaseName(m_serverData + "/orx-server.sqlite");
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("SELECT COUNT(*) FROM reports WHERE type = 'f3_report' AND game = 'orx'"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 1);
    }
    QSqlDatabase::removeDatabase("f3-check");
}

void TestReportEndToEnd::incompleteCaptureGoesAfterTheWait()
{
    ReportSender::Timing t = m_launcher->sender->timing();
    t.settleMs = 3000;
    m_launcher->sender->setTiming(t);
    startServer();
    signIn();
    startGame({"--capture-after", "200", "--capture-partial"});
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(60000));
    QVERIFY2(m_launcher->lines.at(0).startsWith(sentence("start", 26)),
             qPrintable(m_launcher->lines.join('\n')));
    QCOMPARE(m_launcher->lines.at(1), sentence("sent", 26));
    QStringList expected =
        QStringList{"final.jpg", "frame.txt", "game.log", "info.txt"} + frameNames(19) + kTextures;
    expected.sort();
    QCOMPARE(filesIn(reportFolder(0)), expected);
}

void TestReportEndToEnd::emptyCaptureSendsInfoAndLog()
{
    // No frames will ever come: it goes after the wait.
    ReportSender::Timing t = m_launcher->sender->timing();
    t.settleMs = 300;
    m_launcher->sender->setTiming(t);
    startServer();
    signIn();
    startGame({});
    QVERIFY(QDir().mkpath(m_launcher->game->sessionDir() + "/captures/empty"));
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(60000));
    QCOMPARE(m_launcher->lines.at(1), sentence("sent", 2));
    QCOMPARE(filesIn(reportFolder(0)), QStringList({"game.log", "info.txt"}));
}

void TestReportEndToEnd::twoQuickCapturesAreTwoWholeReports()
{
    startServer();
    signIn();
    const QString script = m_dir->filePath("game-script.txt");
    QVERIFY(writeBytes(script, "at 200 capture\nat 230 capture\n"));
    startGame({"--script", script});
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 4, scaled(120000));
    QVERIFY(m_launcher->lines.at(0).startsWith(sentence("start", 27)));
    QCOMPARE(m_launcher->lines.at(1), sentence("sent", 27));
    QVERIFY(m_launcher->lines.at(2).startsWith(sentence("start", 27)));
    QCOMPARE(m_launcher->lines.at(3), sentence("sent", 27));
    QCOMPARE(reportFolders().size(), 2);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(filesIn(reportFolder(i)).size(), 27);
}

void TestReportEndToEnd::captureWhileSignedOutGoesAfterSignIn()
{
    startServer();
    startGame({"--capture-after", "100"});
    // Connected, not signed in: the capture is found and waits.
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->sender->pending().size(), 1, scaled(30000));
    const QString capture = m_launcher->sender->pending().first().captureDir;
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(capture + "/next_19.bmp"), scaled(30000));
    QSignalSpy scans(&m_launcher->sender->scanTimer(), &QTimer::timeout);
    QTRY_VERIFY_WITH_TIMEOUT(scans.size() >= 3, scaled(10000));
    QCOMPARE(m_launcher->lines, QStringList());
    QCOMPARE(m_launcher->sender->pending().size(), 1);
    QVERIFY(!m_launcher->sender->isBuilding());

    signIn();
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(60000));
    QCOMPARE(m_launcher->lines.at(1), sentence("sent", 27));
}

void TestReportEndToEnd::dropMidReportAndTheNextCaptureStillGoes()
{
    ReportSender::Timing t = m_launcher->sender->timing();
    t.sendMs = 40;
    m_launcher->sender->setTiming(t);
    startServer();
    signIn();
    startGame({"--capture-after", "100", "--capture-final", "1920x1080", "--capture-frame", "1280x720"});
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 1, scaled(60000));
    const qsizetype total = m_launcher->sender->outbox().size();
    QTRY_VERIFY_WITH_TIMEOUT(m_launcher->sender->outbox().size() <= total - 4, scaled(20000));
    QVERIFY(!m_launcher->sender->outbox().isEmpty());
    m_launcher->server->dropForTest();
    QCOMPARE(m_launcher->lines.size(), 2);
    QCOMPARE(m_launcher->lines.at(1), QString("F3 report not sent: the connection to the server dropped"));
    QVERIFY(m_launcher->sender->outbox().isEmpty());

    // Back and signed in again by its token, the next capture goes; the server kept nothing of the first.
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->server->state(), ServerClient::LoggedIn, scaled(20000));
    makeCapture(m_launcher->game->sessionDir(), "zz-by-hand");
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 4, scaled(60000));
    QCOMPARE(m_launcher->lines.at(3), sentence("sent", 25));
    QCOMPARE(reportFolders().size(), 1);
    QVERIFY(filesIn(reportFolder(0)).contains("tex_a.png"));
}

void TestReportEndToEnd::serverLimitEndsWithTheServersMessage()
{
    startServer({"--report-limit", "1"});
    signIn();
    startGame({"--capture-after", "100", "--capture-final", "1920x1080", "--capture-frame", "1280x720",
               "--capture-dump", "2000000", "--capture-noise", "64"});
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 2, scaled(60000));
    QCOMPARE(m_launcher->lines.at(1),
             QString("F3 report not sent: That report is larger than the server takes (1 MB)."));
    QCOMPARE(reportFolders().size(), 0);
    // A failure blocks nothing: a small capture goes next (without frames, after a short wait).
    ReportSender::Timing t = m_launcher->sender->timing();
    t.settleMs = 300;
    m_launcher->sender->setTiming(t);
    QVERIFY(QDir().mkpath(m_launcher->game->sessionDir() + "/captures/zz-empty"));
    QTRY_COMPARE_WITH_TIMEOUT(m_launcher->lines.size(), 4, scaled(60000));
    QCOMPARE(m_launcher->lines.at(3), sentence("sent", 2));
}

int runReportEndToEndTests(int argc, char **argv)
{
    TestReportEndToEnd t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_reporte2e.moc"
