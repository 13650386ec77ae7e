#pragma once
// One run of the game executable. The launcher talks to the game only through its environment,
// files in the run's session folder (cmd.txt written by the launcher, status.txt written by the
// game) and its merged standard output. Every game ends with the launcher, however that ends.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

class GameProcess : public QObject {
    Q_OBJECT
public:
    GameProcess(const QString &gameId, int instance, QObject *parent = nullptr);
    ~GameProcess() override;

    // Before start: the command-line arguments (not used for a ".py" game) and whether this game
    // shows its own online menus.
    void setArguments(const QStringList &arguments) { m_arguments = arguments; }
    void setMenuGame(bool on) { m_menuGame = on; }

    // Checks that the game can run, makes a fresh session folder, starts the executable and ties it
    // to the launcher. True when it runs (also when it already did); false with `error` filled.
    bool start(const QString &executable, QString *error = nullptr, bool online = true);

    QString gameId() const { return m_gameId; }
    int instance() const { return m_instance; }
    QString sessionDir() const { return m_sessionDir; }
    QString lastStatus() const { return m_lastStatus; }
    // The first word of the last status line.
    QString statusWord() const;
    int exitCode() const { return m_exitCode; }
    bool isMenuGame() const { return m_menuGame; }
    bool isOnline() const { return m_online; }
    // The launcher asked this run to end (quit or stop); stays set until the next start.
    bool stopping() const { return m_stopping; }
    bool isRunning() const;
    qint64 processId() const;

    // Delivers one command through cmd.txt: at once when the game has taken the last one (or 2000 ms
    // have passed), otherwise kept as the one pending command, which a newer command replaces.
    void sendCommand(const QString &text);
    // Asks the game to end ("quit" for an online game, a close request otherwise); kills it when it
    // is still there after 5000 ms.
    void quit();
    // Kills the game at once.
    void stop();
    // Reads status.txt now (also run every 100 ms while an online game runs).
    void pollStatus();

signals:
    void statusChanged(const QString &line);
    void outputLine(const QString &line);
    void exited(int exitCode, bool crashed);

private:
    bool checkBeforeStart(const QString &executable, QString *error) const;
    bool launch(const QString &executable, QString *error);
    void writeCommand(const QString &text);
    void readOutput();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void log(const QString &text) const;

    QString m_gameId;
    int m_instance;
    QProcess *m_process = nullptr;
    QTimer m_statusTimer;
    QTimer m_killTimer;
    QString m_sessionDir;
    QString m_commandFile;
    QString m_statusFile;
    QString m_lastStatus;
    QString m_pendingCommand;
    QElapsedTimer m_commandClock;
    bool m_online = false;
    bool m_menuGame = false;
    bool m_stopping = false;
    int m_exitCode = 0;
    QByteArray m_outputBuffer;
    QStringList m_arguments;
};
