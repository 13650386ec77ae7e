#pragma once
// Shared pieces of the scenario tests: one server with two driver processes, and the steps the
// cases have in common.

#include "matchdriverprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <memory>

namespace scenario {

using Options = DriverProcess::Options;

struct Match {
    orxtest::ServerProcess server;
    QTemporaryDir data;
    std::unique_ptr<DriverProcess> a, b, c;

    bool start(const QStringList &serverOptions, Options oa, Options ob)
    {
        QString error;
        if (!server.start(data.path(), serverOptions, &error)) {
            qWarning("server: %s", qPrintable(error));
            return false;
        }
        a = std::make_unique<DriverProcess>();
        b = std::make_unique<DriverProcess>();
        return a->start(oa, server.tcpPort) && b->start(ob, server.tcpPort);
    }
    // A third launcher (a spectator), against the same server.
    bool startThird(Options oc)
    {
        c = std::make_unique<DriverProcess>();
        return c->start(oc, server.tcpPort);
    }
    QString dump() const
    {
        return (a ? a->dump() : QString()) + "\n" + (b ? b->dump() : QString()) +
               (c ? "\n" + c->dump() : QString());
    }
};

// Short waits everywhere so the cases stay quick; the ending wait must end a match without a park.
inline const QStringList kTiming{"ending=1500"};

inline Options opts(const QString &name, QStringList gameArgs = {}, QStringList timing = kTiming)
{
    Options o;
    o.name = name;
    o.gameArgs = gameArgs;
    o.timing = timing;
    return o;
}

inline QString writeScript(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(text);
    return path;
}

// Both search the same casual mode (with the characters given, or picking in the game) and accept
// the match found; returns the match id.
inline QString findAndAccept(Match &m, bool waitForUdpFallback = false, const QString &charA = {},
                             const QString &charB = {})
{
    m.a->send(("queue versus casual " + charA).trimmed());
    if (!m.a->waitFor("phase 1 Searching for a casual versus opponent..."))
        return {};
    if (waitForUdpFallback && !m.a->waitFor("log The server did not answer on UDP (is UDP port "))
        return {};
    m.b->send(("queue versus casual " + charB).trimmed());
    if (!m.a->waitFor("found ") || !m.b->waitFor("found "))
        return {};
    m.a->send("accept");
    m.b->send("accept");
    return m.a->json("found ").value("match").toString();
}

// After the match `id`, both games stand at their result screen and the loser chooses there: both
// games report the choice as the real game does (the choice travels between them). Returns the
// loser's driver, or none when a game did not take the status.
inline DriverProcess *loserChooses(Match &m, const QString &id, const QString &choice,
                                   bool gameNamesWinner = false)
{
    const QJsonObject fa = m.a->json("finished ", m.a->count("finished ") - 1);
    const bool annLost = !fa.value("you_won").toBool();
    const int loserSide = annLost ? fa.value("side").toInt() : 3 - fa.value("side").toInt();
    const QString line = QString("chose choice=%1 chooser=%2 match=%3")
                             .arg(choice)
                             .arg(gameNamesWinner ? 3 - loserSide : loserSide)
                             .arg(id);
    // The winner's game first: the loser's LEAVE ends the series at once, and the winner's game
    // then leaves its result screen by itself.
    DriverProcess *loser = annLost ? m.a.get() : m.b.get();
    DriverProcess *winner = annLost ? m.b.get() : m.a.get();
    if (!winner->setGameStatus(line) || !loser->setGameStatus(line))
        return nullptr;
    return loser;
}

inline const QString kChooseText =
    "Match over: the loser chooses REMATCH, CHARACTER SELECT or LEAVE in the game";

} // namespace scenario

namespace scenario {

inline QString injectFound(const QString &id)
{
    return QStringLiteral(R"(inject {"type":"match_found","match":"%1","game":"orx","mode":"versus",)"
                          R"("accept_required":true,"opponent":{"name":"zed"}})")
        .arg(id);
}

// The server's record of a match or series (table "matches" or "series"), or an empty object.
inline QJsonObject recorded(const orxtest::ServerProcess &server, const QString &table, const QString &id)
{
    QJsonObject found;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "recorded");
        db.setDatabaseName(server.databaseFile());
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(
                QString("SELECT data FROM %1 WHERE id = ?").arg(table == "series" ? "series" : "matches"));
            q.addBindValue(id);
            if (q.exec() && q.next())
                found = QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object();
        }
    }
    QSqlDatabase::removeDatabase("recorded");
    return found;
}

// The server's record of a match (its "reports" hold what each side sent), or an empty object.
inline QJsonObject recordedMatch(const orxtest::ServerProcess &server, const QString &id)
{
    return recorded(server, "matches", id);
}

// What the player named `name` reported for a recorded match.
inline QJsonObject reportOf(const QJsonObject &record, const QString &name)
{
    const int i = record.value("p1_name").toString() == name ? 0 : 1;
    return record.value("reports").toArray().at(i).toObject();
}

inline int errorsFor(const DriverProcess &d, const QString &re)
{
    int n = 0;
    for (const QJsonObject &e : d.messages("error"))
        n += e.value("re").toString() == re ? 1 : 0;
    return n;
}

} // namespace scenario
