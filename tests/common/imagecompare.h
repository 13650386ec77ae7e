#pragma once
// Two drawings of the same picture compared the way a reader sees them, not byte for byte: Qt's
// raster engine blends and scales along other code paths on another processor (SSE2, AVX2,
// AVX-512), which moves a few edge pixels by a few levels. A changed shape, colour or size moves
// many more pixels, or moves them further.

#include <QImage>
#include <QString>
#include <QtGlobal>

struct ImageDifference {
    qint64 pixels = 0; // pixels with a channel more than `levels` apart
    qint64 total = 0;  // pixels compared
    int largest = 0;   // the largest channel difference seen
    bool sizeDiffers = false;
};

inline ImageDifference imageDifference(const QImage &a, const QImage &b, int levels)
{
    ImageDifference d;
    if (a.size() != b.size()) {
        d.sizeDiffers = true;
        return d;
    }
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    d.total = qint64(x.width()) * x.height();
    for (int row = 0; row < x.height(); ++row) {
        const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            const int most =
                qMax(qMax(qAbs(qRed(p[col]) - qRed(q[col])), qAbs(qGreen(p[col]) - qGreen(q[col]))),
                     qMax(qAbs(qBlue(p[col]) - qBlue(q[col])), qAbs(qAlpha(p[col]) - qAlpha(q[col]))));
            d.largest = qMax(d.largest, most);
            if (most > levels)
                ++d.pixels;
        }
    }
    return d;
}

// Empty when `made` is the same drawing as `committed`, else what differs. A pixel counts as
// changed when a channel is more than 3 levels off (a colour changed by 8 levels is), and at most
// one pixel in a thousand, or two in a small icon, may change (a one-pixel line moved by one
// pixel across a fifth of the picture's width changes more).
inline QString drawingDifference(const QImage &made, const QImage &committed)
{
    constexpr int kLevels = 3;
    const ImageDifference d = imageDifference(made, committed, kLevels);
    if (d.sizeDiffers)
        return QStringLiteral("size %1x%2, committed %3x%4")
            .arg(made.width())
            .arg(made.height())
            .arg(committed.width())
            .arg(committed.height());
    if (d.pixels > qMax<qint64>(2, d.total / 1000))
        return QStringLiteral("%1 of %2 pixels differ by more than %3 levels (at most %4)")
            .arg(d.pixels)
            .arg(d.total)
            .arg(kLevels)
            .arg(d.largest);
    return QString();
}
