#include "platform/platform.h"
#include "testutil.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace testutil;

namespace {

QString probe()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/platform-probe");
}

// A process is gone once it no longer exists or is a zombie nobody has reaped yet.
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 && line.mid(close + 2, 1) == "Z";
}

QStringList tmpLeftovers(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden);
}

// A launcher (platform-probe script) in a PID namespace of its own, driven line by line. There the
// test can make the system hand a chosen process id out again, as it does on its own once the ids
// wrap around.
class NamespacedLauncher {
public:
    ~NamespacedLauncher()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(scaled(20000)))
            m_process.kill();
        m_process.waitForFinished();
    }

    // False, with the reason, where this system does not let a user make the namespaces.
    bool start(QString *why)
    {
        const QStringList spaces{QStringLiteral("--user"),  QStringLiteral("--map-root-user"),
                                 QStringLiteral("--pid"),   QStringLiteral("--fork"),
                                 QStringLiteral("--mount"), QStringLiteral("--mount-proc")};
        QProcess check;
        check.start(QStringLiteral("unshare"), spaces + QStringList{QStringLiteral("true")});
        if (!check.waitForFinished(scaled(20000)) || check.exitStatus() != QProcess::NormalExit ||
            check.exitCode() != 0) {
            *why = QStringLiteral("unshare cannot make a user and PID namespace here: ") +
                   QString::fromLocal8Bit(check.readAllStandardError()).trimmed();
            return false;
        }
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("unshare"), spaces + QStringList{probe(), QStringLiteral("script")});
        return m_process.waitForStarted(scaled(20000));
    }

    QString ask(const QStringList &command)
    {
        m_process.write((command.join(u'\t') + u'\n').toUtf8());
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(scaled(60000)))
                return QStringLiteral("(no answer to %1)").arg(command.join(u' '));
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

    // A stand-in for an unrelated program: it leads a session and group of its own, and ends with
    // exit code 7 on SIGTERM, so "exited 7" later proves that no SIGKILL reached it first. Its pid
    // comes back once it says it has set that up.
    QString spawnBystander()
    {
        return ask({QStringLiteral("spawn"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                    QStringLiteral("trap 'exit 7' TERM; echo ready; sleep 1000 & wait")});
    }

private:
    QProcess m_process;
};

QStringList sleeper()
{
    return {QStringLiteral("sleep"), QStringLiteral("1000")};
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void atomicReplaceIsNeverSeenHalfWritten();
    void atomicReplaceErrors();
    void atomicReplaceRetriesWhileTargetIsHeld();
    void readFileSharedLimitsAndFlags();
    void processTreeIsOneLevel();
    void jobEndsGamesWhenLauncherIsKilled();
    void jobEndsWholeGroupAtNormalExit();
    void jobSparesTheNextOwnerOfAnEndedGroupsId();
    void jobHoldsTheIdOfAnEndedGameUntilItLetsGo();
    void jobKillsChildrenThatOutliveTheGame();
};

void TestPlatform::atomicReplaceIsNeverSeenHalfWritten()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("status.txt"));
    const QByteArray a(200000, 'a'), b(70000, 'b');
    QVERIFY(platform::writeFileAtomically(path, a));

    QAtomicInt stop(0), torn(0), reads(0);
    QThread *reader = QThread::create([&] {
        while (!stop.loadAcquire()) {
            bool opened = false;
            const QByteArray got = platform::readFileShared(path, &opened);
            if (!opened || (got != a && got != b))
                torn.fetchAndAddRelaxed(1);
            reads.fetchAndAddRelaxed(1);
        }
    });
    reader->start();
    QString error;
    for (int i = 0; i < 300; ++i)
        QVERIFY2(platform::writeFileAtomically(path, (i % 2) ? a : b, &error), qPrintable(error));
    QVERIFY(waitFor([&] { return reads.loadRelaxed() > 50; }));
    stop.storeRelease(1);
    reader->wait();
    delete reader;
    QCOMPARE(torn.loadRelaxed(), 0);
    QCOMPARE(readAll(path), a); // the last write (i = 299)
}

void TestPlatform::atomicReplaceErrors()
{
    QTemporaryDir dir;
    QString error;
    // The temporary file cannot be created in a folder that does not exist.
    const QString missing = dir.filePath(QStringLiteral("no/such/file.txt"));
    QVERIFY(!platform::writeFileAtomically(missing, "x", &error));
    QCOMPARE(error, QStringLiteral("cannot create %1.tmp (error %2)").arg(missing).arg(ENOENT));

    // A target that is a non-empty folder can never be replaced: no retries, no leftovers.
    const QString folder = dir.filePath(QStringLiteral("busy"));
    QVERIFY(writeAll(folder + QStringLiteral("/inside"), "y"));
    QVERIFY(!platform::writeFileAtomically(folder, "x", &error, 5000));
    QVERIFY2(error.startsWith(QStringLiteral("cannot replace %1 (error ").arg(folder)), qPrintable(error));
    QVERIFY(tmpLeftovers(dir.path()).isEmpty());

    // Without an error text the call still fails quietly.
    QVERIFY(!platform::writeFileAtomically(missing, "x"));
}

void TestPlatform::atomicReplaceRetriesWhileTargetIsHeld()
{
    if (!isRoot())
        QSKIP("holding a file against another user's replace needs root to set up the owners");
    // In a sticky folder another user can create its ".tmp" but cannot replace root's file: the
    // replace keeps failing (as a held file does elsewhere) until the target is handed over.
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 01777) == 0);
    const QString target = dir.filePath(QStringLiteral("cmd.txt"));
    QVERIFY(writeAll(target, "old"));
    const QStringList asNobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups"), probe()};

    QProcess expired;
    expired.start(QStringLiteral("setpriv"),
                  asNobody + QStringList{QStringLiteral("write"), target, QStringLiteral("new"),
                                         QStringLiteral("300")});
    QVERIFY(expired.waitForFinished(scaled(30000)));
    QCOMPARE(expired.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(expired.readAllStandardOutput()).trimmed(),
             QStringLiteral("cannot replace %1 (error %2)").arg(target).arg(EPERM));
    QVERIFY(tmpLeftovers(dir.path()).isEmpty());
    QCOMPARE(readAll(target), QByteArray("old"));

    QProcess released;
    released.start(QStringLiteral("setpriv"),
                   asNobody + QStringList{QStringLiteral("write"), target, QStringLiteral("new"),
                                          QStringLiteral("60000")});
    QVERIFY(waitFor([&] { return QFileInfo::exists(target + QStringLiteral(".tmp")); }, 30000));
    QVERIFY(::chown(QFile::encodeName(target).constData(), 65534, 65534) == 0);
    QVERIFY(released.waitForFinished(scaled(30000)));
    QCOMPARE(QString::fromUtf8(released.readAllStandardOutput()).trimmed(), QStringLiteral("ok"));
    QCOMPARE(readAll(target), QByteArray("new"));
    QVERIFY(tmpLeftovers(dir.path()).isEmpty());
}

void TestPlatform::readFileSharedLimitsAndFlags()
{
    QTemporaryDir dir;
    bool opened = true;
    QVERIFY(platform::readFileShared(dir.filePath(QStringLiteral("missing")), &opened).isEmpty());
    QVERIFY(!opened);

    const QString empty = dir.filePath(QStringLiteral("empty"));
    QVERIFY(writeAll(empty, QByteArray()));
    QVERIFY(platform::readFileShared(empty, &opened).isEmpty());
    QVERIFY(opened);

    QByteArray big(3 * 1024 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 % 251);
    const QString bigPath = dir.filePath(QStringLiteral("big"));
    QVERIFY(writeAll(bigPath, big));
    const QByteArray got = platform::readFileShared(bigPath, &opened);
    QVERIFY(opened);
    // Reading stops after the 4096-byte piece that crossed 1048575 bytes.
    QCOMPARE(got.size(), 1048576);
    QVERIFY(got == big.left(got.size()));

    // The file is not held: it can be deleted right after a read.
    QVERIFY(QFile::remove(bigPath));
}

void TestPlatform::processTreeIsOneLevel()
{
    QTemporaryDir dir;
    const QString grandchildFile = dir.filePath(QStringLiteral("grandchild"));
    QProcess parent;
    // Two direct children, and one child that has a child of its own.
    parent.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"),
                  QStringLiteral("sleep 100 & sleep 100 & sh -c 'sleep 100 & echo $! > %1; wait' & wait")
                      .arg(grandchildFile)});
    QVERIFY(parent.waitForStarted());
    const qint64 pid = parent.processId();
    QVERIFY(waitFor(
        [&] { return QFileInfo(grandchildFile).size() > 0 && platform::processTree(pid).size() == 4; }));
    const QList<qint64> tree = platform::processTree(pid);
    QCOMPARE(tree.first(), pid);
    const qint64 grandchild = readAll(grandchildFile).trimmed().toLongLong();
    QVERIFY(grandchild > 0);
    QVERIFY(!tree.contains(grandchild));
    QVERIFY(platform::processTree(0).isEmpty());
    for (qint64 p : platform::processTree(pid))
        ::kill(pid_t(p), SIGKILL);
    ::kill(pid_t(grandchild), SIGKILL);
    parent.waitForFinished();
}

void TestPlatform::jobEndsGamesWhenLauncherIsKilled()
{
    QProcess launcher;
    launcher.start(probe(), {QStringLiteral("job"), QStringLiteral("sleep"), QStringLiteral("1000")});
    QVERIFY(launcher.waitForReadyRead(scaled(20000)));
    const qint64 game = launcher.readLine().trimmed().toLongLong();
    QVERIFY(game > 0);
    QVERIFY(!processGone(game));
    ::kill(pid_t(launcher.processId()), SIGKILL);
    QVERIFY(launcher.waitForFinished(scaled(10000)));
    QVERIFY2(waitFor([&] { return processGone(game); }), "the game outlived a killed launcher");
}

void TestPlatform::jobEndsWholeGroupAtNormalExit()
{
    QTemporaryDir dir;
    const QString grandchildFile = dir.filePath(QStringLiteral("grandchild"));
    QProcess launcher;
    launcher.start(probe(), {QStringLiteral("job"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                             QStringLiteral("sleep 1000 & echo $! > %1; wait").arg(grandchildFile)});
    QVERIFY(launcher.waitForReadyRead(scaled(20000)));
    const qint64 game = launcher.readLine().trimmed().toLongLong();
    QVERIFY(waitFor([&] { return QFileInfo(grandchildFile).size() > 0; }));
    const qint64 grandchild = readAll(grandchildFile).trimmed().toLongLong();
    QVERIFY(grandchild > 0 && !processGone(grandchild));
    launcher.closeWriteChannel();
    QVERIFY(launcher.waitForFinished(scaled(20000)));
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(waitFor([&] { return processGone(game) && processGone(grandchild); }));
}

void TestPlatform::jobSparesTheNextOwnerOfAnEndedGroupsId()
{
    NamespacedLauncher launcher;
    QString why;
    if (!launcher.start(&why))
        QSKIP(qPrintable(why));
    const QString ended = launcher.ask(QStringList{QStringLiteral("start")} + sleeper());
    QVERIFY2(ended.toLongLong() > 0, qPrintable(ended));
    QCOMPARE(launcher.ask({QStringLiteral("end"), ended}), QStringLiteral("ended"));
    // The next game's start looks at the groups held: the ended game's is empty and is let go.
    const QString game = launcher.ask(QStringList{QStringLiteral("start")} + sleeper());
    QVERIFY2(game.toLongLong() > 0, qPrintable(game));
    QCOMPARE(launcher.ask({QStringLiteral("next-pid"), ended}), QStringLiteral("ok"));
    const QString bystander = launcher.spawnBystander();
    // The system handed the ended game's id to an unrelated program that leads a group with it.
    QCOMPARE(bystander, ended);
    QCOMPARE(launcher.ask({QStringLiteral("kill-job")}), QStringLiteral("killed"));
    QCOMPARE(launcher.ask({QStringLiteral("wait"), game}), QStringLiteral("ended"));
    QCOMPARE(launcher.ask({QStringLiteral("alive"), bystander}), QStringLiteral("yes"));
    QCOMPARE(launcher.ask({QStringLiteral("terminate"), bystander}), QStringLiteral("exited 7"));
}

void TestPlatform::jobHoldsTheIdOfAnEndedGameUntilItLetsGo()
{
    NamespacedLauncher launcher;
    QString why;
    if (!launcher.start(&why))
        QSKIP(qPrintable(why));
    const QString ended = launcher.ask(QStringList{QStringLiteral("start")} + sleeper());
    QVERIFY2(ended.toLongLong() > 0, qPrintable(ended));
    QCOMPARE(launcher.ask({QStringLiteral("end"), ended}), QStringLiteral("ended"));
    // No game started since: the job still holds the ended game's group, so its id is not free.
    QCOMPARE(launcher.ask({QStringLiteral("next-pid"), ended}), QStringLiteral("ok"));
    const QString bystander = launcher.spawnBystander();
    QVERIFY2(bystander.toLongLong() > 0, qPrintable(bystander));
    QVERIFY(bystander != ended);
    QCOMPARE(launcher.ask({QStringLiteral("kill-job")}), QStringLiteral("killed"));
    QCOMPARE(launcher.ask({QStringLiteral("terminate"), bystander}), QStringLiteral("exited 7"));
}

void TestPlatform::jobKillsChildrenThatOutliveTheGame()
{
    NamespacedLauncher launcher;
    QString why;
    if (!launcher.start(&why))
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const QString childFile = dir.filePath(QStringLiteral("child"));
    // The game leaves a child behind in its group and ends at once.
    const QString game =
        launcher.ask({QStringLiteral("start"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                      QStringLiteral("sleep 1000 & echo $! > %1; exit 0").arg(childFile)});
    QVERIFY2(game.toLongLong() > 0, qPrintable(game));
    QCOMPARE(launcher.ask({QStringLiteral("wait"), game}), QStringLiteral("ended"));
    const QString child = QString::fromLatin1(readAll(childFile).trimmed());
    QVERIFY(child.toLongLong() > 0);
    // Another game starts: the first group still holds that child, so the job keeps it.
    const QString next = launcher.ask(QStringList{QStringLiteral("start")} + sleeper());
    QVERIFY2(next.toLongLong() > 0, qPrintable(next));
    QCOMPARE(launcher.ask({QStringLiteral("next-pid"), game}), QStringLiteral("ok"));
    const QString bystander = launcher.spawnBystander();
    QVERIFY(bystander.toLongLong() > 0 && bystander != game);
    QCOMPARE(launcher.ask({QStringLiteral("alive"), child}), QStringLiteral("yes"));
    QCOMPARE(launcher.ask({QStringLiteral("kill-job")}), QStringLiteral("killed"));
    QVERIFY(waitFor([&] { return launcher.ask({QStringLiteral("alive"), child}) == QLatin1String("no"); }));
    QCOMPARE(launcher.ask({QStringLiteral("wait"), next}), QStringLiteral("ended"));
    QCOMPARE(launcher.ask({QStringLiteral("terminate"), bystander}), QStringLiteral("exited 7"));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
