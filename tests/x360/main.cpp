// One program for the Xbox 360 readers: the disc, package and executable readers and orx-x360.

#include "tst_disc.h"
#include "tst_package.h"
#include "tst_tool.h"
#include "tst_xex.h"

#include <QCoreApplication>
#include <QTest>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failed = 0;
    {
        TestDisc test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        TestPackage test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        TestXex test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        TestTool test;
        failed += QTest::qExec(&test, argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
