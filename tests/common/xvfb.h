#pragma once
// An X server of the test program's own (Xvfb on a free display, 1280x1024), for the cases that
// need a real window system; the program then runs on the xcb platform.

#include <QList>
#include <QProcess>
#include <QVector>
#include <cstdio>
#include <memory>
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

// A test program's arguments, for one that may run under its own X server: with ORX_TEST_XVFB=1
// it starts Xvfb and, unless cases are named, runs `xvfbCase` alone. The server ends with this.
class TestArgs {
public:
    TestArgs(int argc, char **argv, const char *xvfbCase)
    {
        for (int i = 0; i < argc; ++i)
            m_args << QByteArray(argv[i]);
        if (qEnvironmentVariableIntValue("ORX_TEST_XVFB") == 1) {
            m_xvfb.reset(startOwnXvfb());
            if (!m_xvfb) {
                std::fprintf(stderr, "could not start Xvfb\n");
                m_ok = false;
            } else if (argc == 1) {
                m_args << QByteArray(xvfbCase);
            }
        }
        for (QByteArray &a : m_args)
            m_pointers << a.data();
        count = int(m_pointers.size());
    }
    ~TestArgs()
    {
        if (m_xvfb) {
            m_xvfb->terminate();
            m_xvfb->waitForFinished();
        }
    }
    bool ok() const { return m_ok; }
    char **argv() { return m_pointers.data(); }
    int count = 0;

private:
    std::unique_ptr<QProcess> m_xvfb;
    QList<QByteArray> m_args;
    QVector<char *> m_pointers;
    bool m_ok = true;
};

} // namespace testutil
