#pragma once
// What the bridge runs on orx-server read back: each game's "ui.json" (schema-checked), the
// documents it saw change ("testgame-ui.jsonl"), its game.log, and the drivers' server messages.

#include "matchscenariokit.h"
#include "uischema.h"

#include <QRegularExpression>
#include <QtTest>

#include <QSet>

#include <functional>

namespace bridgeruns {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline const QJsonObject readDoc(const DriverProcess &d)
{
    QFile f(d.sessionDir() + "/ui.json");
    if (d.sessionDir().isEmpty() || !f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        QTest::qFail(qPrintable("unreadable ui.json: " + QString::fromUtf8(bytes.left(200))), __FILE__,
                     __LINE__);
        return {};
    }
    const QStringList problems = uischema::problems(doc.object());
    if (!problems.isEmpty())
        QTest::qFail(qPrintable("schema: " + problems.join("; ")), __FILE__, __LINE__);
    return doc.object();
}

// Every document the game saw change, in order.
inline QList<QJsonObject> records(const DriverProcess &d)
{
    QFile f(d.sessionDir() + "/testgame-ui.jsonl");
    QList<QJsonObject> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QStringList problems = uischema::problems(o);
        if (!problems.isEmpty())
            QTest::qFail(qPrintable("schema of a record: " + problems.join("; ")), __FILE__, __LINE__);
        out << o;
    }
    return out;
}

inline bool waitDoc(const DriverProcess &d, const std::function<bool(const QJsonObject &)> &holds,
                    int ms = 20000)
{
    return orxtest::waitUntil([&] { return holds(readDoc(d)); }, ms);
}

// The "queue" states the game saw, each change once.
inline QStringList queueStates(const DriverProcess &d)
{
    QStringList states;
    for (const QJsonObject &r : records(d)) {
        const QString s = r.value("queue").toObject().value("state").toString();
        if (states.isEmpty() || states.last() != s)
            states << s;
    }
    return states;
}

// Whether `wanted` appears in `states` in this order (other states may come between).
inline bool inOrder(const QStringList &states, const QStringList &wanted)
{
    qsizetype at = 0;
    for (const QString &s : states)
        if (at < wanted.size() && s == wanted.at(at))
            ++at;
    return at == wanted.size();
}

// The line index of the first server message of `type` after line `from`, or -1.
inline qsizetype messageAfter(const DriverProcess &d, const QString &type, qsizetype from)
{
    for (qsizetype i = from + 1; i < d.lines.size(); ++i)
        if (d.lines.at(i).startsWith("msg ") &&
            QJsonDocument::fromJson(d.lines.at(i).mid(4).toUtf8()).object().value("type").toString() == type)
            return i;
    return -1;
}

inline QString finishedText(const QJsonObject &f)
{
    return QString(f.value("you_won").toBool() ? "You beat %1, %2." : "You lost to %1, %2.")
        .arg(f.value("opponent").toString(), f.value("score").toString());
}

inline scenario::Options withBridge(const QString &name, const QString &script = {})
{
    scenario::Options o = scenario::opts(name, {"--match-ms", "1500"});
    if (!script.isEmpty())
        o.gameArgs << "--script" << script;
    o.bridge = true;
    return o;
}

inline QByteArray gameLog(const DriverProcess &d)
{
    return readFile(d.sessionDir() + "/game.log");
}

// Writes one line for a game's {@FILE}.
inline bool writeLine(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8() + "\n") > 0;
}

// How many numbered messages with this text the game saw (each id once).
inline int messagesSeen(const DriverProcess &d, const QString &text)
{
    QSet<int> ids;
    for (const QJsonObject &r : records(d))
        if (r["message"]["text"] == text)
            ids.insert(r["message"]["id"].toInt());
    return int(ids.size());
}

// The lobby's code from the host's document, written down for the other games.
inline QString writeCode(const DriverProcess &host, const QString &path)
{
    const QString code = readDoc(host)["lobby"]["code"].toString();
    return code.size() == 5 && writeLine(path, code) ? code : QString();
}

} // namespace bridgeruns
