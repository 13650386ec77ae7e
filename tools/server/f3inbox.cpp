#include "f3inbox.h"
#include "connection.h"
#include "db.h"
#include "server.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>
#include <QtEndian>

#ifdef ORX_SERVER_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

bool validReportId(const QString &id)
{
    static const QRegularExpression re(QStringLiteral("^[0-9a-f]{16}$"));
    return re.match(id).hasMatch();
}

// File names come from the other side: plain names only, never paths or hidden files. Blanks and
// letters of any language are fine (a texture may be called that way). No colon: Qt takes a name
// starting with one for a path of its own (written relative to the working folder), and Windows
// for a drive or a stream.
bool validFileName(const QString &name)
{
    if (name.isEmpty() || name.size() > F3Inbox::MaxNameChars || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') ||
            c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            return false;
    return true;
}

// Unpacks Qt's compressed form (a 4-byte big-endian size, then a zlib stream) without ever holding
// more than the limit, so a small file that claims or inflates to gigabytes is refused.
bool unpack(const QByteArray &packed, qint64 limit, QByteArray &out)
{
    if (packed.size() < 4)
        return false;
    const quint32 size = qFromBigEndian<quint32>(packed.constData());
    if (size > limit)
        return false;
    if (size == 0 && packed.size() == 4) { // Qt's form of an empty file: the size alone
        out.clear();
        return true;
    }
#ifdef ORX_SERVER_HAVE_ZLIB
    out.resize(size);
    z_stream z = {};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.constData() + 4));
    z.avail_in = uInt(packed.size() - 4);
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(size);
    const int rc = inflate(&z, Z_FINISH);
    const bool ok = rc == Z_STREAM_END && z.total_out == size;
    inflateEnd(&z);
    return ok;
#else
    Q_UNUSED(out);
    return false;
#endif
}

} // namespace

F3Inbox::F3Inbox(const QString &dataDir, Db &db, qint64 reportLimit, qint64 accountBudget, qint64 total,
                 int days)
    : m_root(QDir(dataDir).filePath("reports")), m_db(db), m_reportLimit(reportLimit),
      m_accountBudget(accountBudget), m_total(total), m_days(days)
{
    expire();
    countFromDisk();
}

namespace {

qint64 folderBytes(const QString &folder)
{
    qint64 n = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        n += it.fileInfo().size();
    }
    return n;
}

} // namespace

void F3Inbox::countFromDisk()
{
    m_accountBytes.clear();
    m_totalBytes = 0;
    QSet<QString> known;
    for (const Db::StoredReport &r : m_db.storedReports("f3_report")) {
        const QString folder = QDir(r.folder).absolutePath();
        known.insert(folder);
        const qint64 n = folderBytes(folder);
        m_accountBytes[r.accountId] += n;
        m_totalBytes += n;
    }
    const QStringList folders = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int strays = 0;
    for (const QString &name : folders) {
        const QString folder = QDir(QDir(m_root).filePath(name)).absolutePath();
        if (!known.contains(folder) && QDir(folder).removeRecursively())
            ++strays;
    }
    if (strays > 0)
        serverLog(QStringLiteral("%1 report folders without a record deleted").arg(strays));
}

int F3Inbox::expire()
{
    const qint64 before = QDateTime::currentSecsSinceEpoch() - qint64(m_days) * 86400;
    int gone = 0;
    for (const Db::StoredReport &r : m_db.storedReports("f3_report", before)) {
        const qint64 n = folderBytes(r.folder);
        if (!QDir(r.folder).removeRecursively() || !m_db.removeReport(r.id))
            continue;
        m_accountBytes[r.accountId] -= qMin(n, m_accountBytes.value(r.accountId));
        m_totalBytes -= qMin(n, m_totalBytes);
        ++gone;
    }
    if (gone > 0)
        serverLog(QStringLiteral("%1 F3 reports older than %2 days deleted").arg(gone).arg(m_days));
    return gone;
}

bool F3Inbox::diskNearlyFull() const
{
    QStorageInfo disk(QFileInfo(m_root).absolutePath());
    if (!disk.isValid())
        return false;
    return disk.bytesAvailable() < FreeFloorBytes ||
           disk.bytesAvailable() < disk.bytesTotal() / 100 * FreeFloorPercent;
}

F3Inbox::~F3Inbox()
{
    // The workers finish first: their results, queued to m_context, then go with it.
    m_pool.waitForDone();
    const QList<int> ids = m_uploads.keys();
    for (int id : ids)
        forget(id);
}

void F3Inbox::forget(int accountId)
{
    const auto it = m_uploads.find(accountId);
    if (it == m_uploads.end())
        return;
    QDir(it->folder).removeRecursively();
    m_uploads.erase(it);
}

void F3Inbox::fail(Connection *c, int accountId, const QJsonObject &msg, const QString &text)
{
    forget(accountId);
    // The parts of a refused report still on their way must not start it over without the refused file.
    m_refused.insert(accountId, msg.value("report").toString());
    c->sendError(msg, "bad_report", text);
}

void F3Inbox::failToStore(Connection *c, int accountId, const QJsonObject &msg)
{
    // Half a report is no report: what was stored of it goes.
    forget(accountId);
    c->sendError(msg, "server_error", "The server cannot store reports right now.");
}

qint64 F3Inbox::room(int accountId, const Upload &u)
{
    // The uploads under way count against the total too, so many at once cannot pass it together.
    qint64 underWay = 0;
    for (const Upload &other : std::as_const(m_uploads))
        underWay += &other == &u ? 0 : other.bytes;
    const qint64 budgetLeft = m_accountBudget - m_accountBytes.value(accountId);
    const qint64 totalLeft = m_total - m_totalBytes - underWay;
    return qMin(qMin(m_reportLimit, budgetLeft), totalLeft) - u.bytes;
}

QString F3Inbox::limitText(int accountId, const Upload &u)
{
    qint64 underWay = 0;
    for (const Upload &other : std::as_const(m_uploads))
        underWay += &other == &u ? 0 : other.bytes;
    if (m_total - m_totalBytes - underWay <
        qMin(m_reportLimit, m_accountBudget - m_accountBytes.value(accountId)))
        return QStringLiteral("The server has no room for more reports right now.");
    if (m_reportLimit - u.bytes <= m_accountBudget - m_accountBytes.value(accountId) - u.bytes)
        return QStringLiteral("That report is larger than the server takes (%1 MB).")
            .arg(m_reportLimit / (1024 * 1024));
    return QStringLiteral("Your reports have used up the space the server keeps for one player (%1 MB).")
        .arg(m_accountBudget / (1024 * 1024));
}

void F3Inbox::handleFile(Connection *c, int accountId, const QString &accountName, const QJsonObject &msg)
{
    const QString id = msg.value("report").toString();
    const QString name = msg.value("name").toString();
    const int part = msg.value("part").toInt(-1), parts = msg.value("parts").toInt(-1);
    if (!validReportId(id))
        return fail(c, accountId, msg, "A report id is 16 lower-case hexadecimal digits.");
    if (!validFileName(name))
        return fail(c, accountId, msg, "A report file needs a plain file name.");
    if (parts < 1 || parts > MaxParts || part < 0 || part >= parts)
        return fail(c, accountId, msg, "The part numbers of that report file are wrong.");
    const QString data = msg.value("data").toString();
    if (data.size() > (MaxPartBytes + 2) / 3 * 4)
        return fail(c, accountId, msg, "A report part holds at most 11400 bytes.");
    const auto decoded =
        QByteArray::fromBase64Encoding(data.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() > MaxPartBytes)
        return fail(c, accountId, msg, "A report part is not Base64 of at most 11400 bytes.");

    if (m_refused.value(accountId) == id)
        return; // refused already, and told so
    Upload *u = m_uploads.contains(accountId) ? &m_uploads[accountId] : nullptr;
    if (u && u->id != id) {
        forget(accountId); // a new report replaces an unfinished one
        u = nullptr;
    }
    if (!u && diskNearlyFull()) {
        serverLog(QStringLiteral("F3 report refused: the data folder's disk is nearly full"));
        m_refused.insert(accountId, id);
        return c->sendError(msg, "server_error", "The server has no room for more reports right now.");
    }
    if (!u) {
        Upload fresh;
        fresh.id = id;
        fresh.game = msg.value("game").toString().left(32);
        const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd-hhmmss");
        fresh.folder = QDir(m_root).filePath(QStringLiteral("%1-%2-%3").arg(stamp, accountName, id));
        if (!QDir().mkpath(fresh.folder))
            return c->sendError(msg, "server_error", "The server cannot store reports right now.");
        u = &m_uploads.insert(accountId, fresh).value();
    }
    File &f = u->files[name];
    if (!u->order.contains(name)) {
        if (u->order.size() >= MaxFiles || part != 0)
            return fail(c, accountId, msg,
                        "Too many files in one report, or a file that does not start at part 0.");
        u->order << name;
        f.parts = parts;
        f.zlib = msg.value("zlib").toBool();
        // A hidden name: no sent name starts with a dot, so no file can take another's place.
        f.temporary = QDir(u->folder).filePath(QStringLiteral(".%1.part").arg(u->order.size()));
    }
    if (part != f.next || parts != f.parts)
        return fail(c, accountId, msg, "Report parts must come in order.");
    if (decoded.decoded.size() > room(accountId, *u))
        return fail(c, accountId, msg, limitText(accountId, *u));
    QFile out(f.temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append) ||
        out.write(decoded.decoded) != decoded.decoded.size() || !out.flush())
        return failToStore(c, accountId, msg);
    out.close();
    u->bytes += decoded.decoded.size();
    f.packed += decoded.decoded.size();
    ++f.next;
    if (f.next == f.parts) {
        QString error;
        bool tooBig = false;
        // The packed bytes give way to the unpacked ones, which must fit in what is left.
        u->bytes -= f.packed;
#ifdef ORX_SERVER_HAVE_ZLIB
        if (f.zlib)
            return inflateOffThread(c, accountId, msg, name, room(accountId, *u));
#endif
        if (!finishFile(*u, name, room(accountId, *u), &tooBig, &error)) {
            if (tooBig)
                return fail(c, accountId, msg, limitText(accountId, *u));
            if (error.isEmpty())
                return failToStore(c, accountId, msg);
            return fail(c, accountId, msg, error);
        }
    }
}

#ifdef ORX_SERVER_HAVE_ZLIB
namespace {

struct Inflated {
    qint64 bytes = -1; // stored, or -1
    bool tooBig = false;
    bool notZlib = false;
};

// Runs on a worker: reads the packed file, unpacks it within `room` and writes it in place.
Inflated inflateFile(const QString &temporary, const QString &final, qint64 room)
{
    Inflated r;
    QFile in(temporary);
    if (!in.open(QIODevice::ReadOnly))
        return r;
    const QByteArray packed = in.readAll();
    in.close();
    QFile::remove(temporary);
    QByteArray plain;
    if (!unpack(packed, qMax<qint64>(0, room), plain)) {
        // Too big unpacked for what is left, or not zlib at all.
        if (packed.size() >= 4 && qint64(qFromBigEndian<quint32>(packed.constData())) > room)
            r.tooBig = true;
        else
            r.notZlib = true;
        return r;
    }
    QFile out(final);
    if (out.open(QIODevice::WriteOnly) && out.write(plain) == plain.size() && out.flush())
        r.bytes = plain.size();
    return r;
}

} // namespace

void F3Inbox::inflateOffThread(Connection *c, int accountId, const QJsonObject &msg, const QString &name,
                               qint64 room)
{
    const Upload &u = m_uploads[accountId];
    const QString id = u.id, temporary = u.files.value(name).temporary;
    const QString final = u.folder + QLatin1Char('/') + name;
    c->hold();
    QPointer<Connection> conn(c);
    m_pool.start([=, this] {
        const Inflated r = inflateFile(temporary, final, room);
        QMetaObject::invokeMethod(
            &m_context,
            [=, this] {
                if (!conn)
                    return;
                conn->release();
                const auto it = m_uploads.find(accountId);
                if (it == m_uploads.end() || it->id != id)
                    return; // dropped meanwhile, folder and all
                if (r.bytes >= 0) {
                    it->bytes += r.bytes;
                    return;
                }
                if (r.tooBig)
                    return fail(conn, accountId, msg, limitText(accountId, *it));
                if (r.notZlib)
                    return fail(conn, accountId, msg, QStringLiteral("%1 is not zlib data.").arg(name));
                failToStore(conn, accountId, msg);
            },
            Qt::QueuedConnection);
    });
}
#endif

// Puts a complete file in place: unpacked when it came packed, counted in `u.bytes` as stored.
// False with `error` empty when storing failed, or with a sentence when the file is refused.
bool F3Inbox::finishFile(Upload &u, const QString &name, qint64 room, bool *tooBig, QString *error)
{
    const File f = u.files.value(name);
    const QString final = u.folder + QLatin1Char('/') + name;
    if (!f.zlib) {
        if (!QFile::rename(f.temporary, final))
            return false;
        u.bytes += f.packed;
        return true;
    }
#ifndef ORX_SERVER_HAVE_ZLIB
    // Built without zlib: the file is kept as it came (Qt's compressed form), never inflated blindly.
    Q_UNUSED(room);
    Q_UNUSED(tooBig);
    if (!QFile::rename(f.temporary, final + ".qz"))
        return false;
    u.bytes += f.packed;
    return true;
#else
    QFile in(f.temporary);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray packed = in.readAll();
    in.close();
    QFile::remove(f.temporary);
    QByteArray plain;
    if (!unpack(packed, qMax<qint64>(0, room), plain)) {
        // Too big unpacked for what is left, or not zlib at all.
        if (packed.size() >= 4 && qint64(qFromBigEndian<quint32>(packed.constData())) > room)
            *tooBig = true;
        else
            *error = QStringLiteral("%1 is not zlib data.").arg(name);
        return false;
    }
    QFile out(final);
    if (!out.open(QIODevice::WriteOnly) || out.write(plain) != plain.size() || !out.flush())
        return false;
    u.bytes += plain.size();
    return true;
#endif
}

void F3Inbox::handleDone(Connection *c, int accountId, const QJsonObject &msg)
{
    const auto it = m_uploads.find(accountId);
    if (m_refused.value(accountId) == msg.value("report").toString())
        return c->sendError(msg, "bad_report", "That report was refused.");
    if (it == m_uploads.end() || it->id != msg.value("report").toString())
        return c->sendError(msg, "bad_report", "The server has no files of that report.");
    for (const QString &name : std::as_const(it->order)) {
        const File &f = it->files.value(name);
        if (f.next != f.parts)
            return fail(c, accountId, msg, QStringLiteral("%1 is not complete.").arg(name));
    }
    const QJsonObject record{{"report", it->id},
                             {"game", it->game},
                             {"folder", QDir::toNativeSeparators(it->folder)},
                             {"files", QJsonArray::fromStringList(it->order)},
                             {"bytes", it->bytes}};
    if (!m_db.storeReport(accountId, "f3_report", record)) {
        // Not recorded, so not kept: an untracked folder would never be counted or cleared.
        return failToStore(c, accountId, msg);
    }
    m_accountBytes[accountId] += it->bytes;
    m_totalBytes += it->bytes;
    serverLog(QStringLiteral("F3 report %1 stored in %2").arg(it->id, QDir::toNativeSeparators(it->folder)));
    const QString id = it->id;
    m_uploads.erase(it); // kept on disk
    c->reply(msg, QJsonObject{{"type", "report_saved"}, {"report", id}});
}
