#include "gamedata/registry.h"
#include "tst_dev.h"

#include <QCoreApplication>
#include <QtTest>

// Runs every test class; ORX_TEST_CLASS=<name> runs one of them.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // As at start-up: the bridge checks lobby modes against the game definition.
    QString error;
    if (!GameRegistry::load(&error)) {
        qCritical("%s", qPrintable(error));
        return 1;
    }
    const QString only = qEnvironmentVariable("ORX_TEST_CLASS");
    int failed = 0;
    auto run = [&](QObject &t) {
        if (only.isEmpty() || only == QLatin1String(t.metaObject()->className()))
            failed += QTest::qExec(&t, argc, argv);
    };
    TestDriverRules rules;
    run(rules);
    TestDriverSignIn signIn;
    run(signIn);
    TestDriverFlow flow;
    run(flow);
    return failed;
}
