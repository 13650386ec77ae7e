#include "tst_match.h"

#include <QCoreApplication>
#include <QtTest>

// Runs every test class; ORX_TEST_CLASS=<name> runs one of them (handy while working on it).
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString only = qEnvironmentVariable("ORX_TEST_CLASS");
    int failed = 0;
    auto run = [&](QObject &t) {
        if (only.isEmpty() || only == QLatin1String(t.metaObject()->className()))
            failed += QTest::qExec(&t, argc, argv);
    };
    TestMatchRules rules;
    run(rules);
    TestSeriesRules seriesRules;
    run(seriesRules);
    TestFeedLink feed;
    run(feed);
    TestGameLogReading logs;
    run(logs);
    TestReportRules reportRules;
    run(reportRules);
    TestResultKeeper keeper;
    run(keeper);
    TestLocalRuns localRuns;
    run(localRuns);
    TestMatchLocal local;
    run(local);
    TestMatchScenarios scenarios;
    run(scenarios);
    TestSeriesScenarios series;
    run(series);
    TestWatchScenarios watch;
    run(watch);
    TestReportScenarios reportScenarios;
    run(reportScenarios);
    TestHostileServer hostile;
    run(hostile);
    return failed;
}
