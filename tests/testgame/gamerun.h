#pragma once
// One orx-testgame process with its own session folder, driven the way the launcher drives it:
// commands into cmd.txt, status from status.txt, and everything it printed kept for checks.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <memory>

class GameRun {
public:
    GameRun()
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_out += m_process.readAllStandardOutput(); });
    }
    ~GameRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    bool start(const QStringList &args)
    {
        if (!m_dir.isValid())
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("ORX_TESTGAME_ARGS");
        env.remove("ORX_TESTGAME_SCRIPT");
        env.insert("ORX_SESSION_DIR", m_dir.path());
        env.insert("ORX_LOG", path("game.log"));
        env.insert("ORX_CMD", path("cmd.txt"));
        env.insert("ORX_STATUS", path("status.txt"));
        env.insert("ORX_GAME", "orx");
        env.insert("ORX_INSTANCE", "1");
        env.insert("ORX_NET", "1");
        m_process.setProcessEnvironment(env);
        m_process.start(QDir(qEnvironmentVariable("ORX_BIN_DIR")).filePath("orx-testgame"),
                        QStringList{"--boot-ms", "0"} + args);
        return m_process.waitForStarted(30000);
    }

    QString path(const QString &name) const { return QDir(m_dir.path()).filePath(name); }

    void command(const QString &line)
    {
        QSaveFile file(path("cmd.txt"));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(line.toUtf8() + '\n');
            file.commit();
        }
    }
    bool commandTaken() const { return !QFile::exists(path("cmd.txt")); }

    QString status() const
    {
        QFile file(path("status.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        const QByteArray bytes = file.readAll();
        return QString::fromUtf8(bytes.left(bytes.indexOf('\n'))).trimmed();
    }
    QString statusWord() const { return status().section(' ', 0, 0); }

    // Every status line it reported, in order.
    QStringList statuses()
    {
        m_out += m_process.readAllStandardOutput();
        QStringList lines;
        for (const QByteArray &line : m_out.split('\n'))
            if (line.startsWith("status: "))
                lines << QString::fromUtf8(line.mid(8));
        return lines;
    }

    QString log() const
    {
        QFile file(path("game.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_out;
};

// Holds a UDP port on loopback, as the launcher's rendezvous holds the game port before a match.
class PortHolder {
public:
    bool hold()
    {
        m_socket = std::make_unique<QUdpSocket>();
        if (!m_socket->bind(QHostAddress::AnyIPv4, 0))
            return false;
        m_port = m_socket->localPort();
        return true;
    }
    void release() { m_socket.reset(); }
    quint16 port() const { return m_port; }
    QUdpSocket *socket() const { return m_socket.get(); }

private:
    std::unique_ptr<QUdpSocket> m_socket;
    quint16 m_port = 0;
};
