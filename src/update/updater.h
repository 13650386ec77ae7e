#pragma once
// Self-update: judges the server's update offers, downloads the named release while hashing it,
// unpacks and checks it, puts it in place of the launcher's own files (rolling everything back
// when one file cannot be replaced), starts the new launcher and, at the next start, deletes what
// the install set aside. Every failure leaves the launcher's files as they were.

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>

class QFile;
class QJsonValue;
class QNetworkAccessManager;
class QNetworkReply;
class QProcess;
class QTimer;

class Updater : public QObject {
    Q_OBJECT
public:
    // Waits the updater makes, changeable by tests.
    struct Timing {
        int stallMs = 60000; // a download that receives nothing this long ends
        // After a restart by an update, the clean-up runs again this long after start (the old
        // launcher may still hold its files for a moment).
        QList<int> cleanUpAfterRestartMs = {2000, 5000, 10000, 20000};
    };

    // An offer's fields, read from its JSON object. "notes" and "page" are the server's words and
    // address for the player; they are shown, never trusted.
    struct Offer {
        QString version;
        QString build;
        qint64 size = 0;
        QString sha256;
        QString url;
        QString notes;
        QString page;
        static Offer fromJson(const QJsonObject &offer);
    };

    // Offers larger than this are refused.
    static constexpr qint64 maxSize = 1073741824;
    static constexpr int maxUrlLength = 500;

    // `network` is shared with the main window; without one the updater makes its own.
    explicit Updater(QNetworkAccessManager *network = nullptr, QObject *parent = nullptr);
    ~Updater() override;

    void setTiming(const Timing &timing) { m_timing = timing; }
    Timing timing() const { return m_timing; }

    // The offer object when it is acceptable and newer than this launcher (or this version with
    // another build), else an empty object. Also decides whether an offer is shown at all.
    static QJsonObject acceptOffer(const QJsonValue &offer);
    // Whether an offer is the running version with another, known build (a test build's offer).
    static bool isOtherBuild(const QJsonObject &offer);
    // Why the launcher cannot update itself here ("" when it can).
    static QString canUpdate();
    // Just the offer's address and size rules (also the server's check before it sends one).
    static bool offerUrlAllowed(const QString &url);
    // Numeric version comparison: negative, 0 or positive as a is older, equal or newer than b.
    static int compareVersions(const QString &a, const QString &b);

    // Begins downloading an accepted offer; does nothing while an update is active.
    void start(const QJsonObject &offer);
    // Stops whatever is in progress; the downloaded archive stays. Only while active.
    void cancel();
    // Replaces the launcher's files with the unpacked release and starts the new launcher. Only
    // when active and ready; ends with `installed` or `failed`.
    void install();
    // Deletes the files an earlier install set aside (call at start).
    void cleanUpOldFiles();
    // After a restart by an update: cleanUpOldFiles again at each of Timing::cleanUpAfterRestartMs.
    void scheduleCleanUpsAfterRestart();

    // The current offer's version ("" before any).
    QString version() const { return m_offer.version; }
    QJsonObject offer() const { return m_offerJson; }
    // A download, unpack or install is in progress (also while ready and waiting to install).
    bool isActive() const { return m_active; }
    // The release is downloaded, unpacked and checked: install() can run.
    bool isReady() const { return m_active && m_ready; }

    // The working folder and its parts, in the application folder (cfg::appDir()).
    static QString updateDir();
    static QString stageDir();
    static QString archivePath(const QString &version);
    static QString oldFilesPath();

signals:
    // percent -1: no known fraction.
    void progress(const QString &text, int percent);
    void readyToInstall();
    void failed(const QString &text);
    // `started`: whether the new launcher could be started.
    void installed(const QString &version, bool started);

private:
    void readData();
    void downloadFinished();
    void stalled();
    void startUnpacking();
    void unpackWith(int tool);
    void unpackFinished(int tool, int exitCode);
    bool stageIsTheRelease() const;
    void stopUnpack();
    void fail(const QString &message);
    void stopReply();
    void closeArchive();

    Timing m_timing;
    QNetworkAccessManager *m_network = nullptr;
    Offer m_offer;
    QJsonObject m_offerJson;
    bool m_active = false;
    bool m_ready = false;
    bool m_stalled = false;
    QString m_writeError; // why the archive could not be written, when it could not
    qint64 m_received = 0;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    std::unique_ptr<QFile> m_archive;
    QPointer<QNetworkReply> m_reply;
    QPointer<QProcess> m_unpack;
    QTimer *m_stallTimer = nullptr;
};
