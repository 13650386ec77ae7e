#pragma once
#include <QPlainTextEdit>

// The log pane: read-only, keeps the last 500 lines, always scrolled to the newest.
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);
    // Adds "[hh:mm:ss] text" and scrolls to it.
    void append(const QString &text);
};
