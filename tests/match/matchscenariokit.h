#pragma once
// Shared pieces of the scenario tests: one server with two driver processes, and the steps the
// cases have in common.

#include "matchdriverprocess.h"

#include <QFile>
#include <QTemporaryDir>
#include <memory>

namespace scenario {

using Options = DriverProcess::Options;

struct Match {
    orxtest::ServerProcess server;
    QTemporaryDir data;
    std::unique_ptr<DriverProcess> a, b;

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
    QString dump() const { return (a ? a->dump() : QString()) + "\n" + (b ? b->dump() : QString()); }
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

// Both search the same casual mode and accept the match found; returns the match id.
inline QString findAndAccept(Match &m, bool waitForUdpFallback = false)
{
    m.a->send("queue versus");
    if (!m.a->waitFor("phase 1 Searching for a casual versus opponent..."))
        return {};
    if (waitForUdpFallback && !m.a->waitFor("log The server did not answer on UDP (is UDP port "))
        return {};
    m.b->send("queue versus");
    if (!m.a->waitFor("found ") || !m.b->waitFor("found "))
        return {};
    m.a->send("accept");
    m.b->send("accept");
    return m.a->json("found ").value("match").toString();
}

} // namespace scenario

namespace scenario {

inline QString injectFound(const QString &id)
{
    return QStringLiteral(R"(inject {"type":"match_found","match":"%1","game":"orx","mode":"versus",)"
                          R"("accept_required":true,"opponent":{"name":"zed"}})")
        .arg(id);
}

inline int errorsFor(const DriverProcess &d, const QString &re)
{
    int n = 0;
    for (const QJsonObject &e : d.messages("error"))
        n += e.value("re").toString() == re ? 1 : 0;
    return n;
}

} // namespace scenario
