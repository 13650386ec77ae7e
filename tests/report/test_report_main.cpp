// The F3 report tests: the report's files, the sender against a scripted server, and whole reports
// from the stand-in game to orx-server. ORX_TEST_ONLY=files|sender|e2e runs one group.

#include <QCoreApplication>
#include <QTest>

int runReportFileTests(int argc, char **argv);
int runReportSenderTests(int argc, char **argv);
int runReportEndToEndTests(int argc, char **argv);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString only = qEnvironmentVariable("ORX_TEST_ONLY");
    const auto wanted = [&only](const char *group) { return only.isEmpty() || only == QLatin1String(group); };
    int failed = 0;
    if (wanted("files"))
        failed += runReportFileTests(argc, argv);
    if (wanted("sender"))
        failed += runReportSenderTests(argc, argv);
    if (wanted("e2e"))
        failed += runReportEndToEndTests(argc, argv);
    return failed;
}
