// Window and display operations against a real X server (Xvfb started by the test, no window
// manager, so the input focus tells which window is in front).
#include "platform/platform.h"
#include "testutil.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QWidget>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace testutil;

namespace {

struct ProbeWindow {
    quint64 id;
    QSize size;
};

QString windowProbe()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/window-probe");
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { platform::setBackgroundMode(false); }

    void largestWindowOfGameAndDirectChildren()
    {
        QProcess game;
        game.setProcessChannelMode(QProcess::MergedChannels);
        // The game: two windows, an owned dialog and a hidden one; its child has a larger window,
        // its grandchild the largest, which must not count.
        game.start(windowProbe(),
                   {QStringLiteral("--spawn"), QStringLiteral("800x600 --spawn 1000x900"),
                    QStringLiteral("300x200"), QStringLiteral("500x400"), QStringLiteral("--owned"),
                    QStringLiteral("900x880"), QStringLiteral("--hidden"), QStringLiteral("950x950")});
        QVERIFY(game.waitForStarted());
        QHash<QString, quint64> bySize;
        static const QRegularExpression line(QStringLiteral("^window (\\d+) (\\d+x\\d+)$"));
        QVERIFY(waitFor(
            [&] {
                while (game.canReadLine()) {
                    const auto m = line.match(QString::fromUtf8(game.readLine()).trimmed());
                    if (m.hasMatch())
                        bySize.insert(m.captured(2), m.captured(1).toULongLong());
                }
                return bySize.size() == 4;
            },
            30000));
        const QList<qint64> tree = platform::processTree(game.processId());
        QCOMPARE(tree.size(), 2);
        QList<platform::WindowHandle> expected{bySize.value(QStringLiteral("800x600")),
                                               bySize.value(QStringLiteral("500x400")),
                                               bySize.value(QStringLiteral("300x200"))};
        QVERIFY(waitFor([&] { return platform::windowsOf(tree) == expected; }));

        QVERIFY(platform::bringGameToFront(game.processId()));
        QVERIFY(platform::forceForeground(bySize.value(QStringLiteral("300x200"))));
        platform::setBackgroundMode(true);
        QVERIFY(!platform::forceForeground(bySize.value(QStringLiteral("500x400"))));
        QVERIFY(!platform::bringGameToFront(game.processId()));
        QVERIFY(!platform::bringGameToFront(0));
        QVERIFY(platform::windowsOf({}).isEmpty());

        for (qint64 pid : platform::processTree(game.processId()))
            for (qint64 p : platform::processTree(pid))
                ::kill(pid_t(p), SIGKILL);
        game.waitForFinished();
    }

    void foregroundOfAnotherProcessIsTold()
    {
        QWidget own;
        own.resize(200, 100);
        QVERIFY(platform::showAndActivate(&own));
        QVERIFY(waitFor([] { return !platform::foregroundIsOtherProcess(); }));

        QProcess other;
        other.start(windowProbe(), {QStringLiteral("320x240")});
        QVERIFY(other.waitForStarted());
        quint64 id = 0;
        static const QRegularExpression line(QStringLiteral("^window (\\d+) "));
        QVERIFY(waitFor(
            [&] {
                while (other.canReadLine()) {
                    const auto m = line.match(QString::fromUtf8(other.readLine()));
                    if (m.hasMatch())
                        id = m.captured(1).toULongLong();
                }
                return id != 0;
            },
            30000));
        QVERIFY(platform::forceForeground(id));
        QVERIFY(waitFor([] { return platform::foregroundIsOtherProcess(); }));

        // Back to our own window; then the other process gone, the focus names no window.
        QVERIFY(platform::forceForeground(own.winId()));
        QVERIFY(waitFor([] { return !platform::foregroundIsOtherProcess(); }));
        QVERIFY(platform::forceForeground(id));
        QVERIFY(waitFor([] { return platform::foregroundIsOtherProcess(); }));
        other.kill();
        other.waitForFinished();
        QVERIFY(waitFor([] { return !platform::foregroundIsOtherProcess(); }));
    }

    void showAndActivateHonoursBackgroundMode()
    {
        QWidget first, second;
        first.resize(200, 100);
        second.resize(200, 100);
        QVERIFY(platform::showAndActivate(&first));
        platform::setBackgroundMode(true);
        QVERIFY(!platform::showAndActivate(&second));
        QVERIFY(second.isVisible());
        QVERIFY(!platform::showAndActivate(nullptr));
    }

    void displayModesAreFilteredAndSorted()
    {
        const QList<QSize> modes = platform::displayModes();
        QVERIFY(!modes.isEmpty());
        QVERIFY(modes.contains(QSize(1280, 1024)));
        for (int i = 0; i < modes.size(); ++i) {
            QVERIFY(modes.at(i).width() >= 640 && modes.at(i).height() >= 480);
            QCOMPARE(modes.count(modes.at(i)), 1);
            if (i > 0) {
                const QSize a = modes.at(i - 1), b = modes.at(i);
                const qint64 areaA = qint64(a.width()) * a.height(), areaB = qint64(b.width()) * b.height();
                QVERIFY(areaA > areaB || (areaA == areaB && a.width() >= b.width()));
            }
        }
        QCOMPARE(platform::desktopSize(), QSize(1280, 1024));
        QVERIFY(!platform::primaryMonitorDevice().isEmpty());
    }
};

int main(int argc, char **argv)
{
    // Our own X server on a free display number, for this program only.
    int fds[2];
    if (::pipe(fds) != 0)
        return 2;
    QProcess xvfb;
    xvfb.setProgram(QStringLiteral("Xvfb"));
    xvfb.setArguments({QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
                       QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                       QStringLiteral("tcp")});
    xvfb.setChildProcessModifier([fds] { ::close(fds[0]); });
    xvfb.start();
    ::close(fds[1]);
    QByteArray display;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    ::close(fds[0]);
    if (display.isEmpty()) {
        std::fprintf(stderr, "could not start Xvfb\n");
        return 2;
    }
    qputenv("DISPLAY", ":" + display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    int code;
    {
        QApplication app(argc, argv);
        TestWindows tests;
        code = QTest::qExec(&tests, argc, argv);
    }
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return code;
}

#include "test_windows.moc"
