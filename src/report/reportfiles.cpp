#include "report/reportfiles.h"

#include "core/privacy.h"
#include "core/version.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSet>
#include <algorithm>

namespace report {

namespace {

bool cancelled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

QByteArray readHead(const QString &path, qint64 bytes, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.read(bytes) : QByteArray();
}

} // namespace

QString frameName(int n, const QString &suffix)
{
    return QStringLiteral("next_%1.%2").arg(n, 2, 10, QLatin1Char('0')).arg(suffix);
}

QImage loadPicture(const QString &path)
{
    // The reader keeps Qt's allocation limit: a picture past it is left out like a damaged one.
    QImageReader reader(path);
    return reader.read();
}

bool canWriteJpeg()
{
    static const bool available = QImageWriter::supportedImageFormats().contains("jpeg");
    return available;
}

QByteArray encodeJpeg(const QImage &image, int maxWidth, int quality)
{
    if (image.isNull() || !canWriteJpeg())
        return {};
    QImage picture =
        image.width() > maxWidth ? image.scaledToWidth(maxWidth, Qt::SmoothTransformation) : image;
    picture = picture.convertToFormat(QImage::Format_RGB888);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    return writer.write(picture) ? bytes : QByteArray();
}

QByteArray encodePng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    return writer.write(image) ? bytes : QByteArray();
}

QByteArray compress(const QByteArray &bytes)
{
    return qCompress(bytes, 9);
}

QStringList textureFiles(const QString &captureDir)
{
    QFileInfoList found =
        QDir(captureDir).entryInfoList({QStringLiteral("tex_*.bmp")}, QDir::Files, QDir::Name);
    std::stable_sort(found.begin(), found.end(),
                     [](const QFileInfo &a, const QFileInfo &b) { return a.size() < b.size(); });
    QStringList paths;
    for (const QFileInfo &info : std::as_const(found))
        paths << info.absoluteFilePath();
    return paths;
}

QString textureName(const QString &fileName)
{
    return QFileInfo(fileName).completeBaseName().left(TextureNameChars) + QStringLiteral(".png");
}

QByteArray anonymiseLog(const QByteArray &latin1)
{
    QString text = QString::fromLatin1(latin1);
    privacy::maskAddresses(text);
    privacy::maskUserFolders(text);
    return text.toLatin1();
}

bool readTail(const QString &path, qint64 bytes, QByteArray *out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size > bytes && !file.seek(size - bytes))
        return false;
    *out = file.read(bytes);
    return true;
}

QByteArray infoText(const ReportContext &c)
{
    const QString text =
        QStringLiteral("launcher %1\ngame %2\nsession %3\ncapture %4\nsent %5 UTC\n"
                       "display %6 %7, vsync %8\n")
            .arg(QString::fromLatin1(kLauncherVersion), c.gameId, QFileInfo(c.sessionDir).fileName(),
                 QFileInfo(c.captureDir).fileName(),
                 c.sentAt.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), c.displayMode,
                 c.displayResolution, c.vsync ? QStringLiteral("on") : QStringLiteral("off"));
    return text.toUtf8();
}

int partCount(qsizetype size)
{
    return int(qMax<qsizetype>(1, (size + PartBytes - 1) / PartBytes));
}

QList<QByteArray> splitParts(const QByteArray &bytes)
{
    QList<QByteArray> parts;
    const int count = partCount(bytes.size());
    for (int part = 0; part < count; ++part)
        parts << bytes.mid(qsizetype(part) * PartBytes, PartBytes);
    return parts;
}

QList<QJsonObject> reportMessages(const QString &reportId, const QString &gameId,
                                  const QList<ReportFile> &files)
{
    QList<QJsonObject> messages;
    for (const ReportFile &file : files) {
        const QList<QByteArray> parts = splitParts(file.bytes);
        for (int part = 0; part < parts.size(); ++part) {
            QJsonObject msg{{QStringLiteral("type"), QStringLiteral("report_file")},
                            {QStringLiteral("report"), reportId},
                            {QStringLiteral("game"), gameId},
                            {QStringLiteral("name"), file.name},
                            {QStringLiteral("part"), part},
                            {QStringLiteral("parts"), int(parts.size())},
                            {QStringLiteral("data"), QString::fromLatin1(parts.at(part).toBase64())}};
            if (file.compressed)
                msg.insert(QStringLiteral("zlib"), true);
            messages.append(msg);
        }
    }
    messages.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("report_done")},
                                {QStringLiteral("report"), reportId}});
    return messages;
}

QList<ReportFile> buildReportFiles(const ReportContext &context, const std::atomic<bool> *cancel,
                                   bool *jpegMissing)
{
    QList<ReportFile> files;
    const QDir capture(context.captureDir);
    if (jpegMissing)
        *jpegMissing = false;
    const auto picture = [&](const QString &file, const QString &name, int width, int quality) {
        const QImage image = loadPicture(capture.filePath(file));
        if (image.isNull())
            return;
        if (!canWriteJpeg()) {
            if (jpegMissing)
                *jpegMissing = true;
            return;
        }
        const QByteArray jpeg = encodeJpeg(image, width, quality);
        if (!jpeg.isEmpty())
            files << ReportFile{name, jpeg, false};
    };

    picture(QStringLiteral("final.bmp"), QStringLiteral("final.jpg"), FinalWidth, FinalQuality);
    for (int n = 0; n < FrameFiles && !cancelled(cancel); ++n)
        picture(frameName(n, QStringLiteral("bmp")), frameName(n, QStringLiteral("jpg")), FrameWidth,
                FrameQuality);
    if (cancelled(cancel))
        return files;

    bool ok = false;
    const QByteArray dump = readHead(capture.filePath(QStringLiteral("frame.txt")), DumpBytes, &ok);
    if (ok)
        files << ReportFile{QStringLiteral("frame.txt"), compress(dump), true};

    qint64 textureBytes = 0;
    QSet<QString> textureNames;
    for (const QString &path : textureFiles(context.captureDir)) {
        if (cancelled(cancel))
            return files;
        // Two long names may cut to the same one; the smaller texture keeps it.
        const QString name = textureName(path);
        if (textureNames.contains(name))
            continue;
        const QImage image = loadPicture(path);
        if (image.isNull())
            continue;
        const QByteArray png = encodePng(image);
        if (png.isEmpty())
            continue;
        if (textureBytes + png.size() > TextureBudget)
            break; // the first texture past the budget ends the list
        textureBytes += png.size();
        textureNames.insert(name);
        files << ReportFile{name, png, false};
    }

    QByteArray log;
    if (!context.sessionDir.isEmpty() &&
        readTail(QDir(context.sessionDir).filePath(QStringLiteral("game.log")), LogTailBytes, &log))
        files << ReportFile{QStringLiteral("game.log"), compress(anonymiseLog(log)), true};

    files << ReportFile{QStringLiteral("info.txt"), compress(infoText(context)), true};
    return files;
}

} // namespace report
