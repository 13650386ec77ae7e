// The main window's side of match control.

#include "core/log.h"
#include "mainwindow.h"
#include "match/matchcontroller.h"

#include <QTimer>

void MainWindow::wireMatch()
{
    if (options.localTest) {
        QTimer::singleShot(500, this, [this] {
            QString why;
            if (!match->startLocalTest(QStringLiteral("orx"), QStringLiteral("versus"), QStringLiteral("-"),
                                       QStringLiteral("-"), &why))
                appendLog(QStringLiteral("cli: local test failed: %1").arg(why));
        });
    }
    // New executables may have come with an update: a moment later than usual after one.
    QTimer::singleShot(options.updatedFrom.isEmpty() ? 1500 : 6000, this, [this] { match->rebuildCode(); });
}
