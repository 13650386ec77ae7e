// Server links dropped at random moments of matches, and a server restart mid-match: every match
// ends with one result that both launchers and the server's database agree on, acknowledged at most once,
// or with the outcome documented for a server that forgot the match.
//
// ORX_DROPS sets the number of drops (10 by default; scripts/no-result-lost.sh runs 50) and
// ORX_DROP_SEED the random moments (printed, so a failed run can be repeated).

#include "matchscenariokit.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace scenario;

namespace {

// Where in a match the link drops.
enum class Moment {
    Playing,     // some time into the match, before any result exists
    OwnReport,   // as the dropping side reports its result
    OtherReport, // as the other side reports: the verdict may be sent while this side is away
    AfterResult, // once the verdict arrived
    Count
};

const char *momentName(Moment m)
{
    switch (m) {
    case Moment::Playing:
        return "while playing";
    case Moment::OwnReport:
        return "as it reports";
    case Moment::OtherReport:
        return "as the other side reports";
    case Moment::AfterResult:
        return "after the verdict";
    default:
        return "?";
    }
}

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

} // namespace

class TestNoResultLost : public QObject {
    Q_OBJECT
private slots:
    void dropsAtRandomMoments();
    void serverRestartMidMatch();
};

void TestNoResultLost::dropsAtRandomMoments()
{
    const int drops = envInt("ORX_DROPS", 10);
    const quint32 seed = quint32(envInt("ORX_DROP_SEED", 20261210));
    qInfo("%d drops, seed %u", drops, seed);
    QRandomGenerator rng(seed);

    Match m;
    // Ranked sets of one win: each match ends the set, so both are back in their menu after it.
    const QStringList server{"--set-wins",      "1",   "--strict-elo-gap", "10000",
                             "--pair-interval", "200", "--drop-grace",     "15000"};
    const QStringList game{"--match-ms", "1500"};
    QVERIFY(m.start(server, opts("ann", game), opts("bob", game)));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));

    QStringList ids;
    for (int i = 0; i < drops; ++i) {
        const Moment moment = Moment(i % int(Moment::Count));
        DriverProcess *dropper = rng.bounded(2) ? m.a.get() : m.b.get();
        DriverProcess *other = dropper == m.a.get() ? m.b.get() : m.a.get();
        // Counts before this match: the waits below are for one more of each.
        auto counts = [&](const QString &prefix) {
            return std::pair<int, int>{m.a->count(prefix), m.b->count(prefix)};
        };
        auto bothPast = [&](const QString &prefix, std::pair<int, int> before, int ms = 40000) {
            return orxtest::waitUntil(
                [&] { return m.a->count(prefix) > before.first && m.b->count(prefix) > before.second; }, ms);
        };
        const auto found = counts("found "), playing = counts("phase 5 "), finished = counts("finished "),
                   over = counts("phase 0 Match over"), ready = counts("game ready");
        const int loginsBefore = dropper->count("loggedin");

        m.a->send("queue versus ranked");
        QVERIFY2(m.a->waitFor("phase 1 Searching"), qPrintable(m.dump()));
        m.b->send("queue versus ranked");
        QVERIFY2(bothPast("found ", found), qPrintable(m.dump()));
        const QString id = m.a->json("found ", found.first).value("match").toString();
        QCOMPARE(m.b->json("found ", found.second).value("match").toString(), id);
        ids << id;
        m.a->send("accept");
        m.b->send("accept");
        QVERIFY2(bothPast("phase 5 ", playing), qPrintable(m.dump()));

        const int reportsOwn = dropper->count("phase 6 "), reportsOther = other->count("phase 6 ");
        switch (moment) {
        case Moment::Playing:
            // The fault's moment, not a wait for something: a random point of the 1.5 s match.
            QTest::qWait(int(rng.bounded(1200)));
            break;
        case Moment::OwnReport:
            QVERIFY2(orxtest::waitUntil([&] { return dropper->count("phase 6 ") > reportsOwn; }, 30000),
                     qPrintable(m.dump()));
            break;
        case Moment::OtherReport:
            QVERIFY2(orxtest::waitUntil([&] { return other->count("phase 6 ") > reportsOther; }, 30000),
                     qPrintable(m.dump()));
            break;
        case Moment::AfterResult:
            QVERIFY2(orxtest::waitUntil(
                         [&] {
                             return dropper->count("finished ") >
                                    (dropper == m.a.get() ? finished.first : finished.second);
                         },
                         30000),
                     qPrintable(m.dump()));
            break;
        default:
            break;
        }
        qInfo("match %d (%s): %s's link drops %s", i + 1, qPrintable(id),
              qPrintable(dropper == m.a.get() ? "ann" : "bob"), momentName(moment));
        dropper->send("drop");
        QVERIFY2(orxtest::waitUntil([&] { return dropper->count("loggedin") > loginsBefore; }, 30000),
                 qPrintable(m.dump()));
        // Both hear the verdict and go back to their menu, the set being over, ready for the next.
        QVERIFY2(bothPast("finished ", finished), qPrintable(m.dump()));
        QVERIFY2(bothPast("phase 0 Match over", over), qPrintable(m.dump()));
        QVERIFY2(bothPast("game ready", ready), qPrintable(m.dump()));
    }

    // What the drops cost, for the record of a long run.
    QCoreApplication::processEvents();
    qInfo("%d matches, %d results sent again after a drop, %d verdicts said again to a player back",
          int(ids.size()), m.a->count("log Sent the stored result") + m.b->count("log Sent the stored result"),
          int(m.server.errors().count("is back after missing the verdict")));

    // Every match: one verdict on each side, the same as the server's record, each result
    // acknowledged at most once (a verdict said again may come first) and the record holding both
    // reports.
    for (const QString &id : ids) {
        QJsonObject record;
        QVERIFY2(orxtest::waitUntil([&] { return !(record = recordedMatch(m.server, id)).isEmpty(); }),
                 qPrintable(id));
        QCOMPARE(record.value("status").toString(), QString("agreed"));
        for (DriverProcess *d : {m.a.get(), m.b.get()}) {
            QList<QJsonObject> verdicts;
            for (int n = 0; n < d->count("finished "); ++n) {
                if (d->json("finished ", n).value("match").toString() == id)
                    verdicts << d->json("finished ", n);
            }
            QVERIFY2(verdicts.size() == 1, qPrintable(id + "\n" + m.dump()));
            QCOMPARE(verdicts.first().value("status").toString(), QString("agreed"));
            QCOMPARE(verdicts.first().value("winner").toInt(), record.value("winner").toInt());
            QVERIFY2(d->count("log Result of " + id + " acknowledged by the server") <= 1,
                     qPrintable(id + "\n" + m.dump()));
        }
        const QJsonArray reports = record.value("reports").toArray();
        QCOMPARE(reports.size(), 2);
        QVERIFY2(!reports.at(0).toObject().isEmpty() && !reports.at(1).toObject().isEmpty(),
                 qPrintable(QJsonDocument(record).toJson()));
    }
}

void TestNoResultLost::serverRestartMidMatch()
{
    Match m;
    const QStringList game{"--match-ms", "4000"};
    // The launchers wait long enough for the server to come back before giving up on the verdict.
    Options oa = opts("ann", game, {"ending=1500", "ack=20000"});
    Options ob = opts("bob", game, {"ending=1500", "ack=20000"});
    QVERIFY(m.start({"--set-wins", "1"}, oa, ob));
    QVERIFY2(m.a->signInAndPlay() && m.b->signInAndPlay(), qPrintable(m.dump()));
    const QString id = findAndAccept(m);
    QVERIFY(!id.isEmpty());
    QVERIFY2(m.a->waitFor("phase 5 ", 40000) && m.b->waitFor("phase 5 ", 40000), qPrintable(m.dump()));

    // The server goes away in the middle of the match and comes back on the same ports.
    const quint16 tcp = m.server.tcpPort, udp = m.server.udpPort;
    const int readyA = m.a->count("game ready"), readyB = m.b->count("game ready");
    QVERIFY(m.server.stop());
    QString error;
    QVERIFY2(m.server.start(
                 m.data.path(),
                 {"--port", QString::number(tcp), "--udp-port", QString::number(udp), "--set-wins", "1"},
                 &error),
             qPrintable(error));
    QCOMPARE(m.server.tcpPort, tcp);

    // Both come back signed in by their tokens and send the results they kept; the new server
    // never knew the match, so each launcher says the result was not recorded and ends the match.
    for (DriverProcess *d : {m.a.get(), m.b.get()}) {
        QVERIFY2(d->waitFor("log The server no longer knows match " + id, 40000), qPrintable(m.dump()));
        QVERIFY2(d->waitFor("phase 0 ", 40000), qPrintable(m.dump()));
        QVERIFY(!d->has("finished "));
    }
    QVERIFY(recordedMatch(m.server, id).isEmpty());

    // The restarted server serves the next match as usual.
    QVERIFY2(orxtest::waitUntil(
                 [&] { return m.a->count("game ready") > readyA && m.b->count("game ready") > readyB; }),
             qPrintable(m.dump()));
    m.a->send("queue versus casual");
    QVERIFY2(m.a->waitFor("phase 1 Searching"), qPrintable(m.dump()));
    m.b->send("queue versus casual");
    QVERIFY2(
        orxtest::waitUntil([&] { return m.a->count("found ") == 2 && m.b->count("found ") == 2; }, 30000),
        qPrintable(m.dump()));
    const QString next = m.a->json("found ", 1).value("match").toString();
    m.a->send("accept");
    m.b->send("accept");
    QVERIFY2(m.a->waitFor("finished ", 60000) && m.b->waitFor("finished ", 60000), qPrintable(m.dump()));
    QCOMPARE(m.a->json("finished ").value("match").toString(), next);
    QCOMPARE(m.a->json("finished ").value("status").toString(), QString("agreed"));
}

QTEST_GUILESS_MAIN(TestNoResultLost)
#include "tst_noresultlost.moc"
