#pragma once
// "game.log" as the game writes it: time-stamped lines, opened with the header lines the launcher
// reads ("] OS: ", "] CPU: ", "] Game: "). Every line is flushed at once, so a crash loses nothing.

#include <QFile>
#include <QString>

class GameLog {
public:
    // `path` empty: lines are dropped.
    explicit GameLog(const QString &path);
    void writeHeader(const QString &gameId, int instance);
    void line(const QString &text);

private:
    QFile m_file;
};
