#pragma once
// The build pipeline of one game, without any window: check the player's files, extract and place
// them, then compile the game with its build script. The Build game page drives it and shows what
// it reports; tools and tests drive it the same way.

#include "build/buildcheck.h"
#include "build/buildfiles.h"

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <functional>

class QProcess;
class QThread;

class BuildPipeline : public QObject {
    Q_OBJECT
public:
    enum Busy { Idle = 0, Checking = 1, Placing = 2, Compiling = 3 };

    // Free bytes on the drive holding a folder, or -1 when the drive does not say.
    using FreeSpaceQuery = std::function<qint64(const QString &folder)>;

    static constexpr qint64 freeSpaceMargin = 2147483648LL; // 2 GiB beyond what is written
    static constexpr int progressIntervalMs = 500;

    explicit BuildPipeline(const QString &gameId, QObject *parent = nullptr);
    ~BuildPipeline() override;

    // CHECK AND BUILD: checks the inputs, then (on success) places the files and compiles. False
    // when it did not start (busy, unknown game, or a chosen file that is not there; the reason is
    // in the log view).
    bool startBuild(const BuildInputs &inputs);
    // Runs the build script; also started after a successful build step. False when it did not
    // start (busy, or a reason given in the log view).
    bool compileGame();
    // Stops whatever runs: the workers at their next step, the build script at once.
    void cancel();

    Busy busy() const { return m_busy; }
    QString gameId() const { return m_gameId; }
    // The last check's result (null before the first check).
    QSharedPointer<const BuildCheck> lastCheck() const { return m_check; }
    // The counters of the running extraction.
    qint64 bytesDone() const { return m_counters.bytesDone; }
    int filesDone() const { return m_counters.filesDone; }
    qint64 totalBytes() const { return m_totalBytes; }
    int totalFiles() const { return m_totalFiles; }

    // The build script this pipeline runs: the setting, else the system's script in the game folder.
    QString buildScript() const;

    // What the Play page and the main window ask about a built game.
    // Why the installed title update cannot be played (empty when it can).
    static QString titleUpdateReason(const QString &gameId);
    // The game was built by another release of the launcher (its game project changed since).
    static bool builtByAnotherRelease(const QString &gameId);

    void setFreeSpaceQuery(FreeSpaceQuery query) { m_freeSpace = std::move(query); }

signals:
    // One line for the page's log view.
    void logLine(const QString &text);
    void busyChanged(bool busy);
    // The progress bar: its range, value and format ("%p%" is the bar's own percentage).
    void progressChanged(int minimum, int maximum, int value, const QString &format);
    // The check refused the files, or the drive is too full: a box titled "Cannot build the game".
    void cannotBuild(const QString &text);
    // The title update is missing or wrong: the page asks the player to choose it.
    void titleUpdateNeeded(const QString &text);
    // Something the page's summary shows may have changed.
    void summaryChanged();
    // The build step ended (files in place or not).
    void filesPlaced(bool ok);
    // The build script ended: the game is built or not.
    void compiled(bool built);

private:
    void setBusy(Busy busy);
    void onChecked(QSharedPointer<x360::Disc> disc, QSharedPointer<BuildCheck> check);
    void onBuildFinished(bool ok, const QString &error);
    void updateProgress();
    void readScriptOutput(bool flushAll);
    void onScriptFinished(int exitCode, bool normalExit);
    BuildFolders folders() const;
    void log(const QString &text) const;

    QString m_gameId;
    Busy m_busy = Idle;
    BuildCounters m_counters;
    qint64 m_totalBytes = 0;
    int m_totalFiles = 0;
    QSharedPointer<const BuildCheck> m_check;
    QThread *m_worker = nullptr;
    QTimer m_progressTimer;
    QProcess *m_script = nullptr;
    QByteArray m_scriptOutput;
    FreeSpaceQuery m_freeSpace;
};
