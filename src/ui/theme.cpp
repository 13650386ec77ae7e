#include "theme.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QHash>
#include <QLocale>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

#include <cmath>

namespace {

struct Rule {
    const char *selector;
    const char *declarations;
};

// One rule per line, in the order they apply: later rules win over earlier ones of the same weight.
const Rule kRules[] = {
    {"*", R"(font-family: "Segoe UI"; font-size: 12pt; color: #F2F0EA;)"},
    {"QMainWindow, QWidget#Root, QStackedWidget, QScrollArea, QScrollArea > QWidget > QWidget",
     "background: #070A12;"},
    {"QDialog", "background: #0B101C;"},
    {"QToolTip", "background: #101829; color: #E8E6DF; border: 1px solid #B8923A; padding: 4px;"},
    {"QWidget#Header",
     "background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #13254A, stop:0.45 #0B1426, "
     "stop:1 #070A12); border-bottom: 2px solid #B8923A;"},
    {"QLabel#TitleMain",
     R"(font-family: "Palatino Linotype"; font-size: 32pt; font-weight: 700; color: #E2B85A; background: transparent;)"},
    {"QLabel#TitleSub",
     R"(font-family: "Palatino Linotype"; font-size: 32pt; font-weight: 400; color: #EDE6D6; background: transparent;)"},
    {"QLabel#Tagline", "color: #B9C6DC; font-size: 11pt; background: transparent;"},
    {"QLabel#GameName",
     R"(font-family: "Bahnschrift"; font-size: 12pt; font-weight: 600; color: #C9B27A; background: transparent;)"},
    {"QLabel#Emblem", "background: transparent;"},
    {"QPushButton#AccountButton", "background: #101829; border: 1px solid #36466A; border-radius: 15px; "
                                  "padding: 6px 16px; font-weight: 600;"},
    {"QPushButton#AccountButton:hover", "border-color: #5E95E8;"},
    {"QWidget#NavBar", "background: #0A0F1B; border-bottom: 1px solid #1C263A;"},
    {"QPushButton#NavButton",
     R"(font-family: "Bahnschrift"; font-size: 16pt; font-weight: 700; background: transparent; color: #C9D2E0; border: none; border-bottom: 3px solid transparent; padding: 12px 18px 9px 18px;)"},
    {"QPushButton#NavButton:hover", "color: #FFFFFF;"},
    {"QPushButton#NavButton:checked", "color: #FFFFFF; border-bottom: 3px solid #4C8DFF;"},
    {"QLabel#PageTitle",
     R"(font-family: "Palatino Linotype"; font-size: 22pt; font-weight: 700; color: #EDE6D6;)"},
    {"QLabel#PageSubtitle", "color: #C2CAD6; font-size: 12pt;"},
    {"QFrame#Card", "background: #0E1524; border: 1px solid #1E2A40; border-radius: 6px;"},
    {"QLabel#CardTitle",
     R"(font-family: "Bahnschrift"; font-size: 14pt; font-weight: 700; color: #D9B45A; background: transparent;)"},
    {"QLabel#Muted", "color: #C2CAD6; background: transparent;"},
    {"QLabel#Big",
     R"(font-family: "Bahnschrift"; font-size: 16pt; font-weight: 700; color: #FFFFFF; background: transparent;)"},
    {"QLabel#StatValue",
     R"(font-family: "Bahnschrift"; font-size: 18pt; font-weight: 700; color: #FFFFFF; background: transparent;)"},
    {"QLabel#StatLabel", "color: #C2CAD6; font-size: 10pt; background: transparent;"},
    {"QLabel#Huge",
     R"(font-family: "Bahnschrift"; font-size: 24pt; font-weight: 700; color: #FFFFFF; background: transparent;)"},
    {"QLabel#Status",
     R"(font-family: "Bahnschrift"; font-size: 16pt; font-weight: 600; color: #FFFFFF; background: transparent;)"},
    {"QLabel#Warning", "color: #F0B35A; background: transparent;"},
    {"QLabel#Alert",
     R"(font-family: "Bahnschrift"; font-size: 13pt; font-weight: 700; color: #FFFFFF; background: #6B2A0C; border: 2px solid #F0B35A; border-radius: 4px; padding: 8px 12px;)"},
    {"QFrame#Card QLabel#Alert", "background: #6B2A0C;"},
    {"QLabel#Rank",
     R"(font-family: "Bahnschrift"; font-size: 16pt; font-weight: 700; color: #E2B85A; background: transparent;)"},
    {"QFrame#Card QLabel, QFrame#Card QCheckBox", "background: transparent;"},
    {"QFrame#Card QStackedWidget, QFrame#Card QStackedWidget > QWidget", "background: transparent;"},
    {"QPushButton", "background: #121A2B; border: 1px solid #2A3650; border-radius: 4px; padding: 7px 14px;"},
    {"QPushButton:hover", "border-color: #4C8DFF; background: #172238;"},
    {"QPushButton:pressed", "background: #0D2347;"},
    {"QPushButton:disabled", "color: #566070; border-color: #1B2334; background: #0C111C;"},
    {"QPushButton#Primary",
     R"(font-family: "Bahnschrift"; font-size: 15pt; font-weight: 700; color: #FFFFFF; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2E63B8, stop:1 #142F63); border: 1px solid #6C9EEA; border-radius: 4px; padding: 12px 30px;)"},
    {"QPushButton#Primary:hover",
     "background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3873CF, stop:1 #193A78);"},
    {"QPushButton#Primary:disabled", "color: #6F7C94; background: #111A2C; border-color: #232F47;"},
    {R"(QPushButton#Primary[searching="true"])", "background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 "
                                                 "#2A3448, stop:1 #151C2A); border-color: #5D6982;"},
    {R"(QPushButton#Primary[compact="true"])", "font-size: 14pt; padding: 9px 18px;"},
    {R"(QPushButton[big="true"])",
     R"(font-family: "Bahnschrift"; font-size: 14pt; font-weight: 600; padding: 9px 18px;)"},
    {"QPushButton#Play",
     R"(font-family: "Bahnschrift"; font-size: 36pt; font-weight: 700; color: #FFFFFF; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2E63B8, stop:1 #142F63); border: 3px solid #F0C75A; border-radius: 8px; padding: 14px 40px;)"},
    {"QPushButton#Play:hover",
     "background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3873CF, stop:1 #193A78);"},
    {"QPushButton#Play:disabled", "color: #8D99AE; background: #111A2C; border-color: #3A4560;"},
    {"QPushButton#Play:focus", "border: 4px solid #FFE7A3;"},
    {"QPushButton#SideChoice",
     R"(font-family: "Bahnschrift"; font-size: 18pt; font-weight: 700; color: #FFFFFF; background: #121A2B; border: 2px solid #5D6982; border-radius: 6px; padding: 12px 28px;)"},
    {"QPushButton#SideChoice:hover", "border-color: #FFFFFF;"},
    {"QPushButton#SideChoice:checked", "background: #1F56C4; border: 3px solid #F0C75A;"},
    {"QComboBox, QLineEdit, QSpinBox, QPlainTextEdit, QTextBrowser",
     "background: #0A0F1A; border: 1px solid #2A3650; border-radius: 4px; padding: 5px 8px; "
     "selection-background-color: #1F4A8A; selection-color: #FFFFFF;"},
    {"QComboBox:hover, QLineEdit:focus, QSpinBox:focus", "border-color: #4C8DFF;"},
    {"QComboBox::drop-down", "border: none; width: 22px;"},
    {"QSpinBox::up-button, QSpinBox::down-button", "width: 22px; border: none; background: #121A2B;"},
    {"QSpinBox::up-button:hover, QSpinBox::down-button:hover", "background: #1F4A8A;"},
    {"QComboBox QAbstractItemView",
     "background: #0E1524; border: 1px solid #4C8DFF; selection-background-color: #1F4A8A;"},
    {"QCheckBox", "spacing: 8px;"},
    {"QCheckBox::indicator",
     "width: 16px; height: 16px; border: 1px solid #44516C; background: #0A0F1A; border-radius: 3px;"},
    {"QCheckBox::indicator:checked", "background: #2F6BD0; border-color: #7FAAF0;"},
    {"QProgressBar",
     "background: #0A0F1A; border: 1px solid #2A3650; border-radius: 4px; text-align: center; "
     "min-height: 18px;"},
    {"QProgressBar::chunk", "background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #173A78, stop:1 "
                            "#4C8DFF); border-radius: 3px;"},
    {"QSlider::groove:horizontal", "height: 6px; background: #1A2438; border-radius: 3px;"},
    {"QSlider::sub-page:horizontal", "background: #2F6BD0; border-radius: 3px;"},
    {"QSlider::handle:horizontal",
     "width: 16px; margin: -6px 0; border-radius: 8px; background: #D9B45A; border: 1px solid #F2D38A;"},
    {"QListWidget#CharacterGrid", "background: transparent; border: none; outline: none;"},
    {"QListWidget#CharacterGrid::item",
     "background: #111A2B; border: 1px solid #243049; border-radius: 4px; color: #DAD6CC; padding: 4px;"},
    {"QListWidget#CharacterGrid::item:hover", "border-color: #4C8DFF; color: #FFFFFF;"},
    {"QListWidget#CharacterGrid::item:selected",
     "color: #FFFFFF; border: 1px solid #7FAAF0; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 "
     "#24539E, stop:1 #102850);"},
    {"QListWidget", "background: #0A0F1A; border: 1px solid #1E2A40; border-radius: 4px;"},
    {"QTableWidget",
     "background: #0A0F1A; alternate-background-color: #0E1524; gridline-color: #18223A; border: 1px solid "
     "#1E2A40; border-radius: 4px; selection-background-color: #1F4A8A;"},
    {"QHeaderView::section", "background: #101829; color: #C9C3B5; border: none; border-bottom: 2px solid "
                             "#B8923A; padding: 6px 8px; font-weight: 600;"},
    {"QTableCornerButton::section", "background: #101829; border: none;"},
    {"QTabWidget::pane", "border: 1px solid #1E2A40; border-radius: 4px; top: -1px;"},
    {"QTabBar::tab", "background: #0E1524; border: 1px solid #1E2A40; padding: 7px 16px; color: #9AA5B8;"},
    {"QTabBar::tab:selected", "color: #FFFFFF; border-bottom: 2px solid #4C8DFF;"},
    {"QGroupBox", "border: 1px solid #1E2A40; border-radius: 6px; margin-top: 18px; padding: 12px 10px 10px "
                  "10px; background: #0E1524;"},
    {"QGroupBox::title",
     R"(subcontrol-origin: margin; left: 10px; padding: 0 4px; color: #D9B45A; font-family: "Bahnschrift"; font-weight: 700;)"},
    {"QScrollBar:vertical", "background: #080C15; width: 10px; margin: 0;"},
    {"QScrollBar::handle:vertical", "background: #26324A; border-radius: 4px; min-height: 30px;"},
    {"QScrollBar::handle:vertical:hover", "background: #2F6BD0;"},
    {"QScrollBar::add-line, QScrollBar::sub-line", "height: 0; width: 0;"},
    {"QScrollBar:horizontal", "background: #080C15; height: 10px;"},
    {"QScrollBar::handle:horizontal", "background: #26324A; border-radius: 4px; min-width: 30px;"},
    {"QWidget#Footer", "background: #05080E; border-top: 1px solid #1C263A;"},
    {"QWidget#Footer QLabel", "color: #C2CAD6; font-size: 12pt; background: transparent;"},
    {"QLabel#Dot", "font-size: 12pt;"},
    {"QPushButton:focus, QComboBox:focus, QListWidget:focus, QTableWidget:focus, QSpinBox:focus, "
     "QLineEdit:focus",
     "border: 2px solid #F2C14E;"},
    {"QPushButton#Primary:focus", "border: 2px solid #FFE7A3; color: #FFF4D6;"},
    {"QPushButton#NavButton:focus", "color: #F2C14E; border: none; border-bottom: 3px solid #F2C14E;"},
    {"QPushButton#AccountButton:focus", "border: 2px solid #F2C14E;"},
    {"QCheckBox:focus", "color: #F2C14E;"},
    {"QCheckBox::indicator:focus", "border: 2px solid #F2C14E;"},
    {"QSlider:focus::handle:horizontal", "border: 2px solid #FFE7A3; background: #F2C14E;"},
    {"QListWidget#CharacterGrid:focus::item:selected", "border: 2px solid #F2C14E;"},
};

// Humanist sans for Segoe UI, a Palatino-like serif, a DIN-like sans (all Debian packages that
// scripts/deps.sh installs); DejaVu stays the last resort.
const FontStandIn kStandIns[] = {
    {"Segoe UI", "Open Sans"},
    {"Palatino Linotype", "P052"},
    {"Bahnschrift", "Roboto Condensed"},
};

const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

qreal screenRatio()
{
    return qApp ? qApp->devicePixelRatio() : 1.0;
}

QPixmap scaledTo(const QString &path, int height)
{
    QPixmap source(path);
    if (source.isNull() || height < 1)
        return QPixmap();
    const qreal ratio = screenRatio();
    QPixmap out = source.scaledToHeight(int(std::lround(height * ratio)), Qt::SmoothTransformation);
    out.setDevicePixelRatio(ratio);
    return out;
}

QHash<QString, QPixmap> &rankCache()
{
    static QHash<QString, QPixmap> cache;
    return cache;
}

} // namespace

const FontStandIn *fontStandIns(int *count)
{
    *count = int(std::size(kStandIns));
    return kStandIns;
}

QPalette darkPalette()
{
    QPalette p;
    const QColor text(0xE8, 0xE6, 0xDF);
    for (int g = 0; g < QPalette::NColorGroups; ++g) {
        const auto group = QPalette::ColorGroup(g);
        p.setColor(group, QPalette::Window, QColor(0x07, 0x0A, 0x12));
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, QColor(0x0A, 0x0F, 0x1A));
        p.setColor(group, QPalette::AlternateBase, QColor(0x0E, 0x15, 0x24));
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, QColor(0x12, 0x1A, 0x2B));
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::Highlight, QColor(0x1F, 0x4A, 0x8A));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::ToolTipBase, QColor(0x10, 0x18, 0x29));
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::PlaceholderText, QColor(0x6B, 0x72, 0x82));
        p.setColor(group, QPalette::Mid, QColor(0x1C, 0x26, 0x3A));
    }
    const QColor disabled(0x5F, 0x66, 0x74);
    p.setColor(QPalette::Disabled, QPalette::Text, disabled);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabled);
    return p;
}

QString styleSheet()
{
    QString sheet;
    for (const Rule &r : kRules)
        sheet += QStringLiteral("%1 { %2 }\n").arg(QLatin1String(r.selector), QLatin1String(r.declarations));
    return sheet;
}

namespace {

// The focus rules draw a thicker border than the plain ones, so a widget with the focus has a
// larger size hint; a layout only follows when told, or the border eats into the text.
class FocusBorderWatcher : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if ((event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) &&
            watched->isWidgetType())
            static_cast<QWidget *>(watched)->updateGeometry();
        return false;
    }
};

} // namespace

void applyTheme(QApplication &app)
{
    const QString watcherName = QStringLiteral("FocusBorderWatcher");
    if (!app.findChild<QObject *>(watcherName, Qt::FindDirectChildrenOnly)) {
        auto *watcher = new FocusBorderWatcher(&app);
        watcher->setObjectName(watcherName);
        app.installEventFilter(watcher);
    }
    for (const FontStandIn &f : kStandIns)
        QFont::insertSubstitutions(QString::fromLatin1(f.windowsFamily),
                                   {QString::fromLatin1(f.family), QStringLiteral("DejaVu Sans")});
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setPalette(darkPalette());
    app.setStyleSheet(styleSheet());
    app.setWindowIcon(appIcon());
}

QIcon appIcon()
{
    QIcon icon;
    for (int size : kIconSizes)
        icon.addFile(QStringLiteral(":/logo/icon-%1.png").arg(size), QSize(size, size));
    return icon;
}

QPixmap logoPixmap(int height)
{
    return scaledTo(QStringLiteral(":/logo/orx-logo.png"), height);
}

QPixmap defaultPicture(int height)
{
    return scaledTo(QStringLiteral(":/pictures/default.png"), height);
}

QString rankSlug(const QString &rankName)
{
    QString slug;
    bool pendingDash = false;
    for (const QChar c : rankName.trimmed().toLower()) {
        const char16_t u = c.unicode();
        if ((u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9')) {
            if (pendingDash && !slug.isEmpty())
                slug += QLatin1Char('-');
            pendingDash = false;
            slug += c;
        } else if (c.isSpace() || u == u'-') {
            pendingDash = true;
        }
    }
    return slug;
}

QPixmap rankPixmap(const QString &rankName, int height)
{
    const QString slug = rankSlug(rankName);
    if (slug.isEmpty() || height < 1)
        return QPixmap();
    const qreal ratio = screenRatio();
    const QString key = QStringLiteral("%1/%2/%3")
                            .arg(slug)
                            .arg(height)
                            .arg(QString::number(ratio, 'g', QLocale::FloatingPointShortest));
    auto &cache = rankCache();
    const auto hit = cache.constFind(key);
    if (hit != cache.constEnd())
        return hit.value();
    const QPixmap image = scaledTo(QStringLiteral(":/ranks/%1.png").arg(slug), height);
    cache.insert(key, image);
    return image;
}

int rankPixmapCacheSize()
{
    return int(rankCache().size());
}

void setStyleProperty(QWidget *widget, const char *name, const QVariant &value)
{
    if (widget->property(name) == value)
        return;
    widget->setProperty(name, value);
    // The sheet's attribute selectors are matched at polish time only.
    QStyle *style = widget->style();
    style->unpolish(widget);
    style->polish(widget);
    widget->update();
}
