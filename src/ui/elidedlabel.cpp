#include "elidedlabel.h"

#include <QPainter>
#include <QStyle>

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString &text)
{
    setText(text);
    setToolTip(text);
}

QString ElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize ElidedLabel::minimumSizeHint() const
{
    // Room for "…" at least; the rest of the width is the layout's to give.
    const QSize whole = QLabel::minimumSizeHint();
    const QMargins m = contentsMargins();
    return {fontMetrics().horizontalAdvance(QChar(0x2026)) + m.left() + m.right(), whole.height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()) | Qt::TextSingleLine, palette(),
                          isEnabled(), shownText(), foregroundRole());
}
