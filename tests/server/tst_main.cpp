#include "tst_server.h"

#include <QTest>

void TestServer::init()
{
    dir = new QTemporaryDir;
    server = new ServerProcess;
}

void TestServer::cleanup()
{
    // Every case ends with a clean stop: exit code 0 and nothing from the sanitizers.
    if (server->running()) {
        const bool clean = server->stop();
        QVERIFY2(clean, qPrintable(server->errors().right(4000)));
    }
    QVERIFY2(!server->errors().contains("Sanitizer") && !server->errors().contains("runtime error"),
             qPrintable(server->errors().right(4000)));
    delete server;
    server = nullptr;
    delete dir;
    dir = nullptr;
}

bool TestServer::startServer(const QStringList &extra)
{
    QString error;
    const bool ok = server->start(dir->filePath("data"), extra, &error);
    if (!ok)
        qWarning("orx-server did not start: %s", qPrintable(error));
    return ok;
}

bool TestServer::join(ScriptedClient &c, const QString &name)
{
    if (!c.connectPlain(server->tcpPort) || c.hello().value("type") != "welcome")
        return false;
    if (c.signUp(name).value("type") != "account")
        return false;
    return c.bindUdp() && !c.udpHello(server->udpPort, "").isEmpty();
}

QJsonObject TestServer::queueJoin(ScriptedClient &c, bool ranked, bool hideIp, const QString &character,
                                  const QJsonObject &overrides)
{
    QJsonObject msg{{"type", "queue_join"}, {"game", "orx"},          {"mode", "versus"},
                    {"ranked", ranked},     {"region", "eu"},         {"max_ping", 0},
                    {"strict", false},      {"character", character}, {"relay", hideIp},
                    {"hide_always", false}, {"link", "ethernet"},     {"server_rtt", 5},
                    {"delay", 1},           {"delay_auto", true}};
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        msg.insert(it.key(), it.value());
    return c.waitReply(c.send(msg));
}

QString TestServer::pairAndAccept(ScriptedClient &a, ScriptedClient &b, bool ranked, Path path)
{
    const bool hide = path == Path::Relay;
    if (queueJoin(a, ranked, hide).value("type") != "queued" ||
        queueJoin(b, ranked).value("type") != "queued")
        return {};
    const QJsonObject fa = a.waitFor("match_found"), fb = b.waitFor("match_found");
    const QString id = fa.value("match").toString();
    if (id.isEmpty() || fb.value("match").toString() != id)
        return {};
    for (ScriptedClient *c : {&a, &b}) {
        c->send({{"type", "match_accept"}, {"match", id}});
        if (path == Path::Tunnel && c == &a)
            c->send({{"type", "udp_tunnel"}, {"match", id}});
        else
            c->udpHello(server->udpPort, id);
    }
    return id;
}

TestServer::Go TestServer::connectMatch(ScriptedClient &a, ScriptedClient &b, const QString &match,
                                        bool failDirect)
{
    Go result;
    ScriptedClient *cs[2] = {&a, &b};
    for (int round = 0; round < 6; ++round) {
        QJsonObject peer[2];
        for (int i = 0; i < 2; ++i) {
            // match_go ends the negotiation; anything else is another match_peer round.
            orxtest::waitUntil([&] {
                return cs[i]->has("match_peer") || cs[i]->has("match_go") || cs[i]->has("match_cancelled");
            });
            if (cs[i]->has("match_go")) {
                result.go[i] = cs[i]->waitFor("match_go");
                continue;
            }
            peer[i] = cs[i]->waitFor("match_peer", 100);
        }
        if (!result.go[0].isEmpty() && !result.go[1].isEmpty()) {
            result.ok = result.go[0].value("match") == match && result.go[1].value("match") == match;
            return result;
        }
        if (peer[0].isEmpty() || peer[1].isEmpty())
            return result;
        for (int i = 0; i < 2; ++i) {
            const QJsonObject &p = peer[i];
            QList<ScriptedClient::Candidate> cands;
            if (p.value("tunnel").toBool()) {
                cands.append({QHostAddress(), 0, "tunnel"});
            } else if (p.value("relay").toBool()) {
                cands.append({QHostAddress::LocalHost, server->udpPort, "relay"});
            } else {
                const QString pub = p.value("peer").toObject().value("public").toString();
                const qsizetype colon = pub.lastIndexOf(':');
                // A direct try that must fail aims at a port nobody answers on.
                cands.append({QHostAddress(pub.left(colon)),
                              quint16(failDirect ? 9 : pub.mid(colon + 1).toUInt()), "public"});
            }
            cs[i]->startPunch(cands, match, p.value("key").toString(), p.value("side").toInt(),
                              failDirect && !p.contains("relay") && !p.contains("tunnel") ? 600 : 8000);
        }
        orxtest::waitUntil([&] { return cs[0]->punchFinished() && cs[1]->punchFinished(); }, 20000);
        for (ScriptedClient *c : cs) {
            QJsonObject report{
                {"type", "ping_report"}, {"match", match}, {"ok", c->punchOk}, {"rtt_ms", c->punchRtt}};
            if (c->punchOk) {
                report.insert("remote", c->punchRemote);
                report.insert("via", c->punchVia);
            }
            c->send(report);
        }
    }
    return result;
}

QJsonObject TestServer::playResult(ScriptedClient &a, ScriptedClient &b, const Go &go, int winnerClient,
                                   int rounds)
{
    // The winner's side as each client's match_go names it.
    const int winnerSide = go.go[winnerClient].value("side").toInt();
    const QString match = go.go[0].value("match").toString();
    const int p1 = winnerSide == 1 ? rounds : 0, p2 = winnerSide == 2 ? rounds : 0;
    for (ScriptedClient *c : {&a, &b}) {
        c->send({{"type", "result"},
                 {"match", match},
                 {"winner", winnerSide},
                 {"p1_rounds", p1},
                 {"p2_rounds", p2},
                 {"p1_char", "Kaede"},
                 {"p2_char", "Brom"}});
        if (c->waitFor("result_ack").value("match").toString() != match)
            return {};
    }
    b.waitFor("match_result");
    return a.waitFor("match_result");
}

QTEST_GUILESS_MAIN(TestServer)
