#pragma once
// F3 reports: watches the "captures" folders of the running games, waits until a capture is
// written, shrinks it with the end of the game's log and an information file into one report, and
// sends it to the server in numbered parts over the normal connection, two parts per tick. One
// report at a time; each capture is sent at most once per run and a failed one is not retried.

#include "report/reportfiles.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

class GameProcess;
class QThread;
class ServerClient;

class ReportSender : public QObject {
    Q_OBJECT
public:
    // The game processes to watch; any of them may be null.
    using GameList = std::function<QList<GameProcess *>()>;

    // The times the sender works with. Tests shorten them; the launcher keeps the defaults.
    struct Timing {
        int scanMs = 2000;    // how often the captures folders are looked at
        int sendMs = 100;     // one send tick: two messages
        int settleMs = 15000; // a capture without its last frame is taken this long after it was found
        int answerMs = 60000; // the server's answer after the last message went out
    };

    // A capture folder found and not yet sent.
    struct Entry {
        QString gameId;
        QString sessionDir;
        QString captureDir;
        qint64 foundMs = 0; // on the sender's monotonic clock
    };

    ReportSender(ServerClient *server, GameList games, QObject *parent = nullptr);
    ~ReportSender() override;

    void setTiming(const Timing &timing);
    Timing timing() const { return m_timing; }

    const QSet<QString> &seen() const { return m_seen; }
    const QList<Entry> &pending() const { return m_pending; }
    QString reportId() const { return m_reportId; }
    int fileCount() const { return m_fileCount; }
    qint64 totalBytes() const { return m_totalBytes; }
    const QList<QJsonObject> &outbox() const { return m_outbox; }
    const QTimer &scanTimer() const { return m_scanTimer; }
    const QTimer &sendTimer() const { return m_sendTimer; }
    // A report's files are being built on a worker thread.
    bool isBuilding() const { return m_building; }

    // One scan and one send tick, as the timers run them.
    void scan();
    void sendTick();

signals:
    // Every sentence for the player: a report's start, its success or why it failed.
    void logLine(const QString &text);

private:
    void startBuild(const Entry &entry);
    // What the worker thread hands back.
    struct BuildResult {
        QList<report::ReportFile> files;
        QList<QJsonObject> messages;
        bool jpegMissing = false;
    };
    void startSending(const Entry &entry, const QString &id, BuildResult &built);
    void onMessage(const QJsonObject &msg);
    void onStateChanged();
    void finish(const QString &sentence);

    ServerClient *m_server;
    GameList m_games;
    Timing m_timing;
    QSet<QString> m_seen;
    QList<Entry> m_pending;
    QString m_reportId;
    int m_fileCount = 0;
    qint64 m_totalBytes = 0;
    QList<QJsonObject> m_outbox;
    QTimer m_scanTimer;
    QTimer m_sendTimer;
    QTimer m_answerTimer;
    QElapsedTimer m_clock;
    bool m_building = false;
    // The id the server link gave the report's first message: errors answering older ones are not
    // about this report.
    int m_firstMessageId = -1;
    QThread *m_worker = nullptr;
    std::shared_ptr<std::atomic<bool>> m_cancel;
};
