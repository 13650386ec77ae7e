// ./run.sh as a new user meets it, against this build's binaries (a copy, so that nothing is
// written beside them) on a free port in a temporary folder: the development server starts, the
// demo game is built, the launcher signs in to the demo account, and the documented command for
// a second launcher signs in beside it; with the documented options both play a casual match.
#include "e2ekit.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <unistd.h>

using namespace e2e;

namespace {

QString sourceDir()
{
    return qEnvironmentVariable("ORX_SOURCE_DIR");
}

// A TCP port free now whose next port is free for UDP too (the server's two ports).
quint16 freeServerPort()
{
    for (int i = 0; i < 50; ++i) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = tcp.serverPort();
        if (port == 7777 || port >= 65535)
            continue;
        QUdpSocket udp;
        if (udp.bind(QHostAddress::LocalHost, port + 1))
            return port;
    }
    return 0;
}

// The documented command for the second launcher with the casual-match options, from the README.
QString documentedSecondCommand()
{
    const QString readme = QString::fromUtf8(testutil::readAll(sourceDir() + QStringLiteral("/README.md")));
    static const QRegularExpression line(
        QStringLiteral("^(scripts/second-launcher\\.sh[^#\\n]*?)\\s*(#.*)?$"),
        QRegularExpression::MultilineOption);
    QString found;
    for (auto it = line.globalMatch(readme); it.hasNext();) {
        const QString cmd = it.next().captured(1).trimmed();
        if (cmd.contains(QStringLiteral("--queue casual")))
            found = cmd;
    }
    return found;
}

// A script run from the source folder with the run-time folders moved into the test's.
class Script {
public:
    QProcess process;
    QByteArray output;

    void start(const QString &command, const QProcessEnvironment &env)
    {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(sourceDir());
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    }
    bool waitOutput(const QByteArray &text, int ms = 60000)
    {
        return testutil::waitFor([&] { return output.contains(text); }, ms);
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        // The launcher ends as a window close ends it; run.sh then stops its server.
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(testutil::scaled(30000))) {
            process.kill();
            process.waitForFinished(5000);
        }
        output += process.readAll();
    }
    ~Script() { stop(); }
};

} // namespace

class TestE2eDemo : public QObject {
    Q_OBJECT

private slots:
    void newUserPlaysTheDemo()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The binaries, linked into a folder of the test's: run.sh keeps its settings and the demo
        // game beside the launcher.
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        for (const char *name : {"orx-launcher", "orx-server", "orx-testgame", "orx-x360", "orx-build"}) {
            const QString from = testutil::binary(QLatin1String(name));
            const QString to = bin + QLatin1Char('/') + QLatin1String(name);
            QVERIFY2(::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0 ||
                         QFile::copy(from, to),
                     qPrintable(from));
        }
        const QString state = dir.filePath(QStringLiteral("state"));
        const quint16 port = freeServerPort();
        QVERIFY(port != 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &k : env.keys())
            if (k.startsWith(QStringLiteral("ORX_")) && k != QStringLiteral("ORX_TEST_TIME_SCALE"))
                env.remove(k);
        env.insert(QStringLiteral("ORX_RUN_BIN"), bin);
        env.insert(QStringLiteral("ORX_RUN_PORT"), QString::number(port));
        env.insert(QStringLiteral("ORX_RUN_STATE"), state);
        env.insert(QStringLiteral("ORX_RUN_GAME_PORT"), QString::number(freeUdpPort()));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ORX_AUTO_CLOSE_MS"), QStringLiteral("100"));
        env.insert(QStringLiteral("ORX_TESTGAME_ARGS"), quickGame());

        const QString second = documentedSecondCommand();
        QVERIFY2(second.startsWith(QStringLiteral("scripts/second-launcher.sh ")), qPrintable(second));

        // Without a server the second launcher says so and stops.
        {
            Script early;
            early.start(second, env);
            QVERIFY(early.process.waitForFinished(testutil::scaled(30000)));
            early.output += early.process.readAll();
            QVERIFY(early.process.exitCode() != 0);
            QVERIFY2(early.output.contains("no local development server runs"), early.output.constData());
        }

        // The first launcher as the README has it, with the same casual-match options.
        Script first;
        first.start(QStringLiteral("./run.sh --queue casual --auto-accept 1"), env);
        QVERIFY2(
            first.waitOutput("run.sh: development server on 127.0.0.1:" + QByteArray::number(port), 120000),
            first.output.constData());
        QVERIFY2(first.waitOutput("run.sh: demo game ready"), first.output.constData());
        const QString firstLog = bin + QStringLiteral("/orx-launcher.log");
        QVERIFY2(testutil::waitFor([&] {
                     return LauncherProcess::logLinesOf(firstLog).contains(
                         QStringLiteral("server: logged in as demo"));
                 }),
                 qPrintable(LauncherProcess::logLinesOf(firstLog).join('\n') + first.output));

        // The demo password: made once, for the owner only, never on a command line or in a log.
        const QString passwordFile = state + QStringLiteral("/dev-server/demo-password");
        const QByteArray password = testutil::readAll(passwordFile).trimmed();
        QVERIFY(password.size() >= 16);
        QCOMPARE(QFileInfo(passwordFile).permissions() &
                     (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFileDevice::Permissions());
        QVERIFY(!testutil::readAll(firstLog).contains(password));
        QVERIFY(!first.output.contains(password));

        Script two;
        two.start(second, env);
        const QString secondLog = state + QStringLiteral("/second-launcher/orx-launcher.log");
        QVERIFY2(testutil::waitFor([&] {
                     return LauncherProcess::logLinesOf(secondLog).contains(
                         QStringLiteral("server: logged in as demo2"));
                 }),
                 qPrintable(LauncherProcess::logLinesOf(secondLog).join('\n') + two.output));

        // Both search, accept and play their casual match to an agreed result.
        const auto agreed = [](const QString &log) {
            return !LauncherProcess::logLinesOf(log).filter(QStringLiteral("match: Match over")).isEmpty();
        };
        QVERIFY2(testutil::waitFor([&] { return agreed(firstLog) && agreed(secondLog); }, 120000),
                 qPrintable(LauncherProcess::logLinesOf(firstLog).join('\n') + QLatin1Char('\n') +
                            LauncherProcess::logLinesOf(secondLog).join('\n')));
        two.stop();
        first.stop();
        // Stopping the scripts stopped the launchers too: each closed as its window would.
        for (const QString &log : {firstLog, secondLog})
            QVERIFY2(LauncherProcess::logLinesOf(log).contains(QStringLiteral("launcher exiting (0)")),
                     qPrintable(LauncherProcess::logLinesOf(log).join('\n')));

        // The server stored the match, agreed, between the two demo accounts.
        const QString db = state + QStringLiteral("/dev-server/orx-server.sqlite");
        QVERIFY(QFileInfo::exists(db));
        QStringList rows;
        {
            QSqlDatabase conn = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("demo"));
            conn.setDatabaseName(db);
            QVERIFY(conn.open());
            QSqlQuery q(conn);
            QVERIFY(q.exec(QStringLiteral("SELECT data FROM matches")));
            while (q.next())
                rows << q.value(0).toString();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("demo"));
        QCOMPARE(rows.size(), 1);
        const QJsonObject m = QJsonDocument::fromJson(rows[0].toUtf8()).object();
        QCOMPARE(m.value("status").toString(), QStringLiteral("agreed"));
        QCOMPARE(QSet<QString>({m.value("p1_name").toString(), m.value("p2_name").toString()}),
                 QSet<QString>({QStringLiteral("demo"), QStringLiteral("demo2")}));
    }
};

QTEST_GUILESS_MAIN(TestE2eDemo)
#include "test_e2e_demo.moc"
