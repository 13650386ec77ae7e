#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

class Connection;
class Db;

// Receives F3 reports: the files of a capture in numbered Base64 parts ("report_file"), then
// "report_done". Each finished report becomes a folder under "reports" in the data folder and a
// row in the reports table. One report per account is received at a time.
class F3Inbox {
public:
    static constexpr qint64 DefaultReportBytes = 64LL * 1024 * 1024;
    static constexpr qint64 DefaultAccountBytes = 1024LL * 1024 * 1024;
    static constexpr int MaxFiles = 64;
    static constexpr int MaxNameChars = 64;
    static constexpr int MaxParts = 10000;
    static constexpr int MaxPartBytes = 11400;

    static constexpr qint64 DefaultTotalBytes = 10LL * 1024 * 1024 * 1024;
    // New reports are refused while the data folder's disk has less free than this, or than
    // FreeFloorPercent of its size.
    static constexpr qint64 FreeFloorBytes = 2LL * 1024 * 1024 * 1024;
    static constexpr int FreeFloorPercent = 5;

    // `reportLimit`: bytes one report may store (unpacked); `accountBudget`: bytes all stored reports
    // of one account may take together; `total`: bytes all stored reports may take; reports older
    // than `days` are deleted. What is stored is counted from the disk at start.
    F3Inbox(const QString &dataDir, Db &db, qint64 reportLimit = DefaultReportBytes,
            qint64 accountBudget = DefaultAccountBytes, qint64 total = DefaultTotalBytes, int days = 90);
    ~F3Inbox();

    void handleFile(Connection *c, int accountId, const QString &accountName, const QJsonObject &msg);
    void handleDone(Connection *c, int accountId, const QJsonObject &msg);
    // Drops an unfinished report (the sender went away).
    void forget(int accountId);
    // Deletes the reports older than the days kept, folders and records; how many went.
    int expire();
    qint64 storedBytes() const { return m_totalBytes; }

private:
    struct File {
        int parts = 0;
        int next = 0;
        bool zlib = false;
        QString temporary; // where the parts go until the file is complete
        qint64 packed = 0; // bytes received so far
    };
    struct Upload {
        QString id, game, folder;
        QHash<QString, File> files;
        QStringList order;
        qint64 bytes = 0; // stored: received parts, and complete files as unpacked
    };
    bool finishFile(Upload &u, const QString &name, qint64 room, bool *tooBig, QString *error);
    // A packed file is unpacked and written on a worker thread; the sender's later requests wait
    // (the connection is held) until it is done.
    void inflateOffThread(Connection *c, int accountId, const QJsonObject &msg, const QString &name,
                          qint64 room);
    void fail(Connection *c, int accountId, const QJsonObject &msg, const QString &text);
    void failToStore(Connection *c, int accountId, const QJsonObject &msg);
    // What this upload may still store: the report's limit and the account's budget.
    qint64 room(int accountId, const Upload &u);
    QString limitText(int accountId, const Upload &u);

    QString m_root;
    Db &m_db;
    qint64 m_reportLimit;
    qint64 m_accountBudget;
    QHash<int, Upload> m_uploads;
    QHash<int, QString> m_refused;     // the last refused report id per account
    QHash<int, qint64> m_accountBytes; // stored reports per account, counted from disk at start
    qint64 m_total;                    // the most all reports may store
    qint64 m_totalBytes = 0;           // what they store now
    int m_days;
    // Counts what the recorded reports hold on disk, and deletes folders no record names (left by
    // a stop in the middle of an upload).
    void countFromDisk();
    bool diskNearlyFull() const;
    QThreadPool m_pool; // unpacking and writing packed files
    QObject m_context;  // where the workers' results come back to, on the serving thread
};
