// The build pipeline tests: the check step, the build step on its worker threads, and the compile
// step with real scripts up to a started game. ORX_TEST_ONLY=check|pipeline|compile runs one group.

#include <QCoreApplication>

int runBuildCheckTests(int argc, char **argv);
int runBuildPipelineTests(int argc, char **argv);
int runBuildCompileTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString only = qEnvironmentVariable("ORX_TEST_ONLY");
    const auto wanted = [&only](const char *group) { return only.isEmpty() || only == QLatin1String(group); };
    int failed = 0;
    if (wanted("check"))
        failed += runBuildCheckTests(argc, argv);
    if (wanted("pipeline"))
        failed += runBuildPipelineTests(argc, argv);
    if (wanted("compile"))
        failed += runBuildCompileTests(argc, argv);
    return failed;
}
