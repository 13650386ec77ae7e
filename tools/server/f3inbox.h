#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class Connection;
class Db;

// Receives F3 reports: the files of a capture in numbered Base64 parts ("report_file"), then
// "report_done". Each finished report becomes a folder under "reports" in the data folder and a
// row in the reports table. One report per account is received at a time.
class F3Inbox {
public:
    static constexpr qint64 MaxReportBytes = 64LL * 1024 * 1024;
    static constexpr int MaxFiles = 64;
    static constexpr int MaxParts = 10000;
    static constexpr int MaxPartBytes = 11400;

    F3Inbox(const QString &dataDir, Db &db);
    ~F3Inbox();

    void handleFile(Connection *c, int accountId, const QString &accountName, const QJsonObject &msg);
    void handleDone(Connection *c, int accountId, const QJsonObject &msg);
    // Drops an unfinished report (the sender went away).
    void forget(int accountId);

private:
    struct File {
        int parts = 0;
        int next = 0;
        bool zlib = false;
    };
    struct Upload {
        QString id, game, folder;
        QHash<QString, File> files;
        QStringList order;
        qint64 bytes = 0;
    };
    bool finishFile(Upload &u, const QString &name, QString *error);
    void fail(Connection *c, int accountId, const QJsonObject &msg, const QString &text);

    QString m_root;
    Db &m_db;
    QHash<int, Upload> m_uploads;
};
