#include "capture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QTimer>
#include <functional>

namespace {

// A small fast generator: the pictures only need to look busy, the same for the same seed.
struct Noise {
    quint32 state;
    explicit Noise(quint32 seed) : state(seed ? seed : 0x9e3779b9u) {}
    quint32 next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

bool readSize(const QString &text, QSize &size)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okW = false, okH = false;
    if (parts.size() != 2)
        return false;
    const int w = parts.at(0).toInt(&okW), h = parts.at(1).toInt(&okH);
    if (!okW || !okH || w < 1 || h < 1 || w > 16384 || h > 16384)
        return false;
    size = QSize(w, h);
    return true;
}

// Writes under a temporary name, then renames, so the launcher never reads half a file.
bool writeWhole(const QString &path, const std::function<bool(QFile &)> &fill)
{
    const QString temporary = path + QStringLiteral(".writing");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !fill(file)) {
        file.remove();
        return false;
    }
    file.close();
    QFile::remove(path);
    return QFile::rename(temporary, path);
}

bool writeBmp(const QString &path, const QImage &image)
{
    return writeWhole(path, [&image](QFile &file) { return image.save(&file, "BMP"); });
}

// A frame dump reads like the game's: one draw call per line.
bool writeDump(const QString &path, qint64 bytes, quint32 seed)
{
    return writeWhole(path, [bytes, seed](QFile &file) {
        Noise noise(seed);
        QByteArray chunk;
        qint64 written = 0;
        quint32 call = 0;
        while (written < bytes) {
            chunk.clear();
            while (chunk.size() < 65536) {
                const quint32 r = noise.next();
                chunk += QByteArrayLiteral("draw ") + QByteArray::number(call++) +
                         QByteArrayLiteral(" prim=") + QByteArray::number(r % 5) +
                         QByteArrayLiteral(" verts=") + QByteArray::number((r >> 3) % 3000) +
                         QByteArrayLiteral(" tex=0x") + QByteArray::number(r >> 8, 16) + '\n';
            }
            const qint64 take = qMin<qint64>(chunk.size(), bytes - written);
            if (file.write(chunk.constData(), take) != take)
                return false;
            written += take;
        }
        return true;
    });
}

} // namespace

bool parseCaptureOption(const QStringList &args, qsizetype &i, CaptureOptions &o, bool *handled,
                        QString &error)
{
    const QString &a = args.at(i);
    *handled = true;
    const auto value = [&](QString &out) {
        if (i + 1 >= args.size()) {
            error = QStringLiteral("%1 needs a value").arg(a);
            return false;
        }
        out = args.at(++i);
        return true;
    };
    const auto size = [&](QSize &out) {
        QString v;
        if (!value(v))
            return false;
        if (!readSize(v, out)) {
            error = QStringLiteral("%1 needs WIDTHxHEIGHT, not \"%2\"").arg(a, v);
            return false;
        }
        return true;
    };
    const auto number = [&](qint64 &out, qint64 max) {
        QString v;
        if (!value(v))
            return false;
        bool ok = false;
        out = v.toLongLong(&ok);
        if (!ok || out < 0 || out > max) {
            error = QStringLiteral("%1 needs a number from 0 to %2, not \"%3\"").arg(a).arg(max).arg(v);
            return false;
        }
        return true;
    };
    if (a == QLatin1String("--capture-final"))
        return size(o.finalSize);
    if (a == QLatin1String("--capture-frame"))
        return size(o.frameSize);
    if (a == QLatin1String("--capture-dump"))
        return number(o.dumpBytes, 1LL << 30);
    if (a == QLatin1String("--capture-noise")) {
        qint64 n = 0;
        if (!number(n, 255))
            return false;
        o.noise = int(n);
        return true;
    }
    if (a == QLatin1String("--capture-partial")) {
        o.partial = true;
        return true;
    }
    if (a == QLatin1String("--capture-tex")) {
        QString v;
        if (!value(v))
            return false;
        o.textures.clear();
        // NAME=WxH,...; a "+" in a name stands for a blank (the options are split at blanks).
        for (const QString &item : v.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const qsizetype eq = item.lastIndexOf(QLatin1Char('='));
            CaptureOptions::Texture t;
            t.name = item.left(eq).replace(QLatin1Char('+'), QLatin1Char(' '));
            if (eq < 1 || !readSize(item.mid(eq + 1), t.size) || t.name.contains(QLatin1Char('/'))) {
                error = QStringLiteral("--capture-tex needs NAME=WxH,..., not \"%1\"").arg(item);
                return false;
            }
            o.textures << t;
        }
        return true;
    }
    *handled = false;
    return true;
}

QImage drawPicture(QSize size, quint32 seed, int noise)
{
    QImage image(size, QImage::Format_RGB32);
    Noise random(seed * 2654435761u + 1);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient sky(0, 0, size.width(), size.height());
        sky.setColorAt(0, QColor::fromRgb(random.next() | 0xff000000u));
        sky.setColorAt(1, QColor::fromRgb(random.next() | 0xff000000u));
        painter.fillRect(image.rect(), sky);
        for (int n = 0; n < 24; ++n) {
            const int w = int(random.next() % quint32(qMax(1, size.width() / 3))) + 1;
            const int h = int(random.next() % quint32(qMax(1, size.height() / 3))) + 1;
            const QRect r(int(random.next() % quint32(size.width())),
                          int(random.next() % quint32(size.height())), w, h);
            QRadialGradient glow(r.center(), qMax(w, h));
            glow.setColorAt(0, QColor::fromRgb(random.next() | 0xff000000u));
            glow.setColorAt(1, QColor::fromRgba(random.next() & 0x80ffffffu));
            painter.setBrush(glow);
            painter.setPen(QPen(QColor::fromRgb(random.next()), 3));
            if (n % 3 == 0)
                painter.drawEllipse(r);
            else if (n % 3 == 1)
                painter.drawRect(r);
            else
                painter.drawPolygon(QPolygon({r.topLeft(), r.bottomRight(), QPoint(r.left(), r.bottom())}));
        }
    }
    if (noise > 0) {
        // The low bits of every channel flipped at random: cheap, and as hard on a JPEG or PNG
        // encoder as real sensor noise.
        int bits = 0;
        while ((1 << bits) <= noise && bits < 8)
            ++bits;
        const quint32 mask = quint32((1 << bits) - 1) * 0x010101u;
        for (int y = 0; y < size.height(); ++y) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < size.width(); ++x)
                line[x] ^= random.next() & mask;
        }
    }
    return image;
}

struct CaptureWriter::Running {
    QString folder;
    quint32 seed = 0;
    int next = 0;
    int last = 0; // frames written: 0 .. last-1
    QTimer *timer = nullptr;
};

CaptureWriter::CaptureWriter(const QString &root, const CaptureOptions &options, QObject *parent)
    : QObject(parent), m_root(root), m_options(options)
{
}

CaptureWriter::~CaptureWriter()
{
    qDeleteAll(m_running);
}

void CaptureWriter::capture(bool partial)
{
    if (m_root.isEmpty()) {
        emit logLine(QStringLiteral("capture: no capture folder (ORX_CAPTURE_DIR is not set)"));
        return;
    }
    // Named by the time, like the game's; two captures in the same millisecond get a number.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz"));
    QString folder = QDir(m_root).filePath(stamp);
    for (int n = 2; QFileInfo::exists(folder); ++n)
        folder = QDir(m_root).filePath(QStringLiteral("%1-%2").arg(stamp).arg(n));
    if (!QDir().mkpath(folder)) {
        emit logLine(QStringLiteral("capture: cannot make %1").arg(QDir::toNativeSeparators(folder)));
        return;
    }
    auto *run = new Running;
    m_running << run;
    run->folder = folder;
    run->seed = ++m_count * 7919u;
    run->last = partial || m_options.partial ? 19 : 20;
    const QDir dir(folder);
    bool ok = writeBmp(dir.filePath(QStringLiteral("final.bmp")),
                       drawPicture(m_options.finalSize, run->seed, m_options.noise));
    ok = writeDump(dir.filePath(QStringLiteral("frame.txt")), m_options.dumpBytes, run->seed) && ok;
    quint32 n = 0;
    for (const CaptureOptions::Texture &t : std::as_const(m_options.textures))
        ok = writeBmp(dir.filePath(t.name + QStringLiteral(".bmp")),
                      drawPicture(t.size, run->seed + 100 + ++n, m_options.noise)) &&
             ok;
    // The game's own bookkeeping, which a report does not carry.
    ok = writeWhole(dir.filePath(QStringLiteral("capture.json")),
                    [](QFile &f) { return f.write("{\"renderer\":\"testgame\"}\n") > 0; }) &&
         ok;
    if (!ok)
        emit logLine(QStringLiteral("capture: a file of %1 could not be written")
                         .arg(QDir::toNativeSeparators(folder)));
    run->timer = new QTimer(this);
    run->timer->setInterval(m_options.frameMs);
    connect(run->timer, &QTimer::timeout, this, [this, run] { writeFrame(run); });
    run->timer->start();
}

void CaptureWriter::writeFrame(Running *run)
{
    const QString name = QStringLiteral("next_%1.bmp").arg(run->next, 2, 10, QLatin1Char('0'));
    writeBmp(QDir(run->folder).filePath(name),
             drawPicture(m_options.frameSize, run->seed + quint32(run->next) + 1, m_options.noise));
    if (++run->next < run->last)
        return;
    emit logLine(QStringLiteral("capture: saved to %1%2")
                     .arg(QDir::toNativeSeparators(run->folder),
                          run->last < 20 ? QStringLiteral(" (stopped before its last frame)") : QString()));
    run->timer->stop();
    run->timer->deleteLater();
    m_running.removeOne(run);
    delete run;
}
