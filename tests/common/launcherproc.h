#pragma once
// Runs one orx-launcher process for a test: offscreen, with its own settings file, its dialogs
// closing themselves, and helpers to wait for its log lines and end it politely.

#include "testutil.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <csignal>

namespace testutil {

class LauncherProcess {
public:
    explicit LauncherProcess(const QString &config) : m_config(config) {}
    ~LauncherProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QProcessEnvironment &env() { return m_env; }
    bool keepRouterAlone = true;
    // A command that runs the launcher, e.g. as another user: its program and the arguments that
    // come before the launcher's path. Empty runs the launcher directly.
    QStringList wrapper;
    QProcess &process() { return m_process; }

    void start(const QStringList &extra = {}, const QString &program = binary(QStringLiteral("orx-launcher")))
    {
        // Tests never search the network for a router: the search is multicast beyond this machine.
        if (!m_config.isEmpty() && keepRouterAlone) {
            QSettings settings(m_config, QSettings::IniFormat);
            if (!settings.contains(QStringLiteral("online/upnp")))
                settings.setValue(QStringLiteral("online/upnp"), false);
        }
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_env.insert(QStringLiteral("ORX_AUTO_CLOSE_MS"), QStringLiteral("100"));
        m_process.setProcessEnvironment(m_env);
        QStringList args = extra;
        if (!m_config.isEmpty())
            args = QStringList{QStringLiteral("--config"), m_config} + args;
        if (wrapper.isEmpty())
            m_process.start(program, args);
        else
            m_process.start(wrapper.first(), wrapper.mid(1) + QStringList{program} + args);
    }

    QString logPath() const
    {
        return QFileInfo(m_config).absolutePath() + QStringLiteral("/orx-launcher.log");
    }
    // The log's lines without their time stamps.
    QStringList logLines() const { return logLinesOf(logPath()); }
    static QStringList logLinesOf(const QString &path)
    {
        QStringList out;
        for (const QByteArray &line : readAll(path).split('\n'))
            if (!line.isEmpty())
                out << QString::fromUtf8(line.mid(24));
        return out;
    }
    bool waitForLog(const QString &text, int ms = 30000) const
    {
        return waitFor([&] { return logLines().contains(text); }, ms);
    }
    bool waitForLogStartingWith(const QString &prefix, int ms = 30000) const
    {
        return waitFor(
            [&] {
                for (const QString &l : logLines())
                    if (l.startsWith(prefix))
                        return true;
                return false;
            },
            ms);
    }
    // Asks the launcher to close as a window close does; returns its exit code (-1 if it hung).
    int terminate(int ms = 30000)
    {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(scaled(ms)))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    bool running() const { return m_process.state() == QProcess::Running; }

private:
    QString m_config;
    QProcess m_process;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
};

} // namespace testutil
