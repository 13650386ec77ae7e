#pragma once
// One launcher's server link, match controller and menu bridge in the test process, against the
// scripted server of the net tests, with orx-testgame as the player's game. Every document read
// from disk goes through the schema check; a document that does not parse fails the case.

#include "bridge/menubridge.h"
#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "match/matchcontroller.h"
#include "net/serverclient.h"
#include "scriptedclient.h"
#include "scriptedpeer.h"
#include "testutil.h"
#include "uischema.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

class BridgeRig {
public:
    static MenuBridge::Timing fastTiming()
    {
        MenuBridge::Timing t;
        t.writeMs = 300;
        return t;
    }

    explicit BridgeRig(const MenuBridge::Timing &timing = fastTiming(), const QStringList &gameArgs = {})
        : m_gameArgs(gameArgs)
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::LocalHost, 0);
        const QString config = dir.filePath("data/orx-launcher.ini");
        {
            QSettings s(config, QSettings::IniFormat);
            s.setValue("online/game_port", probe.localPort());
            s.setValue("dev/udp_loopback", true);
            s.setValue("games/orx/exe", testutil::binary(QStringLiteral("orx-testgame")));
        }
        cfg::resetForTesting();
        cfg::init(config);
        server = std::make_unique<ServerClient>();
        match = std::make_unique<MatchController>(server.get());
        bridge = std::make_unique<MenuBridge>(server.get(), match.get());
        bridge->setTiming(timing);
    }
    ~BridgeRig()
    {
        bridge.reset();
        match.reset();
        server.reset();
        cfg::setAppDirForTesting(QString());
        cfg::resetForTesting();
    }

    // Connected and greeted by the scripted server.
    bool connect(QJsonObject welcome = {})
    {
        if (welcome.isEmpty())
            welcome = QJsonObject{{"online", 3}};
        welcome.insert("type", "welcome");
        welcome.insert("server", "orx-test");
        welcome.insert("version", "1.0");
        if (!peer.listen())
            return false;
        server->connectTo(QStringLiteral("tcp://127.0.0.1:%1").arg(peer.port()), QString());
        if (!orxtest::waitUntil([&] { return peer.count("hello") > 0; }))
            return false;
        peer.send(welcome);
        return orxtest::waitUntil([&] { return server->state() == ServerClient::Rovivi; });
    }
    bool signIn(const QString &name = "ann", const QJsonObject &stats = {})
    {
        peer.send({{"type", "account"},
                   {"name", name},
                   {"token", "token-1"},
                   {"udp_token", "udp-1"},
                   {"profile", QJsonObject{{"name", name}, {"stats", stats}}}});
        return orxtest::waitUntil([&] { return server->state() == ServerClient::LoggedIn; });
    }
    // Starts the player's game and waits for its first document.
    bool play()
    {
        qputenv("ORX_TESTGAME_ARGS", m_gameArgs.join(' ').toUtf8());
        QString why;
        const bool ok = match->startPlayerGame(&why);
        qunsetenv("ORX_TESTGAME_ARGS");
        if (!ok) {
            qWarning("play: %s", qPrintable(why));
            return false;
        }
        return orxtest::waitUntil([&] { return QFile::exists(file("ui.json")); }, 20000);
    }
    bool connectAndSignIn(const QString &name = "ann", const QJsonObject &stats = {})
    {
        return connect() && signIn(name, stats);
    }

    QString folder() const
    {
        const GameProcess *game = match->matchGame();
        return game ? game->sessionDir() : QString();
    }
    QString file(const QString &name) const
    {
        return folder().isEmpty() ? QString() : QDir(folder()).filePath(name);
    }

    // The document on disk; a document that does not parse or breaks the schema fails the case.
    const QJsonObject doc()
    {
        QFile f(file("ui.json"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        const QByteArray bytes = f.readAll();
        QJsonParseError error;
        const QJsonDocument d = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError || !d.isObject()) {
            QTest::qFail(qPrintable("unreadable ui.json: " + QString::fromUtf8(bytes.left(200))), __FILE__,
                         __LINE__);
            return {};
        }
        if (!bytes.endsWith("}\n"))
            QTest::qFail("ui.json does not end with one line feed", __FILE__, __LINE__);
        const QStringList problems = uischema::problems(d.object());
        if (!problems.isEmpty())
            QTest::qFail(qPrintable("schema: " + problems.join("; ")), __FILE__, __LINE__);
        return d.object();
    }
    // Waits until the excerpt matches the document on disk; the last differences otherwise.
    QStringList waitExcerpt(const QJsonObject &excerpt, int ms = 10000)
    {
        QStringList diffs{"no document"};
        orxtest::waitUntil(
            [&] {
                const QJsonObject d = doc();
                diffs = d.isEmpty() ? QStringList{"no document"} : uischema::excerptDiffs(d, excerpt);
                return diffs.isEmpty();
            },
            ms);
        return diffs;
    }
    bool waitDoc(const std::function<bool(const QJsonObject &)> &holds, int ms = 10000)
    {
        return orxtest::waitUntil([&] { return holds(doc()); }, ms);
    }

    QString log() const
    {
        QFile f(logFilePath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString gameLog() const
    {
        QFile f(file("game.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir dir;
    ScriptedPeer peer;
    std::unique_ptr<ServerClient> server;
    std::unique_ptr<MatchController> match;
    std::unique_ptr<MenuBridge> bridge;

private:
    QStringList m_gameArgs;
};
