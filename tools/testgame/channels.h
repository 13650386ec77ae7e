#pragma once
// The game's ends of the session files: it replaces status.txt whole, takes cmd.txt (by moving it
// aside, so a command written meanwhile is never deleted unread) and writes ask.txt one request at a
// time, waiting until the launcher has taken the previous one.

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

// Replaces `path` whole with `bytes` (temporary file, then rename).
bool replaceFile(const QString &path, const QByteArray &bytes);

class StatusFile {
public:
    explicit StatusFile(const QString &path) : m_path(path) {}
    bool isSet() const { return !m_path.isEmpty(); }
    void write(const QString &line);
    QString last() const { return m_last; }

private:
    QString m_path;
    QString m_last;
};

class CommandInbox {
public:
    CommandInbox(const QString &path, int takeAfterMs) : m_path(path), m_takeAfterMs(takeAfterMs) {}
    // The command waiting in the file, when there is one to take now; empty otherwise.
    QString take();

private:
    QString m_path;
    int m_takeAfterMs;
    QElapsedTimer m_seen; // since the current file was first seen
};

class AskOutbox {
public:
    explicit AskOutbox(const QString &path) : m_path(path) {}
    void add(const QString &line) { m_queue << line; }
    // Writes the next request once the launcher has taken the last one.
    void pump();

private:
    QString m_path;
    QStringList m_queue;
};
