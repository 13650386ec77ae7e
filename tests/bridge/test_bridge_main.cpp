#include "tst_bridge.h"

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
    TestBridgeRules rules;
    run(rules);
    TestBridgeFiles files;
    run(files);
    TestBridgeRequests requests;
    run(requests);
    TestBridgeGolden golden;
    run(golden);
    return failed;
}
