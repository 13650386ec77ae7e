#pragma once
// One orx-match-driver child process seen from the test: its settings, its commands and the
// events it printed.

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

#include "scriptedclient.h"

#include <cstdio>

class DriverProcess {
public:
    struct Options {
        QString name;
        bool udpBlocked = false;
        bool hideIp = false;
        int inputDelay = -1;
        QStringList gameArgs;  // ORX_TESTGAME_ARGS words
        QStringList timing;    // key=ms for the controller
        int reconnectMs = 500; // the server link's first reconnect delay
        bool bridge = false;   // a menu bridge serves the player's game
        int bridgeGraceMs = 0; // the bridge's spectator grace after a dropped link (0: its own)
    };

    ~DriverProcess()
    {
        // A failed case shows everything each launcher said (a QVERIFY2 message is cut short).
        if (QTest::currentTestFailed())
            qWarning("%s", qPrintable(dump()));
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.write("quit\n");
            if (!m_proc.waitForFinished(orxtest::scaled(10000))) {
                m_proc.kill();
                m_proc.waitForFinished(5000);
            }
        }
    }

    static quint16 freeUdpPort()
    {
        QUdpSocket s;
        s.bind(QHostAddress::LocalHost, 0);
        return s.localPort();
    }

    bool start(const Options &o, quint16 serverPort)
    {
        m_name = o.name;
        gamePort = freeUdpPort();
        const QString config = m_dir.filePath("data/orx-launcher.ini");
        {
            QSettings s(config, QSettings::IniFormat);
            s.setValue("online/game_port", gamePort);
            s.setValue("online/input_delay",
                       o.inputDelay < 0 ? QString("auto") : QString::number(o.inputDelay));
            s.setValue("online/hide_ip", o.hideIp);
            s.setValue("dev/udp_loopback", true);
            s.setValue("dev/udp_blocked", o.udpBlocked);
            s.setValue("games/orx/exe", qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame");
        }
        QStringList args{"--config", config, "--server", QString("tcp://127.0.0.1:%1").arg(serverPort)};
        args << "--reconnect-ms" << QString::number(o.reconnectMs);
        if (o.bridge)
            args << "--bridge"
                 << "1";
        if (o.bridgeGraceMs > 0)
            args << "--bridge-grace" << QString::number(o.bridgeGraceMs);
        for (const QString &t : o.timing)
            args << "--timing" << t;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORX_TESTGAME_ARGS", o.gameArgs.join(' '));
        m_proc.setProcessEnvironment(env);
        m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, [this] {
            m_buffer += m_proc.readAllStandardOutput();
            qsizetype nl;
            while ((nl = m_buffer.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(m_buffer.left(nl));
                m_buffer.remove(0, nl + 1);
            }
        });
        m_proc.start(qEnvironmentVariable("ORX_BIN_DIR") + "/orx-match-driver", args);
        return m_proc.waitForStarted(orxtest::scaled(10000)) && waitFor("driver ready");
    }

    // Connects, registers and starts the player's game; true once the game reports `status` (a
    // game scripted to go on at once may never be seen "ready" on a busy machine).
    bool signInAndPlay(const QString &password = "secret-pass", const QString &status = "ready")
    {
        send("connect");
        if (!waitFor("state 2"))
            return false;
        send("register " + m_name + " " + password);
        if (!waitFor("loggedin"))
            return false;
        send("play");
        return waitFor("play ok") && waitFor("game " + status);
    }

    void send(const QString &line) { m_proc.write((line + "\n").toUtf8()); }

    // The session folder of the player's game, once it started.
    QString sessionDir() const
    {
        const qsizetype i = find("log Your game is starting (session ");
        if (i < 0)
            return QString();
        QString dir = lines.at(i).mid(QString("log Your game is starting (session ").size());
        dir.chop(1);
        return dir;
    }

    // Every command line the game took so far, in order (the stand-in game's own record).
    QStringList gameCommands() const
    {
        QFile f(sessionDir() + "/testgame-commands.txt");
        if (sessionDir().isEmpty() || !f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    // Replaces the game's status file as the game does, and waits until the controller has read it.
    bool setGameStatus(const QString &line)
    {
        const QString dir = sessionDir();
        if (dir.isEmpty())
            return false;
        const int before = count("game " + line);
        QFile f(dir + "/status.tmp");
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write(line.toUtf8());
        f.close();
        if (std::rename(qPrintable(dir + "/status.tmp"), qPrintable(dir + "/status.txt")) != 0)
            return false;
        return orxtest::waitUntil([&] { return count("game " + line) > before; });
    }

    // Index of the first line from `from` on that starts with `prefix`, or -1.
    qsizetype find(const QString &prefix, qsizetype from = 0) const
    {
        for (qsizetype i = from; i < lines.size(); ++i)
            if (lines.at(i).startsWith(prefix))
                return i;
        return -1;
    }
    bool has(const QString &prefix) const { return find(prefix) >= 0; }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &l : lines)
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }
    bool waitFor(const QString &prefix, int timeoutMs = 20000)
    {
        return orxtest::waitUntil([&] { return has(prefix) || m_proc.state() == QProcess::NotRunning; },
                                  timeoutMs) &&
               has(prefix);
    }
    // The JSON after the first line starting with `prefix` (or after its `nth` one, from 0).
    QJsonObject json(const QString &prefix, int nth = 0) const
    {
        qsizetype i = find(prefix);
        while (i >= 0 && nth-- > 0)
            i = find(prefix, i + 1);
        return i < 0 ? QJsonObject()
                     : QJsonDocument::fromJson(lines.at(i).mid(prefix.size()).toUtf8()).object();
    }
    // The server messages of one type, in order.
    QList<QJsonObject> messages(const QString &type) const
    {
        QList<QJsonObject> found;
        for (const QString &l : lines)
            if (l.startsWith("msg ")) {
                const QJsonObject o = QJsonDocument::fromJson(l.mid(4).toUtf8()).object();
                if (o.value("type").toString() == type)
                    found << o;
            }
        return found;
    }
    // The launcher's own log (orx-launcher.log beside its settings).
    QString launcherLog() const
    {
        QFile f(m_dir.filePath("data/orx-launcher.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString dump() const { return m_name + ":\n  " + lines.join("\n  "); }

    QStringList lines;
    quint16 gamePort = 0;

private:
    QTemporaryDir m_dir;
    QString m_name;
    QProcess m_proc;
    QByteArray m_buffer;
};
