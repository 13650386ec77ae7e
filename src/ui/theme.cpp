#include "theme.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

void applyTheme(QApplication &app)
{
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x0B, 0x10, 0x1C));
    p.setColor(QPalette::WindowText, QColor(0xE8, 0xEA, 0xF0));
    p.setColor(QPalette::Base, QColor(0x10, 0x18, 0x29));
    p.setColor(QPalette::AlternateBase, QColor(0x16, 0x20, 0x33));
    p.setColor(QPalette::Text, QColor(0xE8, 0xEA, 0xF0));
    p.setColor(QPalette::Button, QColor(0x18, 0x22, 0x36));
    p.setColor(QPalette::ButtonText, QColor(0xE8, 0xEA, 0xF0));
    p.setColor(QPalette::Highlight, QColor(0xB8, 0x92, 0x3A));
    p.setColor(QPalette::HighlightedText, QColor(0x0B, 0x10, 0x1C));
    app.setPalette(p);
    app.setStyleSheet(
        QStringLiteral("#Header, #NavBar, #Footer { background: #0E1526; }"
                       "#TitleMain { font-size: 22pt; font-weight: 800; color: #FFFFFF; }"
                       "#TitleSub { font-size: 22pt; font-weight: 300; color: #B8923A; }"
                       "#Tagline { color: #8A93A6; }"
                       "#NavButton { padding: 10px 0; border: none; color: #8A93A6; font-weight: 700; }"
                       "#NavButton:checked { color: #FFFFFF; border-bottom: 2px solid #B8923A; }"
                       "#Card { background: #101829; border: 1px solid #1E2A40; border-radius: 6px; }"
                       "#CardTitle { color: #B8923A; font-weight: 700; }"
                       "#PageTitle { font-size: 18pt; font-weight: 800; }"
                       "#PageSubtitle { color: #8A93A6; }"));
}
