// The look: palette, sheet, the properties the sheet selects on, the images and the chime, and
// that the committed art is what tools/art draws.
#include "elo.h"
#include "imagecompare.h"
#include "ui/theme.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtEndian>
#include <QtTest>

namespace {

QStringList g_warnings;
QtMessageHandler g_previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg)
        g_warnings << text;
    g_previous(type, context, text);
}

QColor pixel(const QImage &image, int x, int y)
{
    return image.pixelColor(x, y);
}

} // namespace

class TestTheme : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        g_previous = qInstallMessageHandler(collect);
        applyTheme(*qApp);
    }

    void paletteHasEveryGroup()
    {
        const QPalette p = darkPalette();
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            QCOMPARE(p.color(group, QPalette::Window), QColor("#070A12"));
            QCOMPARE(p.color(group, QPalette::Text), QColor("#E8E6DF"));
            QCOMPARE(p.color(group, QPalette::Highlight), QColor("#1F4A8A"));
            QCOMPARE(p.color(group, QPalette::HighlightedText), QColor(Qt::white));
            QCOMPARE(p.color(group, QPalette::PlaceholderText), QColor("#6B7282"));
        }
        QCOMPARE(p.color(QPalette::Disabled, QPalette::Window), QColor("#070A12"));
        QCOMPARE(p.color(QPalette::Disabled, QPalette::Base), QColor("#0A0F1A"));
        for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText})
            QCOMPARE(p.color(QPalette::Disabled, role), QColor("#5F6674"));
    }

    // Every widget the sheet names, polished once: a rule Qt cannot parse warns here.
    void sheetParsesAndStandInsExist()
    {
        const QString sheet = styleSheet();
        QCOMPARE(sheet.count(QLatin1Char('{')), 93);
        QVERIFY(sheet.contains(
            QStringLiteral("QPushButton#Primary[compact=\"true\"] { font-size: 14pt; padding: 9px 18px; }")));
        g_warnings.clear();
        QWidget w;
        auto *l = new QVBoxLayout(&w);
        for (const char *name : {"TitleMain", "Huge", "Alert", "Status", "Rank", "Muted", "PageTitle"}) {
            auto *label = new QLabel(QStringLiteral("Text"), &w);
            label->setObjectName(QString::fromLatin1(name));
            l->addWidget(label);
        }
        auto *big = new QPushButton(QStringLiteral("Big"), &w);
        big->setProperty("big", true);
        l->addWidget(big);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.grab();
        for (const QString &warning : g_warnings)
            QVERIFY2(!warning.contains(QLatin1String("parse"), Qt::CaseInsensitive), qPrintable(warning));

        int count = 0;
        const FontStandIn *standIns = fontStandIns(&count);
        for (int i = 0; i < count; ++i) {
            QFont font(QString::fromLatin1(standIns[i].windowsFamily));
            const QFontInfo info(font);
            // fontconfig may add the foundry: "P052 [UKWN]".
            QVERIFY2(info.family().startsWith(QString::fromLatin1(standIns[i].family)),
                     qPrintable(info.family()));
        }
    }

    void rankSlugs_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("slug");
        QTest::newRow("plain") << "Gold"
                               << "gold";
        QTest::newRow("two blanks") << "Grand  Master"
                                    << "grand-master";
        QTest::newRow("dash joined") << "Grand-Master"
                                     << "grand-master";
        QTest::newRow("bang dropped") << "Legend!"
                                      << "legend";
        QTest::newRow("trimmed, mixed case") << "  Iron Will  "
                                             << "iron-will";
        QTest::newRow("leading dash") << "-Top"
                                      << "top";
        QTest::newRow("trailing dash") << "Top -"
                                       << "top";
        QTest::newRow("doubled dashes") << "a - - b"
                                        << "a-b";
        QTest::newRow("digits kept") << "Tier 2"
                                     << "tier-2";
        QTest::newRow("accent dropped") << "\u00C9lite"
                                        << "lite";
        QTest::newRow("symbols only") << "!?"
                                      << "";
        QTest::newRow("empty") << ""
                               << "";
    }
    void rankSlugs()
    {
        QFETCH(QString, name);
        QTEST(rankSlug(name), "slug");
    }

    void rankImagesAndTheirCache()
    {
        int count = 0;
        const elo::Rank *ranks = elo::ranks(&count);
        QCOMPARE(count, 16);
        const qreal ratio = qApp->devicePixelRatio();
        for (int i = 0; i < count; ++i) {
            const QPixmap p = rankPixmap(QString::fromLatin1(ranks[i].title), 72);
            QVERIFY2(!p.isNull(), ranks[i].title);
            QCOMPARE(p.height(), qRound(72 * ratio));
            QCOMPARE(p.devicePixelRatio(), ratio);
            QVERIFY(QFile::exists(
                QStringLiteral(":/ranks/%1.png").arg(rankSlug(QString::fromLatin1(ranks[i].title)))));
        }
        const int before = rankPixmapCacheSize();
        QVERIFY(rankPixmap(QStringLiteral("Unobtainium"), 72).isNull());
        QCOMPARE(rankPixmapCacheSize(), before + 1);
        QVERIFY(rankPixmap(QStringLiteral("  unobtainium "), 72).isNull());
        QCOMPARE(rankPixmapCacheSize(), before + 1); // the miss was kept
        QVERIFY(rankPixmap(QString(), 72).isNull());
        QVERIFY(rankPixmap(QStringLiteral("Gold"), 0).isNull());
        QCOMPARE(rankPixmapCacheSize(), before + 1); // nothing to look up, nothing kept
        QCOMPARE(rankPixmap(QStringLiteral("Gold"), 32).height(), qRound(32 * ratio));
        QCOMPARE(rankPixmapCacheSize(), before + 2);
        QVERIFY(!defaultPicture(64).isNull());
    }

    void iconHasEverySize()
    {
        const QIcon icon = appIcon();
        const QList<QSize> sizes = icon.availableSizes();
        for (int s : {16, 24, 32, 48, 64, 128, 256})
            QVERIFY2(sizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
        QVERIFY(!qApp->windowIcon().isNull());
    }

    // Run once as it is and once with QT_SCALE_FACTOR=1.5 (a CTest entry of its own).
    void logoFollowsTheRatio()
    {
        const qreal ratio = qApp->devicePixelRatio();
        const QPixmap logo = logoPixmap(40);
        QCOMPARE(logo.devicePixelRatio(), ratio);
        QCOMPARE(logo.height(), qRound(40 * ratio));
        if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("1.5"))
            QCOMPARE(logo.height(), 60);
    }

    // Grabs of the PLAY button: its gold border, the lighter one with focus, the Alert's background
    // and a compact Primary smaller than a plain one.
    void renderedLook()
    {
        QWidget w;
        w.resize(600, 400);
        auto *l = new QVBoxLayout(&w);
        auto *play = new QPushButton(QStringLiteral("PLAY"), &w);
        play->setObjectName(QStringLiteral("Play"));
        play->setMinimumHeight(110);
        auto *other = new QPushButton(QStringLiteral("Other"), &w);
        auto *alert = new QLabel(QStringLiteral("Notice"), &w);
        alert->setObjectName(QStringLiteral("Alert"));
        auto *plain = new QPushButton(QStringLiteral("SIGN IN"), &w);
        plain->setObjectName(QStringLiteral("Primary"));
        auto *compact = new QPushButton(QStringLiteral("SIGN IN"), &w);
        compact->setObjectName(QStringLiteral("Primary"));
        for (QWidget *x :
             {static_cast<QWidget *>(play), static_cast<QWidget *>(other), static_cast<QWidget *>(alert),
              static_cast<QWidget *>(plain), static_cast<QWidget *>(compact)})
            l->addWidget(x);
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // Set after the widget was polished: it must still take effect.
        QCOMPARE(plain->sizeHint(), compact->sizeHint());
        setStyleProperty(compact, "compact", true);
        QVERIFY(compact->sizeHint().height() < plain->sizeHint().height());
        QVERIFY(compact->sizeHint().width() < plain->sizeHint().width());

        other->setFocus();
        QTRY_VERIFY(other->hasFocus());
        QImage img = play->grab().toImage();
        const int midY = img.height() / 2;
        QCOMPARE(pixel(img, 1, midY), QColor("#F0C75A"));
        play->setFocus();
        QTRY_VERIFY(play->hasFocus());
        img = play->grab().toImage();
        QCOMPARE(pixel(img, 1, img.height() / 2), QColor("#FFE7A3"));
        const QImage a = alert->grab().toImage();
        QCOMPARE(pixel(a, a.width() / 2, 4), QColor("#6B2A0C"));
        QCOMPARE(pixel(a, 1, a.height() / 2), QColor("#F0B35A"));
    }

    void chimeIsAQuietPcmBell()
    {
        QFile f(QStringLiteral(":/sounds/match-found.wav"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray wav = f.readAll();
        QVERIFY(wav.size() > 44);
        QCOMPARE(wav.left(4), QByteArray("RIFF"));
        QCOMPARE(wav.mid(8, 8), QByteArray("WAVEfmt "));
        QCOMPARE(qFromLittleEndian<quint16>(wav.constData() + 20), quint16(1));  // PCM
        QCOMPARE(qFromLittleEndian<quint16>(wav.constData() + 34), quint16(16)); // bits
        const quint32 rate = qFromLittleEndian<quint32>(wav.constData() + 24);
        const quint32 bytes = qFromLittleEndian<quint32>(wav.constData() + 40);
        QCOMPARE(int(bytes), wav.size() - 44);
        const double seconds = double(bytes) / 2 / rate;
        QVERIFY2(seconds > 0.3 && seconds < 3.0, qPrintable(QString::number(seconds)));
        int peak = 0;
        for (int i = 44; i + 1 < wav.size(); i += 2)
            peak = qMax(peak, qAbs(int(qFromLittleEndian<qint16>(wav.constData() + i))));
        QVERIFY2(peak > 8000 && peak < 32767, qPrintable(QString::number(peak)));
    }

    // tools/art draws the same files as the ones committed in resources/art.
    void committedArtMatchesTheGenerator()
    {
        QTemporaryDir out;
        QVERIFY(out.isValid());
        QProcess gen;
        gen.start(qEnvironmentVariable("ORX_BIN_DIR") + QStringLiteral("/orx-art"), {out.path()});
        QVERIFY(gen.waitForFinished(120000));
        QCOMPARE(gen.exitCode(), 0);
        const QString committed = qEnvironmentVariable("ORX_SOURCE_DIR") + QStringLiteral("/resources/art");
        QStringList made;
        QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString rel = QDir(out.path()).relativeFilePath(path);
            made << rel;
            const QString other = committed + QLatin1Char('/') + rel;
            QVERIFY2(QFile::exists(other), qPrintable(rel + " is not committed"));
            if (rel.endsWith(QLatin1String(".png"))) {
                // Another processor draws a few edge pixels a little differently: alike, not equal.
                const QString difference = drawingDifference(QImage(path), QImage(other));
                QVERIFY2(difference.isEmpty(),
                         qPrintable(rel + " differs (" + difference + "): run orx-art resources/art"));
            } else {
                QFile x(path), y(other);
                QVERIFY(x.open(QIODevice::ReadOnly) && y.open(QIODevice::ReadOnly));
                QVERIFY2(x.readAll() == y.readAll(), qPrintable(rel + " differs"));
            }
        }
        QCOMPARE(made.size(), 7 + 1 + 16 + 1 + 1);
    }

    // The comparison above lets another processor's rounding through and nothing else: each case
    // changes every committed picture the way it names.
    void drawingTolerance_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("alike");
        QTest::newRow("unchanged") << "none" << true;
        QTest::newRow("every pixel one level off") << "rounding" << true;
        QTest::newRow("edge pixels, 1 in 2000, 40 levels off") << "noise" << true;
        QTest::newRow("a one-pixel line moved by one pixel") << "line" << false;
        QTest::newRow("a colour changed by 8 levels") << "colour" << false;
        QTest::newRow("one pixel wider") << "size" << false;
    }
    void drawingTolerance()
    {
        QFETCH(QString, change);
        QFETCH(bool, alike);
        const QString art = qEnvironmentVariable("ORX_SOURCE_DIR") + QStringLiteral("/resources/art");
        QDirIterator it(art, {QStringLiteral("*.png")}, QDir::Files, QDirIterator::Subdirectories);
        int seen = 0;
        while (it.hasNext()) {
            const QString path = it.next();
            const QImage committed = QImage(path).convertToFormat(QImage::Format_ARGB32);
            QImage before = committed;
            QImage after = committed;
            const int w = committed.width();
            const int h = committed.height();
            if (change == QLatin1String("rounding")) {
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const QRgb c = after.pixel(x, y);
                        after.setPixel(
                            x, y, qRgba(qMin(255, qRed(c) + 1), qGreen(c), qMax(0, qBlue(c) - 1), qAlpha(c)));
                    }
            } else if (change == QLatin1String("noise")) {
                for (qint64 i = 0; i < qint64(w) * h; i += 2000) {
                    const int x = int(i % w);
                    const int y = int(i / w);
                    const QRgb c = after.pixel(x, y);
                    after.setPixel(x, y, qRgba(qRed(c) ^ 40, qGreen(c), qBlue(c), qAlpha(c) ^ 40));
                }
            } else if (change == QLatin1String("line")) {
                // Half the picture's width, in a colour the art does not use.
                QPainter a(&before);
                a.setPen(QColor(255, 0, 255));
                a.drawLine(w / 4, h / 2, w / 4 + w / 2 - 1, h / 2);
                a.end();
                QPainter b(&after);
                b.setPen(QColor(255, 0, 255));
                b.drawLine(w / 4, h / 2 + 1, w / 4 + w / 2 - 1, h / 2 + 1);
            } else if (change == QLatin1String("colour")) {
                // The drawing's colours in its middle third, 8 levels bluer.
                for (int y = h / 3; y < 2 * h / 3; ++y)
                    for (int x = w / 3; x < 2 * w / 3; ++x) {
                        const QRgb c = after.pixel(x, y);
                        if (qAlpha(c) > 0)
                            after.setPixel(x, y,
                                           qRgba(qRed(c), qGreen(c),
                                                 qBlue(c) < 248 ? qBlue(c) + 8 : qBlue(c) - 8, qAlpha(c)));
                    }
            } else if (change == QLatin1String("size")) {
                after = committed.scaled(w + 1, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            }
            const QString difference = drawingDifference(after, before);
            QVERIFY2(difference.isEmpty() == alike, qPrintable(path + ": " + difference));
            ++seen;
        }
        QCOMPARE(seen, 7 + 1 + 16 + 1);
    }

    // The small icons are drawn for their size: whole, opaque pixels in the middle of the V's arms.
    void smallIconsAreCrisp()
    {
        const QImage i16(QStringLiteral(":/logo/icon-16.png"));
        QCOMPARE(i16.size(), QSize(16, 16));
        const QColor arm = i16.pixelColor(5, 6);
        QCOMPARE(arm.alpha(), 255);
        QVERIFY2(arm.blue() > 200 && arm.red() < 120, qPrintable(arm.name()));
        const QColor ring = i16.pixelColor(1, 8);
        QVERIFY2(ring.red() > 200 && ring.green() > 150 && ring.blue() < 160, qPrintable(ring.name()));
    }
};

QTEST_MAIN(TestTheme)
#include "test_theme.moc"
