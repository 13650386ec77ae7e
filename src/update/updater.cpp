#include "updater.h"

#include "core/cfg.h"
#include "core/log.h"
#include "core/version.h"
#include "platform/platform.h"
#include "platform/unpack.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>

namespace {

const QString launcherVersion = QString::fromLatin1(kLauncherVersion);

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A version's numbers compared as digit strings, so that no number is too long to compare.
int compareNumbers(QString a, QString b)
{
    while (a.size() > 1 && a.startsWith(QLatin1Char('0')))
        a.remove(0, 1);
    while (b.size() > 1 && b.startsWith(QLatin1Char('0')))
        b.remove(0, 1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

bool existsOrLinks(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

Updater::Offer Updater::Offer::fromJson(const QJsonObject &offer)
{
    Offer o;
    o.version = offer.value(QStringLiteral("version")).toString();
    o.build = offer.value(QStringLiteral("build")).toString();
    // Past what a qint64 holds the conversion would be undefined; no offer may be that large anyway.
    const double size = offer.value(QStringLiteral("size")).toDouble(0);
    o.size = size > 0 && size <= double(maxSize) ? qint64(size) : 0;
    o.sha256 = offer.value(QStringLiteral("sha256")).toString();
    o.url = offer.value(QStringLiteral("url")).toString();
    o.notes = offer.value(QStringLiteral("notes")).toString();
    o.page = offer.value(QStringLiteral("page")).toString();
    return o;
}

Updater::Updater(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent), m_network(network ? network : new QNetworkAccessManager(this)),
      m_stallTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, &Updater::stalled);
}

Updater::~Updater()
{
    stopReply();
    if (QProcess *p = m_unpack.data()) {
        p->disconnect(this);
        p->kill();
        p->waitForFinished(3000);
    }
}

// --- offers -----------------------------------------------------------------------------------

int Updater::compareVersions(const QString &a, const QString &b)
{
    const QStringList x = a.split(QLatin1Char('.'));
    const QStringList y = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(x.size(), y.size()); ++i) {
        const int c = compareNumbers(i < x.size() ? x[i] : QStringLiteral("0"),
                                     i < y.size() ? y[i] : QStringLiteral("0"));
        if (c != 0)
            return c;
    }
    return 0;
}

bool Updater::offerUrlAllowed(const QString &url)
{
    static const QRegularExpression loopback(
        QStringLiteral("^http://(127\\.0\\.0\\.1|localhost)(:[0-9]+)?/"));
    return url.size() <= maxUrlLength &&
           (url.startsWith(QLatin1String("https://")) || loopback.match(url).hasMatch());
}

bool Updater::isOtherBuild(const QJsonObject &offer)
{
    const QString build = offer.value(QStringLiteral("build")).toString();
    const QString mine = cfg::buildLabel();
    return offer.value(QStringLiteral("version")).toString() == launcherVersion && !build.isEmpty() &&
           !mine.isEmpty() && build != mine;
}

QJsonObject Updater::acceptOffer(const QJsonValue &value)
{
    if (!value.isObject())
        return {};
    const QJsonObject offer = value.toObject();
    // ASCII digits only: a version is compared number by number.
    static const QRegularExpression versionRule(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    static const QRegularExpression shaRule(QStringLiteral("^[0-9a-f]{64}$"));
    const QString version = offer.value(QStringLiteral("version")).toString();
    if (!versionRule.match(version).hasMatch())
        return {};
    const int c = compareVersions(version, launcherVersion);
    if (c < 0 || (c == 0 && !isOtherBuild(offer)))
        return {};
    if (!offerUrlAllowed(offer.value(QStringLiteral("url")).toString()))
        return {};
    if (!shaRule.match(offer.value(QStringLiteral("sha256")).toString()).hasMatch())
        return {};
    // A whole number of bytes: a fraction could never be received.
    const QJsonValue size = offer.value(QStringLiteral("size"));
    const double bytes = size.toDouble(-1);
    if (!size.isDouble() || bytes <= 0 || bytes > double(maxSize) || bytes != double(qint64(bytes)))
        return {};
    return offer;
}

QString Updater::canUpdate()
{
    if (!cfg::isPackaged())
        return tr("A source build updates with git, not here.");
    QFile probe(QDir(cfg::appDir()).filePath(QStringLiteral("update-write-test.tmp")));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.close();
        probe.remove();
        return {};
    }
    return tr("The launcher cannot write to its folder (%1). Move the ORX-Rovivi folder somewhere you can "
              "write to, such as Documents, or update by hand.")
        .arg(native(cfg::appDir()));
}

// --- paths ------------------------------------------------------------------------------------

QString Updater::updateDir()
{
    return QDir(cfg::appDir()).filePath(QStringLiteral("update"));
}

QString Updater::stageDir()
{
    return QDir(updateDir()).filePath(QStringLiteral("stage"));
}

QString Updater::archivePath(const QString &version)
{
    return QDir(updateDir()).filePath(QStringLiteral("ORX-Rovivi-%1.zip").arg(version));
}

QString Updater::oldFilesPath()
{
    return QDir(updateDir()).filePath(QStringLiteral("old-files.txt"));
}

// --- download ---------------------------------------------------------------------------------

void Updater::start(const QJsonObject &offerObject)
{
    if (m_active)
        return;
    m_offerJson = offerObject;
    m_offer = Offer::fromJson(offerObject);
    m_active = true;
    m_ready = false;
    m_stalled = false;
    m_writeError.clear();
    m_received = 0;
    m_hash.reset();

    QDir(stageDir()).removeRecursively();
    QDir().mkpath(updateDir());

    const QString part = archivePath(m_offer.version) + QStringLiteral(".part");
    m_archive = std::make_unique<QFile>(part);
    // Unbuffered: a full disk shows at the write that meets it, not at some later flush.
    if (!m_archive->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        const QString reason = m_archive->errorString();
        fail(tr("Could not write %1.").arg(native(part)) + QLatin1Char(' ') + reason);
        return;
    }

    QNetworkRequest request{QUrl(m_offer.url)};
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("ORX-Rovivi/%1").arg(launcherVersion));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = m_network->get(request);
    // Bounded: the transfer waits while hashing and writing catch up, instead of holding the
    // rest of the archive in memory.
    reply->setReadBufferSize(4 * 1024 * 1024);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply == m_reply)
            readData();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply == m_reply)
            downloadFinished();
        else
            reply->deleteLater();
    });
    m_stallTimer->start(m_timing.stallMs);

    appendLog(QStringLiteral("update: downloading %1 from %2").arg(m_offer.version, m_offer.url));
    emit progress(tr("Downloading %1...").arg(m_offer.version), 0);
}

void Updater::readData()
{
    QNetworkReply *reply = m_reply.data();
    if (!reply || !reply->isOpen())
        return;
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return;
    m_stallTimer->start(m_timing.stallMs);
    const bool refusing = m_received > m_offer.size || !m_writeError.isEmpty();
    m_received += data.size();
    if (refusing)
        return; // the transfer is being aborted
    if (m_received <= m_offer.size) {
        m_hash.addData(data);
        const qint64 written = m_archive->write(data);
        if (written != data.size()) {
            // errno still holds the reason of the short or failed write.
            const int code = errno;
            m_writeError =
                written < 0 || code == 0 ? m_archive->errorString() : platform::systemErrorText(code);
            if (m_writeError.isEmpty())
                m_writeError = platform::systemErrorText(code);
        }
    }
    if (m_received > m_offer.size || !m_writeError.isEmpty()) {
        reply->abort(); // finishes at once, into downloadFinished
        return;
    }
    constexpr qint64 mib = 1024 * 1024;
    const int percent = m_offer.size < 1 ? -1 : int(qMin<qint64>(100, m_received * 100 / m_offer.size));
    emit progress(
        tr("Downloading %1: %2 of %3 MB").arg(m_offer.version).arg(m_received / mib).arg(m_offer.size / mib),
        percent);
}

void Updater::stalled()
{
    if (!m_reply)
        return;
    m_stalled = true;
    m_reply->abort();
}

void Updater::downloadFinished()
{
    readData();
    QNetworkReply *reply = m_reply.data();
    m_reply = nullptr;
    m_stallTimer->stop();
    const QNetworkReply::NetworkError error = reply ? reply->error() : QNetworkReply::NoError;
    const QString errorText = reply ? reply->errorString() : QString();
    if (reply) {
        reply->disconnect(this);
        reply->deleteLater();
    }
    if (m_archive)
        m_archive->close();
    if (!m_active)
        return;

    const QString part = archivePath(m_offer.version) + QStringLiteral(".part");
    if (!m_writeError.isEmpty()) {
        fail(tr("Could not write %1.").arg(native(part)) + QLatin1Char(' ') + m_writeError);
        return;
    }
    if (m_stalled) {
        fail(tr("The download failed: no data for %1 s").arg(m_timing.stallMs / 1000));
        return;
    }
    if (error != QNetworkReply::NoError && m_received <= m_offer.size) {
        fail(tr("The download failed: %1").arg(errorText));
        return;
    }
    const QString sha = QString::fromLatin1(m_hash.result().toHex());
    if (m_received != m_offer.size || sha != m_offer.sha256) {
        appendLog(QStringLiteral("update: got %1 bytes, SHA-256 %2; expected %3, %4")
                      .arg(m_received)
                      .arg(sha)
                      .arg(m_offer.size)
                      .arg(m_offer.sha256));
        fail(tr("The download is not the release the server named (its size or SHA-256 differs). Nothing was "
                "changed."));
        return;
    }
    const QString final = archivePath(m_offer.version);
    if (existsOrLinks(final))
        QFile::remove(final);
    if (!m_archive->rename(final)) {
        fail(tr("Could not write %1.").arg(native(final)) + QLatin1Char(' ') + m_archive->errorString());
        return;
    }
    appendLog(QStringLiteral("update: %1 downloaded and checked (SHA-256 %2)").arg(m_offer.version, sha));
    startUnpacking();
}

// --- unpacking --------------------------------------------------------------------------------

void Updater::startUnpacking()
{
    emit progress(tr("Unpacking %1...").arg(m_offer.version), -1);
    unpackWith(0);
}

void Updater::unpackWith(int tool)
{
    const QString archive = archivePath(m_offer.version);
    const QList<platform::Unpacker> tools = platform::archiveUnpackers(archive, stageDir());
    if (tool >= tools.size()) {
        fail(tr("Could not unpack the release. Nothing was changed."));
        return;
    }
    // Each tool starts from an empty stage: nothing a failed one left behind can pass the check.
    QDir(stageDir()).removeRecursively();
    QDir().mkpath(stageDir());

    auto *process = new QProcess(this);
    m_unpack = process;
    process->setProgram(tools[tool].program);
    process->setArguments(tools[tool].arguments);
    // Nothing to answer: a tool that asks (unzip on a full disk: "Continue? (y/n)") reads the end
    // of its input and gives up instead of waiting for ever.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    connect(process, &QProcess::finished, this,
            [this, process, tool](int exitCode, QProcess::ExitStatus status) {
                if (process != m_unpack)
                    return;
                m_unpack = nullptr;
                process->deleteLater();
                unpackFinished(tool, status == QProcess::NormalExit ? exitCode : -1);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process, tool](QProcess::ProcessError error) {
        // A crash also ends in finished; only a start that never happened ends here.
        if (error != QProcess::FailedToStart || process != m_unpack)
            return;
        m_unpack = nullptr;
        process->deleteLater();
        unpackFinished(tool, -1);
    });
    process->start();
}

bool Updater::stageIsTheRelease() const
{
    const QDir root(QDir(stageDir()).filePath(QStringLiteral("ORX-Rovivi")));
    const QString launcher = root.filePath(platform::launcherFileName());
    if (!QFileInfo(launcher).isFile())
        return false;
    QFile version(root.filePath(QStringLiteral("VERSION.txt")));
    if (!version.open(QIODevice::ReadOnly))
        return false;
    QString line = QString::fromUtf8(version.readLine());
    if (line.startsWith(QChar(0xFEFF)))
        line.remove(0, 1);
    if (!line.startsWith(QStringLiteral("ORX-Rovivi %1,").arg(m_offer.version)))
        return false;
    platform::makeExecutable(launcher);
    return true;
}

void Updater::unpackFinished(int tool, int exitCode)
{
    if (!m_active)
        return; // cancelled meanwhile
    if (exitCode == 0 && stageIsTheRelease()) {
        m_ready = true;
        emit progress(tr("%1 is ready to install.").arg(m_offer.version), 100);
        emit readyToInstall();
        return;
    }
    const QList<platform::Unpacker> tools =
        platform::archiveUnpackers(archivePath(m_offer.version), stageDir());
    appendLog(QStringLiteral("update: unpacking with %1 failed (exit %2)")
                  .arg(tools.value(tool).name)
                  .arg(exitCode));
    unpackWith(tool + 1);
}

// --- install ----------------------------------------------------------------------------------

namespace {

struct Moved {
    QString target;
    QString source;
    QString setAside; // empty: nothing was there before
};

// ".orx-old", or when that is taken by a file that cannot be deleted, ".orx-old2", 3, ...
QString setAsideName(const QString &target)
{
    const QString base = target + QStringLiteral(".orx-old");
    for (int n = 1; n < 10000; ++n) {
        const QString name = n == 1 ? base : base + QString::number(n);
        if (!existsOrLinks(name) || QFile::remove(name))
            return name;
    }
    return {};
}

} // namespace

void Updater::install()
{
    if (!m_active || !m_ready)
        return;
    emit progress(tr("Installing %1...").arg(m_offer.version), -1);

    const QString app = QDir(cfg::appDir()).absolutePath();
    const QDir root(QDir(stageDir()).filePath(QStringLiteral("ORX-Rovivi")));
    QStringList sources;
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        sources << it.next();
    sources.sort(Qt::CaseSensitive);

    QList<Moved> done;
    QStringList createdFolders; // in the order made, so undone last first
    QStringList setAside;
    QString error;
    for (const QString &source : std::as_const(sources)) {
        const QString relative = root.relativeFilePath(source);
        const QString target = QDir(app).filePath(relative);
        // The folders this file needs that are not there yet: roll-back removes them again.
        QStringList missing;
        for (QString dir = QFileInfo(target).absolutePath();
             dir.size() > app.size() && !QFileInfo::exists(dir); dir = QFileInfo(dir).absolutePath())
            missing.prepend(dir);
        for (const QString &dir : std::as_const(missing)) {
            if (!QDir().mkdir(dir))
                break;
            createdFolders << dir;
        }
        Moved record{target, source, QString()};
        int code = 0;
        bool ok = true;
        if (existsOrLinks(target)) {
            record.setAside = setAsideName(target);
            ok = !record.setAside.isEmpty() && platform::moveReplacing(target, record.setAside, &code);
            if (record.setAside.isEmpty())
                code = EEXIST;
            if (!ok)
                record.setAside.clear();
        }
        if (ok && !platform::moveReplacing(source, target, &code)) {
            ok = false;
            if (!record.setAside.isEmpty())
                platform::moveReplacing(record.setAside, target);
        }
        if (!ok) {
            error = QStringLiteral("%1: %2").arg(native(relative), platform::systemErrorText(code));
            break;
        }
        done << record;
        if (!record.setAside.isEmpty())
            setAside << record.setAside;
    }

    if (!error.isEmpty()) {
        for (qsizetype i = done.size() - 1; i >= 0; --i) {
            platform::moveReplacing(done[i].target, done[i].source);
            if (!done[i].setAside.isEmpty())
                platform::moveReplacing(done[i].setAside, done[i].target);
        }
        for (qsizetype i = createdFolders.size() - 1; i >= 0; --i)
            QDir().rmdir(createdFolders[i]);
        appendLog(QStringLiteral("update: installing failed at %1; every file put back").arg(error));
        fail(
            tr("Could not replace %1. Nothing was changed: try again once nothing uses that file (a game, an "
               "antivirus scan).")
                .arg(error));
        return;
    }

    // Files an earlier install set aside and the next start could not delete stay listed.
    QStringList listed = setAside;
    {
        QFile earlier(oldFilesPath());
        if (earlier.open(QIODevice::ReadOnly)) {
            for (const QString &line : QString::fromUtf8(earlier.readAll()).split(QLatin1Char('\n'))) {
                const QString path = line.trimmed();
                if (!path.isEmpty() && !listed.contains(path) && existsOrLinks(path))
                    listed << path;
            }
        }
    }
    QString writeError;
    if (!platform::writeFileAtomically(oldFilesPath(), listed.join(QLatin1Char('\n')).toUtf8(), &writeError))
        appendLog(QStringLiteral("update: %1").arg(writeError));
    QDir(stageDir()).removeRecursively();
    if (m_archive)
        m_archive->remove();
    appendLog(QStringLiteral("update: %1 installed (%2 files replaced), starting it")
                  .arg(m_offer.version)
                  .arg(setAside.size()));

    const bool started = QProcess::startDetached(
        QDir(app).filePath(platform::launcherFileName()),
        {QStringLiteral("--updated"), launcherVersion, QStringLiteral("--config"), cfg::settingsPath()}, app);
    if (!started)
        appendLog(QStringLiteral("update: the new launcher did not start"));
    m_active = false;
    m_ready = false;
    m_archive.reset();
    emit installed(m_offer.version, started);
}

// --- failing, cancelling, clean-up --------------------------------------------------------------

void Updater::stopReply()
{
    m_stallTimer->stop();
    QNetworkReply *reply = m_reply.data();
    m_reply = nullptr;
    if (!reply)
        return;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void Updater::closeArchive()
{
    if (m_archive)
        m_archive->close();
}

void Updater::stopUnpack()
{
    if (QProcess *p = m_unpack.data()) {
        m_unpack = nullptr;
        p->disconnect(this);
        p->kill();
        p->deleteLater();
    }
}

void Updater::fail(const QString &message)
{
    m_active = false;
    m_ready = false;
    stopReply();
    stopUnpack();
    if (m_archive) {
        m_archive->close();
        m_archive->remove();
        m_archive.reset();
    }
    QDir(stageDir()).removeRecursively();
    appendLog(QStringLiteral("update: %1").arg(message));
    emit failed(message);
}

void Updater::cancel()
{
    if (!m_active)
        return;
    m_active = false;
    m_ready = false;
    stopReply();
    stopUnpack();
    closeArchive();
    QDir(stageDir()).removeRecursively();
    appendLog(QStringLiteral("update: %1 cancelled").arg(m_offer.version));
}

void Updater::cleanUpOldFiles()
{
    QFile list(oldFilesPath());
    if (!list.open(QIODevice::ReadOnly)) {
        // A download in progress lives in "update" too.
        if (!m_active && QFileInfo(updateDir()).isDir() && QDir(updateDir()).removeRecursively())
            appendLog(QStringLiteral("update: an unfinished update's files deleted"));
        return;
    }
    const QStringList lines = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'));
    list.close();

    const QString app = QDir(cfg::appDir()).absolutePath() + QLatin1Char('/');
    int deleted = 0;
    QStringList keep;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        // Cleaned first: "app/../elsewhere.orx-old" is not in the application folder.
        const QString path = QDir::cleanPath(QDir::fromNativeSeparators(line));
        if (!path.startsWith(app, Qt::CaseInsensitive) ||
            !QFileInfo(path).fileName().contains(QLatin1String(".orx-old")))
            continue;
        if (!existsOrLinks(path) || QFile::remove(path))
            ++deleted;
        else
            keep << line;
    }
    if (!keep.isEmpty()) {
        platform::writeFileAtomically(oldFilesPath(), keep.join(QLatin1Char('\n')).toUtf8());
        appendLog(
            QStringLiteral("update: %1 old file(s) deleted, %2 still in use").arg(deleted).arg(keep.size()));
        return;
    }
    if (m_active)
        QFile::remove(oldFilesPath()); // the rest of "update" belongs to the update in progress
    else
        QDir(updateDir()).removeRecursively();
    appendLog(QStringLiteral("update: %1 old file(s) deleted").arg(deleted));
}

void Updater::scheduleCleanUpsAfterRestart()
{
    for (int ms : std::as_const(m_timing.cleanUpAfterRestartMs))
        QTimer::singleShot(ms, this, &Updater::cleanUpOldFiles);
}
