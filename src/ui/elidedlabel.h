#pragma once
// A one-line label that gives way: narrower than its text, it shows the text cut with "…" and
// keeps the whole text for text() and the tool tip.

#include <QLabel>

class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // Sets the text and the tool tip together.
    void setFullText(const QString &text);
    // What is drawn at the label's current width.
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
