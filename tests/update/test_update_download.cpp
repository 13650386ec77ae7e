// The updater's offers and downloads: which offers it takes, whether it may update itself, and
// downloads from a real release host on loopback (HTTP and HTTPS) with every way a transfer can go
// wrong, including a disk that fills up.

#include "core/cfg.h"
#include "core/log.h"
#include "releasehost.h"
#include "releasekit.h"
#include "update/updater.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QJsonObject goodOffer(const QString &version = kit::newVersion)
{
    return {{"version", version},
            {"build", "b2"},
            {"size", 1234},
            {"sha256", QString(64, 'a')},
            {"url", "https://example.org/ORX-Rovivi.zip"}};
}

} // namespace

class TestUpdateDownload : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void offers_data();
    void offers();
    void versionsCompareNumberByNumber();
    void canUpdate();
    void downloads_data();
    void downloads();
    void cancelMidTransfer();
    void fullDisk_data();
    void fullDisk();

private:
    void makeCertificate();
    QSslCertificate m_cert;
    QSslKey m_key;
    QTemporaryDir m_tls;
};

// The Windows build of this program runs under Wine, where it cannot start this system's tools:
// the release host's certificate comes from openssl and the release zips from bsdtar. The offer
// rules run there; the downloads skip.
#ifdef _WIN32
#define SKIP_WITHOUT_RELEASE_TOOLS()                                                                         \
    QSKIP("the certificate and the release zips are made with openssl and bsdtar, which a Windows "          \
          "program cannot start under Wine")
#else
#define SKIP_WITHOUT_RELEASE_TOOLS()
#endif

void TestUpdateDownload::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("orx-test"));
#ifndef _WIN32
    makeCertificate();
#endif
}

// A certificate for 127.0.0.1 that this process trusts, as a real host's would be.
void TestUpdateDownload::makeCertificate()
{
    const QString key = m_tls.filePath(QStringLiteral("key.pem"));
    const QString cert = m_tls.filePath(QStringLiteral("cert.pem"));
    QProcess p;
    p.start(QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             key, "-out", cert, "-days", "2", "-subj", "/CN=orx-release-host", "-addext",
             "subjectAltName=IP:127.0.0.1"});
    QVERIFY(p.waitForFinished(60000));
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
    m_cert = QSslCertificate(testutil::readAll(cert), QSsl::Pem);
    m_key = QSslKey(testutil::readAll(key), QSsl::Ec, QSsl::Pem);
    QVERIFY(!m_cert.isNull() && !m_key.isNull());
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.addCaCertificate(m_cert);
    QSslConfiguration::setDefaultConfiguration(conf);
}

void TestUpdateDownload::offers_data()
{
    QTest::addColumn<QJsonObject>("change");    // keys laid over a good offer; null removes one
    QTest::addColumn<QByteArray>("versionTxt"); // the running launcher's VERSION.txt (its build label)
    QTest::addColumn<bool>("accepted");
    const QByteArray labelled = kit::versionLine("0.1.8", "b1");
    auto url = [](const QString &u) { return QJsonObject{{"url", u}}; };
    QTest::newRow("newer, https") << QJsonObject{} << labelled << true;
    QTest::newRow("0.1.10 is newer than 0.1.8") << QJsonObject{{"version", "0.1.10"}} << labelled << true;
    QTest::newRow("0.1.9") << QJsonObject{{"version", "0.1.9"}} << labelled << true;
    QTest::newRow("1") << QJsonObject{{"version", "1"}} << labelled << true;
    QTest::newRow("older") << QJsonObject{{"version", "0.1.7"}} << labelled << false;
    QTest::newRow("older, short") << QJsonObject{{"version", "0.1"}} << labelled << false;
    QTest::newRow("equal, other build, known own build")
        << QJsonObject{{"version", "0.1.8"}} << labelled << true;
    QTest::newRow("equal, same build")
        << QJsonObject{{"version", "0.1.8"}, {"build", "b1"}} << labelled << false;
    QTest::newRow("equal, no build offered")
        << QJsonObject{{"version", "0.1.8"}, {"build", ""}} << labelled << false;
    QTest::newRow("equal, own build unknown") << QJsonObject{{"version", "0.1.8"}} << QByteArray() << false;
    QTest::newRow("equal written longer is no other build")
        << QJsonObject{{"version", "0.1.8.0"}} << labelled << false;
    QTest::newRow("version with a letter") << QJsonObject{{"version", "0.2.0b"}} << labelled << false;
    QTest::newRow("version with an empty number") << QJsonObject{{"version", "0..2"}} << labelled << false;
    QTest::newRow("version in other digits")
        << QJsonObject{{"version", QString::fromUtf8("\xd9\xa1.2")}} << labelled << false;
    QTest::newRow("upper-case hex") << QJsonObject{{"sha256", QString(64, 'A')}} << labelled << false;
    QTest::newRow("short hash") << QJsonObject{{"sha256", QString(63, 'a')}} << labelled << false;
    QTest::newRow("HTTPS in capitals") << url("HTTPS://example.org/x.zip") << labelled << false;
    QTest::newRow("http to 127.0.0.1") << url("http://127.0.0.1/x.zip") << labelled << true;
    QTest::newRow("http to 127.0.0.1 with a port") << url("http://127.0.0.1:8080/x.zip") << labelled << true;
    QTest::newRow("http to localhost with a port") << url("http://localhost:8080/x.zip") << labelled << true;
    QTest::newRow("http to another host") << url("http://example.org/x.zip") << labelled << false;
    QTest::newRow("http to a name beginning like loopback")
        << url("http://127.0.0.1.example.org/x.zip") << labelled << false;
    QTest::newRow("ftp") << url("ftp://example.org/x.zip") << labelled << false;
    const QString prefix = QStringLiteral("https://example.org/");
    QTest::newRow("url of 500 characters")
        << url(prefix + QString(500 - prefix.size(), 'a')) << labelled << true;
    QTest::newRow("url of 501 characters")
        << url(prefix + QString(501 - prefix.size(), 'a')) << labelled << false;
    QTest::newRow("size 0") << QJsonObject{{"size", 0}} << labelled << false;
    QTest::newRow("size 1 GiB") << QJsonObject{{"size", 1073741824.0}} << labelled << true;
    QTest::newRow("size 1 GiB and one") << QJsonObject{{"size", 1073741825.0}} << labelled << false;
    QTest::newRow("size negative") << QJsonObject{{"size", -5}} << labelled << false;
    QTest::newRow("size past any integer") << QJsonObject{{"size", 2e92}} << labelled << false;
    QTest::newRow("size a fraction") << QJsonObject{{"size", 10.5}} << labelled << false;
    QTest::newRow("size as text") << QJsonObject{{"size", "1234"}} << labelled << false;
    QTest::newRow("no url") << QJsonObject{{"url", QJsonValue()}} << labelled << false;
}

void TestUpdateDownload::offers()
{
    QFETCH(QJsonObject, change);
    QFETCH(QByteArray, versionTxt);
    QFETCH(bool, accepted);
    kit::Case c(true, versionTxt.isEmpty() ? QByteArray("ORX-Rovivi 0.1.8\n") : versionTxt);
    QJsonObject offer = goodOffer();
    for (auto it = change.begin(); it != change.end(); ++it) {
        if (it.value().isNull())
            offer.remove(it.key());
        else
            offer.insert(it.key(), it.value());
    }
    const QJsonObject got = Updater::acceptOffer(offer);
    QCOMPARE(!got.isEmpty(), accepted);
    if (accepted)
        QCOMPARE(got, offer);
    QVERIFY(Updater::acceptOffer(QJsonValue(QJsonDocument(offer).toJson().constData())).isEmpty());
    // Its fields read whatever it holds: a size no offer may have reads as none.
    const qint64 size = Updater::Offer::fromJson(offer).size;
    QVERIFY(size >= 0 && size <= Updater::maxSize);
    if (accepted)
        QCOMPARE(size, qint64(offer.value("size").toDouble()));
}

void TestUpdateDownload::versionsCompareNumberByNumber()
{
    struct Row {
        const char *a, *b;
        int sign;
    };
    const Row rows[] = {{"0.1.10", "0.1.9", 1}, {"0.1.8", "0.1.8.0", 0}, {"0.1", "0.1.8", -1},
                        {"2", "10", -1},        {"007", "7", 0},         {"99999999999999999999999", "1", 1}};
    for (const Row &r : rows) {
        const int c = Updater::compareVersions(QString::fromLatin1(r.a), QString::fromLatin1(r.b));
        QVERIFY2((c > 0) - (c < 0) == r.sign, r.a);
    }
}

void TestUpdateDownload::canUpdate()
{
    {
        kit::Case source(false);
        QCOMPARE(Updater::canUpdate(), QStringLiteral("A source build updates with git, not here."));
    }
    kit::Case c;
    QCOMPARE(Updater::canUpdate(), QString());
    QVERIFY(!QFile::exists(QDir(c.app).filePath("update-write-test.tmp")));
    // A folder the launcher cannot write to: root writes everywhere but into an immutable folder.
    std::unique_ptr<kit::Immutable> immutable;
    std::unique_ptr<kit::ReadOnlyFolder> readOnly;
    if (testutil::isRoot()) {
        immutable = std::make_unique<kit::Immutable>(c.app);
        if (!immutable->on())
            QSKIP("this file system keeps no immutable flag");
    } else {
        readOnly = std::make_unique<kit::ReadOnlyFolder>(c.app);
    }
    QCOMPARE(Updater::canUpdate(),
             QStringLiteral("The launcher cannot write to its folder (%1). Move the ORX-Rovivi "
                            "folder somewhere you can write to, such as Documents, or update "
                            "by hand.")
                 .arg(QDir::toNativeSeparators(c.app)));
}

void TestUpdateDownload::downloads_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("failure"); // empty: ready to install
    const QString notRelease = QStringLiteral("The download is not the release the server named (its size or "
                                              "SHA-256 differs). Nothing was changed.");
    QTest::newRow("good") << "good"
                          << "";
    QTest::newRow("good over https") << "https"
                                     << "";
    QTest::newRow("redirect on loopback") << "redirect"
                                          << "";
    QTest::newRow("wrong SHA-256") << "wrong sha" << notRelease;
    QTest::newRow("a shorter file") << "short file" << notRelease;
    QTest::newRow("cut off before the end") << "cut off"
                                            << "The download failed: ";
    QTest::newRow("more than the size") << "more" << notRelease;
    QTest::newRow("404") << "404"
                         << "The download failed: ";
    QTest::newRow("https redirected to http") << "https to http"
                                              << "The download failed: ";
    QTest::newRow("stall") << "stall"
                           << "The download failed: no data for 2 s";
}

void TestUpdateDownload::downloads()
{
    SKIP_WITHOUT_RELEASE_TOOLS();
    QFETCH(QString, kind);
    QFETCH(QString, failure);
    kit::Case c;
    QString error;
    // Big enough for whole MiB in the progress texts; random, so the zip does not shrink it.
    const QByteArray release = kit::zipOf(
        c.dir->path(),
        [] {
            auto files = kit::releaseFiles();
            files.insert(QStringLiteral("games/orx/big.bin"), kit::randomBytes(2 * kit::mib + 300 * 1024));
            return files;
        }(),
        &error);
    QVERIFY2(!release.isEmpty(), qPrintable(error));
    QVERIFY(release.size() > 2 * kit::mib);

    ReleaseHost plain;
    ReleaseHost tls(m_cert, m_key);
    ReleaseHost *host = &plain;
    QJsonObject offer = kit::offer(release, plain.url("/ORX-Rovivi-0.2.0.zip"));
    HostRoute route{200, release};
    if (kind == "https" || kind == "https to http") {
        host = &tls;
        offer["url"] = tls.url("/ORX-Rovivi-0.2.0.zip");
        if (kind == "https to http") {
            route = HostRoute{302, "moved", plain.url("/ORX-Rovivi-0.2.0.zip").toUtf8()};
            plain.routes.insert("/ORX-Rovivi-0.2.0.zip", HostRoute{200, release});
        }
    } else if (kind == "redirect") {
        route = HostRoute{302, "moved", "/releases/0.2.0.zip"};
        plain.routes.insert("/releases/0.2.0.zip", HostRoute{200, release});
    } else if (kind == "wrong sha") {
        offer["sha256"] = kit::sha256("something else");
    } else if (kind == "short file") {
        route.body = release.left(release.size() / 2);
    } else if (kind == "cut off") {
        route.body = release.left(release.size() / 2);
        route.contentLength = release.size();
    } else if (kind == "more") {
        route.body = release + kit::randomBytes(64 * kit::mib);
    } else if (kind == "404") {
        route = HostRoute{404, "no such release"};
    } else if (kind == "stall") {
        route.holdAfter = release.size() / 2;
    }
    host->routes.insert("/ORX-Rovivi-0.2.0.zip", route);
    QVERIFY(!Updater::acceptOffer(offer).isEmpty());

    const auto before = kit::folderState(c.app);
    Updater updater;
    Updater::Timing timing;
    timing.stallMs = 2000;
    updater.setTiming(timing);
    QSignalSpy progress(&updater, &Updater::progress);
    QSignalSpy ready(&updater, &Updater::readyToInstall);
    QSignalSpy failed(&updater, &Updater::failed);
    updater.start(offer);
    QVERIFY(updater.isActive());
    QCOMPARE(updater.version(), kit::newVersion);
    QVERIFY(testutil::waitFor([&] { return ready.size() + failed.size() > 0; }, 60000));
    QTest::qWait(0);
    const QString log = c.log();

    QVERIFY(!host->requests.isEmpty());
    QCOMPARE(host->requests.first().headers.value("user-agent"), QByteArray("ORX-Rovivi/0.1.8"));
    QVERIFY2(log.contains(QStringLiteral("update: downloading 0.2.0 from %1").arg(offer["url"].toString())),
             qPrintable(log));
    QCOMPARE(progress.first().at(0).toString(), QStringLiteral("Downloading 0.2.0..."));
    QCOMPARE(progress.first().at(1).toInt(), 0);
    const QString archive = c.update("ORX-Rovivi-0.2.0.zip");

    if (failure.isEmpty()) {
        QCOMPARE(failed.size(), 0);
        QCOMPARE(ready.size(), 1);
        QVERIFY(updater.isReady());
        // Whole MiB in the texts, percent rising to 100 and never past it.
        int last = -2;
        QStringList texts;
        for (const QList<QVariant> &p : progress) {
            texts << p.at(0).toString();
            if (p.at(0).toString().startsWith(QLatin1String("Downloading 0.2.0:"))) {
                QVERIFY(p.at(1).toInt() >= last && p.at(1).toInt() <= 100);
                last = p.at(1).toInt();
            }
        }
        QCOMPARE(last, 100);
        QVERIFY2(texts.contains(QStringLiteral("Downloading 0.2.0: 2 of 2 MB")), qPrintable(texts.join('|')));
        QCOMPARE(texts.mid(texts.size() - 2), QStringList({QStringLiteral("Unpacking 0.2.0..."),
                                                           QStringLiteral("0.2.0 is ready to install.")}));
        QCOMPARE(progress.last().at(1).toInt(), 100);
        QCOMPARE(progress.at(progress.size() - 2).at(1).toInt(), -1);
        // ".part" dropped once checked.
        QCOMPARE(testutil::readAll(archive), release);
        QVERIFY(!QFile::exists(archive + ".part"));
        QVERIFY(log.contains(
            QStringLiteral("update: 0.2.0 downloaded and checked (SHA-256 %1)").arg(kit::sha256(release))));
        if (kind == "redirect")
            QCOMPARE(host->requests.last().path, QByteArray("/releases/0.2.0.zip"));
        return;
    }

    QCOMPARE(ready.size(), 0);
    QCOMPARE(failed.size(), 1);
    const QString text = failed.first().at(0).toString();
    QVERIFY2(failure.endsWith(QLatin1Char(' ')) ? text.startsWith(failure) && text.size() > failure.size()
                                                : text == failure,
             qPrintable(text));
    QVERIFY(!updater.isActive());
    // The archive goes, under whichever name it had; the launcher's own files stay as they were.
    QVERIFY(!QFile::exists(archive + ".part"));
    QVERIFY(!QFile::exists(archive));
    QVERIFY(!QFile::exists(c.update("stage")));
    QCOMPARE(kit::folderState(c.app), before);
    QVERIFY2(log.contains(QStringLiteral("update: ") + text), qPrintable(log));

    if (kind == "404")
        QVERIFY(text.contains("Not Found"));
    if (kind == "https to http")
        QVERIFY2(plain.requests.isEmpty(), "the plain host was asked after all");
    if (kind == "wrong sha")
        QVERIFY(log.contains(QStringLiteral("update: got %1 bytes, SHA-256 %2; expected %1, %3")
                                 .arg(release.size())
                                 .arg(kit::sha256(release), kit::sha256("something else"))));
    if (kind == "short file")
        QVERIFY(log.contains(QStringLiteral("update: got %1 bytes").arg(release.size() / 2)));
    if (kind == "more") {
        // Refused at once: the host never got far into what it had to send.
        QVERIFY(testutil::waitFor([&] { return host->clientClosed(); }));
        QVERIFY2(host->sent() < release.size() + 32 * kit::mib, qPrintable(QString::number(host->sent())));
    }
}

void TestUpdateDownload::cancelMidTransfer()
{
    SKIP_WITHOUT_RELEASE_TOOLS();
    kit::Case c;
    const QByteArray release = kit::zipOf(c.dir->path(), [] {
        auto files = kit::releaseFiles();
        files.insert(QStringLiteral("big.bin"), kit::randomBytes(2 * kit::mib));
        return files;
    }());
    QVERIFY(!release.isEmpty());
    ReleaseHost host;
    host.routes.insert("/r.zip", HostRoute{200, release, {}, -1, release.size() / 2});
    Updater updater;
    QSignalSpy progress(&updater, &Updater::progress);
    QSignalSpy ready(&updater, &Updater::readyToInstall);
    QSignalSpy failed(&updater, &Updater::failed);
    updater.start(kit::offer(release, host.url("/r.zip")));
    const QString part = c.update("ORX-Rovivi-0.2.0.zip.part");
    QVERIFY(testutil::waitFor([&] { return QFileInfo(part).size() == release.size() / 2; }, 30000));
    // A second start while active does nothing.
    updater.start(kit::offer(release, host.url("/other.zip")));
    QCOMPARE(host.requests.size(), 1);
    updater.cancel();
    QVERIFY(!updater.isActive());
    const qsizetype signalsAtCancel = progress.size();
    host.release(); // whatever the host still sends finds nobody
    QVERIFY(testutil::waitFor([&] { return host.clientClosed() || host.transferDone(); }));
    QTest::qWait(50);
    QCOMPARE(progress.size(), signalsAtCancel);
    QCOMPARE(ready.size() + failed.size(), 0);
    QVERIFY(c.log().contains("update: 0.2.0 cancelled"));
    // The partial archive stays; no stage.
    QCOMPARE(QFileInfo(part).size(), release.size() / 2);
    QVERIFY(!QFile::exists(c.update("stage")));
    updater.cancel(); // not active: nothing, not even a log line
    QCOMPARE(c.log().count("cancelled"), 1);
}

void TestUpdateDownload::fullDisk_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("step");
    QTest::newRow("/dev/full as the download") << "devfull"
                                               << "download";
    QTest::newRow("2 MiB file system, download") << "tmpfs"
                                                 << "download";
    QTest::newRow("2 MiB file system, unpacking") << "tmpfs"
                                                  << "unpack";
}

// On a file system of its own, in a private mount namespace; the test program runs itself there.
void TestUpdateDownload::fullDisk()
{
    SKIP_WITHOUT_RELEASE_TOOLS();
    QFETCH(QString, how);
    QFETCH(QString, step);
    const QString inside = qEnvironmentVariable("ORX_UPDATE_FULL_DISK");
    if (how == "tmpfs" && inside.isEmpty()) {
        if (!testutil::isRoot())
            QSKIP("a file system of its own needs root (CI runs as root); /dev/full stands in");
        QTemporaryDir mountPoint;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORX_UPDATE_FULL_DISK", mountPoint.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("unshare",
                    {"-m", "--propagation", "private", "sh", "-c",
                     "mount -t tmpfs -o size=2m orx-full \"$0\" && exec \"$1\" \"$2\"", mountPoint.path(),
                     QCoreApplication::applicationFilePath(),
                     QStringLiteral("fullDisk:%1").arg(QString::fromLatin1(QTest::currentDataTag()))});
        QVERIFY(child.waitForFinished(testutil::scaled(120000)));
        const QByteArray out = child.readAll();
        QVERIFY2(child.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("PASS   : TestUpdateDownload::fullDisk(" + QByteArray(QTest::currentDataTag())),
                 out.constData());
        return;
    }
    if (how == "devfull" && !inside.isEmpty())
        QSKIP("run by the outer program");

    std::unique_ptr<kit::Case> c;
    QTemporaryDir work; // settings, log and archive making stay on the roomy disk
    if (how == "tmpfs") {
        // The application folder lives on the small file system.
        qputenv("TMPDIR", inside.toLocal8Bit());
        c = std::make_unique<kit::Case>(true, QByteArray(), work.filePath("config"));
        QVERIFY2(c->app.startsWith(inside), qPrintable(c->app));
    } else {
        c = std::make_unique<kit::Case>();
    }
    // Downloading: far more than fits, more than loopback's buffers take, so the host is still
    // sending when the write fails. Unpacking: an archive that fits but unpacks to more.
    QMap<QString, QByteArray> files = kit::releaseFiles();
    files.insert("games/orx/big.bin",
                 step == "download" ? kit::randomBytes(24 * kit::mib) : QByteArray(4 * kit::mib, '\0'));
    const QByteArray release = kit::zipOf(work.path(), files);
    QVERIFY(!release.isEmpty());
    QCOMPARE(release.size() > 2 * kit::mib, step == "download");
    ReleaseHost host;
    host.routes.insert("/r.zip", HostRoute{200, release});
    const auto before = kit::folderState(c->app);
    const QString part = c->update("ORX-Rovivi-0.2.0.zip.part");
    if (how == "devfull") {
        QDir().mkpath(c->update());
        QVERIFY(QFile::link("/dev/full", part));
    }

    Updater updater;
    QSignalSpy failed(&updater, &Updater::failed);
    QSignalSpy ready(&updater, &Updater::readyToInstall);
    updater.start(kit::offer(release, host.url("/r.zip")));
    QVERIFY(testutil::waitFor([&] { return failed.size() + ready.size() > 0; }, 60000));
    QCOMPARE(ready.size(), 0);
    const QString text = failed.first().at(0).toString();
    if (step == "download") {
        QCOMPARE(text, QStringLiteral("Could not write %1. No space left on device")
                           .arg(QDir::toNativeSeparators(part)));
        // Stopped at the write that failed, not after taking the rest.
        QVERIFY(testutil::waitFor([&] { return host.clientClosed(); }));
        QVERIFY(host.sent() < release.size());
    } else {
        QCOMPARE(text, QStringLiteral("Could not unpack the release. Nothing was changed."));
        QVERIFY(c->log().contains("update: unpacking with bsdtar failed (exit 1)"));
        QVERIFY(c->log().contains("update: unpacking with unzip failed (exit"));
    }
    QVERIFY(!QFileInfo(part).exists() && !QFileInfo(part).isSymLink());
    QVERIFY(!QFile::exists(c->update("ORX-Rovivi-0.2.0.zip")));
    QVERIFY(!QFile::exists(c->update("stage")));
    QCOMPARE(kit::folderState(c->app), before);
}

QTEST_GUILESS_MAIN(TestUpdateDownload)
#include "test_update_download.moc"
