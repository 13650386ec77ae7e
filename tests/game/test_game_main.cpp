// The game process tests: launch (folders, environment, start and failure), the checks before the
// start, and the channels of a running game. All against real processes.
// ORX_TEST_ONLY=launch|checks|channels runs one group (so test function names can be given).

#include <QCoreApplication>

int runGameLaunchTests(int argc, char **argv);
int runGameCheckTests(int argc, char **argv);
int runGameChannelTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString only = qEnvironmentVariable("ORX_TEST_ONLY");
    const auto wanted = [&only](const char *group) { return only.isEmpty() || only == QLatin1String(group); };
    int failed = 0;
    if (wanted("launch"))
        failed += runGameLaunchTests(argc, argv);
    if (wanted("checks"))
        failed += runGameCheckTests(argc, argv);
    if (wanted("channels"))
        failed += runGameChannelTests(argc, argv);
    return failed;
}
