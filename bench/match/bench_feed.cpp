// The spectator feed on loopback, through three launchers' match controllers (match driver
// processes), their stand-in games and orx-server: two play a lobby match, the third watches it.
//  1. Latency: from the player's game writing a frame's record to the watcher's game reading it
//     (both games note the time in a trace file; the machine's steady clock is shared), median and
//     99th percentile, with the stand-in's own records and with filler after each frame to load the
//     feed; the rate the watcher's game read beside the rate the player's game wrote.
//  2. A stalled watcher (a client that joins the lobby to watch and then stops reading): the
//     players' match length with and without it, over the relay path so the server carries the
//     players' own packets too, alternating, as a ratio.
//   bench_feed [ROUNDS] [PAD]   (ORX_BIN_DIR must name the folder with orx-server, orx-testgame and
//                                orx-match-driver; PAD is the filler per frame of the loaded runs)

#include "matchscenariokit.h"
#include "scriptedclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <algorithm>
#include <cstdio>

using namespace scenario;

namespace {

// Bytes of one frame on the feed: its record, and the filler record after it.
qint64 frameBytes(int pad)
{
    return 2 + 11 + (pad > 0 ? 2 + 1 + pad : 0);
}

bool raw(DriverProcess &d, const QString &json, const QString &answer)
{
    const int before = d.messages(answer).size();
    d.send("raw " + json);
    return orxtest::waitUntil([&] { return d.messages(answer).size() > before; });
}

// Ann hosts a versus lobby, Bob plays in it, then both say ready (Ann hiding her address when
// `relay`); the lobby's code.
QString lobby(Match &m, const std::function<bool(const QString &code)> &beforeReady, bool relay = false)
{
    if (!raw(*m.a, R"({"type":"lobby_create","name":"Bench","mode":"versus"})", "lobby"))
        return {};
    const QString code = m.a->messages("lobby").last().value("lobby").toObject().value("id").toString();
    if (!raw(*m.b, QString(R"({"type":"lobby_join","lobby":"%1"})").arg(code), "lobby") || !beforeReady(code))
        return {};
    m.a->send(relay ? R"(raw {"type":"lobby_ready","ready":true,"relay":true})"
                    : R"(raw {"type":"lobby_ready","ready":true})");
    m.b->send(R"(raw {"type":"lobby_ready","ready":true})");
    return code;
}

struct Trace {
    QHash<quint32, qint64> at; // frame -> steady-clock ns
    qint64 first = 0, last = 0;
};

// The trace lines of one kind ('w' written, 'r' read) of one match.
Trace readTrace(const QString &path, char kind, const QString &match)
{
    Trace t;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return t;
    const QByteArray prefix = QByteArray(1, kind) + ' ' + match.toLatin1() + ' ';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith(prefix))
            continue;
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 4)
            continue;
        const qint64 ns = parts[3].toLongLong();
        t.at.insert(parts[2].toUInt(), ns);
        t.first = t.first == 0 ? ns : std::min(t.first, ns);
        t.last = std::max(t.last, ns);
    }
    return t;
}

struct LatencyRound {
    QList<double> ms;    // per frame written after the watcher's game was reading
    double wroteMBs = 0; // the player's game's write rate over those frames
    double readMBs = 0;  // the watcher's game's read rate over the same frames
    bool ok = false;
};

LatencyRound latencyRound(int pad, int matchMs)
{
    LatencyRound out;
    QTemporaryDir traces;
    QStringList game{"--match-ms", QString::number(matchMs)};
    if (pad > 0)
        game << "--feed-pad" << QString::number(pad);
    Match m;
    if (!m.start({"--lobby-countdown", "0"},
                 opts("ann", game + QStringList{"--feed-trace", traces.filePath("a")}),
                 opts("bob", game + QStringList{"--feed-trace", traces.filePath("b")})) ||
        !m.startThird(opts("cid", {"--feed-trace", traces.filePath("c")})) || !m.a->signInAndPlay() ||
        !m.b->signInAndPlay() || !m.c->signInAndPlay())
        return out;
    const QString code = lobby(m, [&](const QString &code) {
        return raw(*m.c, QString(R"({"type":"lobby_join","lobby":"%1","spectate":true})").arg(code), "lobby");
    });
    if (code.isEmpty() || !m.c->waitFor("phase 0 Done watching", 60000)) {
        std::fprintf(stderr, "%s\n", qPrintable(m.dump().right(3000)));
        return out;
    }
    const QString match = m.a->messages("match_go").value(0).value("match").toString();
    const bool annFeeds = m.a->messages("match_go").value(0).value("feed").toBool();
    const Trace w = readTrace(traces.filePath(annFeeds ? "a" : "b"), 'w', match);
    const Trace r = readTrace(traces.filePath("c"), 'r', match);
    if (w.at.isEmpty() || r.at.isEmpty())
        return out;
    // Frames written before the watcher's game read its first record came as a backlog: left out.
    qint64 wFirst = 0, wLast = 0, rFirst = 0, rLast = 0;
    int frames = 0;
    for (auto it = w.at.cbegin(); it != w.at.cend(); ++it) {
        const auto read = r.at.constFind(it.key());
        if (read == r.at.cend() || it.value() < r.first)
            continue;
        out.ms << double(read.value() - it.value()) / 1e6;
        wFirst = frames == 0 ? it.value() : std::min(wFirst, it.value());
        wLast = std::max(wLast, it.value());
        rFirst = frames == 0 ? read.value() : std::min(rFirst, read.value());
        rLast = std::max(rLast, read.value());
        ++frames;
    }
    const double bytes = double(frames) * double(frameBytes(pad)) / 1e6;
    out.wroteMBs = wLast > wFirst ? bytes / (double(wLast - wFirst) / 1e9) : 0;
    out.readMBs = rLast > rFirst ? bytes / (double(rLast - rFirst) / 1e9) : 0;
    out.ok = frames > 10;
    return out;
}

double percentile(QList<double> v, double p)
{
    if (v.isEmpty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.at(std::min<qsizetype>(v.size() - 1, qsizetype(p * double(v.size()))));
}

// The server's feed counts, from its console.
QJsonObject feedStats(orxtest::ServerProcess &s)
{
    const qsizetype before = s.output().count("orx-server: feeds ");
    s.command("feeds");
    orxtest::waitUntil([&] { return s.output().count("orx-server: feeds ") > before; });
    const QString out = s.output();
    const QString line = out.mid(out.lastIndexOf("orx-server: feeds ") + 18).section('\n', 0, 0);
    return QJsonDocument::fromJson(line.toUtf8()).object();
}

// The players' match, from the first of them in the match to both told it is finished; -1 when it
// did not get there. `lagged` gets how many watchers the server cut for lagging.
qint64 stallRound(bool stalled, int pad, int matchMs, int &lagged)
{
    QStringList game{"--match-ms", QString::number(matchMs), "--feed-pad", QString::number(pad)};
    Match m;
    if (!m.start({"--lobby-countdown", "0"}, opts("ann", game), opts("bob", game)) || !m.a->signInAndPlay() ||
        !m.b->signInAndPlay())
        return -1;
    orxtest::ScriptedClient watcher;
    const QString code = lobby(
        m,
        [&](const QString &code) {
            if (!stalled)
                return true;
            if (!watcher.connectPlain(m.server.tcpPort) || watcher.hello().value("type") != "welcome" ||
                watcher.signUp("stalled").value("type") != "account") {
                std::fprintf(stderr, "the stalled watcher could not sign up\n");
                return false;
            }
            const QJsonObject joined = watcher.waitReply(watcher.send(
                {{"type", "lobby_join"}, {"lobby", code}, {"character", "-"}, {"spectate", true}}));
            if (joined.value("type") != "lobby") {
                std::fprintf(stderr, "the stalled watcher could not join: %s\n",
                             QJsonDocument(joined).toJson(QJsonDocument::Compact).constData());
                return false;
            }
            // From now on it reads nothing: what the server sends it piles up.
            watcher.pauseReading();
            return true;
        },
        true); // the relay: the players' packets go through the server too
    QElapsedTimer clock;
    const bool played =
        !code.isEmpty() &&
        orxtest::waitUntil([&] { return m.a->has("game in_match") || m.b->has("game in_match"); }, 60000) &&
        (clock.start(),
         orxtest::waitUntil([&] { return m.a->has("finished ") && m.b->has("finished "); }, 120000));
    if (!played) {
        std::fprintf(stderr, "%s\n", qPrintable(m.dump().right(4000)));
        return -1;
    }
    const qint64 ms = clock.elapsed();
    const QString path = m.a->messages("match_go").value(0).value("path").toString();
    if (path != "relay") {
        std::fprintf(stderr, "the match went over the %s path\n", qPrintable(path));
        return -1;
    }
    lagged = feedStats(m.server).value("lagged").toInt();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int loadPad = argc > 2 ? std::clamp(atoi(argv[2]), 1, 40000) : 30000;
    const int matchMs = 3000;

    // The reference for the latency: the player's launcher passes the feed on every 100 ms, so a
    // record waits 50 ms for it on the median and up to 100 ms at worst before anything else.
    std::printf(
        "reference: the feed goes out every 100 ms (a record waits 50 ms on the median, 100 ms at most)\n");
    for (const int pad : {0, 4000, loadPad}) {
        QList<double> all;
        double wrote = 0, read = 0;
        for (int i = 0; i < rounds; ++i) {
            const LatencyRound r = latencyRound(pad, matchMs);
            if (!r.ok) {
                std::printf("latency, filler %d: round %d failed\n", pad, i + 1);
                return 1;
            }
            all += r.ms;
            wrote += r.wroteMBs / rounds;
            read += r.readMBs / rounds;
        }
        std::printf("feed of %lld bytes a frame: record to watcher's game median %.1f ms, p99 %.1f ms "
                    "(%lld frames, %d rounds); written %.3f MB/s, read %.3f MB/s\n",
                    frameBytes(pad), percentile(all, 0.5), percentile(all, 0.99), qint64(all.size()), rounds,
                    wrote, read);
        std::fflush(stdout);
    }

    // Long enough that what the stalled watcher is sent outgrows the system's socket buffers.
    const int stallMatchMs = 6000;
    QList<qint64> times[2]; // without, with a stalled watcher; the two alternate
    int cut = 0;
    for (int i = 0; i < rounds; ++i) {
        for (const bool stalled : {i % 2 == 0, i % 2 != 0}) {
            int lagged = 0;
            const qint64 ms = stallRound(stalled, loadPad, stallMatchMs, lagged);
            if (ms < 0) {
                std::printf("stalled watcher %s: round %d failed\n", stalled ? "on" : "off", i + 1);
                return 1;
            }
            times[stalled ? 1 : 0] << ms;
            cut += stalled ? lagged : 0;
        }
    }
    std::sort(times[0].begin(), times[0].end());
    std::sort(times[1].begin(), times[1].end());
    const qint64 without = times[0].at(rounds / 2), with = times[1].at(rounds / 2);
    std::printf("players' match over the relay, %lld bytes a frame: median %lld ms without a watcher, "
                "%lld ms with a stalled one, with / without %.2f (%d rounds each; stalled watchers cut "
                "for lagging: %d of %d)\n",
                frameBytes(loadPad), without, with, without > 0 ? double(with) / double(without) : 0.0,
                rounds, cut, rounds);
    return 0;
}
