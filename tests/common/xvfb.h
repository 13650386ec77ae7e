#pragma once
// An X server of the test program's own (Xvfb on a free display, 1280x1024), for the cases that
// need a real window system; the program then runs on the xcb platform.

#include <QProcess>
#include <unistd.h>

namespace testutil {

// Starts Xvfb and points DISPLAY and QT_QPA_PLATFORM at it; null when it does not start. Call
// before the application object exists.
inline QProcess *startOwnXvfb()
{
    int fds[2];
    if (::pipe(fds) != 0)
        return nullptr;
    auto *xvfb = new QProcess;
    xvfb->setProgram(QStringLiteral("Xvfb"));
    xvfb->setArguments({QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
                        QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp")});
    xvfb->setChildProcessModifier([fds] { ::close(fds[0]); });
    xvfb->start();
    ::close(fds[1]);
    QByteArray display;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    ::close(fds[0]);
    if (display.isEmpty()) {
        delete xvfb;
        return nullptr;
    }
    qputenv("DISPLAY", ":" + display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    return xvfb;
}

} // namespace testutil
