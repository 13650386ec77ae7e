#include "art.h"

#include "elo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace art {

namespace {

// The theme's colours.
const QColor kNavyTop(0x13, 0x25, 0x4A);
const QColor kNavy(0x0B, 0x14, 0x26);
const QColor kNavyDeep(0x07, 0x0A, 0x12);
const QColor kGoldLight(0xFF, 0xE7, 0xA3);
const QColor kGold(0xE2, 0xB8, 0x5A);
const QColor kGoldDark(0x8A, 0x64, 0x20);
const QColor kGoldEdge(0xB8, 0x92, 0x3A);
const QColor kBlueLight(0x7F, 0xAA, 0xF0);
const QColor kBlue(0x4C, 0x8D, 0xFF);
const QColor kBlueDeep(0x1F, 0x56, 0xC4);

QImage canvas(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

// A painter in a 100 × 100 design space.
void begin(QPainter &p, QImage &img)
{
    p.begin(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(img.width() / 100.0, img.height() / 100.0);
}

QLinearGradient vertical(qreal y0, qreal y1, const QColor &a, const QColor &b)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    return g;
}

QPainterPath circle(qreal cx, qreal cy, qreal r)
{
    QPainterPath path;
    path.addEllipse(QPointF(cx, cy), r, r);
    return path;
}

// The mark: a "V" (the vertex in the name) inside a ring.
QPainterPath chevron()
{
    QPainterPath v;
    v.moveTo(26, 31);
    v.lineTo(39.5, 31);
    v.lineTo(50, 53);
    v.lineTo(60.5, 31);
    v.lineTo(74, 31);
    v.lineTo(50, 75);
    v.closeSubpath();
    return v;
}

// The emblem in the 100-unit square: gold ring, navy field, blue V, a gold spark above it.
void drawEmblem(QPainter &p, bool detailed)
{
    const QPainterPath outer = circle(50, 50, 46);
    const QPainterPath inner = circle(50, 50, 34.5);
    // Soft shadow under the ring so it lifts off any background.
    if (detailed) {
        QRadialGradient shadow(QPointF(50, 53), 50);
        shadow.setColorAt(0.85, QColor(0, 0, 0, 110));
        shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(shadow);
        p.drawEllipse(QPointF(50, 53), 50, 50);
    }
    // Ring: a gold metal with a light top and a dark bottom, and a fine dark edge.
    QLinearGradient ringFill(20, 4, 80, 96);
    ringFill.setColorAt(0.0, kGoldLight);
    ringFill.setColorAt(0.45, kGold);
    ringFill.setColorAt(1.0, kGoldDark);
    p.setPen(detailed ? QPen(QColor(0x5A, 0x40, 0x12), 0.8) : Qt::NoPen);
    p.setBrush(ringFill);
    p.drawPath(outer.subtracted(inner));
    // Field.
    QRadialGradient field(QPointF(50, 36), 42);
    field.setColorAt(0, kNavyTop);
    field.setColorAt(1, kNavyDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(field);
    p.drawPath(inner);
    if (detailed) {
        // The ring's bevel: a light line on its inner top and outer top edges.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(0xFF, 0xF4, 0xD6, 150), 0.9));
        p.drawArc(QRectF(15.5, 15.5, 69, 69), 30 * 16, 120 * 16);
        p.setPen(QPen(QColor(0xFF, 0xF4, 0xD6, 110), 0.9));
        p.drawArc(QRectF(4.6, 4.6, 90.8, 90.8), 40 * 16, 100 * 16);
    }
    // The V, in the theme's blue, lit from the top.
    p.setPen(detailed ? QPen(QColor(0x0A, 0x1C, 0x44), 1.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin)
                      : Qt::NoPen);
    p.setBrush(vertical(31, 75, kBlueLight, kBlueDeep));
    p.drawPath(chevron());
    if (detailed) {
        // The light side of the V.
        QPainterPath facet;
        facet.moveTo(26, 31);
        facet.lineTo(39.5, 31);
        facet.lineTo(50, 53);
        facet.lineTo(50, 75);
        facet.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 46));
        p.drawPath(facet);
    }
    // A gold spark above the V's notch.
    QPainterPath spark;
    const qreal cy = 24.5, r = detailed ? 5.5 : 6.0, w = detailed ? 1.6 : 2.2;
    spark.moveTo(50, cy - r);
    spark.lineTo(50 + w, cy - w);
    spark.lineTo(50 + r, cy);
    spark.lineTo(50 + w, cy + w);
    spark.lineTo(50, cy + r);
    spark.lineTo(50 - w, cy + w);
    spark.lineTo(50 - r, cy);
    spark.lineTo(50 - w, cy - w);
    spark.closeSubpath();
    p.setBrush(kGoldLight);
    p.drawPath(spark);
}

// The smallest icons: whole-pixel geometry, flat colours, no spark, so nothing smears.
QImage smallIcon(int size)
{
    QImage img = canvas(size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal c = size / 2.0;
    const qreal ring = size <= 16 ? 2.0 : 3.0;
    const qreal outer = c - 0.5;
    p.setPen(Qt::NoPen);
    p.setBrush(kGold);
    p.drawEllipse(QPointF(c, c), outer, outer);
    p.setBrush(kGoldLight);
    p.drawPie(QRectF(c - outer, c - outer, 2 * outer, 2 * outer), 45 * 16, 90 * 16);
    p.setBrush(kNavy);
    p.drawEllipse(QPointF(c, c), outer - ring, outer - ring);
    // The V on whole pixels: arms two pixels wide at 16, three at 24.
    const qreal u = size / 16.0;
    QPainterPath v;
    v.moveTo(4 * u, 5 * u);
    v.lineTo(6.5 * u, 5 * u);
    v.lineTo(8 * u, 8.5 * u);
    v.lineTo(9.5 * u, 5 * u);
    v.lineTo(12 * u, 5 * u);
    v.lineTo(8 * u, 12.5 * u);
    v.closeSubpath();
    p.setBrush(size <= 16 ? kBlue : QBrush(vertical(5 * u, 12.5 * u, kBlueLight, kBlue)));
    p.drawPath(v);
    return img;
}

struct Material {
    QColor light, mid, dark;
};

// One material per rank, lowest first, as the server's table orders them.
const Material kMaterials[] = {
    {QColor(0xB0, 0x86, 0x5C), QColor(0x74, 0x4C, 0x2C), QColor(0x3A, 0x22, 0x10)}, // wood
    {QColor(0xC4, 0xC0, 0xB6), QColor(0x82, 0x7D, 0x73), QColor(0x42, 0x3F, 0x3A)}, // stone
    {QColor(0xFF, 0xA8, 0x86), QColor(0xC8, 0x56, 0x36), QColor(0x6E, 0x22, 0x12)}, // copper
    {QColor(0xE6, 0xC8, 0x8C), QColor(0xA0, 0x7C, 0x3C), QColor(0x4C, 0x3A, 0x16)}, // bronze
    {QColor(0xA8, 0xAE, 0xB6), QColor(0x5E, 0x64, 0x6C), QColor(0x2A, 0x2E, 0x34)}, // iron
    {QColor(0xD6, 0xE6, 0xF5), QColor(0x80, 0x9A, 0xB6), QColor(0x38, 0x4C, 0x64)}, // steel
    {QColor(0xFA, 0xFB, 0xFC), QColor(0xB6, 0xBE, 0xC8), QColor(0x62, 0x6B, 0x76)}, // silver
    {QColor(0xFF, 0xE7, 0xA3), QColor(0xE2, 0xB8, 0x5A), QColor(0x86, 0x60, 0x1E)}, // gold
    {QColor(0xF2, 0xF7, 0xF5), QColor(0xB8, 0xCE, 0xCA), QColor(0x62, 0x7E, 0x7A)}, // platinum
    {QColor(0x9C, 0xC2, 0xFF), QColor(0x2F, 0x6B, 0xD0), QColor(0x10, 0x2C, 0x66)}, // cobalt
    {QColor(0xEA, 0xFC, 0xFF), QColor(0x96, 0xD6, 0xE6), QColor(0x3E, 0x80, 0x92)}, // mithril
    {QColor(0xA6, 0xE8, 0xC0), QColor(0x3A, 0x9A, 0x68), QColor(0x14, 0x46, 0x2C)}, // adamant
    {QColor(0xF0, 0xFF, 0xFF), QColor(0x8C, 0xE4, 0xF6), QColor(0x2E, 0x86, 0xAA)}, // diamond
    {QColor(0xE2, 0xC6, 0xFF), QColor(0x8E, 0x5C, 0xDC), QColor(0x3A, 0x1E, 0x6C)}, // master
    {QColor(0xFF, 0xA8, 0x98), QColor(0xD4, 0x3A, 0x3C), QColor(0x66, 0x12, 0x16)}, // grandmaster
    {QColor(0xFF, 0xEF, 0xB8), QColor(0xF0, 0xC7, 0x5A), QColor(0x8A, 0x64, 0x20)}, // legend
};

QPainterPath shield(qreal inset)
{
    // The outline in the 100-unit square, shrunk about its middle for the inner field.
    QPainterPath s;
    s.moveTo(50, 10);
    s.cubicTo(60, 15, 70, 17, 81, 17);
    s.lineTo(81, 50);
    s.cubicTo(81, 70, 67, 84, 50, 93);
    s.cubicTo(33, 84, 19, 70, 19, 50);
    s.lineTo(19, 17);
    s.cubicTo(30, 17, 40, 15, 50, 10);
    s.closeSubpath();
    if (inset <= 0)
        return s;
    QTransform t;
    t.translate(50, 51);
    t.scale(1 - inset, 1 - inset);
    t.translate(-50, -51);
    return t.map(s);
}

QPainterPath badgeChevron(qreal y)
{
    QPainterPath c;
    c.moveTo(34, y);
    c.lineTo(50, y + 9);
    c.lineTo(66, y);
    c.lineTo(66, y + 7);
    c.lineTo(50, y + 16);
    c.lineTo(34, y + 7);
    c.closeSubpath();
    return c;
}

QPainterPath star(QPointF c, qreal outer, qreal inner, int points)
{
    QPainterPath s;
    for (int i = 0; i < points * 2; ++i) {
        const qreal r = (i % 2) ? inner : outer;
        const qreal a = -M_PI / 2 + i * M_PI / points;
        const QPointF pt(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        if (i == 0)
            s.moveTo(pt);
        else
            s.lineTo(pt);
    }
    s.closeSubpath();
    return s;
}

QPainterPath wing(bool left)
{
    // Three feathers sweeping out from the shield's side; drawn for the right, mirrored for the left.
    QPainterPath w;
    for (int i = 0; i < 3; ++i) {
        const qreal y = 30 + i * 11;
        const qreal reach = 97 - i * 5;
        QPainterPath f;
        f.moveTo(78, y);
        f.cubicTo(86, y - 6, reach - 4, y - 9 + i, reach, y - 12 + i * 2);
        f.cubicTo(reach - 3, y - 1, 88, y + 7, 78, y + 8);
        f.closeSubpath();
        w = w.united(f);
    }
    if (left) {
        QTransform m(-1, 0, 0, 1, 100, 0);
        return m.map(w);
    }
    return w;
}

QBrush metal(const Material &m, qreal y0, qreal y1)
{
    QLinearGradient g(30, y0, 70, y1);
    g.setColorAt(0.0, m.light);
    g.setColorAt(0.5, m.mid);
    g.setColorAt(1.0, m.dark);
    return g;
}

} // namespace

QImage icon(int size)
{
    if (size <= 24)
        return smallIcon(size);
    QImage img = canvas(size);
    QPainter p;
    begin(p, img);
    // A navy tile with a gold hairline, the emblem on it.
    const QRectF tile(2, 2, 96, 96);
    QLinearGradient bg(0, 0, 100, 100);
    bg.setColorAt(0, kNavyTop);
    bg.setColorAt(1, kNavyDeep);
    p.setPen(size >= 48 ? QPen(kGoldEdge, 100.0 / size * 1.5) : Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(tile, 20, 20);
    p.translate(50, 50);
    p.scale(0.86, 0.86);
    p.translate(-50, -50);
    drawEmblem(p, size >= 64);
    p.end();
    return img;
}

QImage logo(int size)
{
    QImage img = canvas(size);
    QPainter p;
    begin(p, img);
    drawEmblem(p, true);
    p.end();
    return img;
}

QImage rankBadge(int index, int size)
{
    int count = 0;
    elo::ranks(&count);
    index = qBound(0, index, count - 1);
    const Material &m = kMaterials[index % int(std::size(kMaterials))];
    const int group = index / 4; // four ranks share each ornament
    const bool legend = index == count - 1;

    QImage img = canvas(size);
    QPainter p;
    begin(p, img);
    const QPen edge(m.dark.darker(170), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);

    if (group >= 3) {
        p.setPen(edge);
        p.setBrush(metal(m, 20, 60));
        p.drawPath(wing(false));
        p.drawPath(wing(true));
    }
    // Rim of the material, then the navy field inside it.
    p.setPen(edge);
    p.setBrush(metal(m, 10, 93));
    p.drawPath(shield(0));
    QRadialGradient field(QPointF(50, 38), 46);
    field.setColorAt(0, legend ? QColor(0x1F, 0x4A, 0x8A) : kNavyTop);
    field.setColorAt(1, kNavyDeep);
    p.setPen(QPen(m.dark, 1.0));
    p.setBrush(field);
    p.drawPath(shield(0.2));
    // A sheen across the rim's top-left.
    p.setPen(QPen(QColor(255, 255, 255, 120), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath sheen;
    sheen.moveTo(21.5, 48);
    sheen.lineTo(21.5, 19.5);
    sheen.cubicTo(31, 19.5, 41, 17.5, 50, 12.8);
    p.drawPath(sheen);
    if (index == 0) {
        // Wood shows its grain on the rim.
        p.save();
        p.setClipPath(shield(0).subtracted(shield(0.2)));
        p.setPen(QPen(QColor(0x2A, 0x16, 0x08, 150), 0.9));
        for (int i = 0; i < 7; ++i) {
            QPainterPath grain;
            const qreal x = 16 + i * 11;
            grain.moveTo(x, 5);
            grain.cubicTo(x + 5, 35, x - 5, 65, x + 2, 98);
            p.drawPath(grain);
        }
        p.restore();
    }

    // The sign in the field: chevrons for the first three families, a star for the last.
    const QBrush sign = metal(m, 30, 80);
    p.setPen(QPen(m.dark.darker(150), 1.1, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(sign);
    if (group < 3) {
        const int chevrons = group + 1;
        const qreal step = 11;
        const qreal top = 50 - (chevrons * step + 5) / 2.0;
        for (int i = 0; i < chevrons; ++i)
            p.drawPath(badgeChevron(top + i * step));
    } else {
        p.drawPath(star(QPointF(50, 50), 20, 8.5, 5));
    }
    // Within a family the rank's place shows as one to four studs under the sign.
    const int place = index % 4 + 1;
    for (int i = 0; i < place; ++i) {
        const qreal x = 50 + (i - (place - 1) / 2.0) * 7;
        p.setPen(QPen(m.dark.darker(150), 0.8));
        p.setBrush(m.light);
        p.drawEllipse(QPointF(x, 74), 2.3, 2.3);
    }
    if (group == 2) {
        // A gem on the shield's top point.
        QPainterPath gem;
        gem.moveTo(50, 3);
        gem.lineTo(56, 10);
        gem.lineTo(50, 17);
        gem.lineTo(44, 10);
        gem.closeSubpath();
        p.setPen(QPen(kNavyDeep, 1.0));
        p.setBrush(vertical(3, 17, kBlueLight, kBlueDeep));
        p.drawPath(gem);
    }
    if (legend) {
        // The crown: gold with blue jewels.
        QPainterPath crown;
        crown.moveTo(36, 16);
        crown.lineTo(34, 3);
        crown.lineTo(42, 9);
        crown.lineTo(50, 0.5);
        crown.lineTo(58, 9);
        crown.lineTo(66, 3);
        crown.lineTo(64, 16);
        crown.cubicTo(56, 13.5, 44, 13.5, 36, 16);
        crown.closeSubpath();
        p.setPen(QPen(kGoldDark.darker(140), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(vertical(0, 16, kGoldLight, kGold));
        p.drawPath(crown);
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawEllipse(QPointF(50, 10), 1.8, 1.8);
        p.drawEllipse(QPointF(41.5, 12), 1.3, 1.3);
        p.drawEllipse(QPointF(58.5, 12), 1.3, 1.3);
    }
    p.end();
    return img;
}

QImage defaultPicture(int size)
{
    QImage img = canvas(size);
    QPainter p;
    begin(p, img);
    // A navy disc with a gold hairline and a quiet blue-grey figure.
    QRadialGradient bg(QPointF(50, 35), 60);
    bg.setColorAt(0, kNavyTop);
    bg.setColorAt(1, kNavyDeep);
    p.setPen(QPen(kGoldEdge, 2.0));
    p.setBrush(bg);
    p.drawEllipse(QPointF(50, 50), 47, 47);
    QPainterPath clip = circle(50, 50, 46);
    p.setClipPath(clip);
    const QBrush figure = vertical(20, 100, QColor(0x8A, 0x93, 0xA6), QColor(0x3A, 0x45, 0x60));
    p.setPen(Qt::NoPen);
    p.setBrush(figure);
    p.drawEllipse(QPointF(50, 39), 16, 17);
    QPainterPath shoulders;
    shoulders.moveTo(16, 100);
    shoulders.cubicTo(16, 74, 32, 62, 50, 62);
    shoulders.cubicTo(68, 62, 84, 74, 84, 100);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
    p.end();
    return img;
}

QList<Output> everything()
{
    QList<Output> out;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        out.append({QStringLiteral("logo/icon-%1.png").arg(size), icon(size), {}});
    out.append({QStringLiteral("logo/orx-logo.png"), logo(384), {}});
    int count = 0;
    const elo::Rank *ranks = elo::ranks(&count);
    for (int i = 0; i < count; ++i) {
        const QString slug = QString::fromLatin1(ranks[i].title).toLower();
        out.append({QStringLiteral("ranks/%1.png").arg(slug), rankBadge(i, 160), {}});
    }
    out.append({QStringLiteral("pictures/default.png"), defaultPicture(144), {}});
    out.append({QStringLiteral("sounds/match-found.wav"), QImage(), chimeWav()});
    return out;
}

} // namespace art
