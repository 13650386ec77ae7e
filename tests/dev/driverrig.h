#pragma once
// One launcher's server link, match controller, menu bridge and test driver in the test process,
// with orx-testgame as the player's game. The driver's steps are read back from the launcher log.

#include "app/launchoptions.h"
#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "dev/testdriver.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

class DriverRig {
public:
    // The password variable the rigs use; each case sets or clears it.
    static constexpr const char *PasswordVariable = "ORX_TEST_DRIVER_PASSWORD";

    explicit DriverRig(const QString &gameExe = QString())
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        const QString config = dir.filePath("data/orx-launcher.ini");
        {
            QSettings s(config, QSettings::IniFormat);
            s.setValue("online/game_port", probe.localPort());
            s.setValue("dev/udp_loopback", true);
            s.setValue("games/orx/exe",
                       gameExe.isEmpty() ? qEnvironmentVariable("ORX_BIN_DIR") + "/orx-testgame" : gameExe);
        }
        cfg::resetForTesting();
        cfg::init(config);
        server = std::make_unique<ServerClient>();
        ServerClient::Timing timing;
        timing.reconnectFirstMs = 200;
        timing.reconnectMaxMs = 400;
        server->setTiming(timing);
        match = std::make_unique<MatchController>(server.get());
        bridge = std::make_unique<MenuBridge>(server.get(), match.get());
    }
    ~DriverRig()
    {
        driver.reset();
        bridge.reset();
        match.reset();
        server.reset();
        cfg::resetForTesting();
    }

    // The driver for these options, created as the main window does, before the link connects.
    void start(LaunchOptions options)
    {
        options.passwordEnv = QString::fromLatin1(PasswordVariable);
        driver = std::make_unique<TestDriver>(options, server.get(), match.get(), bridge.get());
    }
    void connectTo(quint16 port)
    {
        server->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(port), QString());
    }

    // The driver's log lines, without their time stamps and "cli: ".
    QStringList cliLines() const
    {
        QFile f(logFilePath());
        QStringList lines;
        if (!f.open(QIODevice::ReadOnly))
            return lines;
        for (const QByteArray &raw : f.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw);
            const qsizetype at = line.indexOf(QLatin1String(" cli: "));
            if (at >= 0)
                lines << line.mid(at + 6);
        }
        return lines;
    }
    int countCli(const QString &text) const { return int(cliLines().count(text)); }
    bool waitForCli(const QString &text, int ms = 20000) const
    {
        return orxtest::waitUntil([&] { return cliLines().contains(text); }, ms);
    }
    // The first line starting with `prefix`, or empty.
    QString cliStartingWith(const QString &prefix) const
    {
        for (const QString &line : cliLines())
            if (line.startsWith(prefix))
                return line;
        return QString();
    }
    QString dump() const { return cliLines().join(QLatin1Char('\n')); }
    // The whole launcher log, for failure messages.
    QString wholeLog() const
    {
        QFile f(logFilePath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    std::unique_ptr<ServerClient> server;
    std::unique_ptr<MatchController> match;
    std::unique_ptr<MenuBridge> bridge;
    std::unique_ptr<TestDriver> driver;
};
