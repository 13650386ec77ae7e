// The launcher process connecting to the development server process: plain TCP, TLS with the
// fingerprint the server printed, and the trust question for a certificate nobody pinned.
#include "launcherproc.h"
#include "scriptedclient.h"
#include "testutil.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace testutil;

class TestE2eLink : public QObject {
    Q_OBJECT
private slots:
    void connectsPlainAndPinned_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("tls, pinned from the command line") << true;
    }
    void connectsPlainAndPinned()
    {
        QFETCH(bool, tls);
        QTemporaryDir dir;
        orxtest::ServerProcess server;
        QString error;
        QVERIFY2(server.start(dir.filePath(QStringLiteral("server")),
                              tls ? QStringList{"--tls"} : QStringList{}, &error),
                 qPrintable(error));
        const QString ini = dir.filePath(QStringLiteral("launcher/orx-launcher.ini"));
        LauncherProcess launcher(ini);
        QStringList args{QStringLiteral("--server"),
                         (tls ? QString() : QStringLiteral("tcp://")) + server.address()};
        if (tls) {
            QVERIFY(!server.fingerprint.isEmpty());
            args << QStringLiteral("--fingerprint") << server.fingerprint;
        }
        launcher.start(args);
        const QString shown = (tls ? QString() : QStringLiteral("tcp://")) + server.address();
        QVERIFY(launcher.waitForLogStartingWith(QStringLiteral("server: connecting to ")));
        QVERIFY2(launcher.waitForLogStartingWith(QStringLiteral("server: welcome from orx-server ")),
                 qPrintable(launcher.logLines().join(QLatin1Char('\n'))));
        QCOMPARE(launcher.terminate(), 0);
        // The options outlive the run.
        QSettings settings(ini, QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("server/address")).toString(), shown);
        if (tls)
            QCOMPARE(settings.value(QStringLiteral("server/fingerprint")).toString(),
                     server.fingerprint.toLower().remove(QLatin1Char(':')));
        QVERIFY(server.stop());
    }

    void unpinnedCertificateAsksAndStaysOffline()
    {
        QTemporaryDir dir;
        orxtest::ServerProcess server;
        QString error;
        QVERIFY2(server.start(dir.filePath(QStringLiteral("server")), {"--tls"}, &error), qPrintable(error));
        LauncherProcess launcher(dir.filePath(QStringLiteral("launcher/orx-launcher.ini")));
        launcher.start({QStringLiteral("--server"), server.address()});
        // The question closes by itself unanswered: nothing is trusted, nothing reconnects.
        QByteArray err;
        QVERIFY(waitFor([&] {
            err += launcher.process().readAllStandardError();
            return err.contains("dialog: Trust this server?");
        }));
        QCOMPARE(launcher.terminate(), 0);
        QVERIFY(launcher.logLines().filter(QStringLiteral("server: welcome")).isEmpty());
        QCOMPARE(QSettings(dir.filePath(QStringLiteral("launcher/orx-launcher.ini")), QSettings::IniFormat)
                     .value(QStringLiteral("server/fingerprint"))
                     .toString(),
                 QString());
        QVERIFY(server.stop());
    }
};

QTEST_GUILESS_MAIN(TestE2eLink)
#include "test_e2e_link.moc"
