// Self-update from end to end: a packaged copy of this build's orx-launcher is offered its own
// version with another build, served by python's http.server on 127.0.0.1. With --auto-update it
// downloads, installs, starts the new launcher and exits; the new one says where it came from,
// deletes what was set aside and takes no offer again.
#include "launcherproc.h"
#include "scriptedclient.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace testutil;

namespace {

// A packaged folder: the launcher, "games" and VERSION.txt naming `build`.
bool layOut(const QString &folder, const QString &build)
{
    QDir().mkpath(folder + QStringLiteral("/games"));
    return writeAll(folder + QStringLiteral("/VERSION.txt"),
                    QStringLiteral("ORX-Rovivi 0.1.8, packaged %1\n").arg(build).toUtf8()) &&
           writeAll(folder + QStringLiteral("/games/README.txt"), "Built games go here.\n") &&
           QFile::copy(binary(QStringLiteral("orx-launcher")), folder + QStringLiteral("/orx-launcher"));
}

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

} // namespace

class TestE2eUpdate : public QObject {
    Q_OBJECT
private slots:
    void packagedLauncherUpdatesItself()
    {
        QTemporaryDir dir;
        const QString app = dir.filePath(QStringLiteral("app"));
        QVERIFY(layOut(app, QStringLiteral("T1")));
        const QByteArray oldLauncher = readAll(app + QStringLiteral("/orx-launcher"));

        // The release: the same launcher, packaged as build T2.
        const QString web = dir.filePath(QStringLiteral("web"));
        const QString release = dir.filePath(QStringLiteral("release"));
        QVERIFY(layOut(release + QStringLiteral("/ORX-Rovivi"), QStringLiteral("T2")));
        QDir().mkpath(web);
        QProcess tar;
        tar.start(QStringLiteral("bsdtar"),
                  {QStringLiteral("-a"), QStringLiteral("-cf"), web + QStringLiteral("/release.zip"),
                   QStringLiteral("-C"), release, QStringLiteral("ORX-Rovivi")});
        QVERIFY(tar.waitForFinished(scaled(60000)) && tar.exitCode() == 0);
        const QByteArray zip = readAll(web + QStringLiteral("/release.zip"));
        QVERIFY(zip.size() > 0);

        QProcess http;
        QByteArray httpOut;
        connect(&http, &QProcess::readyReadStandardOutput, [&] { httpOut += http.readAllStandardOutput(); });
        http.start(QStringLiteral("python3"),
                   {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"),
                    QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                    QStringLiteral("--directory"), web});
        const QRegularExpression portRe(QStringLiteral("port (\\d+)"));
        QVERIFY2(waitFor([&] { return portRe.match(QString::fromUtf8(httpOut)).hasMatch(); }, 30000),
                 http.readAllStandardError().constData());
        const QString port = portRe.match(QString::fromUtf8(httpOut)).captured(1);

        const QString offerFile = dir.filePath(QStringLiteral("offer.json"));
        const QJsonObject offer{
            {"version", "0.1.8"},
            {"build", "T2"},
            {"size", zip.size()},
            {"sha256",
             QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex())},
            {"url", QStringLiteral("http://127.0.0.1:%1/release.zip").arg(port)}};
        QVERIFY(writeAll(offerFile, QJsonDocument(offer).toJson(QJsonDocument::Compact)));
        orxtest::ServerProcess server;
        QString error;
        QVERIFY2(server.start(dir.filePath(QStringLiteral("server")),
                              {QStringLiteral("--update-file"), offerFile}, &error),
                 qPrintable(error));

        const QString ini = dir.filePath(QStringLiteral("data/orx-launcher.ini"));
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue(QStringLiteral("account/name"),
                              QStringLiteral("Updater")); // no first-run prompt
        }
        LauncherProcess launcher(ini);
        launcher.start({QStringLiteral("--server"), QStringLiteral("tcp://") + server.address(),
                        QStringLiteral("--auto-update")},
                       app + QStringLiteral("/orx-launcher"));
        QVERIFY2(launcher.process().waitForFinished(scaled(120000)),
                 qPrintable(launcher.logLines().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(launcher.process().exitCode(), 0);
        const QStringList firstRun = launcher.logLines();
        QVERIFY(firstRun.contains(
            QStringLiteral("update: 0.1.8 offered (the release's build T2; this one is T1)")));
        QVERIFY(firstRun.contains(QStringLiteral("update: downloading 0.1.8 from ") +
                                  offer.value("url").toString()));
        QVERIFY2(launcher.waitForLogStartingWith(QStringLiteral("update: 0.1.8 installed (")),
                 qPrintable(firstRun.join(QLatin1Char('\n'))));

        // The new launcher: started by the old one, it waits for the lock and then runs.
        QVERIFY2(launcher.waitForLog(QStringLiteral("update: now 0.1.8, from 0.1.8"), 60000),
                 qPrintable(launcher.logLines().join(QLatin1Char('\n'))));
        QVERIFY(readAll(app + QStringLiteral("/VERSION.txt")).startsWith("ORX-Rovivi 0.1.8, packaged T2"));
        QCOMPARE(readAll(app + QStringLiteral("/orx-launcher")), oldLauncher);
        QVERIFY(waitFor(
            [&] {
                return !QFile::exists(app + QStringLiteral("/orx-launcher.orx-old")) &&
                       !QFile::exists(app + QStringLiteral("/VERSION.txt.orx-old")) &&
                       !QFile::exists(app + QStringLiteral("/update"));
            },
            60000));
        QVERIFY(launcher.waitForLogStartingWith(QStringLiteral("update: 3 old file(s) deleted"), 30000));

        // It reaches the same server, hears the same offer and lets it be.
        const int welcomes = int(firstRun.filter(QStringLiteral("server: welcome from orx-server")).size());
        QVERIFY(waitFor(
            [&] {
                return launcher.logLines().filter(QStringLiteral("server: welcome from orx-server")).size() >
                       welcomes;
            },
            60000));
        QTest::qWait(500);
        QCOMPARE(launcher.logLines().filter(QStringLiteral("update: 0.1.8 offered")).size(), 1);
        QCOMPARE(launcher.logLines().filter(QStringLiteral("update: downloading")).size(), 1);

        // It is ours to end: its pid is in the lock it holds.
        const qint64 pid = readAll(ini + QStringLiteral(".instance")).split('\n').value(0).toLongLong();
        QVERIFY(processAlive(pid));
        ::kill(pid_t(pid), SIGTERM);
        QVERIFY(waitFor([&] { return !processAlive(pid); }, 30000));

        http.terminate();
        http.waitForFinished(5000);
        QVERIFY(server.stop());
    }
};

QTEST_GUILESS_MAIN(TestE2eUpdate)
#include "test_e2e_update.moc"
