// The chime through SDL's "dummy" audio driver: a real SDL device that plays into nothing, so the
// decoding, conversion and queueing run as they do on a machine with speakers.
#include "platform/platform.h"
#include "testutil.h"

#include <QTemporaryDir>
#include <QtTest>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace testutil;

namespace {

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xFF)) + char((v >> 8) & 0xFF);
}
QByteArray le32(quint32 v)
{
    return le16(int(v & 0xFFFF)) + le16(int(v >> 16));
}

// A mono 16-bit PCM wave of `samples` samples at 22050 Hz.
QByteArray wave(int samples)
{
    QByteArray data;
    for (int i = 0; i < samples; ++i)
        data += le16((i % 50) * 600 - 15000);
    return "RIFF" + le32(quint32(36 + data.size())) + "WAVEfmt " + le32(16) + le16(1) + le16(1) +
           le32(22050) + le32(44100) + le16(2) + le16(16) + "data" + le32(quint32(data.size())) + data;
}

} // namespace

class TestSound : public QObject {
    Q_OBJECT
private slots:
    void playsWavesAndRefusesTheRest()
    {
        QTemporaryDir dir;
        const QString good = dir.filePath(QStringLiteral("chime.wav"));
        const QString empty = dir.filePath(QStringLiteral("empty.wav"));
        const QString junk = dir.filePath(QStringLiteral("junk.wav"));
        QVERIFY(writeAll(good, wave(4410)));
        QVERIFY(writeAll(empty, QByteArray()));
        QVERIFY(writeAll(junk, QByteArray(500, 'x')));
        QVERIFY(platform::playSound(good));
        QVERIFY(platform::playSound(good)); // again, from the kept bytes
        QVERIFY(!platform::playSound(empty));
        QVERIFY(!platform::playSound(junk));
        QVERIFY(!platform::playSound(dir.filePath(QStringLiteral("missing.wav"))));
        // The bytes were kept: the chime still plays after its file is gone.
        QVERIFY(QFile::remove(good));
        QVERIFY(platform::playSound(good));
    }

    void backgroundThreadModeLowersOnlyTheThread()
    {
        const int before = ::getpriority(PRIO_PROCESS, 0);
        int inside = 0, after = 0;
        std::thread worker([&] {
            platform::setBackgroundThreadMode(true);
            inside = ::getpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)));
        });
        worker.join();
        after = ::getpriority(PRIO_PROCESS, 0);
        QCOMPARE(inside, 19);
        QCOMPARE(after, before); // the rest of the process keeps its priority
    }
};

int main(int argc, char **argv)
{
    qputenv("SDL_AUDIODRIVER", "dummy");
    QCoreApplication app(argc, argv);
    TestSound tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_sound.moc"
