#pragma once
// The look: the "Fusion" style, the dark palette, the application style sheet, the icon, the logo
// and the rank images compiled into the launcher.

#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>
#include <QVariant>

class QApplication;
class QWidget;

// Style, palette, sheet, icon and the font substitutions, once at start for the whole application.
void applyTheme(QApplication &app);

QPalette darkPalette();
QString styleSheet();

// All seven sizes of ":/logo/icon-%1.png".
QIcon appIcon();
// The logo at `height` device-independent pixels, drawn at height × the device pixel ratio.
QPixmap logoPixmap(int height);
// The rank's image at `height`, or a null pixmap (unknown rank, empty name, height below 1).
// Every answer, a miss included, is kept for the rest of the run.
QPixmap rankPixmap(const QString &rankName, int height);
// The picture for an account without a rank image, at `height`.
QPixmap defaultPicture(int height);
// The file name part of a rank name: "Grand  Master!" -> "grand-master".
QString rankSlug(const QString &rankName);
// How many answers rankPixmap keeps (hits and misses).
int rankPixmapCacheSize();

// Sets a property the sheet selects on ("compact", "big", "searching") so that it takes effect
// at once, also on a widget that is already polished.
void setStyleProperty(QWidget *widget, const char *name, const QVariant &value);

// The families the sheet names are Windows fonts; elsewhere they stand for these installed ones.
struct FontStandIn {
    const char *windowsFamily;
    const char *family;
};
const FontStandIn *fontStandIns(int *count);
