#pragma once
#include <QWidget>

// Base of the four pages: a widget that holds the game id the main window gives it once.
class Page : public QWidget {
    Q_OBJECT
public:
    explicit Page(QWidget *parent = nullptr) : QWidget(parent) {}
    virtual void setGame(const QString &gameId) { m_gameId = gameId; }
    QString gameId() const { return m_gameId; }

private:
    QString m_gameId;
};
