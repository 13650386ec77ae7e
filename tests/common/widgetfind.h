#pragma once
// Finding a page's widgets the way a player sees them: a label by its accessible name, a button by
// its text.

#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace testutil {

inline QLabel *labelNamed(QWidget *page, const QString &accessibleName)
{
    for (QLabel *l : page->findChildren<QLabel *>())
        if (l->accessibleName() == accessibleName)
            return l;
    return nullptr;
}

inline QPushButton *buttonNamed(QWidget *page, const QString &text)
{
    for (QPushButton *b : page->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

} // namespace testutil
