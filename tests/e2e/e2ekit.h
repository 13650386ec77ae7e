#pragma once
// Whole launchers against each other: one orx-server per case (free ports, its own data folder,
// short waits), the demo game built once per test program from this build's binaries, and each
// launcher an offscreen process with its own settings, game port, account and game pace. What a
// case checks comes from the launchers' logs, the games' command records and the server's
// database. A failed case prints every log, the server's standard error and each game.log.

#include "launcherproc.h"
#include "scriptedclient.h"
#include "testutil.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QUuid>
#include <QtTest>
#include <memory>
#include <vector>

namespace e2e {

using testutil::LauncherProcess;

// The server options of every case: quick pairing and countdowns, short waits between matches.
inline QStringList quickServer()
{
    return {QStringLiteral("--pair-interval"),   QStringLiteral("200"),
            QStringLiteral("--lobby-countdown"), QStringLiteral("0"),
            QStringLiteral("--series-wait"),     QStringLiteral("12"),
            QStringLiteral("--feed-linger"),     QStringLiteral("2"),
            QStringLiteral("--udp-wait"),        QStringLiteral("3000")};
}

// The game's pace: a quick boot and short matches over UDP.
inline QString quickGame()
{
    return QStringLiteral("--boot-ms 100 --match-ms 500 --frame-ms 10");
}

// Builds the demo game into `folder` with scripts/demo-game.sh, as ./run.sh does; empty on success.
inline QString buildDemoGame(const QString &folder)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(
        QStringLiteral("bash"),
        {QDir(qEnvironmentVariable("ORX_SOURCE_DIR")).filePath(QStringLiteral("scripts/demo-game.sh")),
         testutil::binDir(), folder});
    if (!script.waitForFinished(testutil::scaled(120000)) || script.exitCode() != 0)
        return QStringLiteral("demo-game.sh failed: ") + QString::fromUtf8(script.readAll());
    return QString();
}

// The demo game folder the cases of one test program share, built before the first of them.
struct DemoGame {
    QTemporaryDir dir;
    QString folder;
    // Empty on success, else what went wrong.
    QString build()
    {
        if (!dir.isValid())
            return QStringLiteral("no temporary folder for the demo game");
        folder = dir.filePath(QStringLiteral("game"));
        return buildDemoGame(folder);
    }
};

// A UDP port nobody holds right now (the kernel's pick), never one handed out before in this run.
inline quint16 freeUdpPort()
{
    static QSet<quint16> given;
    for (int i = 0; i < 50; ++i) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = probe.localPort();
        if (!given.contains(port)) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

// One launcher of a case, with its folder (settings, log, session folders of its games).
class Launcher {
public:
    Launcher(QString name, const QString &folder)
        : name(std::move(name)), dir(folder), config(folder + QStringLiteral("/orx-launcher.ini")),
          process(config)
    {
    }

    const QString name;
    const QString dir;
    const QString config;
    quint16 gamePort = 0;
    LauncherProcess process;

    QStringList log() const { return process.logLines(); }
    // The driver's steps: the "cli: " lines without the prefix.
    QStringList cli() const { return withPrefix(QStringLiteral("cli: ")); }
    QStringList matchLog() const { return withPrefix(QStringLiteral("match: ")); }
    QStringList withPrefix(const QString &prefix) const
    {
        QStringList out;
        for (const QString &l : log())
            if (l.startsWith(prefix))
                out << l.mid(prefix.size());
        return out;
    }
    bool waitCli(const QString &text, int ms = 60000) const
    {
        return testutil::waitFor([&] { return cli().contains(text); }, ms);
    }
    bool waitCliStartingWith(const QString &text, int ms = 60000) const
    {
        return testutil::waitFor([&] { return !cliStartingWith(text).isEmpty(); }, ms);
    }
    QStringList cliStartingWith(const QString &text) const
    {
        QStringList out;
        for (const QString &l : cli())
            if (l.startsWith(text))
                out << l;
        return out;
    }
    bool waitMatch(const QString &text, int ms = 60000) const
    {
        return testutil::waitFor([&] { return matchLog().contains(text); }, ms);
    }
    bool waitLogContaining(const QString &text, int ms = 60000) const
    {
        return testutil::waitFor([&] { return !log().filter(text).isEmpty(); }, ms);
    }

    // The session folders of this launcher's games, oldest first.
    QStringList sessions() const
    {
        QStringList out;
        const QDir root(dir + QStringLiteral("/sessions"));
        for (const QString &s : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            out << root.filePath(s);
        return out;
    }
    // Every command the games took (testgame-commands.txt), in order.
    QStringList commands() const
    {
        QStringList out;
        for (const QString &s : sessions())
            for (const QByteArray &line :
                 testutil::readAll(s + QStringLiteral("/testgame-commands.txt")).split('\n'))
                if (!line.isEmpty())
                    out << QString::fromUtf8(line);
        return out;
    }
    // The start and rematch lines of matches played (watch lines excluded).
    QStringList matchLines() const
    {
        QStringList out;
        for (const QString &c : commands())
            if ((c.startsWith(QStringLiteral("start ")) && !c.contains(QStringLiteral(" watch=1"))) ||
                c.startsWith(QStringLiteral("rematch ")))
                out << c;
        return out;
    }
    QString gameLogs() const
    {
        QString out;
        for (const QString &s : sessions())
            out += QStringLiteral("---- %1/game.log\n").arg(s) +
                   QString::fromUtf8(testutil::readAll(s + QStringLiteral("/game.log")));
        return out;
    }
};

// A value of a start or rematch line ("p1=kael" gives "kael" for "p1").
inline QString lineValue(const QString &line, const QString &key)
{
    for (const QString &item : line.split(QLatin1Char(' ')))
        if (item.startsWith(key + QLatin1Char('=')))
            return item.mid(key.size() + 1);
    return QString();
}

// One case: a server, launchers, and the report printed when the case fails.
class Case {
public:
    explicit Case(QString game) : m_game(std::move(game)) {}
    ~Case()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << report();
        launchers.clear();
        server.kill();
    }

    QTemporaryDir dir;
    orxtest::ServerProcess server;
    std::vector<std::unique_ptr<Launcher>> launchers;

    bool startServer(const QStringList &extra = {}, QString *error = nullptr)
    {
        return server.start(dir.filePath(QStringLiteral("server")), quickServer() + extra, error);
    }

    // A launcher signed in as `name` (registered on first use) against this case's server, with
    // the demo game, a free game port and the game pace `gameArgs`. `password`: empty leaves the
    // password variable out. `settings` go into the settings file before the start.
    Launcher &launch(const QString &name, const QStringList &args, const QString &gameArgs = quickGame(),
                     const QString &password = QStringLiteral("secret-pw"), const QVariantMap &settings = {},
                     bool defaultArgs = true)
    {
        auto l = std::make_unique<Launcher>(name, dir.filePath(QStringLiteral("launcher-") + name));
        QDir().mkpath(l->dir);
        l->gamePort = freeUdpPort();
        {
            QSettings s(l->config, QSettings::IniFormat);
            s.setValue(QStringLiteral("games/orx/folder"), m_game);
            s.setValue(QStringLiteral("online/game_port"), l->gamePort);
            for (auto it = settings.cbegin(); it != settings.cend(); ++it)
                s.setValue(it.key(), it.value());
        }
        QProcessEnvironment &env = l->process.env();
        env.remove(QStringLiteral("ORX_DEV_PASSWORD"));
        env.remove(QStringLiteral("ORX_TESTGAME_SCRIPT"));
        if (!password.isEmpty())
            env.insert(QStringLiteral("ORX_DEV_PASSWORD"), password);
        env.insert(QStringLiteral("ORX_TESTGAME_ARGS"), gameArgs);
        QStringList all;
        if (defaultArgs)
            all << QStringLiteral("--server") << QStringLiteral("tcp://") + server.address()
                << QStringLiteral("--user") << name << QStringLiteral("--register");
        l->process.start(all + args);
        launchers.push_back(std::move(l));
        return *launchers.back();
    }

    // Closes every launcher as a window close does, then the server; true when all ended cleanly.
    bool stopAll()
    {
        bool ok = true;
        for (auto &l : launchers)
            if (l->process.running() && l->process.terminate() != 0)
                ok = false;
        if (!server.stop())
            ok = false;
        return ok;
    }

    QString report() const
    {
        QString out = QStringLiteral("==== orx-server standard error\n") + server.errors();
        for (const auto &l : launchers) {
            out += QStringLiteral("\n==== launcher %1 (%2)\n").arg(l->name, l->process.logPath()) +
                   l->log().join(QLatin1Char('\n')) + QLatin1Char('\n');
            out += QString::fromUtf8(l->process.process().readAllStandardError());
            out += l->gameLogs();
        }
        return out;
    }

    // The records of a table of the server's database ("matches", "series": their JSON), read
    // after the server stopped.
    QList<QJsonObject> records(const QString &table) const
    {
        QList<QJsonObject> out;
        query(QStringLiteral("SELECT data FROM %1 ORDER BY at, rowid").arg(table),
              [&](QSqlQuery &q) { out << QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object(); });
        return out;
    }
    // A player's row of the stats table in orx/versus (elo, set_wins, ...); empty when none.
    QVariantMap stats(const QString &name) const
    {
        QVariantMap out;
        query(
            QStringLiteral("SELECT s.elo, s.set_wins, s.set_losses, s.casual_wins, s.casual_losses, s.draws "
                           "FROM stats s JOIN accounts a ON a.id = s.account_id "
                           "WHERE a.name = '%1' AND s.game = 'orx' AND s.mode = 'versus'")
                .arg(name),
            [&](QSqlQuery &q) {
                for (int i = 0; i < 6; ++i)
                    out.insert(q.record().fieldName(i), q.value(i));
            });
        return out;
    }
    // Ratings: one "match winner rater score" text per row.
    QStringList ratings() const
    {
        QStringList out;
        query(QStringLiteral("SELECT r.match, w.name, v.name, r.score FROM ratings r JOIN accounts w ON "
                             "w.id = r.winner_id JOIN accounts v ON v.id = r.rater_id ORDER BY r.id"),
              [&](QSqlQuery &q) {
                  out << QStringLiteral("%1 %2 %3 %4")
                             .arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString())
                             .arg(q.value(3).toInt());
              });
        return out;
    }

private:
    void query(const QString &sql, const std::function<void(QSqlQuery &)> &row) const
    {
        const QString connection = QUuid::createUuid().toString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(server.databaseFile());
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open()) {
                QSqlQuery q(db);
                if (q.exec(sql))
                    while (q.next())
                        row(q);
                else
                    qWarning("query failed: %s", qPrintable(q.lastError().text()));
            }
        }
        QSqlDatabase::removeDatabase(connection);
    }

    QString m_game;
};

} // namespace e2e
