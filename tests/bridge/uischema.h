#pragma once
// The state document's schema: every key with its JSON type, no key more or less. Every test that
// reads a "ui.json" runs it, so a document of the wrong shape fails whichever case saw it.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <initializer_list>
#include <utility>

namespace uischema {

using Fields =
    std::initializer_list<std::pair<const char *, char>>; // i int, s text, b bool, o object, a array

inline bool isInt(const QJsonValue &v)
{
    return v.isDouble() && std::floor(v.toDouble()) == v.toDouble();
}

inline bool hasType(const QJsonValue &v, char type)
{
    switch (type) {
    case 'i':
        return isInt(v);
    case 's':
        return v.isString();
    case 'b':
        return v.isBool();
    case 'o':
        return v.isObject();
    case 'a':
        return v.isArray();
    }
    return false;
}

inline void check(const QJsonObject &o, const QString &where, Fields fields, QStringList &problems)
{
    for (const auto &f : fields) {
        const QJsonValue v = o.value(QLatin1String(f.first));
        if (v.isUndefined())
            problems << where + "." + f.first + " is missing";
        else if (!hasType(v, f.second))
            problems << where + "." + f.first + " has the wrong type";
    }
    for (const QString &key : o.keys()) {
        bool known = false;
        for (const auto &f : fields)
            known = known || key == QLatin1String(f.first);
        if (!known)
            problems << where + "." + key + " is not in the document's format";
    }
}

// Every difference from the format, one line each; empty for a good document.
inline QStringList problems(const QJsonObject &doc)
{
    QStringList p;
    check(doc, "doc",
          {{"v", 'i'},
           {"t", 'i'},
           {"account", 'o'},
           {"server", 'o'},
           {"side", 's'},
           {"queue", 'o'},
           {"series", 'o'},
           {"lobbies", 'o'},
           {"leaderboard", 'o'},
           {"message", 'o'},
           {"update", 'o'},
           {"lobby", 'o'}},
          p);
    // "lobby" is an object or null: the check above named null a wrong type; take that back.
    if (doc.value("lobby").isNull())
        p.removeAll("doc.lobby has the wrong type");
    if (doc.value("v").toInt() != 1)
        p << "doc.v is not 1";
    check(doc.value("account").toObject(), "account",
          {{"state", 's'},
           {"name", 's'},
           {"rank", 's'},
           {"elo", 'i'},
           {"wins", 'i'},
           {"losses", 'i'},
           {"error", 's'}},
          p);
    static const QStringList accountStates{"offline", "connecting", "signed_out", "signed_in"};
    if (!accountStates.contains(doc.value("account").toObject().value("state").toString()))
        p << "account.state is not one of its words";
    check(doc.value("server").toObject(), "server", {{"online", 'i'}, {"in_matches", 'i'}, {"notice", 's'}},
          p);
    static const QStringList sides{"off", "left", "right"};
    if (!sides.contains(doc.value("side").toString()))
        p << "side is not one of its words";
    check(doc.value("queue").toObject(), "queue",
          {{"state", 's'},
           {"kind", 's'},
           {"secs", 'i'},
           {"accept_left", 'i'},
           {"opponent", 's'},
           {"opponent_rank", 's'},
           {"ping", 'i'},
           {"text", 's'}},
          p);
    static const QStringList queueStates{"idle", "searching", "found", "accepted", "connecting", "starting"};
    if (!queueStates.contains(doc.value("queue").toObject().value("state").toString()))
        p << "queue.state is not one of its words";
    check(doc.value("series").toObject(), "series",
          {{"kind", 's'},
           {"opponent", 's'},
           {"mine", 'i'},
           {"theirs", 'i'},
           {"to", 'i'},
           {"state", 's'},
           {"text", 's'}},
          p);
    check(doc.value("lobbies").toObject(), "lobbies", {{"at", 'i'}, {"list", 'a'}}, p);
    for (const QJsonValue &row : doc.value("lobbies").toObject().value("list").toArray())
        check(row.toObject(), "lobbies.list[]",
              {{"code", 's'},
               {"name", 's'},
               {"host", 's'},
               {"players", 'i'},
               {"max", 'i'},
               {"mode", 's'},
               {"koth", 'b'},
               {"locked", 'b'},
               {"region", 's'}},
              p);
    if (doc.value("lobby").isObject()) {
        const QJsonObject lobby = doc.value("lobby").toObject();
        check(lobby, "lobby",
              {{"code", 's'},
               {"name", 's'},
               {"host", 's'},
               {"mode", 's'},
               {"koth", 'b'},
               {"locked", 'b'},
               {"password", 's'},
               {"ready", 'b'},
               {"state", 's'},
               {"text", 's'},
               {"members", 'a'}},
              p);
        for (const QJsonValue &m : lobby.value("members").toArray())
            check(m.toObject(), "lobby.members[]",
                  {{"name", 's'}, {"ready", 'b'}, {"role", 's'}, {"wins", 'i'}}, p);
    }
    check(doc.value("leaderboard").toObject(), "leaderboard", {{"at", 'i'}, {"rows", 'a'}}, p);
    for (const QJsonValue &row : doc.value("leaderboard").toObject().value("rows").toArray())
        check(row.toObject(), "leaderboard.rows[]",
              {{"place", 'i'}, {"name", 's'}, {"rank", 's'}, {"elo", 'i'}, {"wins", 'i'}, {"losses", 'i'}},
              p);
    check(doc.value("message").toObject(), "message", {{"id", 'i'}, {"kind", 's'}, {"text", 's'}}, p);
    check(doc.value("update").toObject(), "update", {{"version", 's'}, {"text", 's'}}, p);
    return p;
}

// The excerpt's keys, compared key by key into objects (and element by element in arrays of the same
// length); values exactly. Empty when it matches.
inline QStringList excerptDiffs(const QJsonValue &got, const QJsonValue &want, const QString &where = "doc")
{
    if (want.isObject() && got.isObject()) {
        QStringList d;
        const QJsonObject w = want.toObject();
        const QJsonObject g = got.toObject();
        for (auto it = w.begin(); it != w.end(); ++it)
            d += excerptDiffs(g.value(it.key()), it.value(), where + "." + it.key());
        return d;
    }
    if (want.isArray() && got.isArray() && want.toArray().size() == got.toArray().size()) {
        QStringList d;
        for (qsizetype i = 0; i < want.toArray().size(); ++i)
            d += excerptDiffs(got.toArray().at(i), want.toArray().at(i),
                              QStringLiteral("%1[%2]").arg(where).arg(i));
        return d;
    }
    if (got != want)
        return {QStringLiteral("%1: got %2, want %3")
                    .arg(where,
                         QString::fromUtf8(QJsonDocument(QJsonArray{got}).toJson(QJsonDocument::Compact)),
                         QString::fromUtf8(QJsonDocument(QJsonArray{want}).toJson(QJsonDocument::Compact)))};
    return {};
}

} // namespace uischema
