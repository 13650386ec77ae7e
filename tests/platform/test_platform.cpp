#include "platform/platform.h"
#include "platform/unpack.h"
#include "testutil.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace testutil;

Q_DECLARE_METATYPE(platform::CopyFault)

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
    void renameReplacingReplacesInOneStep();
    void moveReplacingGivesTheSystemsReason();
    void releaseUnpackersAndLauncher();
    void processTreeIsOneLevel();
    void jobEndsGamesWhenLauncherIsKilled();
    void jobEndsWholeGroupAtNormalExit();
    void jobSparesTheNextOwnerOfAnEndedGroupsId();
    void jobHoldsTheIdOfAnEndedGameUntilItLetsGo();
    void jobKillsChildrenThatOutliveTheGame();
    void copyFileRangeCopies_data();
    void copyFileRangeCopies();
    void copyFileRangeFaults_data();
    void copyFileRangeFaults();
    void copyFileRangeAcrossFileSystemsTakesTheBuffer();
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

void TestPlatform::renameReplacingReplacesInOneStep()
{
    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("ask.txt"));
    const QString to = dir.filePath(QStringLiteral("ask.txt.taken"));
    // Onto nothing, then over an older file (which QFile::rename would refuse).
    QVERIFY(writeAll(from, "first"));
    QVERIFY(platform::renameReplacing(from, to));
    QVERIFY(!QFile::exists(from));
    QCOMPARE(readAll(to), QByteArray("first"));
    QVERIFY(writeAll(from, "second"));
    QVERIFY(platform::renameReplacing(from, to));
    QVERIFY(!QFile::exists(from));
    QCOMPARE(readAll(to), QByteArray("second"));
    // A missing source: false, the target untouched, the error names the source.
    QString error;
    QVERIFY(!platform::renameReplacing(from, to, &error));
    QCOMPARE(error,
             QStringLiteral("cannot rename %1 (error %2)").arg(QDir::toNativeSeparators(from)).arg(ENOENT));
    QCOMPARE(readAll(to), QByteArray("second"));
    QVERIFY(!platform::renameReplacing(from, to)); // no error text asked for
}

void TestPlatform::moveReplacingGivesTheSystemsReason()
{
    QTemporaryDir dir;
    const QString from = dir.filePath(QStringLiteral("new"));
    const QString to = dir.filePath(QStringLiteral("old"));
    QVERIFY(writeAll(from, "new"));
    QVERIFY(writeAll(to, "old"));
    int code = -1;
    QVERIFY(platform::moveReplacing(from, to, &code));
    QCOMPARE(readAll(to), QByteArray("new"));
    QVERIFY(!QFile::exists(from));
    QVERIFY(!platform::moveReplacing(from, to, &code));
    QCOMPARE(code, ENOENT);
    QCOMPARE(platform::systemErrorText(code), QStringLiteral("No such file or directory"));
    // Into a folder that is not there.
    QVERIFY(!platform::moveReplacing(to, dir.filePath(QStringLiteral("none/x")), &code));
    QCOMPARE(code, ENOENT);
    QCOMPARE(readAll(to), QByteArray("new"));
    QCOMPARE(platform::systemErrorText(EACCES), QStringLiteral("Permission denied"));
    QVERIFY(!platform::systemErrorText(987654).isEmpty());
}

void TestPlatform::releaseUnpackersAndLauncher()
{
    QCOMPARE(platform::launcherFileName(), QStringLiteral("orx-launcher"));
    const QList<platform::Unpacker> tools =
        platform::archiveUnpackers(QStringLiteral("/u/a b.zip"), QStringLiteral("/u/stage"));
    QCOMPARE(tools.size(), 2);
    QCOMPARE(tools[0].name, QStringLiteral("bsdtar"));
    QCOMPARE(tools[0].arguments, QStringList({"-x", "-f", "/u/a b.zip", "-C", "/u/stage"}));
    QCOMPARE(tools[1].name, QStringLiteral("unzip"));
    QCOMPARE(tools[1].arguments, QStringList({"-q", "-o", "/u/a b.zip", "-d", "/u/stage"}));
    // Run rights follow read rights.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("orx-launcher"));
    QVERIFY(writeAll(file, "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QVERIFY(platform::makeExecutable(file));
    QCOMPARE(QFile::permissions(file) & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther),
             QFile::ExeOwner | QFile::ExeGroup);
    QVERIFY(!platform::makeExecutable(dir.filePath(QStringLiteral("missing"))));
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

namespace {

QByteArray numbered(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Runs a copy with the buffered way forced or not (the switch exists only in test builds).
platform::RangeCopy copyWith(bool buffered, QFileDevice &source, qint64 offset, QFileDevice &target,
                             qint64 length)
{
    if (buffered)
        qputenv("ORX_COPY_BUFFERED", "1");
    const platform::RangeCopy result = platform::copyFileRange(source, offset, target, length);
    qunsetenv("ORX_COPY_BUFFERED");
    return result;
}

} // namespace

void TestPlatform::copyFileRangeCopies_data()
{
    QTest::addColumn<bool>("buffered");
    QTest::addColumn<qint64>("sourceSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QByteArray>("already"); // in the target before, the copy goes after it
    QTest::addColumn<qint64>("copied");
    const qint64 big = 9 * 1024 * 1024 + 3; // more than one buffer
    for (const bool buffered : {false, true}) {
        const char *way = buffered ? "buffered" : "system";
        QTest::addRow("%s: whole file", way)
            << buffered << qint64(10000) << qint64(0) << qint64(10000) << QByteArray() << qint64(10000);
        QTest::addRow("%s: a middle part", way)
            << buffered << qint64(10000) << qint64(1234) << qint64(5000) << QByteArray() << qint64(5000);
        QTest::addRow("%s: after what the target holds", way)
            << buffered << qint64(10000) << qint64(10) << qint64(300) << QByteArray("head") << qint64(300);
        QTest::addRow("%s: source ends first", way)
            << buffered << qint64(10000) << qint64(8000) << qint64(5000) << QByteArray() << qint64(2000);
        QTest::addRow("%s: offset at the end", way)
            << buffered << qint64(10000) << qint64(10000) << qint64(10) << QByteArray() << qint64(0);
        QTest::addRow("%s: offset past the end", way)
            << buffered << qint64(10000) << qint64(20000) << qint64(10) << QByteArray() << qint64(0);
        QTest::addRow("%s: zero length", way)
            << buffered << qint64(10000) << qint64(5) << qint64(0) << QByteArray("x") << qint64(0);
        QTest::addRow("%s: several buffers, odd offset", way)
            << buffered << big << qint64(17) << big - 17 << QByteArray() << big - 17;
    }
}

void TestPlatform::copyFileRangeCopies()
{
    QFETCH(bool, buffered);
    QFETCH(qint64, sourceSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(QByteArray, already);
    QFETCH(qint64, copied);
#ifndef ORX_DEV_HOOKS
    if (buffered)
        QSKIP("the buffered way can be forced only in test builds");
#endif
    QTemporaryDir dir;
    const QByteArray bytes = numbered(sourceSize);
    QVERIFY(writeAll(dir.filePath(QStringLiteral("source")), bytes));
    QFile source(dir.filePath(QStringLiteral("source")));
    QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QFile target(dir.filePath(QStringLiteral("target")));
    QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(target.write(already), already.size()); // still in the QFile's buffer: flushed first
    const platform::RangeCopy result = copyWith(buffered, source, offset, target, length);
    QCOMPARE(result.fault, platform::CopyFault::None);
    QCOMPARE(result.error, QString());
    QCOMPARE(result.copied, copied);
    // Within one file system the kernel copies, unless told not to.
    if (copied > 0)
        QCOMPARE(result.method, buffered ? platform::CopyMethod::Buffered : platform::CopyMethod::System);
    // The target's position moved past the copy: a write now lands after it.
    QCOMPARE(::write(target.handle(), "!", 1), ssize_t(1));
    target.close();
    QCOMPARE(readAll(target.fileName()), already + bytes.mid(offset, copied) + "!");
}

void TestPlatform::copyFileRangeFaults_data()
{
    QTest::addColumn<bool>("buffered");
    QTest::addColumn<QString>("sourceKind");
    QTest::addColumn<QString>("targetKind");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<platform::CopyFault>("fault");
    QTest::addColumn<QString>("error");
    using platform::CopyFault;
    for (const bool buffered : {false, true}) {
        const char *way = buffered ? "buffered" : "system";
        QTest::addRow("%s: source not open", way)
            << buffered << "closed"
            << "file" << qint64(0) << qint64(10) << CopyFault::Read << "the source is not open for reading";
        QTest::addRow("%s: source open for writing only", way)
            << buffered << "write-only"
            << "file" << qint64(0) << qint64(10) << CopyFault::Read << "the source is not open for reading";
        QTest::addRow("%s: target open for reading only", way)
            << buffered << "file"
            << "read-only" << qint64(0) << qint64(10) << CopyFault::Write
            << "the target is not open for writing";
        QTest::addRow("%s: negative offset", way) << buffered << "file"
                                                  << "file" << qint64(-1) << qint64(10) << CopyFault::Read
                                                  << "the offset or the length is negative";
        QTest::addRow("%s: negative length", way)
            << buffered << "file"
            << "file" << qint64(0) << qint64(-5) << CopyFault::Read << "the offset or the length is negative";
        QTest::addRow("%s: full disk", way)
            << buffered << "file"
            << "/dev/full" << qint64(0) << qint64(5000) << CopyFault::Write << "No space left on device";
        QTest::addRow("%s: source that cannot be read at an offset", way)
            << buffered << "pipe"
            << "file" << qint64(0) << qint64(10) << CopyFault::Read << "Illegal seek";
    }
}

void TestPlatform::copyFileRangeFaults()
{
    QFETCH(bool, buffered);
    QFETCH(QString, sourceKind);
    QFETCH(QString, targetKind);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    QFETCH(platform::CopyFault, fault);
    QFETCH(QString, error);
#ifndef ORX_DEV_HOOKS
    if (buffered)
        QSKIP("the buffered way can be forced only in test builds");
#endif
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    QVERIFY(writeAll(file, numbered(10000)));
    const QString pipe = dir.filePath(QStringLiteral("pipe"));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QFile source(sourceKind == QLatin1String("pipe") ? pipe : file);
    if (sourceKind == QLatin1String("file"))
        QVERIFY(source.open(QIODevice::ReadOnly));
    else if (sourceKind == QLatin1String("write-only"))
        QVERIFY(source.open(QIODevice::WriteOnly | QIODevice::Append));
    else if (sourceKind == QLatin1String("pipe"))
        QVERIFY(source.open(QIODevice::ReadWrite)); // a reader and a writer at once: does not block
    QFile target(targetKind == QLatin1String("/dev/full") ? targetKind
                                                          : dir.filePath(QStringLiteral("target")));
    if (targetKind == QLatin1String("read-only")) {
        QVERIFY(writeAll(target.fileName(), "old"));
        QVERIFY(target.open(QIODevice::ReadOnly));
    } else {
        QVERIFY(target.open(QIODevice::WriteOnly));
    }
    const platform::RangeCopy result = copyWith(buffered, source, offset, target, length);
    QCOMPARE(result.fault, fault);
    QCOMPARE(result.error, error);
    QCOMPARE(result.copied, qint64(0));
}

void TestPlatform::copyFileRangeAcrossFileSystemsTakesTheBuffer()
{
    // tmpfs beside the file system the build folder is on.
    struct stat shm {};
    struct stat here {};
    const QString local = QCoreApplication::applicationDirPath();
    if (::stat("/dev/shm", &shm) != 0 || ::stat(QFile::encodeName(local).constData(), &here) != 0 ||
        shm.st_dev == here.st_dev) {
        QSKIP("needs /dev/shm on a file system other than the build folder's");
    }
    QTemporaryDir away(QStringLiteral("/dev/shm/orx-copy-XXXXXX"));
    QTemporaryDir near(local + QStringLiteral("/copy-XXXXXX"));
    QVERIFY(away.isValid() && near.isValid());
    const QByteArray bytes = numbered(5 * 1024 * 1024 + 1);
    QVERIFY(writeAll(away.filePath(QStringLiteral("source")), bytes));
    QFile source(away.filePath(QStringLiteral("source")));
    QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QFile target(near.filePath(QStringLiteral("target")));
    QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const platform::RangeCopy result = platform::copyFileRange(source, 1, target, bytes.size());
    QCOMPARE(result.fault, platform::CopyFault::None);
    QCOMPARE(result.method, platform::CopyMethod::Buffered);
    QCOMPARE(result.copied, bytes.size() - 1);
    target.close();
    QCOMPARE(readAll(target.fileName()), bytes.mid(1));
    // And back, from the build folder's file system into tmpfs.
    QFile back(away.filePath(QStringLiteral("back")));
    QVERIFY(back.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QFile from(target.fileName());
    QVERIFY(from.open(QIODevice::ReadOnly));
    const platform::RangeCopy returned = platform::copyFileRange(from, 0, back, 1000);
    QCOMPARE(returned.method, platform::CopyMethod::Buffered);
    QCOMPARE(returned.copied, qint64(1000));
    back.close();
    QCOMPARE(readAll(back.fileName()), bytes.mid(1, 1000));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
