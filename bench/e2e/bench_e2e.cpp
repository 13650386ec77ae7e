// Two whole launchers on loopback against orx-server, each starting the demo game: the time from
// the launchers' process start to signed in, their game "ready", both games "in_match" and the
// match's result, median of several rounds, beside the floors in the same run: the server's
// pairing interval, the stand-in game's boot time alone, and the match length it is told to play.
//   bench_e2e [ROUNDS]    (ORX_BIN_DIR: the folder with orx-launcher, orx-server, orx-testgame,
//                          orx-x360 and orx-build; default ../bin beside this program)

#include "e2ekit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int kPairIntervalMs = 1000; // the server's default
constexpr int kBootMs = 100;
constexpr int kMatchMs = 500;

qint64 median(QList<qint64> v)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The time stamp of the first log line (after `after`) that starts with `prefix` once the stamp
// is cut off, in ms since the epoch; -1 when there is none.
qint64 stampOf(const QString &logPath, const QString &prefix, qint64 after = 0)
{
    for (const QByteArray &raw : testutil::readAll(logPath).split('\n')) {
        if (raw.size() < 24)
            continue;
        const QString text = QString::fromUtf8(raw.mid(24));
        if (!text.startsWith(prefix))
            continue;
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(raw.left(23)),
                                                   QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        if (at.isValid() && at.toMSecsSinceEpoch() >= after)
            return at.toMSecsSinceEpoch();
    }
    return -1;
}

struct Round {
    qint64 signedIn[2] = {-1, -1};
    qint64 ready[2] = {-1, -1};
    qint64 bothInMatch = -1;
    qint64 bothResult = -1;
};

bool playRound(const QString &game, Round &r)
{
    e2e::Case c(game);
    QString error;
    if (!c.server.start(c.dir.filePath(QStringLiteral("server")), {}, &error)) {
        std::fprintf(stderr, "server: %s\n", qPrintable(error));
        return false;
    }
    const QString pace =
        QStringLiteral("--boot-ms %1 --match-ms %2 --frame-ms 10").arg(kBootMs).arg(kMatchMs);
    const QStringList args{"--queue", "casual", "--auto-accept", "0"};
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    e2e::Launcher &a = c.launch(QStringLiteral("bencher1"), args, pace);
    e2e::Launcher &b = c.launch(QStringLiteral("bencher2"), args, pace);
    e2e::Launcher *both[2] = {&a, &b};
    const bool done = testutil::waitFor(
        [&] {
            for (e2e::Launcher *l : both)
                if (l->matchLog().filter(QStringLiteral("Match over")).isEmpty())
                    return false;
            return true;
        },
        120000);
    if (!done) {
        std::fprintf(stderr, "%s\n", qPrintable(c.report()));
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const QString log = both[i]->process.logPath();
        r.signedIn[i] = stampOf(log, QStringLiteral("server: logged in as ")) - start;
        r.ready[i] = stampOf(log, QStringLiteral("game orx/1: status ready")) - start;
        const qint64 inMatch = stampOf(log, QStringLiteral("game orx/1: status in_match"));
        const qint64 result = stampOf(log, QStringLiteral("match: Match over"), inMatch);
        if (inMatch < 0 || result < 0)
            return false;
        r.bothInMatch = std::max(r.bothInMatch, inMatch - start);
        r.bothResult = std::max(r.bothResult, result - start);
    }
    c.stopAll();
    return true;
}

// The stand-in game alone: from its start to "ready" on its standard output.
qint64 gameBoot()
{
    QTemporaryDir session;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORX_SESSION_DIR"), session.path());
    env.insert(QStringLiteral("ORX_STATUS"), session.filePath(QStringLiteral("status.txt")));
    env.insert(QStringLiteral("ORX_CMD"), session.filePath(QStringLiteral("cmd.txt")));
    env.insert(QStringLiteral("ORX_LOG"), session.filePath(QStringLiteral("game.log")));
    env.remove(QStringLiteral("ORX_TESTGAME_ARGS"));
    p.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    p.start(testutil::binary(QStringLiteral("orx-testgame")), {"--boot-ms", QString::number(kBootMs)});
    QByteArray out;
    const bool ok = testutil::waitFor(
        [&] {
            out += p.readAllStandardOutput();
            return out.contains("status: ready");
        },
        20000);
    const qint64 ms = clock.elapsed();
    p.terminate();
    p.waitForFinished(5000);
    return ok ? ms : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (qEnvironmentVariableIsEmpty("ORX_SOURCE_DIR"))
        qputenv("ORX_SOURCE_DIR", ORX_SOURCE_DIR);
    if (qEnvironmentVariableIsEmpty("ORX_BIN_DIR"))
        qputenv("ORX_BIN_DIR", QCoreApplication::applicationDirPath().toUtf8() + "/../bin");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        static QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    }
    QTemporaryDir gameDir;
    const QString game = gameDir.filePath(QStringLiteral("game"));
    const QString error = e2e::buildDemoGame(game);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    QList<qint64> signedIn, ready, inMatch, result, boot;
    for (int i = 0; i < rounds; ++i) {
        Round r;
        if (!playRound(game, r)) {
            std::fprintf(stderr, "round %d failed\n", i + 1);
            return 1;
        }
        for (int s = 0; s < 2; ++s) {
            signedIn << r.signedIn[s];
            ready << r.ready[s];
        }
        inMatch << r.bothInMatch;
        result << r.bothResult;
        boot << gameBoot();
        std::printf("round %d: signed in %lld/%lld ms, ready %lld/%lld ms, both in_match %lld ms, both "
                    "match_result %lld ms\n",
                    i + 1, r.signedIn[0], r.signedIn[1], r.ready[0], r.ready[1], r.bothInMatch, r.bothResult);
    }
    std::printf("\nmedian of %d rounds, from the launchers' process start (two launchers, loopback):\n",
                rounds);
    std::printf("  signed in                 %6lld ms\n", median(signedIn));
    std::printf("  game \"ready\"              %6lld ms\n", median(ready));
    std::printf("  both games \"in_match\"     %6lld ms\n", median(inMatch));
    std::printf("  both have \"match_result\"  %6lld ms\n", median(result));
    std::printf("floors in this run:\n");
    std::printf("  server pairing interval   %6d ms (a search waits up to one pass)\n", kPairIntervalMs);
    std::printf("  stand-in game boot alone  %6lld ms (told --boot-ms %d)\n", median(boot), kBootMs);
    std::printf("  match length              %6d ms (told --match-ms %d)\n", kMatchMs, kMatchMs);
    return 0;
}
