#include "tst_serverclient.h"

#include "core/cfg.h"
#include "core/log.h"
#include "net/hostaddress.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTest>

namespace {
bool runOpenssl(const QStringList &args, QByteArray *output, QString *error)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2 %3")
                     .arg(args.join(QLatin1Char(' ')), process.errorString(),
                          QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

QString opensslFingerprint(const QString &certPath, QString *error)
{
    QByteArray printed;
    if (!runOpenssl({QStringLiteral("x509"), QStringLiteral("-in"), certPath, QStringLiteral("-noout"),
                     QStringLiteral("-fingerprint"), QStringLiteral("-sha256")},
                    &printed, error))
        return QString();
    return QString::fromLatin1(printed.mid(printed.indexOf('=') + 1)).trimmed();
}

// A new P-256 key and a certificate request for `subject`.
bool newKeyAndRequest(const QString &subject, const QString &keyPath, const QString &requestPath,
                      QString *error)
{
    return runOpenssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), requestPath,
                       QStringLiteral("-subj"), subject},
                      nullptr, error);
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QSslCertificate readCertificate(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QSslCertificate(file.readAll(), QSsl::Pem) : QSslCertificate();
}
} // namespace

void TestServerClient::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_configPath = m_dir.filePath(QStringLiteral("orx-launcher.ini"));
    cfg::setAppDirForTesting(m_dir.filePath(QStringLiteral("app")));
    cfg::init(m_configPath);

    // A self-signed certificate made for this run; its fingerprint comes from openssl itself, in
    // the upper-case, colon-separated form players copy from tools.
    const QString certPath = m_dir.filePath(QStringLiteral("cert.pem"));
    const QString keyPath = m_dir.filePath(QStringLiteral("key.pem"));
    QString error;
    QVERIFY2(runOpenssl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                         QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                         QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath,
                         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                         QStringLiteral("/CN=orx-test-server")},
                        nullptr, &error),
             qPrintable(error));
    m_opensslFingerprint = opensslFingerprint(certPath, &error);
    QVERIFY2(m_opensslFingerprint.contains(QLatin1Char(':')), qPrintable(error + m_opensslFingerprint));

    QFile certFile(certPath);
    QFile keyFile(keyPath);
    QVERIFY(certFile.open(QIODevice::ReadOnly));
    QVERIFY(keyFile.open(QIODevice::ReadOnly));
    m_certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
    m_key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
    QVERIFY(!m_certificate.isNull());
    QVERIFY(!m_key.isNull());

    // A CA and a server certificate it issues for 127.0.0.1, valid by every rule but the pin.
    const QString caKey = m_dir.filePath(QStringLiteral("ca-key.pem"));
    const QString caRequest = m_dir.filePath(QStringLiteral("ca.csr"));
    const QString caExt = m_dir.filePath(QStringLiteral("ca.ext"));
    const QString caPath = m_dir.filePath(QStringLiteral("ca.pem"));
    const QString issuedKey = m_dir.filePath(QStringLiteral("issued-key.pem"));
    const QString issuedRequest = m_dir.filePath(QStringLiteral("issued.csr"));
    const QString issuedExt = m_dir.filePath(QStringLiteral("issued.ext"));
    const QString issuedPath = m_dir.filePath(QStringLiteral("issued.pem"));
    QVERIFY(writeText(caExt, "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                             "subjectKeyIdentifier=hash\n"));
    QVERIFY(writeText(issuedExt, "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                 "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n"
                                 "authorityKeyIdentifier=keyid\n"));
    QVERIFY2(newKeyAndRequest(QStringLiteral("/CN=orx-test-ca"), caKey, caRequest, &error),
             qPrintable(error));
    QVERIFY2(runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), caRequest,
                         QStringLiteral("-signkey"), caKey, QStringLiteral("-days"), QStringLiteral("2"),
                         QStringLiteral("-set_serial"), QStringLiteral("1"), QStringLiteral("-extfile"),
                         caExt, QStringLiteral("-out"), caPath},
                        nullptr, &error),
             qPrintable(error));
    QVERIFY2(newKeyAndRequest(QStringLiteral("/CN=127.0.0.1"), issuedKey, issuedRequest, &error),
             qPrintable(error));
    QVERIFY2(
        runOpenssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), issuedRequest,
                    QStringLiteral("-CA"), caPath, QStringLiteral("-CAkey"), caKey, QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-set_serial"), QStringLiteral("2"),
                    QStringLiteral("-extfile"), issuedExt, QStringLiteral("-out"), issuedPath},
                   nullptr, &error),
        qPrintable(error));
    m_issuedFingerprint = opensslFingerprint(issuedPath, &error);
    QVERIFY2(m_issuedFingerprint.contains(QLatin1Char(':')), qPrintable(error + m_issuedFingerprint));
    m_caCertificate = readCertificate(caPath);
    m_issuedCertificate = readCertificate(issuedPath);
    QFile issuedKeyFile(issuedKey);
    QVERIFY(issuedKeyFile.open(QIODevice::ReadOnly));
    m_issuedKey = QSslKey(issuedKeyFile.readAll(), QSsl::Ec, QSsl::Pem);
    QVERIFY(!m_caCertificate.isNull());
    QVERIFY(!m_issuedCertificate.isNull());
    QVERIFY(!m_issuedKey.isNull());
}

void TestServerClient::init()
{
    QFile::remove(logFilePath());
}

void TestServerClient::cleanupTestCase()
{
    cfg::resetForTesting();
}

std::unique_ptr<ServerClient> TestServerClient::makeClient(int reconnectFirstMs)
{
    auto client = std::make_unique<ServerClient>();
    ServerClient::Timing timing;
    timing.pingIntervalMs = 600000;
    timing.firstPingMs = 600000;
    timing.reconnectFirstMs = reconnectFirstMs;
    timing.reconnectMaxMs = reconnectFirstMs * 10;
    client->setTiming(timing);
    return client;
}

QString TestServerClient::plainAddress(const ScriptedPeer &peer) const
{
    return QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port());
}

void TestServerClient::connectPlain(ServerClient &client, ScriptedPeer &peer)
{
    const int hellos = peer.count(QStringLiteral("hello"));
    client.connectTo(plainAddress(peer), QString());
    QTRY_VERIFY_WITH_TIMEOUT(peer.count(QStringLiteral("hello")) > hellos, kWaitMs);
}

void TestServerClient::greet(ServerClient &client, ScriptedPeer &peer, QJsonObject welcome)
{
    if (welcome.isEmpty())
        welcome = QJsonObject{{QStringLiteral("type"), QStringLiteral("welcome")},
                              {QStringLiteral("server"), QStringLiteral("orx-test")},
                              {QStringLiteral("version"), QStringLiteral("1.0")},
                              {QStringLiteral("online"), 3}};
    peer.send(welcome);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), ServerClient::Rovivi, kWaitMs);
}

void TestServerClient::signIn(ServerClient &client, ScriptedPeer &peer, const QString &token)
{
    peer.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("account")},
                          {QStringLiteral("name"), QStringLiteral("alice")},
                          {QStringLiteral("token"), token},
                          {QStringLiteral("udp_token"), QStringLiteral("udp-7")}});
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), ServerClient::LoggedIn, kWaitMs);
}

void TestServerClient::sync(ServerClient &client, ScriptedPeer &peer)
{
    const int n = ++m_syncCounter;
    bool seen = false;
    const auto connection =
        connect(&client, &ServerClient::message, this, [&seen, n](const QJsonObject &msg) {
            if (msg.value(QStringLiteral("type")).toString() == QLatin1String("sync_marker") &&
                msg.value(QStringLiteral("n")).toInt() == n)
                seen = true;
        });
    peer.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("sync_marker")}, {QStringLiteral("n"), n}});
    (void)QTest::qWaitFor([&seen] { return seen; }, kWaitMs);
    disconnect(connection);
    QVERIFY2(seen, "the client did not pass the marker on");
}

QString TestServerClient::logText() const
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void TestServerClient::parseAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("plain");
    // clang-format off
    QTest::newRow("name with port: TLS")    << "orx.invalid:7001"        << "orx.invalid" << 7001 << false;
    QTest::newRow("tcp:// without port")    << "tcp://orx.invalid"       << "orx.invalid" << 7777 << true;
    QTest::newRow("tls:// with port 0")     << "tls://orx.invalid:0"     << "orx.invalid" << 7777 << false;
    QTest::newRow("bare name")              << "orx.invalid"             << "orx.invalid" << 7777 << false;
    QTest::newRow("white space trimmed")    << "  tcp://10.9.8.7:9000 \t" << "10.9.8.7"   << 9000 << true;
    QTest::newRow("port not a number")      << "orx.invalid:abc"         << "orx.invalid" << 7777 << false;
    QTest::newRow("port out of range")      << "orx.invalid:70000"       << "orx.invalid" << 7777 << false;
    QTest::newRow("colon first")            << ":7001"                   << ":7001"       << 7777 << false;
    QTest::newRow("prefix case is exact")   << "TCP://orx.invalid"       << "TCP"         << 7777 << false;
    QTest::newRow("bracketed IPv6")         << "tcp://[::1]:7005"        << "::1"         << 7005 << true;
    // clang-format on
}

void TestServerClient::parseAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, plain);

    const ServerAddress parsed = parseServerAddress(address);
    QCOMPARE(parsed.host, host);
    QCOMPARE(int(parsed.port), port);
    QCOMPARE(parsed.plain, plain);

    // The client connects with exactly what the parser found, and says so in the log.
    auto client = makeClient();
    QSignalSpy states(client.get(), &ServerClient::stateChanged);
    client->connectTo(address, QString());
    QCOMPARE(client->address(), address.trimmed());
    QCOMPARE(client->host(), host);
    QCOMPARE(int(client->port()), port);
    QCOMPARE(client->isPlain(), plain);
    QCOMPARE(states.size(), 1);
    QCOMPARE(states.at(0).at(0).value<ServerClient::State>(), ServerClient::Connecting);
    QVERIFY2(logText().contains(QStringLiteral("server: connecting to %1:%2 (%3)")
                                    .arg(host)
                                    .arg(port)
                                    .arg(plain ? QStringLiteral("plain") : QStringLiteral("tls"))),
             qPrintable(logText()));
    client->disconnectFromServer();
    QCOMPARE(client->state(), ServerClient::Offline);
    QVERIFY(!client->isReconnectScheduled());
}

void TestServerClient::fingerprintForms_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("normalized");
    QTest::addColumn<QString>("display");
    QTest::newRow("capitals with colons") << "AB:CD:0F:12"
                                          << "abcd0f12"
                                          << "AB:CD:0F:12";
    QTest::newRow("lower hex") << "abcd0f12"
                               << "abcd0f12"
                               << "AB:CD:0F:12";
    QTest::newRow("spaces and other characters") << " ab cd-0F.12 zz "
                                                 << "abcd0f12"
                                                 << "AB:CD:0F:12";
    QTest::newRow("odd length keeps the last digit") << "abc"
                                                     << "abc"
                                                     << "AB:C";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
    QTest::newRow("no hex at all") << "xyz:!"
                                   << ""
                                   << "";
}

void TestServerClient::fingerprintForms()
{
    QFETCH(QString, input);
    QFETCH(QString, normalized);
    QFETCH(QString, display);
    QCOMPARE(normalizeFingerprint(input), normalized);
    QCOMPARE(formatFingerprint(input), display);
    QCOMPARE(normalizeFingerprint(formatFingerprint(input)), normalized);
}

void TestServerClient::plainIPv4_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("ipv4");
    QTest::newRow("mapped loopback") << "::ffff:127.0.0.1"
                                     << "127.0.0.1" << true;
    QTest::newRow("mapped public") << "::ffff:203.0.113.9"
                                   << "203.0.113.9" << true;
    QTest::newRow("plain IPv4") << "10.0.0.1"
                                << "10.0.0.1" << true;
    QTest::newRow("IPv6 loopback stays") << "::1"
                                         << "::1" << false;
    QTest::newRow("IPv6 any stays") << "::"
                                    << "::" << false;
    QTest::newRow("global IPv6 stays") << "2001:db8::ffff:1"
                                       << "2001:db8::ffff:1" << false;
}

void TestServerClient::plainIPv4()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QFETCH(bool, ipv4);
    const QHostAddress result = ::plainIPv4(QHostAddress(input));
    QCOMPARE(result.toString(), expected);
    QCOMPARE(result.protocol() == QAbstractSocket::IPv4Protocol, ipv4);
}

void TestServerClient::tlsPin_data()
{
    QTest::addColumn<QString>("addressForm");
    QTest::addColumn<bool>("issuedByTrustedCa"); // else self-signed
    QTest::addColumn<QString>("pin");     // "openssl", "lower", "none", "ca", "self-signed" or a literal pin
    QTest::addColumn<QString>("outcome"); // "hello", "untrusted", "mismatch"
    QTest::newRow("pin in capitals with colons, no prefix") << "127.0.0.1:%1" << false << "openssl"
                                                            << "hello";
    QTest::newRow("pin in lower hex, tls://") << "tls://127.0.0.1:%1" << false << "lower"
                                              << "hello";
    QTest::newRow("no pin") << "tls://127.0.0.1:%1" << false << "none"
                            << "untrusted";
    QTest::newRow("wrong pin") << "127.0.0.1:%1" << false << QString(64, QLatin1Char('A')) << "mismatch";
    // A certificate the system would accept (trusted issuer, right address) is still refused unless
    // it is the pinned one: neither its issuer's digest nor another certificate's lets it in.
    QTest::newRow("trusted CA, its own digest pinned") << "127.0.0.1:%1" << true << "openssl"
                                                       << "hello";
    QTest::newRow("trusted CA, the CA's digest pinned") << "127.0.0.1:%1" << true << "ca"
                                                        << "mismatch";
    QTest::newRow("trusted CA, another certificate's digest pinned")
        << "tls://127.0.0.1:%1" << true << "self-signed"
        << "mismatch";
    QTest::newRow("trusted CA, no pin") << "127.0.0.1:%1" << true << "none"
                                        << "untrusted";
}

void TestServerClient::tlsPin()
{
    QFETCH(QString, addressForm);
    QFETCH(bool, issuedByTrustedCa);
    QFETCH(QString, pin);
    QFETCH(QString, outcome);

    const QSslCertificate &certificate = issuedByTrustedCa ? m_issuedCertificate : m_certificate;
    const QString printed = issuedByTrustedCa ? m_issuedFingerprint : m_opensslFingerprint;
    const QString actual = normalizeFingerprint(printed);
    QCOMPARE(actual.size(), 64);
    QString pinText = pin;
    if (pin == QLatin1String("openssl"))
        pinText = printed;
    else if (pin == QLatin1String("lower"))
        pinText = actual;
    else if (pin == QLatin1String("none"))
        pinText.clear();
    else if (pin == QLatin1String("ca"))
        pinText = QString::fromLatin1(m_caCertificate.digest(QCryptographicHash::Sha256).toHex());
    else if (pin == QLatin1String("self-signed"))
        pinText = m_opensslFingerprint;

    // Sockets made from now on trust the run's CA, as a system that knows the issuer would.
    const QSslConfiguration systemDefault = QSslConfiguration::defaultConfiguration();
    const auto restoreDefault =
        qScopeGuard([systemDefault] { QSslConfiguration::setDefaultConfiguration(systemDefault); });
    if (issuedByTrustedCa) {
        QSslConfiguration trusting = systemDefault;
        trusting.addCaCertificate(m_caCertificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
        const QList<QSslError> complaints =
            QSslCertificate::verify({certificate}, QStringLiteral("127.0.0.1"));
        QVERIFY2(complaints.isEmpty(), qPrintable(complaints.value(0).errorString()));
    }

    ScriptedPeer peer;
    peer.useTls(certificate, issuedByTrustedCa ? m_issuedKey : m_key);
    QVERIFY(peer.listen());
    auto client = makeClient(20);
    QSignalSpy errors(client.get(), &ServerClient::connectionError);
    QSignalSpy untrusted(client.get(), &ServerClient::untrustedCertificate);
    client->connectTo(addressForm.arg(peer.port()), pinText);
    QVERIFY(!client->isPlain());

    if (outcome == QLatin1String("hello")) {
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 1, kWaitMs);
        QCOMPARE(client->presentedFingerprint(), actual);
        QCOMPARE(client->pinnedFingerprint(), actual);
        // Messages flow both ways over the encrypted link.
        greet(*client, peer);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(client->login(QStringLiteral("alice"), QStringLiteral("pw")) > 0);
        QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("login")), 1, kWaitMs);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(untrusted.size(), 0);
        return;
    }

    QTRY_COMPARE_WITH_TIMEOUT(untrusted.size() + errors.size(), 1, kWaitMs);
    QCOMPARE(client->state(), ServerClient::Offline);
    QCOMPARE(client->presentedFingerprint(), actual);
    // Refused by the launcher itself: it does not try again on its own.
    QVERIFY(client->reconnectSuppressed());
    QVERIFY(!client->isReconnectScheduled());
    QCOMPARE(peer.count(QStringLiteral("hello")), 0);
    if (outcome == QLatin1String("untrusted")) {
        QCOMPARE(untrusted.size(), 1);
        QCOMPARE(untrusted.at(0).at(0).toString(), actual);
        QVERIFY(logText().contains(QStringLiteral("server: certificate %1 is not trusted yet").arg(actual)));
    } else {
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).toString(),
                 QStringLiteral("The server's certificate (%1) does not match the pinned fingerprint. "
                                "Check the fingerprint in Settings.")
                     .arg(formatFingerprint(actual)));
        QVERIFY2(logText().contains(QStringLiteral("server: certificate mismatch, got %1 expected %2")
                                        .arg(actual, normalizeFingerprint(pinText))),
                 qPrintable(logText()));
    }
    // Nothing more happens by itself: a second marker of the client's quiet state.
    QVERIFY(!logText().contains(QStringLiteral("server: socket error")));
    QCOMPARE(errors.size() + untrusted.size(), 1);
}

void TestServerClient::endpointsAndLinkType()
{
    // A dual-stack listener; the client reaches it through an IPv4-mapped IPv6 address.
    ScriptedPeer peer;
    QVERIFY(peer.listen(QHostAddress::Any));
    auto client = makeClient();
    QCOMPARE(client->serverAddress(), QHostAddress());
    client->connectTo(QStringLiteral("tcp://::ffff:127.0.0.1:%1").arg(peer.port()), QString());
    QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), 1, kWaitMs);
    QCOMPARE(client->serverAddress().protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(client->serverAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(client->localAddress().protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(client->localAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
    QCOMPARE(client->linkType(), QString()); // loopback carries no link
    client->disconnectFromServer();

    // Every other local IPv4 address names the kind of interface that owns it.
    const auto interfaces = QNetworkInterface::allInterfaces();
    int checked = 0;
    for (const QNetworkInterface &iface : interfaces) {
        if (!(iface.flags() & QNetworkInterface::IsUp) || (iface.flags() & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const QString expected = iface.type() == QNetworkInterface::Ethernet ? QStringLiteral("ethernet")
                                     : iface.type() == QNetworkInterface::Wifi   ? QStringLiteral("wifi")
                                                                                 : QStringLiteral("other");
            const int hellos = peer.count(QStringLiteral("hello"));
            client->connectTo(QStringLiteral("tcp://%1:%2").arg(entry.ip().toString()).arg(peer.port()),
                              QString());
            QTRY_COMPARE_WITH_TIMEOUT(peer.count(QStringLiteral("hello")), hellos + 1, kWaitMs);
            QCOMPARE(client->localAddress(), entry.ip());
            QCOMPARE(client->linkType(), expected);
            client->disconnectFromServer();
            ++checked;
        }
    }
    qInfo("link type checked on %d non-loopback address(es)", checked);
}

QTEST_GUILESS_MAIN(TestServerClient)
