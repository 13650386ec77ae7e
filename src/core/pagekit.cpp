#include "pagekit.h"

#include "gamedata/region.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QVBoxLayout>

void setLetterSpacing(QWidget *widget, qreal pixels)
{
    QFont f = widget->font();
    f.setLetterSpacing(QFont::AbsoluteSpacing, pixels);
    widget->setFont(f);
}

QLabel *makeLabel(const QString &text, const QString &objectName, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    if (!objectName.isEmpty())
        label->setObjectName(objectName);
    return label;
}

QFrame *makeCard(const QString &title, QVBoxLayout **layoutOut, QWidget *parent)
{
    auto *card = new QFrame(parent);
    card->setObjectName(QStringLiteral("Card"));
    auto *layout = new QVBoxLayout(card);
    layout->setContentsMargins(16, 14, 16, 16);
    layout->setSpacing(10);
    if (!title.isEmpty()) {
        QLabel *t = makeLabel(title.toUpper(), QStringLiteral("CardTitle"), card);
        setLetterSpacing(t, 2);
        layout->addWidget(t);
    }
    if (layoutOut)
        *layoutOut = layout;
    return card;
}

QWidget *makePageHeader(const QString &title, const QString &subtitle, QLabel **subtitleOut)
{
    auto *block = new QWidget;
    auto *layout = new QVBoxLayout(block);
    layout->setContentsMargins(0, 0, 0, 4);
    layout->setSpacing(2);
    QLabel *t = makeLabel(title.toUpper(), QStringLiteral("PageTitle"), block);
    setLetterSpacing(t, 4);
    QLabel *s = makeLabel(subtitle, QStringLiteral("PageSubtitle"), block);
    s->setWordWrap(true);
    layout->addWidget(t);
    layout->addWidget(s);
    if (subtitleOut)
        *subtitleOut = s;
    return block;
}

void fillMaxPingChoices(QComboBox *combo, int current)
{
    combo->clear();
    for (int ms : {60, 100, 150, 200})
        combo->addItem(QCoreApplication::translate("pagekit", "%1 ms").arg(ms), ms);
    combo->addItem(QCoreApplication::translate("pagekit", "Any"), 0);
    const int index = combo->findData(current);
    combo->setCurrentIndex(index >= 0 ? index : 2);
}

void fillRegionChoices(QComboBox *combo, const QString &currentCode)
{
    combo->clear();
    for (const Region &r : regions())
        combo->addItem(r.name, r.code);
    const int index = combo->findData(currentCode);
    combo->setCurrentIndex(index >= 0 ? index : 0);
}
