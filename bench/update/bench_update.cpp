// The updater's download against curl + sha256sum of the same file from the same loopback host
// (a small sendfile server on its own thread, so neither side waits on it), with the growth of the
// process's resident memory during the download; then unpacking and installing a release of
// 2,000 files against bsdtar alone unpacking it. Best of 3, alternating.
//   bench_update [ARCHIVE_MIB] [FILES]   (default 256 and 2000)

#include "core/cfg.h"
#include "update/updater.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;

// Serves one file to every GET, by sendfile, one connection at a time.
class FileHost {
public:
    explicit FileHost(const QString &path) : m_path(QFile::encodeName(path))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(m_listen, 8);
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~FileHost()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/release.zip").arg(m_port); }

private:
    void run()
    {
        while (!m_stop) {
            const int c = ::accept(m_listen, nullptr, nullptr);
            if (c < 0)
                return;
            QByteArray request;
            char buf[4096];
            while (!request.contains("\r\n\r\n")) {
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                request.append(buf, n);
            }
            const int fd = ::open(m_path.constData(), O_RDONLY);
            struct stat st {};
            ::fstat(fd, &st);
            const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\nContent-Length: " +
                                    QByteArray::number(qint64(st.st_size)) + "\r\nConnection: close\r\n\r\n";
            if (::write(c, head.constData(), size_t(head.size())) == head.size()) {
                off_t at = 0;
                while (at<st.st_size && ::sendfile(c, fd, &at, size_t(st.st_size - at))> 0) {
                }
            }
            ::close(fd);
            ::shutdown(c, SHUT_WR);
            while (::read(c, buf, sizeof buf) > 0) {
            }
            ::close(c);
        }
    }

    QByteArray m_path;
    int m_listen = -1;
    quint16 m_port = 0;
    std::atomic_bool m_stop{false};
    std::thread m_thread;
};

QByteArray randomBytes(qint64 n, quint32 seed)
{
    QList<quint32> words((n + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), n);
}

qint64 residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QString sha256File(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!f.open(QIODevice::ReadOnly) || !h.addData(&f))
        return {};
    return QString::fromLatin1(h.result().toHex());
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Folders {
    QString app, config;
};

void openFolders(const Folders &f)
{
    cfg::resetForTesting();
    cfg::setAppDirForTesting(f.app);
    cfg::init(f.config);
}

// Runs the updater until `until` says so (or it fails); returns seconds, -1 on failure.
double runUpdater(Updater &updater, const QJsonObject &offer,
                  const std::function<bool(const QString &)> &until, qint64 *peakGrowthKiB = nullptr)
{
    QEventLoop loop;
    bool ok = false;
    const qint64 rssStart = residentKiB();
    qint64 peak = rssStart;
    int ticks = 0;
    auto c1 = QObject::connect(&updater, &Updater::progress, &loop, [&](const QString &text, int) {
        if (peakGrowthKiB && (++ticks % 64) == 0)
            peak = std::max(peak, residentKiB());
        if (until(text)) {
            ok = true;
            loop.quit();
        }
    });
    // The last step may come without a progress text after it: ask again when it is ready.
    auto c3 = QObject::connect(&updater, &Updater::readyToInstall, &loop, [&] {
        if (until(QString())) {
            ok = true;
            loop.quit();
        }
    });
    auto c2 = QObject::connect(&updater, &Updater::failed, &loop, [&](const QString &text) {
        std::fprintf(stderr, "update failed: %s\n", qPrintable(text));
        loop.quit();
    });
    QElapsedTimer t;
    t.start();
    updater.start(offer);
    loop.exec();
    const double seconds = double(t.nsecsElapsed()) / 1e9;
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    QObject::disconnect(c3);
    if (peakGrowthKiB)
        *peakGrowthKiB = std::max(peak, residentKiB()) - rssStart;
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 archiveMiB = argc > 1 ? std::max<qint64>(8, QByteArray(argv[1]).toLongLong()) : 256;
    const int fileCount = argc > 2 ? std::max(10, QByteArray(argv[2]).toInt()) : 2000;
    QTemporaryDir dir;
    const Folders folders{dir.filePath(QStringLiteral("app")),
                          dir.filePath(QStringLiteral("config/orx.ini"))};
    QDir().mkpath(folders.app + QStringLiteral("/games"));
    QDir().mkpath(dir.filePath(QStringLiteral("config")));
    openFolders(folders);

    // --- download ---------------------------------------------------------------------------
    const QString archive = dir.filePath(QStringLiteral("host/release.zip"));
    QDir().mkpath(dir.filePath(QStringLiteral("host")));
    {
        QFile f(archive);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        for (qint64 i = 0; i < archiveMiB; ++i)
            f.write(randomBytes(MiB, quint32(i)));
    }
    const QString sha = sha256File(archive);
    FileHost host(archive);
    const QJsonObject offer{{"version", "0.2.0"},
                            {"build", ""},
                            {"size", double(archiveMiB * MiB)},
                            {"sha256", sha},
                            {"url", host.url()}};
    // Read once, so both sides find the file in the page cache.
    const QString copy = dir.filePath(QStringLiteral("curl.zip"));
    if (!run(QStringLiteral("curl"), {QStringLiteral("-sf"), QStringLiteral("-o"), copy, host.url()}))
        return 1;

    double ours = 1e9, theirs = 1e9;
    qint64 growth = 0;
    for (int round = 0; round < 3; ++round) {
        Updater updater;
        qint64 g = 0;
        // Measured up to the moment the download is checked and unpacking begins.
        const double s = runUpdater(
            updater, offer, [](const QString &text) { return text.startsWith(QLatin1String("Unpacking")); },
            &g);
        updater.cancel();
        if (s < 0)
            return 1;
        ours = std::min(ours, s);
        growth = std::max(growth, g);
        QFile::remove(Updater::archivePath(QStringLiteral("0.2.0")));
        QElapsedTimer t;
        t.start();
        if (!run(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), QStringLiteral("curl -sf -o \"$0\" \"$1\" && sha256sum \"$0\""), copy,
                  host.url()}))
            return 1;
        theirs = std::min(theirs, double(t.nsecsElapsed()) / 1e9);
    }
    std::printf("download of %lld MiB from loopback, checked with SHA-256 (best of 3):\n", archiveMiB);
    std::printf("  updater:            %8.1f MiB/s  (%.3f s)\n", double(archiveMiB) / ours, ours);
    std::printf("  curl + sha256sum:   %8.1f MiB/s  (%.3f s)\n", double(archiveMiB) / theirs, theirs);
    std::printf("  ratio to curl + sha256sum: %.2f\n", theirs / ours);
    std::printf("  resident memory growth during the download: %.1f MiB (peak, worst round)\n",
                growth / 1024.0);
    QFile::remove(archive);
    QFile::remove(copy);

    // --- unpack and install -----------------------------------------------------------------
    const QString tree = dir.filePath(QStringLiteral("tree"));
    QRandomGenerator rng(7);
    qint64 treeBytes = 0;
    for (int i = 0; i < fileCount; ++i) {
        const QString rel = i == 0   ? QStringLiteral("VERSION.txt")
                            : i == 1 ? QStringLiteral("orx-launcher")
                                     : QStringLiteral("data/d%1/f%2.bin").arg(i % 50).arg(i);
        QByteArray bytes = i == 0   ? QByteArray("ORX-Rovivi 0.2.0, packaged bench\n")
                           : i == 1 ? QByteArray("#!/bin/sh\nexit 0\n")
                                    : randomBytes(qint64(rng.bounded(1, 17)) * 1024, quint32(i));
        const QString path = tree + QStringLiteral("/ORX-Rovivi/") + rel;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
        treeBytes += bytes.size();
    }
    const QString zip = dir.filePath(QStringLiteral("host/release.zip"));
    if (!run(QStringLiteral("bsdtar"),
             {QStringLiteral("--format"), QStringLiteral("zip"), QStringLiteral("-cf"), zip,
              QStringLiteral("-C"), tree, QStringLiteral("ORX-Rovivi")}))
        return 1;
    QFile zipFile(zip);
    const qint64 zipSize = zipFile.size();
    const QJsonObject small{{"version", "0.2.0"},
                            {"build", ""},
                            {"size", double(zipSize)},
                            {"sha256", sha256File(zip)},
                            {"url", host.url()}};
    double unpackBest = 1e9, installBest = 1e9, bsdtarBest = 1e9;
    for (int round = 0; round < 3; ++round) {
        // A fresh application folder holding the old version of every file.
        QDir(folders.app).removeRecursively();
        if (!run(QStringLiteral("cp"),
                 {QStringLiteral("-r"), tree + QStringLiteral("/ORX-Rovivi"), folders.app}))
            return 1;
        QDir().mkpath(folders.app + QStringLiteral("/games"));
        openFolders(folders);
        Updater updater;
        QElapsedTimer unpackClock;
        bool ready = false;
        QObject::connect(&updater, &Updater::progress, [&](const QString &text, int) {
            if (text.startsWith(QLatin1String("Unpacking")))
                unpackClock.start();
        });
        QObject::connect(&updater, &Updater::readyToInstall, [&] { ready = true; });
        if (runUpdater(updater, small, [&](const QString &) { return ready; }) < 0)
            return 1;
        unpackBest = std::min(unpackBest, double(unpackClock.nsecsElapsed()) / 1e9);
        bool installed = false;
        QObject::connect(&updater, &Updater::installed, [&](const QString &, bool) { installed = true; });
        QElapsedTimer t;
        t.start();
        updater.install();
        const double install = double(t.nsecsElapsed()) / 1e9;
        if (!installed)
            return 1;
        installBest = std::min(installBest, install);

        const QString out = dir.filePath(QStringLiteral("bsdtar-out"));
        QDir(out).removeRecursively();
        QDir().mkpath(out);
        t.restart();
        if (!run(QStringLiteral("bsdtar"),
                 {QStringLiteral("-x"), QStringLiteral("-f"), zip, QStringLiteral("-C"), out}))
            return 1;
        bsdtarBest = std::min(bsdtarBest, double(t.nsecsElapsed()) / 1e9);
    }
    std::printf("release of %d files, %.1f MiB (zip %.1f MiB), best of 3:\n", fileCount,
                double(treeBytes) / MiB, double(zipSize) / MiB);
    std::printf("  updater unpack + check:     %.3f s\n", unpackBest);
    std::printf("  updater install (set aside + move, %d files): %.3f s\n", fileCount, installBest);
    std::printf("  updater unpack + install:   %.3f s\n", unpackBest + installBest);
    std::printf("  bsdtar -x alone:            %.3f s\n", bsdtarBest);
    std::printf("  ratio (unpack + install) / bsdtar: %.2f\n", (unpackBest + installBest) / bsdtarBest);
    cfg::resetForTesting();
    return 0;
}
