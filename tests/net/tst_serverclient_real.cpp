// A whole session against the development server, the launcher's real peer: plain and TLS.
#include "tst_serverclient.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {
QString serverBinary()
{
    QString dir = qEnvironmentVariable("ORX_BIN_DIR");
    if (dir.isEmpty())
        dir = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../bin"));
    return QDir(dir).filePath(QStringLiteral("orx-server"));
}

void stopServer(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
} // namespace

void TestServerClient::startRealServer(QProcess &process, const QStringList &args, QString *address,
                                       QString *fingerprint, quint16 *udpPort)
{
    const QString binary = serverBinary();
    QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(QStringLiteral("%1 is not built").arg(binary)));
    const QString data = m_dir.filePath(QStringLiteral("server-%1").arg(++m_syncCounter));
    QVERIFY(QDir().mkpath(data));
    process.setProgram(binary);
    process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                     QStringLiteral("--udp-port"), QStringLiteral("0"),
                                     QStringLiteral("--data"), data, QStringLiteral("--no-throttle"),
                                     QStringLiteral("--kdf-iterations"), QStringLiteral("1000")} +
                         args);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));

    // The server prints its fingerprint (TLS) and then the line with the ports it listens on.
    static const QRegularExpression listening(
        QStringLiteral("orx-server: listening tcp ([^ ]+):(\\d+) udp (\\d+) (tls|plain)"));
    static const QRegularExpression certificate(
        QStringLiteral("orx-server: certificate sha256 ([0-9A-Fa-f:]+)"));
    QByteArray out;
    QRegularExpressionMatch match;
    QTRY_VERIFY2_WITH_TIMEOUT((out += process.readAllStandardOutput(),
                               match = listening.match(QString::fromUtf8(out)), match.hasMatch()),
                              out.constData(), kWaitMs);
    const bool tls = match.captured(4) == QLatin1String("tls");
    *address = (tls ? QStringLiteral("tls://") : QStringLiteral("tcp://")) + QStringLiteral("127.0.0.1:") +
               match.captured(2);
    *udpPort = quint16(match.captured(3).toUInt());
    fingerprint->clear();
    if (tls) {
        const auto cert = certificate.match(QString::fromUtf8(out));
        QVERIFY2(cert.hasMatch(), out.constData());
        *fingerprint = cert.captured(1);
    }
}

void TestServerClient::realServerSession_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("tls with the printed fingerprint") << true;
}

void TestServerClient::realServerSession()
{
    QFETCH(bool, tls);
    QProcess server;
    QString address, fingerprint;
    quint16 udpPort = 0;
    startRealServer(server, tls ? QStringList() : QStringList{QStringLiteral("--plain")}, &address,
                    &fingerprint, &udpPort);
    if (QTest::currentTestFailed())
        return stopServer(server);
    QCOMPARE(fingerprint.isEmpty(), !tls);

    auto first = makeClient(20);
    ServerClient::Timing timing = first->timing();
    timing.firstPingMs = 10;
    first->setTiming(timing);
    QSignalSpy firstIn(first.get(), &ServerClient::loggedIn);
    QSignalSpy kicked(first.get(), &ServerClient::kicked);
    QSignalSpy firstErrors(first.get(), &ServerClient::connectionError);
    first->connectTo(address, fingerprint);
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), ServerClient::Rovivi, kWaitMs);
    QCOMPARE(first->welcome().value(QStringLiteral("server")).toString(), QStringLiteral("orx-server"));
    QCOMPARE(first->udpPort(), udpPort);
    QCOMPARE(first->presentedFingerprint(), normalizeFingerprint(fingerprint));

    // A new account signs in at once; the server answers pings with the ping's id.
    const QString name = tls ? QStringLiteral("alice_tls") : QStringLiteral("alice_tcp");
    const QString password = QStringLiteral("correct horse");
    QVERIFY(first->registerAccount(name, password) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), ServerClient::LoggedIn, kWaitMs);
    QCOMPARE(first->accountName(), name);
    const QString token = first->token();
    QVERIFY(!token.isEmpty());
    QVERIFY(!first->udpToken().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(first->roundTripMs() >= 0, kWaitMs);

    // A dropped link comes back signed in through the stored token.
    first->dropForTest();
    QCOMPARE(first->state(), ServerClient::Offline);
    QTRY_COMPARE_WITH_TIMEOUT(firstIn.size(), 2, kWaitMs);
    QCOMPARE(first->state(), ServerClient::LoggedIn);
    QCOMPARE(first->token(), token);

    // Signing in on a second launcher ends the first session, which then stays down.
    auto second = makeClient(20);
    QSignalSpy secondMessages(second.get(), &ServerClient::message);
    QSignalSpy secondOut(second.get(), &ServerClient::loggedOut);
    second->connectTo(address, fingerprint);
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), ServerClient::Rovivi, kWaitMs);
    QVERIFY(second->login(name, password) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), ServerClient::LoggedIn, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(kicked.size(), 1, kWaitMs);
    QVERIFY(!kicked.at(0).at(0).toString().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), ServerClient::Offline, kWaitMs);
    QVERIFY(!first->isReconnectScheduled());
    QCOMPARE(first->token(), QString());
    QCOMPARE(firstErrors.size(), 0);

    // Signing out, then a wrong password: the refusal reaches the listeners as a message.
    second->logout();
    QTRY_COMPARE_WITH_TIMEOUT(secondOut.size(), 1, kWaitMs);
    QCOMPARE(second->state(), ServerClient::Rovivi);
    const int id = second->login(name, QStringLiteral("wrong"));
    QVERIFY(id > 0);
    const auto refusal = [&secondMessages] {
        for (const QList<QVariant> &args : secondMessages) {
            const QJsonObject msg = args.at(0).toJsonObject();
            if (msg.value(QStringLiteral("type")).toString() == QLatin1String("error") &&
                msg.value(QStringLiteral("re")).toString() == QLatin1String("login"))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(refusal(), kWaitMs);
    QCOMPARE(second->state(), ServerClient::Rovivi);

    second->disconnectFromServer();
    QCOMPARE(second->state(), ServerClient::Offline);
    stopServer(server);
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
}

void TestServerClient::realServerRefusesOutdatedClient()
{
    QProcess server;
    QString address, fingerprint;
    quint16 udpPort = 0;
    startRealServer(server,
                    QStringList{QStringLiteral("--plain"), QStringLiteral("--min-client-version"),
                                QStringLiteral("99.0")},
                    &address, &fingerprint, &udpPort);
    if (QTest::currentTestFailed())
        return stopServer(server);
    auto client = makeClient(20);
    QSignalSpy errors(client.get(), &ServerClient::connectionError);
    client->connectTo(address, QString());
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, kWaitMs);
    QVERIFY2(errors.at(0).at(0).toString().contains(QStringLiteral("99.0")),
             qPrintable(errors.at(0).at(0).toString()));
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), ServerClient::Offline, kWaitMs);
    QVERIFY(client->reconnectSuppressed());
    QVERIFY(!client->isReconnectScheduled());
    QVERIFY(logText().contains(QStringLiteral("server: error client_outdated (hello): ")));
    stopServer(server);
}
