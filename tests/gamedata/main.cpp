#include "tst_gamedata.h"

#include <QTest>

QTEST_GUILESS_MAIN(TestGameData)
