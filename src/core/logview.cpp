#include "logview.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTime>

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setMaximumBlockCount(500);
    setMinimumHeight(90);
    // "Consolas" where it exists, the system's fixed font elsewhere.
    QFont font(QStringLiteral("Consolas"), 11);
    if (!QFontDatabase::families().contains(QStringLiteral("Consolas"))) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(11);
    }
    setFont(font);
}

void LogView::append(const QString &text)
{
    appendPlainText(
        QStringLiteral("[%1] %2").arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")), text));
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
